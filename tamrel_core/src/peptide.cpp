#include "tamrel/peptide.hpp"

#include "tamrel/peptide_table.hpp"

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

std::vector<float> Peptide::combined_mod_array() const { return PeptideView(*this).combined_mod_array(); }

Peptide Peptide::reverse() const {
    // The index build's reversal, on a table of this one peptide.
    PeptideTable one(std::vector<Peptide>{*this});
    return std::move(one).with_decoys({1}).peptide(1);
}

}  // namespace tamrel
