#include "tamrel/parallel.hpp"

#include "tamrel/cpu_quota.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "tamrel/error.hpp"

namespace tamrel {

namespace {

// ---- the pool -------------------------------------------------------------

using Body = std::function<void(std::size_t, std::size_t)>;

// True while this thread runs a chunk: nested calls then run inline, which
// cannot deadlock however many levels deep they go. Initial-exec keeps it in
// the static block every thread gets when it is created: the default model of
// a dlopened library allocates on a thread's first access instead, and the C
// library aborts the process when that allocation fails.
[[gnu::tls_model("initial-exec")]] thread_local bool in_parallel_body = false;

struct Job {
    const Body* body;
    std::size_t n;
    std::size_t smallest;  // the fewest items a claim takes
    std::size_t share;     // a claim takes this fraction (1 / share) of the items left
    std::atomic<std::size_t> next{0};  // the first item not yet claimed
    std::atomic<std::size_t> unfinished;  // items not yet run (or skipped after a failure)
    std::atomic<bool> failed{false};
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::exception_ptr error;

    Job(const Body& b, std::size_t size, std::size_t least, std::size_t fraction)
        : body(&b), n(size), smallest(least), share(fraction), unfinished(size) {}

    // Claims the next chunk [begin, end): a share of the items left, never fewer than `smallest`. Chunks
    // shrink as the work runs out, so the workers finish within a small chunk of each other, while the
    // first ones are large and few.
    bool claim(std::size_t& begin, std::size_t& end) {
        begin = next.load(std::memory_order_relaxed);
        for (;;) {
            if (begin >= n) return false;
            end = begin + std::min(n - begin, std::max(smallest, (n - begin) / share));
            if (next.compare_exchange_weak(begin, end, std::memory_order_relaxed)) return true;
        }
    }

    // Claims and runs chunks until none is left. The body is only touched
    // for a claimed chunk, while the caller still waits for it.
    void work() {
        std::size_t begin = 0, end = 0;
        while (claim(begin, end)) {
            if (!failed.load(std::memory_order_relaxed)) {
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
            if (unfinished.fetch_sub(end - begin, std::memory_order_acq_rel) == end - begin) {
                std::lock_guard lock(mutex);
                done = true;
                finished.notify_all();
            }
        }
    }
};

class Pool {
public:
    // Never throws once a worker runs: the workers hold `this`.
    explicit Pool(std::size_t workers) : workers_(workers) {
        // The calling thread is one of the workers; the pool adds the rest.
        for (std::size_t i = 1; i < workers; ++i) {
            try {
                std::thread([this] { serve(); }).detach();
            } catch (...) {  // no thread (system_error) or no memory for its state (bad_alloc)
                workers_ = i;  // run with the threads the system would give
                break;
            }
        }
    }

    std::size_t workers() const { return workers_; }

    void run(std::size_t n, const Body& body) {
        // A claim takes a (2 x workers)th of what is left, at least a (32 x workers)th of the whole: about as
        // many chunks as workers times 8 or so, the last ones a few items each.
        const auto job = std::make_shared<Job>(body, n, std::max<std::size_t>(1, n / (workers_ * 32)), workers_ * 2);
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
        // Taken out of the job, so the exception is freed by whoever catches it, never by a
        // worker dropping its last reference to the job later.
        if (job->error) std::rethrow_exception(std::exchange(job->error, nullptr));
    }

private:
    void serve() {
        reserve_exception_state();
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
