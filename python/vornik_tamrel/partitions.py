"""Searching a database in K slices by precursor mass, and merging each spectrum's results.

A slice holds the peptides of one mass range with its own decoys, so each
worker needs only about 1/K of the index. A spectrum is searched in units: one
unit when the engine tries one precursor charge for it (a stated charge, or a
charge range of one), else one unit per charge. A unit's reach, the masses
its precursor windows can touch (every isotope error; +/- NULL_WINDOW_DA in
the wide pass), is narrower than the slices' overlap, so each unit is scored
in the one slice that holds its whole reach and the peptides next to it. Such
a slice gives the engine the very candidates, in the very order, that one
index of all peptides would: a spectrum of one unit is reported as the whole
database's search reports it, bit for bit.

A spectrum of several units (no stated charge, or `wide_window`) whose
charges reach beyond one slice is scored
per charge with a relaxed scorer (no matched-peak minimum, at least
`RELAXED_REPORT` rows, which leaves the engine's preliminary cut unchanged),
and the merge rebuilds what depends on all its candidates as the engine
does: rank, `delta_next` and `delta_best` from the merged ranking,
`scored_candidates` as the sum, `poisson` from the summed hit and candidate
counts (the engine reports only their ratio, through `poisson`; a unit's hit
total is the one integer that reproduces every row's `poisson` bit for bit).
What the merge cannot rebuild (see `MergeStats`): the engine keeps at most
`max(50, 2 * report_psms)` preliminary candidates per spectrum by their
count of index hits, over all charges together, and the units cannot know
that joint cut; and candidates of equal hyperscore keep the order of the
engine's selection, which the merge ranks by charge instead.
"""
from __future__ import annotations

import bisect
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


