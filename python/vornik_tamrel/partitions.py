"""Searching a database in K slices by precursor mass, and merging each spectrum's results.

A slice holds the peptides of one mass range (ties never split), with its
own decoys, so each worker needs only about 1/K of the index. Every spectrum
is scored against every slice: a slice its precursor windows do not reach
costs one binary search and gives nothing.

The engine's features of a spectrum depend on all its candidates: rank,
`delta_next`, `delta_best`, `scored_candidates` and `poisson` (through the
mean number of matches per candidate). So each slice is scored with a
relaxed scorer (no matched-peak minimum, at least `RELAXED_REPORT` rows,
which leaves the engine's preliminary cut unchanged) and the merge rebuilds
those columns as the engine does for the whole database:

- rows are ranked by hyperscore over all slices; `delta_next` and
  `delta_best` are recomputed from the merged ranking;
- `scored_candidates` is the sum over the slices;
- `poisson` is recomputed from the summed match and candidate counts. The
  engine reports only the mean, through `poisson`; the slice's match total is
  the one integer whose mean reproduces every reported `poisson` bit for bit.

Where the merge cannot equal the unpartitioned search (see `MergeStats`):
the engine keeps at most `max(50, 2 * report_psms)` preliminary candidates
per spectrum by their count of index hits; a slice keeps its own best ones,
so when the slices together found more, the merge may score a candidate
that the whole database's cut dropped. Candidates of exactly equal
hyperscore from different slices are ranked by slice order.
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field, replace
from typing import TYPE_CHECKING, Optional, Sequence

import numpy as np

if TYPE_CHECKING:
    from .digest import PeptideSet
    from .search import SearchSettings, Table
    from .spectra import Spectrum

#: Rows a slice reports per spectrum: 25 keeps the engine's preliminary cap at 50, as for report_psms <= 25.
RELAXED_REPORT = 25


def slice_bounds(masses: np.ndarray, k: int) -> list[tuple[int, int]]:
    """[start, stop) of K slices of about equal size over peptides sorted by mass; equal masses stay together."""
    n = len(masses)
    cuts = [0]
    for i in range(1, k):
        cut = max(int(np.searchsorted(masses, masses[min(i * n // k, n - 1)], side="left")), cuts[-1])
        cuts.append(cut)
    cuts.append(n)
    return [(a, b) for a, b in zip(cuts[:-1], cuts[1:]) if b > a]


def peptide_slice(peptides: PeptideSet, start: int, stop: int) -> PeptideSet:
    return replace(peptides, sequences=peptides.sequences[start:stop], modifications=peptides.modifications[start:stop],
                   nterm=peptides.nterm[start:stop], cterm=peptides.cterm[start:stop],
                   masses=peptides.masses[start:stop], missed_cleavages=peptides.missed_cleavages[start:stop])


def stray_decoys(peptides: PeptideSet, bounds: Sequence[tuple[int, int]]) -> int:
    """Decoys the slices make that one index of all peptides would not: the engine gives no decoy to a
    peptide whose reversal is a target sequence, and a slice knows only its own targets. Reversals share
    their peptide's composition, so only a modification on one but not the other puts them in two slices."""
    from .search import target_of_decoy  # the reversal undoes itself

    everywhere = set(peptides.sequences)
    stray = 0
    for start, stop in bounds:
        here = set(peptides.sequences[start:stop])
        stray += sum(1 for s in peptides.sequences[start:stop]
                     if (r := target_of_decoy(s)) in everywhere and r not in here)
    return stray


# ------------------------------------------------------------------ the Poisson feature

def _lnfact(n: int) -> float:
    if n == 0:
        return 1.0
    x = float(n)
    ln = math.log(x)
    return ((x * ln - x) + 0.5 * ln) + 0.5 * math.log(x * 6.283185307179586)


def _exp(x: float) -> float:
    try:
        return math.exp(x)
    except OverflowError:  # C's exp gives infinity
        return math.inf


