#include "tamrel/spectrum.hpp"

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

}  // namespace tamrel
