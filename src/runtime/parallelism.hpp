// How many CPUs this process may use: the size of its affinity mask, capped by a cgroup v2 CPU
// quota. Sizes the runtime's worker pool.
//
// Thread-safety: plain functions without shared state.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace velmot::runtime {

// CPUs available to the process, at least 1.
std::size_t available_parallelism();

// The CPU limit in a cgroup v2 `cpu.max` text ("max <period>" or "<quota> <period>"):
// ceil(quota / period), at least 1; nullopt for "max" or text that cannot be read.
std::optional<std::size_t> cgroup_cpu_limit(std::string_view cpu_max);

}  // namespace velmot::runtime
