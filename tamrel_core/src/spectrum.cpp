#include "tamrel/spectrum.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "tamrel/total_order.hpp"

namespace tamrel {

namespace {

// Position of `key` in peaks[from, n): an index holding a mass equal to `key`,
// or the number of masses below it when the range is sorted. The halving loop
// is kept as is so that unsorted input brackets the same peaks everywhere.
std::size_t search_position(const std::vector<Peak>& peaks, std::size_t from, std::uint32_t key) {
    std::size_t size = peaks.size() - from;
    if (size == 0) return 0;
    std::size_t base = 0;
    while (size > 1) {
        const std::size_t half = size / 2;
        const std::size_t mid = base + half;
        if (total_order_key(peaks[from + mid].mass) <= key) base = mid;
        size -= half;
    }
    const std::uint32_t at_base = total_order_key(peaks[from + base].mass);
    return at_base < key ? base + 1 : base;
}

std::uint32_t key_of(const Peak& p) { return total_order_key(p.mass); }

// The most intense of peaks[left, right) in [low, high]: the last of equals wins.
const Peak* most_intense(const std::vector<Peak>& peaks, std::size_t left, std::size_t right, float low,
                         float high) {
    const Peak* best = nullptr;
    float best_intensity = 0.0f;
    for (std::size_t k = left; k < right; ++k) {
        const Peak& p = peaks[k];
        // `>=` lets the last of equally intense peaks win and admits intensity 0.
        if (low <= p.mass && p.mass <= high && p.intensity >= best_intensity) {
            best = &p;
            best_intensity = p.intensity;
        }
    }
    return best;
}

}  // namespace

const Peak* select_most_intense_peak(const std::vector<Peak>& peaks, float centre,
                                     const Tolerance& tol, std::optional<float> offset) {
    auto [low, high] = tol.bounds(centre);
    if (offset) {
        low = *offset + low;
        high = *offset + high;
    }
    const std::size_t n = peaks.size();
    const std::uint32_t low_key = total_order_key(low);
    const std::uint32_t high_key = total_order_key(high);

    // Bracket: from the last peak below `low` (or 0) to just past the last peak
    // not above `high`. The scan below filters the bracket exactly.
    const std::size_t i = search_position(peaks, 0, low_key);
    std::size_t left = i == 0 ? 0 : i - 1;
    while (left > 0 && total_order_key(peaks[left].mass) >= low_key) --left;
    std::size_t j = left + search_position(peaks, left, high_key);
    while (j < n && total_order_key(peaks[j].mass) <= high_key) ++j;
    const std::size_t right = j < n ? j : n;

    return most_intense(peaks, left, right, low, high);
}

// On ordered masses the bracket above is [max(b - 1, 0), max(t, that)), where
// b counts the masses ordering below `low` and t those not above `high`; the
// cursor keeps b and t, moving them one peak at a time.
const Peak* PeakCursor::select(float centre, const Tolerance& tol) {
    const std::vector<Peak>& peaks = *peaks_;
    const auto [low, high] = tol.bounds(centre);
    const std::uint32_t low_key = total_order_key(low);
    const std::uint32_t high_key = total_order_key(high);
    const std::size_t n = peaks.size();
    if (!placed_) {
        const auto below = [&](const Peak& p) { return key_of(p) < low_key; };
        const auto through = [&](const Peak& p) { return key_of(p) <= high_key; };
        below_ = static_cast<std::size_t>(std::partition_point(peaks.begin(), peaks.end(), below) - peaks.begin());
        through_ = static_cast<std::size_t>(std::partition_point(peaks.begin(), peaks.end(), through) - peaks.begin());
        placed_ = true;
    } else {
        while (below_ < n && key_of(peaks[below_]) < low_key) ++below_;
        while (below_ > 0 && key_of(peaks[below_ - 1]) >= low_key) --below_;
        while (through_ < n && key_of(peaks[through_]) <= high_key) ++through_;
        while (through_ > 0 && key_of(peaks[through_ - 1]) > high_key) --through_;
    }
    const std::size_t left = below_ == 0 ? 0 : below_ - 1;
    return most_intense(peaks, left, std::max(through_, left), low, high);
}

bool peaks_in_order(const std::vector<Peak>& peaks) {
    return std::is_sorted(peaks.begin(), peaks.end(),
                          [](const Peak& a, const Peak& b) { return key_of(a) < key_of(b); });
}

}  // namespace tamrel
