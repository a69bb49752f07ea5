// Chimeric scoring: extract the best match, remove the peaks it explains from
// a private copy of the spectrum, and rank the same candidates again.
#include <algorithm>

#include "tamrel/error.hpp"
#include "tamrel/ion_series.hpp"
#include "tamrel/scoring.hpp"

namespace tamrel {

void remove_peaks(ProcessedSpectrum& spectrum, const std::vector<Peak>& removal) {
    // By value: every copy of a listed (intensity, mass) pair goes.
    std::erase_if(spectrum.peaks, [&](const Peak& p) {
        return std::any_of(removal.begin(), removal.end(), [&](const Peak& r) {
            return p.intensity == r.intensity && p.mass == r.mass;
        });
    });
    float tic = -0.0f;
    for (const Peak& p : spectrum.peaks) tic += p.intensity;
    spectrum.total_ion_current = tic;
}

std::vector<Feature> Scorer::score_chimera_fast(const ProcessedSpectrum& spectrum) const {
    if (spectrum.precursors.empty()) fail("missing MS1 precursor for " + spectrum.id);
    ProcessedSpectrum work = spectrum;
    const Precursor precursor = work.precursors.front();
    const InitialHits hits = initial_hits(work, precursor);
    std::vector<Feature> out;
    reserve_features(out, report_psms, hits.preliminary.size());
    if (report_psms == 0) return out;

    std::vector<Peak> removal;
    for (;;) {
        const std::size_t before = out.size();
        build_features(work, precursor.mz, hits, 1, out);
        if (out.size() == before) break;
        Feature& extracted = out.back();

        // Every lookup sees the unreduced peaks, so a peak may be listed twice.
        const PeptideView peptide = at(db->peptides, extracted.peptide_idx);
        const std::uint8_t charge_limit = fragment_charge_limit(extracted.charge);
        removal.clear();
        for (const Kind kind : db->ion_kinds) {
            IonSeries series(peptide, kind);
            while (const auto mass = series.next()) {
                for (std::uint8_t c = 1; c < charge_limit; ++c) {
                    const float target = *mass / static_cast<float>(c);
                    const Peak* p = select_most_intense_peak(work.peaks, target, fragment_tol);
                    if (p) removal.push_back(*p);
                }
            }
        }
        remove_peaks(work, removal);

        extracted.rank = static_cast<std::uint32_t>(before + 1);
        if (out.size() >= report_psms) break;
    }
    return out;
}

}  // namespace tamrel
