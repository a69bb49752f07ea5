#include "tamrel/ion_series.hpp"

#include <bit>
#include <cstdint>
#include <string>

#include "tamrel/error.hpp"

namespace tamrel {

namespace {

constexpr float from_bits(std::uint32_t bits) { return std::bit_cast<float>(bits); }

constexpr float kAStart = from_bits(0xC1DFF596);   // -27.994915
constexpr float kCStart = from_bits(0x41883540);   // 17.026001, one ulp above nearest to 17.026
constexpr float kXStart = from_bits(0x41CFD6A9);   // 25.979815
constexpr float kZStart = from_bits(0xC1883540);   // -17.026001

float start_mass(const PeptideView& p, Kind kind) {
    const float n = p.nterm.value_or(0.0f);
    switch (kind) {
        case Kind::A: return p.nterm ? n + kAStart : kAStart;
        case Kind::B: return n;
        case Kind::C: return p.nterm ? n + kCStart : kCStart;
        case Kind::X: return (p.monoisotopic - n) + kXStart;
        case Kind::Y: return p.monoisotopic - n;
        case Kind::Z: return (p.monoisotopic - n) + kZStart;
    }
    fail("unknown ion kind " + std::to_string(static_cast<int>(kind)));
}

}  // namespace

namespace detail {

// Exact 32-bit patterns: fragment masses at window edges depend on every bit.
const float residue_masses[26] = {
    from_bits(0x428E1300),  // A
    from_bits(0x00000000),  // B
    from_bits(0x42CE04B5),  // C
    from_bits(0x42E60DCB),  // D
    from_bits(0x43010AE7),  // E
    from_bits(0x43131183),  // F
    from_bits(0x426415FA),  // G
    from_bits(0x43090F15),  // H
    from_bits(0x42E22B0A),  // I
    from_bits(0x00000000),  // J
    from_bits(0x4300184F),  // K
    from_bits(0x42E22B0A),  // L
    from_bits(0x43030A5E),  // M
    from_bits(0x42E415FB),  // N
    from_bits(0x436D25D2),  // O
    from_bits(0x42C21B03),  // P
    from_bits(0x43000EFF),  // Q
    from_bits(0x431C19E2),  // R
    from_bits(0x42AE1066),  // S
    from_bits(0x42CA186A),  // T
    from_bits(0x4316F421),  // U
    from_bits(0x42C62307),  // V
    from_bits(0x433A144E),  // W
    from_bits(0x00000000),  // X
    from_bits(0x43231036),  // Y
    from_bits(0x00000000),  // Z
};

void index_out_of_bounds(std::size_t length, std::size_t index) {
    fail("index out of bounds: the len is " + std::to_string(length) + " but the index is " +
         std::to_string(index));
}

}  // namespace detail

IonSeries::IonSeries(const PeptideView& peptide, Kind kind)
    : peptide_(peptide), cumulative_(start_mass(peptide, kind)), kind_(kind) {}

void append_fragments(const PeptideView& peptide, std::uint32_t peptide_index,
                      const std::vector<Kind>& kinds, std::size_t min_ion_index,
                      std::vector<Theoretical>& out) {
    for_each_fragment(peptide, peptide_index, kinds, min_ion_index,
                      [&](const Theoretical& t) { out.push_back(t); });
}

}  // namespace tamrel
