"""Entrapment test of the reported FDR, for this engine and optionally Comet.

    python benchmarks/entrapment.py SPECTRA... [--fasta F] [--ratio R] [--seeds 1 2 3]
                                    [--modes rescore no-rescore] [--comet] [--drop-suffix _rev]
                                    [--tail-window DA [--tail-candidates N]]

For every seed the FASTA gains R shuffled copies of each target protein:
residues permuted within the protein with K, R and P kept in place, so
cleavage sites, lengths and compositions stay; accessions prefixed
`ENTRAP_`. No spectrum can truly come from an entrapment peptide, so the
accepted target matches whose proteins are all entrapment (N_E) are false,
and a false target lands in the entrapment part with probability R / (1 + R).
The estimated false discovery proportion among N accepted targets is
N_E (1 + 1/R) / N; under an honest FDR alpha, N_E is about Poisson with mean
alpha N R / (1 + R), and the table gives P(X >= N_E) for it (small values
say the FDR is understated).

Our engine runs in this process with the settings of `benchmarks/compare_comet.py`
(the demo's: 75 most intense peaks, ion-trap fragment tolerance), once per
seed; its error control then runs once per mode on what the search found:
`rescore` (the default) and `no-rescore` (nothing before error control
depends on the mode). Each seed's search is kept in the working directory,
and `--reuse-searches` takes it from there instead of searching again: a
change to error control alone is then measured on the whole table in
seconds, with the same rows the search gives. Comet runs with the equivalent
settings, ranked by its E-value, through the same q-values.
Prints per seed and pooled: accepted PSMs and peptides, N_E, the FDP
estimate and the Poisson probability at 1%, 5% and 10%.
"""
from __future__ import annotations

import argparse
import hashlib
import math
import os
import pickle
import sys
import tempfile
from collections import Counter
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.append(str(HERE.parent / "python"))  # an installed package (with its compiled parts) comes first

from vornik_tamrel.fasta import read_fasta  # noqa: E402
from vornik_tamrel.fdr import peptide_qvalues, qvalues  # noqa: E402

sys.path.insert(0, str(HERE))
from compare_comet import FASTA, OUR_OPTIONS, SPECTRA, run_comet, write_indexed_mzml  # noqa: E402

PREFIX = "ENTRAP_"
LEVELS = (0.01, 0.05, 0.10)
FIXED = frozenset("KRP")


def shuffled(sequence: str, rng: np.random.Generator) -> str:
    """`sequence` with every residue but K, R and P permuted among the free positions."""
    letters = np.array(list(sequence))
    free = np.flatnonzero(~np.isin(letters, list(FIXED)))
    letters[free] = letters[rng.permutation(free)]
    return "".join(letters.tolist())


def entrapment_fasta(proteins, ratio: int, seed: int, path: Path) -> None:
    rng = np.random.default_rng(seed)
    with open(path, "w") as out:
        for p in proteins:
            out.write(f">{p.accession}\n{p.sequence}\n")
        for copy in range(ratio):
            tag = PREFIX if ratio == 1 else f"{PREFIX}{copy}_"
            for p in proteins:
                out.write(f">{tag}{p.accession}\n{shuffled(p.sequence, rng)}\n")


def all_entrapment(proteins: str, separator: str) -> bool:
    names = [n for n in str(proteins).split(separator) if n]
    return bool(names) and all(n.startswith(PREFIX) for n in names)


def poisson_tail(observed: int, mean: float) -> float:
    """P(X >= observed) for X ~ Poisson(mean)."""
    if observed <= 0:
        return 1.0
    term, below = math.exp(-mean), 0.0
    for k in range(observed):
        below += term
        term *= mean / (k + 1)
    return max(0.0, 1.0 - below)


def counts(psm_q, pep_q, peptides, entrap, is_decoy) -> dict:
    """Per level: (PSMs, entrapment PSMs, peptides, entrapment peptides) accepted among targets; under
    "hits", the entrapment peptides accepted at the first level with their PSMs."""
    out: dict = {}
    for level in LEVELS:
        psm = (~is_decoy) & (psm_q <= level)
        pep = (~is_decoy) & (pep_q <= level)
        distinct = dict(zip(peptides[pep].tolist(), entrap[pep].tolist()))
        out[level] = (int(psm.sum()), int((psm & entrap).sum()), len(distinct), sum(distinct.values()))
    # One peptide outside the targets (say a contaminant that a shuffled sequence happens to resemble) can
    # take several spectra: false matches then come in clusters, which the PSM-level Poisson model ignores.
    hits = (~is_decoy) & (psm_q <= LEVELS[0]) & entrap
    out["hits"] = dict(Counter(peptides[hits].tolist()))
    return out


