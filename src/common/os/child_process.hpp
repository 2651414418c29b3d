// Runs a program found through PATH with an argument vector (never a shell) and waits for it.
//
// The child starts with an empty signal mask and the default disposition of SIGPIPE, SIGINT,
// SIGTERM, SIGQUIT and SIGXFSZ, whatever the calling thread blocks (our own threads block every
// signal) and whatever the process ignores (Python ignores SIGPIPE). Every descriptor this code
// opens is close-on-exec and closed again on every path; the child is always reaped.
//
// Thread-safety: stateless; each call runs entirely on the calling thread and blocks it until the
// child has exited. Concurrent calls are independent.
//
// Blocks: until the child has exited and, when captured, both its streams have ended. With an
// InterruptPoll the wait asks it every 50 ms; the GIL is never involved here (callers that hold
// it release it around the call). Cancel safety: a wait the poll ends kills the child (SIGTERM,
// then SIGKILL after 100 ms) and reaps it before returning interrupted_error(); output captured
// so far is dropped. A child that may not be signalled (EPERM, e.g. a sudo that became root) is
// still waited for until it exits by itself.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/interrupt_poll.hpp"
#include "common/result.hpp"

namespace velmot::os {

enum class ChildStreams {
    captured,   // stdin from /dev/null; stdout and stderr captured into ChildExit
    inherited,  // all three streams are the caller's (so `sudo` can prompt on the terminal)
};

struct ChildExit {
    std::optional<int> exit_code;  // set when the child exited normally
    int signal = 0;                // the signal that ended the child, 0 when it exited
    std::string out;               // captured standard output (empty when inherited)
    std::string err;               // captured standard error (empty when inherited)
    // A captured stream passed k_max_captured_bytes: it was cut there and its pipe closed (the
    // child then meets EPIPE or SIGPIPE), so a child printing without end cannot exhaust memory.
    bool output_cut = false;

    static constexpr std::size_t k_max_captured_bytes = 1 << 20;

    // Success is exit status 0; any other code and any signal death is a failure.
    bool success() const { return exit_code == 0; }
};

// `program` is looked up through the PATH of the process and also passed as argv[0]; `arguments`
// follow it unchanged. A start failure is `Error::from_errno(e)` ("<strerror> (os error N)");
// the same form reports a failure while waiting for an already started child; interrupted_error()
// reports a wait that `interrupt` ended.
Result<ChildExit> run_child(const std::string& program, const std::vector<std::string>& arguments,
                            ChildStreams streams, const InterruptPoll& interrupt = {});

}  // namespace velmot::os
