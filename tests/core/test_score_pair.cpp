#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <random>
#include <tuple>

#include "scoring_fixtures.hpp"
#include "tamrel/error.hpp"

namespace tamrel {
namespace {

using namespace tamrel::testing;

// Every column a feature reports but its serial number, bit for bit.
auto row_of(const Feature& f) {
    const auto bits = [](auto v) {
        if constexpr (sizeof v == 8) return std::bit_cast<std::uint64_t>(v);
        else return std::uint64_t{std::bit_cast<std::uint32_t>(v)};
    };
    return std::tuple{bits(f.hyperscore), bits(f.delta_next), bits(f.delta_best), bits(f.poisson),
                      bits(f.delta_mass), bits(f.expmass), bits(f.calcmass), bits(f.isotope_error),
                      bits(f.average_ppm), bits(f.matched_intensity_pct), bits(f.longest_y_pct),
                      bits(f.ms2_intensity), f.rank, f.matched_peaks, f.peptide_idx, f.scored_candidates,
                      f.charge, f.longest_b, f.longest_y, f.label, f.spec_id};
}

void expect_same_rows(const std::vector<Feature>& got, const std::vector<Feature>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(row_of(got[i]), row_of(want[i])) << "row " << i;
}

void expect_same_hits(const InitialHits& got, const InitialHits& want) {
    EXPECT_EQ(got.preliminary, want.preliminary);
    EXPECT_EQ(got.matched_peaks, want.matched_peaks);
    EXPECT_EQ(got.scored_candidates, want.scored_candidates);
}

// The error control's wide pass: +/- 25 Da, isotope error 0, 20 matches of one peak or more.
ScorerSettings wide_settings() {
    ScorerSettings s = narrow_settings();
    s.precursor_tol = Tolerance::da(-25.0f, 25.0f);
    s.report_psms = 20;
    s.min_matched_peaks = 1;
    return s;
}

enum class Sharing { Always, Never, Sometimes };

struct PairCase {
    const char* name;
    void (*adjust)(ScorerSettings& main, ScorerSettings& wide);
    Sharing sharing;
};

class ScorePair : public ::testing::TestWithParam<PairCase> {};

// Peptides dense in mass (shuffled sequences share their mass, within rounding), spectra made of
// a peptide's fragments and noise, precursors at its mass, some with an isotope error, some
// without a charge.
TEST_P(ScorePair, SameRowsAsTwoPasses) {
    const unsigned seed = 20240501;
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    const std::string residues = "ACDEFGHIKLMNPQRSTVWY";
    std::vector<Peptide> peptides;
    for (int i = 0; i < 120; ++i) {
        std::string sequence(8 + rng() % 5, 'A');
        for (char& c : sequence) c = residues[rng() % residues.size()];
        for (int k = 0; k < 3; ++k) {
            std::shuffle(sequence.begin(), sequence.end(), rng);
            peptides.push_back(make_peptide(sequence, std::nullopt, k == 2));
        }
    }
    std::stable_sort(peptides.begin(), peptides.end(), [](const Peptide& a, const Peptide& b) {
        return total_order_key(a.monoisotopic) < total_order_key(b.monoisotopic);
    });
    const auto db = make_database(peptides, {Kind::B, Kind::Y}, 16);

    ScorerSettings main = narrow_settings();
    main.precursor_tol = Tolerance::ppm(-10.0f, 10.0f);
    main.min_isotope_err = 0;
    main.max_isotope_err = 1;
    ScorerSettings wide = wide_settings();
    GetParam().adjust(main, wide);
    const Scorer inner = Scorer::assemble(main, db);
    const Scorer outer = Scorer::assemble(wide, db);

    int shared = 0;
    const int spectra = 60;
    for (int n = 0; n < spectra; ++n) {
        const Peptide& p = peptides[rng() % peptides.size()];
        std::vector<Peak> peaks;
        for (const Peak& peak : fragment_peaks(p, 1.0f + static_cast<float>(rng() % 100))) {
            if (rng() % 3 != 0) peaks.push_back(peak);
        }
        std::uniform_real_distribution<float> noise(100.0f, 1500.0f);
        for (int k = 0; k < 30; ++k) peaks.push_back({static_cast<float>(1 + rng() % 50), noise(rng)});
        const std::uint8_t charge = static_cast<std::uint8_t>(2 + rng() % 3);
        Precursor pre = precursor_for(p.monoisotopic + static_cast<float>(rng() % 2) * kIsotopeSpacing, charge);
        if (rng() % 4 == 0) pre.charge.reset();
        const ProcessedSpectrum spectrum = make_spectrum(peaks, pre, "scan=" + std::to_string(n));

        const PairedHits hits = paired_initial_hits(inner, outer, spectrum, pre);
        expect_same_hits(hits.main, inner.initial_hits(spectrum, pre));
        expect_same_hits(hits.wider, outer.initial_hits(spectrum, pre));
        shared += hits.shared;
        const auto [first, second] = score_pair(inner, outer, spectrum);
        expect_same_rows(first, inner.score(spectrum));
        expect_same_rows(second, outer.score(spectrum));
    }
    switch (GetParam().sharing) {
        case Sharing::Always: EXPECT_EQ(shared, spectra); break;
        case Sharing::Never: EXPECT_EQ(shared, 0); break;
        case Sharing::Sometimes: EXPECT_GT(shared, 0); EXPECT_LT(shared, spectra); break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Settings, ScorePair,
    ::testing::Values(
        PairCase{"SearchDefaults", [](ScorerSettings&, ScorerSettings&) {}, Sharing::Always},
        PairCase{"IsotopeErrorsAndCharges",
                 [](ScorerSettings& m, ScorerSettings& w) {
                     m.min_isotope_err = -1, m.max_isotope_err = 3, m.report_psms = 5;
                     m.max_precursor_charge = w.max_precursor_charge = 5;
                 },
                 Sharing::Always},
        // At 4 Da times the charge, some isotope windows of charges 3 and 4 reach past +/- 25 Da.
        PairCase{"WideWindowPartlyOutside",
                 [](ScorerSettings& m, ScorerSettings&) {
                     m.wide_window = true, m.precursor_tol = Tolerance::da(-4.0f, 4.0f);
                     m.min_isotope_err = -3, m.max_isotope_err = 3;
                 },
                 Sharing::Sometimes},
        // Shared only where no peptide lies between 25 and 30 Da from the precursor.
        PairCase{"PrecursorWindowWiderThanTheWidePass",
                 [](ScorerSettings& m, ScorerSettings&) { m.precursor_tol = Tolerance::da(-30.0f, 30.0f); },
                 Sharing::Sometimes},
        PairCase{"OtherFragmentTolerance",
                 [](ScorerSettings& m, ScorerSettings&) { m.fragment_tol = Tolerance::da(-0.02f, 0.02f); },
                 Sharing::Never},
        // Charge 4 tries fragment charges 1 to 3 here, 1 and 2 in the wide pass.
        PairCase{"OtherFragmentCharges", [](ScorerSettings& m, ScorerSettings&) { m.max_fragment_charge = 3; },
                 Sharing::Sometimes},
        PairCase{"Chimeric", [](ScorerSettings& m, ScorerSettings&) { m.chimera = true, m.report_psms = 3; },
                 Sharing::Always}),
    [](const auto& info) { return std::string(info.param.name); });

// A count that saturated cannot give its hypothesis' sum of finds: the main pass counts again.
TEST(PairedInitialHits, SaturatedCountsAreCountedAgain) {
    const auto db = make_database({make_peptide(std::string(70000, 'X'), 18.0f)}, {Kind::B}, 8192);
    const auto spectrum = make_spectrum({{1.0f, 0.0f}}, precursor_for(18.0f, 2));
    ScorerSettings main = narrow_settings();
    main.precursor_tol = Tolerance::da(-0.5f, 0.5f);
    const Scorer inner = Scorer::assemble(main, db);
    const Scorer outer = Scorer::assemble(wide_settings(), db);
    const PairedHits hits = paired_initial_hits(inner, outer, spectrum, spectrum.precursors.front());
    EXPECT_FALSE(hits.shared);
    EXPECT_EQ(hits.main.matched_peaks, 69999u);
    expect_same_hits(hits.main, inner.initial_hits(spectrum, spectrum.precursors.front()));
}

TEST(ScorePair, FailsAsTheMainPassWould) {
    const auto db = make_database({make_peptide("SAMPLERK")});
    const Scorer inner = Scorer::assemble(narrow_settings(), db);
    const Scorer outer = Scorer::assemble(wide_settings(), db);
    ProcessedSpectrum spectrum = make_spectrum({}, std::nullopt, "scan=9");
    EXPECT_THROW(
        {
            try {
                score_pair(inner, outer, spectrum);
            } catch (const Failure& f) {
                EXPECT_STREQ(f.what(), "missing MS1 precursor for scan=9");
                throw;
            }
        },
        Failure);
    spectrum.level = 1;
    EXPECT_THROW(score_pair(inner, outer, spectrum), Failure);
}

}  // namespace
}  // namespace tamrel