def poisson_log10(total: int, candidates: int, k: int) -> float:
    """The engine's `poisson` for k matches when `total` index hits were spread over `candidates`."""
    lam = float(total) / float(candidates)
    powk, base, e = 1.0, lam, k
    while e:
        if e & 1:
            powk *= base
        e >>= 1
        if e:
            base *= base
    prob = (_exp(-lam) * powk) / _exp(_lnfact(k))
    if math.isinf(prob):
        prob = 0.0
    return math.log10(prob) if prob > 0 else (-math.inf if prob == 0 else math.nan)


def _same(a: float, b: float) -> bool:
    return a == b or (math.isnan(a) and math.isnan(b))


def match_total(candidates: int, ks: Sequence[int], poissons: Sequence[float]) -> int:
    """The slice's total of index hits: the one integer that reproduces every row's `poisson`; -1 if none or several.

    ln P = k ln(lambda) - lambda - lnfact(k) has at most two roots in lambda,
    one on each side of its maximum at lambda = k; each is tried with its
    integer neighbours.
    """
    k, p = int(ks[0]), float(poissons[0])
    if not math.isfinite(p):
        return -1
    target = p * math.log(10.0) + _lnfact(k)
    if k == 0:
        roots = [-target]
    else:
        roots = [float(k)]  # the maximum, where both branches meet
        f = lambda lam: k * math.log(lam) - lam - target  # noqa: E731
        for lo, hi in ((1e-9, float(k)), (float(k), 1e7)):
            rising = f(lo) < f(hi)
            if (f(lo) <= 0) == (f(hi) <= 0):
                continue
            for _ in range(100):
                mid = 0.5 * (lo + hi)
                if (f(mid) <= 0) == rising:
                    lo = mid
                else:
                    hi = mid
            roots.append(0.5 * (lo + hi))
    found = set()
    for lam in roots:
        guess = round(lam * candidates)
        for total in range(max(guess - 2, candidates), guess + 3):
            if all(_same(poisson_log10(total, candidates, int(kk)), float(pp)) for kk, pp in zip(ks, poissons)):
                found.add(total)
    return found.pop() if len(found) == 1 else -1


# ------------------------------------------------------------------ scoring one slice

@dataclass
class SliceRows:
    """One slice's share of a chunk of spectra, in one pass.

    `rows` hold, per spectrum, its best rows that pass the matched-peak
    minimum (one more than reported, for `delta_next`), with `file_id`
    replaced by the spectrum's position in the chunk. Per spectrum:
    `candidates` (the slice's `scored_candidates`) and `truncated` (more
    passing rows may exist than the slice reported). `evidence` holds the
    position, `matched_peaks` and `poisson` of every row the slice reported
    (main pass only), from which the merge recovers the slice's hit total
    where it needs it.
    """

    rows: Table
    candidates: np.ndarray
    truncated: np.ndarray
    evidence: Optional[tuple[np.ndarray, np.ndarray, np.ndarray]]

    def hits(self, position: int) -> int:
        """The slice's total of index hits for the spectrum at `position`; -1 where it cannot be recovered."""
        at, k, poisson = self.evidence
        lo, hi = np.searchsorted(at, position, side="left"), np.searchsorted(at, position, side="right")
        return match_total(int(self.candidates[position]), k[lo:hi].tolist(), poisson[lo:hi].tolist())


def numbered(spectra: Sequence[Spectrum]) -> list[Spectrum]:
    """The spectra with `file_id` set to their position, which identifies them in every slice's rows."""
    return [replace(s, file_id=i) for i, s in enumerate(spectra)]


def _group_starts(position: np.ndarray, count: int) -> tuple[np.ndarray, np.ndarray]:
    """First row and row count of each spectrum 0..count-1 in rows sorted by position."""
    sizes = np.bincount(position, minlength=count)
    return np.concatenate(([0], np.cumsum(sizes)[:-1])), sizes


