"""False discovery rate control by target-decoy competition.

Targets and decoys compete inside the search (each spectrum reports its best
match among both), so the surviving decoys estimate the false targets at
every score threshold: FDR(t) = D(t) / T(t), the numbers of decoys and of
targets scoring at least t. With `plus_one` the estimate is (D(t) + 1) / T(t),
which bounds the expected FDR even when decoys are rare, at the price of
accepting nothing below about 100 targets at 1%. A q-value is the smallest
FDR of any threshold that accepts the match. Matches with equal scores are
accepted or rejected together, so they share one q-value.

Above the best decoy D(t) is 0, and on a run with tens of targets the
handful of chance targets that land there get q = 0. With `tail` the decoy
count is never taken below an exponential tail fitted to the best decoys
(the tail of a best-of-many score): it keeps falling past the last decoy
instead of dropping to 0, so a target just above the best decoy is charged
about one false match, and only targets well clear of the decoys are free.
A run of a few dozen spectra has only a handful of decoys: its tail is
fitted to them all, and with fewer than three the count is taken as one more
than it is (as with `plus_one`). By the count alone such a run accepted its
chance targets at q = 0 whenever they outscored its few decoys: half of the
runs of ten chance matches accepted one at 1%.
"""
from __future__ import annotations

import numpy as np


# The decoy tail is fitted to the best max(TAIL_DECOYS, sqrt(decoys)) decoys,
# over the next one. A run with fewer has all its decoys but the last fitted:
# an exponential through a handful of decoys mostly fits their bulk, a
# heavier tail than their best alone would give, which errs on the safe side.
# Below MIN_TAIL_DECOYS + 1 decoys there is no tail.
TAIL_DECOYS = 10
MIN_TAIL_DECOYS = 2


def decoy_tail(decoy_scores: np.ndarray, thresholds: np.ndarray) -> np.ndarray | None:
    """Expected decoys scoring at least each of `thresholds` by an exponential fitted to the best decoys
    (their excess over the next decoy's score; rate (k - 1) / total excess, which errs towards a heavier
    tail), or None when there are too few decoys; 0 at and below the next decoy, where the count is used."""
    ranked = np.sort(decoy_scores[np.isfinite(decoy_scores)])[::-1]
    k = max(TAIL_DECOYS, int(np.sqrt(len(ranked))))
    if len(ranked) <= k:
        if len(ranked) <= MIN_TAIL_DECOYS:
            return None
        k = len(ranked) - 1
    floor = ranked[k]
    excess = float((ranked[:k] - floor).sum())
    if not excess > 0:
        return np.zeros(len(thresholds))
    with np.errstate(over="ignore"):  # thresholds far below the floor, where the count is used instead
        return np.where(thresholds > floor, k * np.exp(-(k - 1) / excess * (thresholds - floor)), 0.0)


def qvalues(scores, is_decoy, plus_one: bool = False, tail: bool = False) -> np.ndarray:
    """q-value of every entry (targets and decoys alike), higher scores being better; `tail`: the decoy
    count at each threshold is at least the fitted decoy tail's (see `decoy_tail`), or one more than it is
    where there are too few decoys for a tail.

    NaN scores rank below every number. Returns float64, in input order.
    """
    scores = np.asarray(scores, dtype=np.float64)
    is_decoy = np.asarray(is_decoy, dtype=bool)
    if scores.shape != is_decoy.shape or scores.ndim != 1:
        raise ValueError("scores and decoy flags must be one-dimensional and of equal length")
    n = len(scores)
    if n == 0:
        return np.empty(0)
    ranked = np.where(np.isnan(scores), -np.inf, scores)
    # Entries of equal score share a q-value, so their order among themselves is immaterial.
    order = np.argsort(-ranked)
    s, d = ranked[order], is_decoy[order]
    decoys = np.cumsum(d)
    targets = np.arange(1, n + 1) - decoys
    if tail:
        fitted = decoy_tail(s[d], s)
        if fitted is not None:
            decoys = np.maximum(decoys, fitted)
        else:
            plus_one = True
    # Evaluate the FDR only at the last entry of each block of equal scores.
    block_end = np.ones(n, dtype=bool)
    block_end[:-1] = s[1:] != s[:-1]
    fdr = (decoys + int(plus_one)) / np.maximum(targets, 1)
    fdr = np.where(block_end, fdr, np.inf)
    # Running minimum from the bottom: the best threshold at or below each entry.
    q_sorted = np.minimum.accumulate(fdr[::-1])[::-1]
    q_sorted = np.minimum(q_sorted, 1.0)
    q = np.empty(n)
    q[order] = q_sorted
    return q


