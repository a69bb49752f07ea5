// Ranking scored candidates and building the reported features.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "tamrel/error.hpp"
#include "tamrel/scoring.hpp"

namespace tamrel {

std::atomic<std::uint32_t> PSM_COUNTER{1};

namespace {

// Signed order of the result is the IEEE 754 total order of doubles.
std::int64_t total_key(double x) {
    const auto bits = std::bit_cast<std::int64_t>(x);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

std::uint16_t saturating_sum(std::uint16_t a, std::uint16_t b) {
    const unsigned sum = unsigned{a} + b;
    return sum > UINT16_MAX ? UINT16_MAX : static_cast<std::uint16_t>(sum);
}

// log10 of the Poisson probability of k matches at mean lambda, with
// e^(-lambda) precomputed; an overflowing probability reports -inf.
double poisson_log10(double lambda, double exp_neg_lambda, std::uint16_t k) {
    double powk = 1.0;
    double base = lambda;
    for (unsigned e = k; e != 0;) {
        if (e & 1) powk *= base;
        e >>= 1;
        if (e != 0) base *= base;
    }
    double prob = (exp_neg_lambda * powk) / std::exp(lnfact(k));
    if (std::isinf(prob)) prob = 0.0;
    return std::log10(prob);
}

}  // namespace

void reserve_features(std::vector<Feature>& out, std::uint64_t count, std::size_t useful) {
    if (count > static_cast<std::uint64_t>(PTRDIFF_MAX) / sizeof(Feature)) {
        fail("capacity overflow");
    }
    out.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(count, useful)));
}

void Scorer::build_features(const ProcessedSpectrum& spectrum, float precursor_mz,
                            const InitialHits& hits, std::size_t limit,
                            std::vector<Feature>& out) const {
    std::vector<Score> scores;
    scores.reserve(hits.preliminary.size());
    for (const PreliminaryScore& candidate : hits.preliminary) {
        if (candidate.is_empty()) continue;
        Score s = score_candidate(spectrum, candidate);
        if (saturating_sum(s.matched_n, s.matched_c) >= min_matched_peaks) {
            scores.push_back(std::move(s));
        }
    }
    // Stable: equal hyperscores keep the order the candidate selection left.
    std::stable_sort(scores.begin(), scores.end(), [](const Score& a, const Score& b) {
        return total_key(a.hyperscore) > total_key(b.hyperscore);
    });
    const std::size_t n = std::min(scores.size(), limit);
    if (n == 0) return;

    const double lambda =
        static_cast<double>(hits.matched_peaks) / static_cast<double>(hits.scored_candidates);
    const double exp_neg_lambda = std::exp(-lambda);
    const float m0 = precursor_mz - kProtonMass;
    const float ims = spectrum.precursors.empty()
                          ? 0.0f
                          : spectrum.precursors.front().inverse_ion_mobility.value_or(0.0f);
    const double best = scores.front().hyperscore;

    for (std::size_t i = 0; i < n; ++i) {
        Score& s = scores[i];
        const PeptideView peptide = at(db->peptides, s.peptide);
        const auto length = static_cast<std::uint32_t>(peptide.length());
        const std::uint16_t k = saturating_sum(s.matched_n, s.matched_c);
        const double next = i + 1 < scores.size() ? scores[i + 1].hyperscore : 0.0;

        Feature f;
        f.fragments = std::move(s.fragments);
        f.psm_id = PSM_COUNTER.fetch_add(1, std::memory_order_relaxed);
        f.hyperscore = s.hyperscore;
        f.delta_next = s.hyperscore - next;
        f.delta_best = best - s.hyperscore;
        f.matched_peaks = k;
        f.poisson = poisson_log10(lambda, exp_neg_lambda, k);

        f.charge = s.precursor_charge;
        f.expmass = m0 * static_cast<float>(f.charge);
        f.calcmass = peptide.monoisotopic;
        f.isotope_error = static_cast<float>(s.isotope_error) * kIsotopeSpacing;
        f.delta_mass = (((f.expmass - f.calcmass) - f.isotope_error) * 2000000.0f) /
                       ((f.expmass - f.isotope_error) + f.calcmass);

        f.ms2_intensity = s.intensity_n + s.intensity_c;
        f.matched_intensity_pct = (f.ms2_intensity * 100.0f) / spectrum.total_ion_current;

        f.longest_b = s.longest_b;
        f.longest_y = s.longest_y;
        f.longest_y_pct = static_cast<float>(s.longest_y) / static_cast<float>(length);
        f.peptide_len = length;
        f.peptide_idx = s.peptide;
        f.missed_cleavages = peptide.missed_cleavages;
        f.label = peptide.decoy ? -1 : 1;
        f.average_ppm = s.average_ppm;

        f.spec_id = spectrum.id;
        f.file_id = spectrum.file_id;
        f.rt = spectrum.scan_start_time;
        f.aligned_rt = spectrum.scan_start_time;
        f.ims = ims;
        f.rank = static_cast<std::uint32_t>(i + 1);
        f.scored_candidates = hits.scored_candidates;

        f.predicted_rt = 0.0f;
        f.delta_rt_model = kModelDelta;
        f.predicted_ims = 0.0f;
        f.delta_ims_model = kModelDelta;
        f.discriminant_score = 0.0f;
        f.posterior_error = 1.0f;
        f.spectrum_q = 1.0f;
        f.peptide_q = 1.0f;
        f.protein_q = 1.0f;
        out.push_back(std::move(f));
    }
}

std::vector<Feature> Scorer::score_standard(const ProcessedSpectrum& spectrum) const {
    if (spectrum.precursors.empty()) fail("missing MS1 precursor for " + spectrum.id);
    const Precursor& precursor = spectrum.precursors.front();
    const InitialHits hits = initial_hits(spectrum, precursor);
    std::vector<Feature> out;
    reserve_features(out, report_psms, hits.preliminary.size());
    build_features(spectrum, precursor.mz, hits, report_psms, out);
    return out;
}

}  // namespace tamrel
