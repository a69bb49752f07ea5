"""The search on a Dask cluster and in database slices (vornik_tamrel.cluster, .partitions).

Every comparison is bit for bit against the single-process search of the
bundled run, on a real LocalCluster of two worker processes.
"""
import os
import signal
import subprocess
import sys
from dataclasses import replace
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")
distributed = pytest.importorskip("distributed")
from vornik_tamrel import cli, partitions, search  # noqa: E402
from vornik_tamrel.search import SearchSettings, run_search  # noqa: E402
from vornik_tamrel.spectra import PeakSettings  # noqa: E402

DATA = Path(__file__).resolve().parents[2] / "data"
SPECTRA = [str(DATA / "BSA1_ms2.mzML.gz")]
FASTA = str(DATA / "18proteins_contaminants.fasta")
SETTINGS = SearchSettings(peaks=PeakSettings(max_peaks=75))


def same_bits(a, b) -> bool:
    if a.dtype == object:
        return len(a) == len(b) and all(repr(x) == repr(y) for x, y in zip(a, b))
    return a.dtype == b.dtype and a.tobytes() == b.tobytes()


def assert_same_result(got, want):
    assert list(got.table) == list(want.table)
    differing = [name for name in want.table if not same_bits(got.table[name], want.table[name])]
    assert differing == []
    assert got.summary == want.summary


@pytest.fixture(scope="module")
def client(tmp_path_factory):
    os.environ["VORNIK_TAMREL_CACHE"] = str(tmp_path_factory.mktemp("cache"))  # inherited by the workers
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                  env={"RAYON_NUM_THREADS": "1"}) as cluster, distributed.Client(cluster) as c:
        yield c


@pytest.fixture(scope="module")
def single():
    return {k: run_search(SPECTRA, FASTA, replace(SETTINGS, db_partitions=k)) for k in (1, 3)}


@pytest.mark.parametrize("partitions", [1, 3])
def test_cluster_equals_single_process(client, single, partitions):
    got = run_search(SPECTRA, FASTA, replace(SETTINGS, db_partitions=partitions), cluster=client)
    assert_same_result(got, single[partitions])
    # each worker reads its slice's peptides alone, never the whole set
    slices = list(Path(os.environ["VORNIK_TAMREL_CACHE"]).glob("columns-*-[0-9]*.pickle"))
    assert len(slices) == (partitions if partitions > 1 else 0)


def test_cached_digest_is_read_only_by_the_build_that_made_it(monkeypatch):
    from vornik_tamrel import cluster

    key = cluster.peptide_key(FASTA, SETTINGS)
    monkeypatch.setattr(cluster, "engine_build", lambda: "an upgraded engine")
    assert cluster.peptide_key(FASTA, SETTINGS) != key


