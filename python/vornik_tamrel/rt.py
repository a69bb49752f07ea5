"""Retention time: files aligned onto one scale, and a composition model fitted on confident matches.

Alignment: the file with the most confident peptides sets the scale; every
other file is mapped onto it by a straight line through the peptides both
identified confidently (median times, one pass of outlier removal), by a
shift when they share fewer than three, and left as it is when they share
none.

Model: retention on the common scale as a function of composition, starting
from a published reversed-phase hydrophobicity scale with a length
correction, and per-residue corrections learned on top under a
ridge penalty; the scale and the penalty are chosen by cross-validation.
Every confident match is predicted by a model fitted without its peptide, so
its error is as honest as that of a match the model never saw: the error can
then serve as a rescoring feature without favouring the training targets.
"""
from __future__ import annotations

from typing import Optional

import numpy as np

RESIDUES = "ACDEFGHIKLMNPQRSTVWY"
MIN_PEPTIDES = 8  # fewer confident peptides than this: no model
# A model on a dozen peptides predicts poorly: while the run's FDR leaves fewer than WANT_PEPTIDES
# peptides, training looks further down the list, one level at a time (its few false matches have
# times of their own, which the cross-validated penalty absorbs).
WANT_PEPTIDES = 20
TRAIN_FDR = (0.05, 0.1)
MIN_SHARED = 3  # shared peptides needed for a line (fewer: a shift)
FOLDS = 5
PENALTIES = (0.1, 1.0, 10.0, 100.0, np.inf)  # ridge weights per training peptide; inf: the scale alone
# Published retention coefficients per residue, in RESIDUES order, for acidic reversed phase:
# Dwivedi et al., Anal. Chem. 2008 (C18, 0.1% formic acid; and 0.1% TFA); Palmblad et al.,
# Rapid Commun. Mass Spectrom. 2002 (C18, 0.5% acetic acid).
SCALES = {
    "formic acid": (1.63, 0.7, 0.95, 1.75, 11.92, -0.07, -5.05, 9.06, -5.08, 9.89,
                    6.96, -0.59, 1.98, 0.2, -3.55, 0.27, 1.37, 5.72, 13.67, 5.97),
    "trifluoroacetic acid": (1.11, 0.04, -0.22, 1.08, 11.34, -0.35, -3.04, 7.86, -3.53, 9.44,
                             6.57, -1.44, 1.62, -0.53, -2.58, -0.33, 0.48, 4.86, 13.12, 5.4),
    "acetic acid": (0.41, -1.32, 0.04, -0.26, 2.68, -0.29, 0.57, 2.7, -0.66, 2.28,
                    0.98, -0.54, 0.97, 1.02, -0.76, -0.71, 0.37, 2.44, 4.68, 2.78),
}


def composition(sequences) -> np.ndarray:
    """Residue counts, one row per sequence, columns in RESIDUES order (other letters not counted)."""
    codes = np.zeros(256, dtype=np.int64) - 1
    codes[np.frombuffer(RESIDUES.encode(), np.uint8)] = np.arange(len(RESIDUES))
    out = np.zeros((len(sequences), len(RESIDUES)))
    for i, s in enumerate(sequences):
        c = codes[np.frombuffer(s.encode(), np.uint8)]
        out[i] = np.bincount(c[c >= 0], minlength=len(RESIDUES))
    return out


def design(counts: np.ndarray, scale: str) -> tuple[np.ndarray, np.ndarray]:
    """(unpenalised columns: 1, hydrophobicity, hydrophobicity x log length; penalised: residue counts)."""
    h = counts @ np.array(SCALES[scale])
    length = np.maximum(counts.sum(axis=1), 1.0)
    return np.column_stack([np.ones(len(h)), h, h * np.log(length)]), counts


class RetentionModel:
    """Least squares on the unpenalised columns plus ridge-penalised residue corrections."""

    def __init__(self, base: np.ndarray, extra: np.ndarray, y: np.ndarray, penalty: float):
        self.mean = extra.mean(axis=0)
        x = np.column_stack([base, extra - self.mean]) if np.isfinite(penalty) else base
        ridge = np.zeros(x.shape[1])
        ridge[base.shape[1]:] = penalty * len(y)
        gram = x.T @ x + np.diag(ridge) + 1e-9 * np.eye(x.shape[1])
        self.coef = np.linalg.solve(gram, x.T @ y)
        self.full = np.isfinite(penalty)

    def predict(self, base: np.ndarray, extra: np.ndarray) -> np.ndarray:
        x = np.column_stack([base, extra - self.mean]) if self.full else base
        return x @ self.coef


