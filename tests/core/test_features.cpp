#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>
#include <cstdint>
#include <limits>

#include "scoring_fixtures.hpp"
#include "tamrel/error.hpp"

namespace tamrel {
namespace {

using namespace tamrel::testing;

Scorer scorer_for(SharedDatabase db, ScorerSettings settings = narrow_settings()) {
    return Scorer::assemble(settings, std::move(db));
}

std::string failure_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const Failure& e) {
        return e.what();
    }
    return "no failure";
}

TEST(ScoreStandard, ExpmassAndConstantFields) {
    const Peptide p = make_peptide("PEPTIDEK", 997.98547f);
    const auto db = make_database({p});
    Precursor pre;
    pre.mz = 500.0f;
    pre.charge = 2;
    pre.inverse_ion_mobility = 0.85f;
    const auto spectrum = make_spectrum(fragment_peaks(p, 2.0f), pre, "scan=9");
    const auto features = scorer_for(db).score(spectrum);
    ASSERT_EQ(features.size(), 1u);
    const Feature& f = features[0];
    EXPECT_EQ(f.expmass, 997.9854736328125f);
    EXPECT_EQ(static_cast<double>(f.expmass), 997.9854736328125);
    EXPECT_EQ(f.calcmass, 997.98547f);
    EXPECT_EQ(f.label, 1);
    EXPECT_EQ(f.spec_id, "scan=9");
    EXPECT_EQ(f.aligned_rt, 12.5f);
    EXPECT_EQ(f.ims, 0.85f);
    EXPECT_EQ(f.matched_peaks, 14u);
    EXPECT_EQ(f.ms2_intensity, 28.0f);
    EXPECT_EQ(f.matched_intensity_pct, 100.0f);
    EXPECT_EQ(f.longest_b, 6u);  // positions 1 to 6: position 0 never starts a run
    EXPECT_EQ(f.longest_y_pct, 6.0f / 8.0f);
    EXPECT_EQ(f.delta_best, 0.0);
    EXPECT_EQ(f.delta_next, f.hyperscore);  // no runner-up: next is 0.0
    EXPECT_EQ(std::bit_cast<std::uint32_t>(f.delta_ims_model), 0x3F7FBE77u);
    EXPECT_EQ(f.posterior_error, 1.0f);
    EXPECT_EQ(f.protein_q, 1.0f);
    EXPECT_FALSE(f.fragments.has_value());
}

TEST(ScoreStandard, DecoyLabelAndNegativeIsotopeError) {
    const Peptide p = make_peptide("PEPTIDEK", std::nullopt, true);
    const auto db = make_database({p});
    ScorerSettings settings = narrow_settings();
    settings.min_isotope_err = -1;
    settings.max_isotope_err = 0;
    // Observed one isotope spacing light: only the -1 hypothesis reaches the peptide.
    const auto spectrum = make_spectrum(fragment_peaks(p, 1.0f),
                                        precursor_for(p.monoisotopic - kIsotopeSpacing, 2));
    const auto features = scorer_for(db, settings).score(spectrum);
    ASSERT_EQ(features.size(), 1u);
    EXPECT_EQ(features[0].label, -1);
    EXPECT_EQ(features[0].isotope_error, -1.00335f);
    EXPECT_LT(std::fabs(features[0].delta_mass), 20.0f);
}

TEST(ScoreStandard, EqualHyperscoresKeepSelectionOrder) {
    const Peptide p = make_peptide("SAMPLERK");
    const auto db = make_database({p});
    ScorerSettings settings = narrow_settings();
    settings.precursor_tol = Tolerance::da(-1.5f, 1.5f);
    settings.max_isotope_err = 1;
    const auto spectrum = make_spectrum(fragment_peaks(p, 1.0f), precursor_for(p.monoisotopic, 2));
    const auto features = scorer_for(db, settings).score(spectrum);
    ASSERT_EQ(features.size(), 2u);
    EXPECT_EQ(features[0].hyperscore, features[1].hyperscore);
    EXPECT_EQ(features[0].isotope_error, 0.0f);
    EXPECT_EQ(features[1].isotope_error, kIsotopeSpacing);
    EXPECT_NE(features[0].delta_mass, features[1].delta_mass);
    EXPECT_EQ(features[0].delta_next, 0.0);
    EXPECT_EQ(features[1].rank, 2u);
}

