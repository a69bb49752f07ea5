// The process-wide worker pool and the parallel loops run on it (sized from
// the environment, else from tamrel/cpu_quota.hpp).
//
// The pool is created on first use and lives until the process ends (its
// threads are never joined). A parallel call hands its work to the pool and
// the calling thread takes part; the first exception thrown by any part of
// the work is rethrown on the calling thread once every part has stopped.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>

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
// are handed out one at a time, each a share of the items left, so they shrink
// toward the end and uneven work balances. After a failure the
// remaining chunks are skipped and the first exception is rethrown here.
// Nested calls from inside a body run inline on the current thread.
void parallel_for(std::size_t n, const std::function<void(std::size_t begin, std::size_t end)>& body);

}  // namespace tamrel
