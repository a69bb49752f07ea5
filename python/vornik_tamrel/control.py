"""Error control: per-spectrum chance levels, rescoring and q-values for a PSM table.

The table comes from `search.psm_table`; `control_errors` fills its
discriminant score and its spectrum and peptide q-values in place.
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Optional

import numpy as np

from .fdr import peptide_qvalues, qvalues

if TYPE_CHECKING:
    from .search import SearchSettings, Table


# A hyperscore means little on its own: spectra with many peaks, or many
# similar candidates, score high by chance. A second pass with the precursor
# window widened to +/- NULL_WINDOW_DA samples each spectrum's scores against
# unrelated peptides (hundreds even on a small database); the exponential tail
# fitted to its best NULL_PSMS says how often chance alone reaches a score.
NULL_WINDOW_DA = 25.0
NULL_PSMS = 20


def null_scorer(settings: SearchSettings, report_psms: int = NULL_PSMS, min_matched_peaks: int = 1,
                window: float = NULL_WINDOW_DA):
    """The wide pass's scorer: +/- `window` Da around each precursor, isotope error 0; its rows carry their
    cross-correlation score (without a chance level of their own)."""
    from dataclasses import replace

    from .evidence import evidence_settings
    from .score import build_scorer

    scorer = build_scorer(settings, ("da", window), evidence=False, competes=False, wide_window=False, chimera=False,
                          report_psms=report_psms, min_isotope_err=0, max_isotope_err=0,
                          min_matched_peaks=min_matched_peaks)
    evidence = evidence_settings(settings)
    return replace(scorer, evidence=None if evidence is None else replace(evidence, null_ladders=0, tail_window=0.0))


def fit_tails(rows: Table) -> dict[tuple[int, str], tuple]:
    """Per spectrum (file_id, spec_id): intercept and slope of log10(rank / scored candidates) against the
    hyperscore (see `tail_fit`), from ranks 2 to NULL_PSMS of the wide pass's `rows`, then the same for their
    cross-correlation scores (ranked by it) when the rows carry them; (0.0, 0.0) for a score without a fit.

    Rank 1 is left out, as it may be the spectrum's true peptide. Spectra
    without any fit are missing from the result.
    """
    from .rescore import spectrum_numbers

    # A spectrum's rows come one after another: its key is made once, not once per row.
    keys, lengths = spectrum_runs(np.asarray(rows["file_id"]), np.asarray(rows["spec_id"], dtype=object))
    numbers = spectrum_numbers(keys)
    group = np.repeat(numbers, lengths)
    fits = [tail_fit(group, rows["rank"], rows["hyperscore"], rows["scored_candidates"])]
    if "xcorr" in rows:
        xcorr = np.asarray(rows["xcorr"], dtype=np.float64)
        order = np.lexsort((-xcorr, group))
        starts = np.r_[True, group[order][1:] != group[order][:-1]]
        rank = np.empty(len(order))
        rank[order] = np.arange(len(order)) - np.maximum.accumulate(np.where(starts, np.arange(len(order)), 0)) + 1
        fits.append(tail_fit(group, rank, xcorr, rows["scored_candidates"]))
    lines = np.nan_to_num(np.column_stack([part for fit in fits for part in fit]).reshape(-1, 2 * len(fits)))
    # spectrum numbers count up in order of first appearance: the first run of each, in that order
    first = np.unique(numbers, return_index=True)[1].tolist()
    return {(int(f), str(k)): tuple(line) for (f, k), line, fitted in zip(
        [keys[i] for i in first], lines.tolist(), lines.any(axis=1).tolist()) if fitted}


def spectrum_runs(file_id: np.ndarray, spec_id: np.ndarray) -> tuple[list, np.ndarray]:
    """The (file_id, spec_id) key of each run of consecutive rows of one spectrum, and the runs' lengths."""
    if not len(file_id):
        return [], np.zeros(0, dtype=np.int64)
    runs = np.flatnonzero(np.r_[True, (file_id[1:] != file_id[:-1]) | (spec_id[1:] != spec_id[:-1])])
    return list(zip(file_id[runs].tolist(), spec_id[runs].tolist())), np.diff(np.r_[runs, len(file_id)])


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