def accepted_targets(scores: np.ndarray, is_decoy: np.ndarray, levels, negated: bool = False,
                     ascending: np.ndarray | None = None) -> np.ndarray:
    """Targets with `qvalues(row, is_decoy) <= level` (neither `plus_one` nor `tail`) for every row of the
    two-dimensional `scores` (one candidate score per row) and every level: an array of levels x rows; with
    `negated`, followed by the same for every row negated (levels x 2 rows). `ascending`, when the caller
    knows it, is an order of each row's entries that sorts them ascending, NaN last.

    The q-values need not be formed: they grow down the ranking, so the targets accepted at a level are those
    ranked down to the last block of equal scores whose FDR is within it, whatever the order inside blocks.
    One ascending sort ranks both directions: it is a descending ranking of the negated scores (NaN last),
    and reversed one of the scores themselves when they hold no NaN.
    """
    scores = np.asarray(scores, dtype=np.float64)
    nan = np.isnan(scores)
    if nan.any():
        ranked = np.where(nan, -np.inf, scores)
        descending = np.argsort(-ranked, axis=1)
        counts = _accepted_in_order(np.take_along_axis(ranked, descending, axis=1), is_decoy[descending], levels)
        if not negated:
            return counts
        ascending = np.argsort(scores, axis=1) if ascending is None else ascending
        flipped = np.where(nan, -np.inf, -scores)
        return np.hstack([counts, _accepted_in_order(np.take_along_axis(flipped, ascending, axis=1),
                                                     is_decoy[ascending], levels)])
    ascending = np.argsort(scores, axis=1) if ascending is None else ascending
    s, d = np.take_along_axis(scores, ascending, axis=1), is_decoy[ascending]
    counts = _accepted_in_order(s[:, ::-1], d[:, ::-1], levels)
    return np.hstack([counts, _accepted_in_order(-s, d, levels)]) if negated else counts


def _accepted_in_order(s: np.ndarray, d: np.ndarray, levels) -> np.ndarray:
    """`accepted_targets` of rows already ranked: `s` each row's scores in descending order (no NaN), `d` the
    decoy flags in the same order."""
    rows, n = s.shape
    out = np.zeros((len(levels), rows), dtype=np.int64)
    if n == 0:
        return out
    decoys = np.cumsum(d, axis=1, dtype=np.int32)
    targets = np.arange(1, n + 1, dtype=np.int32) - decoys
    fdr = decoys / np.maximum(targets, 1)
    fdr[:, :-1][s[:, 1:] == s[:, :-1]] = np.inf  # a threshold falls only between blocks of equal scores
    at = np.arange(rows)
    for i, level in enumerate(levels):
        if level >= 1.0:  # every q-value is at most 1
            out[i] = targets[:, -1]
            continue
        within = fdr <= level
        last = n - 1 - np.argmax(within[:, ::-1], axis=1)
        out[i] = np.where(within[at, last], targets[at, last], 0)
    return out


def best_per_group(keys, scores) -> np.ndarray:
    """Indices of the highest-scoring entry of each key (first one on ties), in first-seen key order."""
    keys = np.asarray(keys, dtype=object)
    scores = np.asarray(scores, dtype=np.float64)
    ranked = np.where(np.isnan(scores), -np.inf, scores)
    order = np.lexsort((np.arange(len(keys)), -ranked))
    seen: dict = {}
    for i in order.tolist():
        seen.setdefault(keys[i], i)
    return np.sort(np.fromiter(seen.values(), dtype=np.int64, count=len(seen)))


def peptide_qvalues(peptides, scores, is_decoy, plus_one: bool = False, tail: bool = False) -> np.ndarray:
    """Peptide-level q-values, mapped back onto every entry.

    Each peptide is represented by its best-scoring entry; the competition
    then runs over peptides. Target and decoy peptides never share a key
    (a decoy's sequence differs from every target's).
    """
    peptides = np.asarray(peptides, dtype=object)
    scores = np.asarray(scores, dtype=np.float64)
    is_decoy = np.asarray(is_decoy, dtype=bool)
    if len(peptides) == 0:
        return np.empty(0)
    best = best_per_group(peptides, scores)
    q_best = dict(zip(peptides[best].tolist(), qvalues(scores[best], is_decoy[best], plus_one, tail).tolist()))
    return np.fromiter((q_best[p] for p in peptides.tolist()), dtype=np.float64, count=len(peptides))
