#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <vector>

#include "tamrel/error.hpp"
#include "tamrel/ion_series.hpp"

using tamrel::IonSeries;
using tamrel::Kind;
using tamrel::Peptide;

namespace {

float from_bits(std::uint32_t b) { return std::bit_cast<float>(b); }
std::uint32_t bits_of(float f) { return std::bit_cast<std::uint32_t>(f); }

Peptide make(const std::string& seq, float mass, std::optional<float> nterm = std::nullopt) {
    return Peptide::from_user(seq, mass, std::nullopt, nterm, std::nullopt);
}

std::vector<std::uint32_t> walk(const Peptide& p, Kind kind) {
    std::vector<std::uint32_t> out;
    IonSeries series(p, kind);
    while (auto mass = series.next()) out.push_back(bits_of(*mass));
    return out;
}

constexpr Kind kAllKinds[] = {Kind::A, Kind::B, Kind::C, Kind::X, Kind::Y, Kind::Z};

}  // namespace

TEST(IonSeries, ResidueTableHoldsExactBitsAndZeroOutsideUpperCase) {
    EXPECT_EQ(bits_of(tamrel::residue_mass('G')), 0x426415FAu);
    EXPECT_EQ(bits_of(tamrel::residue_mass('K')), 0x4300184Fu);
    EXPECT_EQ(bits_of(tamrel::residue_mass('W')), 0x433A144Eu);
    EXPECT_EQ(tamrel::residue_mass('I'), tamrel::residue_mass('L'));
    const unsigned char others[] = {'B', 'J', 'X', 'Z', 'a', 'k', '@', '[', '0', 0xC3, 0};
    for (const unsigned char c : others) EXPECT_EQ(bits_of(tamrel::residue_mass(c)), 0u) << int{c};
}

// GA with M = 146.06914 and no terminal modification: each kind's single ion,
// computed independently in 32-bit arithmetic from the kinds' starting masses.
TEST(IonSeries, TwoResiduePeptideYieldsOneIonPerKind) {
    const Peptide ga = make("GA", 146.06914f);
    const std::pair<Kind, std::uint32_t> expected[] = {
        {Kind::A, 0x41E8365E}, {Kind::B, 0x426415FA}, {Kind::C, 0x4294184D},
        {Kind::X, 0x42E60E13}, {Kind::Y, 0x42B21869}, {Kind::Z, 0x42900B19},
    };
    for (const auto& [kind, ion] : expected)
        EXPECT_EQ(walk(ga, kind), std::vector<std::uint32_t>{ion}) << tamrel::kind_letter(kind);
}

TEST(IonSeries, IsARunningSumNotAClosedFormula) {
    // Here M - (sum of the first k residues) differs in the last bit from the
    // running subtraction for some k; scoring depends on the running form.
    const Peptide p = make("WDKESRS", from_bits(0x44629AD9));
    EXPECT_EQ(walk(p, Kind::Y), (std::vector<std::uint32_t>{0x443415C6, 0x4417540D, 0x43EE9BF2,
                                                              0x43AE167E, 0x43829264, 0x42D215CC}));
}

TEST(IonSeries, SingleResidueYieldsNothingAndEmptySequenceFails) {
    for (const Kind kind : kAllKinds) {
        EXPECT_TRUE(walk(make("K", 146.1f), kind).empty());
        const Peptide empty = make("", 0.0f);
        IonSeries series(empty, kind);
        try {
            (void)series.next();
            FAIL() << "expected a failure";
        } catch (const tamrel::Failure& e) {
            EXPECT_STREQ(e.what(), "index out of bounds: the len is 0 but the index is 0");
        }
    }
}

TEST(IonSeries, ShortModificationsFailAtTheMissingEntry) {
    Peptide p = make("PEPTIDE", 799.36f);
    p.modifications.resize(3);
    IonSeries series(p, Kind::B);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(series.next().has_value());
    EXPECT_THROW((void)series.next(), tamrel::Failure);
    // The last residue's entry is never read.
    p.modifications.resize(6);
    EXPECT_EQ(walk(p, Kind::Y).size(), 6u);
}

