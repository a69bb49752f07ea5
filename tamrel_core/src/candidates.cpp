// The preliminary candidate search: per precursor hypothesis, count for every
// peptide in the precursor window how many indexed fragments the peaks hit,
// and keep the best-counted candidates with a bounded heap.
#include <algorithm>
#include <cstddef>
#include <span>

#include "tamrel/heap.hpp"
#include "tamrel/scoring.hpp"

namespace tamrel {

namespace {

// Keeps the max(50, 2 report_psms) greatest of values[from, end) in heap
// order. Computed in 64 bits so that a huge report_psms cannot wrap.
void apply_cap(std::vector<PreliminaryScore>& values, std::size_t from, std::uint32_t report_psms) {
    const std::size_t len = values.size() - from;
    const std::uint64_t twice = 2 * static_cast<std::uint64_t>(report_psms);
    const std::uint64_t cap = std::min<std::uint64_t>(len, twice) > 50 ? twice : 50;
    if (cap >= len) return;
    bounded_min_heapify(std::span(values).subspan(from), static_cast<std::size_t>(cap));
    values.resize(from + static_cast<std::size_t>(cap));
}

// One matching pass over a spectrum's peaks; the slot array is reused from
// one hypothesis to the next.
class Matcher {
public:
    Matcher(const Scorer& scorer, const std::vector<Peak>& peaks) : scorer_(scorer), peaks_(peaks) {}

    void hypothesis(float precursor_mass, std::uint8_t charge, const Tolerance& precursor_tol,
                    std::int8_t isotope_error, InitialHits& out) {
        const float mass = precursor_mass - static_cast<float>(isotope_error) * kIsotopeSpacing;
        const IndexedQuery query = scorer_.db->query(mass, precursor_tol, scorer_.fragment_tol);
        const std::uint8_t limit = scorer_.fragment_charge_limit(charge);
        const std::uint32_t lo = query.peptide_lo;
        slots_.assign(static_cast<std::size_t>(query.peptide_hi - lo) + 1, PreliminaryScore{});

        PreliminaryScore* const slots = slots_.data();
        std::uint32_t total = 0;
        std::uint32_t distinct = 0;
        for (const Peak& peak : peaks_) {
            for (std::uint8_t c = 1; c < limit; ++c) {
                query.page_search(peak.mass * static_cast<float>(c), [&](const Theoretical& t) {
                    PreliminaryScore& slot = slots[t.peptide_index - lo];
                    if (slot.matched == 0) {
                        slot.peptide = t.peptide_index;
                        slot.precursor_charge = charge;
                        slot.isotope_error = isotope_error;
                        ++distinct;
                    }
                    // Saturate rather than wrap: a wrapped count would rank a
                    // heavily matched peptide last and count it twice as distinct.
                    if (slot.matched != UINT16_MAX) ++slot.matched;
                    ++total;
                });
            }
        }

        // Nothing found: every slot goes out untouched and unselected.
        if (total != 0) apply_cap(slots_, 0, scorer_.report_psms);
        out.preliminary.insert(out.preliminary.end(), slots_.begin(), slots_.end());
        out.matched_peaks += total;
        out.scored_candidates += distinct;
    }

    void charge(float precursor_mass, std::uint8_t charge, const Tolerance& precursor_tol,
                InitialHits& out) {
        const std::int8_t lo = scorer_.min_isotope_err;
        const std::int8_t hi = scorer_.max_isotope_err;
        if (lo == hi) {
            // Equal bounds mean "no isotope search": error 0, not the common value.
            hypothesis(precursor_mass, charge, precursor_tol, 0, out);
            return;
        }
        const std::size_t from = out.preliminary.size();
        for (int e = lo; e <= hi; ++e) {
            hypothesis(precursor_mass, charge, precursor_tol, static_cast<std::int8_t>(e), out);
        }
        apply_cap(out.preliminary, from, scorer_.report_psms);
    }

private:
    const Scorer& scorer_;
    const std::vector<Peak>& peaks_;
    std::vector<PreliminaryScore> slots_;
};

}  // namespace

InitialHits Scorer::matched_peaks_with_isotope(const std::vector<Peak>& peaks, float precursor_mass,
                                               std::uint8_t precursor_charge,
                                               const Tolerance& precursor_tol,
                                               std::int8_t isotope_error) const {
    InitialHits out;
    Matcher(*this, peaks).hypothesis(precursor_mass, precursor_charge, precursor_tol,
                                     isotope_error, out);
    return out;
}

InitialHits Scorer::matched_peaks(const std::vector<Peak>& peaks, float precursor_mass,
                                  std::uint8_t precursor_charge,
                                  const Tolerance& precursor_tol) const {
    InitialHits out;
    Matcher(*this, peaks).charge(precursor_mass, precursor_charge, precursor_tol, out);
    return out;
}

InitialHits Scorer::initial_hits(const ProcessedSpectrum& spectrum,
                                 const Precursor& precursor) const {
    const float m0 = precursor.mz - kProtonMass;
    Matcher matcher(*this, spectrum.peaks);
    InitialHits out;
    if (wide_window) {
        const Tolerance window = precursor.isolation_window.value_or(Tolerance::da(-2.4f, 2.4f));
        for (unsigned z = min_precursor_charge; z <= max_precursor_charge; ++z) {
            const float fz = static_cast<float>(z);
            Tolerance scaled = window;
            scaled.minus = window.minus * fz;
            scaled.plus = window.plus * fz;
            matcher.charge(m0 * fz, static_cast<std::uint8_t>(z), scaled, out);
        }
    } else if (precursor.charge && !force_charge_range) {
        const std::uint8_t z = *precursor.charge;
        matcher.charge(m0 * static_cast<float>(z), z, precursor_tol, out);
    } else {
        for (unsigned z = min_precursor_charge; z <= max_precursor_charge; ++z) {
            matcher.charge(m0 * static_cast<float>(z), static_cast<std::uint8_t>(z), precursor_tol,
                           out);
        }
    }
    apply_cap(out.preliminary, 0, report_psms);
    return out;
}

}  // namespace tamrel