def test_damaged_cached_index_is_rebuilt(client, single):
    from vornik_tamrel import _native

    cached = sorted(Path(os.environ["VORNIK_TAMREL_CACHE"]).glob("index-*.bin"))
    assert cached  # written by the searches above
    for path in cached:
        path.write_bytes(path.read_bytes()[: path.stat().st_size // 2])
    damaged = {path: path.stat().st_mtime_ns for path in cached}
    client.restart()  # workers forget the indexes they hold
    assert_same_result(run_search(SPECTRA, FASTA, SETTINGS, cluster=client), single[1])
    replaced = [path for path in cached if path.stat().st_mtime_ns != damaged[path]]
    assert len(replaced) == 1  # the whole database's index, by a whole file
    _native.load_index(str(replaced[0]))


def test_cached_index_is_checked_whole_only_until_known_unchanged(tmp_path, monkeypatch):
    """The workers of a host load one index file at once: after it is written, or once a load has checked every
    record, loads leave the checks out, until the file changes; a damaged one is then refused again."""
    from vornik_tamrel import _native, cluster

    monkeypatch.setenv("VORNIK_TAMREL_CACHE", str(tmp_path))
    key, cache, _, _ = cluster.prepare(FASTA, SETTINGS)
    path = cluster.index_path(cache, key, SETTINGS, None)
    cluster.load_or_build_index(FASTA, SETTINGS, key, cache, None)  # built and written here
    checks = []
    load = _native.load_index
    monkeypatch.setattr(_native, "load_index", lambda p, verify=True: checks.append(verify) or load(p, verify=verify))
    assert cluster._cached_index(path).fragment_count() > 0
    os.utime(path, ns=(1, 1))  # the same bytes, but not known to be the same file
    assert cluster._cached_index(path) is not None and cluster._cached_index(path) is not None
    data = bytearray(path.read_bytes())
    data[-20] ^= 0x10  # a fragment record, written in place
    path.write_bytes(bytes(data))
    assert cluster._cached_index(path) is None
    assert checks == [False, True, False, True]


def test_workers_sharing_a_cache_build_its_index_once(tmp_path, monkeypatch):
    """A worker finding another one building the index waits for its file rather than building it too."""
    import threading

    from vornik_tamrel import cluster, index

    monkeypatch.setenv("VORNIK_TAMREL_CACHE", str(tmp_path))
    key, cache, peptides, _ = cluster.prepare(FASTA, SETTINGS)
    path = cluster.index_path(cache, key, SETTINGS, None)
    builds = []
    build = index.index_from_columns
    monkeypatch.setattr(index, "index_from_columns", lambda *args: builds.append(args) or build(*args))
    got = []
    waiting = threading.Thread(target=lambda: got.append(cluster.load_or_build_index(FASTA, SETTINGS, key, cache,
                                                                                    None)))
    with cluster._turn(path):  # another worker's build
        waiting.start()
        waiting.join(0.5)
        assert waiting.is_alive() and not got
        build(index.peptide_columns(peptides), SETTINGS).save(str(path))
    waiting.join()
    assert builds == [] and got[0].fragment_count() > 0


class _KillFirstTask(distributed.WorkerPlugin):
    """Kills the worker process that starts the search's first task (once, across all workers)."""

    def __init__(self, marker: str):
        self.marker = marker

    def transition(self, key, start, finish, **kwargs):
        if finish == "executing":
            try:
                os.close(os.open(self.marker, os.O_CREAT | os.O_EXCL))
            except FileExistsError:
                return
            os.kill(os.getpid(), signal.SIGKILL)


def test_lost_worker_reruns_its_chunks(client, single, tmp_path):
    import cloudpickle

    cloudpickle.register_pickle_by_value(sys.modules[__name__])  # the workers cannot import this file
    marker = tmp_path / "killed"
    client.register_plugin(_KillFirstTask(str(marker)), name="kill-first-task")
    try:
        got = run_search(SPECTRA, FASTA, SETTINGS, cluster=client)
    finally:
        client.unregister_worker_plugin("kill-first-task")
    assert marker.exists()
    assert_same_result(got, single[1])


def assert_same_except_summary(got, want):
    assert_same_result(got, replace(want, summary=dict(want.summary, db_partitions=got.summary["db_partitions"])))


@pytest.mark.parametrize("changes", [
    dict(db_partitions=3),
    dict(db_partitions=4, fragment_tol=0.3, report_psms=3, rescore=False),
    dict(db_partitions=3, fragment_tol=50.0),  # ties between targets and decoys, settled in the slices
])
def test_slices_of_one_charge_spectra_equal_one_index(single, changes):
    """Every bundled spectrum states its charge: each is scored whole in one slice."""
    want = single[1] if changes == dict(db_partitions=3) else run_search(SPECTRA, FASTA, replace(
        SETTINGS, **{k: v for k, v in changes.items() if k != "db_partitions"}))
    got = single[3] if changes == dict(db_partitions=3) else run_search(SPECTRA, FASTA, replace(SETTINGS, **changes))
    assert got.summary["db_partitions"]["rows_may_differ"] == 0
    assert_same_except_summary(got, want)


def test_merged_charges_differ_only_where_flagged():
    """With every charge in the isolation window, each charge is a unit of its own and the merge rebuilds
    the spectrum; rows and tails differ from one index only for the spectra it flags."""
    settings = replace(SETTINGS, wide_window=True, report_psms=3)
    whole = search._search_here(SPECTRA, FASTA, settings, {}, False, print)
    sliced = search._search_here(SPECTRA, FASTA, replace(settings, db_partitions=4), {}, False, print)
    merge = sliced.merge
    assert merge.spread > 0

    def rows_by_spectrum(columns):
        out = {}
        for i, key in enumerate(zip(columns["file_id"].tolist(), columns["spec_id"].tolist())):
            out.setdefault(key, []).append(i)
        return out

    a, b = rows_by_spectrum(whole.columns), rows_by_spectrum(sliced.columns)
    assert a.keys() == b.keys()
    unflagged = [key for key in a if key not in merge.rows]
    assert unflagged
    rows_a = np.concatenate([a[key] for key in unflagged])
    rows_b = np.concatenate([b[key] for key in unflagged])
    differing = [name for name, values in whole.columns.items()  # psm_id: the engine's, numbered later
                 if name != "psm_id" and not same_bits(sliced.columns[name][rows_b], values[rows_a])]
    assert differing == []
    differing_tails = {key for key in whole.tails.keys() | sliced.tails.keys()
                       if whole.tails.get(key) != sliced.tails.get(key)}
    assert differing_tails <= merge.tails


@pytest.mark.parametrize("masses, k, want, weights", [
    ([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], 3, [(0, 2), (2, 4), (4, 6)], None),
    ([1.0, 2.0, 2.0, 2.0, 3.0, 4.0], 2, [(0, 1), (1, 6)], None),  # the equal masses stay in one slice
    ([5.0, 5.0, 5.0], 3, [(0, 3)], None),
    ([1.0, 2.0], 4, [(0, 1), (1, 2)], None),
    ([1.0, 2.0, 3.0, 4.0], 2, [(0, 3), (3, 4)], [1, 1, 1, 3]),  # equal weight, not equal counts
    ([1.0, 2.0, 2.0, 4.0], 2, [(0, 1), (1, 4)], [1, 3, 1, 1]),
])
def test_slice_bounds_never_split_equal_masses(masses, k, want, weights):
    assert partitions.slice_bounds(np.array(masses, dtype=np.float32), k, weights) == want


@pytest.mark.parametrize("total, candidates, ks, known", [
    (1, 1, [1], True), (737, 52, [0, 3, 9, 14], True), (50_000, 311, [40, 161, 400], True), (52, 52, [1, 1], True),
    (1234, 7, [60], True),
    (1234, 7, [200], False),  # e^lnfact(200) overflows: every total gives NaN
])
def test_match_total_is_recovered_from_poisson(total, candidates, ks, known):
    reported = [partitions.poisson_log10(total, candidates, k) for k in ks]
    assert partitions.match_total(candidates, ks, reported) == (total if known else -1)


@pytest.mark.parametrize("partitions", [1, 2])
def test_a_refused_file_fails_the_search_with_its_message_alone(client, tmp_path, partitions):
    bad = tmp_path / "bad.mgf"
    bad.write_text("BEGIN IONS\nTITLE=a\nCHARGE=2+\n100 1\nEND IONS\n")
    with pytest.raises(search.SpectrumFileError) as refused:
        run_search([*SPECTRA, str(bad)], FASTA, replace(SETTINGS, db_partitions=partitions), cluster=client)
    assert str(refused.value) == f"{bad}: spectrum 'a' (line 1): missing or invalid PEPMASS None"
    logs = client.get_worker_logs()
    assert not [line for lines in logs.values() for _, line in lines if "Compute Failed" in line]


def test_cache_is_pruned_least_recently_used_first(tmp_path, monkeypatch):
    from vornik_tamrel import cluster

    day = 24 * 3600
    files = {  # name: (bytes, age in days)
        "index-old.bin": (300, 5), "index-old.bin.lock": (0, 5), "peptides-old.pickle": (200, 4),
        "index-recent.bin": (300, 1), "columns-KEY-all.pickle": (400, 9), "notes.txt": (900, 9),
        ".index-dead.bin.77.1": (50, 2), ".index-writing.bin.78.1": (50, 0),
    }
    for name, (size, age) in files.items():
        (tmp_path / name).write_bytes(b"x" * size)
        os.utime(tmp_path / name, (0, 1_700_000_000 - age * day))
    monkeypatch.setattr(cluster.time, "time", lambda: 1_700_000_000)
    cluster.prune_cache(tmp_path, ["KEY"], limit=350)  # this search's columns are spared whatever their age
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        ".index-writing.bin.78.1", "columns-KEY-all.pickle", "index-recent.bin", "notes.txt"]
    for setting in ("lots", "-1", "nan"):
        monkeypatch.setenv("VORNIK_TAMREL_CACHE_GB", setting)
        with pytest.raises(cluster.InputError, match=f"^VORNIK_TAMREL_CACHE_GB={setting}: expected a size in GiB"):
            cluster.cache_limit()


@pytest.mark.parametrize("argv, message", [
    (["--cluster", "local:0"], "--cluster local:0: expected local:N"),
    (["--db-partitions", "2", "--chimera"], "chimeric search cannot be split into database partitions"),
    (["--db-partitions", "0"], "at least 1 partition"),
])
def test_bad_cluster_options(tmp_path, capsys, argv, message):
    code = cli.main(["search", *SPECTRA, "--fasta", FASTA, "-o", str(tmp_path / "out"), "-q", *argv])
    assert code == 1
    assert message in capsys.readouterr().err
    assert not (tmp_path / "out").exists()


def test_search_without_cluster_imports_no_dask(tmp_path):
    code = ("import sys; from vornik_tamrel import cli; "
            f"assert cli.main(['search', {SPECTRA[0]!r}, '--fasta', {FASTA!r}, '-o', {str(tmp_path)!r}, '-q', "
            "'--no-rescore']) == 0; "
            "print(sorted(m for m in sys.modules if m.split('.')[0] in ('dask', 'distributed')))")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert run.stdout.strip() == "[]"
