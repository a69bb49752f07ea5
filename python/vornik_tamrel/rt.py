"""Retention time: files aligned onto one scale, and a composition model fitted on confident matches.

Alignment: the file with the most confident peptides sets the scale; every
other file is mapped onto it by a straight line through the peptides both
identified confidently (median times, one pass of outlier removal), by a
shift when they share fewer than three, and left as it is when they share
none.

Model: retention on the common scale as a function of composition, starting
from a published reversed-phase hydrophobicity scale, summed over the
residues (the first ones, optionally, weighing less) and corrected for the
peptide's length as published, and per-residue and length corrections
learned on top under a ridge penalty once there are enough peptides to learn
them (CORRECTIONS_FROM); the scale, the N-terminal weighting and the penalty
are chosen by cross-validation (the mean absolute error, each peptide's capped
where the fit would give it no weight: a false match among the training
peptides, predicted far off by every candidate, would otherwise choose the
candidate that errs least on it rather than on the rest; and every peptide
counts, where a median would leave half of a small run's out and choose by
chance), and the fit is a robust one for the same reason. It is trained on
one row per confident peptide, the
median time of its matches: a peptide elutes over a while and is sampled
there any number of times, which would otherwise weigh the abundant ones
over the rest. Training stays at the run's FDR even when that leaves few
peptides: two coefficients need only a few, and looser levels bring in
false matches by the dozen; only where it leaves too few for any model
(MIN_PEPTIDES) does it widen to LOOSE_FDR, a few false matches among a dozen
or two peptides being what the robust fit stands against. Every confident match is predicted by a model
fitted without its peptide, so its error is as honest as that of a match the
model never saw: the error can then serve as a rescoring feature without
favouring the training targets.

Repeats: a peptide identified confidently in other spectra has been seen
eluting, which predicts a match of it better than its composition. A match
of such a peptide is predicted by the mean (aligned) time of its other
confident matches (the centre of its elution, which a mean estimates with
less variance than a median; their outliers are met below), never by its own
time, averaged with the model's
prediction by the inverse of their variances (the model's out-of-fold
error; the spread of matches over a peptide's elution, divided among those
other matches). Where the two disagree by more than those variances allow,
the other matches' share shrinks in proportion (as Huber's weights do): a
false match among them, or a second elution of the peptide, moves the
prediction no further than a plausible disagreement would. Decoys, never
confident, keep the model, whose prediction
for a reversed sequence (the same residues) is much that of its target, so
false target matches and decoys meet predictions spread alike.
"""
from __future__ import annotations

import functools
from typing import Optional

import numpy as np

from .drawing import shared_map

RESIDUES = "ACDEFGHIKLMNPQRSTVWY"
MIN_PEPTIDES = 8  # fewer confident peptides than this: no model
LOOSE_FDR = 0.05  # the training level when the run's FDR leaves fewer than MIN_PEPTIDES
# Per-residue corrections are a score of coefficients: below this many training peptides, the published
# scale alone (an intercept and a slope) predicts better than any correction learned from them.
CORRECTIONS_FROM = 100
# Length correction of the summed hydrophobicity (see `length_factor`): the loss per residue below SHORT
# and above LONG residues.
SHORT, SHORT_LOSS = 10, 0.027
LONG, LONG_LOSS = 20, 0.014
# The first residues weigh less than their coefficients say, their side chains beside the charged amino
# terminus: these shares of them are taken off (the weights of the N-terminal terms of Krokhin et al. 2004).
# Whether that predicts a run better is cross-validated, as the scale is.
N_TERMINAL = (0.42, 0.22, 0.05)
MIN_SHARED = 3  # shared peptides needed for a line (fewer: a shift)
FOLDS = 5
BISQUARE = 4.685  # robust standard deviations beyond which a peptide has no weight (95% efficiency if normal)
HUBER = 1.345  # standard deviations of disagreement beyond which the other matches' weight shrinks
ROBUST_ITERATIONS = 10
# Choosing among the candidate models compares their out-of-fold errors, which differ between candidates far
# more than the reweighting's last steps move them: half the iterations choose the same model (on every run
# tried), the chosen one is then fitted in full.
SELECTION_ITERATIONS = 5
MAX_TRAIN = 2000  # training peptides at most (evenly taken): a few dozen coefficients need no more
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


