// The error of every call on a CAN device (or a motor group's device) after close().
#pragma once

#include "common/result.hpp"

namespace velmot::comm::can {

inline Error device_closed_error() {
    return Error{ErrorKind::os, "CAN device is closed"};
}

}  // namespace velmot::comm::can
