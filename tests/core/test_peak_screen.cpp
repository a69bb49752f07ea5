// The peak screen only spares peak searches: every score is the same with it.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "scoring_fixtures.hpp"

namespace tamrel::testing {
namespace {

Scorer annotating(const SharedDatabase& db, const Tolerance& fragment_tol) {
    ScorerSettings settings = narrow_settings();
    settings.fragment_tol = fragment_tol;
    settings.annotate_matches = true;
    return Scorer::assemble(settings, db);
}

void expect_same(const Score& a, const Score& b) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(a.hyperscore), std::bit_cast<std::uint64_t>(b.hyperscore));
    EXPECT_EQ(std::bit_cast<std::uint32_t>(a.intensity_n), std::bit_cast<std::uint32_t>(b.intensity_n));
    EXPECT_EQ(std::bit_cast<std::uint32_t>(a.intensity_c), std::bit_cast<std::uint32_t>(b.intensity_c));
    EXPECT_EQ(std::bit_cast<std::uint32_t>(a.average_ppm), std::bit_cast<std::uint32_t>(b.average_ppm));
    EXPECT_EQ(a.matched_n, b.matched_n);
    EXPECT_EQ(a.matched_c, b.matched_c);
    EXPECT_EQ(a.longest_b, b.longest_b);
    EXPECT_EQ(a.longest_y, b.longest_y);
    ASSERT_TRUE(a.fragments && b.fragments);
    EXPECT_EQ(a.fragments->intensities, b.fragments->intensities);
    EXPECT_EQ(a.fragments->mz_experimental, b.fragments->mz_experimental);
}

struct ScreenCase {
    const char* name;
    Tolerance tol;
    int shape;  // 0: peaks on the window edges; 1: one ulp outside; 2: out of order; 3: a negative, a NaN and
                // a huge mass; 4: no peaks
};

class PeakScreenScores : public ::testing::TestWithParam<ScreenCase> {};

TEST_P(PeakScreenScores, SameAsWithout) {
    const Peptide p = make_peptide("PEPTIDEKLMNR");
    const auto db = make_database({p});
    const ScreenCase& c = GetParam();
    const Scorer scorer = annotating(db, c.tol);
    std::vector<Peak> peaks;
    float intensity = 1.0f;
    for (const Kind k : {Kind::B, Kind::Y}) {
        for (const float m : series_masses(p, k)) {
            for (const float z : {1.0f, 2.0f}) {
                const auto [low, high] = c.tol.bounds(m / z);
                const bool outside = c.shape == 1;
                peaks.push_back({intensity += 1.0f, outside ? std::nextafter(low, -INFINITY) : low});
                peaks.push_back({intensity += 1.0f, outside ? std::nextafter(high, INFINITY) : high});
            }
        }
    }
    if (c.shape == 3) {
        peaks.push_back({9.0f, -5.0f});
        peaks.push_back({9.0f, std::numeric_limits<float>::quiet_NaN()});
        peaks.push_back({9.0f, 3.0e9f});
    }
    if (c.shape == 4) peaks.clear();
    ProcessedSpectrum spectrum = make_spectrum(peaks, precursor_for(p.monoisotopic, 3));
    if (c.shape == 2) std::swap(spectrum.peaks[1], spectrum.peaks[spectrum.peaks.size() - 2]);

    const Score plain = scorer.score_candidate(spectrum, {0, 1, 3, 0});
    const PeakScreen screen(spectrum, c.tol);
    ASSERT_EQ(PeakScreen::of(spectrum), &screen);
    expect_same(scorer.score_candidate(spectrum, {0, 1, 3, 0}), plain);
    // Edge peaks match, unless the window is inverted; peaks an ulp outside never do.
    const bool matches = c.shape == 0 && c.tol.minus < c.tol.plus;
    if (c.shape <= 1) {
        EXPECT_EQ(plain.matched_n + plain.matched_c > 0, matches);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PeakScreenScores,
    ::testing::Values(ScreenCase{"DaEdges", Tolerance::da(-0.02f, 0.02f), 0},
                      ScreenCase{"DaOutside", Tolerance::da(-0.02f, 0.02f), 1},
                      ScreenCase{"PpmEdges", Tolerance::ppm(-10.0f, 10.0f), 0},
                      ScreenCase{"PpmOutside", Tolerance::ppm(-10.0f, 10.0f), 1},
                      ScreenCase{"WideEdges", Tolerance::da(-0.5f, 0.5f), 0},
                      ScreenCase{"Unordered", Tolerance::da(-0.02f, 0.02f), 2},
                      ScreenCase{"OddMasses", Tolerance::da(-0.02f, 0.02f), 3},
                      ScreenCase{"NoPeaks", Tolerance::da(-0.02f, 0.02f), 4},
                      ScreenCase{"Inverted", Tolerance::da(0.02f, -0.02f), 0}),
    [](const ::testing::TestParamInfo<ScreenCase>& info) { return std::string(info.param.name); });

TEST(PeakScreen, ServesOnlyItsSpectrumAndNests) {
    const auto a = make_spectrum({{1.0f, 200.0f}}, precursor_for(1000.0f, 2));
    const auto b = make_spectrum({{1.0f, 300.0f}}, precursor_for(1000.0f, 2));
    const Tolerance tol = Tolerance::da(-0.02f, 0.02f);
    EXPECT_EQ(PeakScreen::of(a), nullptr);
    {
        const PeakScreen outer(a, tol);
        EXPECT_EQ(PeakScreen::of(b), nullptr);
        {
            const PeakScreen inner(b, tol);
            EXPECT_EQ(PeakScreen::of(b), &inner);
            EXPECT_EQ(PeakScreen::of(a), nullptr);
            EXPECT_TRUE(inner.may_hold(300.0f, 300.0f));
            EXPECT_FALSE(inner.may_hold(200.0f, 200.0f));
            EXPECT_FALSE(inner.may_hold(301.0f, 299.0f));
            EXPECT_FALSE(inner.may_hold(NAN, 400.0f));
        }
        EXPECT_EQ(PeakScreen::of(a), &outer);
    }
    EXPECT_EQ(PeakScreen::of(a), nullptr);
}

}  // namespace
}  // namespace tamrel::testing
