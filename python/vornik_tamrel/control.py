"""Error control: per-spectrum chance levels, rescoring and q-values for a PSM table.

The table comes from `search.psm_table`; `control_errors` fills its
discriminant score and its spectrum and peptide q-values in place.
"""
from __future__ import annotations

from typing import TYPE_CHECKING, Sequence

import numpy as np

from .fdr import peptide_qvalues, qvalues

if TYPE_CHECKING:
    from .search import SearchSettings, Table
    from .spectra import Spectrum


# A hyperscore means little on its own: spectra with many peaks, or many
# similar candidates, score high by chance. A second pass with the precursor
# window widened to +/- NULL_WINDOW_DA samples each spectrum's scores against
# unrelated peptides (hundreds even on a small database); the exponential tail
# fitted to its best NULL_PSMS says how often chance alone reaches a score.
NULL_WINDOW_DA = 25.0
NULL_PSMS = 20


def null_scorer(settings: SearchSettings, report_psms: int = NULL_PSMS, min_matched_peaks: int = 1):
    """The wide pass's scorer: +/- NULL_WINDOW_DA around each precursor, isotope error 0."""
    from .score import build_scorer

    return build_scorer(settings, ("da", NULL_WINDOW_DA), wide_window=False, chimera=False, report_psms=report_psms,
                        min_isotope_err=0, max_isotope_err=0, min_matched_peaks=min_matched_peaks)


def null_tails(spectra: Sequence[Spectrum], db, settings: SearchSettings) -> dict[tuple[int, str], tuple[float, float]]:
    """The tails (see `fit_tails`) of the wide pass over `spectra`."""
    from .score import score_pass

    return fit_tails(score_pass(spectra, db, null_scorer(settings), settings.batch_size))


def fit_tails(rows: Table) -> dict[tuple[int, str], tuple[float, float]]:
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
    score, fitted by least squares to the rows of rank 2 and below; NaN for both where there is no fit.

    A spectrum needs four such rows, not all of one score, and a falling line
    (a rising one says the sample is no tail at all).
    """
    r = np.asarray(rank, dtype=np.float64)
    x = np.asarray(score, dtype=np.float64)
    n = np.maximum(np.asarray(candidates, dtype=np.float64), r)
    use = (r >= 2) & np.isfinite(x)
    g, x, y = group[use], x[use], np.log10(r[use] / n[use])
    count = int(group.max()) + 1 if len(group) else 0
    m, sx, sy, sxx, sxy = (np.bincount(g, weights=w, minlength=count) for w in (np.ones_like(x), x, y, x * x, x * y))
    spread = m * sxx - sx * sx
    ok = (m >= 4) & (spread > 1e-9 * np.maximum(m * sxx, 1.0))
    slope = np.divide(m * sxy - sx * sy, spread, out=np.full(count, np.nan), where=ok)
    ok &= slope < 0
    slope[~ok] = np.nan
    intercept = np.divide(sy - slope * sx, m, out=np.full(count, np.nan), where=ok)
    return intercept, slope


def tail_features(table: Table, tails: dict[tuple[int, str], tuple[float, float]]) -> np.ndarray:
    """Two columns per row: -log10 of the chance of the row's hyperscore under its spectrum's fitted tail
    (0 without a fit), and the same less log10 of the candidates the row competed with (an E-value)."""
    hyper = np.asarray(table["hyperscore"], dtype=np.float64)
    lines = np.array([tails.get((int(f), str(k)), (0.0, 0.0)) for f, k in zip(table["file_id"], table["spec_id"])],
                     dtype=np.float64).reshape(-1, 2)
    log_p = np.nan_to_num(np.maximum(-(lines[:, 0] + lines[:, 1] * hyper), 0.0), nan=0.0)
    candidates = np.maximum(np.asarray(table["scored_candidates"], dtype=np.float64), 1.0)
    return np.column_stack([log_p, log_p - np.log10(candidates)])


def competition_rows(table: Table, chimera: bool) -> np.ndarray:
    """Rows that compete for identifications: each spectrum's best match (every extracted match when chimeric)."""
    rank = np.asarray(table["rank"])
    return np.ones(len(rank), dtype=bool) if chimera else rank == 1


def calibrated_scores(table: Table, tails: dict | None) -> np.ndarray:
    """The score q-values are computed from without learning: -log10 of each row's E-value under its
    spectrum's fitted tail (`tail_features`), or the hyperscore when no tails were fitted."""
    if tails is None:
        return np.asarray(table["hyperscore"], dtype=np.float64)
    return tail_features(table, tails)[:, 1]


def control_errors(table: Table, settings: SearchSettings, extra_features: np.ndarray | None = None,
                   tails: dict | None = None) -> dict:
    """Fill the final score and the spectrum and peptide q-values into `table`, in place; returns a summary.

    The final score is the calibrated one (`calibrated_scores` with `tails`)
    unless rescoring is on and its cross-validated discriminant beats it on
    held-out spectra (see `rescore.rescore`). The discriminant sees the
    engine's columns and `extra_features` (one row per table row, such as
    `tail_features` and the retention-time error).
    """
    from .rescore import feature_matrix, rescore

    is_decoy = np.asarray(table["label"]) == -1
    compete = competition_rows(table, settings.chimera)
    hyper = np.asarray(table["hyperscore"], dtype=np.float64)
    calibrated = calibrated_scores(table, tails)
    final = calibrated.copy()
    learned_share = 0.0
    if settings.rescore and compete.any():
        sub = {name: np.asarray(values)[compete] for name, values in table.items()}
        spectra = list(zip(sub["file_id"].tolist(), sub["spec_id"].tolist()))
        parts = [feature_matrix(sub)]
        if extra_features is not None:
            parts.append(np.asarray(extra_features, dtype=np.float64).reshape(len(final), -1)[compete])
        outcome = rescore(np.column_stack(parts), is_decoy[compete], spectra, calibrated[compete])
        if outcome is not None:
            final[compete], learned_share = outcome
    spectrum_q = np.full(len(final), np.nan)
    peptide_q = np.full(len(final), np.nan)
    plus_one = settings.conservative_fdr
    peptides = np.asarray(table["peptide"], dtype=object)
    spectrum_q[compete] = qvalues(final[compete], is_decoy[compete], plus_one)
    peptide_q[compete] = peptide_qvalues(peptides[compete], final[compete], is_decoy[compete], plus_one)
    table["discriminant_score"] = final.astype(np.float32)
    table["spectrum_q"] = spectrum_q.astype(np.float32)
    table["peptide_q"] = peptide_q.astype(np.float32)
    targets = compete & ~is_decoy
    accepted = targets & (spectrum_q <= settings.fdr)

    def accepted_by(score: np.ndarray) -> int:
        return int(((~is_decoy[compete]) & (qvalues(score[compete], is_decoy[compete], plus_one) <= settings.fdr)).sum())

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
