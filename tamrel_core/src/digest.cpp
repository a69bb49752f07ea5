#include "tamrel/digest.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <span>
#include <string>
#include <utility>

#include "tamrel/error.hpp"
#include "tamrel/ion_series.hpp"
#include "tamrel/parallel.hpp"
#include "tamrel/peaks.hpp"

namespace tamrel {

namespace {

constexpr float kNone = std::numeric_limits<float>::quiet_NaN();

std::uint64_t hash_of(std::string_view s) {
    std::uint64_t h = 0x9E3779B97F4A7C15ull ^ s.size();
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, s.data() + i, 8);
        h = (h ^ w) * 0xFF51AFD7ED558CCDull;
        h ^= h >> 32;
    }
    for (; i < s.size(); ++i) h = (h ^ static_cast<unsigned char>(s[i])) * 0x100000001B3ull;
    h ^= h >> 29;
    return h * 0xC4CEB9FE1A85EC53ull ^ (h >> 31);
}

// A cleavage boundary: its place in the proteome, the residue masses summed
// up to it, the letters without a mass up to it, and its protein.
struct Bound {
    std::int64_t at;
    double prefix;
    std::int32_t unknown, owner;
};

// A candidate peptide: proteome[a, b) in protein `owner`, its mass with the
// termini and fixed modifications.
struct Span {
    std::int64_t a, b;
    double mass;
    std::int32_t owner;
    std::uint8_t missed;
};

// Distinct sequences by content: open addressing, each slot holding the
// sequence number and 32 bits of its hash, so most probes touch no text.
class SequenceTable {
public:
    SequenceTable(std::string_view text, std::size_t expected) : text_(text) {
        std::size_t capacity = 16;
        while (capacity < expected + expected / 2) capacity *= 2;
        slots_.assign(capacity, 0);
        mask_ = capacity - 1;
    }

    void prefetch(std::uint64_t hash) const { __builtin_prefetch(&slots_[hash & mask_]); }

    // The number of the sequence text[lo, hi) with hash `hash`, and whether it is new.
    std::pair<std::int64_t, bool> insert(std::int64_t lo, std::int64_t hi, std::uint64_t hash) {
        const auto length = static_cast<std::size_t>(hi - lo);
        const std::uint64_t tag = hash & 0xFFFFFFFF00000000ull;
        for (std::size_t at = hash & mask_;; at = (at + 1) & mask_) {
            const std::uint64_t slot = slots_[at];
            if (slot == 0) {
                slots_[at] = tag | (lo_.size() + 1);
                lo_.push_back(lo);
                hi_.push_back(hi);
                return {static_cast<std::int64_t>(lo_.size() - 1), true};
            }
            if ((slot & 0xFFFFFFFF00000000ull) != tag) continue;
            const std::size_t k = (slot & 0xFFFFFFFFull) - 1;
            const auto klo = static_cast<std::size_t>(lo_[k]);
            if (static_cast<std::size_t>(hi_[k]) - klo == length &&
                std::memcmp(text_.data() + klo, text_.data() + lo, length) == 0) {
                return {static_cast<std::int64_t>(k), false};
            }
        }
    }

    std::vector<std::int64_t> lo_, hi_;  // first span of each sequence

private:
    std::string_view text_;
    std::vector<std::uint64_t> slots_;
    std::size_t mask_ = 0;
};

// Calls `each(picks)` for every choice of at most `most` of `n` items: fewer
// first, each size in lexicographic order. `picks` is scratch.
template <class F>
void for_each_subset(std::size_t n, std::size_t most, std::vector<std::size_t>& picks, F&& each) {
    for (std::size_t size = 0; size <= std::min(n, most); ++size) {
        picks.resize(size);
        std::iota(picks.begin(), picks.end(), std::size_t{0});
        for (;;) {
            each(std::span<const std::size_t>(picks));
            std::size_t i = size;
            while (i > 0 && picks[i - 1] == n - size + i - 1) --i;
            if (i == 0) break;
            ++picks[i - 1];
            for (std::size_t j = i; j < size; ++j) picks[j] = picks[j - 1] + 1;
        }
    }
}

// The rows as made, one record each, so that reordering them by mass reads
// one cache line per row.
struct Rows {
    struct Row {
        std::int64_t sequence;
        std::int64_t mod_begin;  // in mod_values; mod_end - mod_begin values or none
        std::int64_t mod_end;
        float mass, nterm, cterm;
    };
    std::vector<Row> rows;
    std::vector<float> mod_values;

