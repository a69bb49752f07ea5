#include "tamrel/parallel.hpp"

#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <fstream>
#include <limits>
#include <mutex>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>

namespace tamrel {

namespace {

// ---- sizing ---------------------------------------------------------------

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

// ---- the pool -------------------------------------------------------------

using Body = std::function<void(std::size_t, std::size_t)>;

// True while this thread runs a chunk: nested calls then run inline, which
// cannot deadlock however many levels deep they go.
thread_local bool in_parallel_body = false;

struct Job {
    const Body* body;
    std::size_t n;
    std::size_t chunk;
    std::size_t chunks;
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> unfinished;
    std::atomic<bool> failed{false};
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::exception_ptr error;

    Job(const Body& b, std::size_t size, std::size_t chunk_size)
        : body(&b), n(size), chunk(chunk_size), chunks((size + chunk_size - 1) / chunk_size),
          unfinished(chunks) {}

    // Claims and runs chunks until none is left. The body is only touched
    // for a claimed chunk, while the caller still waits for it.
    void work() {
        for (;;) {
            const std::size_t c = next.fetch_add(1, std::memory_order_relaxed);
            if (c >= chunks) return;
            if (!failed.load(std::memory_order_relaxed)) {
                const std::size_t begin = c * chunk;
                const std::size_t end = std::min(n, begin + chunk);
                try {
                    in_parallel_body = true;
                    (*body)(begin, end);
                    in_parallel_body = false;
                } catch (...) {
                    in_parallel_body = false;
                    std::lock_guard lock(mutex);
                    if (!error) error = std::current_exception();
                    failed.store(true, std::memory_order_relaxed);
                }
            }
            if (unfinished.fetch_sub(1, std::memory_order_acq_rel) == 1) {
                std::lock_guard lock(mutex);
                done = true;
                finished.notify_all();
            }
        }
    }
};

class Pool {
public:
    explicit Pool(std::size_t workers) : workers_(workers) {
        // The calling thread is one of the workers; the pool adds the rest.
        for (std::size_t i = 1; i < workers; ++i) {
            try {
                std::thread([this] { serve(); }).detach();
            } catch (const std::system_error&) {
                workers_ = i;  // run with the threads the system would give
                break;
            }
        }
    }

    std::size_t workers() const { return workers_; }

    void run(std::size_t n, const Body& body) {
        const std::size_t chunks = std::min(n, workers_ * 8);
        const auto job = std::make_shared<Job>(body, n, (n + chunks - 1) / chunks);
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(job);
        }
        wake_.notify_all();
        job->work();
        retire(job);
        {
            std::unique_lock lock(job->mutex);
            job->finished.wait(lock, [&] { return job->done; });
        }
        if (job->error) std::rethrow_exception(job->error);
    }

private:
    void serve() {
        for (;;) {
            std::shared_ptr<Job> job;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [&] { return !queue_.empty(); });
                job = queue_.front();
            }
            job->work();
            retire(job);
        }
    }

    // Takes a job whose chunks are all claimed out of the queue.
    void retire(const std::shared_ptr<Job>& job) {
        std::lock_guard lock(mutex_);
        const auto it = std::find(queue_.begin(), queue_.end(), job);
        if (it != queue_.end()) queue_.erase(it);
    }

    std::size_t workers_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<Job>> queue_;
};

// Created on first use and never destroyed: detached workers wait on its
// members for the life of the process, and exit must not join them.
Pool& pool() {
    static Pool* instance = new Pool(resolve_worker_count(
        std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), available_processors()));
    return *instance;
}

}  // namespace

std::optional<std::size_t> parse_thread_count(const char* value) {
    if (value == nullptr) return std::nullopt;
    std::string_view text(value);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::size_t count = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), count);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return count;
}

std::size_t resolve_worker_count(const char* num_threads, const char* rs_num_cpus,
                                 std::size_t available) {
    auto count = parse_thread_count(num_threads);
    if (!count) count = parse_thread_count(rs_num_cpus);
    return !count || *count == 0 ? available : *count;
}

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

std::size_t worker_count() { return pool().workers(); }

void parallel_for(std::size_t n, const Body& body) {
    if (n == 0) return;
    if (n == 1 || in_parallel_body || worker_count() == 1) {
        body(0, n);
        return;
    }
    pool().run(n, body);
}

}  // namespace tamrel
