// The process-wide worker pool and the parallel loops run on it (sized from
// the environment, else from tamrel/cpu_quota.hpp).
//
// The pool is created on first use and lives until the process ends (its
// threads are never joined). A parallel call hands its work to the pool and
// the calling thread takes part; the first exception thrown by any part of
// the work is rethrown on the calling thread once every part has stopped.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <optional>
#include <utility>
#include <vector>

namespace tamrel {

// Threads that work on one parallel call, the calling thread included.
std::size_t worker_count();

// A worker count from the environment: a decimal integer with an optional
// leading '+', nothing else; absent (nullptr) or malformed gives nothing.
std::optional<std::size_t> parse_thread_count(const char* value);

// The pool size for the given environment values and processor count:
// `num_threads` when valid, else `rs_num_cpus`, else `available`; a valid 0
// means `available`.
std::size_t resolve_worker_count(const char* num_threads, const char* rs_num_cpus,
                                 std::size_t available);

// Runs `body` over consecutive chunks of [0, n) on the pool and waits. Chunks
// are handed out one at a time, so uneven work balances. After a failure the
// remaining chunks are skipped and the first exception is rethrown here.
// Nested calls from inside a body run inline on the current thread.
void parallel_for(std::size_t n, const std::function<void(std::size_t begin, std::size_t end)>& body);

// Calls `emit(begin, end, out)` over consecutive ranges covering [0, n), where
// `out` is a vector of T to append the results of items begin..end-1 to, and
// returns all results concatenated in item order. A range belongs to one
// thread, so `emit` may move its items out of shared input.
template <class T, class Emit>
std::vector<T> parallel_flat_map(std::size_t n, Emit&& emit) {
    if (n == 0) return {};
    const std::size_t parts = std::min<std::size_t>(n, worker_count() * 8);
    std::vector<std::vector<T>> pieces(parts);
    parallel_for(parts, [&](std::size_t first, std::size_t last) {
        for (std::size_t p = first; p < last; ++p) {
            const auto begin = static_cast<std::size_t>(std::uint64_t{n} * p / parts);
            const auto end = static_cast<std::size_t>(std::uint64_t{n} * (p + 1) / parts);
            pieces[p].reserve(end - begin);  // most maps yield at least one result per item
            emit(begin, end, pieces[p]);
        }
    });
    std::size_t total = 0;
    for (const auto& piece : pieces) total += piece.size();
    std::vector<T> out;
    out.reserve(total);
    for (auto& piece : pieces) {
        std::move(piece.begin(), piece.end(), std::back_inserter(out));
        std::vector<T>().swap(piece);  // free as we go: keeps the peak low
    }
    return out;
}

}  // namespace tamrel
