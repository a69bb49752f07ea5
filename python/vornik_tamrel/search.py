"""The search pipeline: files in, a PSM table with q-values out.

Phases (each timed): reading spectra, digestion, index build, scoring,
error control. Writing the outputs is left to `report.write_outputs`, so a
search can also be run and inspected from Python without touching disk.
"""
from __future__ import annotations

import contextlib
import functools
import math
import os
import re
import sys
import threading
import time
import warnings
from collections import deque
from dataclasses import dataclass, field
from types import SimpleNamespace
from typing import TYPE_CHECKING, Callable, Iterator, Optional, Sequence

import numpy as np

from .digest import DigestSettings, PeptideSet, ProteinMap, available_memory, digest
from .errors import FastaError, InputError, InputWarning, SpectrumFileError
from .fasta import read_fasta
from .control import Chance, control_errors, fit_tails, null_scorer
from .evidence import take_evidence
from .index import build_database
from .score import build_scorer, concat_tables, object_array, score_batch_pair, stream
from .results import _collector_paused, complete_results, with_retention
from . import spectra as reading
from .spectra import PeakSettings, SpectrumBatch, read_spectra

if TYPE_CHECKING:
    import pandas

    from .partitions import MergeStats

#: The engine's 38 result columns, in its order.
ENGINE_COLUMNS = (
    "file_id", "spec_id", "psm_id", "rank", "sequence", "modifications", "peptide_len",
    "missed_cleavages", "expmass", "calcmass", "charge", "delta_mass", "isotope_error",
    "average_ppm", "hyperscore", "delta_next", "delta_best", "poisson", "discriminant_score",
    "matched_peaks", "matched_intensity_pct", "longest_b", "longest_y", "longest_y_pct",
    "scored_candidates", "ms2_intensity", "rt", "aligned_rt", "predicted_rt", "delta_rt_model",
    "ims", "predicted_ims", "delta_ims_model", "label", "spectrum_q", "peptide_q", "protein_q",
    "posterior_error",
)


#: Integer settings and the ranges the engine can hold (its field widths; the 32-bit
#: word of the smallest platform). Matches per spectrum are bounded far lower,
#: as the engine reserves room for all of them in every spectrum.
INTEGER_RANGES = {
    "min_isotope_err": (-128, 127), "max_isotope_err": (-128, 127), "max_fragment_charge": (1, 255),
    "min_matched_peaks": (0, 0xFFFF), "min_ion_index": (0, 0xFFFFFFFF), "bucket_size": (1, 0xFFFFFFFF),
    "report_psms": (1, 1000), "batch_size": (1, 0xFFFFFFFF),
}

#: The most slices of the database a search may be given.
MAX_PARTITIONS = 1024


