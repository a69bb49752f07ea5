"""Rescoring of the engine's feature columns with a cross-validated linear discriminant.

The spectra are split into folds. For each fold a Fisher linear discriminant
is trained on the other folds (positives: targets accepted at a strict
q-value, relaxed step by step when too few pass it; negatives: all decoys),
retrained a few times on its own accepted targets, and applied to the
held-out fold only, so no match is scored by a model that saw it.

A model learned from a dozen targets can fit their noise. So each training
split first checks, by a cross-validation of its own (nested inside the
outer one), whether its discriminant accepts more held-out targets than the
calibrated score it started from; the held-out folds of a split get the
discriminant when most of their training splits pass that check, otherwise
they all keep the calibrated score. Either way each
fold's scores are put on a common scale before the folds are pooled:
standard deviations above the mean of the training decoys, whose score
distribution is the one thing every fold estimates well.
"""
from __future__ import annotations

from dataclasses import dataclass
from functools import lru_cache

import numpy as np

from .drawing import shared_map
from .fdr import _accepted_in_order, accepted_targets, qvalues

# Engine columns that describe a match, log-scaled where they span decades,
# and a few ratios that put them on a per-peptide scale (a 20-residue peptide
# matches more peaks by chance than an 8-residue one). The squared precursor
# error is the log-likelihood shape of a true match's error (near zero, about
# normal) against a chance match's (spread over the whole window), which a
# linear model cannot draw from the absolute error alone.
FEATURES = (
    "hyperscore", "delta_next", "poisson", "matched_peaks", "matched_intensity_pct",
    "longest_b", "longest_y", "longest_y_pct", "peptide_len", "missed_cleavages",
    "abs_delta_mass", "isotope_error", "abs_average_ppm", "log_scored_candidates",
    "log_ms2_intensity", "charge_2", "charge_3", "charge_4plus",
    "log_matched_peaks", "matched_per_bond", "delta_next_share", "longest_series_pct", "squared_delta_mass",
)


# Least weight of the scaled identity in the pooled covariance. The weight
# grows to features / training targets (at most 1): a large database leaves a
# dozen or two confident targets per fold, far too few to estimate two dozen
# correlated directions, and then the nearly diagonal discriminant does best.
SHRINKAGE = 0.05


@dataclass(frozen=True)
class RescoreSettings:
    folds: int = 3
    inner_folds: int = 3  # of the check that the discriminant beats the calibrated score
    train_fdr: tuple[float, ...] = (0.01, 0.02, 0.05, 0.1)  # strictest first; the first that yields enough targets
    iterations: int = 3
    min_examples: int = 15
    repeats: int = 10  # at most; fewer for large runs (see `split_repeats`)
    repeated_spectra: int = 50_000  # spectra times repeats that settle a split's chance
    seed: int = 0


@dataclass(frozen=True)
class _Ranked:
    """Every column (the calibrated score's, then every feature's) of all rows sorted once: each column's
    ascending order, its values in that order and the decoy flags in that order."""

    order: np.ndarray
    values: np.ndarray
    is_decoy: np.ndarray

    @staticmethod
    def of(start: np.ndarray, x: np.ndarray, is_decoy: np.ndarray) -> _Ranked:
        columns = np.vstack([start, np.asarray(x, dtype=np.float64).T])
        order = np.argsort(columns, axis=1).astype(np.int32)
        return _Ranked(order, np.take_along_axis(columns, order, axis=1), is_decoy[order])


@dataclass(frozen=True)
class _Split:
    """Rows of one training split: features, decoy flags, calibrated scores and spectrum numbers, with the
    rows' positions among all rows and, shared by every split, all rows' columns sorted once."""

    x: np.ndarray
    is_decoy: np.ndarray
    start: np.ndarray
    numbers: np.ndarray
    rows: np.ndarray
    ranked: _Ranked

    def __getitem__(self, mask: np.ndarray) -> _Split:
        return _Split(self.x[mask], self.is_decoy[mask], self.start[mask], self.numbers[mask], self.rows[mask],
                      self.ranked)

    def sorted_columns(self) -> tuple[np.ndarray, np.ndarray]:
        """Each column's values of this split's rows in ascending order, and their decoy flags in that order:
        the rows of all rows' sorted columns that belong to the split, read in sequence rather than gathered."""
        held = np.zeros(self.ranked.order.shape[1], dtype=bool)
        held[self.rows] = True
        keep = held.take(self.ranked.order).reshape(-1)
        width = len(self.ranked.order)
        # `compress` of the flat arrays: a two-dimensional mask takes numpy's slower general path
        return (np.compress(keep, self.ranked.values).reshape(width, -1),
                np.compress(keep, self.ranked.is_decoy).reshape(width, -1))


