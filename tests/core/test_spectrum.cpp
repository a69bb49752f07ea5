#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "tamrel/spectrum.hpp"
#include "tamrel/total_order.hpp"

namespace tamrel {
namespace {

std::vector<Peak> peaks_of(std::vector<float> masses, std::vector<float> intensities) {
    std::vector<Peak> out;
    for (std::size_t i = 0; i < masses.size(); ++i) out.push_back({intensities[i], masses[i]});
    return out;
}

std::ptrdiff_t index_of(const std::vector<Peak>& peaks, const Peak* p) {
    return p == nullptr ? -1 : p - peaks.data();
}

TEST(SelectMostIntensePeak, EqualIntensitiesLastWinsAndOutsideIgnored) {
    const auto peaks = peaks_of({100.0f, 100.0f, 100.002f}, {3.0f, 3.0f, 2.0f});
    const Peak* p = select_most_intense_peak(peaks, 100.0f, Tolerance::da(-0.001f, 0.001f));
    EXPECT_EQ(index_of(peaks, p), 1);
}

struct IntensityCase {
    const char* name;
    std::vector<float> intensities;
    std::ptrdiff_t expected;
};

class SelectByIntensity : public ::testing::TestWithParam<IntensityCase> {};

TEST_P(SelectByIntensity, PicksMostIntenseQualifyingPeak) {
    const auto& c = GetParam();
    std::vector<float> masses(c.intensities.size(), 250.0f);
    const auto peaks = peaks_of(masses, c.intensities);
    const Peak* p = select_most_intense_peak(peaks, 250.0f, Tolerance::da(-0.5f, 0.5f));
    EXPECT_EQ(index_of(peaks, p), c.expected);
}

const float kNaN = std::numeric_limits<float>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Cases, SelectByIntensity,
    ::testing::Values(IntensityCase{"all_negative", {-1.0f, -2.0f}, -1},
                      IntensityCase{"single_zero", {0.0f}, 0},
                      IntensityCase{"nan_never_returned", {kNaN}, -1},
                      IntensityCase{"nan_does_not_block_later", {kNaN, 1.0f}, 1},
                      IntensityCase{"max_in_middle", {1.0f, 7.0f, 2.0f}, 1},
                      IntensityCase{"empty", {}, -1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SelectMostIntensePeak, BothBoundsInclusiveAtExactPpmEdges) {
    const Tolerance tol = Tolerance::ppm(-10.0f, 10.0f);
    const auto [low, high] = tol.bounds(1000.0f);
    const float below = std::nextafter(low, 0.0f);
    const float above = std::nextafter(high, 2000.0f);
    const auto peaks = peaks_of({below, low, high, above}, {9.0f, 1.0f, 2.0f, 9.0f});
    EXPECT_EQ(index_of(peaks, select_most_intense_peak(peaks, 1000.0f, tol)), 2);
    const auto only_low = peaks_of({below, low, above}, {9.0f, 1.0f, 9.0f});
    EXPECT_EQ(index_of(only_low, select_most_intense_peak(only_low, 1000.0f, tol)), 1);
}

TEST(SelectMostIntensePeak, OffsetShiftsTheWindow) {
    const auto peaks = peaks_of({100.0f, 101.0f}, {5.0f, 1.0f});
    const Tolerance tol = Tolerance::da(-0.1f, 0.1f);
    EXPECT_EQ(index_of(peaks, select_most_intense_peak(peaks, 100.0f, tol, 1.0f)), 1);
    EXPECT_EQ(index_of(peaks, select_most_intense_peak(peaks, 100.0f, tol)), 0);
}

TEST(SelectMostIntensePeak, NaNMassNeverQualifies) {
    const auto peaks = peaks_of({100.0f, kNaN}, {1.0f, 50.0f});
    EXPECT_EQ(index_of(peaks, select_most_intense_peak(peaks, 100.0f, Tolerance::da(-1, 1))), 0);
}

// The bracket follows the total order, in which -0.0 sorts below +0.0: a window
// [+0.0, +0.0] reaches back only to the last peak below it, so of two -0.0
// peaks only the later one is seen, although both compare equal to 0.0.
TEST(SelectMostIntensePeak, BracketUsesTotalOrderOnSignedZero) {
    const auto peaks = peaks_of({-0.0f, -0.0f}, {5.0f, 1.0f});
    EXPECT_EQ(index_of(peaks, select_most_intense_peak(peaks, 0.0f, Tolerance::da(0.0f, 0.0f))), 1);
}

TEST(SelectMostIntensePeak, MatchesBruteForceOnSortedPeaks) {
    const unsigned seed = 20240611;
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> mass(100.0f, 110.0f);
    std::uniform_int_distribution<int> intensity(0, 4);
    for (int round = 0; round < 300; ++round) {
        std::vector<Peak> peaks(rng() % 40);
        for (auto& p : peaks) {
            // Coarse masses make duplicates and exact edge hits common.
            p = {static_cast<float>(intensity(rng)), std::round(mass(rng) * 8.0f) / 8.0f};
        }
        std::sort(peaks.begin(), peaks.end(),
                  [](const Peak& a, const Peak& b) { return a.mass < b.mass; });
        const float centre = std::round(mass(rng) * 8.0f) / 8.0f;
        const Tolerance tol = Tolerance::da(-0.25f, 0.25f);
        const auto [low, high] = tol.bounds(centre);
        std::ptrdiff_t expected = -1;
        for (std::size_t i = 0; i < peaks.size(); ++i) {
            if (peaks[i].mass >= low && peaks[i].mass <= high &&
                (expected < 0 || peaks[i].intensity >= peaks[expected].intensity)) {
                expected = static_cast<std::ptrdiff_t>(i);
            }
        }
        ASSERT_EQ(index_of(peaks, select_most_intense_peak(peaks, centre, tol)), expected)
            << "seed " << seed << " round " << round;
    }
}

// The cursor finds exactly what the full search finds, for centres walking up,
// down or at random over ordered masses with repeats, signed zeros and NaN.
TEST(PeakCursor, AgreesWithTheFullSearch) {
    const unsigned seed = 20261209;
    std::mt19937 rng(seed);
    const float pool[] = {-0.0f, 0.0f, 0.5f, 1.0f, 1.0f, 2.0f, 2.5f, 3.0f, 7.0f,
                          std::numeric_limits<float>::quiet_NaN()};
    std::uniform_int_distribution<std::size_t> pick(0, std::size(pool) - 1);
    std::uniform_real_distribution<float> centre_of(-1.0f, 8.0f);
    for (int round = 0; round < 300; ++round) {
        std::vector<Peak> peaks(rng() % 12);
        for (Peak& p : peaks) p = {static_cast<float>(rng() % 3), pool[pick(rng)]};
        std::stable_sort(peaks.begin(), peaks.end(), [](const Peak& a, const Peak& b) {
            return total_order_key(a.mass) < total_order_key(b.mass);
        });
        ASSERT_TRUE(peaks_in_order(peaks));
        std::vector<float> centres(20);
        for (float& c : centres) c = round % 4 == 3 ? pool[pick(rng)] : centre_of(rng);
        if (round % 4 == 1) std::sort(centres.begin(), centres.end());
        if (round % 4 == 2) std::sort(centres.rbegin(), centres.rend());
        const Tolerance tol = round % 2 ? Tolerance::da(-0.5f, 0.5f) : Tolerance::da(0.0f, 0.0f);
        PeakCursor cursor(peaks);
        for (float c : centres) {
            ASSERT_EQ(index_of(peaks, cursor.select(c, tol)),
                      index_of(peaks, select_most_intense_peak(peaks, c, tol)))
                << "seed " << seed << " round " << round << " centre " << c;
        }
    }
    EXPECT_FALSE(peaks_in_order(peaks_of({2.0f, 1.0f}, {1.0f, 1.0f})));
}

}  // namespace
}  // namespace tamrel
