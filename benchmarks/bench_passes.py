"""The search's two scoring passes, each on its own and both in one call: spectra/s, wall and CPU seconds, and
a digest of each pass's rows.

    python benchmarks/bench_passes.py SPECTRA... --fasta F [--threads N] [--fragment-tol T] [--limit N]

The main pass (the precursor windows, with the rows' fragment evidence) and the
wide pass (the error control's calibration) score every spectrum batch by batch
as the search does, with the index built once; reading, digestion and the index
build are not timed.
The one call (what the search does) counts the fragments once for both
passes; it exits with 1 when its rows differ from the passes' own.
The digest (SHA-256 of the engine's columns, `psm_id` left out as it counts
across calls) is the same for builds that score alike: compare it between
builds, thread counts and bucket sizes to check that a change keeps the rows
bit for bit.
"""
from __future__ import annotations

import argparse
import hashlib
import os
import sys
import time


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("spectra", nargs="+")
    parser.add_argument("--fasta", required=True)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--fragment-tol", type=float, help="the search's default when not given")
    parser.add_argument("--bucket-size", type=int, help="the search's default when not given")
    parser.add_argument("--limit", type=int, help="score only the batches holding the first N spectra of each file")
    args = parser.parse_args(argv)
    os.environ["RAYON_NUM_THREADS"] = str(args.threads)  # read when the engine's pool starts

    from vornik_tamrel import spectra as reading
    from vornik_tamrel.control import null_scorer
    from vornik_tamrel.index import build_database
    from vornik_tamrel.score import build_scorer, score_batch, score_batch_pair
    from vornik_tamrel.search import SearchSettings, digest_fasta, read_proteome

    chosen = {"fragment_tol": args.fragment_tol, "bucket_size": args.bucket_size}
    settings = SearchSettings(**{k: v for k, v in chosen.items() if v is not None})
    db = build_database(digest_fasta(args.fasta, settings, read_proteome(args.fasta, settings)), settings,
                        release=True)
    batches = []
    for file_id, path in enumerate(args.spectra):
        left = args.limit
        for batch in reading.iter_batches(path, file_id, settings.peaks, settings.batch_size,
                                          settings.skip_bad_precursors):
            if left is not None and left <= 0:
                break
            batches.append(batch)
            left = None if left is None else left - len(batch)
    count = sum(len(b) for b in batches)

    print(f"{count} spectra, {args.threads} thread(s), load {os.getloadavg()[0]:.1f}")
    main, wide = build_scorer(settings), null_scorer(settings)
    digests = {}

    def timed(name: str, score) -> None:
        """Times `score(batch)` (a table per pass) over every batch and prints it with its passes' digests."""
        wall, cpu = 0.0, 0.0
        passes = [hashlib.sha256() for _ in name.split("+")]
        for batch in batches:
            clock, cpu_clock = time.perf_counter(), time.process_time()
            tables = score(batch)
            wall += time.perf_counter() - clock
            cpu += time.process_time() - cpu_clock
            for digest, table in zip(passes, tables):
                for key in sorted(table.keys() - {"psm_id"}):
                    values = table[key]
                    digest.update(key.encode())
                    digest.update(repr(values.tolist()).encode() if values.dtype == object else values.tobytes())
        rows = " ".join(d.hexdigest()[:16] for d in passes)
        digests[name] = rows
        print(f"{name:>9} pass: {count / wall:8.0f} spectra/s, wall {wall:6.2f} s, CPU {cpu:6.2f} s, rows {rows}")

    timed("main", lambda batch: [score_batch(main, db, batch)])
    timed("wide", lambda batch: [score_batch(wide, db, batch, modifications=False)])
    timed("main+wide", lambda batch: score_batch_pair(main, wide, db, batch))
    same = digests["main+wide"] == f"{digests['main']} {digests['wide']}"
    print("one call for both passes: rows " + ("identical" if same else "DIFFER"))
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