def feature_matrix(columns) -> np.ndarray:
    """The discriminant's input features from a mapping of engine columns (arrays or lists)."""
    col = {k: np.asarray(columns[k], dtype=np.float64) for k in (
        "hyperscore", "delta_next", "poisson", "matched_peaks", "matched_intensity_pct",
        "longest_b", "longest_y", "longest_y_pct", "peptide_len", "missed_cleavages",
        "delta_mass", "isotope_error", "average_ppm", "scored_candidates", "ms2_intensity", "charge")}
    charge = col["charge"]
    table = np.column_stack([
        col["hyperscore"], col["delta_next"], col["poisson"], col["matched_peaks"],
        col["matched_intensity_pct"], col["longest_b"], col["longest_y"], col["longest_y_pct"],
        col["peptide_len"], col["missed_cleavages"], np.abs(col["delta_mass"]), col["isotope_error"],
        np.abs(col["average_ppm"]), np.log1p(np.maximum(col["scored_candidates"], 0)),
        np.log1p(np.maximum(col["ms2_intensity"], 0)),
        charge == 2, charge == 3, charge >= 4,
        np.log(np.maximum(col["matched_peaks"], 1.0)),
        col["matched_peaks"] / np.maximum(col["peptide_len"] - 1.0, 1.0),
        col["delta_next"] / np.maximum(col["hyperscore"], 1e-9),
        np.maximum(col["longest_b"], col["longest_y"]) / np.maximum(col["peptide_len"], 1.0),
        np.square(col["delta_mass"]),
    ]).astype(np.float64)
    # Poisson can be -inf and the ppm error NaN (no match): clamp to finite values.
    return np.nan_to_num(table, nan=0.0, posinf=0.0, neginf=-1e3)


def _fit(x: np.ndarray, positive: np.ndarray, negative: np.ndarray, negatives=None) -> np.ndarray:
    """Fisher discriminant direction (on standardised features), shrunk the more the fewer targets train it.
    `negatives`: `_centred(x[negative])`, where the caller fits the same negatives more than once."""
    a = x[positive]
    centre_a, a = _centred(a)
    centre_b, b = _centred(x[negative]) if negatives is None else negatives
    centred = np.concatenate([a, b])
    dims = x.shape[1]
    cov = centred.T @ centred / max(len(centred) - 2, 1)
    weight = min(1.0, max(SHRINKAGE, dims / max(len(a), 1)))
    # the scaled identity added on the diagonal alone: the same sums as adding the whole matrix
    ridge = weight * max(np.trace(cov) / dims, 1e-12)
    cov *= 1.0 - weight
    cov.flat[::dims + 1] += ridge
    return np.linalg.solve(cov, centre_a - centre_b)