@dataclass(frozen=True)
class SearchSettings:
    """Everything a search needs besides its input files (defaults suit Orbitrap MS1 / ion-trap MS2)."""

    digest: DigestSettings = field(default_factory=DigestSettings)
    peaks: PeakSettings = field(default_factory=PeakSettings)
    precursor_ppm: float = 10.0
    fragment_tol: float = 0.5
    fragment_unit: str = "da"  # "da" or "ppm"
    min_isotope_err: int = 0
    max_isotope_err: int = 1
    min_precursor_charge: int = 2
    max_precursor_charge: int = 4
    max_fragment_charge: Optional[int] = 2
    min_matched_peaks: Optional[int] = None  # None: by the fragment tolerance (see `matched_peaks`)
    min_ion_index: int = 2
    report_psms: int = 1
    chimera: bool = False
    wide_window: bool = False
    bucket_size: int = 8192
    decoy_tag: str = "rev_"
    skip_bad_precursors: bool = False  # skip spectra with an unusable precursor instead of failing
    rescore: bool = True
    fdr: float = 0.01
    conservative_fdr: bool = False  # estimate the FDR as (decoys + 1) / targets
    batch_size: int = 2000
    db_partitions: int = 1  # slices of the database by precursor mass, one index at a time (see `partitions`)

    def __post_init__(self) -> None:
        if self.fragment_unit not in ("da", "ppm"):
            raise ValueError(f"fragment tolerance unit must be 'da' or 'ppm', not {self.fragment_unit!r}")
        # A window of a million ppm or more reaches mass zero (none then holds a peptide); an infinite fragment
        # window matches every peak to every fragment.
        if not 0 < self.precursor_ppm < 1e6:
            raise ValueError(f"the precursor tolerance must lie above 0 and below 1000000 ppm, not {self.precursor_ppm}")
        if not 0 < self.fragment_tol < (1e6 if self.fragment_unit == "ppm" else math.inf):
            raise ValueError(f"the fragment tolerance must be positive and finite (below 1000000 ppm), "
                             f"not {self.fragment_tol}")
        if self.min_isotope_err > self.max_isotope_err:
            raise ValueError("the lowest isotope error is above the highest")
        if self.min_isotope_err == self.max_isotope_err != 0:
            # the engine reads a one-value range as "isotope error 0 only"
            raise ValueError(f"isotope error {self.min_isotope_err} cannot be searched alone; "
                             f"give a range that includes it, such as 0:{max(self.max_isotope_err, 0)}")
        if not 1 <= self.min_precursor_charge <= self.max_precursor_charge <= 255:
            raise ValueError("precursor charge range must satisfy 1 <= min <= max <= 255")
        if self.report_psms < 1 or self.batch_size < 1 or self.bucket_size < 1:
            raise ValueError("report_psms, batch_size and bucket_size must be at least 1")
        for name, (low, high) in INTEGER_RANGES.items():
            value = getattr(self, name)
            if value is not None and not low <= value <= high:
                raise ValueError(f"{name} must lie between {low} and {high}, not {value}")
        if self.chimera and self.matched_peaks < 1:
            raise ValueError("chimeric scoring needs min_matched_peaks of at least 1: with 0 it extracts "
                             "the best peptide again and again until report_psms")
        if self.db_partitions < 1:
            raise ValueError("the database must be searched in at least 1 partition")
        if self.db_partitions > MAX_PARTITIONS:  # each searched in turn
            raise ValueError(f"db_partitions must lie between 1 and {MAX_PARTITIONS}, not {self.db_partitions}")
        if self.db_partitions > 1 and self.chimera:
            raise ValueError("chimeric search cannot be split into database partitions: each extraction needs "
                             "the best candidate of the whole database")
        if not 0 < self.fdr < 1:
            raise ValueError("the FDR threshold must lie between 0 and 1")
        if not self.decoy_tag:  # every accession would then read as a decoy's, in protein inference and mzid
            raise ValueError("the decoy tag must not be empty: decoy proteins would be named as their targets")
        if re.search(r"[;\s\x00-\x1f]", self.decoy_tag):
            raise ValueError(f"the decoy tag {self.decoy_tag!r} must hold no ';', space or control character: "
                             "';' separates a match's proteins in the outputs")

    @property
    def matched_peaks(self) -> int:
        """The fewest matched fragment peaks a reported match needs: `min_matched_peaks`, else 3 where fragments
        are measured finely (a tolerance in ppm or of at most 0.1 Da, where three peaks matching by chance are far
        rarer than four at ion-trap tolerances) and 4 where they are not."""
        if self.min_matched_peaks is not None:
            return self.min_matched_peaks
        return 3 if self.fragment_unit == "ppm" or self.fragment_tol <= 0.1 else 4


#: A PSM table: column name -> one-dimensional array, all of one length, in output order.
Table = dict


@dataclass
class SearchResult:
    table: Table  # one row per reported match (see `psm_table` for the columns)
    timings: dict[str, float]
    summary: dict
    settings: SearchSettings
    files: list[str]
    peptides: Optional[Table] = None  # best PSM per peptide (see `results.peptide_table`)
    proteins: Optional[Table] = None  # protein groups (see `proteins.infer_proteins`)

    @property
    def psms(self) -> pandas.DataFrame:
        """The table as a pandas data frame (pandas is imported only here)."""
        import pandas as pd

        return pd.DataFrame({name: list(values) if name == "modifications" else values
                             for name, values in self.table.items()})


