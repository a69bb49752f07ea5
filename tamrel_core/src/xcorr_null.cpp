#include "tamrel/xcorr_null.hpp"

#include <algorithm>
#include <cmath>

#include "tamrel/error.hpp"
#include "tamrel/ion_series.hpp"

namespace tamrel {

namespace {

// The first peptide not lighter than `mass` (the table is sorted by mass).
std::size_t first_from(const PeptideTable& peptides, float mass) {
    std::size_t low = 0, high = peptides.size();
    while (low < high) {
        const std::size_t mid = low + (high - low) / 2;
        if (peptides.mass(mid) < mass) low = mid + 1; else high = mid;
    }
    return low;
}

void add_query(const XcorrSpectrum& binned, const PeptideTable& peptides, const XcorrNullQuery& query,
               const XcorrNullSettings& null, std::uint32_t* counts) {
    if (!std::isfinite(query.mass)) return;
    const double centre = query.mass;
    auto distance = [&](std::size_t i) { return std::abs(static_cast<double>(peptides.mass(i)) - centre); };
    std::vector<float> deltas;
    std::size_t right = first_from(peptides, query.mass);
    std::size_t left = right;  // peptides [left, right) are taken
    for (std::uint32_t taken = 0; taken < null.sample; ++taken) {
        const bool has_left = left > 0 && distance(left - 1) <= null.window_da;
        const bool has_right = right < peptides.size() && distance(right) <= null.window_da;
        if (!has_left && !has_right) break;
        const std::size_t i = (has_left && (!has_right || distance(left - 1) <= distance(right))) ? --left : right++;
        const PeptideView p = peptides[i];
        deltas.resize(p.length());
        for (std::size_t k = 0; k < p.length(); ++k)
            deltas[k] = residue_mass(static_cast<unsigned char>(p.sequence[k])) + p.modification(k);
        const double score = binned.score_deltas(deltas, p.nterm.value_or(0.0f), p.monoisotopic, query.charge);
        if (!std::isfinite(score)) continue;
        const double bin = std::clamp(std::floor(score / null.bin_width), 0.0, static_cast<double>(null.bins - 1));
        ++counts[static_cast<std::size_t>(bin)];
    }
}

}  // namespace

std::vector<std::uint32_t> xcorr_histograms(const std::vector<std::vector<Peak>>& spectra,
                                            const PeptideTable& peptides,
                                            const std::vector<XcorrNullQuery>& queries,
                                            const XcorrSettings& settings, const XcorrNullSettings& null) {
    if (null.bins == 0 || !(null.bin_width > 0.0) || !std::isfinite(null.bin_width) || !(null.window_da >= 0.0f))
        fail("a score histogram needs bins of positive width and a window of no negative width");
    std::vector<std::size_t> spectrum_of(queries.size());
    for (std::size_t i = 0; i < queries.size(); ++i) spectrum_of[i] = queries[i].spectrum;
    std::vector<std::uint32_t> counts(spectra.size() * null.bins, 0);
    for_each_binned(spectra, spectrum_of, settings, [&](const XcorrSpectrum& binned, std::size_t i) {
        add_query(binned, peptides, queries[i], null, counts.data() + queries[i].spectrum * null.bins);
    });
    return counts;
}

}  // namespace tamrel
