#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "tamrel/radix_sort.hpp"
#include "tamrel/total_order.hpp"

namespace {

struct Item {
    float mass;
    std::uint32_t id;
};

}  // namespace

// Both sort paths (serial below 2^16 items, parallel above) order by the
// total-order key, including signed zeros, infinities and NaNs of both signs.
TEST(RadixSort, OrdersByTotalOrderKey) {
    const float specials[] = {-0.0f, 0.0f, std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(),
                              std::numeric_limits<float>::quiet_NaN(),
                              -std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::denorm_min(), -1e-30f};
    const unsigned seed = 20240611;
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> mass(-50.0f, 5000.0f);
    for (const std::size_t n : {0u, 1u, 63u, 64u, 5000u, 70000u, 300001u}) {
        std::vector<Item> items(n);
        for (std::size_t i = 0; i < n; ++i)
            items[i] = {i % 97 == 0 ? specials[(i / 97) % 8] : mass(rng), static_cast<std::uint32_t>(i)};
        auto key = [](const Item& it) { return tamrel::total_order_key(it.mass); };
        std::vector<Item> sorted = items;
        tamrel::parallel_radix_sort(sorted.data(), sorted.size(), key);
        std::vector<std::uint32_t> seen(n, 0);
        for (std::size_t i = 0; i < n; ++i) {
            if (i > 0) {
                ASSERT_LE(key(sorted[i - 1]), key(sorted[i])) << "seed " << seed << " n " << n;
            }
            ASSERT_EQ(std::bit_cast<std::uint32_t>(sorted[i].mass),
                      std::bit_cast<std::uint32_t>(items[sorted[i].id].mass));
            ++seen[sorted[i].id];
        }
        for (const auto s : seen) ASSERT_EQ(s, 1u);  // a permutation
    }
}
