// The peptides of an index, held as columns: one residue buffer, a mass
// column, packed flags, modification masses for the modified peptides only,
// terminal masses, and protein lists shared between peptides (a decoy shares
// its target's). A search's millions of peptides then take a few dozen bytes
// each and no heap block of their own. Element access returns a view; a full
// `Peptide` is made only where one is handed out.
#pragma once

#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tamrel/peptide.hpp"

namespace tamrel {

// The modification masses of one peptide: stored as they are, or as indices
// into a table's few distinct masses.
class ModificationMasses {
public:
    ModificationMasses() = default;
    ModificationMasses(std::span<const float> values) : values_(values.data()), size_(values.size()) {}  // NOLINT
    ModificationMasses(const std::uint8_t* codes, const float* palette, std::size_t size)
        : codes_(codes), palette_(palette), size_(size) {}
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    float operator[](std::size_t i) const { return codes_ ? palette_[codes_[i]] : values_[i]; }

private:
    const float* values_ = nullptr;
    const std::uint8_t* codes_ = nullptr;
    const float* palette_ = nullptr;
    std::size_t size_ = 0;
};

// One peptide as the scoring code reads it. Borrows the table (or the
// `Peptide`) it was taken from, which must outlive it.
struct PeptideView {
    std::string_view sequence;
    ModificationMasses modifications;  // empty when `unmodified`
    std::optional<float> nterm;
    std::optional<float> cterm;
    float monoisotopic = 0.0f;
    bool decoy = false;
    bool unmodified = false;
    std::uint8_t missed_cleavages = 0;

    PeptideView() = default;
    PeptideView(const Peptide& p)  // NOLINT: a peptide is read through the same view
        : sequence(p.sequence ? std::string_view(*p.sequence) : std::string_view()),
          modifications(p.modifications), nterm(p.nterm), cterm(p.cterm), monoisotopic(p.monoisotopic),
          decoy(p.decoy), unmodified(p.unmodified), missed_cleavages(p.missed_cleavages) {}

    std::size_t length() const { return sequence.size(); }
    // The mass added to residue i (0 for an unmodified peptide); the caller
    // checks i against `modifications` otherwise.
    float modification(std::size_t i) const { return unmodified ? 0.0f : modifications[i]; }
    // [nterm or 0, modifications..., cterm or 0]
    std::vector<float> combined_mod_array() const;
};

class PeptideTable {
public:
    // The bits of `flags`.
    enum Flag : std::uint8_t { kDecoy = 1, kUnmodified = 2, kHasNterm = 4, kHasCterm = 8, kKnownFlags = 15 };

    PeptideTable() = default;
    // The caller's peptides, in their order.
    PeptideTable(const std::vector<Peptide>& peptides);  // NOLINT: the user's records become a table

    std::size_t size() const { return mass_.size(); }
    bool empty() const { return mass_.empty(); }
    PeptideView operator[](std::size_t i) const;
    float mass(std::size_t i) const { return mass_[i]; }
    std::string_view sequence(std::size_t i) const {
        return std::string_view(residues_.data() + sequence_begin_[i], sequence_length_[i]);
    }
    bool decoy(std::size_t i) const { return (flags_[i] & kDecoy) != 0; }
    // Requests the columns `operator[]` reads of row i ahead of it (`request_row`),
    // then its letters (`request_residues`, which reads where they begin: call
    // it a while after the first). Rows are read at random while scoring.
    [[gnu::always_inline]] void request_row(std::size_t i) const {
        __builtin_prefetch(sequence_begin_.data() + i);
        __builtin_prefetch(sequence_length_.data() + i);
        __builtin_prefetch(mod_offsets_.data() + i);
        __builtin_prefetch(mass_.data() + i);
        __builtin_prefetch(flags_.data() + i);
        __builtin_prefetch(missed_.data() + i);
    }
    [[gnu::always_inline]] void request_residues(std::size_t i) const {
        __builtin_prefetch(residues_.data() + sequence_begin_[i]);
    }
    // The accessions of peptide i.
    std::span<const std::uint32_t> protein_numbers(std::size_t i) const;
    const std::vector<SharedBytes>& accessions() const { return accessions_; }
    // A full record of peptide i (sequence copied, accessions shared).
    Peptide peptide(std::size_t i) const;