def search_state(spectra, fasta: Path, extra: list[str], saved: Path | None = None):
    """What error control starts from, for our search of `spectra` against `fasta` (with rescoring on): the
    table, settings, extra features and chance levels it is handed. Taken from `saved` when that file
    exists, else searched (and written there when given)."""
    if saved is not None and saved.exists():
        with open(saved, "rb") as f:
            return pickle.load(f)
    import copy

    from vornik_tamrel import search
    from vornik_tamrel.cli import build_parser, settings_from_args

    args = build_parser().parse_args(["search", *spectra, "--fasta", str(fasta), "-o", "-", *OUR_OPTIONS, *extra])
    captured = []
    control_errors = search.control_errors

    def capture(table, settings, extra_features=None, chance=None):
        captured.append(copy.deepcopy((table, settings, extra_features, chance)))
        return control_errors(table, settings, extra_features, chance)

    search.control_errors = capture
    try:
        search.run_search(spectra, str(fasta), settings_from_args(args), progress=False)
    finally:
        search.control_errors = control_errors
    state, = captured
    if saved is not None:
        with open(saved, "wb") as f:
            pickle.dump(state, f)
    return state


def run_ours(state, mode: str) -> dict:
    """Counts of our error control in `mode` run on a search's `state` (see `search_state`)."""
    import copy
    from dataclasses import replace

    from vornik_tamrel.control import control_errors

    table, settings, extra, chance = copy.deepcopy(state)
    control_errors(table, replace(settings, rescore=mode == "rescore"), extra, chance)
    keep = np.isfinite(table["spectrum_q"].astype(np.float64))
    is_decoy = np.asarray(table["is_decoy"], dtype=bool)[keep]
    entrap = np.array([all_entrapment(p, ";") for p in np.asarray(table["proteins"], dtype=object)[keep]], dtype=bool)
    peptides = np.asarray(table["peptide"], dtype=object)[keep]
    return counts(table["spectrum_q"][keep].astype(np.float64), table["peptide_q"][keep].astype(np.float64),
                  peptides, entrap, is_decoy)


def search_key(spectra, fasta: str, drop: list[str], ratio: int, seed: int, options: list[str]) -> str:
    """File name of a seed's kept search: what it depends on, hashed."""
    what = repr(([os.path.realpath(s) for s in spectra], os.path.realpath(fasta), sorted(drop), ratio, seed, options))
    return f"search_r{ratio}_seed{seed}_{hashlib.sha256(what.encode()).hexdigest()[:16]}.pickle"


def run_comet_counts(workdir: Path, spectra: list[str], fasta: Path, threads: int) -> dict:
    from compare_comet import canonical_comet

    frames = []
    for i, path in enumerate(spectra):
        source = Path(path)
        if source.suffix == ".gz":
            mzml = workdir / source.name[:-3]
            write_indexed_mzml(source, mzml)
        else:
            mzml = workdir / source.name
            if not mzml.exists():
                mzml.symlink_to(source.resolve())
        frame = run_comet(workdir, mzml, str(fasta), threads)[2]
        frame = frame.loc[frame["num"] == 1].assign(run=i)
        frames.append(frame)
    import pandas as pd

    comet = pd.concat(frames, ignore_index=True)
    proteins = comet["protein"].astype(str)
    is_decoy = proteins.str.startswith("DECOY_").to_numpy()
    entrap = np.array([all_entrapment(p, ",") for p in proteins], dtype=bool)
    peptides = np.array([canonical_comet(p) for p in comet["modified_peptide"]], dtype=object)
    score = -np.log10(comet["e-value"].clip(lower=1e-300).to_numpy())
    return counts(qvalues(score, is_decoy), peptide_qvalues(peptides, score, is_decoy), peptides, entrap, is_decoy)


