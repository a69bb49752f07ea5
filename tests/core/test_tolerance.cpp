#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>

#include "tamrel/tolerance.hpp"

using tamrel::Kind;
using tamrel::Tolerance;

namespace {

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

struct BoundsCase {
    Tolerance tol;
    float centre;
    std::uint32_t low_bits;
    std::uint32_t high_bits;
};

class ToleranceBounds : public ::testing::TestWithParam<BoundsCase> {};

TEST_P(ToleranceBounds, MatchTheRoundedProductThenDivision) {
    const BoundsCase& c = GetParam();
    auto [low, high] = c.tol.bounds(c.centre);
    EXPECT_EQ(bits(low), c.low_bits);
    EXPECT_EQ(bits(high), c.high_bits);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, ToleranceBounds,
    ::testing::Values(
        // Ppm -10/+10 around 1000: 999.98999 and 1000.01001 as 32-bit values.
        BoundsCase{Tolerance::ppm(-10.0f, 10.0f), 1000.0f, 0x4479FF5Cu, 0x447A00A4u},
        BoundsCase{Tolerance::da(-0.5f, 0.5f), 500.0f, bits(499.5f), bits(500.5f)},
        // Both offsets positive: a zero-width window above the centre.
        BoundsCase{Tolerance::ppm(10.0f, 10.0f), 1000.0f, 0x447A00A4u, 0x447A00A4u}));

TEST(ToleranceBounds, ReversedOffsetsGiveAnEmptyWindow) {
    auto [low, high] = Tolerance::da(1.0f, -1.0f).bounds(100.0f);
    EXPECT_GT(low, high);
}

TEST(ToleranceBounds, NanPropagatesIntoTheWindow) {
    auto [low, high] = Tolerance::ppm(-10.0f, 10.0f).bounds(std::nanf(""));
    EXPECT_TRUE(std::isnan(low));
    EXPECT_TRUE(std::isnan(high));
}

TEST(ToleranceBounds, PpmDividesInsteadOfMultiplyingByTheReciprocal) {
    // A centre where (c * v) / 1e6 and c * (v * 1e-6) round differently.
    float centre = 1234.5677f;
    float v = 7.3f;
    volatile float million = 1000000.0f;
    float expected = centre + (centre * v) / million;
    EXPECT_EQ(bits(Tolerance::ppm(-v, v).bounds(centre).second), bits(expected));
}

TEST(Kind, LettersAndTermini) {
    const char* letters = "ABCXYZ";
    for (int i = 0; i < 6; ++i) {
        Kind k = static_cast<Kind>(i);
        EXPECT_EQ(tamrel::kind_letter(k), letters[i]);
        EXPECT_EQ(tamrel::is_n_terminal(k), i < 3);
    }
}

}  // namespace