class TwoPeptides : public ::testing::Test {
protected:
    // Same precursor mass, different sequences; the spectrum favours `strong`.
    Peptide strong = make_peptide("PEPTIDEK", 1000.0f);
    Peptide weak = make_peptide("SAMPLERK", 1000.0f);
    SharedDatabase db = make_database({strong, weak});

    ProcessedSpectrum spectrum() const {
        auto peaks = fragment_peaks(strong, 100.0f);
        auto few = fragment_peaks(weak, 3.0f, {Kind::Y});
        peaks.insert(peaks.end(), few.begin(), few.end());
        return make_spectrum(peaks, precursor_for(1000.0f, 2));
    }
};

TEST_F(TwoPeptides, DeltasAgainstNextAndBest) {
    ScorerSettings settings = narrow_settings();
    const auto all = scorer_for(db, settings).score(spectrum());
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].peptide_idx, 0u);
    EXPECT_EQ(all[0].delta_next, all[0].hyperscore - all[1].hyperscore);
    EXPECT_EQ(all[1].delta_next, all[1].hyperscore);
    EXPECT_EQ(all[1].delta_best, all[0].hyperscore - all[1].hyperscore);

    settings.report_psms = 1;
    const auto one = scorer_for(db, settings).score(spectrum());
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].delta_best, 0.0);
    EXPECT_EQ(one[0].delta_next, all[0].delta_next);  // the unreported runner-up still counts
}

TEST_F(TwoPeptides, PsmIdsIncrementOncePerFeature) {
    const std::uint32_t before = PSM_COUNTER.load();
    const auto features = scorer_for(db).score(spectrum());
    ASSERT_EQ(features.size(), 2u);
    EXPECT_EQ(features[0].psm_id, before);
    EXPECT_EQ(features[1].psm_id, before + 1);
    EXPECT_EQ(PSM_COUNTER.load(), before + 2);
}

TEST_F(TwoPeptides, MinMatchedPeaksDropsCandidates) {
    ScorerSettings settings = narrow_settings();
    settings.min_matched_peaks = 8;  // weak matches 7 y ions only
    const auto features = scorer_for(db, settings).score(spectrum());
    ASSERT_EQ(features.size(), 1u);
    EXPECT_EQ(features[0].peptide_idx, 0u);
}

TEST(BuildFeatures, PoissonOfThreeMatchesAtLambdaTwo) {
    const Peptide p = make_peptide("PEPTIDEK");
    const auto db = make_database({p}, {Kind::B});
    const auto bs = series_masses(p, Kind::B);
    const auto spectrum = make_spectrum({{1.0f, bs[1]}, {1.0f, bs[2]}, {1.0f, bs[3]}},
                                        precursor_for(p.monoisotopic, 2));
    InitialHits hits;
    hits.preliminary = {{PreliminaryScore::kEmptySlot, 0, 0, 0}, {0, 3, 2, 0}};
    hits.matched_peaks = 4;
    hits.scored_candidates = 2;
    std::vector<Feature> out(1);  // appended after what is there
    scorer_for(db).build_features(spectrum, spectrum.precursors[0].mz, hits, 5, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].matched_peaks, 3u);
    EXPECT_EQ(out[1].scored_candidates, 2u);
    const double ln3 = std::log(3.0);
    const double lnfact3 = 3 * ln3 - 3 + 0.5 * ln3 + 0.5 * std::log(6 * M_PI);
    EXPECT_NEAR(out[1].poisson, std::log10(std::exp(-2.0) * 8.0 / std::exp(lnfact3)), 1e-12);
}

