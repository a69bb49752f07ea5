#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <utility>

#include "tamrel/heap.hpp"
#include "tamrel/scoring.hpp"

namespace tamrel {
namespace {

using Pairs = std::vector<std::pair<std::uint32_t, std::uint16_t>>;  // (peptide, matched)

std::vector<PreliminaryScore> scores(const Pairs& pairs) {
    std::vector<PreliminaryScore> out;
    for (auto [peptide, matched] : pairs) out.push_back({peptide, matched, 2, 0});
    return out;
}

Pairs select(const Pairs& input, std::size_t k) {
    auto values = scores(input);
    bounded_min_heapify(std::span(values), k);
    values.resize(k);
    Pairs out;
    for (const auto& v : values) out.emplace_back(v.peptide, v.matched);
    return out;
}

TEST(BoundedMinHeapify, SelectionOrderExamples) {
    EXPECT_EQ(select({{10, 5}, {11, 1}, {12, 4}, {13, 2}, {14, 3}, {15, 6}}, 3),
              (Pairs{{12, 4}, {10, 5}, {15, 6}}));
    EXPECT_EQ(select({{10, 3}, {11, 3}, {12, 1}, {13, 3}}, 2), (Pairs{{11, 3}, {13, 3}}));
}

TEST(PreliminaryScore, OrderIsMatchedThenPeptideThenChargeThenIsotope) {
    const PreliminaryScore base{7, 3, 2, 0};
    EXPECT_LT(base, (PreliminaryScore{0, 4, 0, -1}));
    EXPECT_LT(base, (PreliminaryScore{8, 3, 1, -1}));
    EXPECT_LT(base, (PreliminaryScore{7, 3, 3, -1}));
    EXPECT_LT((PreliminaryScore{7, 3, 2, -1}), base);
    // Extremes of every field: no field spills into the next one's order.
    EXPECT_LT((PreliminaryScore{7, 3, 2, -128}), (PreliminaryScore{7, 3, 2, 127}));
    EXPECT_LT((PreliminaryScore{0xFFFFFFFEu, 3, 255, 127}), (PreliminaryScore{0, 4, 0, -128}));
    EXPECT_LT((PreliminaryScore{0xFFFFFFFEu, 65534, 2, 0}), (PreliminaryScore{0, 65535, 0, -128}));
    EXPECT_LT((PreliminaryScore{6, 3, 255, 127}), (PreliminaryScore{7, 3, 0, -128}));
    // An empty slot ranks below every found candidate.
    EXPECT_LT(PreliminaryScore{}, (PreliminaryScore{0, 1, 0, 0}));
}

TEST(BoundedMinHeapify, KeepsTheKGreatestAsAMinHeap) {
    const unsigned seed = 77;
    std::mt19937 rng(seed);
    for (int round = 0; round < 200; ++round) {
        std::vector<PreliminaryScore> values(2 + rng() % 60);
        for (auto& v : values) {
            v = {static_cast<std::uint32_t>(rng() % 8), static_cast<std::uint16_t>(rng() % 4),
                 static_cast<std::uint8_t>(rng() % 3), static_cast<std::int8_t>(rng() % 3 - 1)};
        }
        const std::size_t k = 1 + rng() % (values.size() - 1);
        auto sorted = values;
        std::sort(sorted.begin(), sorted.end(), std::greater<>());
        bounded_min_heapify(std::span(values), k);
        std::vector<PreliminaryScore> kept(values.begin(),
                                           values.begin() + static_cast<std::ptrdiff_t>(k));
        for (std::size_t i = 1; i < k; ++i) {
            ASSERT_LE(kept[(i - 1) / 2], kept[i]) << "seed " << seed;
        }
        std::sort(kept.begin(), kept.end(), std::greater<>());
        sorted.resize(k);
        ASSERT_EQ(kept, sorted) << "seed " << seed << " round " << round;
    }
}

}  // namespace
}  // namespace tamrel
