"""Ion mobility: `predicted_ims` and `delta_ims_model` where the spectra carry it.

A precursor's inverse reduced mobility (1/K0) follows its m/z within each
charge state closely; per file (or over all files, where one holds too few),
a least-squares fit of 1/K0 on charge-wise lines in m/z and (m/z)^2 to the
matches the calibrated score accepts predicts every match. Folds by peptide
keep a confident match's own mobility, and its peptide's other matches, out
of its prediction. Where no spectrum carries a mobility (or too few accepted
matches do), both columns keep the engine's constants (0.0 and 0.999).
The error does not join rescoring.
"""
from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

from .masses import PROTON

if TYPE_CHECKING:
    from .search import Table

#: Accepted matches with a mobility below which no model is fitted (to a file, or to all files).
MIN_TRAINING = 30
FOLDS = 5


def _design(mz: np.ndarray, charge: np.ndarray, charges: np.ndarray) -> np.ndarray:
    """One intercept, slope and curvature in m/z (in thousands) per charge state of `charges`."""
    x = mz / 1000.0
    columns = [(charge == z) * power for z in charges.tolist() for power in (np.ones_like(x), x, x * x)]
    return np.column_stack(columns)


def _predict(train: np.ndarray, y: np.ndarray, mz: np.ndarray, charge: np.ndarray, rows: np.ndarray) -> np.ndarray:
    """Predictions for `rows` from a fit to `train` (row indices); a charge state the fit has no rows of is
    predicted by the fit over every charge's rows as one."""
    charges = np.unique(charge[train])
    coef = np.linalg.lstsq(_design(mz[train], charge[train], charges), y[train], rcond=None)[0]
    pooled = np.linalg.lstsq(_design(mz[train], np.ones(len(train)), np.ones(1)), y[train], rcond=None)[0]
    out = _design(mz[rows], np.ones(len(rows)), np.ones(1)) @ pooled
    known = np.isin(charge[rows], charges)
    out[known] = (_design(mz[rows], charge[rows], charges) @ coef)[known]
    return out


def fill_mobility(table: Table, compete: np.ndarray, q: np.ndarray, fdr: float) -> bool:
    """Fill `predicted_ims` and `delta_ims_model` of a PSM table in place where its rows carry a mobility;
    returns whether a model was fitted. Accepted: competing targets at `q` <= `fdr`."""
    ims = np.asarray(table["ims"], dtype=np.float64)
    carried = np.isfinite(ims) & (ims > 0)
    accepted = carried & compete & ~np.asarray(table["is_decoy"], dtype=bool) & (np.nan_to_num(q, nan=1.0) <= fdr)
    if accepted.sum() < MIN_TRAINING:
        return False
    charge = np.asarray(table["charge"], dtype=np.float64)
    mz = np.asarray(table["calcmass"], dtype=np.float64) / np.maximum(charge, 1) + float(PROTON)
    _, peptide = np.unique(np.asarray(table["sequence"], dtype=object).astype(str), return_inverse=True)
    fold = peptide % FOLDS
    file_id = np.asarray(table["file_id"])
    predicted = np.full(len(ims), np.nan)
    groups = [file_id == f for f in np.unique(file_id[carried]).tolist()]
    if any((accepted & g).sum() < MIN_TRAINING for g in groups):
        groups = [carried]  # one file holds too few: one model over all files
    for group in groups:
        train = np.flatnonzero(accepted & group)
        rest = np.flatnonzero(carried & group & ~accepted)
        if len(rest):
            predicted[rest] = _predict(train, ims, mz, charge, rest)
        for k in range(FOLDS):  # each accepted match predicted without its peptide's matches
            held, rest = train[fold[train] == k], train[fold[train] != k]
            if len(held) and len(rest) >= MIN_TRAINING // 2:
                predicted[held] = _predict(rest, ims, mz, charge, held)
    rows = np.flatnonzero(carried & np.isfinite(predicted))  # the others keep the constants
    table["predicted_ims"] = np.asarray(table["predicted_ims"]).copy()
    table["delta_ims_model"] = np.asarray(table["delta_ims_model"]).copy()
    table["predicted_ims"][rows] = predicted[rows]
    table["delta_ims_model"][rows] = np.abs(ims[rows] - predicted[rows])
    return True
