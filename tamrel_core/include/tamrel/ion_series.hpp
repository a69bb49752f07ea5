// Neutral fragment masses of one ion series of one peptide, as a running
// 32-bit sum: the scoring code walks the same series as the index build.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "tamrel/database.hpp"
#include "tamrel/peptide.hpp"
#include "tamrel/tolerance.hpp"

namespace tamrel {

// Monoisotopic residue mass by letter A..Z; zero for anything else.
float residue_mass(unsigned char residue);

class IonSeries {
public:
    // `peptide` must outlive the series.
    IonSeries(const Peptide& peptide, Kind kind);

    // The next fragment mass, or nothing at the end of the series (L - 1 items).
    // Fails on an empty sequence or a modification array shorter than L - 1.
    std::optional<float> next();

    Kind kind() const { return kind_; }

private:
    const Peptide* peptide_;
    float cumulative_;
    std::size_t position_ = 0;
    Kind kind_;
};

// Appends the indexed fragments of one peptide: kinds in the given order, each
// in series order, keeping ions with more than `min_ion_index` residues.
void append_fragments(const Peptide& peptide, std::uint32_t peptide_index,
                      const std::vector<Kind>& kinds, std::size_t min_ion_index,
                      std::vector<Theoretical>& out);

}  // namespace tamrel
