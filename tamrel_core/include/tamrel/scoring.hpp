// Scoring records: the assembled scorer, candidate scores and features.
#pragma once

#include <atomic>
#include <bit>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tamrel/database.hpp"
#include "tamrel/spectrum.hpp"
#include "tamrel/tolerance.hpp"

namespace tamrel {

enum class ScoreType : std::uint8_t { ProductHyperscore = 0, SummedHyperscore = 1 };

// Matched-fragment annotations: six parallel arrays, one entry per match.
struct Fragments {
    std::vector<std::int32_t> charges;
    std::vector<Kind> kinds;
    std::vector<std::int32_t> fragment_ordinals;
    std::vector<float> intensities;
    std::vector<float> mz_calculated;
    std::vector<float> mz_experimental;
};

// One reported peptide-spectrum match.
struct Feature {
    double hyperscore = 0.0;
    float delta_mass = 0.0f;
    std::uint32_t rank = 0;
    std::uint32_t matched_peaks = 0;
    std::uint32_t peptide_idx = 0;
    std::uint32_t psm_id = 0;
    std::uint32_t peptide_len = 0;
    std::string spec_id;
    std::uint32_t file_id = 0;
    std::int32_t label = 0;
    float expmass = 0.0f;
    float calcmass = 0.0f;
    std::uint8_t charge = 0;
    float rt = 0.0f;
    float aligned_rt = 0.0f;
    float predicted_rt = 0.0f;
    float delta_rt_model = 0.0f;
    float ims = 0.0f;
    float predicted_ims = 0.0f;
    float delta_ims_model = 0.0f;
    float isotope_error = 0.0f;
    float average_ppm = 0.0f;
    double delta_next = 0.0;
    double delta_best = 0.0;
    std::uint32_t longest_b = 0;
    std::uint32_t longest_y = 0;
    float longest_y_pct = 0.0f;
    std::uint8_t missed_cleavages = 0;
    float matched_intensity_pct = 0.0f;
    std::uint32_t scored_candidates = 0;
    double poisson = 0.0;
    float discriminant_score = 0.0f;
    float posterior_error = 0.0f;
    float spectrum_q = 0.0f;
    float peptide_q = 0.0f;
    float protein_q = 0.0f;
    float ms2_intensity = 0.0f;
    std::optional<Fragments> fragments;
};

// Serial number source for `Feature::psm_id`; starts at 1, never reset.
extern std::atomic<std::uint32_t> PSM_COUNTER;

// Settings of a search, as a Python scorer stores them (everything but the database).
struct ScorerSettings {
    Tolerance precursor_tol;
    Tolerance fragment_tol;
    bool wide_window = true;
    bool chimera = true;
    std::uint32_t report_psms = 5;
    std::int8_t min_isotope_err = -1;
    std::int8_t max_isotope_err = 3;
    std::uint8_t min_precursor_charge = 2;
    std::uint8_t max_precursor_charge = 4;
    std::uint16_t min_matched_peaks = 3;
    bool annotate_matches = false;
    std::optional<std::uint8_t> max_fragment_charge = 2;
};

// Constants of the scoring arithmetic, fixed by bit pattern.
inline constexpr float kProtonMass = std::bit_cast<float>(0x3F80EE6Fu);      // 1.0072764
inline constexpr float kIsotopeSpacing = std::bit_cast<float>(0x3F806DC6u);  // 1.00335
inline constexpr float kModelDelta = std::bit_cast<float>(0x3F7FBE77u);      // 0.999

// One candidate hypothesis of the matching pass (8 bytes, copied by value).
// Ordered by matched count, then peptide position, charge and isotope error:
// the greater is the better.
struct PreliminaryScore {
    static constexpr std::uint32_t kEmptySlot = 0xFFFFFFFFu;

    std::uint32_t peptide = kEmptySlot;
    std::uint16_t matched = 0;  // saturates at 65535
    std::uint8_t precursor_charge = 0;
    std::int8_t isotope_error = 0;