TEST(IonSeries, NTermShiftsPrefixAndSuffixStartsAndZeroEqualsAbsent) {
    const Peptide plain = make("PEPTIDEK", 927.45f);
    const Peptide zero = make("PEPTIDEK", 927.45f, 0.0f);
    for (const Kind kind : kAllKinds) EXPECT_EQ(walk(plain, kind), walk(zero, kind));

    const Peptide acetyl = make("GA", 188.08f, 42.0106f);
    EXPECT_EQ(walk(acetyl, Kind::B)[0], bits_of(42.0106f + (57.02146f + 0.0f)));
    EXPECT_EQ(walk(acetyl, Kind::Y)[0], bits_of((188.08f - 42.0106f) + -(57.02146f + 0.0f)));
}

TEST(IonSeries, UnknownResiduesContributeOnlyTheirModification) {
    Peptide p = make("GxXK", 400.0f);
    p.modifications = {0.0f, 10.5f, 20.25f, 0.0f};
    const auto b = walk(p, Kind::B);
    const float g = tamrel::residue_mass('G');
    EXPECT_EQ(b, (std::vector<std::uint32_t>{bits_of(g), bits_of(g + 10.5f), bits_of((g + 10.5f) + 20.25f)}));
}

TEST(IonSeries, ModificationReachesLongerPrefixesAndTheSuffixesHoldingIt) {
    Peptide p = make("PEPTIDE", 799.36f + 79.966f);
    p.modifications[2] = 79.966f;
    const Peptide bare = make("PEPTIDE", 799.36f);
    auto gap = [](std::uint32_t x, std::uint32_t y) { return from_bits(x) - from_bits(y); };
    const auto b = walk(p, Kind::B), b0 = walk(bare, Kind::B);
    const auto y = walk(p, Kind::Y), y0 = walk(bare, Kind::Y);
    for (std::size_t j = 0; j < 6; ++j) {
        // b(j+1) holds residues 0..j; y(6-j) holds residues j+1..6.
        EXPECT_EQ(std::abs(gap(b[j], b0[j])) > 79.0f, j >= 2) << j;
        EXPECT_EQ(std::abs(gap(y[j], y0[j])) > 79.0f, j + 1 <= 2) << j;
    }
}

TEST(AppendFragments, KeepsIonsAboveMinIonIndexKindByKind) {
    const Peptide p = make("PEPTK", 571.3f);  // L = 5
    const auto b = walk(p, Kind::B), y = walk(p, Kind::Y);
    std::vector<tamrel::Theoretical> out;
    tamrel::append_fragments(p, 7, {Kind::B, Kind::Y}, 2, out);
    // b3, b4, then y4 (j = 0), y3 (j = 1).
    const std::vector<std::uint32_t> expected = {b[2], b[3], y[0], y[1]};
    ASSERT_EQ(out.size(), expected.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(out[i].peptide_index, 7u);
        EXPECT_EQ(bits_of(out[i].fragment_mass), expected[i]);
    }

    for (const std::size_t min_ion : {4u, 5u, 100u}) {
        out.clear();
        tamrel::append_fragments(p, 0, {Kind::B, Kind::Y}, min_ion, out);
        EXPECT_TRUE(out.empty()) << min_ion;
    }
}

TEST(AppendFragments, RepeatedKindsRepeat) {
    const Peptide p = make("PEPTIDEK", 927.45f);
    std::vector<tamrel::Theoretical> appended;
    tamrel::append_fragments(p, 3, {Kind::Y, Kind::B, Kind::Y, Kind::C}, 1, appended);
    ASSERT_EQ(appended.size(), 4u * 6);
    for (std::size_t i = 0; i < 6; ++i)
        EXPECT_EQ(bits_of(appended[i].fragment_mass), bits_of(appended[12 + i].fragment_mass));
}
