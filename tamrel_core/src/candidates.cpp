// The preliminary candidate search: per precursor hypothesis, count for every
// peptide in the precursor window how many indexed fragments the peaks hit,
// and keep the best-counted candidates with a bounded heap.
#include <algorithm>
#include <cstddef>
#include <span>

#include "tamrel/heap.hpp"
#include "tamrel/range_bounds.hpp"
#include "tamrel/scoring.hpp"
#include "tamrel/total_order.hpp"

namespace tamrel {

namespace {

// The number of candidates a selection keeps out of `len`: max(50, 2r) in
// effect, computed in 64 bits so that a huge report_psms cannot wrap.
std::uint64_t cap(std::size_t len, std::uint32_t report_psms) {
    const std::uint64_t twice = 2 * static_cast<std::uint64_t>(report_psms);
    return std::min<std::uint64_t>(len, twice) > 50 ? twice : 50;
}

// Keeps the capped greatest of values[from, end) in heap order.
void apply_cap(std::vector<PreliminaryScore>& values, std::size_t from, std::uint32_t report_psms) {
    const std::size_t len = values.size() - from;
    const std::uint64_t keep = cap(len, report_psms);
    if (keep >= len) return;
    bounded_min_heapify(std::span(values).subspan(from), static_cast<std::size_t>(keep));
    values.resize(from + static_cast<std::size_t>(keep));
}

// One matching pass over a spectrum's peaks for a list of precursor
// hypotheses. Every hypothesis looks up the same fragment masses (peak mass
// times fragment charge) and differs only in its peptide range, so all
// hypotheses visit each index bucket back to back while it is in cache. Each
// finds exactly the records `IndexedQuery::page_search` yields for it (the
// buckets are sorted by peptide index, so the records of its peptide range
// are one run of the bucket). Counting is order-independent, and the results
// are assembled afterwards in hypothesis order, capped group by group exactly
// as if each hypothesis had been searched on its own.
class Matcher {
public:
    explicit Matcher(const Scorer& scorer) : scorer_(scorer) {}

    // Plans one hypothesis as its own group (no group-level cap).
    void plan_hypothesis(float precursor_mass, std::uint8_t charge, const Tolerance& precursor_tol,
                         std::int8_t isotope_error) {
        groups_.push_back({hypotheses_.size(), hypotheses_.size() + 1, false});
        add(precursor_mass, charge, precursor_tol, isotope_error);
    }

    // Plans the isotope hypotheses of one precursor charge as a capped group.
    void plan_charge(float precursor_mass, std::uint8_t charge, const Tolerance& precursor_tol) {
        const std::int8_t lo = scorer_.min_isotope_err;
        const std::int8_t hi = scorer_.max_isotope_err;
        if (lo == hi) {
            // Equal bounds mean "no isotope search": error 0, not the common value.
            plan_hypothesis(precursor_mass, charge, precursor_tol, 0);
            return;
        }
        const std::size_t first = hypotheses_.size();
        for (int e = lo; e <= hi; ++e) {
            add(precursor_mass, charge, precursor_tol, static_cast<std::int8_t>(e));
        }
        groups_.push_back({first, hypotheses_.size(), true});
    }

    // Plans the hypotheses of one precursor: every charge of the scorer's
    // range, or the precursor's own, each with its isotope errors or, with a
    // wide window, the isolation window scaled by the charge.
    void plan(const Precursor& precursor) {
        const Scorer& s = scorer_;
        const float m0 = precursor.mz - kProtonMass;
        if (s.wide_window) {
            const Tolerance window = precursor.isolation_window.value_or(Tolerance::da(-2.4f, 2.4f));
            for (unsigned z = s.min_precursor_charge; z <= s.max_precursor_charge; ++z) {
                const float fz = static_cast<float>(z);
                Tolerance scaled = window;
                scaled.minus = window.minus * fz;
                scaled.plus = window.plus * fz;
                plan_charge(m0 * fz, static_cast<std::uint8_t>(z), scaled);
            }
        } else if (precursor.charge && !s.force_charge_range) {
            const std::uint8_t z = *precursor.charge;
            plan_charge(m0 * static_cast<float>(z), z, s.precursor_tol);
        } else {
            for (unsigned z = s.min_precursor_charge; z <= s.max_precursor_charge; ++z) {
                plan_charge(m0 * static_cast<float>(z), static_cast<std::uint8_t>(z), s.precursor_tol);
            }
        }
    }

