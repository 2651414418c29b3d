// Owning and non-owning handles to Python objects for internal code.
//
// `Ref` owns one strong reference. Its destructor never takes the GIL and never throws: when the
// calling thread holds the GIL through the binding layer the reference is released at once,
// otherwise it is queued on the pending-release list and released by the next thread that takes
// the GIL through us. So a Ref may be dropped on any thread (a runtime worker, a timer thread).
//
// Thread-safety: one Ref is used by one thread at a time; creating, copying the pointer of or
// incrementing a reference needs the GIL, dropping one does not.
#pragma once

#include <Python.h>

#include <utility>

namespace velmot::binding {

// Releases one strong reference from any thread; see the file comment for where it goes.
void release_reference(PyObject* object) noexcept;

// A reference owned by someone else (the caller's frame, a tuple): valid while that owner is.
class Borrowed {
public:
    Borrowed() noexcept = default;
    explicit Borrowed(PyObject* object) noexcept : object_(object) {}

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

class Ref {
public:
    Ref() noexcept = default;

    // Takes over a reference the caller owns (a C-API "new reference"); null stays empty.
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Adds a reference of its own to a borrowed object. Needs the GIL.
    static Ref new_ref(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }
    static Ref new_ref(Borrowed object) noexcept { return new_ref(object.get()); }

    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { reset(); }

    PyObject* get() const noexcept { return object_; }
    Borrowed borrow() const noexcept { return Borrowed(object_); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference to the caller (for returning it to the interpreter).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

    void reset() noexcept {
        if (PyObject* object = std::exchange(object_, nullptr)) {
            release_reference(object);
        }
    }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;
};

}  // namespace velmot::binding
