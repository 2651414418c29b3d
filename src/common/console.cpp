// The process-wide console writer on fd 2, and its hand-over across fork().
#include "common/console.hpp"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

#include "common/console_writer.hpp"

namespace velmot {
namespace {

std::atomic<ConsoleWriter*> g_stderr_writer{nullptr};

// fork() copies the writer's state but not its thread: the parent holds the writer's mutex across
// the fork, so the copy is consistent, and the child replaces it with a fresh writer (abandoning
// the copy, its queue of the parent's lines included).
void before_fork() {
    g_stderr_writer.load(std::memory_order_acquire)->lock_for_fork();
}
void after_fork_in_parent() {
    g_stderr_writer.load(std::memory_order_acquire)->unlock_after_fork();
}
void after_fork_in_child() {
    g_stderr_writer.store(&ConsoleWriter::create(STDERR_FILENO), std::memory_order_release);
}

ConsoleWriter& stderr_writer() {
    static const bool k_created = [] {
        g_stderr_writer.store(&ConsoleWriter::create(STDERR_FILENO), std::memory_order_release);
        ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
        return true;
    }();
    (void)k_created;
    return *g_stderr_writer.load(std::memory_order_acquire);
}

}  // namespace

void write_stderr(ConsoleKind kind, std::string_view text) {
    stderr_writer().write(kind, text);
}

bool flush_console(std::chrono::steady_clock::time_point deadline) {
    return stderr_writer().flush(deadline);
}

}  // namespace velmot
