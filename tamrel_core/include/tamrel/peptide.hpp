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
    std::vector<float> modifications;  // entry i is the mass added to residue i
    std::optional<float> nterm;
    std::optional<float> cterm;
    float monoisotopic = 0.0f;         // caller-supplied neutral mass, never recomputed
    bool decoy = false;
    std::uint8_t missed_cleavages = 0;
    std::vector<SharedBytes> proteins;

    // A peptide as a caller builds it: not a decoy, no missed cleavages, one
    // placeholder accession. `modifications` absent means one 0.0 per byte.
    static Peptide from_user(std::string sequence, float monoisotopic,
                             std::optional<std::vector<float>> modifications,
                             std::optional<float> nterm, std::optional<float> cterm);

    std::size_t length() const { return sequence ? sequence->size() : 0; }

    // [nterm or 0, modifications..., cterm or 0]
    std::vector<float> combined_mod_array() const;

    // Decoy by reversing the interior residues; fails when `modifications`
    // is too short for the reversed range.
    Peptide reverse() const;
};

inline constexpr const char* kUserProvidedAccession = "USER_PROVIDED_VORNIKTAMREL";

}  // namespace tamrel
