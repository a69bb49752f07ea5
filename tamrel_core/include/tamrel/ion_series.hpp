// Neutral fragment masses of one ion series of one peptide, as a running
// 32-bit sum: the scoring code walks the same series as the index build.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "tamrel/database.hpp"
#include "tamrel/peptide_table.hpp"
#include "tamrel/tolerance.hpp"

namespace tamrel {

namespace detail {
// Residue masses of 'A'..'Z', built from their exact 32-bit patterns.
extern const float residue_masses[26];
// The internal failure of reading past the sequence or modification array.
[[noreturn]] void index_out_of_bounds(std::size_t length, std::size_t index);
}  // namespace detail

// Monoisotopic residue mass by letter A..Z; zero for anything else.
inline float residue_mass(unsigned char residue) {
    const unsigned offset = static_cast<unsigned>(residue) - 'A';
    return offset < 26 ? detail::residue_masses[offset] : 0.0f;
}

class IonSeries {
public:
    // What `peptide` views must outlive the series.
    IonSeries(const PeptideView& peptide, Kind kind);

    // The next fragment mass, or nothing at the end of the series (L - 1 items).
    // Fails on an empty sequence or a modification array shorter than L - 1.
    // Inline: scoring calls it in its innermost loop.
    std::optional<float> next() {
        const std::size_t length = peptide_.length();
        // An empty sequence is not an empty series: the first read fails.
        if (length == 0) detail::index_out_of_bounds(0, 0);
        if (position_ >= length - 1) return std::nullopt;
        const auto& mods = peptide_.modifications;
        if (!peptide_.unmodified && position_ >= mods.size())
            detail::index_out_of_bounds(mods.size(), position_);
        const auto residue = static_cast<unsigned char>(peptide_.sequence[position_]);
        const float delta = residue_mass(residue) + peptide_.modification(position_);
        ++position_;
        cumulative_ = is_n_terminal(kind_) ? cumulative_ + delta : cumulative_ + (-delta);
        return cumulative_;
    }

    Kind kind() const { return kind_; }

private:
    PeptideView peptide_;
    float cumulative_;
    std::size_t position_ = 0;
    Kind kind_;
};

// Walks every listed series and hands each indexed fragment to `emit`, in the
// order `append_fragments` appends them. Every item is computed (the running
// sum goes on), only the ordinal decides what is kept.
template <class Emit>
void for_each_fragment(const PeptideView& peptide, std::uint32_t peptide_index,
                       const std::vector<Kind>& kinds, std::size_t min_ion_index, Emit&& emit) {
    const std::size_t last = peptide.length() == 0 ? 0 : peptide.length() - 1;
    for (const Kind kind : kinds) {
        IonSeries series(peptide, kind);
        const bool prefix = is_n_terminal(kind);
        for (std::size_t j = 0;; ++j) {
            const std::optional<float> mass = series.next();
            if (!mass) break;
            const std::size_t ordinal = prefix ? j + 1 : last - j;
            if (ordinal > min_ion_index) emit(Theoretical{peptide_index, *mass});
        }
    }
}

// Appends the indexed fragments of one peptide: kinds in the given order, each
// in series order, keeping ions with more than `min_ion_index` residues.
void append_fragments(const PeptideView& peptide, std::uint32_t peptide_index,
                      const std::vector<Kind>& kinds, std::size_t min_ion_index,
                      std::vector<Theoretical>& out);

}  // namespace tamrel
