#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "scoring_fixtures.hpp"

namespace tamrel {
namespace {

using namespace tamrel::testing;

TEST(ScoringConstants, BitPatterns) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(kProtonMass), 0x3F80EE6Fu);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(kIsotopeSpacing), 0x3F806DC6u);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(kModelDelta), 0x3F7FBE77u);
}

struct ChargeLimitCase {
    std::uint8_t precursor_charge;
    std::optional<std::uint8_t> cap;
    std::uint8_t limit;  // fragment charges 1 .. limit - 1
};

class FragmentChargeLimit : public ::testing::TestWithParam<ChargeLimitCase> {};

TEST_P(FragmentChargeLimit, Table) {
    const auto& c = GetParam();
    EXPECT_EQ(fragment_charge_limit(c.precursor_charge, c.cap), c.limit);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FragmentChargeLimit,
    ::testing::Values(ChargeLimitCase{2, 2, 2}, ChargeLimitCase{3, 2, 3}, ChargeLimitCase{4, 2, 3},
                      ChargeLimitCase{4, std::nullopt, 4}, ChargeLimitCase{1, 2, 2},
                      ChargeLimitCase{1, std::nullopt, 2}, ChargeLimitCase{0, std::nullopt, 2},
                      ChargeLimitCase{5, 0, 2},
                      // 255 + 1 wraps to 0 in 8 bits: only charge 1 is left.
                      ChargeLimitCase{5, 255, 2}, ChargeLimitCase{255, std::nullopt, 255}));

TEST(Lnfact, ValuesOfTheApproximation) {
    EXPECT_EQ(lnfact(0), 1.0);
    EXPECT_NEAR(lnfact(1), -0.081061, 1e-6);
    EXPECT_NEAR(lnfact(5), 5.575566, 1e-6);
    const double ln3 = std::log(3.0);
    EXPECT_NEAR(lnfact(3), 3 * ln3 - 3 + 0.5 * ln3 + 0.5 * std::log(6 * M_PI), 1e-12);
}

TEST(ScoreTypeScore, ProductHyperscoreExample) {
    EXPECT_NEAR(score_type_score(ScoreType::ProductHyperscore, 1, 0, 100.0f, 0.0f), 5.534059, 1e-6);
    EXPECT_EQ(score_type_score(ScoreType::ProductHyperscore, 0, 0, 0.0f, 0.0f), 2.0);
}

TEST(ScoreTypeScore, AddsOneInSinglePrecision) {
    // 2^24 + 1 rounds back to 2^24 in 32 bits.
    const float big = 16777216.0f;
    EXPECT_EQ(score_type_score(ScoreType::ProductHyperscore, 0, 0, big, 0.0f),
              (std::log(16777216.0) + 1.0) + 1.0);
    EXPECT_EQ(score_type_score(ScoreType::SummedHyperscore, 2, 0, 3.0f, 4.0f),
              (static_cast<double>(std::log1pf(7.0f)) + lnfact(2)) + 1.0);
}

TEST(ScoreTypeScore, NonFiniteBecomes255) {
    const float inf = std::numeric_limits<float>::infinity();
    const float max = std::numeric_limits<float>::max();
    EXPECT_EQ(score_type_score(ScoreType::ProductHyperscore, 3, 3, inf, 1.0f), 255.0);
    EXPECT_EQ(score_type_score(ScoreType::ProductHyperscore, 3, 3, std::nanf(""), 1.0f), 255.0);
    // The summed form adds the intensities in 32 bits, which overflows here.
    EXPECT_EQ(score_type_score(ScoreType::SummedHyperscore, 1, 1, max, max), 255.0);
    // The product of the widened factors does not.
    EXPECT_LT(score_type_score(ScoreType::ProductHyperscore, 1, 1, max, max), 255.0);
}

Scorer scorer_for(SharedDatabase db, ScorerSettings settings = narrow_settings()) {
    return Scorer::assemble(settings, std::move(db));
}

TEST(ScoreCandidate, SingleResidueHasNoFragments) {
    const auto db = make_database({make_peptide("K")});
    const auto spectrum = make_spectrum({{10.0f, 128.09f}}, precursor_for(146.1f, 2));
    const Score s = scorer_for(db).score_candidate(spectrum, {0, 0, 2, 0});
    EXPECT_EQ(s.matched_n + s.matched_c, 0);
    EXPECT_EQ(s.hyperscore, 2.0);
    EXPECT_TRUE(std::isnan(s.average_ppm));
    EXPECT_FALSE(s.fragments.has_value());
}

struct RunCase {
    std::vector<std::size_t> positions;
    std::uint32_t longest;
};

class LongestRun : public ::testing::TestWithParam<RunCase> {};