def row(label: str, c: tuple, ratio: int, level: float) -> str:
    psms, n_e, peps, n_ep = c
    share = ratio / (1.0 + ratio)
    fdp = lambda n, e: e * (1 + 1 / ratio) / n if n else 0.0  # noqa: E731
    return (f"{label:28} {level:5.0%} {psms:6d} {n_e:4d} {fdp(psms, n_e):7.1%} {poisson_tail(n_e, level * psms * share):8.2g}"
            f" {peps:6d} {n_ep:4d} {fdp(peps, n_ep):7.1%} {poisson_tail(n_ep, level * peps * share):8.2g}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("spectra", nargs="*", default=[str(SPECTRA)], help="spectrum files (default: the demo run)")
    parser.add_argument("--fasta", default=str(FASTA), help="target proteins (default: the bundled 18-protein FASTA)")
    parser.add_argument("--drop-suffix", action="append", default=[], metavar="S",
                        help="leave out proteins whose accession ends with S (such as the _rev decoys of a FASTA)")
    parser.add_argument("--ratio", type=int, default=1, help="entrapment copies per target protein")
    parser.add_argument("--seeds", type=int, nargs="+", default=[1, 2, 3])
    parser.add_argument("--modes", nargs="*", default=["rescore", "no-rescore"], choices=["rescore", "no-rescore"],
                        help="our error control with and without rescoring (none: Comet alone)")
    parser.add_argument("--comet", action="store_true", help="also run Comet (Debian's comet-ms)")
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--workdir", help="keep the databases and Comet's outputs here")
    parser.add_argument("--search-option", action="append", default=[], metavar="OPT",
                        help="extra option for our search, such as --search-option=--conservative-fdr")
    parser.add_argument("--tail-window", type=float, default=0.0, metavar="DA",
                        help="calibrate each match's cross-correlation by the database's peptides within DA of its "
                             "mass (default 0: off; see vornik_tamrel.evidence.TAIL_WINDOW_DA)")
    parser.add_argument("--tail-candidates", type=int, default=1000, metavar="N",
                        help="score at most N peptides of each such window")
    parser.add_argument("--reuse-searches", action="store_true",
                        help="take our searches kept in --workdir by an earlier run with the same spectra, FASTA, "
                             "ratio, seeds, search options and tails, and run only error control (the installed one)")
    args = parser.parse_args()
    if args.ratio < 1:
        raise SystemExit("--ratio must be at least 1")
    if args.tail_window < 0 or args.tail_candidates < 1:
        raise SystemExit("--tail-window must be at least 0 and --tail-candidates at least 1")
    from vornik_tamrel import evidence

    evidence.TAIL_WINDOW_DA, evidence.TAIL_CANDIDATES = args.tail_window, args.tail_candidates
    tails = [f"tail {args.tail_window} {args.tail_candidates}"] if args.tail_window else []
    os.environ["RAYON_NUM_THREADS"] = str(args.threads)
    workdir = Path(args.workdir or tempfile.mkdtemp(prefix="entrapment-"))
    workdir.mkdir(parents=True, exist_ok=True)
    targets = [p for p in read_fasta(args.fasta) if not any(p.accession.endswith(s) for s in args.drop_suffix)]
    engines = [f"ours {m}" for m in args.modes] + (["Comet E-value"] if args.comet else [])
    results: dict[str, dict[int, dict]] = {e: {} for e in engines}
    if args.reuse_searches and not args.workdir:
        raise SystemExit("--reuse-searches needs the --workdir of an earlier run")
    for seed in args.seeds:
        fasta = workdir / f"entrapment_r{args.ratio}_seed{seed}.fasta"
        saved = workdir / search_key(args.spectra, args.fasta, args.drop_suffix, args.ratio, seed,
                                     args.search_option + tails)
        if not (args.reuse_searches and saved.exists() and not args.comet):
            entrapment_fasta(targets, args.ratio, seed, fasta)
        if args.modes:
            if not args.reuse_searches:
                saved.unlink(missing_ok=True)
            state = search_state(args.spectra, fasta, args.search_option, saved)
        for mode in args.modes:
            results[f"ours {mode}"][seed] = run_ours(state, mode)
        if args.comet:
            results["Comet E-value"][seed] = run_comet_counts(workdir, args.spectra, fasta, args.threads)

    names = ", ".join(Path(s).name for s in args.spectra)
    print(f"{names} against {len(targets)} target proteins of {Path(args.fasta).name} + {args.ratio}x entrapment; "
          f"seeds {' '.join(map(str, args.seeds))}")
    print(f"{'engine / seed':28} {'level':>5} {'PSMs':>6} {'N_E':>4} {'FDP':>7} {'P':>8} {'peps':>6} {'N_E':>4} "
          f"{'FDP':>7} {'P':>8}")
    for engine in engines:
        for level in LEVELS:
            per_seed = [results[engine][s][level] for s in args.seeds]
            for seed, c in zip(args.seeds, per_seed):
                print(row(f"{engine} / {seed}", c, args.ratio, level))
            pooled = tuple(sum(c[i] for c in per_seed) for i in range(4))
            print(row(f"{engine} / pooled", pooled, args.ratio, level))
            psms = [c[0] for c in per_seed]
            mean = sum(psms) / len(psms)
            spread = max(abs(p - mean) for p in psms) / mean if mean else 0.0
            print(f"{'':28} {'':5} PSMs across seeds: mean {mean:.1f}, largest deviation {spread:.0%}")
        for seed in args.seeds:
            hits = ", ".join(f"{p} ({n})" for p, n in sorted(results[engine][seed]["hits"].items()))
            print(f"{engine} / {seed}: entrapment peptides at {LEVELS[0]:.0%} (PSMs): {hits or 'none'}")
    print(f"\ndatabases kept in {workdir}")


if __name__ == "__main__":
    main()
