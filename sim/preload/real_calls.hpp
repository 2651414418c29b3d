// The C library's own functions behind the shim's hooks, found with dlsym(RTLD_NEXT) on first use
// and cached. The shim calls libc only through these, so it never re-enters its own hooks.
//
// Thread-safety: any thread; the first call of each may race with another thread's first call,
// and both store the same pointer (atomic, relaxed).
#pragma once

#include <dlfcn.h>
#include <atomic>

namespace vcan::real {

template <typename Fn>
Fn* lookup(std::atomic<Fn*>& cache, const char* name) {
    Fn* fn = cache.load(std::memory_order_relaxed);
    if (fn == nullptr) {
        fn = reinterpret_cast<Fn*>(::dlsym(RTLD_NEXT, name));
        cache.store(fn, std::memory_order_relaxed);
    }
    return fn;
}

// Declares vcan::real::NAME(), returning libc's NAME with the type TYPE.
// NOLINTBEGIN(bugprone-macro-parentheses): TYPE is a type, which cannot be parenthesized.
#define VCAN_REAL_FUNCTION(name, type)                      \
    inline type* name() {                                   \
        static constinit std::atomic<type*> cache{nullptr}; \
        return lookup(cache, #name);                        \
    }
// NOLINTEND(bugprone-macro-parentheses)

}  // namespace vcan::real