    void add(std::int64_t k, double m, const float* mods, std::size_t length, float n, float c) {
        const auto begin = static_cast<std::int64_t>(mod_values.size());
        if (mods != nullptr) mod_values.insert(mod_values.end(), mods, mods + length);
        rows.push_back({k, begin, static_cast<std::int64_t>(mod_values.size()), static_cast<float>(m), n, c});
    }
};

// Sequences per block of forms made on one thread, and blocks per round
// between memory-budget checks (fixed, so the blocks never depend on the
// thread count).
constexpr std::size_t kBlock = 4096, kRound = 32;

// The modified forms of one distinct sequence, appended to a block's rows.
// Read-only once made, so that blocks are made concurrently.
class FormMaker {
public:
    struct Scratch {
        std::vector<float> fixed_mods, mods;
        std::vector<std::size_t> sites, choice, picks;
        std::vector<double> chosen;
    };

    FormMaker(std::string_view text, const DigestRules& r) : text_(text), r_(r) {
        std::fill(std::begin(residue_variable_), std::end(residue_variable_), -1);
        bool single = true;
        for (std::size_t v = 0; v < r.variable.size(); ++v) {
            const auto& var = r.variable[v];
            single = single && var.masses.size() == 1;
            if (var.site == '^') nterm_variable_ = &var;
            else if (var.site == '$') cterm_variable_ = &var;
            else residue_variable_[static_cast<unsigned char>(var.site)] = static_cast<int>(v);
        }
        vectorised_ = single && nterm_variable_ == nullptr && cterm_variable_ == nullptr;
        fixed_n_ = r.fixed_nterm != 0.0 ? static_cast<float>(r.fixed_nterm) : kNone;
        fixed_c_ = r.fixed_cterm != 0.0 ? static_cast<float>(r.fixed_cterm) : kNone;
    }

    // The forms of sequence k, text[lo, hi) of mass `base` unmodified: fewer
    // modifications first, sites left to right.
    void make(std::int64_t k, std::size_t lo, std::size_t hi, double base, Rows& rows, Scratch& s) const {
        const std::string_view seq = text_.substr(lo, hi - lo);
        s.fixed_mods.resize(seq.size());
        bool has_fixed = false;
        s.sites.clear();
        for (std::size_t i = 0; i < seq.size(); ++i) {
            const auto c = static_cast<unsigned char>(seq[i]);
            s.fixed_mods[i] = static_cast<float>(r_.fixed[c - 'A']);
            has_fixed = has_fixed || s.fixed_mods[i] != 0.0f;
            if (residue_variable_[c] >= 0) s.sites.push_back(i);
        }
        const std::size_t n_residue_sites = s.sites.size();
        const std::size_t n_sites = n_residue_sites + (nterm_variable_ != nullptr) + (cterm_variable_ != nullptr);
        const float* plain_mods = has_fixed ? s.fixed_mods.data() : nullptr;
        auto in_range = [&](double m) { return m >= r_.min_mass && m <= r_.max_mass; };
        if (n_sites == 0 || r_.max_variable == 0) {
            if (in_range(base)) rows.add(k, base, plain_mods, seq.size(), fixed_n_, fixed_c_);
            return;
        }
        auto variable_of = [&](std::size_t site) -> const DigestRules::Variable& {
            if (site < n_residue_sites) {
                const auto c = static_cast<unsigned char>(seq[s.sites[site]]);
                return r_.variable[static_cast<std::size_t>(residue_variable_[c])];
            }
            return site == n_residue_sites && nterm_variable_ != nullptr ? *nterm_variable_ : *cterm_variable_;
        };
        for_each_subset(n_sites, r_.max_variable, s.picks, [&](std::span<const std::size_t> picks) {
            s.choice.assign(picks.size(), 0);  // alternative per picked site, the last one fastest
            for (;;) {
                s.chosen.clear();
                for (std::size_t j = 0; j < picks.size(); ++j) s.chosen.push_back(variable_of(picks[j]).masses[s.choice[j]]);
                double sum = 0.0;
                if (vectorised_) {
                    sum = pairwise_sum(s.chosen);
                } else {
                    for (double d : s.chosen) sum += d;
                }
                const double m = base + sum;
                if (in_range(m)) {
                    s.mods.assign(s.fixed_mods.begin(), s.fixed_mods.end());
                    float nt = fixed_n_, ct = fixed_c_;
                    bool any = has_fixed;
                    for (std::size_t j = 0; j < picks.size(); ++j) {
                        const std::size_t site = picks[j];
                        if (site < n_residue_sites) {
                            const std::size_t at = s.sites[site];
                            s.mods[at] = static_cast<float>(static_cast<double>(s.fixed_mods[at]) + s.chosen[j]);
                        } else if (site == n_residue_sites && nterm_variable_ != nullptr) {
                            nt = static_cast<float>((std::isnan(nt) ? 0.0 : static_cast<double>(nt)) + s.chosen[j]);
                        } else {
                            ct = static_cast<float>((std::isnan(ct) ? 0.0 : static_cast<double>(ct)) + s.chosen[j]);
                        }
                    }
                    if (vectorised_) {
                        any = any || !picks.empty();
                    } else {
                        any = std::any_of(s.mods.begin(), s.mods.end(), [](float v) { return v != 0.0f; });
                    }
                    rows.add(k, m, any ? s.mods.data() : nullptr, seq.size(), nt, ct);
                }
                std::size_t j = picks.size();
                while (j > 0 && ++s.choice[j - 1] == variable_of(picks[j - 1]).masses.size()) s.choice[--j] = 0;
                if (j == 0) break;
            }
        });
    }

private:
    std::string_view text_;
    const DigestRules& r_;
    int residue_variable_[256];
    const DigestRules::Variable *nterm_variable_ = nullptr, *cterm_variable_ = nullptr;
    bool vectorised_ = false;  // one mass per residue site, none at the termini: deltas summed as a vector library would
    float fixed_n_ = kNone, fixed_c_ = kNone;
};

