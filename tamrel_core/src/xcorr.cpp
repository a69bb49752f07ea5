#include "tamrel/xcorr.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>
#include <utility>

#include "tamrel/error.hpp"
#include "tamrel/fnv_set.hpp"
#include "tamrel/ion_series.hpp"
#include "tamrel/parallel.hpp"
#include "tamrel/scoring.hpp"

namespace tamrel {

namespace {

constexpr double kRegionHeight = 50.0;
constexpr double kFloorShare = 0.05;  // peaks below this share of the tallest are noise
constexpr double kScale = 0.005;      // puts typical matches between 0 and a few units
constexpr std::size_t kTailShare = 10;  // a candidate tail is fitted to the best tenth
constexpr std::int64_t kMaxDenseBins = std::int64_t{1} << 22;  // 32 MiB of doubles at most

// SplitMix64: small, fast and the same on every platform, unlike the
// standard distributions.
struct SplitMix {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
};

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

}  // namespace

XcorrSpectrum::XcorrSpectrum(const std::vector<Peak>& peaks, const XcorrSettings& settings) : settings_(settings) {
    if (!(settings.bin_width > 0.0f) || !std::isfinite(settings.bin_width) || settings.flank_bins == 0 ||
        settings.regions == 0)
        fail("cross-correlation settings need a positive bin width, flank and region count");
    std::vector<std::pair<std::int64_t, double>> binned;
    binned.reserve(peaks.size());
    double tallest = 0.0;
    for (const Peak& p : peaks) {
        if (!(p.mass > 0.0f) || !std::isfinite(p.mass) || !(p.intensity > 0.0f) || !std::isfinite(p.intensity))
            continue;
        const double root = std::sqrt(static_cast<double>(p.intensity));
        binned.emplace_back(bin_of(p.mass), root);
        tallest = std::max(tallest, root);
    }
    std::sort(binned.begin(), binned.end());
    // One value per bin (its tallest peak), noise dropped.
    for (const auto& [bin, value] : binned) {
        if (value < kFloorShare * tallest) continue;
        if (!bins_.empty() && bins_.back() == bin) {
            values_.back() = std::max(values_.back(), value);
        } else {
            bins_.push_back(bin);
            values_.push_back(value);
        }
    }
    if (!bins_.empty()) {
        // Regions of equal width over [0, last bin], each scaled to a common top.
        const std::int64_t width = bins_.back() / settings.regions + 1;
        std::vector<double> top(settings.regions, 0.0);
        auto region = [&](std::int64_t bin) {
            return static_cast<std::size_t>(std::clamp<std::int64_t>(bin / width, 0, settings.regions - 1));
        };
        for (std::size_t i = 0; i < bins_.size(); ++i) top[region(bins_[i])] = std::max(top[region(bins_[i])], values_[i]);
        for (std::size_t i = 0; i < bins_.size(); ++i) values_[i] *= kRegionHeight / top[region(bins_[i])];
    }
    prefix_.resize(values_.size() + 1, 0.0);
    std::partial_sum(values_.begin(), values_.end(), prefix_.begin() + 1);
    // Every bin a fragment can reach with a peak in its flank, looked up
    // directly: a match scores thousands of bins (its random ladders).
    if (!bins_.empty() && bins_.front() >= 0 && bins_.back() < kMaxDenseBins) {
        dense_.resize(static_cast<std::size_t>(bins_.back() + settings.flank_bins + 1));
        // `flanked` of every bin in one sweep: its three searches of the occupied
        // bins only move forwards as the bin does (the same sums, so the same values).
        const std::int64_t flank = settings.flank_bins;
        const std::size_t n = bins_.size();
        std::size_t own = 0, low = 0, high = 0;  // lower bound of b, upper bounds of b - flank - 1 and b + flank
        for (std::size_t b = 0; b < dense_.size(); ++b) {
            const auto bin = static_cast<std::int64_t>(b);
            while (own < n && bins_[own] < bin) ++own;
            while (low < n && bins_[low] <= bin - flank - 1) ++low;
            while (high < n && bins_[high] <= bin + flank) ++high;
            const double value = (own < n && bins_[own] == bin) ? values_[own] : 0.0;
            const double around = prefix_[high] - prefix_[low] - value;
            dense_[b] = value - around / static_cast<double>(2 * flank);
        }
    }
}

std::int64_t XcorrSpectrum::bin_of(float mass) const {
    return static_cast<std::int64_t>(
        std::floor(static_cast<double>(mass) / settings_.bin_width + static_cast<double>(settings_.bin_offset)));
}

double XcorrSpectrum::sum_through(std::int64_t bin) const {
    return prefix_[static_cast<std::size_t>(std::upper_bound(bins_.begin(), bins_.end(), bin) - bins_.begin())];
}

double XcorrSpectrum::at(std::int64_t bin) const {
    if (bin >= 0 && static_cast<std::uint64_t>(bin) < dense_.size()) return dense_[static_cast<std::size_t>(bin)];
    return flanked(bin);
}

double XcorrSpectrum::flanked(std::int64_t bin) const {
    const auto it = std::lower_bound(bins_.begin(), bins_.end(), bin);
    const double own = (it != bins_.end() && *it == bin) ? values_[static_cast<std::size_t>(it - bins_.begin())] : 0.0;
    const std::int64_t flank = settings_.flank_bins;
    const double around = sum_through(bin + flank) - sum_through(bin - flank - 1) - own;
    return own - around / static_cast<double>(2 * flank);
}

double XcorrSpectrum::score_deltas(const std::vector<float>& deltas, float nterm, float mass,
                                   std::uint8_t charge) const {
    const std::uint8_t limit = fragment_charge_limit(charge, settings_.max_fragment_charge);
    const std::size_t length = deltas.size();
    double total = 0.0;
    auto add = [&](float fragment) {
        for (std::uint8_t c = 1; c < limit; ++c) total += at(bin_of(fragment / static_cast<float>(c)));
    };
    float b = nterm;
    float y = mass - nterm;
    for (std::size_t j = 0; j + 1 < length; ++j) {
        b += deltas[j];
        y -= deltas[j];
        if (j + 1 >= 2) add(b);             // b ordinal j + 1
        if (length - 1 - j >= 2) add(y);    // y ordinal length - 1 - j
    }
    return total * kScale;
}

namespace {

std::vector<float> deltas_of(const LadderPeptide& peptide) {
    const std::size_t length = peptide.sequence.size();
    if (!peptide.modifications.empty() && peptide.modifications.size() != length)
        fail("a peptide's modifications must number its residues");
    std::vector<float> deltas(length);
    for (std::size_t i = 0; i < length; ++i) {
        deltas[i] = residue_mass(static_cast<unsigned char>(peptide.sequence[i])) +
                    (peptide.modifications.empty() ? 0.0f : peptide.modifications[i]);
    }
    return deltas;
}

}  // namespace

double XcorrSpectrum::score(const LadderPeptide& peptide, std::uint8_t precursor_charge) const {
    return score_deltas(deltas_of(peptide), peptide.nterm, peptide.mass, precursor_charge);
}

const XcorrSpectrum::NullFit& XcorrSpectrum::null_fit(const NullKey& key) const {
    for (const auto& [known, fit] : nulls_)
        if (known == key) return fit;
    SplitMix rng{fnv1a64(std::string_view(reinterpret_cast<const char*>(&key), sizeof key))};
    // Unrelated ladders of the key's mass: residues drawn uniformly from the
    // twenty standard ones until the interior mass is nearly used, the rest as
    // one last interior step, then the key's C-terminal residue (a tryptic K
    // or R). Ladders drawn from the peptide's own residues would share many
    // of its prefix sums.
    static constexpr char kStandard[] = "ACDEFGHIKLMNPQRSTVWY";
    const float budget = static_cast<float>(key.interior_tenths) / 10.0f;
    const float last = std::bit_cast<float>(key.last);
    const float nterm = std::bit_cast<float>(key.nterm);
    const float mass = nterm + budget + last + static_cast<float>(key.rest_hundredths) / 100.0f;
    std::vector<double> scores(settings_.null_ladders);
    std::vector<float> ladder;
    for (double& value : scores) {
        ladder.clear();
        float used = 0.0f;
        for (;;) {
            const float step = residue_mass(static_cast<unsigned char>(kStandard[rng.next() % 20]));
            if (used + step >= budget) break;
            ladder.push_back(step);
            used += step;
        }
        ladder.push_back(budget - used);
        ladder.push_back(last);
        value = score_deltas(ladder, nterm, mass, key.charge);
    }
    NullFit fit;
    const double n = static_cast<double>(scores.size());
    fit.mean = std::accumulate(scores.begin(), scores.end(), 0.0) / n;
    double square = 0.0;
    for (const double v : scores) square += (v - fit.mean) * (v - fit.mean);
    fit.spread = std::sqrt(square / n);
    fit.tail = exponential_tail(std::move(scores));
    nulls_.emplace_back(key, fit);
    return nulls_.back().second;
}

XcorrEvidence XcorrSpectrum::evidence(const LadderPeptide& peptide, std::uint8_t precursor_charge) const {
    const std::vector<float> deltas = deltas_of(peptide);
    XcorrEvidence out;
    const double observed = score_deltas(deltas, peptide.nterm, peptide.mass, precursor_charge);
    out.xcorr = static_cast<float>(observed);
    out.log_p = out.z = kNaN;
    if (settings_.null_ladders == 0 || deltas.size() < 2) return out;
    // Candidates of one spectrum share their ladders when they agree in
    // charge, ends and mass to 0.1 Da: the ladders depend on nothing else.
    const float last = deltas.back();
    const float interior = std::accumulate(deltas.begin(), deltas.end() - 1, 0.0f);
    NullKey key;
    key.interior_tenths = std::llround(static_cast<double>(interior) * 10.0);
    key.rest_hundredths = std::llround(static_cast<double>(peptide.mass - peptide.nterm - interior - last) * 100.0);
    key.last = std::bit_cast<std::uint32_t>(last);
    key.nterm = std::bit_cast<std::uint32_t>(peptide.nterm);
    key.charge = precursor_charge;
    const NullFit& fit = null_fit(key);
    if (fit.spread > 0.0) out.z = static_cast<float>((observed - fit.mean) / fit.spread);
    if (fit.tail) out.log_p = static_cast<float>(std::max(0.0, -(fit.tail->first + fit.tail->second * observed)));
    return out;
}

std::optional<CandidateTail> XcorrSpectrum::candidate_tail(const PeptideTable& peptides, float mass, float window,
                                                           std::uint8_t precursor_charge) const {
    if (!std::isfinite(mass) || !(window > 0.0f)) return std::nullopt;
    const float low = mass - window, high = mass + window;
    // The window's peptides: [first, end), by their ascending masses.
    auto past = [&](float bound, bool inclusive) {
        std::size_t lo = 0, count = peptides.size();
        while (count > 0) {
            const std::size_t half = count / 2;
            const float m = peptides.mass(lo + half);
            if (m < bound || (inclusive && m == bound)) {
                lo += half + 1;
                count -= half + 1;
            } else {
                count = half;
            }
        }
        return lo;
    };
    const std::size_t first = past(low, false), end = past(high, true);
    const std::size_t limit = std::max<std::size_t>(settings_.tail_candidates, 1);
    const std::size_t stride = (end - first + limit - 1) / limit;
    std::vector<double> scores;
    std::vector<float> deltas;
    for (std::size_t i = first; i < end; i += std::max<std::size_t>(stride, 1)) {
        const PeptideView view = peptides[i];
        deltas.resize(view.length());
        for (std::size_t j = 0; j < deltas.size(); ++j)
            deltas[j] = residue_mass(static_cast<unsigned char>(view.sequence[j])) + view.modification(j);
        scores.push_back(score_deltas(deltas, view.nterm.value_or(0.0f), view.monoisotopic, precursor_charge));
    }
    const auto candidates = static_cast<std::uint32_t>(scores.size());
    const auto tail = exponential_tail(std::move(scores), kTailShare);
    if (!tail) return std::nullopt;
    return CandidateTail{tail->first, tail->second, candidates};
}

std::vector<XcorrEvidence> xcorr_batch(const std::vector<std::vector<Peak>>& spectra,
                                       const std::vector<XcorrRow>& rows, const XcorrSettings& settings,
                                       const PeptideTable* candidates) {
    // Rows by spectrum (counting sort), so that each spectrum is binned once.
    std::vector<std::size_t> starts(spectra.size() + 1, 0);
    for (const XcorrRow& row : rows) {
        if (row.spectrum >= spectra.size())
            fail("row of spectrum " + std::to_string(row.spectrum) + " in a batch of " +
                 std::to_string(spectra.size()));
        ++starts[row.spectrum + 1];
    }
    std::partial_sum(starts.begin(), starts.end(), starts.begin());
    std::vector<std::size_t> order(rows.size());
    std::vector<std::size_t> next(starts.begin(), starts.end() - 1);
    for (std::size_t i = 0; i < rows.size(); ++i) order[next[rows[i].spectrum]++] = i;
    std::vector<XcorrEvidence> out(rows.size());
    parallel_for(spectra.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t s = begin; s < end; ++s) {
            if (starts[s] == starts[s + 1]) continue;
            const XcorrSpectrum binned(spectra[s], settings);
            // The candidate tail of each charge, centred on its first row.
            std::vector<std::pair<std::uint8_t, std::optional<CandidateTail>>> tails;
            for (std::size_t k = starts[s]; k < starts[s + 1]; ++k) {
                const XcorrRow& row = rows[order[k]];
                XcorrEvidence& found = out[order[k]];
                found = binned.evidence(row.peptide, row.charge);
                found.tail_log_p = kNaN;
                if (candidates == nullptr || !(settings.tail_window > 0.0f)) continue;
                auto known = std::find_if(tails.begin(), tails.end(), [&](const auto& t) { return t.first == row.charge; });
                if (known == tails.end()) {
                    tails.emplace_back(row.charge, binned.candidate_tail(*candidates, row.peptide.mass,
                                                                         settings.tail_window, row.charge));
                    known = tails.end() - 1;
                }
                if (const auto& tail = known->second)
                    found.tail_log_p = static_cast<float>(
                        std::max(0.0, -(tail->intercept + tail->slope * static_cast<double>(found.xcorr))));
            }
        }
    });
    return out;
}

std::optional<std::pair<double, double>> exponential_tail(std::vector<double> scores, std::size_t share) {
    std::sort(scores.begin(), scores.end(), std::greater<>());
    const std::size_t count = scores.size();
    double m = 0.0, sx = 0.0, sy = 0.0, sxx = 0.0, sxy = 0.0;
    for (std::size_t rank = 2; rank <= count / std::max<std::size_t>(share, 1); ++rank) {
        const double x = scores[rank - 1];
        if (!std::isfinite(x)) return std::nullopt;
        const double y = std::log10(static_cast<double>(rank) / static_cast<double>(count));
        m += 1.0;
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
    }
    const double spread = m * sxx - sx * sx;
    if (m < 4.0 || !(spread > 1e-9 * std::max(m * sxx, 1.0))) return std::nullopt;
    const double slope = (m * sxy - sx * sy) / spread;
    if (!(slope < 0.0)) return std::nullopt;
    return std::pair{(sy - slope * sx) / m, slope};
}

}  // namespace tamrel