def tail_features(table: Table, tails: dict[tuple[int, str], tuple], xcorr: np.ndarray | None = None) -> np.ndarray:
    """Per row, for its hyperscore and (given `xcorr` and tails fitted to it) its cross-correlation score:
    -log10 of the chance of the score under its spectrum's fitted tail (0 without a fit), and the same less
    log10 of the candidates the row competed with (an E-value)."""
    width = 4 if xcorr is not None and any(len(v) == 4 for v in tails.values()) else 2
    missing = (0.0,) * width
    # one look-up per run of rows of one spectrum
    runs, lengths = spectrum_runs(np.asarray(table["file_id"]), np.asarray(table["spec_id"], dtype=object))
    lines = np.repeat(np.array([tails.get((int(f), str(k)), missing)[:width] for f, k in runs], dtype=np.float64)
                      .reshape(-1, width), lengths, axis=0)
    scores = [np.asarray(table["hyperscore"], dtype=np.float64)] + ([np.asarray(xcorr)] if width == 4 else [])
    out = []
    for j, score in enumerate(scores):
        log_p = np.nan_to_num(np.maximum(-(lines[:, 2 * j] + lines[:, 2 * j + 1] * score), 0.0), nan=0.0)
        out += [log_p, log_p - log_candidates(table)]
    return np.column_stack(out)


def log_candidates(table: Table) -> np.ndarray:
    return np.log10(np.maximum(np.asarray(table["scored_candidates"], dtype=np.float64), 1.0))


def evidence_features(table: Table, evidence: np.ndarray) -> np.ndarray:
    """Four columns per row from its fragment evidence (see `evidence.take_evidence`; 0 where a value is
    missing): the cross-correlation score, -log10 of its chance level and its z-score among random ladders of
    its mass, and that chance level less log10 of the candidates the row competed with (an E-value); where
    the evidence has candidate tails, the same two for its chance level among the database's peptides around
    its mass."""
    columns = [np.nan_to_num(evidence[:, i], nan=0.0) for i in range(evidence.shape[1])]
    n = log_candidates(table)
    xcorr, log_p, z = columns[:3]
    tails = [columns[3], columns[3] - n] if len(columns) > 3 else []
    return np.column_stack([xcorr, log_p, z, log_p - n, *tails])


@dataclass(frozen=True)
class Chance:
    """What calibrates a PSM table's scores without learning: the wide pass's tails (per spectrum, see
    `fit_tails`) and the fragment evidence (per row, see `evidence.take_evidence`), either may be absent."""

    tails: Optional[dict] = None
    evidence: Optional[np.ndarray] = None
    _tail_features: list = field(default_factory=list, init=False, compare=False, repr=False)

    def features(self, table: Table) -> Optional[np.ndarray]:
        """The rescoring features of both, or None when there are neither."""
        parts = ([self.tail_features(table)] if self.tails is not None else []) + (
            [evidence_features(table, self.evidence)] if self.evidence is not None else [])
        return np.column_stack(parts) if parts else None

    def tail_features(self, table: Table) -> np.ndarray:
        """`tail_features` of `table` (with the evidence's cross-correlation score where there is evidence),
        worked out once for the columns they are made from: the rescoring features and the calibrated score
        both read them. Not to be written to."""
        columns = tuple(table[name] for name in ("file_id", "spec_id", "hyperscore", "scored_candidates"))
        for seen, features in self._tail_features:
            if all(a is b for a, b in zip(seen, columns)):
                return features
        xcorr = None if self.evidence is None else self.evidence[:, 0]
        features = tail_features(table, self.tails, xcorr)
        self._tail_features[:] = [(columns, features)]
        return features


