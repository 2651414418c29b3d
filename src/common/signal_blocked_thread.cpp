// Threads created with all signals but the fault signals blocked: the mask is set around the
// creation so that the new thread inherits it from its first instruction (no window in which a
// signal could land there).
#include "common/signal_blocked_thread.hpp"

#include <pthread.h>
#include <signal.h>

#include <array>
#include <cstddef>
#include <vector>

namespace velmot {

namespace {

// The signals a fault raises in the thread that caused it. They stay unblocked: the kernel kills
// the process outright when one of them is blocked, so a handler (a sanitizer's report, a crash
// reporter, the interpreter's faulthandler) would never see the fault.
constexpr std::array k_fault_signals{SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS};

// Blocks every signal but the fault signals for the calling thread for the scope's lifetime,
// then restores its mask.
class BlockAllSignals {
public:
    BlockAllSignals() noexcept {
        sigset_t all;
        sigfillset(&all);
        for (const int signo : k_fault_signals) {
            sigdelset(&all, signo);
        }
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
