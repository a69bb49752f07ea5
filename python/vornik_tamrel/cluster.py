"""The search on a Dask cluster: chunks of spectra scored on workers, error control on the client.

A chunk is a spectrum file, or a slice of one when there are fewer files than
workers. Each worker reads its chunks itself (the files must be reachable
under the same paths) and keeps the peptide index for the following chunks.
The client digests first and writes the index's input columns, per database
slice, to a content-addressed cache (keyed by the FASTA's bytes and the
digestion settings), so workers sharing its file system neither digest again
nor hold more of the peptides than their slice. The first worker to build an
index writes it there too (keyed also by the index settings, the machine kind
and the engine's build); later workers and later searches read it instead of
building it. Before scoring, the client deletes the least recently used files
of other searches beyond the cache's size limit (see `prune_cache`).
Workers return columns only. The client concatenates them in file order, so
the table, and everything error control computes from it, equals the
single-process search bit for bit; nothing is written before every chunk is in.

A worker lost mid-search loses nothing: the scheduler reruns its chunks on the
others (up to its `allowed-failures` limit). A chunk whose input is refused
(a corrupt file, say) fails the search with that error; the worker returns it
rather than raising it, so that it reaches the user as one line, not as a
failed task logged with its traceback.

With `db_partitions` K > 1 every chunk is scored against each of K database
slices (see `partitions`) and merged per spectrum by one more task; slices are
scheduled one after another, so a worker holds one slice's index at a time.

Dask is imported only here, and this module only when a cluster is asked for.
"""
from __future__ import annotations

import contextlib
import functools
import hashlib
import os
import pickle
import platform
import sys
import threading
import time
import warnings
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Callable, Optional, Sequence

import numpy as np

from .errors import InputError

if TYPE_CHECKING:
    from .digest import PeptideSet, ProteinMap
    from .search import Found, SearchSettings, Table

EXTRA = "pip install 'vornik-tamrel[cluster]'"


@dataclass(frozen=True)
class Chunk:
    """Spectra `part` of `parts` (contiguous, in file order) of the file `path`."""

    file_id: int
    path: str
    part: int = 0
    parts: int = 1


