#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tamrel/error.hpp"
#include "tamrel/ion_series.hpp"
#include "tamrel/peptide.hpp"

using tamrel::Peptide;

TEST(Peptide, FromUserDefaultsToOneZeroPerByteAndTheUserAccession) {
    const Peptide p = Peptide::from_user("PEPTIDE", 799.36f, std::nullopt, std::nullopt, std::nullopt);
    EXPECT_EQ(*p.sequence, "PEPTIDE");
    EXPECT_EQ(p.modifications, std::vector<float>(7, 0.0f));
    EXPECT_EQ(p.combined_mod_array(), std::vector<float>(9, 0.0f));
    EXPECT_FALSE(p.decoy);
    EXPECT_EQ(p.missed_cleavages, 0);
    ASSERT_EQ(p.proteins.size(), 1u);
    EXPECT_EQ(*p.proteins[0], "USER_PROVIDED_VORNIKTAMREL");
}

TEST(Peptide, FromUserKeepsModificationsUncheckedAndCombinesTerminals) {
    const Peptide p = Peptide::from_user("PEPTIDE", 1.0f, std::vector<float>{1.0f, 2.0f, 3.0f},
                                         42.0106f, -0.984f);
    EXPECT_EQ(p.modifications.size(), 3u);  // not padded to the sequence length
    EXPECT_EQ(p.combined_mod_array(), (std::vector<float>{42.0106f, 1.0f, 2.0f, 3.0f, -0.984f}));
}

TEST(Peptide, ReverseKeepsTerminalResiduesAndMirrorsTheInteriorModifications) {
    const Peptide p = Peptide::from_user("PEPTIDEK", 927.45f,
                                         std::vector<float>{0, 1, 2, 3, 4, 5, 6, 7}, 1.5f, 2.5f);
    const Peptide d = p.reverse();
    EXPECT_EQ(*d.sequence, "PEDITPEK");
    EXPECT_EQ(d.modifications, (std::vector<float>{0, 6, 5, 4, 3, 2, 1, 7}));
    EXPECT_TRUE(d.decoy);
    EXPECT_EQ(d.nterm, p.nterm);
    EXPECT_EQ(d.cterm, p.cterm);
    EXPECT_EQ(d.monoisotopic, p.monoisotopic);
    EXPECT_EQ(d.proteins[0], p.proteins[0]);  // accession shared, not copied
    // The target is untouched: its bytes are shared and never written.
    EXPECT_EQ(*p.sequence, "PEPTIDEK");
    EXPECT_EQ(p.modifications[1], 1.0f);
    EXPECT_FALSE(d.reverse().decoy);  // reversal negates the flag
    EXPECT_EQ(*d.reverse().sequence, "PEPTIDEK");
}

TEST(Peptide, ShortSequencesOnlyFlipTheDecoyFlag) {
    for (const std::string seq : {"", "A", "GA", "GAK"}) {
        Peptide p = Peptide::from_user(seq, 1.0f, std::vector<float>{}, std::nullopt, std::nullopt);
        if (seq.size() == 3) p.modifications = {1, 2};  // L - 1 entries suffice
        const Peptide d = p.reverse();
        EXPECT_EQ(*d.sequence, seq);
        EXPECT_EQ(d.modifications, p.modifications);
        EXPECT_TRUE(d.decoy) << seq;
    }
}

TEST(Peptide, ReverseFailsWhenModificationsMissAnInteriorEntry) {
    // L = 5 needs 4 entries (indices 0..3); the last residue's may be missing.
    Peptide p = Peptide::from_user("ABCDE", 1.0f, std::vector<float>{0, 1, 2, 3}, std::nullopt,
                                   std::nullopt);
    EXPECT_EQ(*p.reverse().sequence, "ADCBE");
    EXPECT_EQ(p.reverse().modifications, (std::vector<float>{0, 3, 2, 1}));
    p.modifications = {0, 1, 2};
    try {
        (void)p.reverse();
        FAIL() << "expected a failure";
    } catch (const tamrel::Failure& e) {
        EXPECT_STREQ(e.what(), "range end index 4 out of range for slice of length 3");
    }
}

TEST(Peptide, ReverseMovesBytesOfMultiByteCharacters) {
    const Peptide p = Peptide::from_user("A\xc3\xa9K", 1.0f, std::nullopt, std::nullopt, std::nullopt);
    ASSERT_EQ(p.modifications.size(), 4u);
    EXPECT_EQ(*p.reverse().sequence, "A\xa9\xc3K");
}

// A record without a modification array (`unmodified`) is its explicit-zero
// twin in every reading: fragments bit for bit, combined array, reversal.
TEST(Peptide, UnmodifiedRecordsReadLikeExplicitZeros) {
    for (const std::string seq : {"K", "GA", "GAK", "PEPTIDEK", "WDKESRSMCHILLK"}) {
        const Peptide zeros = Peptide::from_user(seq, 1234.5f, std::nullopt, 42.0106f, std::nullopt);
        Peptide bare = zeros;
        bare.modifications.clear();
        bare.unmodified = true;
        EXPECT_EQ(bare.combined_mod_array(), zeros.combined_mod_array()) << seq;
        const Peptide decoy = bare.reverse();
        EXPECT_EQ(*decoy.sequence, *zeros.reverse().sequence) << seq;
        EXPECT_TRUE(decoy.unmodified && decoy.modifications.empty()) << seq;
        for (const auto& [p, twin] : {std::pair{bare, zeros}, std::pair{decoy, zeros.reverse()}}) {
            for (const auto kind : {tamrel::Kind::A, tamrel::Kind::B, tamrel::Kind::Y, tamrel::Kind::Z}) {
                tamrel::IonSeries a(p, kind), b(twin, kind);
                for (auto x = a.next(), y = b.next();; x = a.next(), y = b.next()) {
                    ASSERT_EQ(x.has_value(), y.has_value()) << seq;
                    if (!x) break;
                    EXPECT_EQ(std::bit_cast<std::uint32_t>(*x), std::bit_cast<std::uint32_t>(*y)) << seq;
                }
            }
        }
    }
}
