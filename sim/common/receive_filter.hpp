// Which frames a simulated CAN socket receives, with the kernel's CAN_RAW semantics:
// - a data or remote frame passes if any filter matches (all of them with CAN_RAW_JOIN_FILTERS);
//   a filter {id, mask} matches when (can_id & mask) == (id & mask), or when they differ if id
//   carries CAN_INV_FILTER; a mask with CAN_EFF_FLAG and an id without it matches standard frames
//   only, as the kernel narrows the mask to the 11-bit identifier plus the EFF and RTR flags;
// - an error frame (CAN_ERR_FLAG) passes only when its error class intersects the error mask
//   (CAN_RAW_ERR_FILTER, or a filter whose mask carries CAN_ERR_FLAG);
// - zero filters receive no data frames; the kernel default is one filter {0, 0}.
//
// Thread-safety: a plain value; `passes` is const and allocation-free.
#pragma once

#include <cstdint>
#include <vector>

#include "common/can_wire.hpp"

namespace vcan {

class ReceiveFilter {
public:
    ReceiveFilter();  // the kernel default: everything but error frames

    // Replaces the filter with `options`' filters, join flag and error mask.
    void assign(const SocketOptions& options);

    bool passes(std::uint32_t can_id) const;

private:
    struct Entry {
        std::uint32_t id;  // already reduced by mask
        std::uint32_t mask;
        bool inverted;
    };
    std::vector<Entry> entries_;  // data-frame filters; sized once per assign, never per frame
    std::uint32_t err_mask_ = 0;
    bool join_ = false;
};

}  // namespace vcan
