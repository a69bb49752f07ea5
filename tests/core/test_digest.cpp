#include <gtest/gtest.h>

#include <cmath>
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

}  // namespace
}  // namespace tamrel
