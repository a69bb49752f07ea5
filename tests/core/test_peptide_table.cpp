#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tamrel/error.hpp"
#include "tamrel/peptide_table.hpp"

using tamrel::Peptide;
using tamrel::PeptideTable;

namespace {

std::vector<std::uint32_t> bits(const std::vector<float>& v) {
    std::vector<std::uint32_t> out;
    for (const float f : v) out.push_back(std::bit_cast<std::uint32_t>(f));
    return out;
}

// Peptides covering each optional part: unmodified without an array, zeros
// kept as an array, a -0.0 terminal mass, modifications longer than the sequence.
std::vector<Peptide> samples() {
    std::vector<Peptide> out;
    Peptide bare = Peptide::from_user("SAMPLERK", 900.5f, std::nullopt, std::nullopt, std::nullopt);
    bare.modifications.clear();
    bare.unmodified = true;
    bare.missed_cleavages = 2;
    out.push_back(bare);
    out.push_back(Peptide::from_user("PEPTIDEK", 927.45f, std::nullopt, -0.0f, std::nullopt));
    out.push_back(Peptide::from_user("MCDEFK", 800.25f, std::vector<float>{15.9949f, 57.0215f, 0, 0, -0.0f, 0},
                                     42.0106f, -0.984f));
    out.push_back(Peptide::from_user("GK", 200.0f, std::vector<float>{1, 2, 3}, std::nullopt, 1.5f));
    out.back().decoy = true;
    return out;
}

void expect_same(const Peptide& a, const Peptide& b) {
    EXPECT_EQ(*a.sequence, *b.sequence);
    EXPECT_EQ(bits(a.modifications), bits(b.modifications));
    EXPECT_EQ(a.unmodified, b.unmodified);
    EXPECT_EQ(a.nterm.has_value(), b.nterm.has_value());
    EXPECT_EQ(std::bit_cast<std::uint32_t>(a.nterm.value_or(7.0f)), std::bit_cast<std::uint32_t>(b.nterm.value_or(7.0f)));
    EXPECT_EQ(a.cterm.has_value(), b.cterm.has_value());
    EXPECT_EQ(std::bit_cast<std::uint32_t>(a.cterm.value_or(7.0f)), std::bit_cast<std::uint32_t>(b.cterm.value_or(7.0f)));
    EXPECT_EQ(std::bit_cast<std::uint32_t>(a.monoisotopic), std::bit_cast<std::uint32_t>(b.monoisotopic));
    EXPECT_EQ(a.decoy, b.decoy);
    EXPECT_EQ(a.missed_cleavages, b.missed_cleavages);
    EXPECT_EQ(a.proteins, b.proteins);  // the same shared accessions
}

}  // namespace

TEST(PeptideTable, RoundTripKeepsEveryFieldBitForBit) {
    const std::vector<Peptide> peptides = samples();
    const PeptideTable table(peptides);
    ASSERT_EQ(table.size(), peptides.size());
    EXPECT_EQ(table.accessions().size(), 1u);  // one accession, one list, for all of them
    for (std::size_t i = 0; i < peptides.size(); ++i) {
        SCOPED_TRACE(i);
        expect_same(table.peptide(i), peptides[i]);
        const tamrel::PeptideView v = table[i];
        EXPECT_EQ(v.combined_mod_array(), peptides[i].combined_mod_array());
        EXPECT_EQ(table.decoy(i), peptides[i].decoy);
    }
}