// The estimated index memory of the forms made so far, in sequence order (see
// indexed_bytes); throws when, after some sequence but the last, it passes
// the budget.
struct BudgetCheck {
    std::uint64_t budget;
    std::size_t distinct;
    std::uint64_t estimate = 0;
    std::size_t rows = 0;  // made so far

    void account(const Rows& block, const std::vector<std::int64_t>& lo, const std::vector<std::int64_t>& hi) {
        for (std::size_t i = 0; i < block.rows.size();) {
            const auto k = static_cast<std::size_t>(block.rows[i].sequence);
            const auto length = static_cast<std::size_t>(hi[k] - lo[k]);
            std::size_t made = 0, modified = 0;
            for (; i < block.rows.size() && static_cast<std::size_t>(block.rows[i].sequence) == k; ++i, ++made) {
                modified += block.rows[i].mod_end > block.rows[i].mod_begin;
            }
            estimate += (made - modified) * indexed_bytes(length, false) + modified * indexed_bytes(length, true);
            rows += made;
            if (estimate > budget && k + 1 < distinct) {
                throw InputFailure("the peptides to search would not fit in memory: " + std::to_string(k + 1) +
                                   " of " + std::to_string(distinct) + " sequences made " + std::to_string(rows) +
                                   " modified peptides, about " + std::to_string(estimate >> 20) +
                                   " MiB once indexed, past the budget of " + std::to_string(budget >> 20) +
                                   " MiB; allow fewer variable modifications per peptide, fewer "
                                   "variable sites, missed cleavages or a shorter length range");
            }
        }
    }
};

// A 32-bit key whose unsigned order is the order of the masses.
std::uint32_t mass_key(float mass) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(mass == 0.0f ? 0.0f : mass);
    return bits & 0x80000000u ? ~bits : bits | 0x80000000u;
}

// Row numbers ordered by ascending key, equal keys in row order: two stable
// counting passes over 16-bit halves, each on the pool in a block of rows per
// worker (a block's rows with one value go after those of the blocks before
// it, so the order is the same for any number of blocks).
std::vector<std::uint32_t> stable_order(std::vector<std::uint32_t> keys) {
    const std::size_t n = keys.size();
    constexpr std::size_t kValues = std::size_t{1} << 16;
    const std::size_t blocks = std::max<std::size_t>(1, std::min(worker_count(), n >> 16));
    auto block_begin = [&](std::size_t b) { return static_cast<std::size_t>(std::uint64_t{n} * b / blocks); };
    std::vector<std::uint32_t> order(n), next(n);
    std::vector<std::size_t> start(blocks * kValues);
    bool first_pass = true;
    for (unsigned shift : {0u, 16u}) {
        auto key_at = [&](std::size_t j) { return first_pass ? keys[j] : keys[order[j]]; };
        parallel_for(blocks, [&](std::size_t first, std::size_t last) {
            for (std::size_t b = first; b < last; ++b) {
                std::size_t* count = &start[b * kValues];
                std::fill(count, count + kValues, std::size_t{0});
                for (std::size_t j = block_begin(b); j < block_begin(b + 1); ++j) ++count[(key_at(j) >> shift) & 0xFFFF];
            }
        });
        std::size_t offset = 0;
        for (std::size_t v = 0; v < kValues; ++v) {
            for (std::size_t b = 0; b < blocks; ++b) offset += std::exchange(start[b * kValues + v], offset);
        }
        parallel_for(blocks, [&](std::size_t first, std::size_t last) {
            for (std::size_t b = first; b < last; ++b) {
                std::size_t* to = &start[b * kValues];
                for (std::size_t j = block_begin(b); j < block_begin(b + 1); ++j) {
                    const auto row = first_pass ? static_cast<std::uint32_t>(j) : order[j];
                    next[to[(keys[row] >> shift) & 0xFFFF]++] = row;
                }
            }
        });
        order.swap(next);
        first_pass = false;
    }
    return order;
}

}  // namespace