def median(values) -> np.floating:
    """`np.median` of a one-dimensional array, to the bit (the same partition, the same mean of its middle),
    without the test for a masked array by which numpy imports numpy.ma (ten milliseconds or so) on first use.
    """
    data = np.asarray(values).reshape(-1)
    if not len(data):
        return np.median(data)  # NaN, with numpy's warning
    half = len(data) // 2
    middle = slice(half - 1, half + 1) if len(data) % 2 == 0 else slice(half, half + 1)
    inexact = np.issubdtype(data.dtype, np.inexact)
    part = np.partition(data, [middle.start, middle.stop - 1] + ([-1] if inexact else []))
    if inexact and np.isnan(part[-1]):  # NaNs sort last
        return part[-1]
    return np.mean(part[middle])


def _distinct(values) -> np.ndarray:
    """The distinct values of an integer array, ascending: `np.unique` without the same test for a masked
    array."""
    ordered = np.sort(np.asarray(values).reshape(-1))
    return ordered[np.r_[True, ordered[1:] != ordered[:-1]]] if len(ordered) else ordered


def composition(sequences) -> np.ndarray:
    """Residue counts, one row per sequence, columns in RESIDUES order (other letters not counted)."""
    codes = np.full(256, len(RESIDUES), dtype=np.int64)
    codes[np.frombuffer(RESIDUES.encode(), np.uint8)] = np.arange(len(RESIDUES))
    encoded = [s.encode() for s in sequences]
    lengths = np.fromiter((len(s) for s in encoded), dtype=np.int64, count=len(encoded))
    rows = np.repeat(np.arange(len(encoded)), lengths)
    flat = rows * (len(RESIDUES) + 1) + codes[np.frombuffer(b"".join(encoded), np.uint8)]
    counts = np.bincount(flat, minlength=len(encoded) * (len(RESIDUES) + 1)).astype(np.float64)
    return counts.reshape(len(encoded), len(RESIDUES) + 1)[:, :len(RESIDUES)]


def length_factor(length: np.ndarray) -> np.ndarray:
    """Share of its residues' summed hydrophobicity that a peptide of `length` residues shows on the column
    (Krokhin et al., Mol. Cell. Proteomics 2004): short peptides are retained less than their sum says, their
    charged ends weighing more, and long ones less than it, as they fold away part of their residues."""
    length = np.asarray(length, dtype=np.float64)
    return np.where(length < SHORT, 1.0 - SHORT_LOSS * (SHORT - length),
                    np.where(length > LONG, 1.0 - LONG_LOSS * (length - LONG), 1.0))


def terminal_counts(sequences) -> np.ndarray:
    """The residues at the first positions, weighted by N_TERMINAL, in the columns of `composition`."""
    # The first letters of every sequence as code points (0 past a short sequence's end), looked up at once.
    first = np.array(list(sequences), dtype=f"U{len(N_TERMINAL)}").reshape(-1).view(np.uint32)
    first = first.reshape(-1, len(N_TERMINAL))
    table = np.full(128, len(RESIDUES), dtype=np.int64)
    table[np.frombuffer(RESIDUES.encode(), np.uint8)] = np.arange(len(RESIDUES))
    looked_up = table[np.minimum(first, 127)]
    total = 0
    rows = np.arange(len(first)) * (len(RESIDUES) + 1)
    for j, w in enumerate(N_TERMINAL):
        counts = np.bincount(rows + looked_up[:, j], minlength=len(first) * (len(RESIDUES) + 1)).astype(np.float64)
        total = total + w * counts.reshape(len(first), len(RESIDUES) + 1)[:, :len(RESIDUES)]
    return total


def design(counts: np.ndarray, terminal: np.ndarray, scale: str) -> tuple[np.ndarray, np.ndarray]:
    """(unpenalised columns: 1, hydrophobicity corrected for length, the `terminal` counts taken off the
    `counts`; penalised: residue counts, that hydrophobicity x log length)."""
    length = np.maximum(counts.sum(axis=1), 1.0)
    h = ((counts - terminal) @ np.array(SCALES[scale])) * length_factor(length)
    return np.column_stack([np.ones(len(h)), h]), np.column_stack([counts, h * np.log(length)])


class _Training:
    """The rows a model is fitted to, and what every penalty's model fitted to them shares: the design with
    the residue corrections centred, and the normal equations of the first reweighting (its weights come
    from the starting line alone)."""

    def __init__(self, base: np.ndarray, extra: np.ndarray, y: np.ndarray, start: Optional[np.ndarray] = None):
        self.base, self.extra, self.y = base, extra, y
        self.mean = extra.mean(axis=0)
        self.residual = np.abs(y - (_resistant_line(base[:, 1], y) if start is None else start))
        self._first: dict[bool, tuple[np.ndarray, np.ndarray]] = {}

    @functools.cached_property
    def centred(self) -> np.ndarray:
        return np.column_stack([self.base, self.extra - self.mean])

    def first_equations(self, full: bool) -> tuple[np.ndarray, np.ndarray]:
        """The weighted Gram matrix and moments of the first reweighting, of the design with corrections
        (`full`) or of the unpenalised columns alone."""
        if full not in self._first:
            x = self.centred if full else self.base
            weighted = x.T * _bisquare(self.residual)
            self._first[full] = weighted @ x, weighted @ self.y
        return self._first[full]