TEST(BuildFeatures, ZeroTotalIonCurrentGivesInfinitePercentage) {
    const Peptide p = make_peptide("PEPTIDEK");
    const auto db = make_database({p});
    auto spectrum = make_spectrum(fragment_peaks(p, 1.0f), precursor_for(p.monoisotopic, 2));
    spectrum.total_ion_current = 0.0f;
    const auto features = scorer_for(db).score(spectrum);
    ASSERT_EQ(features.size(), 1u);
    EXPECT_EQ(features[0].matched_intensity_pct, std::numeric_limits<float>::infinity());
}

TEST(BuildFeatures, AnnotationMovesIntoTheFeature) {
    const Peptide p = make_peptide("PEPTIDEK");
    const auto db = make_database({p});
    ScorerSettings settings = narrow_settings();
    settings.annotate_matches = true;
    const auto spectrum = make_spectrum(fragment_peaks(p, 1.0f), precursor_for(p.monoisotopic, 2));
    const auto features = scorer_for(db, settings).score(spectrum);
    ASSERT_EQ(features.size(), 1u);
    ASSERT_TRUE(features[0].fragments.has_value());
    EXPECT_EQ(features[0].fragments->charges.size(), features[0].matched_peaks);
}

struct DispatchCase {
    const char* name;
    bool chimera;
};

class Dispatch : public ::testing::TestWithParam<DispatchCase> {};

TEST_P(Dispatch, MissingPrecursorFails) {
    ScorerSettings settings = narrow_settings();
    settings.chimera = GetParam().chimera;
    const auto scorer = scorer_for(make_database({make_peptide("PEPTIDEK")}), settings);
    const auto spectrum = make_spectrum({{1.0f, 100.0f}}, std::nullopt, "controller=0 scan=17");
    EXPECT_EQ(failure_of([&] { scorer.score(spectrum); }),
              "missing MS1 precursor for controller=0 scan=17");
}

TEST_P(Dispatch, NonMs2ScanFailsFirst) {
    ScorerSettings settings = narrow_settings();
    settings.chimera = GetParam().chimera;
    const auto scorer = scorer_for(make_database({make_peptide("PEPTIDEK")}), settings);
    auto spectrum = make_spectrum({{1.0f, 100.0f}}, std::nullopt);
    spectrum.level = 1;
    EXPECT_EQ(failure_of([&] { scorer.score(spectrum); }),
              "internal bug, trying to score a non-MS2 scan!");
}

TEST_P(Dispatch, ReportPsmsZeroGivesNothing) {
    const Peptide p = make_peptide("PEPTIDEK");
    ScorerSettings settings = narrow_settings();
    settings.chimera = GetParam().chimera;
    settings.report_psms = 0;
    const auto spectrum = make_spectrum(fragment_peaks(p, 1.0f), precursor_for(p.monoisotopic, 2));
    const std::uint32_t before = PSM_COUNTER.load();
    EXPECT_TRUE(scorer_for(make_database({p}), settings).score(spectrum).empty());
    EXPECT_EQ(PSM_COUNTER.load(), before);
}

