#include "tamrel/peaks.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "tamrel/scoring.hpp"

namespace tamrel {

namespace {
constexpr double kMaxFloat = static_cast<double>(std::numeric_limits<float>::max());
}  // namespace

double pairwise_sum(std::span<const double> a) {
    const std::size_t n = a.size();
    if (n < 8) {
        double sum = 0.0;
        for (double v : a) sum += v;
        return sum;
    }
    if (n <= 128) {
        double r[8];
        for (std::size_t j = 0; j < 8; ++j) r[j] = a[j];
        std::size_t i = 8;
        for (; i < n - n % 8; i += 8) {
            for (std::size_t j = 0; j < 8; ++j) r[j] += a[i + j];
        }
        double sum = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) sum += a[i];
        return sum;
    }
    std::size_t half = n / 2;
    half -= half % 8;
    return pairwise_sum(a.first(half)) + pairwise_sum(a.subspan(half));
}

float prepare_peaks(std::span<const double> mz, std::span<const double> intensity, const PeakSettings& settings,
                    std::vector<float>& mass, std::vector<float>& kept_intensity) {
    std::vector<std::uint32_t> keep;
    keep.reserve(std::min(mz.size(), settings.max_peaks * 2));
    for (std::size_t i = 0; i < mz.size(); ++i) {
        const double m = mz[i], x = intensity[i];
        // Both are kept in 32 bits: an intensity beyond that range would be infinite there, and one too small
        // for it zero, either of which leaves every score of the spectrum undefined.
        if (m >= settings.min_mz && m <= settings.max_mz && m <= kMaxFloat && x > 0 && x <= kMaxFloat &&
            static_cast<float>(x) > 0.0f) {
            keep.push_back(static_cast<std::uint32_t>(i));
        }
    }
    if (keep.size() > settings.max_peaks) {
        // Most intense first, the lower m/z among equals, file order last.
        auto stronger = [&](std::uint32_t a, std::uint32_t b) {
            if (intensity[a] != intensity[b]) return intensity[a] > intensity[b];
            if (mz[a] != mz[b]) return mz[a] < mz[b];
            return a < b;
        };
        const auto cut = keep.begin() + static_cast<std::ptrdiff_t>(settings.max_peaks);
        std::nth_element(keep.begin(), cut, keep.end(), stronger);
        keep.erase(cut, keep.end());
        std::sort(keep.begin(), keep.end(), stronger);
    }
    std::stable_sort(keep.begin(), keep.end(), [&](std::uint32_t a, std::uint32_t b) { return mz[a] < mz[b]; });
    const double proton = static_cast<double>(kProtonMass);
    std::vector<double> widened(keep.size());
    const std::size_t base = kept_intensity.size();
    for (std::size_t k = 0; k < keep.size(); ++k) {
        mass.push_back(static_cast<float>(mz[keep[k]] - proton));
        kept_intensity.push_back(static_cast<float>(intensity[keep[k]]));
        widened[k] = static_cast<double>(kept_intensity[base + k]);
    }
    return static_cast<float>(pairwise_sum(widened));
}

}  // namespace tamrel
