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

    // Counts the fragments found by every peak for every planned hypothesis,
    // then appends the groups' results to `out` in plan order.
    void run(const std::vector<Peak>& peaks, InitialHits& out) {
        count(peaks);
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
        std::size_t slot_offset;
        std::size_t slot_count;
        std::uint32_t total = 0;     // fragment lookups that found a fragment
        std::uint32_t distinct = 0;  // slots that found at least one
    };
    struct Group {
        std::size_t first;
        std::size_t end;
        bool capped;
    };

    void add(float precursor_mass, std::uint8_t charge, const Tolerance& precursor_tol,
             std::int8_t isotope_error) {
        const float mass = precursor_mass - static_cast<float>(isotope_error) * kIsotopeSpacing;
        const IndexedQuery query = scorer_.db->query(mass, precursor_tol, scorer_.fragment_tol);
        // One slot per peptide position from peptide_lo to peptide_hi inclusive.
        const std::size_t count = static_cast<std::size_t>(query.peptide_hi - query.peptide_lo) + 1;
        const auto [low, high] = precursor_tol.bounds(mass);
        hypotheses_.push_back({query.peptide_lo, query.peptide_hi, low, high, charge, isotope_error,
                               scorer_.fragment_charge_limit(charge), slots_.size(), count});
        slots_.resize(slots_.size() + count);
    }

    // One bucket a fragment window reaches, at one fragment charge.
    struct Lookup {
        std::size_t bucket;
        float fragment_low;
        float fragment_high;
        std::uint8_t charge;
    };

    // The spectrum's lookups are listed first, so that what each reads can be
    // requested well ahead: its directory entries as it is listed, its
    // records a few lookups before it is counted. Buckets and directory are
    // large and cold, and waiting on one miss at a time is what costs here.
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
                    fetch_directory(lookups_.back());
                }
            }
        }

        constexpr std::size_t kAhead = 8;
        for (std::size_t i = 0; i < lookups_.size(); ++i) {
            if (i + kAhead < lookups_.size()) fetch_records(lookups_[i + kAhead]);
            const Lookup& l = lookups_[i];
            const std::size_t length = bucket_length(l.bucket);
            const Theoretical* slice = db.fragments.data() + l.bucket * db.bucket_size;
            for (Hypothesis& h : hypotheses_) {
                if (l.charge >= h.fragment_charge_limit) continue;
                const auto [first, last] = db.bucket_span(l.bucket, h.peptide_lo, length);
                const Theoretical* start = std::partition_point(
                    slice + first, slice + last,
                    [&](const Theoretical& t) { return t.peptide_index < h.peptide_lo; });
                count_run(h, start, slice + length, l.fragment_low, l.fragment_high);
            }
        }
    }

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
            const std::uint64_t cell = std::uint64_t{h.peptide_lo} >> db.directory_shift;
            __builtin_prefetch(entries + std::min<std::uint64_t>(cell, db.directory_stride - 1));
        }
    }

    [[gnu::always_inline]] void fetch_records(const Lookup& l) const {
        const IndexedDatabase& db = *scorer_.db;
        const std::size_t length = bucket_length(l.bucket);
        const Theoretical* slice = db.fragments.data() + l.bucket * db.bucket_size;
        for (const Hypothesis& h : hypotheses_) {
            if (l.charge >= h.fragment_charge_limit) continue;
            const auto [first, last] = db.bucket_span(l.bucket, h.peptide_lo, length);
            __builtin_prefetch(slice + first);
            __builtin_prefetch(slice + first + (last - first) / 2);
        }
    }

    // Counts the records from `first` (the first not below the hypothesis'
    // peptide range) to the end of that range or `end`, whichever comes first.
    void count_run(Hypothesis& h, const Theoretical* first, const Theoretical* end,
                   float fragment_low, float fragment_high) {
        const std::uint32_t lo = h.peptide_lo;
        const std::uint32_t hi = h.peptide_hi;
        const PeptideTable& peptides = scorer_.db->peptides;
        PreliminaryScore* const slots = slots_.data() + h.slot_offset;
        for (const Theoretical* record = first; record != end && record->peptide_index <= hi;
             ++record) {
            const Theoretical& t = *record;
            if (!(t.fragment_mass >= fragment_low && t.fragment_mass <= fragment_high)) continue;
            // Only the two boundary peptides can lie outside the precursor window.
            if (t.peptide_index == lo && !(peptides.mass(lo) >= h.precursor_low)) continue;
            if (t.peptide_index == hi && !(peptides.mass(hi) <= h.precursor_high)) continue;
            PreliminaryScore& slot = slots[t.peptide_index - lo];
            if (slot.matched == 0) {
                slot.peptide = t.peptide_index;
                slot.precursor_charge = h.charge;
                slot.isotope_error = h.isotope_error;
                ++h.distinct;
            }
            // Saturate rather than wrap: a wrapped count would rank a heavily
            // matched peptide last and count it twice as distinct.
            if (slot.matched != UINT16_MAX) ++slot.matched;
            ++h.total;
        }
    }

    // The result of one hypothesis: its capped slots, or every slot untouched
    // and unselected when nothing was found.
    void emit(const Hypothesis& h, InitialHits& out) {
        const auto first = slots_.begin() + static_cast<std::ptrdiff_t>(h.slot_offset);
        std::size_t kept = h.slot_count;
        if (h.total != 0) {
            kept = static_cast<std::size_t>(
                std::min<std::uint64_t>(kept, cap(h.slot_count, scorer_.report_psms)));
            if (kept < h.slot_count) {
                bounded_min_heapify(std::span(&*first, h.slot_count), kept);
            }
        }
        out.preliminary.insert(out.preliminary.end(), first,
                               first + static_cast<std::ptrdiff_t>(kept));
        out.matched_peaks += h.total;
        out.scored_candidates += h.distinct;
    }

    const Scorer& scorer_;
    std::vector<Hypothesis> hypotheses_;
    std::vector<Group> groups_;
    std::vector<Lookup> lookups_;
    std::vector<PreliminaryScore> slots_;
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
    const float m0 = precursor.mz - kProtonMass;
    Matcher matcher(*this);
    if (wide_window) {
        const Tolerance window = precursor.isolation_window.value_or(Tolerance::da(-2.4f, 2.4f));
        for (unsigned z = min_precursor_charge; z <= max_precursor_charge; ++z) {
            const float fz = static_cast<float>(z);
            Tolerance scaled = window;
            scaled.minus = window.minus * fz;
            scaled.plus = window.plus * fz;
            matcher.plan_charge(m0 * fz, static_cast<std::uint8_t>(z), scaled);
        }
    } else if (precursor.charge && !force_charge_range) {
        const std::uint8_t z = *precursor.charge;
        matcher.plan_charge(m0 * static_cast<float>(z), z, precursor_tol);
    } else {
        for (unsigned z = min_precursor_charge; z <= max_precursor_charge; ++z) {
            matcher.plan_charge(m0 * static_cast<float>(z), static_cast<std::uint8_t>(z),
                                precursor_tol);
        }
    }
    InitialHits out;
    matcher.run(spectrum.peaks, out);
    apply_cap(out.preliminary, 0, report_psms);
    return out;
}

}  // namespace tamrel
