// (id, bytes) tuples for received frames.
#include "comm/can/py_can_message.hpp"

#include "binding/error.hpp"

namespace velmot::comm::can {

binding::Ref message_to_python(const CanMessage& message) {
    using binding::check;
    using binding::Ref;
    Ref id = Ref::steal(check(PyLong_FromUnsignedLong(message.id())));
    const auto data = message.data();
    Ref bytes = Ref::steal(check(PyBytes_FromStringAndSize(
        reinterpret_cast<const char*>(data.data()), static_cast<Py_ssize_t>(data.size()))));
    return Ref::steal(check(PyTuple_Pack(2, id.get(), bytes.get())));
}

binding::Ref message_to_python(const std::optional<CanMessage>& message) {
    if (message) {
        return message_to_python(*message);
    }
    return binding::Ref::new_ref(Py_None);
}

}  // namespace velmot::comm::can
