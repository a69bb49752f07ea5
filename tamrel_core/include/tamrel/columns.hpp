// Many features as parallel columns, and the batch scoring that produces them.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tamrel/scoring.hpp"
#include "tamrel/spectrum.hpp"

namespace tamrel {

// The 38 columns in declaration order: (element type, name). This one list
// drives the record, the Python properties, `extend` and the column names.
#define TAMREL_FEATURE_COLUMNS(X)            \
    X(std::uint32_t, file_id)                \
    X(std::string, spec_id)                  \
    X(std::uint32_t, psm_id)                 \
    X(std::uint32_t, rank)                   \
    X(std::string, sequence)                 \
    X(std::vector<float>, modifications)     \
    X(std::uint32_t, peptide_len)            \
    X(std::uint8_t, missed_cleavages)        \
    X(float, expmass)                        \
    X(float, calcmass)                       \
    X(std::uint8_t, charge)                  \
    X(float, delta_mass)                     \
    X(float, isotope_error)                  \
    X(float, average_ppm)                    \
    X(double, hyperscore)                    \
    X(double, delta_next)                    \
    X(double, delta_best)                    \
    X(double, poisson)                       \
    X(float, discriminant_score)             \
    X(std::uint32_t, matched_peaks)          \
    X(float, matched_intensity_pct)          \
    X(std::uint32_t, longest_b)              \
    X(std::uint32_t, longest_y)              \
    X(float, longest_y_pct)                  \
    X(std::uint32_t, scored_candidates)      \
    X(float, ms2_intensity)                  \
    X(float, rt)                             \
    X(float, aligned_rt)                     \
    X(float, predicted_rt)                   \
    X(float, delta_rt_model)                 \
    X(float, ims)                            \
    X(float, predicted_ims)                  \
    X(float, delta_ims_model)                \
    X(std::int32_t, label)                   \
    X(float, spectrum_q)                     \
    X(float, peptide_q)                      \
    X(float, protein_q)                      \
    X(float, posterior_error)

struct FeatureColumns {
#define TAMREL_DECLARE_COLUMN(type, name) std::vector<type> name;
    TAMREL_FEATURE_COLUMNS(TAMREL_DECLARE_COLUMN)
#undef TAMREL_DECLARE_COLUMN
};

// Moves the features into columns, one row each in order; looks every
// peptide up in `db` (rows without one get empty sequence and modifications
// and zero length and missed cleavages).
FeatureColumns features_to_arrays(std::vector<Feature>&& features, const IndexedDatabase& db);

// Scores every spectrum on the worker pool and returns their features as
// columns, spectra in input order, each spectrum's features in rank order.
// The first failure on any spectrum fails the whole batch.
FeatureColumns score_batch(const ScorerSettings& settings, const SharedDatabase& db,
                           const std::vector<SharedSpectrum>& spectra);

// `score_batch` for `main` and for `wider` at once (see `score_pair`): the
// same columns as two calls.
std::pair<FeatureColumns, FeatureColumns> score_batch_pair(const ScorerSettings& main, const ScorerSettings& wider,
                                                           const SharedDatabase& db,
                                                           const std::vector<SharedSpectrum>& spectra);

}  // namespace tamrel