def score_slice(spectra: Sequence[Spectrum], db, scorer, report: int, batch_size: int, keep: int, min_matched: int,
                evidence: bool) -> SliceRows:
    """Score position-numbered `spectra` against one slice with a relaxed `scorer` (reporting `report` rows,
    no matched-peak minimum) and keep what the merge needs: per spectrum its best `keep` rows with at least
    `min_matched` matched peaks, the slice's counts, and with `evidence` what its hit total follows from."""
    from .search import score_pass

    rows = score_pass(spectra, db, scorer, batch_size)
    n = len(spectra)
    position = rows["file_id"].astype(np.int64)
    starts, sizes = _group_starts(position, n)
    candidates = np.zeros(n, dtype=np.int64)
    candidates[position] = rows["scored_candidates"]
    passing = rows["matched_peaks"] >= min_matched
    before = np.cumsum(passing) - passing  # passing rows before each row, over the whole table
    keep_row = passing & (before - before[starts[position]] < keep)
    passed = np.bincount(position[passing], minlength=n)
    truncated = (sizes >= report) & (passed < keep)
    kept = {name: values[keep_row] for name, values in rows.items()}
    return SliceRows(kept, candidates, truncated,
                     (position, rows["matched_peaks"], rows["poisson"]) if evidence else None)


# ------------------------------------------------------------------ the merge

@dataclass
class MergeStats:
    """The spectra, as (file_id, spec_id), whose merged results may differ from the unpartitioned search.

    `rows`: the reported rows, because the slices together found more
    candidates than the engine's preliminary cut keeps, a slice may hold a
    passing candidate beyond the rows it reported, a slice's hit total could not
    be recovered (`poisson`), or reported rows tie in hyperscore (their order).
    `tails`: the chance level of error control, because the wide pass's
    candidates met the preliminary cut in more than one slice.
    """

    spectra: int = 0
    spread: int = 0  # spectra with candidates in more than one slice
    stray_decoys: int = 0  # see `stray_decoys`; their rows are not flagged
    rows: set = field(default_factory=set)
    tails: set = field(default_factory=set)

    def add(self, other: MergeStats) -> None:
        self.spectra += other.spectra
        self.spread += other.spread
        self.stray_decoys += other.stray_decoys
        self.rows |= other.rows
        self.tails |= other.tails

    def counts(self) -> dict[str, int]:
        return {"spectra": self.spectra, "spread_over_slices": self.spread, "rows_may_differ": len(self.rows),
                "tails_may_differ": len(self.tails), "stray_decoys": self.stray_decoys}


def merge_slices(parts: Sequence[SliceRows], file_ids: np.ndarray, report: int, cap: int,
                 poisson: bool, ties: bool) -> tuple[Table, np.ndarray, np.ndarray]:
    """Each spectrum's best `report` rows over all slices, as one search of the whole database reports them;
    per spectrum, whether they may differ from it (see `MergeStats`) and whether several slices found
    candidates for it. `file_ids` restores each position's file; `cap` is the engine's preliminary cap;
    `poisson`: recompute it from the slices' hit totals; `ties`: whether the order of equal hyperscores counts.
    """
    from .search import concat_tables

    n = len(file_ids)
    rows = concat_tables([p.rows for p in parts])
    candidates = np.sum([p.candidates for p in parts], axis=0)
    reached = np.sum([p.candidates > 0 for p in parts], axis=0)
    uncertain = ((candidates > cap) & (reached >= 2)) | np.any([p.truncated for p in parts], axis=0)
    position = rows["file_id"].astype(np.int64)
    slice_of = np.concatenate([np.full(len(p.rows["file_id"]), i) for i, p in enumerate(parts)])
    # Best first per spectrum; equal hyperscores in slice order, then in the slice's own order.
    order = np.lexsort((np.arange(len(position)), slice_of, -rows["hyperscore"], position))
    rows = {name: values[order] for name, values in rows.items()}
    position = position[order]
    starts, sizes = _group_starts(position, n)
    rank = np.arange(len(position)) - starts[position] + 1
    hyper = rows["hyperscore"]
    following = np.zeros(len(hyper))
    same = position[1:] == position[:-1]
    following[:-1][same] = hyper[1:][same]
    tied = np.zeros(len(hyper), dtype=bool)
    tied[:-1] = same & (hyper[1:] == hyper[:-1]) & (rank[:-1] <= report)
    if ties:
        uncertain[position[tied]] = True
    rows["delta_next"] = hyper - following
    rows["delta_best"] = hyper[starts[position]] - hyper
    rows["rank"] = rank.astype(np.uint32)
    rows["scored_candidates"] = candidates[position].astype(np.uint32)
    rows["file_id"] = file_ids[position].astype(np.uint32)
    if poisson:
        values = rows["poisson"].copy()
        for spectrum in np.flatnonzero(reached >= 2):
            totals = [p.hits(spectrum) for p in parts if p.candidates[spectrum] > 0]
            if min(totals) < 0:
                uncertain[spectrum] = True
                continue
            span = slice(starts[spectrum], starts[spectrum] + sizes[spectrum])
            values[span] = [poisson_log10(sum(totals), int(candidates[spectrum]), int(k))
                            for k in rows["matched_peaks"][span]]
        rows["poisson"] = values
    reported = rank <= report
    return {name: values[reported] for name, values in rows.items()}, uncertain, reached >= 2


