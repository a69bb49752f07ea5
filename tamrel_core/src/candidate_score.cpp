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

thread_local const PeakScreen* current_screen = nullptr;

// Bins on the scale of the window's width (its width at 1,000 for ppm), to
// within a power of two: a window then spans one or two bins.
float screen_scale(const Tolerance& tol) {
    const float width = tol.unit == Tolerance::Unit::Ppm ? (tol.plus - tol.minus) / 1000.0f : tol.plus - tol.minus;
    float scale = 1.0f;
    if (!(width > 0.0f)) return scale;
    while (scale < 64.0f && width * scale < 0.5f) scale *= 2.0f;
    while (scale > 1.0f / 64.0f && width * scale > 1.0f) scale /= 2.0f;
    return scale;
}

// The most bins a screen keeps (a bit each): masses beyond go unscreened.
constexpr std::size_t kMaxBins = std::size_t{1} << 20;

}  // namespace

PeakScreen::PeakScreen(const ProcessedSpectrum& spectrum, const Tolerance& fragment_tol)
    : spectrum_(&spectrum),
      peaks_(spectrum.peaks.data()),
      peak_count_(spectrum.peaks.size()),
      outer_(current_screen),
      in_order_(peaks_in_order(spectrum.peaks)),
      scale_(screen_scale(fragment_tol)) {
    float top = 0.0f;
    for (const Peak& p : spectrum.peaks) {
        if (!(p.mass >= 0.0f && p.mass * scale_ < static_cast<float>(kMaxBins))) {
            current_screen = this;  // unusable: every look-up searches the peaks
            return;
        }
        top = std::max(top, p.mass);
    }
    const auto bins = static_cast<std::size_t>(top * scale_) + 1;
    bins_.assign((bins + 63) / 64, 0);
    for (const Peak& p : spectrum.peaks) {
        const auto bin = static_cast<std::size_t>(p.mass * scale_);
        bins_[bin / 64] |= std::uint64_t{1} << (bin % 64);
    }
    usable_ = true;
    current_screen = this;
}

PeakScreen::~PeakScreen() { current_screen = outer_; }

const PeakScreen* PeakScreen::of(const ProcessedSpectrum& spectrum) {
    const PeakScreen* screen = current_screen;
    if (screen && screen->spectrum_ == &spectrum && screen->peaks_ == spectrum.peaks.data() &&
        screen->peak_count_ == spectrum.peaks.size()) {
        return screen;
    }
    return nullptr;
}

// Scaling by a power of two is exact and keeps the order of masses, so a
// mass in [low, high] has its bin between the bins of low and high.
bool PeakScreen::may_hold(float low, float high) const {
    if (!usable_) return true;
    if (!(low <= high)) return false;  // also a window with a NaN bound: no mass compares inside it
    const float bins = static_cast<float>(bins_.size() * 64);
    const float from = low * scale_;
    const float to = high * scale_;
    if (to < 0.0f || from >= bins) return false;  // every peak lies in [0, bins)
    const std::size_t first = from <= 0.0f ? 0 : static_cast<std::size_t>(from);
    const std::size_t last = to >= bins ? bins_.size() * 64 - 1 : static_cast<std::size_t>(to);
    for (std::size_t word = first / 64; word <= last / 64; ++word) {
        std::uint64_t bits = bins_[word];
        if (word == first / 64) bits &= ~std::uint64_t{0} << (first % 64);
        if (word == last / 64) bits &= ~std::uint64_t{0} >> (63 - last % 64);
        if (bits != 0) return true;
    }
    return false;
}

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
    const PeakScreen* const screen = PeakScreen::of(spectrum);
    const bool in_order = screen ? screen->in_order() : peaks_in_order(spectrum.peaks);
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
                if (screen) {
                    const auto [low, high] = fragment_tol.bounds(target);
                    if (!screen->may_hold(low, high)) continue;
                }
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
