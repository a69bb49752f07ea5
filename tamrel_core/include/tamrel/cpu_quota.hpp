// How many processors this process may use: the affinity mask, reduced by a
// cgroup (v1 or v2) CPU quota of its group or any enclosing group.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace tamrel {

// Processors this process may use: its affinity mask reduced by a cgroup CPU
// quota where one is set; at least 1.
std::size_t available_processors();

// Processors a CFS quota allows (quota / period, at least 1); nothing when
// the quota is unlimited (negative) or the period is not positive.
std::optional<std::size_t> quota_processors(long long quota, long long period);

// Processors a cgroup v2 `cpu.max` file ("max 100000", "150000 100000") allows.
std::optional<std::size_t> parse_cpu_max(std::string_view content);

}  // namespace tamrel
