// A spectrum's own chance distribution of the cross-correlation score: the
// scores of the peptides nearest its precursor mass in a wide window (decoys
// included), as a histogram. Counts are integers, so histograms of parts of
// the database (one per charge, or per slice) add up exactly to the whole's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tamrel/peptide_table.hpp"
#include "tamrel/spectrum.hpp"
#include "tamrel/xcorr.hpp"

namespace tamrel {

struct XcorrNullSettings {
    float window_da = 25.0f;      // peptides within this distance of the precursor mass ...
    std::uint32_t sample = 2000;  // ... at most this many, the nearest first (per query)
    double bin_width = 0.02;      // of the score; below 0 counts in the first bin, beyond the last in the last
    std::uint32_t bins = 256;
};

// One precursor hypothesis of a spectrum: its neutral mass and charge.
struct XcorrNullQuery {
    std::size_t spectrum = 0;
    float mass = 0.0f;
    std::uint8_t charge = 0;
};

// Per spectrum, `null.bins` counts (row-major: spectrum s at s * bins), summed
// over its queries; computed on the worker pool, each spectrum binned once.
// Of peptides at equal distance the lighter, then the earlier, is taken first.
// Fails when a query names no spectrum.
std::vector<std::uint32_t> xcorr_histograms(const std::vector<std::vector<Peak>>& spectra,
                                            const PeptideTable& peptides,
                                            const std::vector<XcorrNullQuery>& queries,
                                            const XcorrSettings& settings, const XcorrNullSettings& null);

}  // namespace tamrel
