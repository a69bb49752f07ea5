// Small databases, spectra and scorers for the scoring tests. The database is
// assembled by hand (fragments sorted by mass, bucketed, peptide order inside a
// bucket) so the tests do not depend on the parallel build.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tamrel/ion_series.hpp"
#include "tamrel/scoring.hpp"
#include "tamrel/total_order.hpp"

namespace tamrel::testing {

inline float sequence_mass(std::string_view sequence) {
    float mass = 18.010565f;
    for (const char c : sequence) mass += residue_mass(static_cast<unsigned char>(c));
    return mass;
}

inline Peptide make_peptide(const std::string& sequence, std::optional<float> mass = std::nullopt,
                            bool decoy = false) {
    Peptide p = Peptide::from_user(sequence, mass.value_or(sequence_mass(sequence)), std::nullopt,
                                   std::nullopt, std::nullopt);
    p.decoy = decoy;
    return p;
}

inline SharedDatabase make_database(std::vector<Peptide> peptides,
                                    std::vector<Kind> kinds = {Kind::B, Kind::Y},
                                    std::size_t bucket_size = 4, std::size_t min_ion_index = 0) {
    auto db = std::make_shared<IndexedDatabase>();
    for (std::size_t i = 0; i < peptides.size(); ++i) {
        append_fragments(peptides[i], static_cast<std::uint32_t>(i), kinds, min_ion_index,
                         db->fragments.owned());
    }
    auto& f = db->fragments.owned();
    std::stable_sort(f.begin(), f.end(), [](const Theoretical& a, const Theoretical& b) {
        return total_order_key(a.fragment_mass) < total_order_key(b.fragment_mass);
    });
    for (std::size_t begin = 0; begin < f.size(); begin += bucket_size) {
        const auto first = f.begin() + static_cast<std::ptrdiff_t>(begin);
        const std::size_t stop = std::min(begin + bucket_size, f.size());
        const auto end = f.begin() + static_cast<std::ptrdiff_t>(stop);
        db->bucket_min_mass.push_back(f[begin].fragment_mass);
        std::stable_sort(first, end,
                         [](const Theoretical& a, const Theoretical& b) {
                             return a.peptide_index < b.peptide_index;
                         });
    }
    db->peptides = std::move(peptides);
    db->ion_kinds = std::move(kinds);
    db->bucket_size = bucket_size;
    return db;
}

inline std::vector<float> series_masses(const PeptideView& p, Kind kind) {
    std::vector<float> out;
    IonSeries series(p, kind);
    while (const auto m = series.next()) out.push_back(*m);
    return out;
}

// Peaks in the scorer's convention: neutral fragment mass over the charge.
inline std::vector<Peak> fragment_peaks(const Peptide& p, float intensity,
                                        std::vector<Kind> kinds = {Kind::B, Kind::Y}) {
    std::vector<Peak> peaks;
    for (const Kind k : kinds) {
        for (const float m : series_masses(p, k)) peaks.push_back({intensity, m});
    }
    return peaks;
}

inline Precursor precursor_for(float neutral_mass, std::uint8_t charge) {
    Precursor pre;
    pre.mz = neutral_mass / static_cast<float>(charge) + kProtonMass;
    pre.charge = charge;
    return pre;
}

// Peaks sorted by mass, total ion current summed from them.
inline ProcessedSpectrum make_spectrum(std::vector<Peak> peaks, std::optional<Precursor> pre,
                                       std::string id = "scan=1") {
    ProcessedSpectrum s;
    s.id = std::move(id);
    s.file_id = 3;
    s.scan_start_time = 12.5f;
    std::stable_sort(peaks.begin(), peaks.end(), [](const Peak& a, const Peak& b) {
        return total_order_key(a.mass) < total_order_key(b.mass);
    });
    for (const Peak& p : peaks) s.total_ion_current += p.intensity;
    s.peaks = std::move(peaks);
    if (pre) s.precursors.push_back(*pre);
    return s;
}

// Known precursor charge, one isotope hypothesis, standard ranking.
inline ScorerSettings narrow_settings() {
    ScorerSettings s;
    s.precursor_tol = Tolerance::da(-0.02f, 0.02f);
    s.fragment_tol = Tolerance::da(-0.01f, 0.01f);
    s.wide_window = false;
    s.chimera = false;
    s.min_isotope_err = 0;
    s.max_isotope_err = 0;
    return s;
}

}  // namespace tamrel::testing