    // Counts the fragments found by every peak for every planned hypothesis,
    // then appends the groups' results to `out` in plan order.
    void run(const std::vector<Peak>& peaks, InitialHits& out) {
        count(peaks);
        emit_groups(out);
    }

    // Takes every planned hypothesis' counts from `wider`, which has counted
    // the same peaks with the same fragment lookups (same database, fragment
    // tolerance and fragment charges) for windows that hold these: a peptide's
    // count does not depend on the window it was counted for. False, with
    // nothing taken, where a slot lies outside what `wider` counted or a count
    // saturated (the sums would then differ from counting here).
    bool take_counts(const Matcher& wider) {
        const std::size_t peptide_count = scorer_.db->peptides.size();
        for (Hypothesis& h : hypotheses_) {
            const Hypothesis* w = wider.counterpart(h);
            if (w == nullptr) return forget_counts();
            const std::uint16_t* const from = wider.counts_.data() + w->slot_offset;
            std::uint16_t* const to = counts_.data() + h.slot_offset;
            for (std::size_t i = 0; i < h.slot_count; ++i) {
                const std::uint32_t p = h.peptide_lo + static_cast<std::uint32_t>(i);
                // Never counted here: the window's boundary peptides outside it, and positions past the last.
                if (p == h.excluded_lo || p == h.excluded_hi || p >= peptide_count) continue;
                if (p < w->peptide_lo || p > w->peptide_hi || p == w->excluded_lo || p == w->excluded_hi)
                    return forget_counts();
                const std::uint16_t c = from[p - w->peptide_lo];
                if (c == UINT16_MAX) return forget_counts();
                to[i] = c;
                h.total += c;
            }
        }
        return true;
    }

    // Appends the groups' results to `out` in plan order (after counting).
    void emit_groups(InitialHits& out) {
        for (const Group& g : groups_) {
            const std::size_t from = out.preliminary.size();
            for (std::size_t h = g.first; h < g.end; ++h) emit(hypotheses_[h], out);
            if (g.capped) apply_cap(out.preliminary, from, scorer_.report_psms);
        }
    }

private:
    struct Hypothesis {
        std::uint32_t peptide_lo;  // the precursor range of the index query
        std::uint32_t peptide_hi;
        float precursor_low;
        float precursor_high;
        std::uint8_t charge;
        std::int8_t isotope_error;
        std::uint8_t fragment_charge_limit;
        // The boundary peptides outside the precursor window, else kEmptySlot
        // (never a peptide index): their records are not counted.
        std::uint32_t excluded_lo;
        std::uint32_t excluded_hi;
        // The peptides whose records are counted, [run_lo, run_end): the range
        // without its excluded ends, so that counting needs no test for them.
        std::uint32_t run_lo;
        std::uint64_t run_end;
        std::size_t slot_offset;
        std::size_t slot_count;
        std::uint32_t total = 0;  // fragment lookups that found a fragment
    };
    struct Group {
        std::size_t first;
        std::size_t end;
        bool capped;
    };

    // The hypothesis planned here for h's precursor charge with h's fragment charges, if any.
    const Hypothesis* counterpart(const Hypothesis& h) const {
        for (const Hypothesis& w : hypotheses_) {
            if (w.charge == h.charge && w.fragment_charge_limit == h.fragment_charge_limit) return &w;
        }
        return nullptr;
    }

    bool forget_counts() {
        std::fill(counts_.begin(), counts_.end(), std::uint16_t{0});
        for (Hypothesis& h : hypotheses_) h.total = 0;
        return false;
    }

