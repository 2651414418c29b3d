// Opt-in real-time scheduling of High and Realtime timer threads, set by two
// environment variables that are read once, when the first High or Realtime
// timer starts:
//   VELMOT_RT_PRIORITY=1..99   each such timer thread runs under SCHED_FIFO at
//   that priority VELMOT_RT_CPUS=0,2-3       each such timer thread runs on
//   those CPUs only
// Unset (or empty) variables change nothing. A value that cannot be parsed is
// ignored with one stderr line; a policy or affinity the kernel refuses (no
// CAP_SYS_NICE, RLIMIT_RTPRIO, CPUs not allowed) is reported with one stderr
// line per variable and process, and the thread goes on as it would without it.
// The policy carries SCHED_RESET_ON_FORK, so threads and processes started from
// a timer call begin under the normal policy (they do keep the timer's CPU
// affinity).
//
// Ownership: the settings are read into a leaked, never-destroyed object.
// Thread-safety: realtime_settings() may be called from any thread (the first
// call reads the environment; callers race safely). enter_realtime() changes
// only the calling thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"

namespace velmot::timer {

constexpr std::string_view k_rt_priority_variable = "VELMOT_RT_PRIORITY";
constexpr std::string_view k_rt_cpus_variable = "VELMOT_RT_CPUS";

struct RealtimeSettings {
    std::optional<int> priority;  // SCHED_FIFO priority, 1..99; none: the policy is left alone
    std::vector<int> cpus;        // ascending, no duplicates; empty: the affinity is left alone
    std::string cpus_text;        // the variable's value, as the refusal notice shows it
};

// "1".."99" (decimal digits only, surrounding blanks allowed).
Result<int> parse_rt_priority(std::string_view text);
// A CPU list as the kernel writes it: items "N" or "N-M" (N <= M) separated by
// commas, every CPU below CPU_SETSIZE. Returns the CPUs ascending, each once.
Result<std::vector<int>> parse_cpu_list(std::string_view text);

// The settings of this process. The first call reads the variables (and prints
// the line for a value it ignores); later changes of the environment are not
// seen.
const RealtimeSettings& realtime_settings();

// Applies `settings` to the calling thread: the affinity first, then the
// policy. Returns true when the thread now runs under SCHED_FIFO. Does nothing
// (false) for default settings.
bool enter_realtime(const RealtimeSettings& settings);

}  // namespace velmot::timer
