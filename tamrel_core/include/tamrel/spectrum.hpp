// Spectrum input records. A ProcessedSpectrum is immutable and shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tamrel/tolerance.hpp"

namespace tamrel {

struct Precursor {
    float mz = 0.0f;  // an observed m/z: scoring subtracts the proton mass itself
    std::optional<std::uint8_t> charge;
    std::optional<float> intensity;
    std::optional<Tolerance> isolation_window;
    std::optional<float> inverse_ion_mobility;
};

struct Peak {
    float intensity = 0.0f;
    float mass = 0.0f;  // read by scoring as m/z minus the proton mass
};

struct ProcessedSpectrum {
    std::uint8_t level = 2;
    std::string id;
    std::uint32_t file_id = 0;
    float scan_start_time = 0.0f;
    std::vector<Precursor> precursors;
    std::vector<Peak> peaks;  // ascending mass is the caller's responsibility
    float total_ion_current = 0.0f;
};

using SharedSpectrum = std::shared_ptr<const ProcessedSpectrum>;

// The most intense peak whose mass lies in the closed window of `tol` around
// `centre` (shifted by `offset` when given); the last of equally intense peaks
// wins. `peaks` must be in ascending mass order. Returns nullptr when none.
const Peak* select_most_intense_peak(const std::vector<Peak>& peaks, float centre,
                                     const Tolerance& tol,
                                     std::optional<float> offset = std::nullopt);

// Finds what `select_most_intense_peak` finds (without an offset) for a run
// of centres, moving its bracket from the previous centre's instead of
// searching the whole list: the fragments of an ion series lie a few peaks
// apart, in either direction. `peaks` (borrowed) must be in ascending total
// order of mass (see `peaks_in_order`).
class PeakCursor {
public:
    explicit PeakCursor(const std::vector<Peak>& peaks) : peaks_(&peaks) {}
    const Peak* select(float centre, const Tolerance& tol);

private:
    const std::vector<Peak>* peaks_;
    bool placed_ = false;
    std::size_t below_ = 0;    // peaks whose mass orders below the window's low bound
    std::size_t through_ = 0;  // peaks whose mass orders at or below its high bound
};

// Whether the masses ascend in the IEEE 754 total order, as PeakCursor needs.
bool peaks_in_order(const std::vector<Peak>& peaks);

}  // namespace tamrel