    void add(float precursor_mass, std::uint8_t charge, const Tolerance& precursor_tol,
             std::int8_t isotope_error) {
        const float mass = precursor_mass - static_cast<float>(isotope_error) * kIsotopeSpacing;
        const IndexedQuery query = scorer_.db->query(mass, precursor_tol, scorer_.fragment_tol);
        // One slot per peptide position from peptide_lo to peptide_hi inclusive.
        const std::size_t count = static_cast<std::size_t>(query.peptide_hi - query.peptide_lo) + 1;
        const auto [low, high] = precursor_tol.bounds(mass);
        // Only the two boundary peptides can lie outside the precursor window
        // (either may be past the last peptide).
        const PeptideTable& peptides = scorer_.db->peptides;
        const std::uint32_t lo = query.peptide_lo;
        const std::uint32_t hi = query.peptide_hi;
        const bool lo_out = lo < peptides.size() && !(peptides.mass(lo) >= low);
        const bool hi_out = hi < peptides.size() && !(peptides.mass(hi) <= high);
        hypotheses_.push_back({lo, hi, low, high, charge, isotope_error, scorer_.fragment_charge_limit(charge),
                               lo_out ? lo : PreliminaryScore::kEmptySlot,
                               hi_out ? hi : PreliminaryScore::kEmptySlot, lo + std::uint32_t{lo_out},
                               std::uint64_t{hi} + 1 - std::uint64_t{hi_out}, counts_.size(), count});
        counts_.resize(counts_.size() + count);
    }

    // One bucket a fragment window reaches, at one fragment charge.
    struct Lookup {
        std::size_t bucket;
        float fragment_low;
        float fragment_high;
        std::uint8_t charge;
    };

public:
    // Counts the fragments found by every peak for every planned hypothesis.
    // The spectrum's lookups are listed first, so that what each reads can be
    // requested ahead in two stages: its directory entries 2 kAhead lookups
    // before it is counted, its records (found through them) kAhead before.
    // Buckets and directory are large and cold, and waiting on one miss at a
    // time is what costs here; requesting every directory entry at once
    // would stall on the processor's few outstanding misses instead.
    void count(const std::vector<Peak>& peaks) {
        const IndexedDatabase& db = *scorer_.db;
        const std::vector<float>& minima = db.bucket_min_mass;
        const auto minimum_key = [&](std::size_t k) { return total_order_key(minima[k]); };
        std::uint8_t max_limit = 0;
        for (const Hypothesis& h : hypotheses_) {
            max_limit = std::max(max_limit, h.fragment_charge_limit);
        }

        lookups_.clear();
        for (const Peak& peak : peaks) {
            for (std::uint8_t c = 1; c < max_limit; ++c) {
                const float fragment_mass = peak.mass * static_cast<float>(c);
                const auto [fragment_low, fragment_high] =
                    scorer_.fragment_tol.bounds(fragment_mass);
                const auto [first_bucket, end_bucket] =
                    range_bounds(minima.size(), minimum_key, total_order_key(fragment_low),
                                 total_order_key(fragment_high));
                for (std::size_t k = first_bucket; k < end_bucket; ++k) {
                    lookups_.push_back({k, fragment_low, fragment_high, c});
                }
            }
        }

        constexpr std::size_t kAhead = 16;
        for (std::size_t i = 0; i < std::min(2 * kAhead, lookups_.size()); ++i) {
            fetch_directory(lookups_[i]);
        }
        for (std::size_t i = 0; i < lookups_.size(); ++i) {
            if (i + 2 * kAhead < lookups_.size()) fetch_directory(lookups_[i + 2 * kAhead]);
            if (i + kAhead < lookups_.size()) fetch_records(lookups_[i + kAhead]);
            const Lookup& l = lookups_[i];
            const std::size_t length = bucket_length(l.bucket);
            const Theoretical* slice = db.fragments.data() + l.bucket * db.bucket_size;
            for (Hypothesis& h : hypotheses_) {
                if (l.charge >= h.fragment_charge_limit) continue;
                const auto [first, last] = db.bucket_span(l.bucket, h.run_lo, length);
                const Theoretical* start = std::partition_point(
                    slice + first, slice + last,
                    [&](const Theoretical& t) { return t.peptide_index < h.run_lo; });
                count_run(h, start, slice + length, l.fragment_low, l.fragment_high);
            }
        }
    }

private:
    std::size_t bucket_length(std::size_t k) const {
        const IndexedDatabase& db = *scorer_.db;
        return std::min(db.bucket_size, db.fragments.size() - k * db.bucket_size);
    }

