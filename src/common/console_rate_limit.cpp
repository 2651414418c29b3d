// The console's per-kind one-second windows and their summary lines.
#include "common/console_rate_limit.hpp"

#include <algorithm>

namespace velmot {

std::string suppressed_lines_summary(std::size_t count, std::string_view first_line) {
    std::string summary = "[velmot] " + std::to_string(count) + " more lines like: ";
    summary += first_line;
    if (summary.back() != '\n') {
        summary += '\n';
    }
    return summary;
}

ConsoleRateLimit::Window& ConsoleRateLimit::window_of(ConsoleKind kind) {
    auto found = std::find_if(windows_.begin(), windows_.end(),
                              [&](const Window& w) { return w.kind == kind.name(); });
    if (found != windows_.end()) {
        return *found;
    }
    windows_.push_back(Window{kind.name(), std::nullopt, 0, 0, {}});
    return windows_.back();
}

std::optional<std::string> ConsoleRateLimit::close(Window& window) {
    std::optional<std::string> summary;
    if (window.suppressed > 0) {
        summary = suppressed_lines_summary(window.suppressed, window.first_suppressed);
    }
    window.start.reset();
    window.written = 0;
    window.suppressed = 0;
    window.first_suppressed.clear();
    window.first_suppressed.shrink_to_fit();
    return summary;
}

ConsoleRateLimit::Verdict ConsoleRateLimit::admit(ConsoleKind kind, std::string_view line,
                                                  Clock::time_point now) {
    Verdict verdict;
    Window& window = window_of(kind);
    if (window.start && now - *window.start >= k_window) {
        verdict.summary = close(window);
    }
    if (!window.start) {
        window.start = now;
    }
    if (window.written < lines_per_window_) {
        ++window.written;
        verdict.write = true;
    } else if (window.suppressed++ == 0) {
        window.first_suppressed = line;
        verdict.first_suppressed = true;
    }
    return verdict;
}

std::vector<std::string> ConsoleRateLimit::take_due(Clock::time_point now) {
    std::vector<std::string> summaries;
    for (auto& window : windows_) {
        if (window.suppressed > 0 && window.start && now - *window.start >= k_window) {
            if (auto summary = close(window)) {
                summaries.push_back(std::move(*summary));
            }
        }
    }
    return summaries;
}

std::vector<std::string> ConsoleRateLimit::take_all() {
    std::vector<std::string> summaries;
    for (auto& window : windows_) {
        if (window.suppressed > 0) {
            if (auto summary = close(window)) {
                summaries.push_back(std::move(*summary));
            }
        }
    }
    return summaries;
}

std::optional<ConsoleRateLimit::Clock::time_point> ConsoleRateLimit::next_deadline() const {
    std::optional<Clock::time_point> earliest;
    for (const auto& window : windows_) {
        if (window.suppressed == 0) {
            continue;
        }
        const auto end = *window.start + k_window;
        if (!earliest || end < *earliest) {
            earliest = end;
        }
    }
    return earliest;
}

}  // namespace velmot
