// Threads created with all signals blocked: the mask is set around the creation so that the new
// thread inherits it from its first instruction (no window in which a signal could land there).
#include "common/signal_blocked_thread.hpp"

#include <pthread.h>
#include <signal.h>

namespace velmot {

namespace {

// Blocks every signal for the calling thread for the scope's lifetime, then restores its mask.
class BlockAllSignals {
public:
    BlockAllSignals() noexcept {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &previous_);
    }
    ~BlockAllSignals() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    BlockAllSignals(const BlockAllSignals&) = delete;
    BlockAllSignals& operator=(const BlockAllSignals&) = delete;

private:
    sigset_t previous_;
};

}  // namespace

std::thread start_signal_blocked_thread(std::function<void()> body) {
    BlockAllSignals blocked;
    return std::thread(std::move(body));
}

}  // namespace velmot
