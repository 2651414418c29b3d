// The console writer: the direct write, the bounded queue and the writer thread.
#include "common/console_writer.hpp"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <system_error>
#include <thread>
#include <utility>

#include "common/signal_blocked_thread.hpp"

namespace velmot {

std::string dropped_lines_report(std::size_t count, std::string_view first_line) {
    std::string report = "[velmot] " + std::to_string(count) +
                         " lines dropped while stderr was not writable; the first: ";
    report += first_line;
    if (report.back() != '\n') {
        report += '\n';
    }
    return report;
}

namespace {
// Lock-free because a fork child creates its writer while another thread may have held any lock.
std::atomic<ConsoleWriter*> g_newest_writer{nullptr};
}  // namespace

ConsoleWriter& ConsoleWriter::create(int fd, ConsoleLimits limits) {
    auto* writer = new ConsoleWriter(fd, limits);
    writer->created_before_ = g_newest_writer.exchange(writer, std::memory_order_acq_rel);
    return *writer;
}

ConsoleWriter::ConsoleWriter(int fd, ConsoleLimits limits)
    : fd_(fd), limits_(limits), rate_limit_(limits.lines_per_second) {}

void ConsoleWriter::write(ConsoleKind kind, std::string_view text) {
    std::lock_guard lock(mutex_);
    auto verdict = rate_limit_.admit(kind, text, Clock::now());
    if (verdict.summary) {
        submit_locked(*verdict.summary);
    }
    if (verdict.write) {
        submit_locked(text);
    }
    // The writer thread must wake when this window ends, to write its summary.
    if (verdict.first_suppressed && ensure_thread_locked()) {
        work_ready_.notify_one();
    }
}

bool ConsoleWriter::flush(Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    for (const auto& summary : rate_limit_.take_all()) {
        submit_locked(summary);
    }
    const bool drained = drained_.wait_until(lock, deadline, [this] { return idle_locked(); });
    while (!queue_.empty()) {
        count_dropped_locked(queue_.front());
        queue_.pop_front();
    }
    queue_bytes_ = 0;
    return drained;
}

bool ConsoleWriter::idle_locked() const {
    // Without a writer thread a drop report has no one to write it: it does not count as work.
    const bool report_pending = dropped_ > 0 && thread_state_ == ThreadState::running;
    return queue_.empty() && !writing_ && !report_pending;
}

// `text` directly when that cannot block and nothing waits before it (no queued line, no write
// in flight, no drop report due), else through the queue.
void ConsoleWriter::submit_locked(std::string_view text) {
    if (idle_locked() && writable_now(text.size())) {
        // A remainder is left only when someone else put the fd in non-blocking mode.
        const auto rest = write_without_waiting(text);
        if (!rest.empty()) {
            enqueue_locked(rest);
        }
        return;
    }
    enqueue_locked(text);
}

// A line longer than the whole capacity is still taken when the queue is empty, so that no line
// is dropped for its length alone; the memory held is then that one line.
void ConsoleWriter::enqueue_locked(std::string_view text) {
    const bool fits = queue_.empty() || queue_bytes_ + text.size() <= limits_.queue_capacity_bytes;
    if (!fits || !ensure_thread_locked()) {
        count_dropped_locked(text);
        return;
    }
    queue_.emplace_back(text);
    queue_bytes_ += text.size();
    work_ready_.notify_one();
}

// The writer thread writes the report as soon as the write in flight, if any, is done.
void ConsoleWriter::count_dropped_locked(std::string_view text) {
    if (dropped_++ == 0) {
        first_dropped_ = text;
        work_ready_.notify_one();
    }
}

std::string ConsoleWriter::take_drop_report_locked() {
    std::string report = dropped_lines_report(dropped_, first_dropped_);
    dropped_ = 0;
    first_dropped_.clear();
    first_dropped_.shrink_to_fit();
    return report;
}

bool ConsoleWriter::writable_now(std::size_t size) const {
    pollfd request{fd_, POLLOUT, 0};
    if (::poll(&request, 1, 0) != 1) {
        return false;
    }
    // An error or hang-up makes the write fail at once: it cannot block either.
    if ((request.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        return true;
    }
    if ((request.revents & POLLOUT) == 0) {
        return false;
    }
    if (size <= PIPE_BUF) {
        return true;
    }
    struct stat status {};
    return ::fstat(fd_, &status) == 0 && S_ISREG(status.st_mode);
}

// Writes until done, or until the fd refuses more without waiting (EAGAIN: the rest is returned)
// or fails (the line is lost: there is nowhere to report it).
std::string_view ConsoleWriter::write_without_waiting(std::string_view text) const {
    while (!text.empty()) {
        const ssize_t written = ::write(fd_, text.data(), text.size());
        if (written > 0) {
            text.remove_prefix(static_cast<std::size_t>(written));
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return text;
        } else {
            return {};
        }
    }
    return text;
}

// The writer thread's write: waits as long as the fd needs.
void ConsoleWriter::write_waiting(std::string_view text) const {
    for (;;) {
        text = write_without_waiting(text);
        if (text.empty()) {
            return;
        }
        pollfd request{fd_, POLLOUT, 0};
        ::poll(&request, 1, -1);
    }
}

bool ConsoleWriter::ensure_thread_locked() {
    if (thread_state_ == ThreadState::not_started) {
        try {
            start_signal_blocked_thread([this] { run_thread(); }).detach();
            thread_state_ = ThreadState::running;
        } catch (const std::system_error&) {
            // No thread: lines that would need it are dropped and counted; direct writes go on.
            thread_state_ = ThreadState::failed;
        }
    }
    return thread_state_ == ThreadState::running;
}

void ConsoleWriter::run_thread() {
    std::unique_lock lock(mutex_);
    for (;;) {
        for (const auto& summary : rate_limit_.take_due(Clock::now())) {
            submit_locked(summary);
        }
        if (!writing_ && (dropped_ > 0 || !queue_.empty())) {
            // A drop report goes ahead of the queue: it is never queued, so never dropped itself.
            std::string text;
            if (dropped_ > 0) {
                text = take_drop_report_locked();
            } else {
                text = std::move(queue_.front());
                queue_.pop_front();
                queue_bytes_ -= text.size();
            }
            writing_ = true;
            lock.unlock();
            write_waiting(text);
            lock.lock();
            writing_ = false;
            if (idle_locked()) {
                drained_.notify_all();
            }
            continue;
        }
        if (const auto deadline = rate_limit_.next_deadline()) {
            work_ready_.wait_until(lock, *deadline);
        } else {
            work_ready_.wait(lock);
        }
    }
}

}  // namespace velmot
