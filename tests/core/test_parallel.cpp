#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <limits>
#include <mutex>
#include <algorithm>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tamrel/error.hpp"
#include "tamrel/parallel.hpp"
#include "tamrel/total_order.hpp"

using tamrel::parallel_for;

TEST(WorkerCount, EnvironmentRules) {
    struct Case {
        const char* num_threads;
        const char* rs_num_cpus;
        std::size_t expected;
    };
    const Case cases[] = {
        {"4", nullptr, 4},       {"+3", nullptr, 3},     {"0", "7", 6},  // 0: processors
        {"+0", nullptr, 6},      {"abc", "5", 5},        {nullptr, "+2", 2},
        {"", "", 6},             {" 4", nullptr, 6},     {"4 ", "3", 3},
        {"-1", "2", 2},          {"+", nullptr, 6},      {"++1", nullptr, 6},
        {"1.5", nullptr, 6},     {"0x10", nullptr, 6},   {"007", nullptr, 7},
        {"99999999999999999999999999", "9", 9},  // overflow is malformed
        {nullptr, "0", 6},       {nullptr, nullptr, 6},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(tamrel::resolve_worker_count(c.num_threads, c.rs_num_cpus, 6), c.expected)
            << (c.num_threads ? c.num_threads : "(unset)") << " / "
            << (c.rs_num_cpus ? c.rs_num_cpus : "(unset)");
    }
}

TEST(ParallelFor, CoversEveryIndexExactlyOnce) {
    for (const std::size_t n : {0u, 1u, 2u, 3u, 17u, 1000u, 100003u}) {
        std::vector<std::atomic<int>> seen(n);
        parallel_for(n, [&](std::size_t begin, std::size_t end) {
            ASSERT_LT(begin, end);
            for (std::size_t i = begin; i < end; ++i) seen[i].fetch_add(1);
        });
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(seen[i].load(), 1) << n << " " << i;
    }
}

TEST(ParallelFor, ChunksShrinkSoThatTheWorkersFinishTogether) {
    // The last chunks are the smallest: with equal chunks the last one of a batch ran alone while the
    // other workers idled (an eighth of the batch with 8 chunks).
    const std::size_t workers = tamrel::worker_count();
    for (const std::size_t n : {5u, 64u, 2000u, 100003u}) {
        std::mutex mutex;
        std::vector<std::pair<std::size_t, std::size_t>> chunks;
        parallel_for(n, [&](std::size_t begin, std::size_t end) {
            std::lock_guard lock(mutex);
            chunks.emplace_back(begin, end);
        });
        std::sort(chunks.begin(), chunks.end());
        ASSERT_FALSE(chunks.empty());
        if (workers == 1) {
            EXPECT_EQ(chunks.size(), 1u);
            continue;
        }
        EXPECT_EQ(chunks.back().second, n);
        for (std::size_t k = 1; k < chunks.size(); ++k) {
            ASSERT_EQ(chunks[k].first, chunks[k - 1].second) << n;
            EXPECT_LE(chunks[k].second - chunks[k].first, chunks[k - 1].second - chunks[k - 1].first) << n << " " << k;
        }
        EXPECT_LE(chunks.back().second - chunks.back().first, std::max<std::size_t>(1, n / (32 * workers))) << n;
        EXPECT_LE(chunks.size(), std::max<std::size_t>(n < 64 ? n : 0, 16 * workers)) << n;
    }
}

TEST(ParallelFor, FirstFailureReachesTheCallerAndThePoolStaysUsable) {
    for (int round = 0; round < 20; ++round) {
        std::atomic<std::size_t> ran{0};
        try {
            parallel_for(1000, [&](std::size_t begin, std::size_t end) {
                ran += end - begin;
                if (begin <= 500 && 500 < end) tamrel::fail("chunk failed");
            });
            FAIL() << "expected a failure";
        } catch (const tamrel::Failure& e) {
            EXPECT_STREQ(e.what(), "chunk failed");
        }
        EXPECT_LE(ran.load(), 1000u);
    }
    // Non-standard exception types travel too.
    EXPECT_THROW(parallel_for(64, [](std::size_t, std::size_t) { throw 42; }), int);
    std::atomic<std::size_t> total{0};
    parallel_for(100, [&](std::size_t b, std::size_t e) { total += e - b; });
    EXPECT_EQ(total.load(), 100u);
}

TEST(ParallelFor, NestedAndConcurrentCallsComplete) {
    std::atomic<std::size_t> total{0};
    auto nested = [&] {
        parallel_for(16, [&](std::size_t b, std::size_t e) {
            for (std::size_t i = b; i < e; ++i) {
                parallel_for(100, [&](std::size_t b2, std::size_t e2) {
                    parallel_for(3, [&](std::size_t b3, std::size_t e3) { total += (e2 - b2) * (e3 - b3); });
                });
            }
        });
    };
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) callers.emplace_back(nested);
    nested();
    for (auto& t : callers) t.join();
    EXPECT_EQ(total.load(), 5u * 16 * 100 * 3);
}

TEST(TotalOrder, KeysFollowIeeeTotalOrder) {
    const float ordered[] = {-std::numeric_limits<float>::quiet_NaN(),
                             -std::numeric_limits<float>::infinity(), -2.0f, -1e-40f, -0.0f,
                             0.0f, 1e-40f, 2.0f, std::numeric_limits<float>::infinity(),
                             std::numeric_limits<float>::quiet_NaN()};
    for (std::size_t i = 1; i < std::size(ordered); ++i)
        EXPECT_LT(tamrel::total_order_key(ordered[i - 1]), tamrel::total_order_key(ordered[i])) << i;
}
