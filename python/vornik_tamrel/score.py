"""Scoring stage: spectrum batches against the fragment index, rows out as columns.

The engine scores a whole batch on its worker pool with the interpreter lock
released, so `stream` reads the next batch while the current one is scored;
only the result rows are kept.

The engine ranks candidates of equal hyperscore in the order it found them,
which puts a target before its reversed decoy. Where a spectrum's best rows
compete in error control, that order would hand every exact tie between a
target and a decoy to the target, and the decoys that estimate the false
discoveries among such matches would never be counted: with a fragment
tolerance so wide that most candidates tie, nearly every spectrum's best row
became a target and many passed at 1% FDR. A search's own scorer therefore
ranks decoys first among equal hyperscores (see `decoys_first`).
"""
from __future__ import annotations

from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import TYPE_CHECKING, Callable, Iterable, Optional, Sequence, Union

import numpy as np

from . import _native
from .evidence import EVIDENCE_COLUMNS, EvidenceSettings, evidence_settings, fragment_evidence
from .spectra import SpectrumBatch

if TYPE_CHECKING:
    from .search import SearchSettings, Table
    from .spectra import Spectrum

#: The presence bits of `SpectrumBatch.present`.
_HAS_INTENSITY, _HAS_WINDOW, _HAS_MOBILITY = 1, 2, 4

#: numpy types of the engine's numeric columns (its own widths); text and modification rows are object arrays.
COLUMN_TYPES = {
    "file_id": np.uint32, "psm_id": np.uint32, "rank": np.uint32, "peptide_len": np.uint32,
    "missed_cleavages": np.uint8, "expmass": np.float32, "calcmass": np.float32, "charge": np.uint8,
    "delta_mass": np.float32, "isotope_error": np.float32, "average_ppm": np.float32, "hyperscore": np.float64,
    "delta_next": np.float64, "delta_best": np.float64, "poisson": np.float64, "discriminant_score": np.float32,
    "matched_peaks": np.uint32, "matched_intensity_pct": np.float32, "longest_b": np.uint32,
    "longest_y": np.uint32, "longest_y_pct": np.float32, "scored_candidates": np.uint32,
    "ms2_intensity": np.float32, "rt": np.float32, "aligned_rt": np.float32, "predicted_rt": np.float32,
    "delta_rt_model": np.float32, "ims": np.float32, "predicted_ims": np.float32, "delta_ims_model": np.float32,
    "label": np.int32, "spectrum_q": np.float32, "peptide_q": np.float32, "protein_q": np.float32,
    "posterior_error": np.float32,
}


@dataclass(frozen=True)
class SearchScorer:
    """The engine's scorer and, for the rows a search reports, the settings of their fragment evidence."""

    engine: _native.Scorer
    evidence: Optional[EvidenceSettings]
    #: Where the rows compete in error control: the same scorer reporting at least TIE_ROWS rows, to look
    #: behind a tie that reaches past the last row reported (see `settle_ties`); None where ties stay as
    #: the engine ranks them.
    ties: Optional[_native.Scorer] = None


#: Rows a spectrum is scored again with when its best hyperscore is tied past the rows reported: up to 25 the
#: engine's preliminary cut is the same as for one row, so the rows are the same candidates in the same order.
TIE_ROWS = 25