TEST(PeptideTable, DecoysFollowTheirTargetsAndShareTheirProteins) {
    std::vector<Peptide> peptides = samples();
    peptides[1].proteins = {std::make_shared<const std::string>("P1"), std::make_shared<const std::string>("P2")};
    const PeptideTable table(peptides);
    const PeptideTable with = PeptideTable(table).with_decoys({1, 1, 1, 0});
    ASSERT_EQ(with.size(), 7u);
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        expect_same(with.peptide(2 * i), peptides[i]);
        expect_same(with.peptide(2 * i + 1), peptides[i].reverse());
        const auto target = with.protein_numbers(2 * i), decoy = with.protein_numbers(2 * i + 1);
        EXPECT_EQ(decoy.data(), target.data());  // one list, not a copy
    }
    EXPECT_EQ(with.peptide(3).sequence->compare("PEDITPEK"), 0);
    EXPECT_EQ(bits(with.peptide(5).modifications), bits({15.9949f, -0.0f, 0, 0, 57.0215f, 0}));
    expect_same(with.peptide(6), peptides[3]);
}

TEST(PeptideTable, ReversingTooFewModificationsFails) {
    const PeptideTable table(std::vector<Peptide>{
        Peptide::from_user("PEPTIDEK", 927.45f, std::vector<float>{0, 0, 0}, std::nullopt, std::nullopt)});
    try {
        (void)PeptideTable(table).with_decoys({1});
        FAIL() << "reversed";
    } catch (const tamrel::Failure& e) {
        EXPECT_STREQ(e.what(), "range end index 7 out of range for slice of length 3");
    }
}

// Columns as a damaged file may give them: every row must lie inside them.
TEST(PeptideTable, DamagedColumnsAreNamed) {
    const std::vector<std::pair<const char*, std::function<void(PeptideTable&)>>> cases = {
        {"peptide columns", [](PeptideTable& t) {
             t.visit_columns([](auto& c) {
                 if constexpr (std::is_same_v<std::decay_t<decltype(c)>, std::vector<char>>) c.pop_back();
             });
         }},
        {"bad flag", [](PeptideTable& t) {
             int k = 0;
             t.visit_columns([&](auto& c) {
                 if (k++ == 6) c[0] = static_cast<std::decay_t<decltype(c[0])>>(16);  // the flags
             });
         }},
        {"modifications", [](PeptideTable& t) {
             int k = 0;
             t.visit_columns([&](auto& c) {
                 if (k++ == 9) c.push_back({});  // one modification mass too many
             });
         }},
        {"proteins", [](PeptideTable& t) {
             int k = 0;
             t.visit_columns([&](auto& c) {
                 if (k++ == 10) c[1] = 1;  // a list that does not exist
             });
         }},
        {"proteins", [](PeptideTable& t) { t.set_accessions({}); }},
    };
    for (const auto& [reason, damage] : cases) {
        PeptideTable table(samples());
        damage(table);
        ASSERT_NE(table.damage(), nullptr) << reason;
        EXPECT_STREQ(table.damage(), reason);
    }
}

// Coded masses read back bit for bit; past 256 distinct ones they stay floats.
TEST(PeptideTable, CodedModificationsReadBackBitForBit) {
    for (const std::size_t distinct : {std::size_t{3}, std::size_t{300}}) {
        std::vector<Peptide> peptides = samples();
        for (std::size_t k = 0; k < distinct; ++k) {
            peptides.push_back(Peptide::from_user("ACK", 300.0f, std::vector<float>{0.0f, static_cast<float>(k) / 7, -0.0f},
                                                  std::nullopt, std::nullopt));
        }
        PeptideTable table(peptides);
        table.code_modifications();
        std::size_t codes = 0;
        table.visit_columns([&](const auto& c) {
            if constexpr (std::is_same_v<std::decay_t<decltype(c)>, std::vector<std::uint8_t>>) codes += c.size();
        });
        const std::size_t rows = peptides.size(), masses = 8 + 6 + 3 + 3 * distinct;
        EXPECT_EQ(codes, 2 * rows + (distinct <= 256 ? masses : 0)) << distinct;  // flags, missed cleavages, codes
        for (std::size_t i = 0; i < peptides.size(); ++i) expect_same(table.peptide(i), peptides[i]);
        const PeptideTable with = std::move(table).with_decoys(std::vector<std::uint8_t>(peptides.size(), 1));
        expect_same(with.peptide(5), peptides[2].reverse());
    }
}
