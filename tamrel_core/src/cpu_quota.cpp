#include "tamrel/cpu_quota.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

namespace tamrel {

namespace {

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::optional<long long> read_number(const std::string& path) {
    const auto content = read_file(path);
    if (!content) return std::nullopt;
    long long value = 0;
    std::istringstream in(*content);
    if (!(in >> value)) return std::nullopt;
    return value;
}

std::optional<std::size_t> tighter(std::optional<std::size_t> a, std::optional<std::size_t> b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

// Walks from `dir` up to `root`, giving `limit(directory)` the chance to
// restrict; quotas of enclosing groups apply as well.
template <class Limit>
std::optional<std::size_t> tightest_up_to(std::string dir, const std::string& root, Limit limit) {
    std::optional<std::size_t> best;
    for (;;) {
        best = tighter(best, limit(dir));
        if (dir.size() <= root.size()) return best;
        dir.erase(dir.find_last_of('/'));
        if (dir.size() < root.size()) dir = root;
    }
}

std::optional<std::size_t> cgroup2_limit(const std::string& group) {
    const std::string root = "/sys/fs/cgroup";
    return tightest_up_to(root + (group == "/" ? "" : group), root, [](const std::string& dir) {
        const auto content = read_file(dir + "/cpu.max");
        return content ? parse_cpu_max(*content) : std::nullopt;
    });
}

// cgroup v1: the cpu controller's mount (from mountinfo) and the group's path inside it.
std::optional<std::size_t> cgroup1_limit(const std::string& group) {
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mounts, line)) {
        // id parent major:minor root mount-point options ... - fstype source super-options
        std::istringstream in(line);
        std::string id, parent, dev, mount_root, mount_point;
        in >> id >> parent >> dev >> mount_root >> mount_point;
        const auto dash = line.find(" - ");
        if (dash == std::string::npos) continue;
        std::istringstream tail(line.substr(dash + 3));
        std::string fstype, source, options;
        tail >> fstype >> source >> options;
        if (fstype != "cgroup") continue;
        bool has_cpu = false;
        std::istringstream opts(options);
        for (std::string opt; std::getline(opts, opt, ',');) has_cpu = has_cpu || opt == "cpu";
        if (!has_cpu) continue;
        std::string relative = group;
        if (mount_root != "/" && relative.rfind(mount_root, 0) == 0)
            relative = relative.substr(mount_root.size());
        if (relative == "/") relative.clear();
        return tightest_up_to(mount_point + relative, mount_point, [](const std::string& dir) {
            const auto quota = read_number(dir + "/cpu.cfs_quota_us");
            const auto period = read_number(dir + "/cpu.cfs_period_us");
            return quota && period ? quota_processors(*quota, *period) : std::nullopt;
        });
    }
    return std::nullopt;
}

std::optional<std::size_t> cgroup_limit() {
    std::ifstream groups("/proc/self/cgroup");
    std::string line;
    std::optional<std::size_t> limit;
    while (std::getline(groups, line)) {
        // hierarchy-id:controllers:path
        const auto first = line.find(':');
        const auto second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        if (line.compare(0, first, "0") == 0 && controllers.empty()) {
            limit = tighter(limit, cgroup2_limit(path));
            continue;
        }
        std::istringstream names(controllers);
        for (std::string name; std::getline(names, name, ',');) {
            if (name == "cpu") limit = tighter(limit, cgroup1_limit(path));
        }
    }
    return limit;
}

}  // namespace

std::optional<std::size_t> quota_processors(long long quota, long long period) {
    if (quota < 0 || period <= 0) return std::nullopt;
    return std::max<std::size_t>(1, static_cast<std::size_t>(quota / period));
}

std::optional<std::size_t> parse_cpu_max(std::string_view content) {
    std::istringstream in{std::string(content)};
    std::string quota;
    long long period = 0;
    if (!(in >> quota >> period) || quota == "max") return std::nullopt;
    long long value = 0;
    const auto [end, ec] = std::from_chars(quota.data(), quota.data() + quota.size(), value);
    if (ec != std::errc() || end != quota.data() + quota.size()) return std::nullopt;
    return quota_processors(value, period);
}

std::size_t available_processors() {
    std::size_t cpus = 0;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) cpus = static_cast<std::size_t>(CPU_COUNT(&set));
    if (cpus == 0) {
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        cpus = online > 0 ? static_cast<std::size_t>(online) : 1;
    }
    if (const auto limit = cgroup_limit()) cpus = std::min(cpus, *limit);
    return std::max<std::size_t>(cpus, 1);
}

}  // namespace tamrel
