// SOL_CAN_RAW option handling for simulated sockets (see raw_options.hpp).
//
// Thread-safety: see the header.
#include "common/raw_options.hpp"

#include <cerrno>
#include <cstring>

namespace vcan {

namespace {

int read_int(const void* value, socklen_t length, int& out) {
    if (length != sizeof(int)) {
        return EINVAL;
    }
    if (value == nullptr) {
        return EFAULT;
    }
    std::memcpy(&out, value, sizeof out);
    return 0;
}

int set_filters(SocketOptions& wire, const void* value, socklen_t length) {
    if (length % sizeof(can_filter) != 0 || length > k_max_filters * sizeof(can_filter)) {
        return EINVAL;
    }
    if (length > 0 && value == nullptr) {
        return EFAULT;
    }
    wire.filter_count = length / sizeof(can_filter);
    if (length > 0) {  // memcpy's source may not be null even for zero bytes
        std::memcpy(wire.filters, value, length);
    }
    return 0;
}

int copy_out(const void* source, socklen_t size, void* value, socklen_t* length) {
    if (length == nullptr) {
        return EFAULT;
    }
    if (static_cast<int>(*length) < 0) {
        return EINVAL;
    }
    const socklen_t copied = *length < size ? *length : size;
    if (copied > 0 && value == nullptr) {
        return EFAULT;
    }
    std::memcpy(value, source, copied);
    *length = copied;
    return 0;
}

int get_filters(const SocketOptions& wire, void* value, socklen_t* length) {
    if (length == nullptr) {
        return EFAULT;
    }
    const socklen_t needed = wire.filter_count * sizeof(can_filter);
    if (static_cast<int>(*length) < 0) {
        return EINVAL;
    }
    if (*length < needed) {
        *length = needed;
        return ERANGE;
    }
    return copy_out(wire.filters, needed, value, length);
}

}  // namespace

int set_raw_option(RawOptionState& state, int name, const void* value, socklen_t length) {
    SocketOptions& wire = state.wire;
    int flag = 0;
    int error = 0;
    switch (name) {
        case CAN_RAW_FILTER:
            return set_filters(wire, value, length);
        case CAN_RAW_ERR_FILTER:
            error = read_int(value, length, flag);
            if (error == 0) {
                wire.err_mask = static_cast<std::uint32_t>(flag) & CAN_ERR_MASK;
            }
            return error;
        case CAN_RAW_LOOPBACK:
        case CAN_RAW_RECV_OWN_MSGS:
        case CAN_RAW_FD_FRAMES:
        case CAN_RAW_JOIN_FILTERS:
        case CAN_RAW_XL_FRAMES:
            error = read_int(value, length, flag);
            if (error != 0) {
                return error;
            }
            break;
        default:
            return ENOPROTOOPT;
    }
    const bool on = flag != 0;
    switch (name) {
        case CAN_RAW_LOOPBACK:
            wire.loopback = on;
            break;
        case CAN_RAW_RECV_OWN_MSGS:
            wire.recv_own_msgs = on;
            break;
        case CAN_RAW_FD_FRAMES:
            state.fd_frames = on;
            break;
        case CAN_RAW_JOIN_FILTERS:
            wire.join_filters = on;
            break;
        default:
            state.xl_frames = on;
            break;
    }
    return 0;
}

int get_raw_option(const RawOptionState& state, int name, void* value, socklen_t* length) {
    const SocketOptions& wire = state.wire;
    int flag = 0;
    switch (name) {
        case CAN_RAW_FILTER:
            return get_filters(wire, value, length);
        case CAN_RAW_ERR_FILTER:
            return copy_out(&wire.err_mask, sizeof wire.err_mask, value, length);
        case CAN_RAW_LOOPBACK:
            flag = wire.loopback;
            break;
        case CAN_RAW_RECV_OWN_MSGS:
            flag = wire.recv_own_msgs;
            break;
        case CAN_RAW_FD_FRAMES:
            flag = state.fd_frames;
            break;
        case CAN_RAW_JOIN_FILTERS:
            flag = wire.join_filters;
            break;
        case CAN_RAW_XL_FRAMES:
            flag = state.xl_frames;
            break;
        default:
            return ENOPROTOOPT;
    }
    return copy_out(&flag, sizeof flag, value, length);
}

}  // namespace vcan