# ------------------------------------------------------------------ both passes of a search

def preliminary_cap(report_psms: int) -> int:
    return max(50, 2 * report_psms)


def score_slice_passes(spectra: Sequence[Spectrum], db, settings: SearchSettings) -> tuple[SliceRows, SliceRows | None]:
    """The main pass and the wide pass of position-numbered `spectra` against one slice."""
    from .control import NULL_PSMS, null_scorer
    from .search import build_scorer

    report = max(settings.report_psms, RELAXED_REPORT)
    main = score_slice(spectra, db, build_scorer(replace(settings, report_psms=report, min_matched_peaks=0)), report,
                       settings.batch_size, settings.report_psms + 1, settings.min_matched_peaks, evidence=True)
    report = max(NULL_PSMS, RELAXED_REPORT)
    wide = score_slice(spectra, db, null_scorer(settings, report, 0), report, settings.batch_size, NULL_PSMS + 1, 1,
                       evidence=False)
    return main, wide


def merge_passes(parts: Sequence[tuple[SliceRows, SliceRows | None]], file_ids: np.ndarray, spec_ids: Sequence[str],
                 settings: SearchSettings, stats: MergeStats) -> tuple[Table, dict | None]:
    """The merged main rows and the wide pass's tails of a chunk of spectra (with files `file_ids` and ids
    `spec_ids`) from all its slices; `stats` learns which spectra may differ from the unpartitioned search."""
    from .control import NULL_PSMS, fit_tails

    keys = list(zip(file_ids.tolist(), spec_ids))
    stats.spectra += len(keys)
    columns, uncertain, spread = merge_slices([m for m, _ in parts], file_ids, settings.report_psms,
                                      preliminary_cap(settings.report_psms), poisson=True, ties=True)
    stats.rows.update(keys[i] for i in np.flatnonzero(uncertain))
    stats.spread += int(spread.sum())
    # The tail is fitted to ranks and scores, which no order of equal scores changes.
    wide, uncertain, _ = merge_slices([w for _, w in parts], file_ids, NULL_PSMS, preliminary_cap(NULL_PSMS),
                                   poisson=False, ties=False)
    stats.tails.update(keys[i] for i in np.flatnonzero(uncertain))
    return columns, fit_tails(wide)


def search_in_slices(spectra: Sequence[Spectrum], peptides: PeptideSet, settings: SearchSettings) -> tuple[Table, dict | None, MergeStats]:
    """The search of `spectra` against `peptides` in `settings.db_partitions` slices, one index at a time."""
    from .search import build_database

    chunk = numbered(spectra)
    parts = []
    bounds = slice_bounds(peptides.masses, settings.db_partitions)
    for start, stop in bounds:
        db = build_database(peptide_slice(peptides, start, stop), settings)
        parts.append(score_slice_passes(chunk, db, settings))
        del db
    stats = MergeStats(stray_decoys=stray_decoys(peptides, bounds))
    columns, tails = merge_passes(parts, np.array([s.file_id for s in spectra]), [s.id for s in spectra],
                                  settings, stats)
    return columns, tails, stats
