// The process-wide list of Python references waiting to be released by a thread that holds the GIL.
//
// Threads without the GIL append to it; every entry point, every background GIL acquisition and
// every re-acquisition after a release empties it. The list is allocated once and never destroyed.
//
// Thread-safety: `push` from any thread; one mutex is held only to append one reference or to swap
// out the whole list, and the references are released after it is dropped. The emptiness check
// on the hot path is a lock-free atomic load. `drain` needs the GIL.
#pragma once

#include <Python.h>

#include <cstddef>

namespace velmot::binding::pending_release {

// Queues one strong reference. Needs no GIL. If the list cannot grow (out of memory) the
// reference is leaked: releasing it here is not possible without the GIL.
void push(PyObject* object) noexcept;

// Releases every queued reference. GIL held. A Python exception pending on entry is saved and
// restored around the releases, so finalizers that run here cannot clobber or clear it.
void drain();

// Number of queued references (a snapshot; other threads may append at any time).
std::size_t size() noexcept;

}  // namespace velmot::binding::pending_release
