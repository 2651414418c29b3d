// Threads created with all signals blocked: the mask is set around the creation so that the new
// thread inherits it from its first instruction (no window in which a signal could land there).
#include "common/signal_blocked_thread.hpp"

#include <pthread.h>
#include <signal.h>

#include <cstddef>
#include <vector>

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

struct BodyExitHooks {
    bool ours = false;  // the thread was started by start_signal_blocked_thread
    std::vector<void (*)()> hooks;
};

thread_local BodyExitHooks t_body_exit;

void run_body(const std::function<void()>& body) {
    t_body_exit.ours = true;
    body();
    // A hook may register another one, or be ended by a forced unwind: take each before running it.
    for (std::size_t i = 0; i < t_body_exit.hooks.size(); ++i) {
        const auto hook = t_body_exit.hooks[i];
        hook();
    }
    t_body_exit.hooks.clear();
}

}  // namespace

std::thread start_signal_blocked_thread(std::function<void()> body) {
    BlockAllSignals blocked;
    return std::thread([body = std::move(body)] { run_body(body); });
}

bool at_body_exit(void (*hook)()) {
    if (!t_body_exit.ours) {
        return false;
    }
    t_body_exit.hooks.push_back(hook);
    return true;
}

}  // namespace velmot
