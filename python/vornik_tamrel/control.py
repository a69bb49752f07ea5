"""Error control: per-spectrum chance levels, rescoring and q-values for a PSM table.

The table comes from `search.psm_table`; `control_errors` fills its
discriminant score and its spectrum and peptide q-values in place.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Optional, Sequence, Union

import numpy as np

from .fdr import peptide_qvalues, qvalues
from .partitions import PROTON

if TYPE_CHECKING:
    from .search import SearchSettings, Table
    from .spectra import Spectrum, SpectrumBatch


# A score means little on its own: spectra with many peaks, or many similar
# candidates, score high by chance. Each spectrum's own scores of unrelated
# peptides, those within +/- NULL_WINDOW_DA of its precursor (hundreds even on a
# small database), say how often chance alone reaches a score: an exponential
# fitted to their upper tail. At ion-trap fragment tolerances the score is the
# cross-correlation (see `evidence`), computed by the engine for the NULL_SAMPLE
# peptides nearest each precursor mass and handed back as a histogram; at high
# resolution it is the hyperscore of a second pass with the wide window, whose
# best NULL_PSMS rows sample the tail.
NULL_WINDOW_DA = 25.0
NULL_PSMS = 20
NULL_SAMPLE = 2000
HISTOGRAM_BIN = 0.02
HISTOGRAM_BINS = 256
# The discriminant trains on targets the calibrated score accepts at 1%, or
# at 2% when too few pass: on a large database a handful of confident targets
# per fold, padded with the chance targets a looser cut lets in, taught it
# to accept chance matches of unrelated proteins.
RESCORE_TRAIN_FDR = (0.01, 0.02)
# The tail is fitted where at most this share of the sample (or, in a small sample, up to TAIL_MIN of its
# peptides) scores higher.
TAIL_SHARE = 0.03
TAIL_MIN = 30


def null_scorer(settings: SearchSettings, report_psms: int = NULL_PSMS, min_matched_peaks: int = 1):
    """The wide pass's scorer: +/- NULL_WINDOW_DA around each precursor, isotope error 0."""
    from .score import build_scorer

    return build_scorer(settings, ("da", NULL_WINDOW_DA), evidence=False, wide_window=False, chimera=False,
                        report_psms=report_psms, min_isotope_err=0, max_isotope_err=0,
                        min_matched_peaks=min_matched_peaks)


def null_tails(spectra: Union[SpectrumBatch, Sequence[Spectrum]], db, settings: SearchSettings) -> dict[tuple[int, str], tuple]:
    """Per spectrum (file_id, spec_id) with a fit: intercept and slope of log10 of the share of unrelated
    peptides that score at least x, against x, for the score `tailed_score` names."""
    from .evidence import evidence_settings
    from .score import score_pass

    if evidence_settings(settings) is None:
        return fit_tails(score_pass(spectra, db, null_scorer(settings), settings.batch_size))
    keys, counts = null_histograms(spectra, db, settings)
    return histogram_tails(keys, counts)