std::optional<PlainFasta> plain_fasta(std::string_view text) {
    if (text.empty() || text.front() != '>') return std::nullopt;
    // Whitespace as a text reader's split() takes it among ASCII characters.
    const auto space = [](unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1C && c <= 0x1F); };
    PlainFasta out;
    out.sequences.reserve(text.size());
    std::size_t at = 1;  // past the record's '>'
    while (true) {
        const std::size_t line_end = std::min(text.find('\n', at), text.size());
        std::size_t word = at;
        for (std::size_t i = at; i < line_end; ++i) {
            if (static_cast<unsigned char>(text[i]) >= 0x80) return std::nullopt;
        }
        while (word < line_end && space(static_cast<unsigned char>(text[word]))) ++word;
        std::size_t word_end = word;
        while (word_end < line_end && !space(static_cast<unsigned char>(text[word_end]))) ++word_end;
        if (word == word_end) return std::nullopt;
        out.accessions.push_back(text.substr(word, word_end - word));
        // The sequence, to the next line that starts with '>'.
        std::size_t i = line_end, stars = 0;
        for (; i < text.size(); ++i) {
            const char c = text[i];
            if (c == '\n') {
                if (i + 1 < text.size() && text[i + 1] == '>') break;
                continue;
            }
            if (c == ' ') continue;
            if (c == '*') {
                ++stars;
                continue;
            }
            const char upper = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
            if (upper < 'A' || upper > 'Z' || stars != 0) return std::nullopt;  // a '*' only ends a sequence
            out.sequences.push_back(upper);
        }
        out.ends.push_back(out.sequences.size());
        if (i >= text.size()) break;
        at = i + 2;
    }
    return out;
}

