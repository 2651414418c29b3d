// CPU count from sched_getaffinity and /sys/fs/cgroup/cpu.max.
#include "runtime/parallelism.hpp"

#include <sched.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

namespace velmot::runtime {

namespace {

std::size_t affinity_cpu_count() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) {
        return 1;
    }
    return static_cast<std::size_t>(std::max(CPU_COUNT(&set), 1));
}

std::optional<std::size_t> cgroup_limit_from_file() {
    std::ifstream file("/sys/fs/cgroup/cpu.max");
    std::string line;
    if (!file || !std::getline(file, line)) {
        return std::nullopt;
    }
    return cgroup_cpu_limit(line);
}

}  // namespace

std::optional<std::size_t> cgroup_cpu_limit(std::string_view cpu_max) {
    std::istringstream in{std::string(cpu_max)};
    std::string quota_text;
    unsigned long long period = 0;
    if (!(in >> quota_text >> period) || quota_text == "max" || period == 0) {
        return std::nullopt;
    }
    unsigned long long quota = 0;
    try {
        std::size_t used = 0;
        quota = std::stoull(quota_text, &used);
        if (used != quota_text.size()) {
            return std::nullopt;
        }
    } catch (const std::exception&) {  // std::invalid_argument / std::out_of_range: unreadable
        return std::nullopt;
    }
    const unsigned long long cpus = quota / period + (quota % period != 0 ? 1 : 0);
    return static_cast<std::size_t>(std::max(cpus, 1ULL));
}

std::size_t available_parallelism() {
    std::size_t cpus = affinity_cpu_count();
    if (auto limit = cgroup_limit_from_file()) {
        cpus = std::min(cpus, *limit);
    }
    return std::max<std::size_t>(cpus, 1);
}

}  // namespace velmot::runtime