def null_histograms(spectra: Union[SpectrumBatch, Sequence[Spectrum]], db,
                    settings: SearchSettings) -> tuple[list[tuple[int, str]], np.ndarray]:
    """The (file_id, spec_id) of `spectra` and their histograms of cross-correlation scores (HISTOGRAM_BINS
    uint32 counts each, see `_native.xcorr_histograms`) over the NULL_SAMPLE peptides of `db` nearest each of
    their precursor masses: one per charge tried (a stated charge, else the settings' range)."""
    from . import _native
    from .evidence import evidence_settings
    from .spectra import SpectrumBatch

    evidence = evidence_settings(settings)
    batches = [(spectra, np.full(len(spectra), spectra.file_id, np.int64))] if isinstance(spectra, SpectrumBatch) else [
        (SpectrumBatch.from_spectra(list(spectra[i:i + settings.batch_size]), 0),
         np.fromiter((s.file_id for s in spectra[i:i + settings.batch_size]), np.int64))
        for i in range(0, len(spectra), settings.batch_size)]
    keys: list[tuple[int, str]] = []
    counts = [np.zeros((0, HISTOGRAM_BINS), np.uint32)]
    tried = np.arange(settings.min_precursor_charge, settings.max_precursor_charge + 1)
    for batch, file_ids in batches:
        stated = np.asarray(batch.charge, dtype=np.int64)
        per = np.where(stated > 0, 1, len(tried))
        spectrum = np.repeat(np.arange(len(batch)), per)
        offsets = np.arange(len(spectrum)) - np.repeat(np.cumsum(per) - per, per)
        charge = np.where(stated[spectrum] > 0, stated[spectrum], tried[np.minimum(offsets, len(tried) - 1)])
        mass = ((np.asarray(batch.precursor_mz, dtype=np.float64)[spectrum] - PROTON) * charge).astype(np.float32)
        found = _native.xcorr_histograms(
            db, batch.peak_offsets, batch.mass, batch.intensity, spectrum.astype(np.int64), mass,
            charge.astype(np.uint8), evidence.bin_width, evidence.bin_offset, evidence.flank_bins,
            evidence.max_fragment_charge, NULL_WINDOW_DA, NULL_SAMPLE, HISTOGRAM_BIN, HISTOGRAM_BINS)
        counts.append(np.frombuffer(found["counts"], np.uint32).reshape(len(batch), HISTOGRAM_BINS))
        keys += list(zip(file_ids.tolist(), batch.ids))
    return keys, np.concatenate(counts)


def histogram_tails(keys: Sequence[tuple[int, str]], counts: np.ndarray) -> dict[tuple[int, str], tuple]:
    """The tails (see `null_tails`) of score histograms `counts` (one row per key, bins of HISTOGRAM_BIN from
    0): log10 of the share of the sample in or above a bin against the bin's lower edge, fitted by least squares
    over the bins where at most TAIL_SHARE of the sample (at least TAIL_MIN peptides) but two or more score as
    high, each occupied bin once. The first and last bins (which hold every score beyond the range) and the
    single best score, which may be the spectrum's own peptide, are left out."""
    counts = np.asarray(counts, dtype=np.float64).reshape(len(keys), -1)
    if not len(keys):
        return {}
    survival = np.cumsum(counts[:, ::-1], axis=1)[:, ::-1]
    total = survival[:, :1]
    upper = np.maximum(total * TAIL_SHARE, np.minimum(total / 3, TAIL_MIN))
    use = (counts > 0) & (survival >= 2) & (survival <= upper)
    use[:, [0, -1]] = False
    row, col = np.nonzero(use)
    intercept, slope = falling_line(row, col * HISTOGRAM_BIN, np.log10(survival[row, col] / total[row, 0]), len(keys))
    ok = np.isfinite(slope)
    return {(int(keys[i][0]), str(keys[i][1])): (float(intercept[i]), float(slope[i])) for i in np.flatnonzero(ok)}


def fit_tails(rows: Table) -> dict[tuple[int, str], tuple]:
    """Per spectrum (file_id, spec_id): intercept and slope of log10(rank / scored candidates) against the
    hyperscore (see `tail_fit`), from ranks 2 to NULL_PSMS of the wide pass's `rows`.

    Rank 1 is left out, as it may be the spectrum's true peptide. Spectra
    without a fit are missing from the result.
    """
    from .rescore import spectrum_numbers

    keys = list(zip(rows["file_id"].tolist(), rows["spec_id"].tolist()))
    group = spectrum_numbers(keys)
    intercept, slope = tail_fit(group, rows["rank"], rows["hyperscore"], rows["scored_candidates"])
    first: dict = {}
    for i, key in enumerate(keys):
        first.setdefault(key, group[i])
    return {(int(f), str(k)): (float(intercept[i]), float(slope[i])) for (f, k), i in first.items()
            if np.isfinite(slope[i])}