class RetentionModel:
    """Bisquare regression on the unpenalised columns plus ridge-penalised residue corrections.

    Robust because the training peptides include false matches, whose times
    bear no relation to their sequence: by iterative reweighting, a peptide
    counts less the further it lies from the fit, and not at all beyond
    BISQUARE robust standard deviations. The reweighting starts from a line
    that a false match far out along the hydrophobicity scale cannot pull
    (see `_resistant_line`), which a least-squares start would follow: such a
    match then lies close to the fit and keeps its weight.
    """

    def __init__(self, base: np.ndarray, extra: np.ndarray, y: np.ndarray, penalty: float,
                 iterations: int = ROBUST_ITERATIONS, start: Optional[np.ndarray] = None,
                 training: Optional[_Training] = None):
        """`start`: the resistant line's fit of `y` (see `_resistant_line`), when already known; `training`: the
        `_Training` of these rows, when already made for a model of another penalty (it then stands for
        `base`, `extra`, `y` and `start`)."""
        training = training or _Training(base, extra, y, start)
        self.mean = training.mean
        self.full = bool(np.isfinite(penalty))
        x, y = (training.centred if self.full else training.base), training.y
        ridge = np.zeros(x.shape[1])
        ridge[training.base.shape[1]:] = penalty * len(y)
        ridge = np.diag(ridge) + 1e-9 * np.eye(x.shape[1])
        residual = training.residual
        for iteration in range(iterations):
            if iteration == 0:
                gram, moment = training.first_equations(self.full)
            else:
                weighted = x.T * _bisquare(residual)
                gram, moment = weighted @ x, weighted @ y
            self.coef = np.linalg.solve(gram + ridge, moment)
            residual = np.abs(y - x @ self.coef)

    def predict(self, base: np.ndarray, extra: np.ndarray) -> np.ndarray:
        x = np.column_stack([base, extra - self.mean]) if self.full else base
        return x @ self.coef