def _out_of_fold(base, extra, y, fold, penalty) -> np.ndarray:
    out = np.empty(len(y))
    for k in np.unique(fold).tolist():
        test = fold == k
        out[test] = RetentionModel(base[~test], extra[~test], y[~test], penalty).predict(base[test], extra[test])
    return out


def align(file_id, peptides, rt, confident) -> dict[int, tuple[float, float]]:
    """Per file: (intercept, slope) of the line onto the reference file's scale."""
    file_id = np.asarray(file_id)
    rt = np.asarray(rt, dtype=np.float64)
    times: dict[int, dict[str, list[float]]] = {}
    for f, p, t in zip(file_id[confident].tolist(), np.asarray(peptides, dtype=object)[confident].tolist(),
                       rt[confident].tolist()):
        times.setdefault(f, {}).setdefault(p, []).append(t)
    lines = {int(f): (0.0, 1.0) for f in np.unique(file_id).tolist()}
    if not times:
        return lines
    median = {f: {p: float(np.median(t)) for p, t in by.items()} for f, by in times.items()}
    reference = max(median, key=lambda f: (len(median[f]), -f))
    for f, by in median.items():
        shared = sorted(set(by) & set(median[reference])) if f != reference else []
        if not shared:
            continue
        x = np.array([by[p] for p in shared])
        y = np.array([median[reference][p] for p in shared])
        lines[f] = _line(x, y)
    return lines


def _line(x: np.ndarray, y: np.ndarray) -> tuple[float, float]:
    shift = (float(np.median(y - x)), 1.0)
    if len(x) < MIN_SHARED or np.ptp(x) <= 0:
        return shift
    keep = np.ones(len(x), dtype=bool)
    for _ in range(2):
        slope, intercept = np.polyfit(x[keep], y[keep], 1)
        residual = np.abs(y - (intercept + slope * x))
        spread = 1.4826 * np.median(residual[keep])
        if spread <= 0 or (residual[keep] <= 3 * spread).all():
            break
        keep = residual <= 3 * spread
        if keep.sum() < MIN_SHARED or np.ptp(x[keep]) <= 0:
            break
    return (float(intercept), float(slope)) if slope > 0 else shift


def fill_retention(table, compete: np.ndarray, q: np.ndarray, fdr: float) -> Optional[np.ndarray]:
    """Fill `aligned_rt`, `predicted_rt` and `delta_rt_model` of a PSM table in place; returns the RT error
    feature (one value per row), or None when too few confident peptides leave the columns as they were.

    Confident: competing targets at `q` <= `fdr` (or looser, see WANT_PEPTIDES), `q` being one q-value
    per row. `delta_rt_model` is
    |aligned - predicted| as a share of the run's aligned time span, at most 1.
    """
    peptides = np.asarray(table["sequence"], dtype=object)
    rt = np.asarray(table["rt"], dtype=np.float64)
    file_id = np.asarray(table["file_id"])
    targets = compete & ~np.asarray(table["is_decoy"], dtype=bool)
    q = np.nan_to_num(np.asarray(q, dtype=np.float64), nan=1.0)
    for level in (fdr, *(level for level in TRAIN_FDR if level > fdr)):
        confident = targets & (q <= level)
        train_peptides = sorted(set(peptides[confident].tolist()))
        if len(train_peptides) >= WANT_PEPTIDES:
            break
    if len(train_peptides) < MIN_PEPTIDES:
        return None
    lines = align(file_id, peptides, rt, confident)
    intercept = np.array([lines[int(f)][0] for f in file_id.tolist()])
    slope = np.array([lines[int(f)][1] for f in file_id.tolist()])
    aligned = intercept + slope * rt

    distinct, inverse = np.unique(peptides.astype(str), return_inverse=True)
    counts = composition(distinct.tolist())
    rows = np.flatnonzero(confident)
    y = aligned[rows]
    number = {p: i for i, p in enumerate(train_peptides)}
    fold = np.array([number[p] % FOLDS for p in peptides[rows].tolist()])
    _, name, penalty = min(
        (float(np.mean((_out_of_fold(*design(counts[inverse[rows]], name), y, fold, w) - y) ** 2)), name, w)
        for name in SCALES for w in PENALTIES)
    base_all, extra_all = design(counts, name)
    base, extra = base_all[inverse[rows]], extra_all[inverse[rows]]
    predicted = RetentionModel(base, extra, y, penalty).predict(base_all, extra_all)[inverse]
    predicted[rows] = _out_of_fold(base, extra, y, fold, penalty)

    span = max(float(np.ptp(aligned)), 1e-9)
    delta = np.minimum(np.abs(aligned - predicted) / span, 1.0)
    table["aligned_rt"] = aligned.astype(np.float32)
    table["predicted_rt"] = predicted.astype(np.float32)
    table["delta_rt_model"] = delta.astype(np.float32)
    return delta
