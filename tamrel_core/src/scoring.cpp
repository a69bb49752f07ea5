#include "tamrel/scoring.hpp"

#include <algorithm>
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
    return chimera ? score_chimera_fast(spectrum) : score_standard(spectrum);
}

}  // namespace tamrel