TEST_P(LongestRun, CountsConsecutiveSeriesPositions) {
    const Peptide p = make_peptide("PEPTIDEKR");
    const auto db = make_database({p}, {Kind::Y});
    const auto ys = series_masses(p, Kind::Y);
    std::vector<Peak> peaks;
    for (const std::size_t j : GetParam().positions) peaks.push_back({1.0f, ys[j]});
    const auto spectrum = make_spectrum(peaks, precursor_for(p.monoisotopic, 2));
    const Score s = scorer_for(db).score_candidate(spectrum, {0, 0, 2, 0});
    EXPECT_EQ(s.matched_c, GetParam().positions.size());
    EXPECT_EQ(s.longest_y, GetParam().longest);
    EXPECT_EQ(s.longest_b, 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, LongestRun,
                         ::testing::Values(RunCase{{0, 1, 2}, 2}, RunCase{{1, 2, 3}, 3},
                                           RunCase{{1, 3, 4}, 2}, RunCase{{0}, 0},
                                           RunCase{{2, 3, 5, 6, 7}, 3}));

TEST(ScoreCandidate, FragmentAtTwoChargesCountsTwiceAndAnnotates) {
    const Peptide p = make_peptide("PEPTIDEK");
    const auto db = make_database({p}, {Kind::B});
    const float b2 = series_masses(p, Kind::B)[1];
    const auto spectrum =
        make_spectrum({{4.0f, b2}, {6.0f, b2 / 2.0f}}, precursor_for(p.monoisotopic, 3));
    ScorerSettings settings = narrow_settings();
    settings.annotate_matches = true;
    const Score s = scorer_for(db, settings).score_candidate(spectrum, {0, 0, 3, 0});
    EXPECT_EQ(s.matched_n, 2);
    EXPECT_EQ(s.intensity_n, 10.0f);
    EXPECT_EQ(s.longest_b, 1u);  // the second match repeats the same position
    ASSERT_TRUE(s.fragments.has_value());
    const Fragments& f = *s.fragments;
    EXPECT_EQ(f.charges, (std::vector<std::int32_t>{1, 2}));
    EXPECT_EQ(f.kinds, (std::vector<Kind>{Kind::B, Kind::B}));
    EXPECT_EQ(f.fragment_ordinals, (std::vector<std::int32_t>{2, 2}));
    EXPECT_EQ(f.intensities, (std::vector<float>{4.0f, 6.0f}));
    EXPECT_EQ(f.mz_calculated, (std::vector<float>{b2 + kProtonMass, b2 / 2.0f + kProtonMass}));
    EXPECT_EQ(f.mz_experimental, f.mz_calculated);
    EXPECT_EQ(s.average_ppm, 0.0f);
}

TEST(ScoreCandidate, CTerminalOrdinalsAndPresentEmptyAnnotation) {
    const Peptide p = make_peptide("PEPTIDEK");
    const auto db = make_database({p}, {Kind::Y});
    const auto ys = series_masses(p, Kind::Y);
    ScorerSettings settings = narrow_settings();
    settings.annotate_matches = true;
    const auto matched =
        make_spectrum({{1.0f, ys[0]}, {1.0f, ys[6]}}, precursor_for(p.monoisotopic, 2));
    const Score s = scorer_for(db, settings).score_candidate(matched, {0, 0, 2, 0});
    ASSERT_TRUE(s.fragments.has_value());
    EXPECT_EQ(s.fragments->fragment_ordinals, (std::vector<std::int32_t>{7, 1}));

    const auto empty = make_spectrum({{1.0f, 5000.0f}}, precursor_for(p.monoisotopic, 2));
    const Score none = scorer_for(db, settings).score_candidate(empty, {0, 0, 2, 0});
    ASSERT_TRUE(none.fragments.has_value());
    EXPECT_TRUE(none.fragments->charges.empty());
    EXPECT_TRUE(none.fragments->mz_experimental.empty());
}

// 70000 residues weighing nothing: every b ion sits at mass 0.0.
Peptide weightless_peptide() {
    return make_peptide(std::string(70000, 'X'), 18.0f);
}

TEST(ScoreCandidate, MatchCountSaturatesAt16Bits) {
    const auto db = make_database({weightless_peptide()}, {Kind::B}, 8192);
    const auto spectrum = make_spectrum({{1.0f, 0.0f}}, precursor_for(18.0f, 2));
    const Score s = scorer_for(db).score_candidate(spectrum, {0, 0, 2, 0});
    EXPECT_EQ(s.matched_n, 65535);
    EXPECT_EQ(s.intensity_n, 69999.0f);
}

TEST(MatchedPeaksWithIsotope, PreliminaryCountSaturatesAt16Bits) {
    const auto db = make_database({weightless_peptide()}, {Kind::B}, 8192);
    const auto spectrum = make_spectrum({{1.0f, 0.0f}}, precursor_for(18.0f, 2));
    const InitialHits hits = scorer_for(db).matched_peaks_with_isotope(
        spectrum.peaks, 18.0f, 2, Tolerance::da(-0.5f, 0.5f), 0);
    ASSERT_EQ(hits.preliminary.size(), 2u);  // the peptide and the slot past the end
    EXPECT_EQ(hits.preliminary[0].matched, 65535);
    EXPECT_EQ(hits.matched_peaks, 69999u);
    EXPECT_EQ(hits.scored_candidates, 1u);  // a wrapped count would be counted again
}

}  // namespace
}  // namespace tamrel
