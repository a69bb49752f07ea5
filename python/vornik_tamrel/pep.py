"""Posterior error probabilities from the target and decoy score distributions.

Under target-decoy competition a decoy stands for one false target at the
same score, so the chance that a target at score s is false is d(s) / t(s),
the ratio of the decoy and target densities there. With p(s) the share of
decoys among all matches at s, that ratio is p / (1 - p). p is estimated by
isotonic regression of the decoy labels on the score (non-increasing in the
score, pool-adjacent-violators), which makes the posterior error monotone
without any binning; within each fitted block the posterior errors of the
targets add up to the block's decoys, so their mean over an accepted set
tracks the decoy-estimated FDR.

Isotonic regression alone moves every decoy's weight towards lower scores
(a lone decoy is pooled with the targets below it, never with those above),
so on small runs the targets just above a threshold would look too safe.
The labels are therefore first averaged over a centred window of about the
cube root of the number of matches, which spreads each decoy's weight to
both sides before the monotone fit. The window stays well below the fit's
own resolution (its blocks span on the order of n^(2/3) matches where decoys
are common), so it matters only where decoys are sparse: a wider one leaks
the decoys from below an acceptance threshold into the accepted matches and
makes their mean posterior error overstate the FDR.

Above the best decoys the fit sees no decoy and says 0, while the reported
q-values charge the targets there with the decoys' fitted exponential tail
(`fdr.decoy_tail`). With `tail`, the posterior errors are at least that
tail's share: the expected decoys it puts between one match and the next
better one, made non-increasing in the score by the same monotone fit; so
the posterior errors of the targets above a threshold add up to about the
tail's false matches there, as the q-values count them. The tail then does
the label average's work where decoys are sparse, and the average is left
out: on top of the tail it would charge the targets just above the first
decoy below a threshold with that decoy a second time (the mean posterior
error at 1% came to twice the reported FDR on runs of a few hundred
matches).
"""
from __future__ import annotations

import numpy as np


def window_for(n: int) -> int:
    """Width of the centred label average for `n` matches: odd, about the cube root of n."""
    return 2 * int(np.cbrt(n) / 2) + 1


def decoy_share(scores, is_decoy, window: int | None = None) -> np.ndarray:
    """Isotonic estimate of the share of decoys at each entry's score, non-increasing in the score.

    The labels are averaged over `window` neighbours in score order first
    (default `window_for`; 1: none). Equal scores get one value; NaN scores
    rank below every number.
    """
    scores = np.asarray(scores, dtype=np.float64)
    is_decoy = np.asarray(is_decoy, dtype=bool)
    if scores.shape != is_decoy.shape or scores.ndim != 1:
        raise ValueError("scores and decoy flags must be one-dimensional and of equal length")
    if not len(scores):
        return np.empty(0)
    ranked = np.where(np.isnan(scores), -np.inf, scores)
    order = np.argsort(-ranked, kind="stable")
    s = ranked[order]
    starts = np.flatnonzero(np.r_[True, s[1:] != s[:-1]])  # blocks of equal scores, best first
    weight = np.diff(np.r_[starts, len(s)]).astype(np.float64)
    labels = is_decoy[order].astype(np.float64)
    width = window_for(len(labels)) if window is None else window
    if width > 1:
        kernel = np.ones(width)
        labels = np.convolve(labels, kernel, mode="same") / np.convolve(np.ones(len(labels)), kernel, mode="same")
    total = np.add.reduceat(labels, starts)
    out = np.empty(len(scores))
    out[order] = np.repeat(_antitonic(total, weight) if width > 1 else _antitonic_counts(total, weight),
                           weight.astype(np.int64))
    return out


def _antitonic_counts(total: np.ndarray, weight: np.ndarray) -> np.ndarray:
    """`_antitonic` of whole counts, to the bit: runs of blocks that are all targets or all decoys pooled first.

    Neighbours of equal share always end in one pool (were they split, the
    first one's pool would lie below it and the second's above it), and the
    sums of whole counts are exact in any order, so the pooled means are
    those of the blocks pooled one by one; on most runs, a few hundred
    pools instead of a block per score.
    """
    kind = np.where(total == 0, 0, np.where(total == weight, 1, -1))  # -1: a block of both
    starts = np.flatnonzero(np.r_[True, (kind[1:] != kind[:-1]) | (kind[1:] < 0)]) if len(kind) else kind
    pooled = _antitonic(np.add.reduceat(total, starts), np.add.reduceat(weight, starts)) if len(kind) else kind
    return np.repeat(pooled, np.diff(np.r_[starts, len(kind)]))


def _antitonic(total: np.ndarray, weight: np.ndarray) -> np.ndarray:
    """Weighted means `total / weight`, best score first, made non-decreasing as the score falls by pooling
    adjacent violators; one value per block."""
    # The pools as a stack in lists of full length, indexed rather than appended to and popped.
    sums = [0.0] * len(total)
    weights = [0.0] * len(total)
    sizes = [0] * len(total)
    top = -1
    for t, w in zip(total.tolist(), weight.tolist()):
        size = 1
        while top >= 0 and sums[top] * w >= t * weights[top]:
            t += sums[top]
            w += weights[top]
            size += sizes[top]
            top -= 1
        top += 1
        sums[top] = t
        weights[top] = w
        sizes[top] = size
    return np.repeat(np.array(sums[:top + 1]) / np.array(weights[:top + 1]), sizes[:top + 1])


def tail_share(scores, is_decoy) -> np.ndarray:
    """Per entry, the decoys' fitted tail between its score and the next better one, made non-increasing in
    the score (0 where the tail is not fitted or does not reach)."""
    from .fdr import decoy_tail

    scores = np.asarray(scores, dtype=np.float64)
    is_decoy = np.asarray(is_decoy, dtype=bool)
    ranked = np.where(np.isnan(scores), -np.inf, scores)
    order = np.argsort(-ranked, kind="stable")
    s = ranked[order]
    starts = np.flatnonzero(np.r_[True, s[1:] != s[:-1]]) if len(s) else np.empty(0, np.int64)
    expected = decoy_tail(s[is_decoy[order]], s[starts])
    if expected is None:
        return np.zeros(len(scores))
    weight = np.diff(np.r_[starts, len(s)]).astype(np.float64)
    reached = expected > 0  # the blocks above the tail's floor: the best ones
    fitted = np.zeros(len(starts))
    fitted[reached] = _antitonic(np.diff(np.r_[0.0, expected[reached]]), weight[reached])
    out = np.empty(len(scores))
    out[order] = np.repeat(fitted, weight.astype(np.int64))
    return out


def posterior_errors(scores, is_decoy, window: int | None = None, tail: bool = False) -> np.ndarray:
    """Posterior error probability of every entry, in [0, 1] and non-increasing in the score; with `tail`,
    at least the decoys' fitted tail share (see `tail_share`), and by default without the label average."""
    p = decoy_share(scores, is_decoy, 1 if tail and window is None else window)
    with np.errstate(divide="ignore", invalid="ignore"):
        pep = np.minimum(np.where(p < 1.0, p / (1.0 - p), 1.0), 1.0)
    if not tail or not len(pep):
        return pep
    # the larger of two non-increasing estimates, kept non-increasing where the tail ends
    order = np.argsort(-np.where(np.isnan(scores), -np.inf, np.asarray(scores, dtype=np.float64)), kind="stable")
    pep[order] = np.maximum.accumulate(np.maximum(pep, tail_share(scores, is_decoy))[order])
    return np.minimum(pep, 1.0)
