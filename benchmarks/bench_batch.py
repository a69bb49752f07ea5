"""Batch scoring through Python: score_many_spectra on synthetic spectra
against a synthetic one-million-peptide index, with 1 and 2 workers.

Reports spectra per second, the 2-versus-1 speedup, an upper bound on the
share of the call spent building the result columns, and how far another
Python thread gets while the call runs (it only gets anywhere if the
interpreter lock is released).

    PYTHONPATH=<build dir> python3 benchmarks/bench_batch.py [peptides=1000000] [spectra=10000]

The proteome mirrors synthetic.hpp (random proteins with typical residue
frequencies, cut after K and R, lengths 7 to 40, decoys on) with Python's own
seeded generator; spectra mirror bench_scoring.cpp (b and y ions at charges 1
and 2 in the scorer's peak convention plus noise, 150 peaks, known charge).
"""

import json
import os
import random
import re
import subprocess
import sys
import threading
import time
from array import array

LETTERS = "ARNDCQEGHILKMFPSTWYV"
FREQUENCIES = [8.25, 5.53, 4.06, 5.45, 1.37, 3.93, 6.75, 7.07, 2.27, 5.96,
               9.66, 5.84, 2.42, 3.86, 4.70, 6.56, 5.34, 1.08, 2.92, 6.87]
RESIDUE = {
    "G": 57.02146, "A": 71.03711, "S": 87.03203, "P": 97.05276, "V": 99.06841,
    "T": 101.04768, "C": 103.00919, "L": 113.08406, "I": 113.08406, "N": 114.04293,
    "D": 115.02694, "Q": 128.05858, "K": 128.09496, "E": 129.04259, "M": 131.04049,
    "H": 137.05891, "F": 147.06841, "R": 156.10111, "Y": 163.06333, "W": 186.07931,
}
WATER = 18.010565
PROTON = 1.0072764
TRYPTIC = re.compile(r"[^KR]*[KR]|[^KR]+$")


def synthetic_peptides(count, seed=20240611):
    """(sequence, mass) of `count` distinct tryptic peptides, ascending by mass."""
    rng = random.Random(seed)
    seen = set()
    while len(seen) < count:
        protein = "".join(rng.choices(LETTERS, FREQUENCIES, k=rng.randint(150, 800)))
        for piece in TRYPTIC.findall(protein):
            if 7 <= len(piece) <= 40:
                seen.add(piece)
                if len(seen) == count:
                    break
    peptides = [(s, WATER + sum(RESIDUE[r] for r in s)) for s in seen]
    peptides.sort(key=lambda p: (p[1], p[0]))
    return peptides


def synthetic_spectra(vt, peptides, count, seed=12345):
    rng = random.Random(seed)
    spectra = []
    for n in range(count):
        seq, mass = peptides[rng.randrange(len(peptides))]
        residues = [RESIDUE[r] for r in seq]
        peaks = []
        b = 0.0
        for r in residues[:-1]:
            b += r
            peaks += [(b / c, rng.uniform(1.0, 1000.0)) for c in (1.0, 2.0)]
        y = WATER
        for r in reversed(residues[1:]):
            y += r
            peaks += [(y / c, rng.uniform(1.0, 1000.0)) for c in (1.0, 2.0)]
        while len(peaks) < 150:
            peaks.append((rng.uniform(100.0, 1500.0), rng.uniform(1.0, 1000.0) * 0.2))
        peaks.sort()
        z = rng.randint(2, 3)
        spectra.append(vt.PyProcessedSpectrum(
            "synthetic=%d" % n, 0, 0.0, array("f", [p[0] for p in peaks]),
            array("f", [p[1] for p in peaks]), [vt.PyPrecursor(mass / z + PROTON, z)],
            sum(p[1] for p in peaks)))
    return spectra


def best_of(rounds, fn):
    """Best wall time of `rounds` calls (other processes only ever slow a
    round down), the process CPU time of that round, and the last result."""
    best, cpu, result = None, None, None
    for _ in range(rounds):
        start, start_cpu = time.perf_counter(), time.process_time()
        result = fn()
        elapsed, used = time.perf_counter() - start, time.process_time() - start_cpu
        if best is None or elapsed < best:
            best, cpu = elapsed, used
    return best, cpu, result


def progress_during(call):
    """Runs `call` while another thread counts; returns (result, counts per
    second during the call, counts per second with the main thread idle)."""
    state = {"count": 0, "stop": False}

    def count():
        while not state["stop"]:
            state["count"] += 1

    thread = threading.Thread(target=count)
    thread.start()
    time.sleep(0.2)
    c0, t0 = state["count"], time.perf_counter()
    time.sleep(0.5)  # main thread idle: the counter's own pace
    c1, t1 = state["count"], time.perf_counter()
    result = call()
    c2, t2 = state["count"], time.perf_counter()
    state["stop"] = True
    thread.join()
    return result, (c2 - c1) / (t2 - t1), (c1 - c0) / (t1 - t0)