    // Appends one peptide. Fails when a 32-bit offset would overflow.
    void push_back(const Peptide& p);
    // This table (consumed) with each peptide i for which keep[i] is set
    // followed by its decoy: interior residues and their modifications
    // reversed, the decoy flag toggled, the same proteins.
    PeptideTable with_decoys(const std::vector<std::uint8_t>& keep) &&;
    // Stores the modification masses as one-byte indices into their distinct
    // 32-bit patterns, when there are at most 256 of them (a search's few
    // modifications): a quarter of their memory. Rows appended afterwards
    // are not allowed.
    void code_modifications();
    // Makes room for `rows` peptides with `residues` letters and `modifications` masses.
    void reserve(std::size_t rows, std::size_t residues, std::size_t modifications);
    // Appends the residues of a sequence that later rows reference by offset.
    std::uint32_t add_residues(std::string_view letters);
    // Appends a row whose sequence is residues [begin, begin + length) and
    // whose proteins are group `group`; `mods` empty means unmodified.
    void add_row(std::uint32_t begin, std::uint32_t length, const ModificationMasses& mods,
                 std::optional<float> nterm, std::optional<float> cterm, float monoisotopic,
                 std::uint8_t missed_cleavages, std::uint8_t flags, std::uint32_t group);
    // Exactly `rows` rows, `residues` letters (those held stay) and `modifications` masses, to be written
    // in place by `letters()` and `set_row`, on several threads at once; the table holds no row yet.
    // Fails when a 32-bit offset would overflow.
    void resize(std::size_t rows, std::size_t residues, std::size_t modifications);
    char* letters() { return residues_.data(); }
    // Writes row i (of those `resize` made), its modification masses from `mod_begin`, where row i - 1's
    // end; the same fields as `add_row`.
    void set_row(std::size_t i, std::uint32_t begin, std::uint32_t length, std::uint32_t mod_begin,
                 const ModificationMasses& mods, std::optional<float> nterm, std::optional<float> cterm,
                 float monoisotopic, std::uint8_t missed_cleavages, std::uint8_t flags, std::uint32_t group);
    // A protein list of the given accessions; returns its number.
    std::uint32_t add_group(const std::vector<SharedBytes>& proteins);

    class Iterator {
    public:
        using value_type = PeptideView;
        using difference_type = std::ptrdiff_t;
        Iterator(const PeptideTable* t, std::size_t i) : table_(t), i_(i) {}
        PeptideView operator*() const { return (*table_)[i_]; }
        Iterator& operator++() {
            ++i_;
            return *this;
        }
        bool operator==(const Iterator& o) const { return i_ == o.i_; }

    private:
        const PeptideTable* table_;
        std::size_t i_;
    };
    Iterator begin() const { return {this, 0}; }
    Iterator end() const { return {this, size()}; }

    // Calls `visit(column)` for every column, each a std::vector, in one
    // fixed order (the index file's).
    template <class Visit>
    void visit_columns(Visit&& visit) {
        visit(residues_), visit(sequence_begin_), visit(sequence_length_), visit(mass_), visit(nterm_),
            visit(cterm_), visit(flags_), visit(missed_), visit(mod_offsets_), visit(mod_values_), visit(group_),
            visit(group_offsets_), visit(members_), visit(mod_codes_), visit(mod_palette_);
    }
    template <class Visit>
    void visit_columns(Visit&& visit) const {
        const_cast<PeptideTable*>(this)->visit_columns([&](const auto& column) { visit(column); });
    }
    // Accessions are not a column: they are shared strings.
    void set_accessions(std::vector<SharedBytes> accessions) { accessions_ = std::move(accessions); }

    // What is wrong with columns read from a file ("peptide columns",
    // "modifications", "proteins", "bad flag"), or nullptr when every row lies
    // inside them.
    const char* damage() const;

private:
    std::vector<char> residues_;
    std::vector<std::uint32_t> sequence_begin_;
    std::vector<std::uint32_t> sequence_length_;
    std::vector<float> mass_;
    std::vector<float> nterm_;
    std::vector<float> cterm_;
    std::vector<std::uint8_t> flags_;
    std::vector<std::uint8_t> missed_;
    std::vector<std::uint32_t> mod_offsets_{0};  // peptide i: mod_values_[mod_offsets_[i], mod_offsets_[i + 1])
    std::vector<float> mod_values_;            // empty once coded:
    std::vector<std::uint8_t> mod_codes_;      // mass k is mod_palette_[mod_codes_[k]]
    std::vector<float> mod_palette_;
    std::vector<std::uint32_t> group_;            // peptide i's protein list
    std::vector<std::uint32_t> group_offsets_{0};  // list g: members_[group_offsets_[g], group_offsets_[g + 1])
    std::vector<std::uint32_t> members_;           // accession numbers
    std::vector<SharedBytes> accessions_;
};

}  // namespace tamrel
