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
    from .search import engine

    ext = engine()
    frag = settings.fragment_tol
    fragment_tol = ext.PyTolerance.Da(-frag, frag) if settings.fragment_unit == "da" else ext.PyTolerance.Ppm(-frag, frag)
    return ext.PyScorer(
        ext.PyTolerance.Da(-NULL_WINDOW_DA, NULL_WINDOW_DA), fragment_tol, wide_window=False, chimera=False,
        report_psms=report_psms, min_isotope_err=0, max_isotope_err=0,
        min_precursor_charge=settings.min_precursor_charge, max_precursor_charge=settings.max_precursor_charge,
        min_matched_peaks=min_matched_peaks, annotate_matches=False, max_fragment_charge=settings.max_fragment_charge)


def null_tails(spectra: Sequence[Spectrum], db, settings: SearchSettings) -> dict[tuple[int, str], tuple[float, float]]:
    """The tails (see `fit_tails`) of the wide pass over `spectra`."""
    from .search import score_pass

    return fit_tails(score_pass(spectra, db, null_scorer(settings), settings.batch_size))


def fit_tails(rows: Table) -> dict[tuple[int, str], tuple[float, float]]:
    """Per spectrum (file_id, spec_id): intercept and slope of log10(rank / scored candidates) against the
    hyperscore, a least-squares line through ranks 2 to NULL_PSMS of the wide pass's `rows`.

    Rank 1 is left out, as it may be the spectrum's true peptide; spectra with
    fewer than four such ranks, or all of one score, get no line.
    """
    from .rescore import spectrum_numbers

    keys = list(zip(rows["file_id"].tolist(), rows["spec_id"].tolist()))
    r = rows["rank"].astype(np.float64)
    x = rows["hyperscore"].astype(np.float64)
    n = np.maximum(rows["scored_candidates"].astype(np.float64), r)
    group = spectrum_numbers(keys)
    use = (r >= 2) & np.isfinite(x)
    g, x, y = group[use], x[use], np.log10(r[use] / n[use])
    count = int(group.max()) + 1 if len(group) else 0
    sums = [np.bincount(g, weights=w, minlength=count) for w in (np.ones_like(x), x, y, x * x, x * y)]
    m, sx, sy, sxx, sxy = sums
    spread = m * sxx - sx * sx
    ok = (m >= 4) & (spread > 1e-9 * np.maximum(m * sxx, 1.0))
    slope = np.divide(m * sxy - sx * sy, spread, out=np.zeros(count), where=ok)
    intercept = np.divide(sy - slope * sx, m, out=np.zeros(count), where=ok)
    first: dict = {}
    for i, key in enumerate(keys):
        first.setdefault(key, group[i])
    return {(int(f), str(k)): (float(intercept[i]), float(slope[i])) for (f, k), i in first.items() if ok[i]}


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


def control_errors(table: Table, settings: SearchSettings, extra_features: np.ndarray | None = None) -> dict:
    """Fill q-values (and the discriminant when rescoring) into `table`, in place; returns a summary.

    `extra_features` (one row per table row, such as `tail_features`) join the
    engine's columns in the discriminant.
    """
    from .rescore import feature_matrix, rescore

    is_decoy = np.asarray(table["label"]) == -1
    compete = competition_rows(table, settings.chimera)
    hyper = np.asarray(table["hyperscore"], dtype=np.float64)
    final = hyper.copy()
    rescored = False
    if settings.rescore and compete.any():
        sub = {name: np.asarray(values)[compete] for name, values in table.items()}
        spectra = list(zip(sub["file_id"].tolist(), sub["spec_id"].tolist()))
        x = feature_matrix(sub)
        if extra_features is not None:
            x = np.column_stack([x, np.asarray(extra_features, dtype=np.float64)[compete]])
        scores = rescore(x, is_decoy[compete], spectra, hyper[compete])
        if scores is not None:
            final[compete] = scores
            rescored = True
    spectrum_q = np.full(len(final), np.nan)
    peptide_q = np.full(len(final), np.nan)
    plus_one = settings.conservative_fdr
    peptides = np.asarray(table["peptide"], dtype=object)
    spectrum_q[compete] = qvalues(final[compete], is_decoy[compete], plus_one)
    peptide_q[compete] = peptide_qvalues(peptides[compete], final[compete], is_decoy[compete], plus_one)
    hyper_q = qvalues(hyper[compete], is_decoy[compete], plus_one)
    table["discriminant_score"] = final.astype(np.float32)
    table["spectrum_q"] = spectrum_q.astype(np.float32)
    table["peptide_q"] = peptide_q.astype(np.float32)
    targets = compete & ~is_decoy
    accepted = targets & (spectrum_q <= settings.fdr)
    return {
        "spectra_competing": int(compete.sum()),
        "decoys_competing": int((compete & is_decoy).sum()),
        "rescored": rescored,
        "psms_at_fdr": int(accepted.sum()),
        "peptides_at_fdr": len(set(peptides[targets & (peptide_q <= settings.fdr)].tolist())),
        "psms_at_fdr_hyperscore": int(((~is_decoy[compete]) & (hyper_q <= settings.fdr)).sum()),
    }
