#include "tamrel/digest.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <span>
#include <string>

#include "tamrel/error.hpp"
#include "tamrel/ion_series.hpp"
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

// A candidate peptide: proteome[a, b) in protein `owner`.
struct Span {
    std::int64_t a, b;
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
// first, each size in lexicographic order.
template <class F>
void for_each_subset(std::size_t n, std::size_t most, F&& each) {
    std::vector<std::size_t> picks;
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

    void reserve(std::size_t n, std::size_t values) {
        rows.reserve(n);
        mod_values.reserve(values);
    }

    void add(std::int64_t k, double m, const float* mods, std::size_t length, float n, float c) {
        const auto begin = static_cast<std::int64_t>(mod_values.size());
        if (mods != nullptr) mod_values.insert(mod_values.end(), mods, mods + length);
        rows.push_back({k, begin, static_cast<std::int64_t>(mod_values.size()), static_cast<float>(m), n, c});
    }
};

// Row numbers ordered by ascending mass, equal masses in row order: two
// stable counting passes over 16-bit halves of an order-preserving key.
std::vector<std::uint32_t> stable_order_by_mass(const std::vector<Rows::Row>& rows) {
    const std::size_t n = rows.size();
    std::vector<std::uint32_t> keys(n);
    for (std::size_t i = 0; i < n; ++i) {
        const float mass = rows[i].mass;
        const std::uint32_t bits = std::bit_cast<std::uint32_t>(mass == 0.0f ? 0.0f : mass);
        keys[i] = bits & 0x80000000u ? ~bits : bits | 0x80000000u;
    }
    std::vector<std::uint32_t> order(n), next(n);
    std::iota(order.begin(), order.end(), 0u);
    for (unsigned shift : {0u, 16u}) {
        std::vector<std::size_t> start(65537, 0);
        for (std::uint32_t key : keys) ++start[((key >> shift) & 0xFFFF) + 1];
        std::partial_sum(start.begin(), start.end(), start.begin());
        for (std::uint32_t row : order) next[start[(keys[row] >> shift) & 0xFFFF]++] = row;
        order.swap(next);
    }
    return order;
}

}  // namespace

