// Reading the real-time settings and applying them to timer and runtime threads.
//
// Thread-safety: the settings are built once under the function-local static's guard; the refusal
// notices are claimed with atomic flags, so each prints once however many threads meet the
// refusal at the same time.
#include "common/realtime_mode.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/console.hpp"

namespace velmot {

namespace {

constexpr ConsoleKind k_rt_notice_kind{"real-time mode"};
constexpr int k_lowest_priority = 1;
constexpr int k_highest_priority = 99;

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// A whole decimal number of digits only (no sign), or nothing.
std::optional<int> parse_number(std::string_view text) {
    int value = 0;
    if (text.empty() || text.front() < '0' || text.front() > '9') {
        return std::nullopt;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::string errno_text(int errno_value) {
    char buffer[256];
    return strerror_r(errno_value, buffer, sizeof buffer);
}

// The value of `name`, or nothing when it is unset or empty.
std::optional<std::string> variable(std::string_view name) {
    const char* value = std::getenv(std::string(name).c_str());
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

RealtimeSettings read_settings() {
    RealtimeSettings settings;
    if (const auto text = variable(k_rt_priority_variable)) {
        auto priority = parse_rt_priority(*text);
        if (priority) {
            settings.priority = priority.value();
        } else {
            write_stderr(k_rt_notice_kind, "[velmot] " + std::string(k_rt_priority_variable) +
                                               "='" + *text +
                                               "' ignored: " + priority.error().message + "\n");
        }
    }
    if (const auto text = variable(k_rt_cpus_variable)) {
        auto cpus = parse_cpu_list(*text);
        if (cpus) {
            settings.cpus = std::move(cpus.value());
            settings.cpus_text = *text;
        } else {
            write_stderr(k_rt_notice_kind, "[velmot] " + std::string(k_rt_cpus_variable) + "='" +
                                               *text + "' ignored: " + cpus.error().message + "\n");
        }
    }
    return settings;
}

// Prints `line` the first time `printed` is claimed.
void notice_once(std::atomic<bool>& printed, const std::string& line) {
    if (!printed.exchange(true, std::memory_order_relaxed)) {
        write_stderr(k_rt_notice_kind, line);
    }
}

std::atomic<bool> g_affinity_refusal_printed{false};
std::atomic<bool> g_policy_refusal_printed{false};

// Puts the calling thread under SCHED_FIFO at `priority`; true on success. `configured` is the
// variable's value, for the notice. On Linux sched_setscheduler(0, ...) acts on the calling
// thread, not the whole process.
bool enter_fifo(int priority, int configured) {
    sched_param param{};
    param.sched_priority = priority;
    if (sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0) {
        return true;
    }
    const int error = errno;
    notice_once(g_policy_refusal_printed,
                "[velmot] " + std::string(k_rt_priority_variable) + "=" +
                    std::to_string(configured) + " refused (" + errno_text(error) +
                    "): timer and runtime threads run with the normal policy\n");
    return false;
}

}  // namespace

Result<int> parse_rt_priority(std::string_view text) {
    const auto value = parse_number(trimmed(text));
    if (!value || *value < k_lowest_priority || *value > k_highest_priority) {
        return Error{ErrorKind::value, "not a priority from 1 to 99"};
    }
    return *value;
}

Result<std::vector<int>> parse_cpu_list(std::string_view text) {
    const Error refused{ErrorKind::value, "not a CPU list such as 0,2-3"};
    std::vector<bool> chosen(CPU_SETSIZE, false);
    std::string_view rest = trimmed(text);
    if (rest.empty()) {
        return refused;
    }
    while (true) {
        const auto comma = rest.find(',');
        const std::string_view item = trimmed(rest.substr(0, comma));
        const auto dash = item.find('-');
        const auto first = parse_number(item.substr(0, dash));
        const auto last =
            dash == std::string_view::npos ? first : parse_number(item.substr(dash + 1));
        if (!first || !last || *first > *last || *last >= CPU_SETSIZE) {
            return refused;
        }
        for (int cpu = *first; cpu <= *last; ++cpu) {
            chosen[static_cast<std::size_t>(cpu)] = true;
        }
        if (comma == std::string_view::npos) {
            break;
        }
        rest = rest.substr(comma + 1);
    }
    std::vector<int> cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (chosen[static_cast<std::size_t>(cpu)]) {
            cpus.push_back(cpu);
        }
    }
    return cpus;
}

const RealtimeSettings& realtime_settings() {
    static const RealtimeSettings& settings = *new RealtimeSettings(read_settings());
    return settings;
}

bool enter_realtime(const RealtimeSettings& settings) {
    if (!settings.cpus.empty()) {
        cpu_set_t set;
        CPU_ZERO(&set);
        for (const int cpu : settings.cpus) {
            CPU_SET(cpu, &set);
        }
        const int error = pthread_setaffinity_np(pthread_self(), sizeof set, &set);
        if (error != 0) {
            notice_once(g_affinity_refusal_printed,
                        "[velmot] " + std::string(k_rt_cpus_variable) + "=" + settings.cpus_text +
                            " refused (" + errno_text(error) +
                            "): timer threads keep their CPU affinity\n");
        }
    }
    if (!settings.priority) {
        return false;
    }
    return enter_fifo(*settings.priority, *settings.priority);
}

void enter_realtime_worker(const RealtimeSettings& settings) {
    if (settings.priority) {
        (void)enter_fifo(std::max(k_lowest_priority, *settings.priority - 1), *settings.priority);
    }
}

}  // namespace velmot
