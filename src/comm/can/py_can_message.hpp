// The Python form of a received CAN frame: the tuple (id, data) with id an int and data bytes.
//
// Thread-safety: needs the GIL.
#pragma once

#include <Python.h>

#include <optional>

#include "binding/ref.hpp"
#include "comm/can/can_message.hpp"

namespace velmot::comm::can {

// A new (id, bytes) tuple. Throws binding::PythonError.
binding::Ref message_to_python(const CanMessage& message);
// The tuple, or None for nothing.
binding::Ref message_to_python(const std::optional<CanMessage>& message);

}  // namespace velmot::comm::can