def modified_peptide(sequence: str, combined_mods: Sequence[float]) -> str:
    """Peptide text with every non-zero mass in brackets: ``[+42.0106]-PEPC[+57.0215]K``."""
    if len(combined_mods) != len(sequence) + 2 or not any(combined_mods):  # nothing to format
        return sequence
    tag = lambda m: f"[{m:+.4f}]"  # noqa: E731
    parts = [tag(combined_mods[0]) + "-"] if combined_mods[0] else []
    for residue, mass in zip(sequence, combined_mods[1:-1]):
        parts.append(residue + tag(mass) if mass else residue)
    if combined_mods[-1]:
        parts.append("-" + tag(combined_mods[-1]))
    return "".join(parts)


def target_of_decoy(sequence: str) -> str:
    """Undo the engine's decoy reversal (first and last residue stay, the rest is reversed)."""
    return sequence if len(sequence) <= 2 else sequence[0] + sequence[-2:0:-1] + sequence[-1]


def table_rows(table: Table) -> int:
    return len(next(iter(table.values()))) if table else 0


def psm_table(columns: Table, protein_map: ProteinMap, settings: SearchSettings, files: Sequence[str]) -> Table:
    """The engine's columns (see `score.score_batch`) with file name, peptide text and proteins; of a part of
    the search's rows as well as of all of them (`number_rows` numbers the whole).

    Column order: the engine's, with `file` after `spec_id` and `peptide`,
    `proteins` and `is_decoy` after `sequence`.
    """
    is_decoy = np.asarray(columns["label"], dtype=np.int32) == -1
    sequences = columns["sequence"]
    targets = [target_of_decoy(s) if d else s for s, d in zip(sequences, is_decoy.tolist())]
    distinct = list(dict.fromkeys(zip(targets, is_decoy.tolist())))
    found = protein_map.accessions([t for t, _ in distinct])
    joined = {(t, d): ";".join((settings.decoy_tag if d else "") + a for a in accessions)
              for (t, d), accessions in zip(distinct, found)}

    names = file_names(tuple(files))
    extra = {
        "file": object_array([names[i] if i < len(names) else "" for i in columns["file_id"]]),
        "peptide": object_array([modified_peptide(s, m) for s, m in zip(sequences, columns["modifications"])]),
        "proteins": object_array([joined[t, d] for t, d in zip(targets, is_decoy.tolist())]),
        "is_decoy": is_decoy,
    }
    table: Table = {}
    for name, values in columns.items():  # the engine's columns, in its order
        table[name] = values
        if name == "spec_id":
            table["file"] = extra["file"]
        elif name == "sequence":
            table.update(peptide=extra["peptide"], proteins=extra["proteins"], is_decoy=extra["is_decoy"])
    return table


@functools.lru_cache(maxsize=4)
def file_names(files: tuple[str, ...]) -> list[str]:
    """The `file` column's name of each file: its base name, or where files in different folders share it, as
    many of its last path parts as tell them apart (the same file given twice keeps one name)."""
    parts = [os.path.abspath(f).split(os.sep) for f in files]
    names = [p[-1] for p in parts]
    for depth in range(2, max(map(len, parts), default=0) + 1):
        paths: dict[str, set] = {}  # name: the distinct paths holding it
        for path, name in zip(parts, names):
            paths.setdefault(name, set()).add(tuple(path))
        clashing = [i for i, name in enumerate(names) if len(paths[name]) > 1]
        if not clashing:
            break
        for i in clashing:
            names[i] = os.sep.join(parts[i][-depth:])
    return names


def number_rows(table: Table) -> Table:
    """`table` with its rows numbered in `psm_id` from 1. The engine numbers matches per process, in an
    order its threads decide; numbered here in scoring order, the same however the search was split."""
    table["psm_id"] = np.arange(1, table_rows(table) + 1, dtype=np.uint32)
    return table