INSTANTIATE_TEST_SUITE_P(Modes, Dispatch,
                         ::testing::Values(DispatchCase{"standard", false},
                                           DispatchCase{"chimera", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ReserveFeatures, CapacityOverflowWhenTheByteSizeDoesNotFit) {
    std::vector<Feature> out;
    const std::uint64_t max_count = static_cast<std::uint64_t>(PTRDIFF_MAX) / sizeof(Feature);
    EXPECT_EQ(failure_of([&] { reserve_features(out, max_count + 1, 0); }), "capacity overflow");
    EXPECT_EQ(failure_of([&] { reserve_features(out, UINT64_MAX, 0); }), "capacity overflow");
    reserve_features(out, max_count, 3);  // fits: only the useful part is reserved
    EXPECT_GE(out.capacity(), 3u);
    EXPECT_LT(out.capacity(), 1000u);
}

void expect_same_except_psm_id(const Feature& a, const Feature& b) {
    EXPECT_EQ(a.hyperscore, b.hyperscore);
    EXPECT_EQ(a.delta_mass, b.delta_mass);
    EXPECT_EQ(a.rank, b.rank);
    EXPECT_EQ(a.matched_peaks, b.matched_peaks);
    EXPECT_EQ(a.peptide_idx, b.peptide_idx);
    EXPECT_EQ(a.charge, b.charge);
    EXPECT_EQ(a.isotope_error, b.isotope_error);
    EXPECT_EQ(a.delta_next, b.delta_next);
    EXPECT_EQ(a.delta_best, b.delta_best);
    EXPECT_EQ(a.matched_intensity_pct, b.matched_intensity_pct);
    EXPECT_EQ(a.poisson, b.poisson);
    EXPECT_EQ(a.average_ppm, b.average_ppm);
    EXPECT_EQ(a.longest_b, b.longest_b);
    EXPECT_EQ(a.longest_y, b.longest_y);
}

TEST_F(TwoPeptides, ChimeraWithOneReportEqualsStandardFirst) {
    ScorerSettings settings = narrow_settings();
    settings.report_psms = 1;
    const auto standard = scorer_for(db, settings).score(spectrum());
    settings.chimera = true;
    const auto chimeric = scorer_for(db, settings).score(spectrum());
    ASSERT_EQ(standard.size(), 1u);
    ASSERT_EQ(chimeric.size(), 1u);
    expect_same_except_psm_id(standard[0], chimeric[0]);
    EXPECT_NE(standard[0].psm_id, chimeric[0].psm_id);
}

TEST_F(TwoPeptides, ChimeraExtractsOnTheReducedSpectrum) {
    ScorerSettings settings = narrow_settings();
    settings.chimera = true;
    auto s = spectrum();
    // A duplicate of one of strong's peaks: removed together with the original.
    s.peaks.push_back({100.0f, series_masses(strong, Kind::B)[2]});
    s.total_ion_current += 100.0f;
    std::stable_sort(s.peaks.begin(), s.peaks.end(),
                     [](const Peak& a, const Peak& b) { return a.mass < b.mass; });
    const auto features = scorer_for(db, settings).score(s);
    ASSERT_EQ(features.size(), 2u);
    EXPECT_EQ(features[0].peptide_idx, 0u);
    EXPECT_EQ(features[0].rank, 1u);
    EXPECT_EQ(features[1].peptide_idx, 1u);
    EXPECT_EQ(features[1].rank, 2u);
    EXPECT_EQ(features[1].delta_best, 0.0);  // best of its own step
    // Only weak's seven peaks are left, so they make up all of the current.
    EXPECT_EQ(features[1].matched_peaks, 7u);
    EXPECT_EQ(features[1].matched_intensity_pct, 100.0f);
    EXPECT_EQ(features[1].scored_candidates, features[0].scored_candidates);
}

TEST_F(TwoPeptides, ChimeraStopsWhenNothingPassesAnyMore) {
    ScorerSettings settings = narrow_settings();
    settings.chimera = true;
    const auto s = make_spectrum(fragment_peaks(strong, 5.0f), precursor_for(1000.0f, 2));
    const auto features = scorer_for(db, settings).score(s);
    ASSERT_EQ(features.size(), 1u);
    EXPECT_EQ(features[0].peptide_idx, 0u);
}

TEST(RemovePeaks, RemovesEveryCopyAndSumsTheRest) {
    ProcessedSpectrum s;
    s.peaks = {{2.0f, 100.0f}, {2.0f, 100.0f}, {3.0f, 100.0f}, {4.0f, 150.0f}};
    remove_peaks(s, {{2.0f, 100.0f}});
    EXPECT_EQ(s.peaks.size(), 2u);
    EXPECT_EQ(s.peaks[0].intensity, 3.0f);  // same mass, other intensity: kept
    EXPECT_EQ(s.total_ion_current, 7.0f);
    remove_peaks(s, {{3.0f, 100.0f}, {4.0f, 150.0f}, {4.0f, 150.0f}});
    EXPECT_TRUE(s.peaks.empty());
    EXPECT_TRUE(std::signbit(s.total_ion_current));
    EXPECT_EQ(s.total_ion_current, 0.0f);
}

}  // namespace
}  // namespace tamrel