def slice_bounds(masses: np.ndarray, k: int, weights: np.ndarray | None = None) -> list[tuple[int, int]]:
    """[start, stop) of K slices over peptides sorted by mass, of about equal total weight (one per peptide
    by default); equal masses stay together."""
    n = len(masses)
    if weights is None:
        at = [i * n // k for i in range(1, k)]
    else:
        total = np.cumsum(weights, dtype=np.float64)
        at = [int(np.searchsorted(total, total[-1] * i / k, side="right")) for i in range(1, k)]
    cuts = [0]
    for i in at:
        cuts.append(max(int(np.searchsorted(masses, masses[min(i, n - 1)], side="left")), cuts[-1]))
    cuts.append(n)
    return [(a, b) for a, b in zip(cuts[:-1], cuts[1:]) if b > a]


PROTON = 1.0072764
ISOTOPE = 1.00335
DEFAULT_ISOLATION_DA = 2.4  # the engine's isolation window where a spectrum states none (wide_window)
SLACK_DA = 0.01  # beyond the engine's 32-bit window bounds
MIN_OVERLAP_DA = 5.0


@dataclass(frozen=True)
class SlicePlan:
    """Slice k scores the units whose reach starts in [cuts[k], cuts[k+1]) and holds peptides
    [bounds[k][0], bounds[k][1]): all that such a reach can touch, and one more on each side."""

    cuts: tuple[float, ...]
    bounds: tuple[tuple[int, int], ...]
    width: float  # the widest reach a slice holds whole

    def route(self, low: float) -> int:
        return bisect.bisect_right(self.cuts, low) - 1

    def holds(self, low: float, high: float) -> bool:
        """Whether the slice that takes a reach starting at `low` holds it up to `high`."""
        k = self.route(low)
        return k + 1 == len(self.cuts) or high <= self.cuts[k + 1] + self.width


def reach_width(settings: SearchSettings) -> float:
    """The widest reach of a unit the slices hold whole: the wide pass's, or the isotope errors' with the
    default isolation window or any ppm window on masses below 100 kDa."""
    from .control import NULL_WINDOW_DA

    isotopes = (settings.max_isotope_err - settings.min_isotope_err) * ISOTOPE
    wide_window = isotopes + 2 * DEFAULT_ISOLATION_DA * settings.max_precursor_charge if settings.wide_window else 0.0
    return max(MIN_OVERLAP_DA, isotopes + 2e-6 * settings.precursor_ppm * 1e5, wide_window,
               2 * NULL_WINDOW_DA) + 4 * SLACK_DA


# What a peptide costs in the index, roughly: its record, and per residue its
# fragments and modification mass. Slices of equal peptide counts would leave
# the heaviest (the longest peptides) far larger than the others.
RECORD_BYTES, RESIDUE_BYTES = 200, 20


def plan_slices(peptides: PeptideSet, k: int, settings: SearchSettings) -> SlicePlan:
    """K slices of about equal index memory (see RECORD_BYTES), overlapping by the widest reach."""
    masses = peptides.masses
    lengths = np.diff(peptides.sequence_offsets)[peptides.sequence_index]
    core = slice_bounds(masses, k, RECORD_BYTES + RESIDUE_BYTES * lengths)
    cuts = (-math.inf,) + tuple(float(masses[a]) for a, _ in core[1:])
    width = reach_width(settings)
    ends = cuts[1:] + (math.inf,)
    bounds = tuple((max(a - 1, 0), min(int(np.searchsorted(masses, end + width, side="right")) + 1, len(masses)))
                   for (a, _), end in zip(core, ends))
    return SlicePlan(cuts, bounds, width)


def units(spectrum: Spectrum, settings: SearchSettings, wide_pass: bool) -> list[tuple[int, float, float]]:
    """(charge, lowest, highest mass) the engine's precursor windows reach, per charge it tries."""
    from .control import NULL_WINDOW_DA

    wide_window = settings.wide_window and not wide_pass
    if spectrum.charge is not None and not wide_window:
        charges = [spectrum.charge]
    else:
        charges = list(range(settings.min_precursor_charge, settings.max_precursor_charge + 1))
    lo_err, hi_err = (0, 0) if wide_pass or settings.min_isotope_err == settings.max_isotope_err else (
        settings.min_isotope_err, settings.max_isotope_err)
    m0 = spectrum.precursor_mz - PROTON
    out = []
    for z in charges:
        top, bottom = m0 * z - lo_err * ISOTOPE, m0 * z - hi_err * ISOTOPE
        if wide_pass:
            low, high = bottom - NULL_WINDOW_DA, top + NULL_WINDOW_DA
        elif wide_window:
            below, above = spectrum.isolation_window or (DEFAULT_ISOLATION_DA, DEFAULT_ISOLATION_DA)
            low, high = bottom - below * z, top + above * z
        else:
            tol = settings.precursor_ppm * 1e-6
            low, high = bottom * (1 - tol), top * (1 + tol)
        out.append((z, low - SLACK_DA, high + SLACK_DA))
    return out


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


def score_slice(spectra: Sequence[Spectrum], n: int, db, scorer, report: int, batch_size: int, keep: int,
                min_matched: int, evidence: bool) -> SliceRows:
    """Score `spectra`, numbered by their position among `n`, against one slice with a relaxed `scorer`
    (reporting `report` rows, no matched-peak minimum) and keep what the merge needs: per spectrum its best
    `keep` rows with at least `min_matched` matched peaks, the counts, and with `evidence` what the hit
    total follows from."""
    from .score import score_pass

    rows = score_pass(spectra, db, scorer, batch_size)
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

    Only spectra searched in several units can: `rows` where the units
    together found more candidates than the engine's preliminary cut keeps, a
    unit may hold a passing candidate beyond the rows it reported, a unit's hit
    total could not be recovered (`poisson`), or reported rows tie in
    hyperscore (their order); `tails` where the wide pass's units met the
    preliminary cut together. A unit whose reach a slice cannot hold whole
    (an isolation window wider than the overlap) counts in both.
    """

    spectra: int = 0
    spread: int = 0  # spectra with candidates in more than one unit
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
        return {"spectra": self.spectra, "merged_from_units": self.spread, "rows_may_differ": len(self.rows),
                "tails_may_differ": len(self.tails), "stray_decoys": self.stray_decoys}


def merge_slices(parts: Sequence[SliceRows], n: int, report: int, cap: int,
                 poisson: bool, ties: bool) -> tuple[Table, np.ndarray, np.ndarray]:
    """Each spectrum's best `report` rows over all slices, as one search of the whole database reports them;
    per spectrum, whether they may differ from it (see `MergeStats`) and whether several slices found
    candidates for it; rows keep their spectrum's position as `file_id`. `cap` is the engine's preliminary cap;
    `poisson`: recompute it from the slices' hit totals; `ties`: whether the order of equal hyperscores counts.
    """
    from .score import concat_tables

    rows = concat_tables([p.rows for p in parts])
    candidates = np.sum([p.candidates for p in parts], axis=0) if parts else np.zeros(n, dtype=np.int64)
    reached = np.sum([p.candidates > 0 for p in parts], axis=0) if parts else np.zeros(n, dtype=np.int64)
    uncertain = (candidates > cap) & (reached >= 2)
    for p in parts:
        uncertain |= p.truncated
    position = rows["file_id"].astype(np.int64)
    slice_of = np.concatenate([np.full(len(p.rows["file_id"]), i) for i, p in enumerate(parts)] + [[]])
    # Best first per spectrum; equal hyperscores decoys first (as the search ranks them, see `score`), then in
    # slice order and the slice's own order.
    order = np.lexsort((np.arange(len(position)), slice_of, rows["label"], -rows["hyperscore"], position))
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


@dataclass
class SlicePart:
    """One slice's share of a chunk: final rows of the one-unit spectra it holds (`file_id` their position)
    and relaxed rows of the units of the others, for the main and the wide pass, and the positions of units
    too wide for it."""

    main: Table
    main_units: list[SliceRows]
    too_wide: list[int]
    wide: Table
    wide_units: list[SliceRows]
    wide_too_wide: list[int]


def score_slice_passes(spectra: Sequence[Spectrum], db, settings: SearchSettings, plan: SlicePlan,
                       k: int) -> SlicePart:
    """Both passes of the units of position-numbered `spectra` that `plan` routes to slice `k` (held in `db`)."""
    from .control import NULL_PSMS, null_scorer
    from .score import build_scorer, score_pass

    n = len(spectra)

    def routed(wide_pass: bool):
        single, several, too_wide = [], {}, []
        for s in spectra:
            reach = units(s, settings, wide_pass)
            low, high = min(r[1] for r in reach), max(r[2] for r in reach)
            if plan.holds(low, high):  # the whole spectrum in one slice
                reach = [(0, low, high)]
            for z, low, high in reach:
                if plan.route(low) != k:
                    continue
                if not plan.holds(low, high):
                    too_wide.append(s.file_id)
                if len(reach) == 1:
                    single.append(s)
                else:
                    several.setdefault(z, []).append(s)
        return single, several, too_wide

    def per_charge(z: int) -> SearchSettings:
        return replace(settings, min_precursor_charge=z, max_precursor_charge=z)

    single, several, too_wide = routed(False)
    report = max(settings.report_psms, RELAXED_REPORT)
    main = score_pass(single, db, build_scorer(settings), settings.batch_size)
    main_units = [score_slice(group, n, db, build_scorer(replace(per_charge(z), report_psms=report, min_matched_peaks=0)),
                              report, settings.batch_size, settings.report_psms + 1, settings.matched_peaks, True)
                  for z, group in several.items()]
    single, several, wide_too_wide = routed(True)
    report = max(NULL_PSMS, RELAXED_REPORT)
    wide = score_pass(single, db, null_scorer(settings), settings.batch_size)
    wide_units = [score_slice(group, n, db, null_scorer(per_charge(z), report, 0), report, settings.batch_size,
                              NULL_PSMS + 1, 1, False) for z, group in several.items()]
    return SlicePart(main, main_units, too_wide, wide, wide_units, wide_too_wide)


def _in_order(tables: Sequence[Table], file_ids: np.ndarray) -> Table:
    """Rows of several tables, each numbered by position in `file_id`, in position order; files restored."""
    from .score import concat_tables

    rows = concat_tables(tables)
    order = np.argsort(rows["file_id"], kind="stable")
    rows = {name: values[order] for name, values in rows.items()}
    rows["file_id"] = file_ids[rows["file_id"].astype(np.int64)].astype(np.uint32)
    return rows


def merge_passes(parts: Sequence[SlicePart], file_ids: np.ndarray, spec_ids: Sequence[str],
                 settings: SearchSettings, stats: MergeStats) -> tuple[Table, dict]:
    """The main rows and the wide pass's tails of a chunk of spectra (with files `file_ids` and ids
    `spec_ids`) from all its slices; `stats` learns which spectra may differ from the unpartitioned search."""
    from .control import NULL_PSMS, fit_tails

    n = len(file_ids)
    keys = list(zip(file_ids.tolist(), spec_ids))
    stats.spectra += n
    merged, uncertain, spread = merge_slices([u for p in parts for u in p.main_units], n, settings.report_psms,
                                             preliminary_cap(settings.report_psms), poisson=True, ties=True)
    stats.rows.update(keys[i] for i in np.flatnonzero(uncertain))
    stats.rows.update(keys[i] for p in parts for i in p.too_wide)
    stats.spread += int(spread.sum())
    columns = _in_order([p.main for p in parts] + [merged], file_ids)
    # The tail is fitted to ranks and scores, which no order of equal scores changes.
    wide, uncertain, _ = merge_slices([u for p in parts for u in p.wide_units], n, NULL_PSMS,
                                      preliminary_cap(NULL_PSMS), poisson=False, ties=False)
    stats.tails.update(keys[i] for i in np.flatnonzero(uncertain))
    stats.tails.update(keys[i] for p in parts for i in p.wide_too_wide)
    return columns, fit_tails(_in_order([p.wide for p in parts] + [wide], file_ids))


def search_in_slices(spectra: Sequence[Spectrum], peptides: PeptideSet,
                     settings: SearchSettings) -> tuple[Table, dict, MergeStats]:
    """The search of `spectra` against `peptides` in `settings.db_partitions` slices, one index at a time."""
    from .index import build_database

    chunk = numbered(spectra)
    parts = []
    plan = plan_slices(peptides, settings.db_partitions, settings)
    for k, (start, stop) in enumerate(plan.bounds):
        db = build_database(peptides.slice(start, stop), settings)
        parts.append(score_slice_passes(chunk, db, settings, plan, k))
        del db
    stats = MergeStats(stray_decoys=stray_decoys(peptides, plan.bounds))
    columns, tails = merge_passes(parts, np.array([s.file_id for s in spectra]), [s.id for s in spectra],
                                  settings, stats)
    return columns, tails, stats