def _centred(rows: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The mean of `rows` (as `rows.mean(axis=0)`, to the bit) and the rows less it."""
    mean = rows.mean(axis=0)
    return mean, rows - mean


def _confident_targets(scores, is_decoy, settings: RescoreSettings):
    q = qvalues(scores, is_decoy)
    for level in settings.train_fdr:
        positive = (~is_decoy) & (q <= level)
        if positive.sum() >= settings.min_examples:
            return positive
    return None


def _starting_scores(z, split: _Split, settings: RescoreSettings, mean: np.ndarray, std: np.ndarray):
    """The single score that accepts the most targets at the strictest usable training level.

    The engine's score first, then every feature in either direction: on a
    large database the hyperscore alone may accept almost nothing, while for
    example the precursor mass error still separates well. `z` are the
    split's features standardised by `mean` and `std`.
    """
    if np.isfinite(split.start).all() and np.isfinite(z).all():
        # Standardising keeps every feature's order, so the features sorted once for all rows, standardised
        # as `z` is (the same two roundings), are the split's sorted scores. One ascending sort ranks both
        # directions: reversed, the scores descending; negated, the negated scores descending.
        s, d = split.sorted_columns()
        s[1:] -= mean[:, None]
        s[1:] /= std[:, None]

        def accepted(levels):
            return np.hstack([_accepted_in_order(s[:, ::-1], d[:, ::-1], levels), _accepted_in_order(-s, d, levels)])
    else:
        def accepted(levels):
            return accepted_targets(np.vstack([split.start, z.T]), split.is_decoy, levels, True)
    # Candidates in order: the engine's score, then each feature and its negation.
    width = z.shape[1] + 1
    index = [0] + [j + side * width for j in range(1, width) for side in (0, 1)]
    # The strictest level mostly suffices: the others are counted only when it does not.
    strictest = accepted(settings.train_fdr[:1])
    for counts in (strictest if strictest.max() >= settings.min_examples else accepted(settings.train_fdr))[:, index]:
        best = int(np.argmax(counts))  # the engine's score wins ties, then the earlier candidate
        if counts[best] >= settings.min_examples:
            row = index[best]
            if row == 0:
                return split.start.copy()
            return z[:, row - 1].copy() if row < width else -z[:, row - width - 1]
    return None


def _train_fold(split: _Split, settings: RescoreSettings, train: np.ndarray | None = None):
    """Train on one training split (the rows `train` of `split`, all without it); returns (weights, feature
    means, feature scales, decoy mean, decoy spread)."""
    if (split.is_decoy if train is None else split.is_decoy[train]).sum() < settings.min_examples:
        return None  # before the rows are copied: with few decoys, most splits stop here
    if train is not None:
        split = split[train]
    x, is_decoy = split.x, split.is_decoy
    # as `x.mean(axis=0)` and `x.std(axis=0)` work them out, to the bit, with the rows less their mean made once
    mean, z = _centred(x)
    std = np.sqrt(np.add.reduce(z * z, axis=0) / len(x))
    std[std == 0] = 1.0
    z /= std
    scores = _starting_scores(z, split, settings, mean, std)
    if scores is None:
        return None
    w = None
    negatives = None
    for _ in range(settings.iterations):
        positive = _confident_targets(scores, is_decoy, settings)
        if positive is None:
            break
        negatives = _centred(z[is_decoy]) if negatives is None else negatives
        w = _fit(z, positive, is_decoy, negatives)
        scores = z @ w
    if w is None:
        return None
    scale = _decoy_scale(scores, is_decoy)
    return None if scale is None else (w, mean, std, *scale)


def _apply(model, x: np.ndarray) -> np.ndarray:
    """A trained model's scores for the rows of `x`, in training-decoy standard deviations."""
    w, mean, std, centre, spread = model
    return (((x - mean) / std) @ w - centre) / spread


def rescore(x: np.ndarray, is_decoy, groups, start_scores, settings: RescoreSettings | None = None):
    """Cross-validated scores for every row and the share of folds that used the discriminant, or None when
    not even the calibrated score could be put on a common scale (too few decoys in some fold).

    The fold assignment is repeated (`split_repeats`) with different random
    splits and the scores of the splits are averaged: every score still
    comes from functions that never saw its row, and small runs hinge less
    on one split. `groups` keeps rows of one spectrum in one fold;
    `start_scores` is the calibrated score, the first candidate for choosing
    training targets and the fallback where the discriminant does not beat it.
    """
    settings = settings or RescoreSettings()
    is_decoy = np.asarray(is_decoy, dtype=bool)
    start_scores = np.asarray(start_scores, dtype=np.float64)
    numbers = spectrum_numbers(groups)
    rows = _Split(x, is_decoy, start_scores, numbers, np.arange(len(x)), _Ranked.of(start_scores, x, is_decoy))
    folds = [fold_of(numbers, settings.folds, repeat, settings.seed)
             for repeat in range(split_repeats(int(numbers.max()) + 1 if len(numbers) else 0, settings))]
    # Every held-out fold of every split is checked, and then trained, on its own: on the threads the engine
    # was given, or beside the command line's helper process.
    tasks = [(repeat, k) for repeat in range(len(folds)) for k in range(settings.folds)]
    nbytes = sum(a.nbytes for a in (rows.x, rows.is_decoy, rows.start, rows.numbers, rows.rows, rows.ranked.order,
                                    rows.ranked.values, rows.ranked.is_decoy, *folds))
    checks = shared_map(_check_task, (rows, folds, tasks, settings), len(tasks), nbytes)
    # Each split makes one choice for all its folds, by the majority of their checks: where some folds kept
    # the calibrated score and others learned, the two scores' scales (each in its training decoys' spread)
    # would interleave one fold's decoys with another's targets. Only the folds of splits that learn are
    # trained, the ones outvoted too.
    learn = []
    for repeat in range(len(folds)):
        votes = [check[0] for check in checks[repeat * settings.folds:(repeat + 1) * settings.folds]
                 if check is not None]
        learn.append(2 * sum(votes) > len(votes))
    trained = [(repeat, k) for repeat, k in tasks if learn[repeat] and checks[repeat * settings.folds + k] is not None]
    models = dict(zip(trained, shared_map(_training_task, (rows, folds, trained, settings), len(trained), nbytes)))
    runs = []
    for repeat, fold in enumerate(folds):
        outcomes = [None if check is None else (models.get((repeat, k)), *check)
                    for k, check in enumerate(checks[repeat * settings.folds:(repeat + 1) * settings.folds])]
        runs.append(_rescore_once(rows, fold, settings, outcomes, learn[repeat]))
    usable = [run for run in runs if run is not None]
    if not usable:
        return None
    share = float(np.mean([share for _, share in usable]))
    if share == 0.0:  # no fold learned: the calibrated score itself, not its per-fold rescalings mixed
        return start_scores.copy(), share
    return np.mean([scores for scores, _ in usable], axis=0), share


def _check_task(shared, task: int):
    rows, folds, tasks, settings = shared
    repeat, k = tasks[task]
    return _fold_check(rows, folds[repeat], k, settings)


def _training_task(shared, task: int):
    rows, folds, tasks, settings = shared
    repeat, k = tasks[task]
    return _train_fold(rows[folds[repeat] != k], settings)


def split_repeats(spectra: int, settings: RescoreSettings) -> int:
    """How many random splits a run of `spectra` is rescored over: `settings.repeats` for small runs, whose
    few confident targets make one split's result a matter of chance, fewer where the folds are large enough
    to agree (their spread falls as one over the square root of the spectra in them)."""
    return max(1, min(settings.repeats, -(-settings.repeated_spectra // max(spectra, 1))))


def spectrum_numbers(groups) -> np.ndarray:
    """Number the distinct keys of `groups` 0, 1, ... in order of first appearance."""
    seen: dict = {}
    return np.fromiter((seen.setdefault(g, len(seen)) for g in groups), dtype=np.int64, count=len(groups))


def _renumbered(numbers: np.ndarray) -> np.ndarray:
    """`spectrum_numbers` of integer keys, by sorting instead of hashing each row."""
    _, first, inverse = np.unique(numbers, return_index=True, return_inverse=True)
    rank = np.empty(len(first), dtype=np.int64)
    rank[np.argsort(first)] = np.arange(len(first))
    return rank[inverse.reshape(-1)]


def fold_of(numbers: np.ndarray, folds: int, repeat: int, seed: int) -> np.ndarray:
    """Fold of every row: spectra dealt out in input order for repeat 0, seeded shuffles after that.

    Depends only on the spectrum numbers, never on scores or labels, so a
    run gives the same split every time.
    """
    count = int(numbers.max()) + 1 if len(numbers) else 0
    if repeat == 0:
        deal = np.arange(count)
    elif count <= SMALL_SHUFFLE and seed >= 0:
        deal = np.array(_small_permutation(count, seed, repeat), dtype=np.int64)
    else:
        deal = np.random.default_rng([seed, repeat]).permutation(count)
    return (deal % folds)[numbers]


# Up to this many spectra the shuffle is drawn here, in the interpreter, rather than by numpy's generator,
# whose import (about 8 ms) would cost more than the few shuffles of a small run.
SMALL_SHUFFLE = 1024
_M32 = 0xFFFFFFFF
_M64 = (1 << 64) - 1
_M128 = (1 << 128) - 1
_PCG_MULTIPLIER = (0x2360ED051FC65DA4 << 64) | 0x4385DF649FCCF645


@lru_cache(maxsize=64)
def _small_permutation(count: int, seed: int, repeat: int) -> tuple[int, ...]:
    """`seeded_permutation`, kept: the nested checks of one run shuffle training splits of a few sizes only."""
    return tuple(seeded_permutation(count, (seed, repeat)))


def _seed_words(entropy, words: int) -> list[int]:
    """The first `words` 32-bit words of numpy's `SeedSequence(entropy)` state (pool of four words, each
    non-negative integer of `entropy` taken as its 32-bit words, least significant first)."""
    data = []
    for value in entropy:
        while True:
            data.append(value & _M32)
            value >>= 32
            if not value:
                break
    const = 0x43B0D7E5

    def hashmix(value: int) -> int:
        nonlocal const
        value ^= const
        const = (const * 0x931E8875) & _M32
        value = (value * const) & _M32
        return value ^ (value >> 16)

    def mix(x: int, y: int) -> int:
        r = (0xCA01F9DD * x - 0x4973F715 * y) & _M32
        return r ^ (r >> 16)

    pool = [hashmix(data[i] if i < len(data) else 0) for i in range(4)]
    for src in range(4):
        for dst in range(4):
            if src != dst:
                pool[dst] = mix(pool[dst], hashmix(pool[src]))
    for src in range(4, len(data)):
        for dst in range(4):
            pool[dst] = mix(pool[dst], hashmix(data[src]))
    const = 0x8B51F9DD
    out = []
    for i in range(words):
        value = pool[i % 4] ^ const
        const = (const * 0x58F38DED) & _M32
        value = (value * const) & _M32
        out.append(value ^ (value >> 16))
    return out


def seeded_permutation(count: int, entropy) -> list[int]:
    """`numpy.random.default_rng(list(entropy)).permutation(count)`, to the element, for counts below 2**32:
    the same generator (a 128-bit permuted congruential one, seeded the same way) and the same shuffle
    (from the last position down, each swap partner drawn by masked rejection from 32-bit halves)."""
    w = _seed_words(entropy, 8)
    state, step = ((w[1] << 96) | (w[0] << 64) | (w[3] << 32) | w[2],
                   ((((w[5] << 96) | (w[4] << 64) | (w[7] << 32) | w[6]) << 1) | 1) & _M128)
    state = ((step + state) * _PCG_MULTIPLIER + step) & _M128
    deal = list(range(count))
    spare = -1
    for i in range(count - 1, 0, -1):
        mask = (1 << i.bit_length()) - 1
        while True:
            if spare < 0:
                state = (state * _PCG_MULTIPLIER + step) & _M128
                x, turn = ((state >> 64) ^ state) & _M64, state >> 122
                x = ((x >> turn) | (x << (64 - turn))) & _M64
                value, spare = x & _M32, x >> 32
            else:
                value, spare = spare, -1
            value &= mask
            if value <= i:
                break
        deal[i], deal[value] = deal[value], deal[i]
    return deal


def _decoy_scale(scores, is_decoy):
    """Mean and spread of the decoys' scores, or None when they cannot set a scale."""
    decoys = scores[is_decoy]
    if len(decoys) < 2 or not decoys.std() > 0:
        return None
    return decoys.mean(), decoys.std()


def _held_out_scores(split: _Split, fold, folds, settings: RescoreSettings):
    """Discriminant scores of every row from models trained without its fold, on the training decoys' scale;
    None when some fold cannot be trained."""
    out = np.full(len(split.x), np.nan)
    for k in range(folds):
        test, train = fold == k, fold != k
        if not test.any():
            continue
        model = _train_fold(split, settings, train)
        if model is None:
            return None
        out[test] = _apply(model, split.x[test])
    return out


def _beats_start(split: _Split, settings: RescoreSettings) -> bool:
    """Whether the discriminant, judged on spectra its models did not see, accepts more targets at the
    strictest training level than the calibrated score does on the same spectra, both by the q-values a run
    reports (their decoy count never below the fitted decoy tail, see `fdr.qvalues`).

    By the plain count a discriminant can win while its best decoys crowd
    together just below its best targets; the reported q-values then charge
    for that tail and accept fewer targets than the calibrated score would.
    """
    fold = fold_of(_renumbered(split.numbers), settings.inner_folds, 1, settings.seed + 1)
    learned = _held_out_scores(split, fold, settings.inner_folds, settings)
    if learned is None:
        return False
    level = settings.train_fdr[0]
    learned_count, start_count = (int(((qvalues(scores, split.is_decoy, tail=True) <= level) & ~split.is_decoy).sum())
                                  for scores in (learned, split.start))
    return learned_count > start_count


def _fold_check(rows: _Split, fold, k: int, settings: RescoreSettings):
    """For held-out fold `k`: (whether the discriminant beats the calibrated score on the training split
    without it; the training decoys' scale of the calibrated score, None when they cannot set one); None for
    an empty fold."""
    if not (fold == k).any():
        return None
    split = rows[fold != k]
    return _beats_start(split, settings), _decoy_scale(split.start, split.is_decoy)


def _rescore_once(rows: _Split, fold, settings: RescoreSettings, models, learn: bool):
    """One split's held-out scores from its folds' (model or None, `_fold_check`), None for an empty fold (by
    the discriminant where `learn` and a fold has a model, else by the calibrated score on its training
    decoys' scale), and the share of folds that learned; None when some fold's scale cannot be set."""
    out = np.full(len(rows.x), np.nan)
    learned_folds = 0
    for k, outcome in enumerate(models):
        if outcome is None:
            continue
        model, _, scale = outcome
        test = fold == k
        if learn and model is not None:
            out[test] = _apply(model, rows.x[test])
            learned_folds += 1
        elif scale is None:
            return None
        else:
            out[test] = (rows.start[test] - scale[0]) / scale[1]
    return out, learned_folds / settings.folds
