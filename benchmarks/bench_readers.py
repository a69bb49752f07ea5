"""Reading and digestion phases alone: wall and CPU time, throughput, peak memory.

    .venv/bin/python benchmarks/bench_readers.py SPECTRA... --fasta PROTEINS [--repeat N]

Reads every spectrum file in batches (the search's reading phase, without
scoring), then reads and digests the FASTA with the search's default
settings. Best of N runs; peak RSS of the whole process.
"""
from __future__ import annotations

import argparse
import resource
import time


def best_of(repeat, work):
    best = None
    for _ in range(repeat):
        wall, cpu = time.perf_counter(), time.process_time()
        result = work()
        wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
        best = min(best or (wall, cpu), (wall, cpu))
    return best, result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("spectra", nargs="*")
    parser.add_argument("--fasta")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    from vornik_tamrel.digest import digest
    from vornik_tamrel.fasta import read_fasta
    from vornik_tamrel.spectra import iter_batches

    for path in args.spectra:
        def read():
            spectra = peaks = 0
            for batch in iter_batches(path):
                spectra += len(batch)
                peaks += len(batch.mass)
            return spectra, peaks
        (wall, cpu), (spectra, peaks) = best_of(args.repeat, read)
        print(f"read    {path}: {spectra} spectra, {peaks} peaks kept; wall {wall:.3f} s, cpu {cpu:.3f} s, "
              f"{spectra / wall:,.0f} spectra/s")
    if args.fasta:
        (wall, cpu), proteins = best_of(args.repeat, lambda: read_fasta(args.fasta))
        residues = sum(len(p.sequence) for p in proteins)
        print(f"fasta   {args.fasta}: {len(proteins)} proteins, {residues:,} residues; wall {wall:.3f} s, cpu {cpu:.3f} s")
        (wall, cpu), peptides = best_of(args.repeat, lambda: digest(proteins))
        print(f"digest  {len(peptides):,} modified peptides, {len(peptides.proteins):,} distinct sequences; "
              f"wall {wall:.3f} s, cpu {cpu:.3f} s, {residues / wall / 1e6:.1f} M residues/s")
    print(f"peak RSS {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f} MB")


if __name__ == "__main__":
    main()