def tail_fit(group: np.ndarray, rank: np.ndarray, score: np.ndarray, candidates: np.ndarray):
    """Per spectrum number 0 .. group.max(): intercept and slope of log10(rank / candidates) against the
    score, fitted to the rows of rank 2 and below (see `falling_line`)."""
    r = np.asarray(rank, dtype=np.float64)
    x = np.asarray(score, dtype=np.float64)
    n = np.maximum(np.asarray(candidates, dtype=np.float64), r)
    use = (r >= 2) & np.isfinite(x)
    return falling_line(group[use], x[use], np.log10(r[use] / n[use]), int(group.max()) + 1 if len(group) else 0)


def falling_line(group: np.ndarray, x: np.ndarray, y: np.ndarray, count: int) -> tuple[np.ndarray, np.ndarray]:
    """Per group 0 .. count - 1: intercept and slope of y against x by least squares; NaN for both where
    there is no fit.

    A group needs four points, not all at one x, and a falling line (a rising
    one says the sample is no tail at all).
    """
    m, sx, sy, sxx, sxy = (np.bincount(group, weights=w, minlength=count)
                           for w in (np.ones_like(x), x, y, x * x, x * y))
    spread = m * sxx - sx * sx
    ok = (m >= 4) & (spread > 1e-9 * np.maximum(m * sxx, 1.0))
    slope = np.divide(m * sxy - sx * sy, spread, out=np.full(count, np.nan), where=ok)
    ok &= slope < 0
    slope[~ok] = np.nan
    intercept = np.divide(sy - slope * sx, m, out=np.full(count, np.nan), where=ok)
    return intercept, slope


def tail_features(table: Table, tails: dict[tuple[int, str], tuple], score: np.ndarray) -> np.ndarray:
    """Per row, for `score` (what `tails` were fitted to): -log10 of its chance under its spectrum's fitted
    tail (0 without a fit), and the same less log10 of the candidates the row competed with (an E-value)."""
    lines = np.array([tails.get((int(f), str(k)), (0.0, 0.0))
                      for f, k in zip(table["file_id"], table["spec_id"])], dtype=np.float64).reshape(-1, 2)
    log_p = np.nan_to_num(np.maximum(-(lines[:, 0] + lines[:, 1] * np.asarray(score, dtype=np.float64)), 0.0),
                          nan=0.0)
    return np.column_stack([log_p, log_p - log_candidates(table)])


def log_candidates(table: Table) -> np.ndarray:
    return np.log10(np.maximum(np.asarray(table["scored_candidates"], dtype=np.float64), 1.0))


def evidence_features(table: Table, evidence: np.ndarray) -> np.ndarray:
    """Four columns per row from its fragment evidence (see `evidence.take_evidence`; 0 where a value is
    missing): the cross-correlation score, -log10 of its chance level and its z-score among random ladders of
    its mass, and the chance level less log10 of the candidates the row competed with (an E-value)."""
    xcorr, log_p, z = (np.nan_to_num(evidence[:, i], nan=0.0) for i in range(3))
    return np.column_stack([xcorr, log_p, z, log_p - log_candidates(table)])


@dataclass(frozen=True)
class Chance:
    """What calibrates a PSM table's scores without learning: the spectra's tails (see `null_tails`) and the
    fragment evidence (per row, see `evidence.take_evidence`), either may be absent. With the evidence the
    tails are those of its cross-correlation score, else of the hyperscore."""

    tails: Optional[dict] = None
    evidence: Optional[np.ndarray] = None

    def tailed_score(self, table: Table) -> np.ndarray:
        if self.evidence is not None:
            return np.nan_to_num(self.evidence[:, 0], nan=0.0)
        return np.asarray(table["hyperscore"], dtype=np.float64)

    def features(self, table: Table) -> Optional[np.ndarray]:
        """The rescoring features of both, or None when there are neither."""
        parts = ([tail_features(table, self.tails, self.tailed_score(table))] if self.tails is not None else []) + (
            [evidence_features(table, self.evidence)] if self.evidence is not None else [])
        return np.column_stack(parts) if parts else None