def first_extractions(table: Table) -> Table:
    """The rows of a chimeric search without repeats: each peptide once per spectrum, at its first extraction.

    The engine may extract a peptide again from the peaks its first
    extraction left; counted twice, it would weigh twice in error control.
    """
    seen: set = set()
    keep = np.zeros(table_rows(table), dtype=bool)
    keys = zip(table["file_id"].tolist(), table["spec_id"].tolist(), table["peptide"].tolist(),
               table["is_decoy"].tolist())
    for row, key in enumerate(keys):
        keep[row] = key not in seen
        seen.add(key)
    return {name: values[keep] for name, values in table.items()}


# ----------------------------------------------------------------- pipeline

def run_search(spectra_files: Sequence[str] | str, fasta: str, settings: SearchSettings | None = None,
               progress: bool | None = None, log: Callable[[str], None] | None = None,
               cluster=None) -> SearchResult:
    """Search every MS2 spectrum of `spectra_files` against the tryptic (or other) peptides of `fasta`.

    `cluster`: None to search in this process; a Dask scheduler address
    (``tcp://host:port``), ``local:N`` for a local cluster of N worker
    processes, or a `distributed.Client` (see `vornik_tamrel.cluster`).
    """
    settings = settings or SearchSettings()
    log = log or (lambda message: None)
    timings: dict[str, float] = {}
    with one_blas_thread():
        files = spectrum_files(spectra_files)
        if cluster is not None:
            from .cluster import search_on_cluster

            found = search_on_cluster(files, fasta, settings, cluster, timings, progress, log)
        else:
            found = _search_here(files, fasta, settings, timings, progress, log)

        clock = time.perf_counter()
        table = number_rows(found.columns)
        if settings.chimera:
            table = first_extractions(table)
        chance = Chance(found.tails, take_evidence(table))
        extra = chance.features(table)
        timings["error control"] = timings.get("error control", 0.0) + time.perf_counter() - clock

        clock = time.perf_counter()
        extra, rt_model = with_retention(table, settings, extra, chance)
        timings["retention time"] = time.perf_counter() - clock

        clock = time.perf_counter()
        summary = control_errors(table, settings, extra, chance)
        summary["rt_model"] = rt_model
        timings["error control"] += time.perf_counter() - clock

        clock = time.perf_counter()
        peptide_rows, protein_rows = complete_results(table, settings, summary, found.proteome)
        order = np.lexsort((-table["discriminant_score"].astype(np.float64),
                            np.nan_to_num(table["spectrum_q"].astype(np.float64), nan=2.0)))
        table = {name: values[order] for name, values in table.items()}
        timings["results"] = time.perf_counter() - clock

        summary.update({
            "spectra": found.spectra,
            "peptides_searched": found.peptides,
            "psms_reported": table_rows(table),
            "fdr": settings.fdr,
            "fasta": os.fspath(fasta),
        })
        if found.merge is not None:
            summary["db_partitions"] = {"slices": settings.db_partitions, **found.merge.counts()}
        return SearchResult(table, timings, summary, settings, files, peptide_rows, protein_rows)


def one_blas_thread():
    """numpy's BLAS held to one thread while the search runs. Error control and the retention-time model
    multiply many tall, thin matrices; a BLAS pool of one thread per core gains nothing on them, and where
    the cores are busy (other jobs, a cluster's workers) its threads spin waiting for each other: on a loaded
    machine that took error control from half a second to fifteen."""
    from threadpoolctl import threadpool_limits

    return threadpool_limits(limits=1, user_api="blas")


def spectrum_files(paths: Sequence) -> list[str]:
    """The files to search, every one checked readable before any work starts (a missing last file would
    otherwise fail the search only after the others are scored); a file given twice is said. A single path
    is one file (not a sequence of one-letter names)."""
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    files: list[str] = []
    seen: dict[str, str] = {}
    for path in map(os.fspath, paths):
        same = seen.setdefault(os.path.realpath(path), path)
        if len(seen) == len(files):  # its real path was there already
            warnings.warn(f"{path}: the same file as {same}, given again: its spectra are searched, and count, twice",
                          InputWarning, stacklevel=3)
        try:
            with open(path, "rb"):
                pass
        except OSError as exc:
            raise SpectrumFileError(f"{path}: cannot open: {exc.strerror or exc}") from None
        files.append(path)
    if not files:
        raise InputError("no spectrum files given")
    return files


