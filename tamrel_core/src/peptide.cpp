#include "tamrel/peptide.hpp"

#include <algorithm>

#include "tamrel/error.hpp"

namespace tamrel {

namespace {

// One accession string shared by every caller-built peptide. Leaked on purpose
// so peptides destroyed during static destruction never outlive it.
const SharedBytes& user_accession() {
    static const SharedBytes* accession =
        new SharedBytes(std::make_shared<const std::string>(kUserProvidedAccession));
    return *accession;
}

}  // namespace

Peptide Peptide::from_user(std::string sequence, float monoisotopic,
                           std::optional<std::vector<float>> modifications,
                           std::optional<float> nterm, std::optional<float> cterm) {
    Peptide p;
    const std::size_t length = sequence.size();
    p.sequence = std::make_shared<const std::string>(std::move(sequence));
    p.modifications = modifications ? std::move(*modifications) : std::vector<float>(length, 0.0f);
    p.nterm = nterm;
    p.cterm = cterm;
    p.monoisotopic = monoisotopic;
    p.proteins.push_back(user_accession());
    return p;
}

std::vector<float> Peptide::combined_mod_array() const {
    std::vector<float> combined;
    combined.reserve(length() + 2);
    combined.push_back(nterm.value_or(0.0f));
    if (unmodified) {
        combined.resize(length() + 1, 0.0f);
    } else {
        combined.insert(combined.end(), modifications.begin(), modifications.end());
    }
    combined.push_back(cterm.value_or(0.0f));
    return combined;
}

Peptide Peptide::reverse() const {
    Peptide decoy_peptide = *this;
    decoy_peptide.decoy = !decoy;
    const std::size_t n = length();
    if (n > 2) {
        // The interior [1, n - 1) moves; the terminal residues stay in place.
        if (!unmodified && modifications.size() < n - 1) {
            fail("range end index " + std::to_string(n - 1) + " out of range for slice of length " +
                 std::to_string(modifications.size()));
        }
        std::string reversed = *sequence;
        std::reverse(reversed.begin() + 1, reversed.end() - 1);
        decoy_peptide.sequence = std::make_shared<const std::string>(std::move(reversed));
        auto& mods = decoy_peptide.modifications;
        if (!unmodified) std::reverse(mods.begin() + 1, mods.begin() + static_cast<std::ptrdiff_t>(n - 1));
    }
    return decoy_peptide;
}

}  // namespace tamrel