def measure(peptide_count, spectrum_count):
    import _vornik_tamrel as vt

    start = time.perf_counter()
    peptides = synthetic_peptides(peptide_count)
    generated = time.perf_counter() - start
    start = time.perf_counter()
    db = vt.PyIndexedDatabase.from_peptides_and_config(
        [vt.PyPeptide(s, m, None) for s, m in peptides], 8192, [vt.PyKind.B(), vt.PyKind.Y()], 2,
        True, "rev_", 500.0, 5000.0)
    built = time.perf_counter() - start
    spectra = synthetic_spectra(vt, peptides, spectrum_count)
    del peptides

    def scorer(report_psms):
        return vt.PyScorer(vt.PyTolerance.Ppm(-10.0, 10.0), vt.PyTolerance.Ppm(-10.0, 10.0),
                           wide_window=False, chimera=False, report_psms=report_psms)

    batch = scorer(5)
    batch.score_many_spectra(db, spectra[:200])  # warm the pool and the allocator
    seconds, cpu, arrays = best_of(3, lambda: batch.score_many_spectra(db, spectra))
    rows = len(arrays.rank)
    # report_psms=0 runs the same candidate search and detailed scoring (the
    # preliminary cap is 50 either way) but reports nothing, so the difference
    # bounds the cost of building 5 features per spectrum plus the columns.
    empty = scorer(0)
    seconds_empty, cpu_empty, _ = best_of(3, lambda: empty.score_many_spectra(db, spectra))
    # A proxy of the conversion itself: appending the whole result to an empty
    # object copies and moves the same 38 columns.
    extend_seconds, _, _ = best_of(3, lambda: batch.score_many_spectra(db, []).extend(arrays))
    _, during, idle = progress_during(lambda: batch.score_many_spectra(db, spectra))
    return {"generated_s": generated, "index_s": built, "fragments": db.fragment_count(),
            "peptides": len(db.peptides), "seconds": seconds, "cpu": cpu, "rows": rows,
            "seconds_no_reports": seconds_empty, "cpu_no_reports": cpu_empty,
            "extend_seconds": extend_seconds, "counter_during": during, "counter_idle": idle}


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        print(json.dumps(measure(int(sys.argv[2]), int(sys.argv[3]))))
        return
    peptide_count = int(sys.argv[1]) if len(sys.argv) > 1 else 1000000
    spectrum_count = int(sys.argv[2]) if len(sys.argv) > 2 else 10000
    results = {}
    for workers in (1, 2):
        env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
        out = subprocess.run([sys.executable, __file__, "--child", str(peptide_count), str(spectrum_count)],
                             env=env, check=True, capture_output=True, text=True).stdout
        r = results[workers] = json.loads(out)
        print("%d worker(s): index %d peptides (decoys included), %d fragments, built in %.1f s "
              "(peptides generated in %.1f s)" % (workers, r["peptides"], r["fragments"], r["index_s"],
                                                  r["generated_s"]))
        print("  score_many_spectra: %d spectra, %d rows in %.3f s = %.0f spectra/s "
              "(CPU %.3f s, %.2f cores busy)" % (
                  spectrum_count, r["rows"], r["seconds"], spectrum_count / r["seconds"], r["cpu"],
                  r["cpu"] / r["seconds"]))
        print("  same call reporting nothing: %.3f s, CPU %.3f s -> feature building + columns <= %.1f%% "
              "of the call's CPU time" % (r["seconds_no_reports"], r["cpu_no_reports"],
                                          100 * max(0.0, r["cpu"] - r["cpu_no_reports"]) / r["cpu"]))
        print("  extend() of the whole result into an empty object: %.3f s = %.1f%% of the call" % (
            r["extend_seconds"], 100 * r["extend_seconds"] / r["seconds"]))
        print("  another Python thread during the call: %.0f counts/s (idle main thread: %.0f counts/s)" % (
            r["counter_during"], r["counter_idle"]))
    print("speedup 2 vs 1 worker: %.2fx wall (load average now %.1f on %d processors)" % (
        results[1]["seconds"] / results[2]["seconds"], os.getloadavg()[0], os.cpu_count()))
    # On a shared machine the wall figures depend on what else runs; the CPU
    # each configuration needs for the same batch does not, so it gives the
    # speedup two otherwise idle processors would show.
    print("speedup 2 vs 1 worker from CPU time: %.2fx (2 x CPU(1 worker) / CPU(2 workers))" % (
        2 * results[1]["cpu"] / results[2]["cpu"]))


if __name__ == "__main__":
    main()
