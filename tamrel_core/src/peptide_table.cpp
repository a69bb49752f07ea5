#include "tamrel/peptide_table.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <unordered_map>

#include "tamrel/error.hpp"
#include "tamrel/parallel.hpp"

namespace tamrel {

namespace {

// Offsets into the table's buffers are 32-bit: refuse rather than wrap.
std::uint32_t offset32(std::size_t offset, const char* what) {
    if (std::uint64_t{offset} > std::numeric_limits<std::uint32_t>::max())
        fail(std::string("too many ") + what + " for 32-bit offsets: " + std::to_string(offset));
    return static_cast<std::uint32_t>(offset);
}

template <class T>
void reserve_more(std::vector<T>& v, std::size_t more) {
    v.reserve(v.size() + more);
}

// Fails as the reversal of a modification array too short for its sequence.
void check_reversible(std::size_t length, std::size_t modifications) {
    if (length > 2 && modifications < length - 1) {
        fail("range end index " + std::to_string(length - 1) + " out of range for slice of length " +
             std::to_string(modifications));
    }
}

}  // namespace

std::vector<float> PeptideView::combined_mod_array() const {
    std::vector<float> combined;
    combined.reserve(length() + 2);
    combined.push_back(nterm.value_or(0.0f));
    if (unmodified) {
        combined.resize(length() + 1, 0.0f);
    } else {
        for (std::size_t i = 0; i < modifications.size(); ++i) combined.push_back(modifications[i]);
    }
    combined.push_back(cterm.value_or(0.0f));
    return combined;
}

PeptideTable::PeptideTable(const std::vector<Peptide>& peptides) {
    std::size_t residues = 0, mods = 0;
    for (const Peptide& p : peptides) {
        residues += p.length();
        mods += p.unmodified ? 0 : p.modifications.size();
    }
    reserve(peptides.size(), residues, mods);
    for (const Peptide& p : peptides) push_back(p);
}

PeptideView PeptideTable::operator[](std::size_t i) const {
    PeptideView v;
    v.sequence = std::string_view(residues_.data() + sequence_begin_[i], sequence_length_[i]);
    const std::size_t first = mod_offsets_[i], count = mod_offsets_[i + 1] - first;
    v.modifications = mod_codes_.empty() ? ModificationMasses(std::span<const float>(mod_values_.data() + first, count))
                                         : ModificationMasses(mod_codes_.data() + first, mod_palette_.data(), count);
    const std::uint8_t flags = flags_[i];
    if (flags & kHasNterm) v.nterm = nterm_[i];
    if (flags & kHasCterm) v.cterm = cterm_[i];
    v.monoisotopic = mass_[i];
    v.decoy = (flags & kDecoy) != 0;
    v.unmodified = (flags & kUnmodified) != 0;
    v.missed_cleavages = missed_[i];
    return v;
}

std::span<const std::uint32_t> PeptideTable::protein_numbers(std::size_t i) const {
    const std::uint32_t g = group_[i];
    return std::span<const std::uint32_t>(members_.data() + group_offsets_[g], group_offsets_[g + 1] - group_offsets_[g]);
}

Peptide PeptideTable::peptide(std::size_t i) const {
    const PeptideView v = (*this)[i];
    Peptide p;
    p.sequence = std::make_shared<const std::string>(v.sequence);
    for (std::size_t k = 0; k < v.modifications.size(); ++k) p.modifications.push_back(v.modifications[k]);
    p.nterm = v.nterm;
    p.cterm = v.cterm;
    p.monoisotopic = v.monoisotopic;
    p.decoy = v.decoy;
    p.missed_cleavages = v.missed_cleavages;
    p.unmodified = v.unmodified;
    for (const std::uint32_t k : protein_numbers(i)) p.proteins.push_back(accessions_[k]);
    return p;
}

void PeptideTable::reserve(std::size_t rows, std::size_t residues, std::size_t modifications) {
    reserve_more(residues_, residues);
    for (auto* column : {&sequence_begin_, &sequence_length_, &mod_offsets_, &group_}) reserve_more(*column, rows);
    for (auto* column : {&mass_, &nterm_, &cterm_}) reserve_more(*column, rows);
    reserve_more(flags_, rows);
    reserve_more(missed_, rows);
    reserve_more(mod_values_, modifications);
}

std::uint32_t PeptideTable::add_residues(std::string_view letters) {
    const std::uint32_t begin = offset32(residues_.size(), "residues");
    offset32(residues_.size() + letters.size(), "residues");
    residues_.insert(residues_.end(), letters.begin(), letters.end());
    return begin;
}

void PeptideTable::add_row(std::uint32_t begin, std::uint32_t length, const ModificationMasses& mods,
                           std::optional<float> nterm, std::optional<float> cterm, float monoisotopic,
                           std::uint8_t missed_cleavages, std::uint8_t flags, std::uint32_t group) {
    sequence_begin_.push_back(begin);
    sequence_length_.push_back(length);
    if (!mod_codes_.empty()) fail("rows added to a table whose modifications are coded");
    for (std::size_t k = 0; k < mods.size(); ++k) mod_values_.push_back(mods[k]);
    mod_offsets_.push_back(offset32(mod_values_.size(), "modification masses"));
    nterm_.push_back(nterm.value_or(0.0f));
    cterm_.push_back(cterm.value_or(0.0f));
    mass_.push_back(monoisotopic);
    missed_.push_back(missed_cleavages);
    flags_.push_back(static_cast<std::uint8_t>(flags | (nterm ? kHasNterm : 0) | (cterm ? kHasCterm : 0)));
    group_.push_back(group);
}

void PeptideTable::resize(std::size_t rows, std::size_t residues, std::size_t modifications) {
    offset32(residues, "residues");
    offset32(modifications, "modification masses");
    // Each column's first touch on a thread of its own.
    parallel_for(11, [&](std::size_t first, std::size_t last) {
        for (std::size_t c = first; c < last; ++c) {
            switch (c) {
                case 0: residues_.resize(residues); break;
                case 1: sequence_begin_.resize(rows); break;
                case 2: sequence_length_.resize(rows); break;
                case 3: mass_.resize(rows); break;
                case 4: nterm_.resize(rows); break;
                case 5: cterm_.resize(rows); break;
                case 6: flags_.resize(rows); break;
                case 7: missed_.resize(rows); break;
                case 8: mod_offsets_.assign(rows + 1, 0); break;
                case 9: mod_values_.resize(modifications); break;
                default: group_.resize(rows); break;
            }
        }
    });
}

void PeptideTable::set_row(std::size_t i, std::uint32_t begin, std::uint32_t length, std::uint32_t mod_begin,
                           const ModificationMasses& mods, std::optional<float> nterm, std::optional<float> cterm,
                           float monoisotopic, std::uint8_t missed_cleavages, std::uint8_t flags, std::uint32_t group) {
    sequence_begin_[i] = begin;
    sequence_length_[i] = length;
    float* into = mod_values_.data() + mod_begin;
    for (std::size_t k = 0; k < mods.size(); ++k) into[k] = mods[k];
    mod_offsets_[i + 1] = mod_begin + static_cast<std::uint32_t>(mods.size());
    nterm_[i] = nterm.value_or(0.0f);
    cterm_[i] = cterm.value_or(0.0f);
    mass_[i] = monoisotopic;
    missed_[i] = missed_cleavages;
    flags_[i] = static_cast<std::uint8_t>(flags | (nterm ? kHasNterm : 0) | (cterm ? kHasCterm : 0));
    group_[i] = group;
}

std::uint32_t PeptideTable::add_group(const std::vector<SharedBytes>& proteins) {
    // Accessions are kept once each; a caller's peptides mostly share one.
    for (const SharedBytes& protein : proteins) {
        const auto same = [&](const SharedBytes& a) {
            return a == protein || (a && protein && *a == *protein);
        };
        auto at = std::find_if(accessions_.begin(), accessions_.end(), same);
        if (at == accessions_.end()) at = accessions_.insert(at, protein);
        members_.push_back(static_cast<std::uint32_t>(at - accessions_.begin()));
    }
    group_offsets_.push_back(offset32(members_.size(), "accessions"));
    return static_cast<std::uint32_t>(group_offsets_.size() - 2);
}

void PeptideTable::push_back(const Peptide& p) {
    const std::string_view letters = p.sequence ? std::string_view(*p.sequence) : std::string_view();
    // Consecutive peptides of one protein list (a caller's peptides) share it.
    const bool same_list = !group_.empty() && [&] {
        const auto last = protein_numbers(size() - 1);
        if (last.size() != p.proteins.size()) return false;
        for (std::size_t k = 0; k < last.size(); ++k) {
            const SharedBytes& a = accessions_[last[k]];
            if (a != p.proteins[k] && !(a && p.proteins[k] && *a == *p.proteins[k])) return false;
        }
        return true;
    }();
    const std::uint32_t group = same_list ? group_.back() : add_group(p.proteins);
    const std::uint32_t begin = add_residues(letters);
    add_row(begin, static_cast<std::uint32_t>(letters.size()),
            p.unmodified ? std::span<const float>() : std::span<const float>(p.modifications), p.nterm, p.cterm,
            p.monoisotopic, p.missed_cleavages,
            static_cast<std::uint8_t>((p.decoy ? kDecoy : 0) | (p.unmodified ? kUnmodified : 0)), group);
}

PeptideTable PeptideTable::with_decoys(const std::vector<std::uint8_t>& keep) && {
    const std::size_t n = size();
    // Rows in fixed blocks: each block's rows, decoy letters and modification masses counted first, then
    // written from where the blocks before it end, so the table is the same whatever the thread count.
    constexpr std::size_t kRows = std::size_t{1} << 14;
    const std::size_t blocks = (n + kRows - 1) / kRows;
    struct Extent {
        std::size_t rows = 0, residues = 0, mods = 0;
        std::size_t unreversible = std::numeric_limits<std::size_t>::max();  // the block's first such row
    };
    std::vector<Extent> extent(blocks + 1);
    auto mods_of = [&](std::size_t i) { return (*this)[i].modifications; };
    parallel_for(blocks, [&](std::size_t first, std::size_t last) {
        for (std::size_t b = first; b < last; ++b) {
            Extent& e = extent[b + 1];
            for (std::size_t i = b * kRows, end = std::min(n, (b + 1) * kRows); i < end; ++i) {
                const std::size_t length = sequence_length_[i], mods = mod_offsets_[i + 1] - mod_offsets_[i];
                e.rows += 1 + (keep[i] != 0);
                e.mods += mods * (1 + (keep[i] != 0));
                if (!keep[i]) continue;
                if (length > 2) e.residues += length;
                if (!(flags_[i] & kUnmodified) && length > 2 && mods < length - 1 &&
                    e.unreversible == std::numeric_limits<std::size_t>::max())
                    e.unreversible = i;
            }
        }
    });
    for (std::size_t b = 0; b < blocks; ++b) {
        const Extent& e = extent[b + 1];
        if (e.unreversible != std::numeric_limits<std::size_t>::max()) {
            check_reversible(sequence_length_[e.unreversible], mods_of(e.unreversible).size());
        }
        extent[b + 1].rows += extent[b].rows;
        extent[b + 1].residues += extent[b].residues;
        extent[b + 1].mods += extent[b].mods;
    }
    // The targets keep their residues where they lie; the decoys' follow them.
    PeptideTable out;
    const std::size_t held = residues_.size();
    out.residues_ = std::move(residues_);
    out.group_offsets_ = std::move(group_offsets_);
    out.members_ = std::move(members_);
    out.accessions_ = std::move(accessions_);
    out.resize(extent[blocks].rows, held + extent[blocks].residues, extent[blocks].mods);
    parallel_for(blocks, [&](std::size_t first, std::size_t last) {
        for (std::size_t b = first; b < last; ++b) {
            std::size_t row = extent[b].rows, letters = held + extent[b].residues, mod = extent[b].mods;
            for (std::size_t i = b * kRows, end = std::min(n, (b + 1) * kRows); i < end; ++i) {
                const std::uint32_t begin = sequence_begin_[i], length = sequence_length_[i];
                const std::uint8_t flags = flags_[i] & (kDecoy | kUnmodified);
                const std::optional<float> nterm = (flags_[i] & kHasNterm) ? std::optional<float>(nterm_[i]) : std::nullopt;
                const std::optional<float> cterm = (flags_[i] & kHasCterm) ? std::optional<float>(cterm_[i]) : std::nullopt;
                const ModificationMasses mods_i = mods_of(i);
                out.set_row(row++, begin, length, static_cast<std::uint32_t>(mod), mods_i, nterm, cterm, mass_[i],
                            missed_[i], flags, group_[i]);
                mod += mods_i.size();
                if (!keep[i]) continue;
                // The interior [1, n - 1) moves; the terminal residues stay in place.
                std::uint32_t reversed = begin;
                if (length > 2) {
                    reversed = static_cast<std::uint32_t>(letters);
                    char* into = out.residues_.data();
                    std::copy_n(into + begin, length, into + reversed);
                    std::reverse(into + reversed + 1, into + reversed + length - 1);
                    letters += length;
                }
                out.set_row(row++, reversed, length, static_cast<std::uint32_t>(mod), mods_i, nterm, cterm, mass_[i],
                            missed_[i], static_cast<std::uint8_t>(flags ^ kDecoy), group_[i]);
                if (length > 2 && !mods_i.empty()) {
                    float* moved = out.mod_values_.data() + mod;
                    std::reverse(moved + 1, moved + length - 1);
                }
                mod += mods_i.size();
            }
        }
    });
    *this = PeptideTable();
    return out;
}

void PeptideTable::code_modifications() {
    if (!mod_codes_.empty() || mod_values_.empty()) return;
    // Bit patterns (-0.0 and each NaN stay themselves) in order of first appearance: each block's own, then
    // the blocks' merged in order, which is the order of the whole.
    constexpr std::size_t kBlock = std::size_t{1} << 16, kMost = 256;
    const std::size_t n = mod_values_.size(), blocks = (n + kBlock - 1) / kBlock;
    auto bits_at = [&](std::size_t k) { return std::bit_cast<std::uint32_t>(mod_values_[k]); };
    std::vector<std::vector<std::uint32_t>> seen(blocks);
    parallel_for(blocks, [&](std::size_t first, std::size_t last) {
        for (std::size_t b = first; b < last; ++b) {
            std::vector<std::uint32_t>& palette = seen[b];
            std::uint32_t previous = 0;
            for (std::size_t k = b * kBlock, end = std::min(n, (b + 1) * kBlock); k < end; ++k) {
                const std::uint32_t bits = bits_at(k);
                if ((palette.empty() || bits != previous) &&
                    std::find(palette.begin(), palette.end(), bits) == palette.end()) {
                    palette.push_back(bits);
                    if (palette.size() > kMost) break;  // more than can be coded, whatever the others hold
                }
                previous = bits;
            }
        }
    });
    std::vector<std::uint32_t> palette;
    for (const std::vector<std::uint32_t>& block : seen) {
        for (const std::uint32_t bits : block) {
            if (std::find(palette.begin(), palette.end(), bits) != palette.end()) continue;
            if (palette.size() == kMost) return;  // too many distinct masses: kept as they are
            palette.push_back(bits);
        }
    }
    std::vector<std::uint8_t> codes(n);
    parallel_for(blocks, [&](std::size_t first, std::size_t last) {
        for (std::size_t b = first; b < last; ++b) {
            std::size_t code = 0;
            for (std::size_t k = b * kBlock, end = std::min(n, (b + 1) * kBlock); k < end; ++k) {
                const std::uint32_t bits = bits_at(k);
                if (palette[code] != bits) code = static_cast<std::size_t>(std::find(palette.begin(), palette.end(), bits) - palette.begin());
                codes[k] = static_cast<std::uint8_t>(code);
            }
        }
    });
    mod_palette_.clear();
    for (const std::uint32_t bits : palette) mod_palette_.push_back(std::bit_cast<float>(bits));
    mod_codes_ = std::move(codes);
    std::vector<float>().swap(mod_values_);
}

const char* PeptideTable::damage() const {
    const std::size_t n = mass_.size();
    for (const std::size_t rows : {sequence_begin_.size(), sequence_length_.size(), nterm_.size(), cterm_.size(),
                                   flags_.size(), missed_.size(), group_.size()}) {
        if (rows != n) return "peptide columns";
    }
    const bool coded = !mod_palette_.empty();
    if (mod_offsets_.size() != n + 1 || mod_offsets_.front() != 0 ||
        mod_offsets_.back() != (coded ? mod_codes_.size() : mod_values_.size()) ||
        (coded ? !mod_values_.empty() || mod_palette_.size() > 256 : !mod_codes_.empty()))
        return "modifications";
    for (const std::uint8_t code : mod_codes_) {
        if (code >= mod_palette_.size()) return "modifications";
    }
    if (group_offsets_.empty() || group_offsets_.front() != 0 || group_offsets_.back() != members_.size())
        return "proteins";
    for (std::size_t g = 0; g + 1 < group_offsets_.size(); ++g) {
        if (group_offsets_[g + 1] < group_offsets_[g]) return "proteins";
    }
    for (const std::uint32_t k : members_) {
        if (k >= accessions_.size()) return "proteins";
    }
    const std::size_t groups = group_offsets_.size() - 1;
    for (std::size_t i = 0; i < n; ++i) {
        if (flags_[i] & ~kKnownFlags) return "bad flag";
        if (std::uint64_t{sequence_begin_[i]} + sequence_length_[i] > residues_.size()) return "peptide columns";
        if (group_[i] >= groups) return "proteins";
        if (mod_offsets_[i + 1] < mod_offsets_[i]) return "modifications";
        // A row keeps one mass per residue, or none when it is unmodified.
        const std::size_t mods = mod_offsets_[i + 1] - mod_offsets_[i];
        if (mods != ((flags_[i] & kUnmodified) ? 0 : sequence_length_[i])) return "modifications";
    }
    return nullptr;
}

}  // namespace tamrel
