// In-silico digestion of a proteome into the modified peptides to search,
// with masses summed from the engine's own 32-bit residue values (widened to
// double, rounded once to 32 bits), so a peptide's mass agrees with its
// fragments to the last bit the engine sees.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tamrel {

struct DigestRules {
    std::string cleave;        // residues next to which the enzyme cuts
    std::string unless;        // ... unless the residue on the far side is one of these
    bool after = true;         // cut C-terminal to the residue (false: N-terminal)
    std::size_t missed_cleavages = 1;
    std::size_t min_length = 7, max_length = 50;
    double min_mass = 500.0, max_mass = 5000.0;
    double water = 0.0;        // added once per peptide
    double fixed[26] = {};     // fixed modification mass per residue letter
    double fixed_nterm = 0.0, fixed_cterm = 0.0;
    // Variable modifications: per site (a residue letter, '^' N-terminus,
    // '$' C-terminus) its masses, alternatives in the order given; sites in
    // the order given.
    struct Variable {
        char site;
        std::vector<double> masses;
    };
    std::vector<Variable> variable;
    std::size_t max_variable = 2;
    // Bytes the peptides and their fragment index may take (estimated as the
    // forms are made); 0: no limit. Variable modifications multiply the forms
    // of a peptide combinatorially, and a search that cannot fit should end
    // with a message rather than exhaust the machine's memory.
    std::uint64_t memory_budget = 0;
};

// The estimated bytes of one modified peptide of `length` residues once
// indexed: its records (target and decoy) and their b and y fragments.
constexpr std::uint64_t indexed_bytes(std::size_t length, bool modified) {
    return 2 * (48 + (modified ? 4 * std::uint64_t{length} : 0) + 16 * std::uint64_t{length > 0 ? length - 1 : 0});
}

// The distinct modified peptides, sorted by 32-bit mass, ties by the
// sequence's first appearance (proteins in order, fewer missed cleavages
// first), then by the order in which its forms are generated (fewer
// modifications first, sites left to right).
struct Digest {
    // Distinct sequences in order of first appearance.
    std::string residues;
    std::vector<std::int64_t> sequence_offsets{0};
    std::vector<std::uint8_t> missed_cleavages;  // per distinct sequence
    // The proteins holding distinct sequence k: protein_ids[protein_offsets[k] ..
    // protein_offsets[k + 1]), ascending.
    std::vector<std::int64_t> protein_offsets{0};
    std::vector<std::int64_t> protein_ids;
    // One row per modified peptide.
    std::vector<std::int64_t> sequence;          // distinct sequence of the row
    std::vector<float> mass;
    // Per-residue modification masses of row i: mod_values[mod_offsets[i] ..
    // mod_offsets[i + 1]); an empty range means none at all.
    std::vector<std::int64_t> mod_offsets{0};
    std::vector<float> mod_values;              // as the engine holds them
    std::vector<float> nterm, cterm;             // NaN: none
};

// The records of a FASTA text in the plain layout: '>' header lines (their
// first word, of ASCII, the accession), then lines of ASCII letters (taken in
// upper case; spaces and a trailing '*' dropped), record after record, lines
// ended by '\n'. Anything else (no '>' first, other bytes in a sequence, a
// header without a word or with bytes past ASCII) gives nothing: a reader
// that names the line at fault takes over.
struct PlainFasta {
    std::vector<std::string_view> accessions;  // views into the text
    std::string sequences;                     // end to end
    std::vector<std::size_t> ends;             // record i's sequence ends at ends[i]
};
std::optional<PlainFasta> plain_fasta(std::string_view text);

// `proteome` holds the protein sequences (upper-case letters) separated by
// one '\n' each. Letters without a residue mass (B, J, X, Z) end no peptide
// and are in none. Throws InputFailure when the forms would pass the memory
// budget.
Digest digest_proteome(std::string_view proteome, const DigestRules& rules);

}  // namespace tamrel
