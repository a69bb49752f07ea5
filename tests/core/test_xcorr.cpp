#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <algorithm>
#include <random>
#include <string>

#include "scoring_fixtures.hpp"
#include "tamrel/error.hpp"
#include "tamrel/xcorr.hpp"

namespace tamrel {
namespace {

using namespace tamrel::testing;

constexpr const char* kSequence = "LVNELTEFAKTCVADESHAGCEK";

LadderPeptide ladder(const std::string& sequence) {
    return LadderPeptide{sequence, {}, 0.0f, sequence_mass(sequence)};
}

// The peptide's b and y ions (charge 1) among seeded noise peaks.
std::vector<Peak> spectrum_of(const std::string& sequence, std::uint32_t seed, int noise) {
    std::vector<Peak> peaks = sequence.empty() ? std::vector<Peak>{} : fragment_peaks(make_peptide(sequence), 1000.0f);
    std::mt19937 rng(seed);
    for (int i = 0; i < noise; ++i)
        peaks.push_back({static_cast<float>(rng() % 900 + 50), static_cast<float>(rng() % 2000000) / 1000.0f + 100.0f});
    return peaks;
}

TEST(Xcorr, FlankingMeanIsSubtracted) {
    XcorrSettings settings;
    const XcorrSpectrum s({{400.0f, 500.0f}}, settings);
    const std::int64_t bin = s.bin_of(500.0f);
    EXPECT_EQ(bin, 500);  // floor(500 / 1.0005079 + 0.4)
    EXPECT_DOUBLE_EQ(s.at(bin), 50.0);  // the only region's top
    EXPECT_DOUBLE_EQ(s.at(bin + 1), -50.0 / 150.0);
    EXPECT_DOUBLE_EQ(s.at(bin - 75), -50.0 / 150.0);
    EXPECT_DOUBLE_EQ(s.at(bin + 76), 0.0);
}

// Every bin's value against its definition, over bins where the flanks reach
// past 0, meet a peak exactly at their edge or just beyond it, and hold two
// peaks of one bin. One region and square intensities keep every value and
// sum exact, so the comparison is bit for bit.
TEST(Xcorr, EveryBinHoldsItsFlankingMean) {
    XcorrSettings settings;
    settings.regions = 1;
    const std::int64_t flank = settings.flank_bins;
    const std::vector<std::pair<std::int64_t, float>> placed = {
        {3, 400.0f}, {4, 100.0f}, {79, 25.0f}, {80, 400.0f}, {155, 100.0f}, {156, 25.0f}, {156, 16.0f}, {400, 100.0f}};
    std::vector<Peak> peaks;
    std::vector<double> value(700, 0.0);
    for (const auto& [bin, intensity] : placed) {
        peaks.push_back({intensity, static_cast<float>(static_cast<double>(bin) * settings.bin_width)});
        value[static_cast<std::size_t>(bin)] = std::max(value[static_cast<std::size_t>(bin)], 2.5 * std::sqrt(intensity));
    }
    const XcorrSpectrum s(peaks, settings);
    for (std::size_t i = 0; i < placed.size(); ++i) ASSERT_EQ(s.bin_of(peaks[i].mass), placed[i].first);
    for (std::int64_t b = 0; b < 560; ++b) {
        double around = 0.0;
        for (std::int64_t k = std::max<std::int64_t>(b - flank, 0); k <= b + flank; ++k)
            around += k == b ? 0.0 : value[static_cast<std::size_t>(k)];
        EXPECT_EQ(s.at(b), value[static_cast<std::size_t>(b)] - around / static_cast<double>(2 * flank)) << b;
    }
}

TEST(Xcorr, NoiseBelowFivePercentOfTheTallestIsDropped) {
    const XcorrSpectrum s({{10000.0f, 300.0f}, {24.0f, 700.0f}, {26.0f, 710.0f}}, XcorrSettings{});
    // sqrt(24) < 0.05 sqrt(10000) <= sqrt(26); 300 and 710 lie in different regions, each scaled to 50
    EXPECT_DOUBLE_EQ(s.at(s.bin_of(700.0f)), -50.0 / 150.0);
    EXPECT_DOUBLE_EQ(s.at(s.bin_of(300.0f)), 50.0);
    EXPECT_DOUBLE_EQ(s.at(s.bin_of(710.0f)), 50.0);
}

TEST(Xcorr, TruePeptideStandsOutOfItsShuffles) {
    XcorrSettings settings;
    const XcorrSpectrum own(spectrum_of(kSequence, 7, 60), settings);
    const XcorrEvidence e = own.evidence(ladder(kSequence), 2);
    EXPECT_GT(e.xcorr, 1.0f);
    EXPECT_GT(e.z, 5.0f);
    EXPECT_GT(e.log_p, 4.0f);
    // An unrelated spectrum gives the same peptide no evidence.
    const XcorrSpectrum noise(spectrum_of("", 7, 80), settings);
    const XcorrEvidence n = noise.evidence(ladder(kSequence), 2);
    EXPECT_LT(n.z, 3.0f);
    EXPECT_LT(n.log_p, 2.0f);
}

TEST(Xcorr, ChanceLevelNeedsTwoResidues) {
    const XcorrSpectrum s(spectrum_of("PEK", 1, 20), XcorrSettings{});
    EXPECT_FALSE(std::isnan(s.evidence(ladder("PEK"), 2).z));
    const XcorrEvidence e = s.evidence(ladder("K"), 2);
    EXPECT_TRUE(std::isnan(e.log_p));
    EXPECT_TRUE(std::isnan(e.z));
    XcorrSettings none;
    none.null_ladders = 0;
    EXPECT_TRUE(std::isnan(XcorrSpectrum(spectrum_of(kSequence, 1, 20), none).evidence(ladder(kSequence), 2).log_p));
}

TEST(Xcorr, BatchEqualsOneByOneInAnyRowOrder) {
    XcorrSettings settings;
    const std::vector<std::vector<Peak>> spectra = {spectrum_of(kSequence, 3, 40), spectrum_of("SAMPLER", 4, 40), {}};
    const std::string a = kSequence, b = "SAMPLER", c = "PEPTIDEK";
    const std::vector<float> mods = {0.0f, 0.0f, 15.994915f, 0.0f, 0.0f, 0.0f, 0.0f};
    const LadderPeptide modified{b, mods, 42.010565f, sequence_mass(b) + 15.994915f + 42.010565f};
    const std::vector<XcorrRow> rows = {{1, modified, 3}, {0, ladder(a), 2}, {1, ladder(c), 2}, {2, ladder(a), 2},
                                        {0, ladder(c), 4}};
    const auto got = xcorr_batch(spectra, rows, settings);
    ASSERT_EQ(got.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const XcorrEvidence want = XcorrSpectrum(spectra[rows[i].spectrum], settings).evidence(rows[i].peptide, rows[i].charge);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(got[i].xcorr), std::bit_cast<std::uint32_t>(want.xcorr)) << i;
        EXPECT_EQ(std::bit_cast<std::uint32_t>(got[i].log_p), std::bit_cast<std::uint32_t>(want.log_p)) << i;
        EXPECT_EQ(std::bit_cast<std::uint32_t>(got[i].z), std::bit_cast<std::uint32_t>(want.z)) << i;
    }
    EXPECT_EQ(got[3].xcorr, 0.0f);  // no peaks, no evidence
}

TEST(Xcorr, BadRowsFail) {
    try {
        xcorr_batch({{}}, {{1, ladder("PEPTIDEK"), 2}}, XcorrSettings{});
        FAIL() << "no failure";
    } catch (const Failure& e) {
        EXPECT_STREQ(e.what(), "row of spectrum 1 in a batch of 1");
    }
    const std::vector<float> short_mods = {0.0f};
    try {
        XcorrSpectrum({}, XcorrSettings{}).score(LadderPeptide{"PEPTIDEK", short_mods, 0.0f, 900.0f}, 2);
        FAIL() << "no failure";
    } catch (const Failure& e) {
        EXPECT_STREQ(e.what(), "a peptide's modifications must number its residues");
    }
}

TEST(Xcorr, CandidateTailCalibratesAgainstTheDatabaseWindow) {
    // Seeded random tryptic peptides around the true one's mass, and the true one.
    std::mt19937 rng(11);
    static constexpr char kResidues[] = "ACDEFGHILMNPQSTVWY";
    std::vector<Peptide> peptides;
    for (int i = 0; i < 600; ++i) {
        std::string s;
        while (sequence_mass(s) < sequence_mass(kSequence) - 150.0f) s += kResidues[rng() % 18];
        peptides.push_back(make_peptide(s + "K"));
    }
    peptides.push_back(make_peptide(kSequence));
    std::sort(peptides.begin(), peptides.end(), [](const Peptide& a, const Peptide& b) { return a.monoisotopic < b.monoisotopic; });
    const PeptideTable table(peptides);
    XcorrSettings settings;
    settings.tail_window = 200.0f;
    const std::vector<std::vector<Peak>> spectra = {spectrum_of(kSequence, 7, 60), spectrum_of("", 7, 80)};
    const std::string truth = kSequence, other = "SAMPLER";
    const std::vector<XcorrRow> rows = {{0, ladder(truth), 2}, {1, ladder(truth), 2}, {0, ladder(other), 2}};
    const auto got = xcorr_batch(spectra, rows, settings, &table);
    EXPECT_GT(got[0].tail_log_p, 2.5f);  // the true match, far in its tail
    EXPECT_LT(got[1].tail_log_p, 1.5f);  // the same peptide against noise
    EXPECT_GE(got[2].tail_log_p, 0.0f);
    // The tail counts every peptide of the window, and none outside it.
    const XcorrSpectrum own(spectra[0], settings);
    const auto tail = own.candidate_tail(table, sequence_mass(kSequence), 200.0f, 2);
    ASSERT_TRUE(tail);
    std::uint32_t inside = 0;
    for (const Peptide& p : peptides) inside += std::abs(p.monoisotopic - sequence_mass(kSequence)) <= 200.0f;
    EXPECT_EQ(tail->candidates, inside);
    XcorrSettings sparse = settings;  // every k-th peptide of a fuller window
    sparse.tail_candidates = 100;
    const std::uint32_t stride = (inside + 99) / 100;
    EXPECT_EQ(XcorrSpectrum(spectra[0], sparse).candidate_tail(table, sequence_mass(kSequence), 200.0f, 2)->candidates,
              (inside + stride - 1) / stride);
    EXPECT_LT(tail->slope, 0.0);
    EXPECT_FLOAT_EQ(got[0].tail_log_p, static_cast<float>(-(tail->intercept + tail->slope * got[0].xcorr)));
    // Without a table or a window: no candidate tail.
    EXPECT_TRUE(std::isnan(xcorr_batch(spectra, rows, XcorrSettings{}, &table)[0].tail_log_p));
    EXPECT_TRUE(std::isnan(xcorr_batch(spectra, rows, settings)[0].tail_log_p));
    EXPECT_FALSE(own.candidate_tail(table, 100.0f, 20.0f, 2));  // an empty window
    EXPECT_FALSE(own.candidate_tail(table, std::nanf(""), 20.0f, 2));
}

TEST(ExponentialTail, RecoversAnExactLine) {
    // rank r of 30 at score (log10(r / 30) - 1) / -2: the line log10(r / 30) = 1 - 2 x
    std::vector<double> scores;
    for (int r = 30; r >= 1; --r) scores.push_back((std::log10(r / 30.0) - 1.0) / -2.0);
    const auto tail = exponential_tail(scores);
    ASSERT_TRUE(tail);
    EXPECT_NEAR(tail->first, 1.0, 1e-9);
    EXPECT_NEAR(tail->second, -2.0, 1e-9);
}

TEST(ExponentialTail, NoFitWithoutAFallingSpreadTail) {
    EXPECT_FALSE(exponential_tail(std::vector<double>(14, 1.0)));           // ranks 2..4 only
    EXPECT_FALSE(exponential_tail(std::vector<double>(30, 1.0)));           // all tied
    EXPECT_FALSE(exponential_tail({}));
    std::vector<double> nan_scores(30, 1.0);
    nan_scores[3] = std::nan("");
    EXPECT_FALSE(exponential_tail(nan_scores));
}

}  // namespace
}  // namespace tamrel
