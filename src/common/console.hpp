// Console messages: every line the module writes to standard error (CAN I/O errors, the feedback
// receiver's lines, timer errors and warnings, provisioning and fatal-error notices) goes through
// one process-wide console writer (console_writer.hpp), which never makes the producing thread
// wait for a slow or stuck stderr and limits each kind of line to 100 per second.
//
// Ownership: the process-wide writer is created on first use and leaked on purpose (its thread may
// still be blocked in a write to fd 2 at exit). A forked child starts with a fresh writer and
// never writes its parent's queued lines.
// Thread-safety: both functions may be called from any thread, with or without the GIL.
#pragma once

#include <chrono>
#include <string_view>

namespace velmot {

// What a console line is, for the rate limit: the producer names it with a string literal, e.g.
// `constexpr ConsoleKind k_unmatched_frame_kind{"motor: unmatched feedback frame"};`. Lines of
// kinds with equal names share one window.
class ConsoleKind {
public:
    consteval explicit ConsoleKind(const char* name) : name_(name) {}
    constexpr std::string_view name() const { return name_; }

private:
    std::string_view name_;
};

// Writes `text` (one line ending in '\n', or a few lines that belong together) to stderr, in one
// piece, in order with the other lines. Never waits for stderr: the text is written at once when
// fd 2 can take it without blocking and nothing is queued before it, otherwise it is queued for
// the writer thread (a full queue drops it, counted and reported later). Lines of `kind` beyond
// 100 in one second are counted instead and summarized once the second is over.
void write_stderr(ConsoleKind kind, std::string_view text);

// Writes what is queued, and the summaries of lines suppressed so far, until `deadline`; what is
// still queued then is dropped. True when everything was written.
// Blocks: the calling thread, until the queue is written or `deadline` (the GIL is not released:
// call it without the GIL where other threads may need it). Nothing else is lost if it returns
// early: lines it dropped were never going to be written in time.
bool flush_console(std::chrono::steady_clock::time_point deadline);

}  // namespace velmot
