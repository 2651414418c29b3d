// Kernel-compatible CAN_RAW receive filtering (see receive_filter.hpp).
//
// Thread-safety: see the header.
#include "common/receive_filter.hpp"

namespace vcan {

ReceiveFilter::ReceiveFilter() : entries_{Entry{0, 0, false}} {}

void ReceiveFilter::assign(const SocketOptions& options) {
    entries_.clear();
    err_mask_ = options.err_mask & CAN_ERR_MASK;
    join_ = options.join_filters;
    for (std::uint32_t i = 0; i < options.filter_count && i < k_max_filters; ++i) {
        std::uint32_t id = options.filters[i].can_id;
        std::uint32_t mask = options.filters[i].can_mask;
        const bool inverted = (id & CAN_INV_FILTER) != 0;
        if (mask & CAN_ERR_FLAG) {
            // The kernel files such a filter with the error-frame subscriptions.
            err_mask_ |= mask & CAN_ERR_MASK;
            continue;
        }
        if ((mask & CAN_EFF_FLAG) && !(id & CAN_EFF_FLAG)) {
            mask &= CAN_SFF_MASK | CAN_EFF_FLAG | CAN_RTR_FLAG;
        }
        id &= mask;
        entries_.push_back(Entry{id, mask, inverted});
    }
}

bool ReceiveFilter::passes(std::uint32_t can_id) const {
    if (can_id & CAN_ERR_FLAG) {
        return (can_id & err_mask_) != 0;
    }
    if (entries_.empty()) {
        return false;
    }
    std::size_t matches = 0;
    for (const Entry& entry : entries_) {
        const bool equal = (can_id & entry.mask) == entry.id;
        if (equal != entry.inverted) {
            if (!join_) {
                return true;
            }
            ++matches;
        }
    }
    return join_ && matches == entries_.size();
}

}  // namespace vcan
