// Detailed scoring of one candidate: walk its fragment series, look up the most
// intense peak for every fragment and allowed charge, and sum up the matches.
#include <algorithm>
#include <array>
#include <cmath>

#include "tamrel/error.hpp"
#include "tamrel/ion_series.hpp"
#include "tamrel/scoring.hpp"

namespace tamrel {

namespace {

// Longest run of consecutive matched series positions of one terminus.
// `last` starts at 0, so a match at position 0 never starts a run.
struct RunTracker {
    std::uint32_t last = 0;
    std::uint32_t start = 0;
    std::uint32_t length = 0;
    std::uint32_t longest = 0;

    void update(std::uint32_t j) {
        if (j == last) return;  // the same ion matched at another charge
        if (j == start + length) {
            ++length;
        } else {
            start = j;
            length = 1;
        }
        longest = std::max(longest, length);
        last = j;
    }
};

// A count that would wrap past 65535 is plainly wrong; saturate instead.
void saturating_increment(std::uint16_t& count) {
    if (count != UINT16_MAX) ++count;
}

}  // namespace

double lnfact(std::uint32_t n) {
    if (n == 0) return 1.0;
    const double x = n;
    const double ln = std::log(x);
    return ((x * ln - x) + 0.5 * ln) + 0.5 * std::log(x * 6.283185307179586);
}

double score_type_score(ScoreType type, std::uint16_t nb, std::uint16_t ny, float ib, float iy) {
    double result;
    if (type == ScoreType::ProductHyperscore) {
        const float a = ib + 1.0f;
        const float b = iy + 1.0f;
        const double product = static_cast<double>(a) * static_cast<double>(b);
        result = (std::log(product) + lnfact(nb)) + lnfact(ny);
    } else {
        const float s = std::log1pf(ib + iy);
        result = (static_cast<double>(s) + lnfact(nb)) + lnfact(ny);
    }
    return std::isfinite(result) ? result : 255.0;
}

Score Scorer::score_candidate(const ProcessedSpectrum& spectrum,
                              const PreliminaryScore& candidate) const {
    const PeptideView peptide = at(db->peptides, candidate.peptide);
    const std::size_t length = peptide.length();
    const std::uint8_t charge_limit = fragment_charge_limit(candidate.precursor_charge);

    Score score;
    score.peptide = candidate.peptide;
    score.precursor_charge = candidate.precursor_charge;
    score.isotope_error = candidate.isotope_error;
    if (annotate_matches) score.fragments.emplace();

    RunTracker n_run;
    RunTracker c_run;
    float ppm_sum = 0.0f;
    // A cursor per fragment charge follows each series along the peaks; peaks
    // out of order (a caller's mistake) are searched as they are, as before.
    const bool in_order = peaks_in_order(spectrum.peaks);
    constexpr std::uint8_t kCursors = 4;
    for (const Kind kind : db->ion_kinds) {
        const bool n_terminal = is_n_terminal(kind);
        IonSeries series(peptide, kind);
        const PeakCursor fresh(spectrum.peaks);
        std::array<PeakCursor, kCursors> cursors{fresh, fresh, fresh, fresh};
        std::uint32_t j = 0;
        for (auto mass = series.next(); mass; mass = series.next(), ++j) {
            for (std::uint8_t c = 1; c < charge_limit; ++c) {
                const float target = *mass / static_cast<float>(c);
                const Peak* peak = in_order && c < kCursors
                                       ? cursors[c].select(target, fragment_tol)
                                       : select_most_intense_peak(spectrum.peaks, target, fragment_tol);
                if (!peak) continue;
                if (n_terminal) {
                    saturating_increment(score.matched_n);
                    score.intensity_n += peak->intensity;
                    n_run.update(j);
                } else {
                    saturating_increment(score.matched_c);
                    score.intensity_c += peak->intensity;
                    c_run.update(j);
                }
                ppm_sum += ((peak->intensity * std::fabs(target - peak->mass)) * 2000000.0f) /
                           (target + peak->mass);
                if (score.fragments) {
                    Fragments& f = *score.fragments;
                    f.charges.push_back(c);
                    f.kinds.push_back(kind);
                    f.fragment_ordinals.push_back(
                        static_cast<std::int32_t>(n_terminal ? j + 1 : (length - 1) - j));
                    f.intensities.push_back(peak->intensity);
                    f.mz_calculated.push_back(target + kProtonMass);
                    f.mz_experimental.push_back(peak->mass + kProtonMass);
                }
            }
        }
    }

    score.hyperscore = score_type_score(score_type, score.matched_n, score.matched_c,
                                        score.intensity_n, score.intensity_c);
    score.average_ppm = ppm_sum / (score.intensity_c + score.intensity_n);
    score.longest_b = n_run.longest;
    score.longest_y = c_run.longest;
    return score;
}

}  // namespace tamrel
