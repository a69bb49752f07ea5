#include "tamrel/columns.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <numeric>
#include <tuple>

#include "tamrel/parallel.hpp"
#include "tamrel/utf8.hpp"

namespace tamrel {

FeatureColumns features_to_arrays(std::vector<Feature>&& features, const IndexedDatabase& db) {
    FeatureColumns c;
    const std::size_t n = features.size();
#define TAMREL_RESERVE(type, name) c.name.reserve(n);
    TAMREL_FEATURE_COLUMNS(TAMREL_RESERVE)
#undef TAMREL_RESERVE
    for (Feature& f : features) {
        // Read in place: a copy of the peptide would only be dropped again.
        const std::optional<PeptideView> peptide =
            f.peptide_idx < db.peptides.size() ? std::optional(db.peptides[f.peptide_idx]) : std::nullopt;
        c.file_id.push_back(f.file_id);
        c.spec_id.push_back(std::move(f.spec_id));
        c.psm_id.push_back(f.psm_id);
        c.rank.push_back(f.rank);
        if (peptide) {
            c.peptide_len.push_back(static_cast<std::uint32_t>(peptide->length()));
            c.missed_cleavages.push_back(f.missed_cleavages);
            c.sequence.push_back(lossy_utf8(peptide->sequence));
            c.modifications.push_back(peptide->combined_mod_array());
        } else {
            c.peptide_len.push_back(0);
            c.missed_cleavages.push_back(0);
            c.sequence.emplace_back();
            c.modifications.emplace_back();
        }
        c.expmass.push_back(f.expmass);
        c.calcmass.push_back(f.calcmass);
        c.charge.push_back(f.charge);
        c.delta_mass.push_back(f.delta_mass);
        c.isotope_error.push_back(f.isotope_error);
        c.average_ppm.push_back(f.average_ppm);
        c.hyperscore.push_back(f.hyperscore);
        c.delta_next.push_back(f.delta_next);
        c.delta_best.push_back(f.delta_best);
        c.poisson.push_back(f.poisson);
        c.discriminant_score.push_back(f.discriminant_score);
        c.matched_peaks.push_back(f.matched_peaks);
        c.matched_intensity_pct.push_back(f.matched_intensity_pct);
        c.longest_b.push_back(f.longest_b);
        c.longest_y.push_back(f.longest_y);
        c.longest_y_pct.push_back(f.longest_y_pct);
        c.scored_candidates.push_back(f.scored_candidates);
        c.ms2_intensity.push_back(f.ms2_intensity);
        c.rt.push_back(f.rt);
        c.aligned_rt.push_back(f.aligned_rt);
        c.predicted_rt.push_back(f.predicted_rt);
        c.delta_rt_model.push_back(f.delta_rt_model);
        c.ims.push_back(f.ims);
        c.predicted_ims.push_back(f.predicted_ims);
        c.delta_ims_model.push_back(f.delta_ims_model);
        c.label.push_back(f.label);
        c.spectrum_q.push_back(f.spectrum_q);
        c.peptide_q.push_back(f.peptide_q);
        c.protein_q.push_back(f.protein_q);
        c.posterior_error.push_back(f.posterior_error);
    }
    std::vector<Feature>().swap(features);
    return c;
}

namespace {

// The features of every spectrum, in spectrum order, as columns.
FeatureColumns concatenated(std::vector<std::vector<Feature>>& per_spectrum, const IndexedDatabase& db) {
    std::size_t total = 0;
    for (const auto& features : per_spectrum) total += features.size();
    std::vector<Feature> all;
    all.reserve(total);
    for (auto& features : per_spectrum) {
        std::move(features.begin(), features.end(), std::back_inserter(all));
        std::vector<Feature>().swap(features);
    }
    return features_to_arrays(std::move(all), db);
}

// The order in which a batch's spectra are scored: by the neutral mass of
// their first precursor (an unknown charge taken as 2), so that spectra scored
// one after another search overlapping precursor windows, whose index records
// are then still in cache. Spectra without a usable mass come last, in input
// order, as do those that cannot be scored: the first of these to fail is the
// first in input order.
std::vector<std::size_t> mass_order(const std::vector<SharedSpectrum>& spectra) {
    std::vector<float> mass(spectra.size(), INFINITY);
    for (std::size_t i = 0; i < spectra.size(); ++i) {
        const ProcessedSpectrum& s = *spectra[i];
        if (s.level != 2 || s.precursors.empty()) continue;
        const Precursor& p = s.precursors.front();
        const float m = (p.mz - kProtonMass) * static_cast<float>(p.charge.value_or(2));
        if (std::isfinite(m)) mass[i] = m;
    }
    std::vector<std::size_t> order(spectra.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return mass[a] < mass[b]; });
    return order;
}

}  // namespace

FeatureColumns score_batch(const ScorerSettings& settings, const SharedDatabase& db,
                           const std::vector<SharedSpectrum>& spectra) {
    std::vector<std::vector<Feature>> per_spectrum(spectra.size());
    parallel_for(spectra.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            per_spectrum[i] = Scorer::assemble(settings, db).score(*spectra[i]);
        }
    });
    return concatenated(per_spectrum, *db);
}

std::pair<FeatureColumns, FeatureColumns> score_batch_pair(const ScorerSettings& main, const ScorerSettings& wider,
                                                           const SharedDatabase& db,
                                                           const std::vector<SharedSpectrum>& spectra) {
    std::vector<std::vector<Feature>> main_rows(spectra.size());
    std::vector<std::vector<Feature>> wider_rows(spectra.size());
    const std::vector<std::size_t> order = mass_order(spectra);
    parallel_for(spectra.size(), [&](std::size_t begin, std::size_t end) {
        const Scorer inner = Scorer::assemble(main, db);
        const Scorer outer = Scorer::assemble(wider, db);
        for (std::size_t k = begin; k < end; ++k) {
            const std::size_t i = order[k];
            std::tie(main_rows[i], wider_rows[i]) = score_pair(inner, outer, *spectra[i]);
        }
    });
    FeatureColumns first = concatenated(main_rows, *db);
    return {std::move(first), concatenated(wider_rows, *db)};
}

}  // namespace tamrel