@dataclass
class Found:
    """What scoring hands to error control: its rows and the wide pass's tails."""

    columns: Table  # the engine's columns completed by `psm_table`, not yet numbered
    tails: Optional[dict]
    sequences: ProteinMap  # the digested sequences and the proteins holding each
    peptides: int  # modified peptides searched (decoys not counted)
    proteome: dict[str, str]  # accession -> protein sequence
    spectra: int
    merge: Optional[MergeStats] = None


#: How decoy proteins written into FASTA files by other tools are commonly named (lower case).
DECOY_PREFIXES = ("rev_", "decoy_", "reverse_", "xxx_", "shuffled_")
DECOY_SUFFIXES = ("_rev", "_decoy", "_reversed")


def read_proteome(fasta: str, settings: SearchSettings) -> list:
    """The proteins of `fasta`, with a warning when a good share of them look like decoys: the search makes
    its own, and searches those as targets. Refused when an accession begins with the decoy tag."""
    proteome = read_fasta(fasta)
    tagged = [p.accession for p in proteome if p.accession.startswith(settings.decoy_tag)]
    if tagged:  # its matches would be counted as decoys' in protein inference and marked as decoys in mzid
        raise FastaError(f"{fasta}: {len(tagged)} of {len(proteome)} protein accessions begin with the decoy tag "
                         f"{settings.decoy_tag!r}, which marks the search's own decoys (first: {tagged[0]}): "
                         "remove them if they are decoys, else choose another decoy tag")
    prefixes = DECOY_PREFIXES + ((settings.decoy_tag.lower(),) if settings.decoy_tag else ())
    decoys = [p.accession for p in proteome
              if p.accession.lower().startswith(prefixes) or p.accession.lower().endswith(DECOY_SUFFIXES)]
    if len(decoys) * 4 >= len(proteome):
        warnings.warn(f"{fasta}: {len(decoys)} of {len(proteome)} proteins look like decoys (first: {decoys[0]}); "
                      "the search makes its own decoys and searches these as targets: remove them from the FASTA",
                      InputWarning, stacklevel=3)
    return proteome


def digest_fasta(fasta: str, settings: SearchSettings, proteome: Optional[list] = None) -> PeptideSet:
    """The peptides of `fasta` (already read as `proteome`, when given); refused when they would not fit in
    memory once indexed."""
    from . import _native

    # The estimate counts the index alone, and a search holds about as much again (the digest's columns,
    # spectra, tables); a database in K slices is indexed a slice at a time.
    budget = available_memory() // 2 * max(1, settings.db_partitions)
    if sys.maxsize < 2**32:  # a 32-bit process addresses 2 to 4 GiB, however much the machine has
        budget = min(budget or 1 << 30, 1 << 30)
    try:
        peptides = digest(read_fasta(fasta) if proteome is None else proteome, settings.digest, budget)
    except _native.InputError as exc:
        raise InputError(f"{fasta}: {exc}") from None
    if not len(peptides):
        raise InputError(f"{fasta}: digestion left no peptide within the length and mass limits")
    return peptides


def _progress_bar(progress: Optional[bool]):
    """The scoring's progress bar (`progress` None: shown on a terminal), or a stand-in where none would show:
    importing tqdm alone takes a tenth of a second."""
    if progress is False or (progress is None and not (hasattr(sys.stderr, "isatty") and sys.stderr.isatty())):
        return contextlib.nullcontext(SimpleNamespace(update=lambda n: None))
    from tqdm import tqdm

    return tqdm(unit="spectra", desc="scoring", leave=False)


def _search_here(files: list[str], fasta: str, settings: SearchSettings, timings: dict[str, float],
                 progress: bool | None, log: Callable[[str], None]) -> Found:
    if settings.db_partitions > 1:
        return _search_in_slices(files, fasta, settings, timings, log)
    # The first spectra are read while the proteins are digested and indexed, work that leaves a core idle
    # for much of its time.
    ahead = reading.ReadAhead(files, settings.peaks, settings.batch_size)
    try:
        return _search_index(files, fasta, settings, timings, progress, log, ahead)
    finally:
        ahead.close()