def build_scorer(settings: SearchSettings, precursor: tuple[str, float] | None = None, evidence: bool = True,
                 competes: bool = True, **overrides) -> SearchScorer:
    """The scorer for `settings`; `precursor` (unit, +/- width) and keyword settings override them.
    `evidence`: whether its rows get the fragment evidence columns (see `evidence`); `competes`: whether its
    best rows compete in error control, so that a decoy tied with them ranks first (not for chimeric
    scoring, whose rows are each the best of what the spectrum had left)."""
    unit, width = precursor or ("ppm", settings.precursor_ppm)
    chosen = dict(
        wide_window=settings.wide_window, chimera=settings.chimera, report_psms=settings.report_psms,
        min_isotope_err=settings.min_isotope_err, max_isotope_err=settings.max_isotope_err,
        min_precursor_charge=settings.min_precursor_charge, max_precursor_charge=settings.max_precursor_charge,
        min_matched_peaks=settings.matched_peaks, max_fragment_charge=settings.max_fragment_charge)
    chosen.update(overrides)
    frag = settings.fragment_tol
    engine = _native.Scorer(unit, -width, width, settings.fragment_unit, -frag, frag, **chosen)
    ties = None
    if competes and not chosen["chimera"]:
        ties = engine if chosen["report_psms"] >= TIE_ROWS else _native.Scorer(
            unit, -width, width, settings.fragment_unit, -frag, frag, **(chosen | {"report_psms": TIE_ROWS}))
    return SearchScorer(engine, evidence_settings(settings) if evidence else None, ties)


def object_array(values) -> np.ndarray:
    out = np.empty(len(values), dtype=object)
    out[:] = values
    return out


def score_batch(scorer: SearchScorer, index, batch: SpectrumBatch, file_ids: np.ndarray | None = None,
                modifications: bool = True) -> Table:
    """The engine's columns for one batch, in its column order (then the evidence columns, when the scorer
    asks for them): spectra in batch order, matches in rank order.

    `file_ids` (one per spectrum) replaces the batch's file number; without
    `modifications` the rows go without their lists of modification masses
    (a list per row costs more than all other columns).
    """
    file_ids, columns = _engine_columns(batch, file_ids)
    table = _table(scorer, batch, file_ids, scorer.engine.score(index, *columns), modifications, index)
    return settle_ties(scorer, index, batch, file_ids, table, modifications)


def score_batch_pair(scorer: SearchScorer, wider: SearchScorer, index, batch: SpectrumBatch,
                     file_ids: np.ndarray | None = None) -> tuple[Table, Table]:
    """`score_batch` of `scorer` (with modifications) and of `wider` (without) over one batch, in one call:
    where `wider`'s precursor windows hold the scorer's (the error control's wide pass and a search's
    precursor windows), the engine counts the fragments once for both. The same tables as two calls."""
    file_ids, columns = _engine_columns(batch, file_ids)
    main, wide = scorer.engine.score_pair(wider.engine, index, *columns)
    main = settle_ties(scorer, index, batch, file_ids, _table(scorer, batch, file_ids, main, True, index), True)
    return main, _table(wider, batch, file_ids, wide, False, index)


def decoys_first(table: Table) -> Table:
    """`table` (each spectrum's rows together, from rank 1) with the rows of equal hyperscore of a spectrum
    in the order decoys, then targets, each in their order; rank and `delta_next` stay with the position."""
    hyper = np.asarray(table["hyperscore"])
    n = len(hyper)
    if n < 2:
        return table
    # a run of ties starts at a new spectrum or a new score (NaN never ties)
    runs = np.cumsum(np.r_[True, (table["rank"][1:] == 1) | (hyper[1:] != hyper[:-1])])
    order = np.lexsort((np.arange(n), table["label"], runs))
    if not (order != np.arange(n)).any():
        return table
    return {name: values if name in ("rank", "delta_next") else values[order] for name, values in table.items()}


