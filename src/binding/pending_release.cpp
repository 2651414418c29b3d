// Pending-release list: a never-destroyed vector behind one mutex, with an atomic count for the
// lock-free emptiness check.
//
// Thread-safety: see pending_release.hpp.
#include "binding/pending_release.hpp"

#include <atomic>
#include <mutex>
#include <new>
#include <vector>

namespace velmot::binding::pending_release {
namespace {

struct List {
    std::mutex mutex;
    std::vector<PyObject*> items;       // guarded by mutex
    std::atomic<std::size_t> count{0};  // mirrors items.size(); read without the mutex
};

// Constant-initialized static storage whose destructor never runs: threads may still append
// while the process exits, and no first use can fail to allocate.
union Storage {
    constexpr Storage() : list() {}
    ~Storage() {}  // the list is never destroyed
    List list;
};
constinit Storage g_storage;

List& list() noexcept {
    return g_storage.list;
}

std::vector<PyObject*> take_all() {
    List& pending = list();
    std::vector<PyObject*> taken;
    std::lock_guard lock(pending.mutex);
    taken.swap(pending.items);
    pending.count.store(0, std::memory_order_relaxed);
    return taken;
}

}  // namespace

void push(PyObject* object) noexcept {
    List& pending = list();
    std::lock_guard lock(pending.mutex);
    try {
        pending.items.push_back(object);
    } catch (const std::bad_alloc&) {
        return;  // leaked: see the header
    }
    pending.count.store(pending.items.size(), std::memory_order_release);
}

void drain() {
    if (list().count.load(std::memory_order_acquire) == 0) {
        return;
    }
    std::vector<PyObject*> taken = take_all();
    if (taken.empty()) {
        return;
    }
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    // A finalizer run here may enter the module again and drain recursively: it then sees only
    // what was queued after the swap above, so no reference is released twice.
    for (PyObject* object : taken) {
        Py_DECREF(object);
    }
    PyErr_Restore(type, value, traceback);
}

std::size_t size() noexcept {
    return list().count.load(std::memory_order_acquire);
}

}  // namespace velmot::binding::pending_release