    bool is_empty() const { return peptide == kEmptySlot; }

    // The order as one unsigned key: the selection compares candidates in
    // its innermost loop. The isotope error's sign bit is flipped so that
    // its bytes order as the signed values do.
    constexpr std::uint64_t order_key() const {
        return (std::uint64_t{matched} << 48) | (std::uint64_t{peptide} << 16) |
               (std::uint64_t{precursor_charge} << 8) |
               (static_cast<std::uint8_t>(isotope_error) ^ std::uint64_t{0x80});
    }

    friend constexpr std::strong_ordering operator<=>(const PreliminaryScore& a,
                                                      const PreliminaryScore& b) {
        return a.order_key() <=> b.order_key();
    }
    friend constexpr bool operator==(const PreliminaryScore&, const PreliminaryScore&) = default;
};
static_assert(sizeof(PreliminaryScore) == 8);

// Result of a matching pass. `preliminary` is left in selection (heap) order
// and may contain empty slots.
struct InitialHits {
    std::vector<PreliminaryScore> preliminary;
    std::uint32_t matched_peaks = 0;      // fragment lookups that found a fragment
    std::uint32_t scored_candidates = 0;  // (peptide, hypothesis) pairs with a find
};

// Detailed score of one candidate.
struct Score {
    double hyperscore = 0.0;
    std::uint32_t peptide = 0;
    float intensity_n = 0.0f;
    float intensity_c = 0.0f;
    std::uint32_t longest_b = 0;
    std::uint32_t longest_y = 0;
    float average_ppm = 0.0f;
    std::uint16_t matched_n = 0;  // saturates at 65535
    std::uint16_t matched_c = 0;  // saturates at 65535
    std::uint8_t precursor_charge = 0;
    std::int8_t isotope_error = 0;
    std::optional<Fragments> fragments;  // present exactly when annotating
};

// The log-factorial approximation of the hyperscore and the Poisson feature:
// 1.0 for 0, else ((n ln n - n) + 0.5 ln n) + 0.5 ln(2 pi n).
double lnfact(std::uint32_t n);

// Hyperscore of a match set; 255.0 when the value is not finite.
double score_type_score(ScoreType type, std::uint16_t nb, std::uint16_t ny, float ib, float iy);

// Fragment charges 1 .. limit - 1 are tried for `precursor_charge`.
std::uint8_t fragment_charge_limit(std::uint8_t precursor_charge,
                                   std::optional<std::uint8_t> max_fragment_charge);

// What the detailed scoring of one spectrum's candidates can look up once for
// all of them: whether its peaks are in order, and which stretches of mass
// hold no peak at all, so that most fragments are passed over without a peak
// search. While an instance lives, `Scorer::score_candidate` on this thread
// uses it for exactly this spectrum, which must stay unchanged meanwhile;
// the scores are the same with it as without.
class PeakScreen {
public:
    PeakScreen(const ProcessedSpectrum& spectrum, const Tolerance& fragment_tol);
    ~PeakScreen();
    PeakScreen(const PeakScreen&) = delete;
    PeakScreen& operator=(const PeakScreen&) = delete;

    // The screen in use for `spectrum` on this thread, if any.
    static const PeakScreen* of(const ProcessedSpectrum& spectrum);

    bool in_order() const { return in_order_; }
    // False only when no peak's mass lies in [low, high] (a window that is
    // empty or not a number holds none); true when unsure.
    bool may_hold(float low, float high) const;

private:
    const ProcessedSpectrum* spectrum_;
    const Peak* peaks_;
    std::size_t peak_count_;
    const PeakScreen* outer_;
    bool in_order_;
    bool usable_ = false;  // every mass finite, non-negative and within reach of the bit map
    float scale_ = 1.0f;   // bins per mass unit, a power of two, so that scaling is exact
    std::vector<std::uint64_t> bins_;  // one bit per bin: some peak's mass scales into it
};

// A scorer assembled for one call: the settings plus the database searched.
// Every method only reads the database and its arguments (safe to run for
// many spectra at once) and throws Failure on a broken invariant.
struct Scorer : ScorerSettings {
    SharedDatabase db;
    bool force_charge_range = false;
    ScoreType score_type = ScoreType::ProductHyperscore;

