// The peptide record. Copies share the sequence bytes and accessions; the
// modification array is owned by each copy.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tamrel {

using SharedBytes = std::shared_ptr<const std::string>;

struct Peptide {
    SharedBytes sequence;              // one byte per residue, never changed in place
    std::vector<float> modifications;  // entry i is the mass added to residue i; see `unmodified`
    std::optional<float> nterm;
    std::optional<float> cterm;
    float monoisotopic = 0.0f;         // caller-supplied neutral mass, never recomputed
    bool decoy = false;
    std::uint8_t missed_cleavages = 0;
    // Every residue's modification is 0 and `modifications` is left empty:
    // most peptides of a search carry none, and the array would double
    // their records (an empty array without this flag is too short).
    bool unmodified = false;
    std::vector<SharedBytes> proteins;

    // A peptide as a caller builds it: not a decoy, no missed cleavages, one
    // placeholder accession. `modifications` absent means one 0.0 per byte.
    static Peptide from_user(std::string sequence, float monoisotopic,
                             std::optional<std::vector<float>> modifications,
                             std::optional<float> nterm, std::optional<float> cterm);

    std::size_t length() const { return sequence ? sequence->size() : 0; }

    // The mass added to residue i (0 for an unmodified peptide); the caller
    // checks i against `modifications` otherwise.
    float modification(std::size_t i) const { return unmodified ? 0.0f : modifications[i]; }

    // [nterm or 0, modifications..., cterm or 0]
    std::vector<float> combined_mod_array() const;

    // Decoy by reversing the interior residues; fails when `modifications`
    // is too short for the reversed range.
    Peptide reverse() const;
};

inline constexpr const char* kUserProvidedAccession = "USER_PROVIDED_VORNIKTAMREL";

}  // namespace tamrel
