"""The search on a local Dask cluster against the single process, measured in one run.

    .venv/bin/python benchmarks/cluster.py --scale-mgf SPECTRA.mgf --scale-fasta TARGETS.fasta [--bsa]

1. scaling: the scale benchmark's spectra cut into 8 files, searched with 1
   and with 2 local workers of 1 scoring thread each (each worker builds its
   index; with --warm also again with the index held); goal: >= 1.8x faster
   with 2;
2. overhead: `local:2` against the single process with 2 threads, same files;
   goal: at most 15% slower (the digest and the indexes are cached before
   anything is timed, as after a first search: workers load them);
3. memory: peak RSS of the worker above its RSS before the search (its index,
   plus the chunk being scored), with --db-partitions K = 1 (from the run
   above), 2, 4 on one worker (the first file alone for K = 2, 4); goal: the
   index part falls roughly as 1/K;
4. with --bsa: the nine BSA runs of Debian's openms-doc against the 9,439
   target proteins of its 18-protein-mix FASTA (`_rev` entries removed),
   single process against `local:2`.

Every figure comes from this run; the machine is shared, so compare ratios.
"""
from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import replace
from pathlib import Path

os.environ.setdefault("RAYON_NUM_THREADS", "2")  # this process's own engine: the single-process peer


def split_mgf(path: Path, parts: int, outdir: Path, count: int | None) -> list[str]:
    """The spectra of `path` (its first `count`) in `parts` files of consecutive spectra."""
    blocks = path.read_text().split("BEGIN IONS")[1:count]
    files = []
    for i in range(parts):
        out = outdir / f"part{i}.mgf"
        out.write_text("".join("BEGIN IONS" + b for b in blocks[i * len(blocks) // parts:(i + 1) * len(blocks) // parts]))
        files.append(str(out))
    return files


def local_cluster(workers: int):
    import distributed
    from vornik_tamrel.cluster import start_local

    cluster = start_local(workers, "1")  # as `--cluster local:N` starts it
    return cluster, distributed.Client(cluster)


def timed(files, fasta, settings, cluster=None):
    from vornik_tamrel import run_search

    clock = time.perf_counter()
    result = run_search(files, fasta, settings, progress=False, cluster=cluster)
    return time.perf_counter() - clock, result


def identical(got, want) -> bool:
    return list(got.table) == list(want.table) and all(
        got.table[k].tobytes() == want.table[k].tobytes() if want.table[k].dtype != object
        else got.table[k].tolist() == want.table[k].tolist() for k in want.table)


def _rss(reset: bool = False) -> tuple[int, int]:
    """This process's resident and peak resident bytes. The peak is the kernel's high-water mark of this
    process's own memory: getrusage's ru_maxrss would carry the peak of the client a worker was forked
    from. `reset` first lowers the mark to the present size."""
    if reset:
        Path("/proc/self/clear_refs").write_text("5")
    status = dict(line.split(":", 1) for line in Path("/proc/self/status").read_text().splitlines())
    return tuple(int(status[k].split()[0]) * 1024 for k in ("VmRSS", "VmHWM"))


def scale(mgf: Path, fasta: str, tmp: Path, count: int | None, warm: bool, repeat: int) -> None:
    from vornik_tamrel import SearchSettings

    settings = SearchSettings(fragment_tol=0.02)  # the scale benchmark's settings
    files = split_mgf(mgf, 8, tmp, count)
    wall_single, single = timed(files, fasta, settings)
    print(f"single process, 2 threads        {wall_single:7.1f} s   {single.summary['psms_at_fdr']} PSMs at 1%")
    from vornik_tamrel.cluster import load_or_build_index, prepare

    for partitions in (1, 2, 4):  # every configuration finds the digest and its indexes cached
        sliced = replace(settings, db_partitions=partitions)
        key, cache, _, plan = prepare(fasta, sliced)
        for bounds in plan.bounds if plan is not None else [None]:
            load_or_build_index(fasta, sliced, key, cache, bounds)
    walls: dict = {}
    # scaling and overhead on every file (local:2 and local:1 alternately, `repeat` times each); memory (the
    # index's share of it) on the first file alone
    first = files[:1]
    single_first = timed(first, fasta, settings)[1]
    for workers, partitions, searched, want in [(2, 1, files, single), (1, 1, files, single)] * repeat + [
            (1, 2, first, single_first), (1, 4, first, single_first)]:
        cluster, client = local_cluster(workers)
        try:
            before = client.run(_rss, True)
            wall, result = timed(searched, fasta, replace(settings, db_partitions=partitions), client)
            after = client.run(_rss)
            held = timed(searched, fasta, replace(settings, db_partitions=partitions), client)[0] if warm else None
        finally:
            client.close()
            cluster.close()
        growth = [(after[a][1] - rss0) / 2**20 for a, (rss0, _) in before.items()]
        flagged = result.summary.get("db_partitions", {})
        print(f"local:{workers}, 1 thread each, --db-partitions {partitions}, {len(searched)} file(s): {wall:7.1f} s"
              + (f" ({held:.1f} s with the index held)" if held else "")
              + f"; worker peak RSS above its start {', '.join(f'{g:.0f}' for g in growth)} MB"
              + f"; identical to the single process: {identical(result, want)}"
              + (f"; may differ: rows {flagged['rows_may_differ']}, chance level {flagged['tails_may_differ']}"
                 if flagged else ""))
        walls.setdefault((workers, partitions), []).append(wall)
    one, two = statistics.median(walls[1, 1]), statistics.median(walls[2, 1])
    print(f"scaling 1 -> 2 workers: {one / two:.2f}x (goal >= 1.8x)"
          + (f", medians of {repeat} alternate runs: local:1 {one:.1f} s, local:2 {two:.1f} s" if repeat > 1 else ""))
    print(f"overhead of local:2 over the single process with 2 threads: {two / wall_single - 1:+.1%} "
          "(goal <= +15%)")


def bsa(tmp: Path) -> None:
    from vornik_tamrel import SearchSettings

    listing = subprocess.run(["dpkg", "-L", "openms-doc"], capture_output=True, text=True, check=True).stdout.split()
    runs = sorted(p for p in listing if p.endswith(".mzML") and ("/BSA/BSA" in p or "/FRACTIONS/" in p))
    source = next(p for p in listing if p.endswith("/18Protein_SoCe_Tr_detergents_trace_target_decoy.fasta"))
    fasta = tmp / "targets.fasta"
    records = Path(source).read_text().split(">")[1:]
    targets = [r for r in records if not r.split(None, 1)[0].endswith("_rev")]  # its decoys end in _rev
    fasta.write_text("".join(">" + r for r in targets))
    settings = SearchSettings()
    wall_single, single = timed(runs, str(fasta), settings)
    cluster, client = local_cluster(2)
    try:  # first with the cache cold (a worker builds and writes the index), then with the workers holding it
        wall_cold, result = timed(runs, str(fasta), settings, client)
        wall_warm, again = timed(runs, str(fasta), settings, client)
    finally:
        client.close()
        cluster.close()
    same = identical(result, single) and identical(again, single)
    print(f"BSA, {len(runs)} runs, {len(targets)} proteins: single process (2 threads) {wall_single:.1f} s, "
          f"local:2 {wall_cold:.1f} s with the index cache cold ({wall_single / wall_cold:.2f}x), "
          f"{wall_warm:.1f} s with the index held ({wall_single / wall_warm:.2f}x); identical: {same}; "
          f"{single.summary['psms_at_fdr']} PSMs at 1%")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scale-mgf", type=Path, help="the scale benchmark's spectra (made by its scale.sh)")
    parser.add_argument("--scale-fasta", help="the scale benchmark's target FASTA (db_targets.fasta)")
    parser.add_argument("--spectra", type=int, help="only the first N spectra of the scale benchmark")
    parser.add_argument("--warm", action="store_true", help="search again with the workers' index held")
    parser.add_argument("--bsa", action="store_true", help="also search the nine BSA runs of openms-doc")
    parser.add_argument("--repeat", type=int, default=1, help="local:1 and local:2 alternately, N times each (medians)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        os.environ.setdefault("VORNIK_TAMREL_CACHE", str(Path(tmp) / "cache"))
        if args.scale_mgf:
            scale(args.scale_mgf, args.scale_fasta, Path(tmp), args.spectra, args.warm, max(1, args.repeat))
        if args.bsa:
            bsa(Path(tmp))
    return 0


if __name__ == "__main__":
    sys.exit(main())
