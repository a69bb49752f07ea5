#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "scoring_fixtures.hpp"
#include "tamrel/error.hpp"
#include "tamrel/xcorr_null.hpp"

namespace tamrel {
namespace {

using namespace tamrel::testing;

// Five peptides at the given masses (ascending), each of its own sequence.
const std::vector<std::string> kSequences = {"GASPVK", "TLNDEK", "QMHFRK", "YWCAGR", "PEPTIDEK"};
const std::vector<float> kMasses = {990.0f, 995.0f, 1000.0f, 1004.0f, 1005.0f};

PeptideTable table() {
    std::vector<Peptide> peptides;
    for (std::size_t i = 0; i < kSequences.size(); ++i) peptides.push_back(make_peptide(kSequences[i], kMasses[i]));
    return PeptideTable(peptides);
}

// The histogram the peptides `taken` (by position) make at `charge`.
std::vector<std::uint32_t> histogram_of(const std::vector<Peak>& peaks, const std::vector<std::size_t>& taken,
                                        std::uint8_t charge, const XcorrNullSettings& null) {
    const PeptideTable peptides = table();
    const XcorrSpectrum binned(peaks, XcorrSettings{});
    std::vector<std::uint32_t> counts(null.bins, 0);
    for (const std::size_t i : taken) {
        const LadderPeptide p{kSequences[i], {}, 0.0f, peptides.mass(i)};
        const double bin = std::clamp(std::floor(binned.score(p, charge) / null.bin_width), 0.0, null.bins - 1.0);
        ++counts[static_cast<std::size_t>(bin)];
    }
    return counts;
}

TEST(XcorrNull, NearestPeptidesInTheWindowLighterFirstOnTies) {
    const std::vector<Peak> peaks = fragment_peaks(make_peptide("YWCAGR"), 1000.0f);
    XcorrNullSettings null;
    null.bin_width = 0.001;
    null.bins = 4000;
    struct Case {
        float window;
        std::uint32_t sample;
        std::vector<std::size_t> taken;
    };
    // 1002: 1000 and 1004 tie at 2 Da (the lighter first), then 1005, 995, 990
    for (const Case& c : {Case{25.0f, 2, {2, 3}}, Case{25.0f, 1, {2}}, Case{25.0f, 3, {2, 3, 4}},
                          Case{2.5f, 10, {2, 3}}, Case{11.0f, 10, {1, 2, 3, 4}}, Case{12.0f, 10, {0, 1, 2, 3, 4}}, Case{1.0f, 10, {}}}) {
        null.window_da = c.window;
        null.sample = c.sample;
        const auto got = xcorr_histograms({peaks}, table(), {{0, 1002.0f, 2}}, XcorrSettings{}, null);
        EXPECT_EQ(got, histogram_of(peaks, c.taken, 2, null)) << c.window << " " << c.sample;
    }
}

TEST(XcorrNull, QueriesOfASpectrumAddUpAndSpectraStayApart) {
    const std::vector<Peak> peaks = fragment_peaks(make_peptide("PEPTIDEK"), 1000.0f);
    XcorrNullSettings null;
    null.sample = 2;
    const PeptideTable peptides = table();
    const auto one = xcorr_histograms({peaks}, peptides, {{0, 1002.0f, 2}}, XcorrSettings{}, null);
    const auto two = xcorr_histograms({peaks}, peptides, {{0, 992.0f, 3}}, XcorrSettings{}, null);
    const auto both = xcorr_histograms({{}, peaks}, peptides, {{1, 992.0f, 3}, {1, 1002.0f, 2}, {0, NAN, 2}},
                                       XcorrSettings{}, null);
    ASSERT_EQ(both.size(), 2 * null.bins);
    EXPECT_TRUE(std::all_of(both.begin(), both.begin() + null.bins, [](std::uint32_t v) { return v == 0; }));
    for (std::size_t b = 0; b < null.bins; ++b) EXPECT_EQ(both[null.bins + b], one[b] + two[b]) << b;
}

TEST(XcorrNull, BadQueriesAndSettingsFail) {
    for (const auto& [null, queries, message] :
         {std::tuple{XcorrNullSettings{}, std::vector<XcorrNullQuery>{{1, 1000.0f, 2}}, "row of spectrum 1 in a batch of 1"},
          std::tuple{XcorrNullSettings{25.0f, 10, 0.0, 4}, std::vector<XcorrNullQuery>{},
                     "a score histogram needs bins of positive width and a window of no negative width"}}) {
        try {
            xcorr_histograms({{}}, table(), queries, XcorrSettings{}, null);
            FAIL() << "no failure";
        } catch (const Failure& e) {
            EXPECT_STREQ(e.what(), message);
        }
    }
}

}  // namespace
}  // namespace tamrel