Digest digest_proteome(std::string_view text, const DigestRules& r) {
    Digest out;
    const std::size_t n = text.size();
    bool cleaves[256] = {}, blocks[256] = {};
    for (char c : r.cleave) cleaves[static_cast<unsigned char>(c)] = true;
    for (char c : r.unless) blocks[static_cast<unsigned char>(c)] = true;

    // Masses of residues and fixed modifications summed along the proteome;
    // letters without a mass are counted apart and weigh nothing.
    std::vector<double> prefix(n + 1, 0.0);
    std::vector<std::int32_t> unknown(n + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const float residue = residue_mass(c);
        const bool known = residue != 0.0f;
        prefix[i + 1] = prefix[i] + (known ? static_cast<double>(residue) + r.fixed[c - 'A'] : 0.0);
        unknown[i + 1] = unknown[i] + !known;
    }

    // Cleavage boundaries, protein by protein (each protein's ends are boundaries).
    std::vector<std::int64_t> bounds;
    std::vector<std::int32_t> owner;
    std::int32_t protein = 0;
    for (std::size_t start = 0;; ++protein) {
        const std::size_t end = std::min(text.find('\n', start), n);
        auto cut = [&](std::size_t at) {
            bounds.push_back(static_cast<std::int64_t>(at));
            owner.push_back(protein);
        };
        cut(start);
        for (std::size_t j = start + 1; j < end; ++j) {
            const auto before = static_cast<unsigned char>(text[j - 1]), here = static_cast<unsigned char>(text[j]);
            if (r.after ? cleaves[before] && !blocks[here] : cleaves[here] && !blocks[before]) cut(j);
        }
        if (end > start) cut(end);
        if (end >= n) break;
        start = end + 1;
    }

    // Spans by missed cleavages, then position; distinct sequences numbered
    // in that order of first appearance, each with the proteins holding it.
    const double terminal = r.water + r.fixed_nterm + r.fixed_cterm;
    std::vector<Span> spans;
    for (std::size_t mc = 0; mc <= r.missed_cleavages && bounds.size() > mc + 1; ++mc) {
        for (std::size_t i = 0; i + 1 + mc < bounds.size(); ++i) {
            const std::int64_t a = bounds[i], b = bounds[i + 1 + mc];
            const auto length = static_cast<std::size_t>(b - a);
            if (owner[i] != owner[i + 1 + mc] || length < r.min_length || length > r.max_length) continue;
            if (unknown[static_cast<std::size_t>(b)] != unknown[static_cast<std::size_t>(a)]) continue;
            if (prefix[static_cast<std::size_t>(b)] - prefix[static_cast<std::size_t>(a)] + terminal > r.max_mass) continue;
            spans.push_back({a, b, owner[i], static_cast<std::uint8_t>(mc)});
        }
    }
    std::vector<std::uint64_t> hashes(spans.size());
    for (std::size_t i = 0; i < spans.size(); ++i) {
        hashes[i] = hash_of(text.substr(static_cast<std::size_t>(spans[i].a),
                                        static_cast<std::size_t>(spans[i].b - spans[i].a)));
    }
    SequenceTable table(text, spans.size());
    std::vector<std::pair<std::int64_t, std::int32_t>> pairs;  // (sequence, protein) per span
    pairs.reserve(spans.size());
    constexpr std::size_t kAhead = 16;
    for (std::size_t i = 0; i < spans.size(); ++i) {
        if (i + kAhead < spans.size()) table.prefetch(hashes[i + kAhead]);
        const auto [k, fresh] = table.insert(spans[i].a, spans[i].b, hashes[i]);
        if (fresh) out.missed_cleavages.push_back(spans[i].missed);
        pairs.emplace_back(k, spans[i].owner);
    }
    const std::size_t distinct = table.lo_.size();

    // Proteins per sequence: a sequence's spans share its missed cleavages, so
    // they arrive in protein order; a stable count by sequence keeps it.
    out.protein_offsets.assign(distinct + 1, 0);
    {
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
    }

    // Variable sites: residue letters, and the termini.
    int residue_variable[256];
    std::fill(std::begin(residue_variable), std::end(residue_variable), -1);
    const DigestRules::Variable *nterm_variable = nullptr, *cterm_variable = nullptr;
    bool single = true;
    for (std::size_t v = 0; v < r.variable.size(); ++v) {
        const auto& var = r.variable[v];
        single = single && var.masses.size() == 1;
        if (var.site == '^') nterm_variable = &var;
        else if (var.site == '$') cterm_variable = &var;
        else residue_variable[static_cast<unsigned char>(var.site)] = static_cast<int>(v);
    }
    // One mass per residue site and none at the termini: every form's mass sums
    // its deltas as a vector library would; otherwise one by one.
    const bool vectorised = single && nterm_variable == nullptr && cterm_variable == nullptr;
    const float fixed_n = r.fixed_nterm != 0.0 ? static_cast<float>(r.fixed_nterm) : kNone;
    const float fixed_c = r.fixed_cterm != 0.0 ? static_cast<float>(r.fixed_cterm) : kNone;

    Rows rows;
    std::vector<float> fixed_mods, mods;
    std::vector<std::size_t> sites;
    std::vector<double> chosen;
    std::vector<std::size_t> choice;
    rows.reserve(distinct * 2, text.size());
    out.residues.reserve(text.size() / 2);
    std::uint64_t estimate = 0;  // of the forms made so far, see indexed_bytes
    std::size_t rows_before = 0, values_before = 0;
    for (std::size_t k = 0; k < distinct; ++k) {
        if (r.memory_budget != 0 && k > 0) {
            const std::size_t length = static_cast<std::size_t>(table.hi_[k - 1] - table.lo_[k - 1]);
            const std::size_t made = rows.rows.size() - rows_before;
            const std::size_t modified = (rows.mod_values.size() - values_before) / std::max<std::size_t>(length, 1);
            estimate += (made - modified) * indexed_bytes(length, false) + modified * indexed_bytes(length, true);
            rows_before = rows.rows.size();
            values_before = rows.mod_values.size();
            if (estimate > r.memory_budget) {
                throw InputFailure("the peptides to search would not fit in memory: " + std::to_string(k) + " of " +
                                   std::to_string(distinct) + " sequences made " + std::to_string(rows_before) +
                                   " modified peptides, about " + std::to_string(estimate >> 20) +
                                   " MiB once indexed, past the budget of " + std::to_string(r.memory_budget >> 20) +
                                   " MiB; allow fewer variable modifications per peptide, fewer "
                                   "variable sites, missed cleavages or a shorter length range");
            }
        }
        const auto lo = static_cast<std::size_t>(table.lo_[k]), hi = static_cast<std::size_t>(table.hi_[k]);
        const std::string_view seq = text.substr(lo, hi - lo);
        out.residues.append(seq);
        out.sequence_offsets.push_back(static_cast<std::int64_t>(out.residues.size()));
        const double base = prefix[hi] - prefix[lo] + terminal;
        fixed_mods.resize(seq.size());
        bool has_fixed = false;
        sites.clear();
        for (std::size_t i = 0; i < seq.size(); ++i) {
            const auto c = static_cast<unsigned char>(seq[i]);
            fixed_mods[i] = static_cast<float>(r.fixed[c - 'A']);
            has_fixed = has_fixed || fixed_mods[i] != 0.0f;
            if (residue_variable[c] >= 0) sites.push_back(i);
        }
        const std::size_t n_residue_sites = sites.size();
        const std::size_t n_sites = n_residue_sites + (nterm_variable != nullptr) + (cterm_variable != nullptr);
        const float* plain_mods = has_fixed ? fixed_mods.data() : nullptr;
        auto in_range = [&](double m) { return m >= r.min_mass && m <= r.max_mass; };
        if (n_sites == 0 || r.max_variable == 0) {
            if (in_range(base)) rows.add(static_cast<std::int64_t>(k), base, plain_mods, seq.size(), fixed_n, fixed_c);
            continue;
        }
        auto delta_of = [&](std::size_t site, std::size_t alternative) {
            if (site < n_residue_sites) {
                const auto c = static_cast<unsigned char>(seq[sites[site]]);
                return r.variable[static_cast<std::size_t>(residue_variable[c])].masses[alternative];
            }
            const bool is_n = site == n_residue_sites && nterm_variable != nullptr;
            return (is_n ? nterm_variable : cterm_variable)->masses[alternative];
        };
        auto alternatives = [&](std::size_t site) {
            if (site < n_residue_sites) {
                const auto c = static_cast<unsigned char>(seq[sites[site]]);
                return r.variable[static_cast<std::size_t>(residue_variable[c])].masses.size();
            }
            const bool is_n = site == n_residue_sites && nterm_variable != nullptr;
            return (is_n ? nterm_variable : cterm_variable)->masses.size();
        };
        for_each_subset(n_sites, r.max_variable, [&](std::span<const std::size_t> picks) {
            choice.assign(picks.size(), 0);  // alternative per picked site, the last one fastest
            for (;;) {
                chosen.clear();
                for (std::size_t j = 0; j < picks.size(); ++j) chosen.push_back(delta_of(picks[j], choice[j]));
                double sum = 0.0;
                if (vectorised) {
                    sum = pairwise_sum(chosen);
                } else {
                    for (double d : chosen) sum += d;
                }
                const double m = base + sum;
                if (in_range(m)) {
                    mods.assign(fixed_mods.begin(), fixed_mods.end());
                    float nt = fixed_n, ct = fixed_c;
                    bool any = has_fixed;
                    for (std::size_t j = 0; j < picks.size(); ++j) {
                        const std::size_t site = picks[j];
                        if (site < n_residue_sites) {
                            mods[sites[site]] = static_cast<float>(static_cast<double>(fixed_mods[sites[site]]) + chosen[j]);
                        } else if (site == n_residue_sites && nterm_variable != nullptr) {
                            nt = static_cast<float>((std::isnan(nt) ? 0.0 : static_cast<double>(nt)) + chosen[j]);
                        } else {
                            ct = static_cast<float>((std::isnan(ct) ? 0.0 : static_cast<double>(ct)) + chosen[j]);
                        }
                    }
                    if (vectorised) {
                        any = any || !picks.empty();
                    } else {
                        any = std::any_of(mods.begin(), mods.end(), [](float v) { return v != 0.0f; });
                    }
                    rows.add(static_cast<std::int64_t>(k), m, any ? mods.data() : nullptr, seq.size(), nt, ct);
                }
                std::size_t j = picks.size();
                while (j > 0 && ++choice[j - 1] == alternatives(picks[j - 1])) choice[--j] = 0;
                if (j == 0) break;
            }
        });
    }

    // Sorted by 32-bit mass; rows were made in (sequence, form) order, which
    // a stable sort keeps for equal masses.
    const std::vector<std::uint32_t> order = stable_order_by_mass(rows.rows);
    const std::size_t count = order.size();
    out.sequence.resize(count);
    out.mass.resize(count);
    out.mod_offsets.resize(count + 1);
    out.nterm.resize(count);
    out.cterm.resize(count);
    out.mod_values.resize(rows.mod_values.size());
    std::int64_t filled = 0;
    for (std::size_t j = 0; j < count; ++j) {
        const Rows::Row& row = rows.rows[order[j]];
        out.sequence[j] = row.sequence;
        out.mass[j] = row.mass;
        out.nterm[j] = row.nterm;
        out.cterm[j] = row.cterm;
        std::copy(rows.mod_values.begin() + row.mod_begin, rows.mod_values.begin() + row.mod_end,
                  out.mod_values.begin() + filled);
        filled += row.mod_end - row.mod_begin;
        out.mod_offsets[j + 1] = filled;
    }
    return out;
}

}  // namespace tamrel