def plan_chunks(files: Sequence[str], workers: int) -> list[Chunk]:
    """One chunk per file; each file in as many slices as it takes to give every worker one."""
    parts = max(1, -(-workers // len(files)))
    return [Chunk(i, path, part, parts) for i, path in enumerate(files) for part in range(parts)]


def cache_dir() -> Path:
    """Where digested peptides are kept: $VORNIK_TAMREL_CACHE, else the user's cache directory."""
    explicit = os.environ.get("VORNIK_TAMREL_CACHE")
    if explicit:
        return Path(explicit)
    return Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache") / "vornik-tamrel"


def peptide_key(fasta: str, settings: SearchSettings) -> str:
    """Content address of the digested peptides: the FASTA's bytes, the digestion settings and the code that
    digests (an upgrade must not read peptides an earlier version made)."""
    digest = hashlib.sha256(repr((settings.digest, engine_build())).encode())
    try:
        with open(fasta, "rb") as handle:
            for block in iter(lambda: handle.read(1 << 20), b""):
                digest.update(block)
    except OSError as exc:
        raise InputError(f"{fasta}: cannot read the FASTA file ({exc.strerror or exc})") from None
    return digest.hexdigest()[:32]


#: The cache's own files (`prune_cache` deletes no other), and how long a half-written one may be left.
CACHE_FILES = ("peptides-", "proteins-", "columns-", "index-")
ABANDONED_AFTER_S = 24 * 3600


def cache_limit() -> int:
    """The bytes the cache may hold: $VORNIK_TAMREL_CACHE_GB gibibytes, 20 when it is not set."""
    setting = os.environ.get("VORNIK_TAMREL_CACHE_GB", "20")
    try:
        limit = float(setting)
    except ValueError:
        limit = -1.0
    if not limit >= 0:
        raise InputError(f"VORNIK_TAMREL_CACHE_GB={setting}: expected a size in GiB, e.g. 20")
    return int(limit * 2**30)


def _used(path: Path) -> None:
    """Marks a cache file as just used, by its access time: the cache is pruned least recently used first. Its
    modification time stays, part of what tells an index file from another (see `_identity`)."""
    with contextlib.suppress(OSError):  # a read-only cache is never pruned by this process either
        os.utime(path, ns=(time.time_ns(), os.stat(path).st_mtime_ns))


def prune_cache(cache: Path, keep: Sequence[str], limit: int) -> None:
    """Deletes the cache's least recently used files until it holds at most `limit` bytes, sparing every file
    whose name holds one of `keep` (the running search's); and the half-written files of writers that died.
    A process that has an index file mapped keeps its pages; one about to read a deleted file builds it."""
    now = time.time()
    files = []
    try:
        entries = list(os.scandir(cache))
    except OSError:
        return
    for entry in entries:
        name = entry.name
        try:
            info = entry.stat()
        except OSError:
            continue
        if name.startswith(tuple("." + prefix for prefix in CACHE_FILES)):  # a writer's staging file
            if now - info.st_mtime > ABANDONED_AFTER_S:
                Path(entry.path).unlink(missing_ok=True)
        elif (name.startswith(CACHE_FILES) and not name.endswith((".lock", ".checked"))
              and not any(k in name for k in keep)):
            files.append((max(info.st_atime, info.st_mtime), info.st_size, entry.path))
    total = sum(size for _, size, _ in files)
    for _, size, path in sorted(files):
        if total <= limit:
            break
        with contextlib.suppress(OSError):
            Path(path).unlink()
            Path(path + ".lock").unlink(missing_ok=True)
            Path(path + ".checked").unlink(missing_ok=True)
        total -= size


def _load(path: Optional[Path]):
    """What `_store` put at `path`, or None when it is not there or unreadable."""
    if path is None:
        return None
    try:
        with open(path, "rb") as handle:
            value = pickle.load(handle)
    except (OSError, EOFError, pickle.UnpicklingError):
        return None
    _used(path)
    return value


def _store(path: Optional[Path], value) -> None:
    """Pickle `value` to `path`, whole or not at all; a read-only or full cache only costs a recomputation."""
    if path is None:
        return
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        staging = path.with_name(f".{path.name}.{os.getpid()}.{threading.get_ident()}")
        with open(staging, "wb") as handle:
            pickle.dump(value, handle, protocol=pickle.HIGHEST_PROTOCOL)
        os.replace(staging, path)  # readers see the whole file or none
    except OSError:
        pass


def cached_peptides(fasta: str, settings: SearchSettings, key: str, cache: Optional[Path],
                    proteome: Optional[list] = None) -> PeptideSet:
    """The digested peptides from the cache, or digested now (from `proteome` when given) and stored there
    (when it is writable)."""
    from .search import digest_fasta

    path = cache / f"peptides-{key}.pickle" if cache is not None else None
    peptides = _load(path)
    if peptides is None:
        peptides = digest_fasta(fasta, settings, proteome)
        _store(path, peptides)
    return peptides


def with_lookup(peptides: PeptideSet) -> tuple[ProteinMap, int]:
    """The peptides' protein map with its lookup built (a third of a second at a million sequences), and
    their number."""
    peptides.proteins.numbers(())
    return peptides.proteins, len(peptides)


def cached_proteins(fasta: str, settings: SearchSettings, key: str, cache: Optional[Path],
                    proteome: Optional[list] = None) -> tuple[ProteinMap, int]:
    """What the client needs of the peptides `key` when the workers need nothing of it (see `with_lookup`),
    from the cache: a fifth of the digest's size, with the lookup already built."""
    found = _load(proteins_path(cache, key))
    if found is None:
        found = with_lookup(cached_peptides(fasta, settings, key, cache, proteome))
        _store(proteins_path(cache, key), found)
    return found


def proteins_path(cache: Optional[Path], key: str) -> Optional[Path]:
    return cache / f"proteins-{key}.pickle" if cache is not None else None


def columns_path(cache: Optional[Path], key: str, bounds: Optional[tuple[int, int]]) -> Optional[Path]:
    """Where the index columns of the peptides `key` (rows `bounds` of them, or all) are cached."""
    if cache is None:
        return None
    rows = "all" if bounds is None else f"{bounds[0]}-{bounds[1]}"
    return cache / f"columns-{key}-{rows}.pickle"


def store_index_columns(peptides: PeptideSet, key: str, cache: Optional[Path],
                        slices: Sequence[Optional[tuple[int, int]]]) -> None:
    """The index columns of each slice (None: all peptides), cached for the workers, so that a worker
    reads only its slice's peptides rather than the whole digested set."""
    from .index import peptide_columns

    for bounds in slices:
        path = columns_path(cache, key, bounds)
        if path is not None and not path.exists():
            _store(path, peptide_columns(peptides if bounds is None else peptides.slice(*bounds)))


@functools.cache
def engine_build() -> str:
    """Content address of the code that digests and indexes (the compiled engine and the digest module): a
    cached digest or index is read back only by the build that wrote it."""
    from . import _native
    from .digest import PeptideSet

    content = hashlib.sha256()
    for path in (_native.__file__, sys.modules[PeptideSet.__module__].__file__):
        with open(path, "rb") as handle:
            content.update(handle.read())
    return content.hexdigest()[:16]


def index_path(cache: Optional[Path], key: str, settings: SearchSettings,
               bounds: Optional[tuple[int, int]]) -> Optional[Path]:
    """Where the index of the peptides `key` (rows `bounds` of them, or all) is cached for this engine build,
    machine kind and index settings."""
    if cache is None:
        return None
    address = repr((key, bounds, settings.bucket_size, settings.min_ion_index, settings.decoy_tag,
                    platform.machine(), engine_build()))
    return cache / f"index-{hashlib.sha256(address.encode()).hexdigest()[:32]}.bin"


def load_or_build_index(fasta: str, settings: SearchSettings, key: str, cache: Optional[Path],
                        bounds: Optional[tuple[int, int]]):
    """The index read from the cache, or built (from the cached columns when there) and cached. Workers
    sharing the cache take turns to build: one builds, the others wait for its file rather than building it
    too; reading it takes no turn."""
    path = index_path(cache, key, settings, bounds)
    db = _cached_index(path)
    if db is None:
        with _turn(path):
            db = _cached_index(path)  # built while this worker waited?
            if db is None:
                db = _build_index(fasta, settings, key, cache, bounds, path)
    return db


@contextlib.contextmanager
def _turn(path: Optional[Path]):
    """Holds a lock beside `path` for as long as the block runs, among every process using the cache; without
    one where the cache cannot hold it (the block then runs at once). The kernel drops the lock of a process
    that dies."""
    try:
        import fcntl

        path.parent.mkdir(parents=True, exist_ok=True)
        handle = open(path.with_name(path.name + ".lock"), "ab")
    except (ImportError, AttributeError, OSError):  # no cache (path None), no fcntl, or a read-only cache
        yield
        return
    with handle:
        try:
            fcntl.flock(handle, fcntl.LOCK_EX)
        except OSError:
            pass  # a file system without locks: each builds, as before
        yield


def _cached_index(path: Optional[Path]):
    """The index at `path`; None when there is none, or a damaged or foreign one (to be built again).

    A file that was written here, or checked whole by an earlier load, and
    that is the same file since (see `_identity`) is read without the checks
    of every fragment record: that pass reads the whole file, and the workers
    of a host load it at once, each at a share of the memory's speed.
    """
    from . import _native

    if path is None or not path.exists():
        return None
    checked = _checked_path(path)
    try:
        before = _identity(path)
        trusted = _load(checked) == before
        db = _native.load_index(str(path), verify=not trusted)
        if _identity(path) != before:  # replaced or written while it was opened: the file read may be another
            if trusted:
                db = _native.load_index(str(path))
        elif not trusted:
            _store(checked, before)
    except (_native.InputError, OSError):
        return None
    _used(path)
    return db


def _identity(path: Path) -> str:
    """What tells a file from any other that may have taken its name: a file replaced by renaming has another
    inode, one written in place another modification time."""
    st = os.stat(path)
    return f"{st.st_dev} {st.st_ino} {st.st_size} {st.st_mtime_ns}"


def _checked_path(path: Path) -> Path:
    return path.with_name(path.name + ".checked")


def _build_index(fasta: str, settings: SearchSettings, key: str, cache: Optional[Path],
                 bounds: Optional[tuple[int, int]], path: Optional[Path]):
    from .index import index_from_columns, peptide_columns

    columns = _load(columns_path(cache, key, bounds))
    if columns is None:  # no cache shared with the client: digest here
        peptides = cached_peptides(fasta, settings, key, cache)
        columns = peptide_columns(peptides if bounds is None else peptides.slice(*bounds))
        del peptides
    db = index_from_columns(columns, settings)
    del columns
    _save_index(db, path)
    return db


def _save_index(db, path: Optional[Path]) -> None:
    from . import _native

    if path is None:
        return
    staging = path.with_name(f".{path.name}.{os.getpid()}.{threading.get_ident()}")
    try:
        db.save(str(staging))
        written = os.stat(staging).st_ino
        os.replace(staging, path)  # readers see the whole file or none
        if os.stat(path).st_ino == written:  # not replaced by another writer since: loads need not check it
            _store(_checked_path(path), _identity(path))
    except (OSError, _native.InputError):
        staging.unlink(missing_ok=True)  # a full or read-only cache only costs the next worker a build


def build_index_here(peptides: PeptideSet, settings: SearchSettings, key: str, cache: Optional[Path]) -> None:
    """The index of `peptides` built in this process, on all of its scoring threads, and cached for workers on
    this host: one of them would build it on its share of the cores while the others wait for it. The
    peptides give up their rows (see `index.build_database`)."""
    from .index import build_database

    path = index_path(cache, key, settings, None)
    with _turn(path):
        if path is None or not path.exists():  # built meanwhile by a worker or another search?
            _save_index(build_database(peptides, settings, release=True), path)


# ------------------------------------------------------------------ on the workers

@dataclass(frozen=True)
class Refused:
    """The input error a chunk met on its worker, which the client raises."""

    error: InputError


def refusing(task: Callable) -> Callable:
    """`task`, returning the input errors it raises as `Refused`, and passing on those among its arguments."""
    @functools.wraps(task)
    def run(*args):
        refused = next((a for a in args if isinstance(a, Refused)), None)
        if refused is not None:
            return refused
        try:
            return task(*args)
        except InputError as exc:
            return Refused(exc)
    return run


_index_lock = threading.Lock()
_index: dict = {}  # one index per worker process: {(peptide key, index settings, slice): database}


def worker_index(fasta: str, settings: SearchSettings, key: str, cache: Optional[Path],
                 bounds: Optional[tuple[int, int]]):
    """This worker's index for the search `key` (one slice of it with `bounds`), built on first use."""
    wanted = (key, settings.bucket_size, settings.min_ion_index, settings.decoy_tag, bounds)
    with _index_lock:
        if wanted not in _index:
            _index.clear()  # free the previous search's or slice's index before building the next
            _index[wanted] = load_or_build_index(fasta, settings, key, cache, bounds)
        return _index[wanted]


def read_chunk(chunk: Chunk, settings: SearchSettings) -> tuple[list, list[str]]:
    """The chunk's spectra, and the reader's warnings (the first part of a file only) for the client."""
    from .spectra import read_slice

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        spectra = read_slice(chunk.path, chunk.part, chunk.parts, chunk.file_id, settings.peaks,
                             skip_bad_precursors=settings.skip_bad_precursors)
    return spectra, [str(w.message) for w in caught] if chunk.part == 0 else []


@refusing
def score_chunk(chunk: Chunk, fasta: str, settings: SearchSettings, key: str, cache: Optional[Path]):
    """The engine's columns, the wide pass's tails, the spectrum count and the reader's warnings of one
    chunk."""
    from .control import fit_tails, null_scorer
    from .score import build_scorer, score_passes

    spectra, said = read_chunk(chunk, settings)
    db = worker_index(fasta, settings, key, cache, None)
    columns, wide = score_passes(spectra, db, build_scorer(settings), null_scorer(settings), settings.batch_size)
    return columns, fit_tails(wide), len(spectra), said


@refusing
def score_chunk_slice(chunk: Chunk, fasta: str, settings: SearchSettings, key: str, cache: Optional[Path],
                      plan, k: int):
    """Slice `k`'s share of one chunk (see `partitions.score_slice_passes`), the spectrum ids and the reader's
    warnings."""
    from .partitions import numbered, score_slice_passes

    spectra, said = read_chunk(chunk, settings)
    db = worker_index(fasta, settings, key, cache, plan.bounds[k])
    return score_slice_passes(numbered(spectra), db, settings, plan, k), [s.id for s in spectra], said


@refusing
def merge_chunk(chunk: Chunk, settings: SearchSettings, *parts):
    """A chunk's rows merged over all slices, as `score_chunk` returns them, plus the merge's counts."""
    from .partitions import MergeStats, merge_passes

    ids, said = parts[0][1], parts[0][2]
    stats = MergeStats()
    columns, tails = merge_passes([p[0] for p in parts], np.full(len(ids), chunk.file_id), ids, settings, stats)
    return columns, tails, len(ids), said, stats


# ------------------------------------------------------------------ on the client

def connect(cluster, log: Callable[[str], None]):
    """A `distributed.Client` for `cluster` (a Client, a scheduler address or ``local:N``), and the
    LocalCluster this call started (None otherwise), which the caller closes."""
    try:
        from distributed import Client
    except ImportError:
        raise InputError(f"searching on a cluster needs Dask's distributed package: {EXTRA}") from None
    if isinstance(cluster, Client):
        return cluster, None
    address = str(cluster)
    if address.startswith("local:"):
        try:
            workers = int(address[len("local:"):])
        except ValueError:
            workers = 0
        if workers < 1:
            raise InputError(f"--cluster {address}: expected local:N with N the number of worker processes, e.g. local:4")
        threads = os.environ.get("RAYON_NUM_THREADS") or str(max(1, (os.cpu_count() or 1) // workers))
        local = start_local(workers, threads)
        log(f"started a local Dask cluster of {workers} worker processes ({threads} scoring thread(s) each); "
            f"dashboard: {local.dashboard_link}")
        return Client(local), local
    try:
        return Client(address, timeout="30s"), None
    except (OSError, TimeoutError, ValueError) as exc:
        raise InputError(f"--cluster {address}: cannot reach the Dask scheduler ({exc})") from None


def start_local(workers: int, threads: str):
    """A LocalCluster of `workers` processes, each running one task at a time on `threads` scoring threads.
    Its workers run without Dask's statistical profiler, and its processes time their event loops every half
    second rather than fifty times a second: both are diagnostics, and together they took about 4% of a core
    in each worker process (and as much in this one, running the scheduler and nannies) from the scoring."""
    import dask
    from distributed import LocalCluster

    calm = {"distributed.worker.profile.enabled": False, "distributed.admin.tick.interval": "500ms"}
    with dask.config.set(calm):  # read as the scheduler, nannies and workers start
        return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0",
                            env={"RAYON_NUM_THREADS": threads})


def on_this_host(client, local) -> bool:
    """Whether the cluster's workers run on this host, sharing its cache: a local cluster."""
    from distributed import LocalCluster

    return local is not None or isinstance(getattr(client, "cluster", None), LocalCluster)


def end_workers(local) -> None:
    """Kills the worker processes of the local cluster `local`: after an interrupt they may be deep in the
    engine, where no request to stop reaches them, and a graceful close would wait seconds for each."""
    import signal

    for nanny in list(local.workers.values()):
        pid = getattr(nanny, "pid", None)
        if pid:
            with contextlib.suppress(OSError):
                os.kill(pid, signal.SIGKILL)


@contextlib.contextmanager
def _quiet(logger: str):
    """`logger`'s warnings silenced for as long as the block runs."""
    import logging

    quieted = logging.getLogger(logger)
    level = quieted.level
    quieted.setLevel(logging.ERROR)
    try:
        yield
    finally:
        quieted.setLevel(level)


def _submit(client, chunks: list[Chunk], fasta: str, settings: SearchSettings, key: str, cache: Optional[Path],
            plan):
    """One future per chunk, in chunk order, each giving what `score_chunk` (or `merge_chunk`) returns."""
    if plan is None:  # the largest first, so that the last to finish are small and the workers end together
        order = sorted(range(len(chunks)), key=lambda i: -_size(chunks[i]))
        rank = {i: len(chunks) - r for r, i in enumerate(order)}
        return [client.submit(score_chunk, c, fasta, settings, key, cache, pure=False, priority=rank[i])
                for i, c in enumerate(chunks)]
    # Slice by slice: a worker finishes its chunks of one slice before it builds the next slice's index.
    slices = len(plan.bounds)
    parts = [[client.submit(score_chunk_slice, c, fasta, settings, key, cache, plan, k, pure=False,
                            priority=slices - k) for k in range(slices)] for c in chunks]
    return [client.submit(merge_chunk, c, settings, *p, pure=False, priority=slices + 1)
            for c, p in zip(chunks, parts)]


def _size(chunk: Chunk) -> float:
    """The bytes of the chunk's share of its file: the measure of its work to hand."""
    try:
        return os.path.getsize(chunk.path) / chunk.parts
    except OSError:
        return 0.0


def prepare(fasta: str, settings: SearchSettings, proteome: Optional[list] = None, key: Optional[str] = None,
            columns: bool = True):
    """The search's cache key and directory, its peptides (digested or from the cache) and their slices
    (None without `db_partitions`), with the workers' index columns written to the cache (unless not
    `columns`)."""
    key = key or peptide_key(fasta, settings)
    cache = cache_dir()
    peptides = cached_peptides(fasta, settings, key, cache, proteome)
    plan = None
    if settings.db_partitions > 1:
        from .partitions import plan_slices

        plan = plan_slices(peptides, settings.db_partitions, settings)
    if columns:
        store_index_columns(peptides, key, cache, plan.bounds if plan is not None else [None])
    return key, cache, peptides, plan


def workers_need_nothing(settings: SearchSettings, key: str, cache: Path) -> bool:
    """Whether the workers can start before this process has digested: one database, its index or index
    columns already in the cache."""
    return settings.db_partitions == 1 and any(
        path.exists() for path in (index_path(cache, key, settings, None), columns_path(cache, key, None)))


def search_on_cluster(files: list[str], fasta: str, settings: SearchSettings, cluster, timings: dict[str, float],
                      progress: Optional[bool], log: Callable[[str], None]) -> Found:
    """Digest here, score every chunk on the cluster, and hand the columns in file order to error control."""
    from distributed import as_completed
    from tqdm import tqdm

    from .score import concat_tables
    from .search import Found, psm_table, read_proteome

    limit = cache_limit()
    client, local = connect(cluster, log)
    futures: list = []
    done = False
    try:
        clock = time.perf_counter()
        key = peptide_key(fasta, settings)
        workers = max(1, len(client.scheduler_info().get("workers", {})))
        chunks = plan_chunks(files, workers)
        cache = cache_dir()
        if workers_need_nothing(settings, key, cache):  # they score while this process digests
            futures = _submit(client, chunks, fasta, settings, key, cache, None)
        proteome = read_proteome(fasta, settings)
        plan, here = None, False
        if futures:
            sequences, searched = cached_proteins(fasta, settings, key, cache, proteome)
        else:
            here = settings.db_partitions == 1 and on_this_host(client, local)
            key, cache, peptides, plan = prepare(fasta, settings, proteome, key, columns=not here)
            sequences, searched = with_lookup(peptides)
            _store(proteins_path(cache, key), (sequences, searched))  # for the next search (see `cached_proteins`)
        timings["digestion"] = time.perf_counter() - clock
        log(f"digested {len(sequences)} distinct sequences into {searched} modified peptides")
        if here:
            clock = time.perf_counter()
            build_index_here(peptides, settings, key, cache)
            timings["index"] = time.perf_counter() - clock
        slices = plan.bounds if plan is not None else [None]
        prune_cache(cache, [key] + [index_path(cache, key, settings, b).name for b in slices], limit)

        clock = time.perf_counter()
        futures = futures or _submit(client, chunks, fasta, settings, key, cache, plan)
        position = {f.key: i for i, f in enumerate(futures)}
        results: list = [None] * len(futures)
        with tqdm(total=len(futures), unit="chunks", desc="scoring", leave=False,
                  disable=None if progress is None else not progress) as bar:
            for future in as_completed(futures):
                result = future.result()  # a chunk's error ends the search here
                if isinstance(result, Refused):
                    raise result.error
                # Its table is completed now, while the workers score, rather than all at the end.
                results[position[future.key]] = (psm_table(result[0], sequences, settings, files),
                                                 *result[1:])
                future.release()
                bar.update(1)
        timings["scoring on the cluster"] = time.perf_counter() - clock
        done = True
    finally:
        if futures:
            client.cancel(futures)
        if local is not None:
            if done:  # closing waits a second or so for the worker processes to end: beside error control
                client.close()
                threading.Thread(target=local.close, name="close the local cluster").start()
            else:
                with _quiet("distributed.nanny"):  # which would log each kill as a crash
                    end_workers(local)
                    client.close()
                    local.close()
    columns = concat_tables([r[0] for r in results])
    tails: dict = {}
    for r in results:
        tails.update(r[1])
    merge = None
    if plan is not None:
        from .partitions import MergeStats, stray_decoys

        merge = MergeStats(stray_decoys=stray_decoys(peptides, plan.bounds))
        for r in results:
            merge.add(r[4])
    for r in results:
        for message in r[3]:
            warnings.warn(message, stacklevel=2)
    spectra = sum(r[2] for r in results)
    log(f"scored {spectra} MS2 spectra from {len(files)} file(s) in {len(chunks)} chunk(s)")
    return Found(columns, tails, sequences, searched, {p.accession: p.sequence for p in proteome}, spectra, merge)