    // Always inlined: GCC deems a void function of prefetches pure and drops calls to it.
    [[gnu::always_inline]] void fetch_directory(const Lookup& l) const {
        const IndexedDatabase& db = *scorer_.db;
        if (db.directory.empty()) return;
        const std::uint32_t* entries = db.directory.data() + l.bucket * db.directory_stride;
        for (const Hypothesis& h : hypotheses_) {
            if (l.charge >= h.fragment_charge_limit) continue;
            const std::uint64_t cell = std::uint64_t{h.run_lo} >> db.directory_shift;
            __builtin_prefetch(entries + std::min<std::uint64_t>(cell, db.directory_stride - 1));
        }
    }

    [[gnu::always_inline]] void fetch_records(const Lookup& l) const {
        const IndexedDatabase& db = *scorer_.db;
        const std::size_t length = bucket_length(l.bucket);
        const Theoretical* slice = db.fragments.data() + l.bucket * db.bucket_size;
        for (const Hypothesis& h : hypotheses_) {
            if (l.charge >= h.fragment_charge_limit) continue;
            const auto [first, last] = db.bucket_span(l.bucket, h.run_lo, length);
            __builtin_prefetch(slice + first);
            __builtin_prefetch(slice + first + (last - first) / 2);
        }
    }

    // Counts the records from `first` (the first of the hypothesis' counted
    // peptides) to the end of its run or `end`, whichever comes first.
    // Without branches on the data: about one record in eight is a find, at
    // random, which a branch would mispredict.
    void count_run(Hypothesis& h, const Theoretical* first, const Theoretical* end,
                   float fragment_low, float fragment_high) {
        const std::uint32_t lo = h.peptide_lo;
        const std::uint64_t run_end = h.run_end;
        std::uint16_t* const counts = counts_.data() + h.slot_offset;
        std::uint32_t total = 0;
        for (const Theoretical* record = first; record != end && record->peptide_index < run_end;
             ++record) {
            const unsigned hit = static_cast<unsigned>(record->fragment_mass >= fragment_low) &
                                 static_cast<unsigned>(record->fragment_mass <= fragment_high);
            std::uint16_t& count = counts[record->peptide_index - lo];
            // Saturate rather than wrap: a wrapped count would rank a heavily
            // matched peptide last, or leave it out as found nothing.
            count = static_cast<std::uint16_t>(count + (hit & static_cast<unsigned>(count != UINT16_MAX)));
            total += hit;
        }
        h.total += total;
    }

    // The candidate of slot i of hypothesis h: empty when nothing was found.
    static PreliminaryScore slot(const Hypothesis& h, const std::uint16_t* counts, std::size_t i) {
        if (counts[i] == 0) return {};
        return {h.peptide_lo + static_cast<std::uint32_t>(i), counts[i], h.charge, h.isotope_error};
    }

    // The result of one hypothesis: its capped slots, or every slot untouched
    // and unselected when nothing was found. The capped slots are those
    // `bounded_min_heapify` leaves, in its order; empty slots, the least of
    // all, never displace its root, so only the found ones are offered. The
    // slots with a find are counted here rather than while counting, where
    // it would cost a test per record.
    void emit(const Hypothesis& h, InitialHits& out) {
        const std::uint16_t* const counts = counts_.data() + h.slot_offset;
        std::size_t kept = h.slot_count;
        if (h.total != 0) {
            kept = static_cast<std::size_t>(
                std::min<std::uint64_t>(kept, cap(h.slot_count, scorer_.report_psms)));
        }
        const std::size_t from = out.preliminary.size();
        for (std::size_t i = 0; i < kept; ++i) out.preliminary.push_back(slot(h, counts, i));
        if (kept < h.slot_count) {
            const std::span<PreliminaryScore> heap = std::span(out.preliminary).subspan(from);
            make_min_heap(heap);
            // A slot is offered only where the heap takes it: its peptide lies
            // above every peptide offered before, so it beats the root exactly
            // when its count is at least the root's (and not zero). Blocks
            // holding no such count are passed over whole.
            std::uint16_t threshold = admission(heap.front());
            std::size_t j = kept;
            for (; j < h.slot_count && j % kBlock != 0; ++j) {
                if (counts[j] >= threshold) threshold = take(heap, h, counts, j);
            }
            for (; j + kBlock <= h.slot_count; j += kBlock) {
                if (block_max(counts + j) < threshold) continue;
                for (std::size_t i = j; i < j + kBlock; ++i) {
                    if (counts[i] >= threshold) threshold = take(heap, h, counts, i);
                }
            }
            for (; j < h.slot_count; ++j) {
                if (counts[j] >= threshold) threshold = take(heap, h, counts, j);
            }
        }
        out.matched_peaks += h.total;
        out.scored_candidates += found_slots(counts, h.slot_count);
    }

