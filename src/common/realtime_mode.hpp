// Opt-in real-time scheduling, set by two environment variables that are read once, by the
// first thread that needs them (the first High or Realtime timer to start, or the runtime when it
// is built):
//   VELMOT_RT_PRIORITY=1..99   High and Realtime timer threads run under SCHED_FIFO at that
//                              priority, the runtime's worker threads (CAN I/O, feedback
//                              receivers, Normal timer loops) one below it (at least 1)
//   VELMOT_RT_CPUS=0,2-3       High and Realtime timer threads run on those CPUs only
// Unset (or empty) variables change nothing. A value that cannot be parsed is ignored with one
// stderr line; a policy or affinity the kernel refuses (no CAP_SYS_NICE, RLIMIT_RTPRIO, CPUs not
// allowed) is reported with one stderr line per variable and process, and the thread goes on as
// it would without it. The policy carries SCHED_RESET_ON_FORK, so threads and processes started
// from such a thread begin under the normal policy (they do keep its CPU affinity). It lives in
// common/ because the runtime, below the timers, uses it too.
//
// Ownership: the settings are read into a leaked, never-destroyed object.
// Thread-safety: realtime_settings() may be called from any thread (the first call reads the
// environment; callers race safely). The enter_ functions change only the calling thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"

namespace velmot {

constexpr std::string_view k_rt_priority_variable = "VELMOT_RT_PRIORITY";
constexpr std::string_view k_rt_cpus_variable = "VELMOT_RT_CPUS";

struct RealtimeSettings {
    std::optional<int> priority;  // SCHED_FIFO priority, 1..99; none: the policy is left alone
    std::vector<int> cpus;        // ascending, no duplicates; empty: the affinity is left alone
    std::string cpus_text;        // the variable's value, as the refusal notice shows it
};

// "1".."99" (decimal digits only, surrounding blanks allowed).
Result<int> parse_rt_priority(std::string_view text);
// A CPU list as the kernel writes it: items "N" or "N-M" (N <= M) separated by commas, every CPU
// below CPU_SETSIZE. Returns the CPUs ascending, each once.
Result<std::vector<int>> parse_cpu_list(std::string_view text);

// The settings of this process. The first call reads the variables (and prints the line for a
// value it ignores); later changes of the environment are not seen.
const RealtimeSettings& realtime_settings();

// Applies `settings` to the calling timer thread: the affinity first, then the policy. Returns
// true when the thread now runs under SCHED_FIFO. Does nothing (false) for default settings.
bool enter_realtime(const RealtimeSettings& settings);

// Applies `settings` to the calling runtime worker: SCHED_FIFO one below the timers' priority (at
// least 1); its CPUs are left alone. Does nothing for default settings.
void enter_realtime_worker(const RealtimeSettings& settings);

}  // namespace velmot
