#include "tamrel/scoring.hpp"

#include <algorithm>
#include <bit>
#include <tuple>
#include <utility>

#include "tamrel/error.hpp"

namespace tamrel {

std::uint8_t fragment_charge_limit(std::uint8_t precursor_charge,
                                   std::optional<std::uint8_t> max_fragment_charge) {
    std::uint8_t limit = precursor_charge;
    if (max_fragment_charge) {
        // The cap plus one wraps in 8 bits (255 gives 0), as the setting is one byte.
        limit = std::min(static_cast<std::uint8_t>(*max_fragment_charge + 1), precursor_charge);
    }
    return limit < 2 ? 2 : limit;
}

Scorer Scorer::assemble(const ScorerSettings& settings, SharedDatabase db) {
    Scorer scorer{settings, std::move(db)};
    scorer.force_charge_range = false;
    scorer.score_type = ScoreType::ProductHyperscore;
    return scorer;
}

std::vector<Feature> Scorer::score(const ProcessedSpectrum& spectrum) const {
    if (spectrum.level != 2) fail("internal bug, trying to score a non-MS2 scan!");
    if (chimera) return score_chimera_fast(spectrum);
    const PeakScreen screen(spectrum, fragment_tol);
    return score_standard(spectrum);
}

bool shares_lookups(const Scorer& a, const Scorer& b) {
    const auto bits = [](const Tolerance& t) {
        return std::tuple{t.unit, std::bit_cast<std::uint32_t>(t.minus), std::bit_cast<std::uint32_t>(t.plus)};
    };
    return a.db == b.db && bits(a.fragment_tol) == bits(b.fragment_tol);
}

std::pair<std::vector<Feature>, std::vector<Feature>> score_pair(const Scorer& main, const Scorer& wider,
                                                                 const ProcessedSpectrum& spectrum) {
    if (main.chimera || wider.chimera) {
        std::vector<Feature> first = main.score(spectrum);
        return {std::move(first), wider.score(spectrum)};
    }
    if (spectrum.level != 2) fail("internal bug, trying to score a non-MS2 scan!");
    if (spectrum.precursors.empty()) fail("missing MS1 precursor for " + spectrum.id);
    const Precursor& precursor = spectrum.precursors.front();
    const PeakScreen screen(spectrum, main.fragment_tol);
    const PairedHits hits = paired_initial_hits(main, wider, spectrum, precursor);
    std::pair<std::vector<Feature>, std::vector<Feature>> out;
    reserve_features(out.first, main.report_psms, hits.main.preliminary.size());
    main.build_features(spectrum, precursor.mz, hits.main, main.report_psms, out.first);
    reserve_features(out.second, wider.report_psms, hits.wider.preliminary.size());
    wider.build_features(spectrum, precursor.mz, hits.wider, wider.report_psms, out.second);
    return out;
}

}  // namespace tamrel