Digest digest_proteome(std::string_view text, const DigestRules& r) {
    Digest out;
    const std::size_t n = text.size();
    bool cleaves[256] = {}, blocks[256] = {};
    for (char c : r.cleave) cleaves[static_cast<unsigned char>(c)] = true;
    for (char c : r.unless) blocks[static_cast<unsigned char>(c)] = true;

    // Cleavage boundaries, protein by protein (each protein's ends are
    // boundaries), each with the masses of residues and fixed modifications
    // summed along the proteome up to it; letters without a mass are counted
    // apart and weigh nothing. One pass, the sum kept in sequence order.
    std::vector<Bound> bounds;
    bounds.reserve(n / 8 + 16);
    {
        double sum = 0.0;
        std::int32_t unknown = 0;
        auto add = [&](std::size_t i) {
            const auto c = static_cast<unsigned char>(text[i]);
            const float residue = residue_mass(c);
            const bool known = residue != 0.0f;
            sum = sum + (known ? static_cast<double>(residue) + r.fixed[c - 'A'] : 0.0);
            unknown += !known;
        };
        std::int32_t protein = 0;
        for (std::size_t start = 0;; ++protein) {
            const std::size_t end = std::min(text.find('\n', start), n);
            auto cut = [&](std::size_t at) { bounds.push_back({static_cast<std::int64_t>(at), sum, unknown, protein}); };
            cut(start);
            for (std::size_t j = start + 1; j < end; ++j) {
                add(j - 1);
                const auto before = static_cast<unsigned char>(text[j - 1]), here = static_cast<unsigned char>(text[j]);
                if (r.after ? cleaves[before] && !blocks[here] : cleaves[here] && !blocks[before]) cut(j);
            }
            if (end > start) {
                add(end - 1);
                cut(end);
            }
            if (end >= n) break;
            add(end);  // the separator
            start = end + 1;
        }
    }

    // Spans by missed cleavages, then position; distinct sequences numbered
    // in that order of first appearance, each with the proteins holding it.
    const double terminal = r.water + r.fixed_nterm + r.fixed_cterm;
    std::vector<Span> spans;
    for (std::size_t mc = 0; mc <= r.missed_cleavages && bounds.size() > mc + 1; ++mc) {
        for (std::size_t i = 0; i + 1 + mc < bounds.size(); ++i) {
            const Bound &a = bounds[i], &b = bounds[i + 1 + mc];
            const auto length = static_cast<std::size_t>(b.at - a.at);
            if (a.owner != b.owner || length < r.min_length || length > r.max_length) continue;
            if (a.unknown != b.unknown) continue;
            const double mass = b.prefix - a.prefix + terminal;
            if (mass > r.max_mass) continue;
            spans.push_back({a.at, b.at, mass, a.owner, static_cast<std::uint8_t>(mc)});
        }
    }
    std::vector<std::uint64_t> hashes(spans.size());
    parallel_for(spans.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            hashes[i] = hash_of(text.substr(static_cast<std::size_t>(spans[i].a),
                                            static_cast<std::size_t>(spans[i].b - spans[i].a)));
        }
    });
    SequenceTable table(text, spans.size());
    std::vector<double> base;  // per distinct sequence, its mass unmodified
    std::vector<std::pair<std::int64_t, std::int32_t>> pairs;  // (sequence, protein) per span
    pairs.reserve(spans.size());
    constexpr std::size_t kAhead = 16;
    for (std::size_t i = 0; i < spans.size(); ++i) {
        if (i + kAhead < spans.size()) table.prefetch(hashes[i + kAhead]);
        const auto [k, fresh] = table.insert(spans[i].a, spans[i].b, hashes[i]);
        if (fresh) {
            out.missed_cleavages.push_back(spans[i].missed);
            base.push_back(spans[i].mass);
        }
        pairs.emplace_back(k, spans[i].owner);
    }
    const std::size_t distinct = table.lo_.size();

    // Proteins per sequence: a sequence's spans share its missed cleavages, so
    // they arrive in protein order; a stable count by sequence keeps it. Made
    // on the pool beside the first round of forms, which do not read them.
    const auto protein_lists = [&] {
        out.protein_offsets.assign(distinct + 1, 0);
        std::vector<std::int64_t> count(distinct + 1, 0);
        for (const auto& [k, p] : pairs) ++count[static_cast<std::size_t>(k) + 1];
        std::partial_sum(count.begin(), count.end(), count.begin());
        std::vector<std::int64_t> sorted(pairs.size());
        std::vector<std::int64_t> fill(count.begin(), count.end() - 1);
        for (const auto& [k, p] : pairs) sorted[static_cast<std::size_t>(fill[static_cast<std::size_t>(k)]++)] = p;
        for (std::size_t k = 0; k < distinct; ++k) {
            std::int64_t last = -1;
            for (auto i = count[k]; i < count[k + 1]; ++i) {
                if (sorted[static_cast<std::size_t>(i)] != last) out.protein_ids.push_back(last = sorted[static_cast<std::size_t>(i)]);
            }
            out.protein_offsets[k + 1] = static_cast<std::int64_t>(out.protein_ids.size());
        }
    };

    // The forms, made on the pool in blocks of kBlock sequences and merged in
    // sequence order, so that the rows are the same whatever the thread count.
    const FormMaker maker(text, r);
    const std::size_t n_blocks = (distinct + kBlock - 1) / kBlock;
    std::vector<Rows> made(n_blocks);
    BudgetCheck budget{r.memory_budget, distinct};
    for (std::size_t round = 0; round < n_blocks; round += kRound) {
        const std::size_t last = std::min(n_blocks, round + kRound);
        const std::size_t extra = round == 0;  // the first round's first item: the protein lists
        parallel_for(extra + last - round, [&](std::size_t begin, std::size_t end) {
            FormMaker::Scratch scratch;
            for (std::size_t item = begin; item < end; ++item) {
                if (item < extra) {
                    protein_lists();
                    continue;
                }
                const std::size_t b = round + item - extra;
                const std::size_t k_end = std::min(distinct, (b + 1) * kBlock);
                // About two forms per sequence, one of them modified: room enough that the
                // block's columns rarely grow (and are copied) while they fill.
                std::size_t letters = 0;
                for (std::size_t k = b * kBlock; k < k_end; ++k) letters += static_cast<std::size_t>(table.hi_[k] - table.lo_[k]);
                made[b].rows.reserve(2 * (k_end - b * kBlock));
                made[b].mod_values.reserve(letters);
                for (std::size_t k = b * kBlock; k < k_end; ++k) {
                    maker.make(static_cast<std::int64_t>(k), static_cast<std::size_t>(table.lo_[k]),
                               static_cast<std::size_t>(table.hi_[k]), base[k], made[b], scratch);
                }
            }
        });
        // Checked in sequence order after each round: the same message at the
        // same sequence as when made one by one, at most a round's forms later.
        if (r.memory_budget != 0) {
            for (std::size_t b = round; b < last; ++b) budget.account(made[b], table.lo_, table.hi_);
        }
    }

    if (n_blocks == 0) protein_lists();

    // Distinct sequences end to end.
    for (std::size_t k = 0; k < distinct; ++k) {
        out.sequence_offsets.push_back(out.sequence_offsets.back() + (table.hi_[k] - table.lo_[k]));
    }
    out.residues.resize(static_cast<std::size_t>(out.sequence_offsets.back()));
    parallel_for(distinct, [&](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k < end; ++k) {
            std::memcpy(out.residues.data() + out.sequence_offsets[k], text.data() + table.lo_[k],
                        static_cast<std::size_t>(table.hi_[k] - table.lo_[k]));
        }
    });

    // Sorted by 32-bit mass; rows were made in (sequence, form) order, which
    // a stable sort keeps for equal masses. Row g is made[b].rows[g - first_row[b]].
    std::vector<std::size_t> first_row(n_blocks + 1, 0);
    for (std::size_t b = 0; b < n_blocks; ++b) first_row[b + 1] = first_row[b] + made[b].rows.size();
    const std::size_t count = first_row.back();
    std::vector<std::uint32_t> keys(count);
    parallel_for(n_blocks, [&](std::size_t begin, std::size_t end) {
        for (std::size_t b = begin; b < end; ++b) {
            std::uint32_t* key = keys.data() + first_row[b];
            for (const Rows::Row& row : made[b].rows) *key++ = mass_key(row.mass);
        }
    });
    // Each row is written to its place (row g to position[g]) while the rows
    // are read in the order made: the reads stream, the writes scatter.
    std::vector<std::uint32_t> position(count);
    {
        const std::vector<std::uint32_t> order = stable_order(std::move(keys));
        parallel_for(count, [&](std::size_t begin, std::size_t end) {
            for (std::size_t j = begin; j < end; ++j) position[order[j]] = static_cast<std::uint32_t>(j);
        });
    }
    parallel_for(5, [&](std::size_t first, std::size_t last) {  // each column's first touch on a thread of its own
        for (std::size_t c = first; c < last; ++c) {
            switch (c) {
                case 0: out.sequence.resize(count); break;
                case 1: out.mass.resize(count); break;
                case 2: out.mod_offsets.assign(count + 1, 0); break;
                case 3: out.nterm.resize(count); break;
                default: out.cterm.resize(count); break;
            }
        }
    });
    parallel_for(n_blocks, [&](std::size_t begin, std::size_t end) {
        for (std::size_t b = begin; b < end; ++b) {
            const std::uint32_t* to = position.data() + first_row[b];
            for (const Rows::Row& row : made[b].rows) {
                const std::uint32_t j = *to++;
                out.sequence[j] = row.sequence;
                out.mass[j] = row.mass;
                out.nterm[j] = row.nterm;
                out.cterm[j] = row.cterm;
                out.mod_offsets[j + 1] = row.mod_end - row.mod_begin;
            }
        }
    });
    std::partial_sum(out.mod_offsets.begin(), out.mod_offsets.end(), out.mod_offsets.begin());
    out.mod_values.resize(static_cast<std::size_t>(out.mod_offsets.back()));
    parallel_for(n_blocks, [&](std::size_t begin, std::size_t end) {
        for (std::size_t b = begin; b < end; ++b) {
            const std::uint32_t* to = position.data() + first_row[b];
            const float* values = made[b].mod_values.data();
            for (const Rows::Row& row : made[b].rows) {
                std::copy(values + row.mod_begin, values + row.mod_end, out.mod_values.data() + out.mod_offsets[*to++]);
            }
        }
    });
    return out;
}

}  // namespace tamrel
