// Per-object borrow state: methods that need shared access to an object's internal value take a
// shared borrow for the call, methods that need exclusive access take an exclusive one. A
// conflict is only possible when a second call reaches the same object while the first one has
// released the GIL or is calling into Python; it raises RuntimeError instead of aliasing.
//
// Thread-safety: the counter is atomic; guards belong to the thread that took them.
#pragma once

#include <atomic>
#include <cstdint>

#include "binding/error.hpp"

namespace velmot::binding {

class BorrowFlag {
public:
    // Fails when the value is exclusively borrowed.
    bool try_shared() noexcept {
        std::intptr_t state = state_.load(std::memory_order_relaxed);
        do {
            if (state == k_exclusive) {
                return false;
            }
        } while (!state_.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                               std::memory_order_relaxed));
        return true;
    }
    void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }

    // Fails when the value is borrowed in any way.
    bool try_exclusive() noexcept {
        std::intptr_t expected = 0;
        return state_.compare_exchange_strong(expected, k_exclusive, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

private:
    static constexpr std::intptr_t k_exclusive = -1;
    std::atomic<std::intptr_t> state_{0};  // 0 free, n > 0 shared borrows, -1 exclusive
};

enum class Access { shared, exclusive };

// Holds a borrow of `Mode` for its lifetime; the constructor raises RuntimeError
// ("Already mutably borrowed" / "Already borrowed") and throws PythonError on a conflict.
template <Access Mode>
class BorrowGuard {
public:
    explicit BorrowGuard(BorrowFlag& flag) : flag_(flag) {
        const bool taken = Mode == Access::shared ? flag.try_shared() : flag.try_exclusive();
        if (!taken) {
            PyErr_SetString(PyExc_RuntimeError, Mode == Access::shared ? "Already mutably borrowed"
                                                                       : "Already borrowed");
            throw_python_error();
        }
    }
    ~BorrowGuard() {
        if constexpr (Mode == Access::shared) {
            flag_.release_shared();
        } else {
            flag_.release_exclusive();
        }
    }
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;

private:
    BorrowFlag& flag_;
};

using SharedBorrow = BorrowGuard<Access::shared>;
using ExclusiveBorrow = BorrowGuard<Access::exclusive>;

}  // namespace velmot::binding