    static Scorer assemble(const ScorerSettings& settings, SharedDatabase db);

    std::uint8_t fragment_charge_limit(std::uint8_t precursor_charge) const {
        return tamrel::fragment_charge_limit(precursor_charge, max_fragment_charge);
    }

    // The preliminary candidates of `spectrum` over every charge and isotope
    // hypothesis, capped at max(50, 2 report_psms).
    InitialHits initial_hits(const ProcessedSpectrum& spectrum, const Precursor& precursor) const;
    // One hypothesis.
    InitialHits matched_peaks_with_isotope(const std::vector<Peak>& peaks, float precursor_mass,
                                           std::uint8_t precursor_charge,
                                           const Tolerance& precursor_tol,
                                           std::int8_t isotope_error) const;

    // `candidate` must not be an empty slot.
    Score score_candidate(const ProcessedSpectrum& spectrum,
                          const PreliminaryScore& candidate) const;

    // Scores every candidate of `hits`, ranks them and appends the best
    // `limit` (at least `min_matched_peaks` matches) to `out`.
    void build_features(const ProcessedSpectrum& spectrum, float precursor_mz,
                        const InitialHits& hits, std::size_t limit,
                        std::vector<Feature>& out) const;

    std::vector<Feature> score_standard(const ProcessedSpectrum& spectrum) const;
    // Extracts the best match, removes its peaks and ranks again, up to
    // `report_psms` times. The caller's spectrum is not modified.
    std::vector<Feature> score_chimera_fast(const ProcessedSpectrum& spectrum) const;

    // The scoring entry: the spectrum's features, in rank or extraction order.
    std::vector<Feature> score(const ProcessedSpectrum& spectrum) const;
};

// The initial hits of two scorers over one database for the same precursor.
// `shared`: the fragments were counted once, for `wider`, and `main`'s counts
// read from them, as its windows lay inside `wider`'s.
struct PairedHits {
    InitialHits main;
    InitialHits wider;
    bool shared = false;
};

// Exactly `main.initial_hits` and `wider.initial_hits`, the fragments counted
// once where that gives the same counts: the scorers search the same database
// with the same fragment tolerance (see `shares_lookups`), and every peptide of
// each of main's windows lies inside wider's window of the same charge. Else
// each counts on its own.
PairedHits paired_initial_hits(const Scorer& main, const Scorer& wider, const ProcessedSpectrum& spectrum,
                               const Precursor& precursor);

// Whether two scorers make the same fragment lookups for a spectrum (same
// database, same fragment tolerance bit for bit), the first condition of
// `paired_initial_hits` sharing its counting.
bool shares_lookups(const Scorer& a, const Scorer& b);

// `main.score(spectrum)` and `wider.score(spectrum)`, one counting of the
// fragments serving both where `paired_initial_hits` allows it (neither
// scorer extracting chimeric matches, whose later rounds count again on
// fewer peaks). Failures are those of `main.score` first.
std::pair<std::vector<Feature>, std::vector<Feature>> score_pair(const Scorer& main, const Scorer& wider,
                                                                 const ProcessedSpectrum& spectrum);

// Drops every peak equal (intensity and mass) to one of `removal` and sums the
// total ion current again from the peaks left, starting from -0.0.
void remove_peaks(ProcessedSpectrum& spectrum, const std::vector<Peak>& removal);

// Reserves room for `count` features; fails with "capacity overflow" when the
// byte size of `count` features does not fit the address space. Reserves no
// more than `useful` so that a huge limit does not allocate up front.
void reserve_features(std::vector<Feature>& out, std::uint64_t count, std::size_t useful);

}  // namespace tamrel
