// Peak preparation: which peaks of a spectrum read from a file reach the
// scorer, and in which form (m/z minus the proton mass, as 32-bit floats).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tamrel {

struct PeakSettings {
    std::size_t max_peaks = 150;
    double min_mz = 150.0;
    double max_mz = 4000.0;
};

// Keeps the `max_peaks` most intense peaks with min_mz <= m/z <= max_mz and an
// intensity positive and finite in 32 bits (the lower m/z wins among equal intensities at
// the cut), appends them to `mass` (m/z - proton, rounded once to 32 bits) and
// `intensity` in ascending m/z order (equal m/z: more intense first when a cut
// was made, else file order), and returns the total ion current: the kept
// 32-bit intensities summed pairwise in double, rounded once to 32 bits.
float prepare_peaks(std::span<const double> mz, std::span<const double> intensity, const PeakSettings& settings,
                    std::vector<float>& mass, std::vector<float>& kept_intensity);

// Sum in the blocked pairwise order used for float arrays by numerical
// libraries (8 accumulators, halves above 128 values), so totals agree to the bit.
double pairwise_sum(std::span<const double> values);

}  // namespace tamrel
