#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <span>

#include "scoring_fixtures.hpp"
#include "tamrel/heap.hpp"

namespace tamrel {
namespace {

using namespace tamrel::testing;

Scorer scorer_for(SharedDatabase db, ScorerSettings settings = narrow_settings()) {
    return Scorer::assemble(settings, std::move(db));
}

std::vector<PreliminaryScore> found(const InitialHits& hits) {
    std::vector<PreliminaryScore> out;
    std::copy_if(hits.preliminary.begin(), hits.preliminary.end(), std::back_inserter(out),
                 [](const PreliminaryScore& p) { return !p.is_empty(); });
    return out;
}

// Four peptides sharing their b ions, with the masses 100, 200, 200 and 300.
SharedDatabase shared_b_database() {
    std::vector<Peptide> peptides;
    for (const float m : {100.0f, 200.0f, 200.0f, 300.0f}) {
        peptides.push_back(make_peptide("GASK", m));
    }
    return make_database(std::move(peptides), {Kind::B});
}

TEST(MatchedPeaksWithIsotope, BoundaryPeptidesOfThePrecursorRangeAreFiltered) {
    const auto db = shared_b_database();
    const float b2 = series_masses(db->peptides[0], Kind::B)[1];
    const auto spectrum = make_spectrum({{1.0f, b2}}, precursor_for(200.0f, 2));
    const InitialHits hits = scorer_for(db).matched_peaks_with_isotope(
        spectrum.peaks, 200.0f, 2, Tolerance::da(0.0f, 0.0f), 0);
    // Slots for peptides 0 to 3 in position order, the boundary ones empty.
    const PreliminaryScore empty{};
    EXPECT_EQ(hits.preliminary,
              (std::vector<PreliminaryScore>{empty, {1, 1, 2, 0}, {2, 1, 2, 0}, empty}));
    EXPECT_EQ(hits.matched_peaks, 2u);
    EXPECT_EQ(hits.scored_candidates, 2u);
}

TEST(MatchedPeaksWithIsotope, NothingFoundReturnsEverySlotUntouched) {
    const auto db = shared_b_database();
    const auto spectrum = make_spectrum({{1.0f, 5000.0f}}, precursor_for(200.0f, 2));
    const InitialHits hits = scorer_for(db).matched_peaks_with_isotope(
        spectrum.peaks, 200.0f, 2, Tolerance::da(0.0f, 0.0f), 0);
    EXPECT_EQ(hits.preliminary, std::vector<PreliminaryScore>(4));
    EXPECT_EQ(hits.matched_peaks, 0u);
    EXPECT_EQ(hits.scored_candidates, 0u);
}

TEST(MatchedPeaksWithIsotope, OnePeakFindsFragmentsAtSeveralCharges) {
    // b2 of GGGK weighs exactly twice b1: the b1 peak finds b1 at charge 1 and,
    // multiplied by 2, b2 at charge 2.
    const Peptide p = make_peptide("GGGK");
    const auto db = make_database({p}, {Kind::B});
    const auto bs = series_masses(p, Kind::B);
    const auto spectrum = make_spectrum({{1.0f, bs[0]}}, precursor_for(p.monoisotopic, 3));
    const InitialHits hits = scorer_for(db).matched_peaks_with_isotope(
        spectrum.peaks, p.monoisotopic, 3, Tolerance::da(-0.01f, 0.01f), 0);
    ASSERT_EQ(found(hits).size(), 1u);
    EXPECT_EQ(found(hits)[0].matched, 2);
    EXPECT_EQ(hits.matched_peaks, 2u);
    EXPECT_EQ(hits.scored_candidates, 1u);
}

// The matching pass must find exactly the records the index query yields, for
// every hypothesis: compare its slots with counts made through page_search on
// small random databases full of equal masses and window-edge hits. Every
// third round has more peptides than the selection keeps, with many equal
// counts: the kept slots and their heap order must be those of offering every
// found slot in turn.
TEST(MatchedPeaksWithIsotope, AgreesWithPageSearch) {
    const unsigned seed = 4242;
    std::mt19937 rng(seed);
    const auto pick = [&](unsigned n) { return static_cast<float>(rng() % n); };
    const std::string alphabet = "GASPVK";
    for (int round = 0; round < 300; ++round) {
        std::vector<Peptide> peptides;
        const std::size_t count = 1 + rng() % (round % 3 == 2 ? 400 : 40);
        for (std::size_t i = 0; i < count; ++i) {
            std::string seq(2 + rng() % 6, 'G');
            for (char& c : seq) c = alphabet[rng() % alphabet.size()];
            // Masses on a coarse grid, so that many are equal.
            peptides.push_back(make_peptide(seq, 300.0f + 0.5f * pick(round % 3 == 2 ? 3 : 12)));
        }
        std::sort(peptides.begin(), peptides.end(), [](const Peptide& a, const Peptide& b) {
            return a.monoisotopic < b.monoisotopic;
        });
        std::vector<Peak> peaks;
        for (int i = 0; i < 12; ++i) {
            const Kind kind = rng() % 2 ? Kind::B : Kind::Y;
            const auto masses = series_masses(peptides[rng() % count], kind);
            if (masses.empty()) continue;
            peaks.push_back({1.0f, masses[rng() % masses.size()] / (1.0f + pick(2))});
        }
        const auto spectrum = make_spectrum(peaks, precursor_for(300.0f, 3));
        ScorerSettings settings = narrow_settings();
        settings.fragment_tol = Tolerance::da(-0.01f * pick(3), 0.01f * pick(3));
        const Tolerance precursor_tol = Tolerance::da(-0.5f * pick(3), 0.5f * pick(3));
        const float precursor_mass = 299.5f + 0.5f * pick(14);
        const auto isotope = static_cast<std::int8_t>(static_cast<int>(rng() % 3) - 1);
        // Small buckets assembled by hand (no directory), and on odd rounds
        // larger ones from the index build, whose directory splits them.
        const std::size_t bucket = (1 + rng() % 9) * (round % 2 ? 17 : 1);
        IndexBuildSettings build;
        build.ion_kinds = {Kind::B, Kind::Y};
        build.bucket_size = bucket;
        build.min_ion_index = 0;
        build.generate_decoys = false;
        const SharedDatabase db =
            round % 2 ? std::make_shared<const IndexedDatabase>(build_indexed_database(build, peptides))
                      : make_database(peptides, {Kind::B, Kind::Y}, bucket);

        const InitialHits hits = scorer_for(db, settings).matched_peaks_with_isotope(
            spectrum.peaks, precursor_mass, 3, precursor_tol, isotope);

        const float shifted = precursor_mass - static_cast<float>(isotope) * kIsotopeSpacing;
        const IndexedQuery q = db->query(shifted, precursor_tol, settings.fragment_tol);
        std::vector<PreliminaryScore> expected(q.peptide_hi - q.peptide_lo + 1);
        std::uint32_t total = 0;
        std::uint32_t distinct = 0;
        for (const Peak& peak : spectrum.peaks) {
            for (int c = 1; c < 3; ++c) {
                q.page_search(peak.mass * static_cast<float>(c), [&](const Theoretical& t) {
                    PreliminaryScore& slot = expected[t.peptide_index - q.peptide_lo];
                    if (slot.matched++ == 0) {
                        slot.peptide = t.peptide_index;
                        slot.precursor_charge = 3;
                        slot.isotope_error = isotope;
                        ++distinct;
                    }
                    ++total;
                });
            }
        }
        if (total != 0 && expected.size() > 50) {
            const std::span<PreliminaryScore> heap(expected.data(), 50);
            make_min_heap(heap);
            for (std::size_t j = 50; j < expected.size(); ++j) {
                if (!expected[j].is_empty()) offer(heap, expected[j]);
            }
            expected.resize(50);
        }
        ASSERT_EQ(hits.preliminary, expected) << "seed " << seed << " round " << round;
        ASSERT_EQ(hits.matched_peaks, total) << "seed " << seed << " round " << round;
        ASSERT_EQ(hits.scored_candidates, distinct) << "seed " << seed << " round " << round;
    }
}

struct CapCase {
    std::uint32_t report_psms;
    std::size_t kept;
};

class PreliminaryCap : public ::testing::TestWithParam<CapCase> {};

TEST_P(PreliminaryCap, KeepsTheHighestPositionsAmongEqualCounts) {
    const Peptide p = make_peptide("PEPTIDEK");
    const auto db = make_database(std::vector<Peptide>(120, p));
    ScorerSettings settings = narrow_settings();
    settings.report_psms = GetParam().report_psms;
    const auto spectrum = make_spectrum(fragment_peaks(p, 1.0f), precursor_for(p.monoisotopic, 2));
    const Scorer scorer = scorer_for(db, settings);

    for (const InitialHits& hits :
         {scorer.matched_peaks_with_isotope(spectrum.peaks, p.monoisotopic, 2,
                                            settings.precursor_tol, 0),
          scorer.initial_hits(spectrum, spectrum.precursors[0])}) {
        ASSERT_EQ(hits.preliminary.size(), GetParam().kept);
        const std::size_t candidates = std::min<std::size_t>(GetParam().kept, 120);
        std::set<std::uint32_t> peptides;
        for (const auto& s : found(hits)) peptides.insert(s.peptide);
        ASSERT_EQ(peptides.size(), candidates);
        EXPECT_EQ(*peptides.begin(), 120 - candidates);
        EXPECT_EQ(*peptides.rbegin(), 119u);
        EXPECT_EQ(hits.scored_candidates, 120u);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, PreliminaryCap,
                         ::testing::Values(CapCase{5, 50}, CapCase{25, 50}, CapCase{40, 80},
                                           CapCase{0, 50},
                                           // No cut: all 120 slots and the one past the range.
                                           CapCase{4000000000u, 121}));

class InitialHitsTest : public ::testing::Test {
protected:
    Peptide peptide = make_peptide("SAMPLERK");
    SharedDatabase db = make_database({peptide});

    ProcessedSpectrum spectrum_at(float neutral_mass, std::uint8_t charge,
                                  std::optional<Tolerance> isolation = std::nullopt) const {
        Precursor pre = precursor_for(neutral_mass, charge);
        pre.isolation_window = isolation;
        return make_spectrum(fragment_peaks(peptide, 1.0f), pre);
    }

    static std::set<std::pair<int, int>> hypotheses(const InitialHits& hits) {
        std::set<std::pair<int, int>> out;
        for (const auto& s : found(hits)) out.emplace(s.precursor_charge, s.isotope_error);
        return out;
    }
};

TEST_F(InitialHitsTest, KnownChargeWinsOverTheChargeRange) {
    ScorerSettings settings = narrow_settings();
    settings.min_precursor_charge = 2;
    settings.max_precursor_charge = 2;
    const auto spectrum = spectrum_at(peptide.monoisotopic, 3);
    const auto hits = scorer_for(db, settings).initial_hits(spectrum, spectrum.precursors[0]);
    EXPECT_EQ(hypotheses(hits), (std::set<std::pair<int, int>>{{3, 0}}));
}

TEST_F(InitialHitsTest, ForcedChargeRangeIgnoresTheKnownCharge) {
    ScorerSettings settings = narrow_settings();
    settings.min_precursor_charge = 2;
    settings.max_precursor_charge = 4;
    Scorer scorer = scorer_for(db, settings);
    scorer.force_charge_range = true;
    const auto spectrum = spectrum_at(peptide.monoisotopic, 3);
    Precursor pre = spectrum.precursors[0];
    pre.charge = 2;  // wrong on purpose: the range still finds charge 3
    EXPECT_EQ(hypotheses(scorer.initial_hits(spectrum, pre)),
              (std::set<std::pair<int, int>>{{3, 0}}));
}

TEST_F(InitialHitsTest, WideWindowScalesTheDefaultWindowByCharge) {
    ScorerSettings settings = narrow_settings();
    settings.wide_window = true;
    settings.min_isotope_err = -1;
    settings.max_isotope_err = 3;
    // 7 Da heavy at charge 3: inside +-7.2 (2.4 x 3) but outside +-4.8 (2.4 x 2).
    const auto spectrum = spectrum_at(peptide.monoisotopic + 7.0f, 3);
    const auto hits = scorer_for(db, settings).initial_hits(spectrum, spectrum.precursors[0]);
    EXPECT_EQ(hypotheses(hits), (std::set<std::pair<int, int>>{{3, 0}, {3, 1}, {3, 2}, {3, 3}}));
}

TEST_F(InitialHitsTest, WideWindowScalesTheIsolationWindowByCharge) {
    ScorerSettings settings = narrow_settings();
    settings.wide_window = true;
    settings.min_isotope_err = -1;
    settings.max_isotope_err = 3;
    // +-0.5 Da becomes +-1.5 at charge 3; the precursor is 1.2 Da heavy.
    const auto spectrum = spectrum_at(peptide.monoisotopic + 1.2f, 3, Tolerance::da(-0.5f, 0.5f));
    const auto hits = scorer_for(db, settings).initial_hits(spectrum, spectrum.precursors[0]);
    EXPECT_EQ(hypotheses(hits), (std::set<std::pair<int, int>>{{3, 0}, {3, 1}, {3, 2}}));
}

TEST_F(InitialHitsTest, EqualIsotopeBoundsSearchErrorZeroOnly) {
    ScorerSettings settings = narrow_settings();
    settings.min_isotope_err = 1;
    settings.max_isotope_err = 1;
    const Scorer scorer = scorer_for(db, settings);
    const auto monoisotopic = spectrum_at(peptide.monoisotopic, 2);
    EXPECT_EQ(hypotheses(scorer.initial_hits(monoisotopic, monoisotopic.precursors[0])),
              (std::set<std::pair<int, int>>{{2, 0}}));
    const auto first_isotope = spectrum_at(peptide.monoisotopic + kIsotopeSpacing, 2);
    EXPECT_TRUE(found(scorer.initial_hits(first_isotope, first_isotope.precursors[0])).empty());

    settings.min_isotope_err = 0;
    const Scorer with_isotopes = scorer_for(db, settings);
    EXPECT_EQ(hypotheses(with_isotopes.initial_hits(first_isotope, first_isotope.precursors[0])),
              (std::set<std::pair<int, int>>{{2, 1}}));
}

TEST_F(InitialHitsTest, ReversedRangesFindNothing) {
    ScorerSettings settings = narrow_settings();
    settings.min_isotope_err = 2;
    settings.max_isotope_err = 1;
    const auto spectrum = spectrum_at(peptide.monoisotopic, 2);
    const auto hits = scorer_for(db, settings).initial_hits(spectrum, spectrum.precursors[0]);
    EXPECT_TRUE(hits.preliminary.empty());
    EXPECT_EQ(hits.matched_peaks, 0u);

    settings = narrow_settings();
    settings.wide_window = true;
    settings.min_precursor_charge = 4;
    settings.max_precursor_charge = 3;
    const Scorer reversed = scorer_for(db, settings);
    EXPECT_TRUE(reversed.initial_hits(spectrum, spectrum.precursors[0]).preliminary.empty());
}

TEST_F(InitialHitsTest, CountersAddUpOverHypotheses) {
    ScorerSettings settings = narrow_settings();
    settings.precursor_tol = Tolerance::da(-1.5f, 1.5f);
    settings.min_isotope_err = 0;
    settings.max_isotope_err = 1;
    const auto spectrum = spectrum_at(peptide.monoisotopic, 2);
    const Scorer scorer = scorer_for(db, settings);
    const auto one = scorer.matched_peaks_with_isotope(spectrum.peaks, peptide.monoisotopic, 2,
                                                       settings.precursor_tol, 0);
    const auto both = scorer.initial_hits(spectrum, spectrum.precursors[0]);
    EXPECT_EQ(both.matched_peaks, 2 * one.matched_peaks);
    EXPECT_EQ(both.scored_candidates, 2u);
    EXPECT_EQ(hypotheses(both), (std::set<std::pair<int, int>>{{2, 0}, {2, 1}}));
}

}  // namespace
}  // namespace tamrel