def settle_ties(scorer: SearchScorer, index, batch: SpectrumBatch, file_ids: np.ndarray, table: Table,
                modifications: bool) -> Table:
    """One batch's rows as `scorer` reports them: where it competes, its first TIE_ROWS rows (or all it
    reports, when more) ranked decoys first among equal hyperscores (see `decoys_first`), cut to the rows
    it reports. Only a spectrum whose last row ties with the next candidate is scored again for it."""
    if scorer.ties is None:
        return table
    table = decoys_first(table)
    rank = np.asarray(table["rank"])
    if scorer.ties is scorer.engine or not len(rank):
        return table
    starts = np.flatnonzero(rank == 1)
    last = np.r_[starts[1:], len(rank)] - 1
    hidden = table["delta_next"][last] == 0
    if not hidden.any():
        return table
    group = np.flatnonzero(hidden)
    chosen = np.zeros(len(batch), dtype=bool)
    chosen[_positions(batch, file_ids, table["file_id"][starts[group]].tolist(),
                      [table["spec_id"][i] for i in starts[group].tolist()])] = True
    sub, sub_ids = batch.rows(chosen), file_ids[chosen]
    rows = decoys_first(_table(scorer, sub, sub_ids, scorer.ties.score(index, *_engine_columns(sub, sub_ids)[1]),
                               modifications, index))
    # as many rows as before: each such spectrum had reported all the rows the scorer reports
    rows = {name: values[rows["rank"] <= rank[last[group]].max()] for name, values in rows.items()}
    kept = np.repeat(~hidden, last - starts + 1)
    spectrum = np.r_[np.repeat(np.arange(len(starts)), last - starts + 1)[kept],
                     group[np.cumsum(rows["rank"] == 1) - 1]]
    order = np.argsort(spectrum, kind="stable")
    return {name: np.concatenate([values[kept], rows[name]])[order] for name, values in table.items()}


def _positions(batch: SpectrumBatch, file_ids: np.ndarray, files: list, ids: list) -> list[int]:
    """Where the spectra (`files`, `ids`), in batch order, stand in `batch`."""
    batch_files, found, at = file_ids.tolist(), [], 0
    for key in zip(files, ids):
        while (batch_files[at], batch.ids[at]) != key:
            at += 1
        found.append(at)
        at += 1
    return found

def _engine_columns(batch: SpectrumBatch, file_ids: np.ndarray | None) -> tuple[np.ndarray, tuple]:
    """The spectrum files' numbers and the batch's columns as the engine's scorer takes them."""
    nan = np.float32(np.nan)

    def optional(values, bit):
        return np.where(batch.present & bit, values.astype(np.float32), nan)

    if file_ids is None:
        file_ids = np.full(len(batch), batch.file_id, np.uint32)
    file_ids = file_ids.astype(np.uint32)
    return file_ids, (
        batch.ids, file_ids, batch.scan_start_time.astype(np.float32),
        batch.precursor_mz.astype(np.float32), batch.charge.astype(np.uint8),
        optional(batch.precursor_intensity, _HAS_INTENSITY), optional(batch.window_lower, _HAS_WINDOW),
        optional(batch.window_upper, _HAS_WINDOW), optional(batch.ion_mobility, _HAS_MOBILITY),
        batch.total_ion_current, batch.peak_offsets, batch.mass, batch.intensity)


def _table(scorer: SearchScorer, batch: SpectrumBatch, file_ids: np.ndarray, columns: dict,
           modifications: bool, index=None) -> Table:
    """The engine's buffers of one batch as typed columns, with the scorer's evidence columns."""
    offsets = np.frombuffer(columns.pop("modification_offsets"), np.int64)
    flat = np.frombuffer(columns["modifications"], np.float32)
    for name, values in columns.items():
        if name in COLUMN_TYPES:
            columns[name] = np.frombuffer(values, COLUMN_TYPES[name])
    found = {} if scorer.evidence is None else fragment_evidence(batch, file_ids, columns, offsets, flat,
                                                                 scorer.evidence, index)
    if modifications:
        starts, flat = offsets.tolist(), flat.tolist()
        columns["modifications"] = object_array([flat[a:b] for a, b in zip(starts, starts[1:])])
    else:
        del columns["modifications"]
    for name, values in columns.items():
        if isinstance(values, list):
            columns[name] = object_array(values)
    columns.update(found)
    return columns


