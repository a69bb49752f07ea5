#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>

#include "tamrel/digest.hpp"
#include "tamrel/error.hpp"
#include "tamrel/ion_series.hpp"

namespace tamrel {
namespace {

constexpr double kWater = 18.0105646837;

DigestRules tryptic(std::size_t missed = 0) {
    return DigestRules{.cleave = "KR", .unless = "P", .missed_cleavages = missed, .min_length = 1, .min_mass = 0.0,
                       .max_mass = 10000.0, .water = kWater, .variable = {}};
}

std::vector<std::string> sequences(const Digest& d) {
    std::vector<std::string> out;
    for (std::int64_t k : d.sequence) {
        out.push_back(d.residues.substr(static_cast<std::size_t>(d.sequence_offsets[k]),
                                        static_cast<std::size_t>(d.sequence_offsets[k + 1] - d.sequence_offsets[k])));
    }
    return out;
}

TEST(Digest, CleavageRulesProteinsAndMassOrder) {
    // LGGK and IGGK weigh the same: first appearance decides; no cut before P;
    // LGGK (the first distinct sequence) sits in both proteins.
    const Digest d = digest_proteome("LGGKIGGKPWR\nAGGKIGGKLGGK", tryptic());
    EXPECT_EQ(sequences(d), (std::vector<std::string>{"AGGK", "LGGK", "IGGK", "IGGKPWR"}));
    EXPECT_EQ(std::vector<std::int64_t>(d.protein_ids.begin(), d.protein_ids.begin() + d.protein_offsets[1]),
              (std::vector<std::int64_t>{0, 1}));
    EXPECT_EQ(d.missed_cleavages, (std::vector<std::uint8_t>{0, 0, 0, 0}));
}

TEST(Digest, MassIsTheWidenedResidueSumPlusWaterRoundedOnce) {
    const Digest d = digest_proteome("PEPTIDEK", tryptic());
    double sum = 0.0;
    for (char c : std::string("PEPTIDEK")) sum += static_cast<double>(residue_mass(static_cast<unsigned char>(c)));
    EXPECT_EQ(d.mass.at(0), static_cast<float>(sum + kWater));
    EXPECT_TRUE(digest_proteome("AABKGGGR", tryptic()).sequence.size() == 1);  // B has no mass: AABK is dropped
}

TEST(Digest, DistinctSequencesNumberedByFirstSpanAndListTheirProteins) {
    // Two letters: most sequences recur, within and across proteins, and many share a length (so their hashes
    // fall on the same slots); spans come missed cleavages first, then in proteome order.
    std::mt19937 rng(11);
    std::vector<std::string> proteins(400);
    std::string proteome;
    for (std::string& p : proteins) {
        for (unsigned i = 0, n = 20 + rng() % 40; i < n; ++i) p += rng() % 3 == 0 ? 'K' : 'A';
        proteome += (proteome.empty() ? "" : "\n") + p;
    }
    DigestRules r = tryptic(2);
    r.cleave = "K", r.unless = "", r.max_length = 12;
    std::vector<std::string> order;
    std::vector<std::vector<std::int64_t>> holders;
    std::vector<std::uint8_t> missed;
    for (std::size_t mc = 0; mc <= 2; ++mc) {
        for (std::size_t p = 0; p < proteins.size(); ++p) {
            std::vector<std::size_t> cuts{0};
            for (std::size_t j = 1; j < proteins[p].size(); ++j) {
                if (proteins[p][j - 1] == 'K') cuts.push_back(j);
            }
            cuts.push_back(proteins[p].size());
            for (std::size_t i = 0; i + 1 + mc < cuts.size(); ++i) {
                const std::string s = proteins[p].substr(cuts[i], cuts[i + 1 + mc] - cuts[i]);
                if (s.size() > r.max_length) continue;
                const auto k = static_cast<std::size_t>(std::find(order.begin(), order.end(), s) - order.begin());
                if (k == order.size()) order.push_back(s), holders.emplace_back(), missed.push_back(static_cast<std::uint8_t>(mc));
                if (holders[k].empty() || holders[k].back() != static_cast<std::int64_t>(p)) holders[k].push_back(static_cast<std::int64_t>(p));
            }
        }
    }
    const Digest d = digest_proteome(proteome, r);
    ASSERT_EQ(d.sequence_offsets.size(), order.size() + 1);
    for (std::size_t k = 0; k < order.size(); ++k) {
        const auto lo = static_cast<std::size_t>(d.sequence_offsets[k]), hi = static_cast<std::size_t>(d.sequence_offsets[k + 1]);
        ASSERT_EQ(d.residues.substr(lo, hi - lo), order[k]) << k;
        ASSERT_EQ(std::vector<std::int64_t>(d.protein_ids.begin() + d.protein_offsets[k],
                                            d.protein_ids.begin() + d.protein_offsets[k + 1]), holders[k]) << k;
    }
    EXPECT_EQ(d.missed_cleavages, missed);
}

TEST(Digest, VariableFormsFewerModificationsFirstSitesLeftToRight) {
    DigestRules r = tryptic();
    r.variable = {{'M', {16.0}}};
    r.max_variable = 1;
    const Digest d = digest_proteome("MAMK", r);
    ASSERT_EQ(d.sequence.size(), 3u);
    EXPECT_EQ(d.mod_offsets, (std::vector<std::int64_t>{0, 0, 4, 8}));  // unmodified: no array at all
    EXPECT_EQ(d.mod_values, (std::vector<float>{16.0f, 0, 0, 0, 0, 0, 16.0f, 0}));
    EXPECT_TRUE(std::isnan(d.nterm[1]) && std::isnan(d.cterm[2]));
}

TEST(Digest, FormsPastTheMemoryBudgetEndTheDigestWithAMessage) {
    DigestRules r = tryptic();
    r.variable = {{'S', {80.0}}};
    r.max_variable = 3;
    const std::string proteome = "SSSSSSK\nGGGK\nAAAK";  // SSSSSSK: 42 forms
    // checked as each sequence is done: SSSSSSK (one form unmodified) and GGGK fit exactly
    const std::uint64_t fits = 41 * indexed_bytes(7, true) + indexed_bytes(7, false) + indexed_bytes(4, false);
    r.memory_budget = fits;
    EXPECT_EQ(digest_proteome(proteome, r).sequence.size(), 44u);
    r.memory_budget = fits - 1;
    try {
        digest_proteome(proteome, r);
        ADD_FAILURE() << "no failure";
    } catch (const InputFailure& e) {
        EXPECT_EQ(std::string(e.what()).substr(0, 93),
                  "the peptides to search would not fit in memory: 2 of 3 sequences made 43 modified peptides, a");
    }
}

TEST(Digest, LargeProteomeSortedStablyAndStoppedByTheBudgetAtTheSequenceThatPassesIt) {
    // Enough distinct sequences for the forms to be made in many blocks over
    // several rounds on the pool.
    std::mt19937 rng(3);
    std::string proteome;
    for (int p = 0; p < 3000; ++p) {
        if (p > 0) proteome += '\n';
        for (unsigned i = 0, n = 50 + rng() % 600; i < n; ++i) proteome += "ACDEFGHIKLMNPQRSTVWY"[rng() % 20];
    }
    DigestRules r = tryptic(2);
    r.min_length = 6;
    r.variable = {{'M', {15.994915}}, {'^', {42.010565}}};
    const Digest d = digest_proteome(proteome, r);
    const std::size_t distinct = d.sequence_offsets.size() - 1;
    ASSERT_GT(distinct, 150000u);
    // Ascending masses, ties in the order of the sequences' first appearance.
    for (std::size_t i = 1; i < d.mass.size(); ++i) {
        ASSERT_TRUE(d.mass[i - 1] < d.mass[i] || (d.mass[i - 1] == d.mass[i] && d.sequence[i - 1] <= d.sequence[i]));
    }
    // The estimate summed in sequence order, after each sequence but the last.
    std::vector<std::uint64_t> bytes(distinct, 0), rows(distinct, 0);
    for (std::size_t i = 0; i < d.sequence.size(); ++i) {
        const auto k = static_cast<std::size_t>(d.sequence[i]);
        const auto length = static_cast<std::size_t>(d.sequence_offsets[k + 1] - d.sequence_offsets[k]);
        bytes[k] += indexed_bytes(length, d.mod_offsets[i + 1] > d.mod_offsets[i]);
        ++rows[k];
    }
    std::uint64_t estimate = 0, made = 0;
    for (std::size_t k = 0; k <= 140000; ++k) r.memory_budget += bytes[k];
    r.memory_budget -= 1;  // passed by sequence 140000, in the second round of blocks
    std::size_t stop = 0;
    for (; stop + 1 < distinct && estimate <= r.memory_budget; ++stop) estimate += bytes[stop], made += rows[stop];
    ASSERT_EQ(stop, 140001u);
    try {
        digest_proteome(proteome, r);
        ADD_FAILURE() << "no failure";
    } catch (const InputFailure& e) {
        EXPECT_EQ(std::string(e.what()).substr(0, 90),
                  ("the peptides to search would not fit in memory: " + std::to_string(stop) + " of " +
                   std::to_string(distinct) + " sequences made " + std::to_string(made) + " modified peptides")
                      .substr(0, 90));
    }
}

}  // namespace
}  // namespace tamrel