def _resistant_line(h: np.ndarray, y: np.ndarray) -> np.ndarray:
    """The fit of `y` by a line in `h` whose slope is the median of the slopes from the k-th lowest to the k-th
    highest half of the points by `h`, and whose intercept is the median residual."""
    order = np.argsort(h, kind="stable")
    low, high = order[:len(h) // 2], order[(len(h) + 1) // 2:]
    run = h[high] - h[low]
    slope = float(median((y[high] - y[low])[run > 0] / run[run > 0])) if (run > 0).any() else 0.0
    return slope * h + float(median(y - slope * h))


def _bisquare(residual: np.ndarray) -> np.ndarray:
    """Tukey's bisquare weights of absolute residuals, scaled by their robust standard deviation."""
    spread = 1.4826 * float(median(residual))
    if spread <= 0:
        return np.ones(len(residual))
    u = np.minimum(residual / (BISQUARE * spread), 1.0)
    return (1 - u * u) ** 2


def _capped_error(residual: np.ndarray) -> float:
    """The mean absolute error, each capped at BISQUARE robust standard deviations."""
    error = np.abs(residual)
    return float(np.mean(np.minimum(error, BISQUARE * 1.4826 * median(error))))


def _robust_var(residual: np.ndarray) -> float:
    return float((1.4826 * median(np.abs(residual))) ** 2) if len(residual) else np.inf


def _out_of_fold(base, extra, y, fold, penalties, iterations: int = ROBUST_ITERATIONS, starts=None) -> list:
    """Each peptide's prediction by the model fitted on the other folds, one array per penalty (a fold's
    training made once for all of them); `starts`: `_fold_starts`, when known."""
    out = [np.empty(len(y)) for _ in penalties]
    for k in _distinct(fold).tolist():
        test = fold == k
        training = _Training(base[~test], extra[~test], y[~test], None if starts is None else starts[k])
        held_base, held_extra = base[test], extra[test]
        for predicted, penalty in zip(out, penalties):
            model = RetentionModel(training.base, training.extra, training.y, penalty, iterations, training=training)
            predicted[test] = model.predict(held_base, held_extra)
    return out


def _candidate_errors(shared, task: int) -> list:
    """(out-of-fold error, scale, ends, penalty) of each penalty of the candidate model `task`."""
    counts, terminals, y, fold, penalties, candidates = shared
    name, e = candidates[task]
    base, extra = design(counts, terminals[e], name)
    predicted = _out_of_fold(base, extra, y, fold, penalties, SELECTION_ITERATIONS, _fold_starts(base, y, fold))
    return [(_capped_error(p - y), name, e, w) for p, w in zip(predicted, penalties)]


def _fold_starts(base, y, fold) -> dict:
    """Per fold, the resistant line fitted to the other folds: the same for every penalty."""
    return {k: _resistant_line(base[fold != k, 1], y[fold != k]) for k in _distinct(fold).tolist()}


def _medians(keys: np.ndarray, values: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The distinct integer `keys`, ascending, and the median of the `values` of each."""
    order = np.lexsort((values, keys))
    k, v = keys[order], values[order]
    starts = np.flatnonzero(np.r_[True, k[1:] != k[:-1]])
    sizes = np.diff(np.r_[starts, len(k)])
    return k[starts], (v[starts + (sizes - 1) // 2] + v[starts + sizes // 2]) / 2


def elution_of_others(peptides: np.ndarray, times: np.ndarray,
                      confident: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Per row, the mean of `times` over the `confident` rows of its peptide other than itself (NaN where
    there are none), and how many those are. `peptides`: texts, or integer codes standing for them."""
    code = np.asarray(peptides)
    if code.dtype.kind not in "iu":
        _, code = np.unique(code.astype(str), return_inverse=True)
    code = code.reshape(-1)
    own = np.where(confident, times, 0.0)
    left = np.bincount(code, weights=confident.astype(np.float64))[code] - confident
    total = np.bincount(code, weights=own)[code] - own
    out = np.full(len(times), np.nan)
    np.divide(total, left, out=out, where=left > 0)
    return out, left.astype(np.int64)


def align(file_id, peptides, rt, confident) -> dict[int, tuple[float, float]]:
    """Per file: (intercept, slope) of the line onto the reference file's scale."""
    file_id = np.asarray(file_id).astype(np.int64)
    rt = np.asarray(rt, dtype=np.float64)
    confident = np.asarray(confident, dtype=bool)
    lines = {int(f): (0.0, 1.0) for f in _distinct(file_id).tolist()}
    if not confident.any():
        return lines
    names, code = np.unique(np.asarray(peptides, dtype=object)[confident].astype(str), return_inverse=True)
    keys, median = _medians(file_id[confident] * len(names) + code, rt[confident])
    key_file, key_peptide = keys // len(names), keys % len(names)
    files, held = np.unique(key_file, return_counts=True)
    reference = int(files[np.flatnonzero(held == held.max())[0]])  # most peptides, then the lowest number
    on_reference = np.full(len(names), np.nan)
    on_reference[key_peptide[key_file == reference]] = median[key_file == reference]
    for f in files.tolist():
        shared = (key_file == f) & ~np.isnan(on_reference[key_peptide])
        if f != reference and shared.any():
            lines[f] = _line(median[shared], on_reference[key_peptide[shared]])
    return lines


def _line(x: np.ndarray, y: np.ndarray) -> tuple[float, float]:
    shift = (float(median(y - x)), 1.0)
    if len(x) < MIN_SHARED or np.ptp(x) <= 0:
        return shift
    keep = np.ones(len(x), dtype=bool)
    for _ in range(2):
        slope, intercept = np.polyfit(x[keep], y[keep], 1)
        residual = np.abs(y - (intercept + slope * x))
        spread = 1.4826 * median(residual[keep])
        if spread <= 0 or (residual[keep] <= 3 * spread).all():
            break
        keep = residual <= 3 * spread
        if keep.sum() < MIN_SHARED or np.ptp(x[keep]) <= 0:
            break
    return (float(intercept), float(slope)) if slope > 0 else shift


def fill_retention(table, compete: np.ndarray, q: np.ndarray, fdr: float) -> Optional[np.ndarray]:
    """Fill `aligned_rt`, `predicted_rt` and `delta_rt_model` of a PSM table in place; returns the RT error
    feature (one value per row), or None when too few confident peptides leave the columns as they were.

    Confident: competing targets at `q` <= `fdr`, `q` being one q-value per row. `predicted_rt` lies within
    the span of the confident peptides' times and draws on the peptide's other matches at LOOSE_FDR;
    `delta_rt_model` is the distance of `aligned_rt` from the prediction unbounded and drawing on confident
    matches alone, as a share of the run's aligned time span, at most 1. No row's prediction uses its own
    time.
    """
    peptides = np.asarray(table["sequence"], dtype=object)
    rt = np.asarray(table["rt"], dtype=np.float64)
    file_id = np.asarray(table["file_id"])
    targets = compete & ~np.asarray(table["is_decoy"], dtype=bool)
    q = np.nan_to_num(np.asarray(q, dtype=np.float64), nan=1.0)
    confident = targets & (q <= fdr)
    if len(set(peptides[confident].tolist())) < MIN_PEPTIDES:
        confident = targets & (q <= max(fdr, LOOSE_FDR))
        if len(set(peptides[confident].tolist())) < MIN_PEPTIDES:
            return None
    lines = align(file_id, peptides, rt, confident)
    intercept = np.array([lines[int(f)][0] for f in file_id.tolist()])
    slope = np.array([lines[int(f)][1] for f in file_id.tolist()])
    aligned = intercept + slope * rt

    distinct, inverse = np.unique(peptides.astype(str), return_inverse=True)
    counts = composition(distinct.tolist())
    terminals = (np.zeros_like(counts), terminal_counts(distinct.tolist()))
    rows = np.flatnonzero(confident)
    trained, y = _medians(inverse[rows], aligned[rows])  # one row per peptide, ascending
    if len(trained) > MAX_TRAIN:
        pick = _distinct(np.linspace(0, len(trained) - 1, MAX_TRAIN).round().astype(np.int64))
        trained, y = trained[pick], y[pick]
    fold = np.arange(len(trained)) % FOLDS
    penalties = PENALTIES if len(trained) >= CORRECTIONS_FROM else (np.inf,)
    candidates = [(name, e) for name in SCALES for e in range(len(terminals))]
    shared = (counts[trained], [t[trained] for t in terminals], y, fold, penalties, candidates)
    # Shared with the helper process only where each candidate's fits are many (every penalty, on hundreds of
    # peptides): a few small ones are done here before the helper has taken its first.
    found = (shared_map(_candidate_errors, shared, len(candidates)) if len(penalties) > 1
             else [_candidate_errors(shared, task) for task in range(len(candidates))])
    errors = [error for each in found for error in each]
    _, name, ends, penalty = min(errors)
    base_all, extra_all = design(counts, terminals[ends], name)
    by_peptide = RetentionModel(base_all[trained], extra_all[trained], y, penalty).predict(base_all, extra_all)
    by_peptide[trained] = _out_of_fold(base_all[trained], extra_all[trained], y, fold, [penalty])[0]

    _, modified = np.unique(np.asarray(table["peptide"], dtype=object).astype(str), return_inverse=True)

    def blend(by_peptide: np.ndarray, accepted: np.ndarray) -> np.ndarray:
        """Each row's prediction from its peptide's model prediction and its other `accepted` matches: both
        estimate where the peptide elutes, weighed by the inverse of their variances (the model's out-of-fold
        error; the spread of a peptide's matches over its elution divided among the others)."""
        seen, others = elution_of_others(modified, aligned, accepted)
        repeated = accepted & (others > 0)
        spread_var = _robust_var(aligned[repeated] - seen[repeated])
        modelled = by_peptide[inverse]
        model_var = _robust_var(by_peptide[trained] - y)
        share = others * model_var / np.maximum(others * model_var + spread_var, 1e-300)
        plausible = HUBER * np.sqrt(model_var + spread_var / np.maximum(others, 1))
        share *= np.minimum(1.0, plausible / np.maximum(np.abs(np.nan_to_num(seen) - modelled), 1e-300))
        return np.where(others > 0, share * np.nan_to_num(seen) + (1 - share) * modelled, modelled)

    # A match is seen only where the run's peptides elute, so the time to expect of it lies within the span
    # of the confident ones: a composition far out along the scale is expected at that span's edge, and
    # every other match likely right (at LOOSE_FDR) adds to what is known of its peptide's elution. The
    # rescoring feature keeps to the confident matches, and to the unbounded prediction: how far out a
    # composition lies still says how unlikely a true match of it is here at all.
    predicted = blend(np.clip(by_peptide, y.min(), y.max()), targets & (q <= max(fdr, LOOSE_FDR)))
    error = np.abs(aligned - blend(by_peptide, confident))
    span = max(float(np.ptp(aligned)), 1e-9)
    delta = np.minimum(error / span, 1.0)
    table["aligned_rt"] = aligned.astype(np.float32)
    table["predicted_rt"] = predicted.astype(np.float32)
    table["delta_rt_model"] = delta.astype(np.float32)
    return delta
