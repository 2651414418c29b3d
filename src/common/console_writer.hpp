// The console writer: writes lines to one file descriptor (fd 2 for the module) without ever
// making the producing thread wait, rate-limited per kind (console_rate_limit.hpp).
//
// Direct write: a line is written on the producing thread when nothing waits before it (no queued
// line, no write in flight, no drop report due) and the write cannot block: poll(POLLOUT,
// timeout 0) says the fd is writable, and the line is at most PIPE_BUF bytes (one write of it to a
// pipe then completes at once and whole) or the fd is a regular file. Direct writes are made under
// the writer's mutex, so lines keep their order and never interleave.
// Queue: any other line is queued for the writer thread (started on first need, all signals
// blocked), the only thread that makes writes that may block. The queue holds at most
// `queue_capacity_bytes` (or a single longer line); a line that does not fit is dropped and
// counted, as are the lines a flush gives up on, and the writer thread's next write, once the
// write in flight is done, is one line "[velmot] N lines dropped while stderr was not writable;
// the first: " + the first line dropped. That report is never queued, so never dropped itself.
// Summaries: the writer thread also wakes at the end of every rate-limit window that suppressed
// lines, so a summary is written even when no further line of its kind comes.
// The fd is never switched to non-blocking mode: it is shared with the interpreter, child
// processes and whoever started the script. If someone else did, EAGAIN hands the rest of a line
// to the writer thread, which polls for room.
//
// Hand-written rather than on Asio: the writer sits below the runtime (which must be able to
// report its own fatal errors through it) and needs only a mutex, a queue and one thread.
// Residual wait: poll and write are two calls; another writer of the same pipe (the interpreter's
// own sys.stderr, a child process) can fill it in between, and that one direct write then waits.
//
// Ownership: a writer is created with `create` and never destroyed (its thread may be blocked in
// a write forever); the process-wide one is in console.cpp. Every writer ever created stays
// reachable from one list, so that a leak checker sees them as kept, not lost, even those whose
// thread never started (a fork child's abandoned copy included).
// Thread-safety: every member function may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>

#include "common/console.hpp"
#include "common/console_rate_limit.hpp"

namespace velmot {

// The bounds of one writer; the module's writer uses the defaults.
struct ConsoleLimits {
    static constexpr std::size_t k_default_queue_capacity_bytes = std::size_t{64} * 1024;

    std::size_t queue_capacity_bytes = k_default_queue_capacity_bytes;
    std::size_t lines_per_second = ConsoleRateLimit::k_default_lines_per_window;
};

class ConsoleWriter {
public:
    using Clock = std::chrono::steady_clock;

    // A writer for `fd` (which stays owned by the caller and must stay open).
    static ConsoleWriter& create(int fd, ConsoleLimits limits = {});
    ~ConsoleWriter() = delete;
    ConsoleWriter(const ConsoleWriter&) = delete;
    ConsoleWriter& operator=(const ConsoleWriter&) = delete;

    // See write_stderr in console.hpp. Never waits for the fd.
    void write(ConsoleKind kind, std::string_view text);

    // See flush_console in console.hpp.
    // Blocks: until the queue is written or `deadline`. Cancel safety: the lines still queued at
    // the deadline are dropped (counted as dropped); a write in flight on the writer thread is
    // left to finish whenever the fd takes it.
    bool flush(Clock::time_point deadline);

    // Around fork(): the parent holds the mutex across the fork so that the child's copy of the
    // state is consistent (the child then makes a new writer; this one is abandoned there).
    void lock_for_fork() { mutex_.lock(); }
    void unlock_after_fork() { mutex_.unlock(); }

private:
    ConsoleWriter(int fd, ConsoleLimits limits);

    void submit_locked(std::string_view text);
    void enqueue_locked(std::string_view text);
    void count_dropped_locked(std::string_view text);
    std::string take_drop_report_locked();
    bool idle_locked() const;
    bool writable_now(std::size_t size) const;
    std::string_view write_without_waiting(std::string_view text) const;
    void write_waiting(std::string_view text) const;
    bool ensure_thread_locked();
    void run_thread();

    const int fd_;
    const ConsoleLimits limits_;
    ConsoleWriter* created_before_ = nullptr;  // the list of every writer, newest first

    std::mutex mutex_;
    std::condition_variable work_ready_;  // the writer thread: a line queued or dropped, a deadline
    std::condition_variable drained_;     // flush: idle_locked() became true
    ConsoleRateLimit rate_limit_;
    std::deque<std::string> queue_;
    std::size_t queue_bytes_ = 0;
    bool writing_ = false;  // the writer thread has taken a line off the queue and is writing it
    enum class ThreadState {
        not_started,
        running,
        failed
    } thread_state_ = ThreadState::not_started;
    std::size_t dropped_ = 0;  // lines dropped and not yet reported
    std::string first_dropped_;
};

// "[velmot] N lines dropped while stderr was not writable; the first: " + first_line.
std::string dropped_lines_report(std::size_t count, std::string_view first_line);

}  // namespace velmot