def competition_rows(table: Table, chimera: bool) -> np.ndarray:
    """Rows that compete for identifications: each spectrum's best match; when chimeric, every extracted match
    but those that tie with the next candidate of their extraction.

    The engine ranks a target before a decoy of equal score, and an
    extraction reports only its winner: which label a tied extraction would
    have given is unknown, and counted as the target's it would hide the
    decoys that estimate such chance matches. Leaving the ties out whatever
    their label keeps the competition fair. (Standard scoring ranks decoys
    first among ties instead, see `score.settle_ties`.)
    """
    rank = np.asarray(table["rank"])
    if chimera:
        return np.asarray(table["delta_next"]) != 0
    return rank == 1


def normal_tail_log10(z: np.ndarray) -> np.ndarray:
    """-log10 of the standard normal's upper tail beyond each `z` (NaN stays NaN).

    Up to z = 8 from the complementary error function; beyond it, where that
    function underflows to 0 near z = 38, from the tail's asymptotic series
    (to the sixth inverse power), within 3e-6 in log10 units and closer as
    z grows.
    """
    z = np.asarray(z, dtype=np.float64)
    out = np.full(z.shape, np.nan)
    near = np.isfinite(z) & (z <= 8.0)
    out[near] = [-math.log10(0.5 * math.erfc(v / math.sqrt(2.0))) for v in z[near].tolist()]
    far = np.isfinite(z) & (z > 8.0)
    v = z[far]
    inv = 1.0 / (v * v)
    ln = -0.5 * v * v - np.log(v) - 0.5 * math.log(2.0 * math.pi) + np.log1p(-inv + 3.0 * inv * inv - 15.0 * inv ** 3)
    out[far] = -ln / math.log(10.0)
    return out


def calibrated_scores(table: Table, chance: Chance | None) -> np.ndarray:
    """The score q-values are computed from without learning: -log10 of each row's E-value.

    - Where the row has a tail of its cross-correlation score among the
      database's peptides around its mass (see `evidence`): under that tail.
    - Else, where it has fragment evidence: the mean of the E-values' logs
      under three chance levels, each biased its own way: its spectrum's
      fitted hyperscore tail (`tail_features`), the cross-correlation's normal
      tail among random ladders of its mass (its z-score), and the
      exponential tail fitted to those ladders' best scores.
    - Else under its spectrum's fitted hyperscore tail, or the hyperscore
      when no tails were fitted.

    On ion-trap fragments the hyperscore's tail, fitted to a few dozen rows
    picked by the hyperscore itself, leaves wrong matches of busy spectra
    with E-values far below their true rate, and a large database then
    accepts nothing. The ladders' normal tail ranks true matches well, but
    it is too light for the best of a few wrong candidates of a sparse
    spectrum; the ladders' exponential tail is heavier but rests on a
    handful of ladders. Each chance level errs where another holds.
    """
    if chance is None or chance.tails is None:
        base = np.asarray(table["hyperscore"], dtype=np.float64)
    else:
        base = chance.tail_features(table)[:, 1].copy()  # with or without the evidence's, the same column
    if chance is None or chance.evidence is None:
        return base
    n = log_candidates(table)
    levels = [normal_tail_log10(chance.evidence[:, 2]) - n, chance.evidence[:, 1] - n]
    if chance.tails is not None:
        levels.append(base)
    levels = np.column_stack(levels)
    found = np.isfinite(levels[:, :2]).any(axis=1)
    consensus = np.where(found, np.nanmean(np.where(found[:, None], levels, 0.0), axis=1), base)
    if chance.evidence.shape[1] < 4:
        return consensus
    candidates = chance.evidence[:, 3] - n
    return np.where(np.isfinite(candidates), candidates, consensus)


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
    from .rescore import feature_matrix, rescore

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
        outcome = rescore(np.column_stack(parts), is_decoy[compete], spectra, calibrated[compete])
        if outcome is not None:
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
