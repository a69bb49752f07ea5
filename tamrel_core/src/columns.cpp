#include "tamrel/columns.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <numeric>
#include <tuple>

#include "tamrel/parallel.hpp"
#include "tamrel/utf8.hpp"

namespace tamrel {

namespace {

// Columns of `n` rows, every value default until written.
FeatureColumns sized_columns(std::size_t n) {
    FeatureColumns c;
#define TAMREL_RESIZE(type, name) c.name.resize(n);
    TAMREL_FEATURE_COLUMNS(TAMREL_RESIZE)
#undef TAMREL_RESIZE
    return c;
}

// Moves one feature into row `row` of the columns, its peptide looked up in
// `db`. Rows are written independently, so different rows may be written at once.
void put_row(FeatureColumns& c, std::size_t row, Feature& f, const IndexedDatabase& db) {
    // Read in place: a copy of the peptide would only be dropped again.
    const std::optional<PeptideView> peptide =
        f.peptide_idx < db.peptides.size() ? std::optional(db.peptides[f.peptide_idx]) : std::nullopt;
    c.file_id[row] = f.file_id;
    c.spec_id[row] = std::move(f.spec_id);
    c.psm_id[row] = f.psm_id;
    c.rank[row] = f.rank;
    if (peptide) {
        c.peptide_len[row] = static_cast<std::uint32_t>(peptide->length());
        c.missed_cleavages[row] = f.missed_cleavages;
        c.sequence[row] = lossy_utf8(peptide->sequence);
        c.modifications[row] = peptide->combined_mod_array();
    }
    c.expmass[row] = f.expmass;
    c.calcmass[row] = f.calcmass;
    c.charge[row] = f.charge;
    c.delta_mass[row] = f.delta_mass;
    c.isotope_error[row] = f.isotope_error;
    c.average_ppm[row] = f.average_ppm;
    c.hyperscore[row] = f.hyperscore;
    c.delta_next[row] = f.delta_next;
    c.delta_best[row] = f.delta_best;
    c.poisson[row] = f.poisson;
    c.discriminant_score[row] = f.discriminant_score;
    c.matched_peaks[row] = f.matched_peaks;
    c.matched_intensity_pct[row] = f.matched_intensity_pct;
    c.longest_b[row] = f.longest_b;
    c.longest_y[row] = f.longest_y;
    c.longest_y_pct[row] = f.longest_y_pct;
    c.scored_candidates[row] = f.scored_candidates;
    c.ms2_intensity[row] = f.ms2_intensity;
    c.rt[row] = f.rt;
    c.aligned_rt[row] = f.aligned_rt;
    c.predicted_rt[row] = f.predicted_rt;
    c.delta_rt_model[row] = f.delta_rt_model;
    c.ims[row] = f.ims;
    c.predicted_ims[row] = f.predicted_ims;
    c.delta_ims_model[row] = f.delta_ims_model;
    c.label[row] = f.label;
    c.spectrum_q[row] = f.spectrum_q;
    c.peptide_q[row] = f.peptide_q;
    c.protein_q[row] = f.protein_q;
    c.posterior_error[row] = f.posterior_error;
}

}  // namespace

FeatureColumns features_to_arrays(std::vector<Feature>&& features, const IndexedDatabase& db) {
    FeatureColumns c = sized_columns(features.size());
    for (std::size_t row = 0; row < features.size(); ++row) put_row(c, row, features[row], db);
    std::vector<Feature>().swap(features);
    return c;
}

namespace {

// The features of every spectrum, in spectrum order, as columns: each
// spectrum's rows written in place on the pool (no array of all features in
// between), its features freed as they are moved.
FeatureColumns concatenated(std::vector<std::vector<Feature>>& per_spectrum, const IndexedDatabase& db) {
    std::vector<std::size_t> first_row(per_spectrum.size() + 1, 0);
    for (std::size_t i = 0; i < per_spectrum.size(); ++i) first_row[i + 1] = first_row[i] + per_spectrum[i].size();
    FeatureColumns c = sized_columns(first_row.back());
    parallel_for(per_spectrum.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            std::size_t row = first_row[i];
            for (Feature& f : per_spectrum[i]) put_row(c, row++, f, db);
            std::vector<Feature>().swap(per_spectrum[i]);
        }
    });
    return c;
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
