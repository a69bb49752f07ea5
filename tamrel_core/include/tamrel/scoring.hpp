// Scoring records: the assembled scorer, candidate scores and features.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tamrel/database.hpp"
#include "tamrel/spectrum.hpp"
#include "tamrel/tolerance.hpp"

namespace tamrel {

enum class ScoreType : std::uint8_t { ProductHyperscore = 0, SummedHyperscore = 1 };

// Matched-fragment annotations: six parallel arrays, one entry per match.
struct Fragments {
    std::vector<std::int32_t> charges;
    std::vector<Kind> kinds;
    std::vector<std::int32_t> fragment_ordinals;
    std::vector<float> intensities;
    std::vector<float> mz_calculated;
    std::vector<float> mz_experimental;
};

// One reported peptide-spectrum match.
struct Feature {
    double hyperscore = 0.0;
    float delta_mass = 0.0f;
    std::uint32_t rank = 0;
    std::uint32_t matched_peaks = 0;
    std::uint32_t peptide_idx = 0;
    std::uint32_t psm_id = 0;
    std::uint32_t peptide_len = 0;
    std::string spec_id;
    std::uint32_t file_id = 0;
    std::int32_t label = 0;
    float expmass = 0.0f;
    float calcmass = 0.0f;
    std::uint8_t charge = 0;
    float rt = 0.0f;
    float aligned_rt = 0.0f;
    float predicted_rt = 0.0f;
    float delta_rt_model = 0.0f;
    float ims = 0.0f;
    float predicted_ims = 0.0f;
    float delta_ims_model = 0.0f;
    float isotope_error = 0.0f;
    float average_ppm = 0.0f;
    double delta_next = 0.0;
    double delta_best = 0.0;
    std::uint32_t longest_b = 0;
    std::uint32_t longest_y = 0;
    float longest_y_pct = 0.0f;
    std::uint8_t missed_cleavages = 0;
    float matched_intensity_pct = 0.0f;
    std::uint32_t scored_candidates = 0;
    double poisson = 0.0;
    float discriminant_score = 0.0f;
    float posterior_error = 0.0f;
    float spectrum_q = 0.0f;
    float peptide_q = 0.0f;
    float protein_q = 0.0f;
    float ms2_intensity = 0.0f;
    std::optional<Fragments> fragments;
};

// Serial number source for `Feature::psm_id`; starts at 1, never reset.
extern std::atomic<std::uint32_t> PSM_COUNTER;

// Settings of a search, as a Python scorer stores them (everything but the database).
struct ScorerSettings {
    Tolerance precursor_tol;
    Tolerance fragment_tol;
    bool wide_window = true;
    bool chimera = true;
    std::uint32_t report_psms = 5;
    std::int8_t min_isotope_err = -1;
    std::int8_t max_isotope_err = 3;
    std::uint8_t min_precursor_charge = 2;
    std::uint8_t max_precursor_charge = 4;
    std::uint16_t min_matched_peaks = 3;
    bool annotate_matches = false;
    std::optional<std::uint8_t> max_fragment_charge = 2;
};

}  // namespace tamrel