def _digest_here(fasta: str, settings: SearchSettings, timings: dict[str, float], log: Callable[[str], None]):
    clock = time.perf_counter()
    proteome = read_proteome(fasta, settings)
    peptides = digest_fasta(fasta, settings, proteome)
    proteins = {p.accession: p.sequence for p in proteome}
    timings["digestion"] = time.perf_counter() - clock
    log(f"digested {len(peptides.proteins)} distinct sequences into {len(peptides)} modified peptides")
    return peptides, proteins


def _search_in_slices(files: list[str], fasta: str, settings: SearchSettings, timings: dict[str, float],
                      log: Callable[[str], None]) -> Found:
    from .partitions import search_in_slices

    peptides, proteins = _digest_here(fasta, settings, timings, log)
    clock = time.perf_counter()
    spectra = [s for file_id, path in enumerate(files)
               for s in read_spectra(path, file_id, settings.peaks, skip_bad_precursors=settings.skip_bad_precursors)]
    timings["reading"] = time.perf_counter() - clock
    clock = time.perf_counter()
    columns, tails, merge = search_in_slices(spectra, peptides, settings)
    timings["scoring"] = time.perf_counter() - clock
    return Found(psm_table(columns, peptides.proteins, settings, files), tails, peptides.proteins, len(peptides),
                 proteins, len(spectra), merge)


def _search_index(files: list[str], fasta: str, settings: SearchSettings, timings: dict[str, float],
                  progress: bool | None, log: Callable[[str], None], ahead: reading.ReadAhead) -> Found:
    peptides, proteins = _digest_here(fasta, settings, timings, log)
    # Of the digest only its protein map is needed once the index holds the peptides: its per-peptide
    # columns are freed as soon as the engine has its copy, before the fragments are made.
    sequences, searched = peptides.proteins, len(peptides)
    clock = time.perf_counter()
    db = build_database(peptides, settings, release=True)
    timings["index"] = time.perf_counter() - clock
    log(f"indexed {db.fragment_count()} fragments")
    del peptides

    scorer, wider = build_scorer(settings), null_scorer(settings)
    scored: deque[tuple[Table, Table]] = deque()  # both passes' rows in batch order, from the scoring thread
    tables: list[Table] = []  # completed on this thread (see `psm_table`) while the next batch is scored
    tails: dict = {}  # and the wide pass's tails fitted here too: the scoring thread starts the next batch

    def work(batch: SpectrumBatch) -> None:  # on the scoring thread, one batch at a time
        scored.append(score_batch_pair(scorer, wider, db, batch))
        bar.update(len(batch))

    def complete() -> float:
        clock = time.perf_counter()
        while scored:
            main, wide = scored.popleft()
            tails.update(fit_tails(wide))
            tables.append(psm_table(main, sequences, settings, files))
        return time.perf_counter() - clock

    def batches() -> Iterator[SpectrumBatch]:
        for file_id, path in enumerate(files):
            for batch in reading.iter_batches(path, file_id, settings.peaks, settings.batch_size,
                                              settings.skip_bad_precursors, ahead):
                # Completing the rows scored so far is not reading: it is the scoring stage's own work, on
                # this thread while the next batch is scored, so that the phases add up to the wall time.
                completing = complete()
                timings["reading"] -= completing
                timings["scoring"] += completing
                yield batch

    # The batches' rows hold no reference cycles, and a full collection during the stream walks every
    # object the search holds (a few hundredths of a second each time, on the threads that keep the
    # engine fed): the collector waits until the rows are in.
    with _progress_bar(progress) as bar, _collector_paused():
        count = stream(batches(), work, timings)
    timings["error control"] = complete()
    tables = tables or [psm_table(concat_tables([]), sequences, settings, files)]  # no spectra: the columns alone
    log(f"read and scored {count} MS2 spectra from {len(files)} file(s)")
    # Freeing a large index takes a second or so, without the interpreter lock: on a thread of its own,
    # beside error control.
    holder = [db]
    del db
    threading.Thread(target=holder.clear, name="free the index").start()
    return Found(concat_tables(tables), tails, sequences, searched, proteins, count)