def competition_rows(table: Table, chimera: bool) -> np.ndarray:
    """Rows that compete for identifications: each spectrum's best match (every extracted match when chimeric)."""
    rank = np.asarray(table["rank"])
    return np.ones(len(rank), dtype=bool) if chimera else rank == 1


def calibrated_scores(table: Table, chance: Chance | None) -> np.ndarray:
    """The score q-values are computed from without learning: -log10 of each row's E-value under its
    spectrum's fitted tail (`tail_features`), or the hyperscore when no tails were fitted."""
    if chance is None or chance.tails is None:
        return np.asarray(table["hyperscore"], dtype=np.float64)
    return tail_features(table, chance.tails, chance.tailed_score(table))[:, 1]


def control_errors(table: Table, settings: SearchSettings, extra_features: np.ndarray | None = None,
                   chance: Chance | None = None) -> dict:
    """Fill the final score and the spectrum and peptide q-values into `table`, in place; returns a summary.

    q-values count at least the fitted tail of the decoys (see `fdr.qvalues`):
    a run with tens of targets otherwise accepts, at q = 0, the chance
    targets that happen to score above its best decoy.
    The final score is the calibrated one (`calibrated_scores` with `chance`)
    unless rescoring is on and its cross-validated discriminant beats it on
    held-out spectra (see `rescore.rescore`). The discriminant sees the
    engine's columns and `extra_features` (one row per table row, such as
    `Chance.features` and the retention-time error).
    """
    from .rescore import RescoreSettings, feature_matrix, rescore

    is_decoy = np.asarray(table["label"]) == -1
    compete = competition_rows(table, settings.chimera)
    hyper = np.asarray(table["hyperscore"], dtype=np.float64)
    calibrated = calibrated_scores(table, chance)
    final = calibrated.copy()
    learned_share = 0.0
    if settings.rescore and compete.any():
        sub = {name: np.asarray(values)[compete] for name, values in table.items()}
        spectra = list(zip(sub["file_id"].tolist(), sub["spec_id"].tolist()))
        parts = [feature_matrix(sub)]
        if extra_features is not None:
            parts.append(np.asarray(extra_features, dtype=np.float64).reshape(len(final), -1)[compete])
        outcome = rescore(np.column_stack(parts), is_decoy[compete], spectra, calibrated[compete],
                          RescoreSettings(train_fdr=RESCORE_TRAIN_FDR))
        if outcome is not None and outcome[1] > 0:  # else the calibrated score as it is, not rescaled per fold
            final[compete], learned_share = outcome
    spectrum_q = np.full(len(final), np.nan)
    peptide_q = np.full(len(final), np.nan)
    plus_one = settings.conservative_fdr
    peptides = np.asarray(table["peptide"], dtype=object)
    spectrum_q[compete] = qvalues(final[compete], is_decoy[compete], plus_one, tail=True)
    peptide_q[compete] = peptide_qvalues(peptides[compete], final[compete], is_decoy[compete], plus_one, tail=True)
    table["discriminant_score"] = final.astype(np.float32)
    table["spectrum_q"] = spectrum_q.astype(np.float32)
    table["peptide_q"] = peptide_q.astype(np.float32)
    targets = compete & ~is_decoy
    accepted = targets & (spectrum_q <= settings.fdr)

    def accepted_by(score: np.ndarray) -> int:
        q = qvalues(score[compete], is_decoy[compete], plus_one, tail=True)
        return int(((~is_decoy[compete]) & (q <= settings.fdr)).sum())

    return {
        "spectra_competing": int(compete.sum()),
        "decoys_competing": int((compete & is_decoy).sum()),
        "rescored": learned_share > 0.5,
        "learned_share": learned_share,
        "psms_at_fdr": int(accepted.sum()),
        "peptides_at_fdr": len(set(peptides[targets & (peptide_q <= settings.fdr)].tolist())),
        "psms_at_fdr_hyperscore": accepted_by(hyper),
        "psms_at_fdr_calibrated": accepted_by(calibrated),
    }