    static constexpr std::size_t kBlock = 32;

    // The least count the heap takes from a later slot: one above nothing
    // found while its root is an empty slot.
    static std::uint16_t admission(const PreliminaryScore& root) {
        return root.is_empty() ? std::uint16_t{1} : std::max<std::uint16_t>(root.matched, 1);
    }

    static std::uint16_t take(std::span<PreliminaryScore> heap, const Hypothesis& h, const std::uint16_t* counts,
                              std::size_t i) {
        offer(heap, slot(h, counts, i));
        return admission(heap.front());
    }

    // Written as plain loops over fixed lengths so that the compiler turns them into vector code.
    static std::uint16_t block_max(const std::uint16_t* counts) {
        std::uint16_t most = 0;
        for (std::size_t i = 0; i < kBlock; ++i) most = std::max(most, counts[i]);
        return most;
    }

    static std::uint32_t found_slots(const std::uint16_t* counts, std::size_t n) {
        std::uint32_t found = 0;
        for (std::size_t i = 0; i < n; ++i) found += static_cast<std::uint32_t>(counts[i] != 0);
        return found;
    }

    const Scorer& scorer_;
    std::vector<Hypothesis> hypotheses_;
    std::vector<Group> groups_;
    std::vector<Lookup> lookups_;
    std::vector<std::uint16_t> counts_;  // the found fragments of each hypothesis' peptides
};

}  // namespace

InitialHits Scorer::matched_peaks_with_isotope(const std::vector<Peak>& peaks, float precursor_mass,
                                               std::uint8_t precursor_charge,
                                               const Tolerance& precursor_tol,
                                               std::int8_t isotope_error) const {
    Matcher matcher(*this);
    matcher.plan_hypothesis(precursor_mass, precursor_charge, precursor_tol, isotope_error);
    InitialHits out;
    matcher.run(peaks, out);
    return out;
}

InitialHits Scorer::initial_hits(const ProcessedSpectrum& spectrum,
                                 const Precursor& precursor) const {
    Matcher matcher(*this);
    matcher.plan(precursor);
    InitialHits out;
    matcher.run(spectrum.peaks, out);
    apply_cap(out.preliminary, 0, report_psms);
    return out;
}

PairedHits paired_initial_hits(const Scorer& main, const Scorer& wider, const ProcessedSpectrum& spectrum,
                               const Precursor& precursor) {
    Matcher outer(wider);
    outer.plan(precursor);
    outer.count(spectrum.peaks);
    Matcher inner(main);
    inner.plan(precursor);
    PairedHits out;
    out.shared = shares_lookups(main, wider) && inner.take_counts(outer);
    if (!out.shared) inner.count(spectrum.peaks);
    inner.emit_groups(out.main);
    apply_cap(out.main.preliminary, 0, main.report_psms);
    outer.emit_groups(out.wider);
    apply_cap(out.wider.preliminary, 0, wider.report_psms);
    // The candidates' peptide rows, which their detailed scoring reads next,
    // are spread over the whole table: requested all at once, their cache
    // misses overlap instead of coming one candidate at a time.
    const PeptideTable& peptides = main.db->peptides;
    for (const InitialHits* hits : {&out.main, &out.wider}) {
        for (const PreliminaryScore& c : hits->preliminary) {
            if (!c.is_empty() && c.peptide < peptides.size()) peptides.request_row(c.peptide);
        }
    }
    for (const InitialHits* hits : {&out.main, &out.wider}) {
        for (const PreliminaryScore& c : hits->preliminary) {
            if (!c.is_empty() && c.peptide < peptides.size()) peptides.request_residues(c.peptide);
        }
    }
    return out;
}

}  // namespace tamrel
