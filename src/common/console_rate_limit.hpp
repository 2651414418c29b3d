// The console's rate limit: each kind of line may write at most `lines_per_window` lines in a
// one-second window; the lines beyond are not written but counted, and when the window ends one
// summary line takes their place: "[velmot] N more lines like: " + the first line not written.
//
// A kind's window opens with its first line and lasts one second. A window that suppressed lines
// ends at its deadline (the console writer's thread asks for due summaries then, so the summary
// comes even when no further line of that kind does) or at the next line of that kind, whichever
// is first; its summary then precedes that line. A window that suppressed nothing just lapses.
// Times are handed in by the caller, so the bookkeeping is pure and testable without waiting.
//
// Ownership: the console writer owns one, kept under its mutex.
// Thread-safety: distinct objects: safe; shared objects: unsafe (the caller locks).
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/console.hpp"

namespace velmot {

// "[velmot] N more lines like: " + first_line (a line feed is added when it has none).
std::string suppressed_lines_summary(std::size_t count, std::string_view first_line);

class ConsoleRateLimit {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto k_window = std::chrono::seconds(1);
    static constexpr std::size_t k_default_lines_per_window = 100;

    explicit ConsoleRateLimit(std::size_t lines_per_window = k_default_lines_per_window)
        : lines_per_window_(lines_per_window) {}

    // The verdict on one line of `kind` produced at `now`.
    struct Verdict {
        bool write = false;                  // the line itself is to be written
        std::optional<std::string> summary;  // to be written first: the kind's ended window
        bool first_suppressed = false;       // this line opened the window's suppressed count
    };
    Verdict admit(ConsoleKind kind, std::string_view line, Clock::time_point now);

    // The summaries of windows that suppressed lines and ended by `now` (their windows close).
    std::vector<std::string> take_due(Clock::time_point now);

    // The summaries of every window that suppressed lines, ended or not (all such windows close):
    // for a flush that must not wait for the windows to end.
    std::vector<std::string> take_all();

    // The earliest end of a window that suppressed lines; nullopt when there is none.
    std::optional<Clock::time_point> next_deadline() const;

private:
    struct Window {
        std::string_view kind;
        std::optional<Clock::time_point> start;  // nullopt: closed
        std::size_t written = 0;
        std::size_t suppressed = 0;
        std::string first_suppressed;
    };
    Window& window_of(ConsoleKind kind);
    static std::optional<std::string> close(Window& window);

    std::size_t lines_per_window_;
    std::vector<Window> windows_;  // one per kind seen; a handful, so a linear search
};

}  // namespace velmot