def concat_tables(tables: Sequence[Table]) -> Table:
    """Row-wise concatenation of tables with the same columns (the engine's and the evidence columns, when
    there are none)."""
    if not tables:
        from .search import ENGINE_COLUMNS

        empty = {name: np.empty(0, dtype=COLUMN_TYPES.get(name, object)) for name in ENGINE_COLUMNS}
        return empty | {name: np.empty(0, dtype=np.float32) for name in EVIDENCE_COLUMNS}
    # tables without rows may come from elsewhere (a slice with no match) and carry other columns
    tables = [t for t in tables if len(next(iter(t.values())))] or tables[:1]
    return {name: np.concatenate([t[name] for t in tables]) for name in tables[0]}


def _batches(spectra: Union[SpectrumBatch, Sequence[Spectrum]], batch_size: int, bar=None):
    """(batch, file numbers or None) of `spectra` in order: a batch as it is, Spectrum records of any files in
    batches of `batch_size`."""
    if isinstance(spectra, SpectrumBatch):  # already one batch
        yield spectra, None
        if bar is not None:
            bar.update(len(spectra))
        return
    for start in range(0, len(spectra), batch_size):
        chunk = list(spectra[start : start + batch_size])
        yield SpectrumBatch.from_spectra(chunk, 0), np.fromiter((s.file_id for s in chunk), np.uint32, len(chunk))
        if bar is not None:
            bar.update(len(chunk))


def score_pass(spectra: Union[SpectrumBatch, Sequence[Spectrum]], db, scorer, batch_size: int, bar=None,
               modifications: bool = True) -> Table:
    """Rows of `scorer` over all spectra (a batch, or Spectrum records of any files), in spectrum order,
    scored in batches of `batch_size` (see `score_batch` for `modifications`)."""
    return concat_tables([score_batch(scorer, db, batch, file_ids, modifications)
                          for batch, file_ids in _batches(spectra, batch_size, bar)])


def score_passes(spectra: Union[SpectrumBatch, Sequence[Spectrum]], db, scorer, wider,
                 batch_size: int) -> tuple[Table, Table]:
    """`score_pass` of `scorer` and of `wider` (without modifications), batch by batch in one call each (see
    `score_batch_pair`)."""
    pairs = [score_batch_pair(scorer, wider, db, batch, file_ids) for batch, file_ids in _batches(spectra, batch_size)]
    return concat_tables([p[0] for p in pairs]), concat_tables([p[1] for p in pairs])


def score(spectra: Union[SpectrumBatch, Sequence[Spectrum]], db, settings: SearchSettings,
          progress: bool | None = None) -> Table:
    """All spectra scored with the search's own settings; returns the engine's columns."""
    from tqdm import tqdm

    with tqdm(total=len(spectra), unit="spectra", desc="scoring", disable=None if progress is None else not progress,
              leave=False) as bar:
        return score_pass(spectra, db, build_scorer(settings), settings.batch_size, bar)


def stream(batches: Iterable[SpectrumBatch], work: Callable[[SpectrumBatch], None],
           timings: dict[str, float] | None = None) -> int:
    """Runs `work` on every batch on a second thread while the next batch is read; returns the spectra seen.

    `timings` gets the time spent waiting for batches ("reading") and for the
    work ("scoring"). The first failure of either side is raised here.
    """
    import time

    timings = timings if timings is not None else {}
    timings.setdefault("reading", 0.0)
    timings.setdefault("scoring", 0.0)
    seen = 0
    with ThreadPoolExecutor(max_workers=1, thread_name_prefix="scoring") as pool:
        pending = None
        iterator = iter(batches)
        while True:
            clock = time.perf_counter()
            batch = next(iterator, None)
            timings["reading"] += time.perf_counter() - clock
            clock = time.perf_counter()
            if pending is not None:
                pending.result()
            timings["scoring"] += time.perf_counter() - clock
            if batch is None:
                return seen
            seen += len(batch)
            pending = pool.submit(work, batch)
