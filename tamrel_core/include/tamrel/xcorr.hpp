// Cross-correlation evidence: a fragment score that holds up on wide
// fragment tolerances, and a per-match chance level for it that needs no
// other candidate of the spectrum.
//
// The spectrum is put on a grid of fixed bins (square-rooted intensities,
// scaled to a common height per mass region, the mean of the flanking bins
// subtracted), and a peptide scores the sum of its b and y fragments' bins.
// Its chance level comes from the same score of random ladders of the
// peptide's mass (residues drawn at random, the C-terminal one kept): an
// exponential tail fitted to their best scores gives -log10 of the chance
// that an unrelated peptide of this mass scores as high. Everything is
// deterministic (the draws are seeded by the peptide).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "tamrel/peptide_table.hpp"
#include "tamrel/spectrum.hpp"

namespace tamrel {

struct XcorrSettings {
    float bin_width = 1.0005079f;
    float bin_offset = 0.4f;         // fraction of a bin: bin = floor(mass / width + offset)
    std::uint32_t flank_bins = 75;   // the local mean runs over this many bins on each side
    std::uint32_t regions = 10;      // mass regions scaled to a common highest peak
    std::optional<std::uint8_t> max_fragment_charge = 2;
    std::uint32_t null_ladders = 64;  // random ladders per match (0: no chance level)
    // Half-width (Da) of the mass window whose database peptides give a
    // match its second chance level (see `XcorrSpectrum::candidate_tail`); 0: none.
    float tail_window = 0.0f;
    // At most this many of the window's peptides are scored, evenly spread
    // over it (in mass order): the tail's shape needs no more.
    std::uint32_t tail_candidates = 1000;
};

// A peptide as the ladder needs it: residues, per-residue added masses, the
// N-terminal addition and the neutral mass.
struct LadderPeptide {
    std::string_view sequence;
    std::span<const float> modifications;  // one per residue, or empty for none
    float nterm = 0.0f;
    float mass = 0.0f;
};

// The evidence for one match. `log_p` and `z` are NaN when the ladders gave
// no usable tail (a peptide of one residue, or every ladder tied).
struct XcorrEvidence {
    float xcorr = 0.0f;
    float log_p = 0.0f;  // -log10 P(ladder score >= xcorr), from the fitted tail, at least 0
    float z = 0.0f;      // (xcorr - mean of the ladders) / their standard deviation
    // -log10 P(candidate score >= xcorr) under the tail of the database's
    // candidates around the match's mass (see `candidate_tail`), at least 0.
    float tail_log_p = 0.0f;
};

// The tail of a spectrum's scores over the database's candidates of one mass
// window: log10(rank / candidates) = intercept + slope * score.
struct CandidateTail {
    double intercept = 0.0;
    double slope = 0.0;
    std::uint32_t candidates = 0;
};

// The preprocessed spectrum: occupied bins (ascending) with prefix sums for
// the flanking means, and every value in reach as a table. Not for sharing
// between threads (it keeps the chance levels it has fitted). Peaks are read as neutral singly charged masses
// (m/z minus the proton), as scoring reads them.
class XcorrSpectrum {
public:
    XcorrSpectrum(const std::vector<Peak>& peaks, const XcorrSettings& settings);

    // The value of `bin` after the flanking mean is subtracted.
    double at(std::int64_t bin) const;
    std::int64_t bin_of(float mass) const;
    // Score of one peptide at one precursor charge (fragments of charge 1 up to
    // the engine's fragment charge limit; b and y ions from the second on).
    double score(const LadderPeptide& peptide, std::uint8_t precursor_charge) const;
    // The score and its chance level from `settings.null_ladders` random ladders.
    XcorrEvidence evidence(const LadderPeptide& peptide, std::uint8_t precursor_charge) const;
    // The scores of the peptides of `peptides` (ascending mass) within
    // +/- `window` Da of `mass` at `precursor_charge`, targets and decoys
    // alike (every k-th of them when there are more than
    // `settings.tail_candidates`), and the exponential tail fitted to them
    // (`exponential_tail` over the best tenth); nothing without such a tail.
    // `candidates` counts the peptides scored.
    std::optional<CandidateTail> candidate_tail(const PeptideTable& peptides, float mass, float window,
                                                std::uint8_t precursor_charge) const;

private:
    // What the random ladders of a match depend on (see `evidence`).
    struct NullKey {
        std::int64_t interior_tenths = 0;   // residues but the last, in 0.1 Da
        std::int64_t rest_hundredths = 0;   // mass less residues and N-terminal addition, in 0.01 Da
        std::uint32_t last = 0;             // bits of the last residue's mass
        std::uint32_t nterm = 0;            // bits of the N-terminal addition
        std::uint32_t charge = 0;
        std::uint32_t padding = 0;          // hashed with the rest: always zero
        bool operator==(const NullKey&) const = default;
    };
    struct NullFit {
        double mean = 0.0;
        double spread = 0.0;
        std::optional<std::pair<double, double>> tail;
    };
    const NullFit& null_fit(const NullKey& key) const;
    double flanked(std::int64_t bin) const;  // `at` from the occupied bins
    double score_deltas(const std::vector<float>& deltas, float nterm, float mass, std::uint8_t charge) const;
    double sum_through(std::int64_t bin) const;  // values of every bin <= `bin`

    XcorrSettings settings_;
    std::vector<std::int64_t> bins_;
    std::vector<double> values_;
    std::vector<double> prefix_;  // prefix_[i]: values_[0] + ... + values_[i - 1]
    std::vector<double> dense_;   // `at` of bins 0 .. last occupied bin + flank
    // Fitted ladders by key, filled on demand: an instance serves one thread.
    mutable std::vector<std::pair<NullKey, NullFit>> nulls_;
};

// One match of a batch: its spectrum's position, its peptide and charge.
struct XcorrRow {
    std::size_t spectrum = 0;
    LadderPeptide peptide;
    std::uint8_t charge = 0;
};

// The evidence of every row, in row order, computed on the worker pool with
// each spectrum preprocessed once. Given `candidates` and a positive
// `settings.tail_window`, a row's `tail_log_p` comes from its spectrum's
// candidate tail at the row's charge, centred on the mass of the first row of
// that spectrum and charge (NaN without a tail); else it is NaN. Fails when
// a row names no spectrum.
std::vector<XcorrEvidence> xcorr_batch(const std::vector<std::vector<Peak>>& spectra,
                                       const std::vector<XcorrRow>& rows, const XcorrSettings& settings,
                                       const PeptideTable* candidates = nullptr);

// Intercept and slope of log10(rank / count) against score over ranks 2 ..
// count / `share` of `scores` (any order; count = scores.size()); nothing when
// there are fewer than four such ranks, no spread in their scores, or a slope
// that does not fall.
std::optional<std::pair<double, double>> exponential_tail(std::vector<double> scores, std::size_t share = 3);

}  // namespace tamrel
