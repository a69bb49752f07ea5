"""Entrapment test of the protein-level FDR, with the calibration of the posterior errors and the
retention-time model's fit on the way.

    python benchmarks/protein_entrapment.py SPECTRA... [--fasta F] [--drop-suffix _rev] [--seeds 1 2 3]
                                            [--together]

The databases are those of `entrapment.py` (one shuffled copy of every
target protein, accessions prefixed `ENTRAP_`). Each spectrum file is
searched on its own (with --together: all in one run, which also aligns
their retention times). At 1%, 5% and 10% protein FDR it prints the accepted
target groups, N_E (groups whose members are all entrapment), the FDP
estimate 2 N_E / N and P(X >= N_E) for X ~ Poisson(level N / 2); then, over
the accepted PSMs at the same levels, the mean posterior error beside the
plain decoy count's FDR (decoys / targets accepted) and the reported one (the
largest q-value accepted, which counts the decoys' fitted tail); and the Pearson r between predicted and observed
(aligned) retention time of the PSMs accepted at 1% (no prediction uses its match's own time: a peptide's other
confident matches and its composition only).
"""
from __future__ import annotations

import argparse
import os
import sys
import tempfile
from pathlib import Path

import numpy as np

# The installed package (with its compiled modules) is imported before `entrapment`, which would put the
# source tree first on the path.
from vornik_tamrel.fasta import read_fasta  # noqa: E402

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from entrapment import LEVELS, OUR_OPTIONS, all_entrapment, entrapment_fasta, poisson_tail  # noqa: E402


def measure(spectra: list[str], fasta: Path) -> dict:
    from vornik_tamrel.cli import build_parser, settings_from_args
    from vornik_tamrel.control import competition_rows
    from vornik_tamrel.search import run_search

    args = build_parser().parse_args(["search", *spectra, "--fasta", str(fasta), "-o", "-", *OUR_OPTIONS])
    settings = settings_from_args(args)
    result = run_search(spectra, str(fasta), settings, progress=False)
    groups, t = result.proteins, result.table
    compete = competition_rows(t, settings.chimera)
    decoy = np.asarray(t["is_decoy"], dtype=bool)[compete]
    q = t["spectrum_q"][compete].astype(np.float64)
    pep = t["posterior_error"][compete].astype(np.float64)
    out = {}
    for level in LEVELS:
        accepted = (groups["protein_q"] <= level) & ~groups["is_decoy"]
        entrap = sum(all_entrapment(g, ";") for g in groups["proteins"][accepted])
        psms = (q <= level) & ~decoy
        out[level] = (int(accepted.sum()), int(entrap), int(psms.sum()),
                      float(pep[psms].mean()) if psms.any() else 0.0,
                      float(((q <= level) & decoy).sum() / max(psms.sum(), 1)),
                      float(q[psms].max()) if psms.any() else 0.0)
    confident = compete & ~np.asarray(t["is_decoy"], dtype=bool) & (t["spectrum_q"] <= settings.fdr)
    fitted = result.summary.get("rt_model") and confident.sum() > 2
    out["rt_r"] = float(np.corrcoef(t["predicted_rt"][confident], t["aligned_rt"][confident])[0, 1]) \
        if fitted else float("nan")
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("spectra", nargs="+", help="spectrum files")
    parser.add_argument("--fasta", required=True, help="target proteins")
    parser.add_argument("--drop-suffix", action="append", default=[], metavar="S",
                        help="leave out proteins whose accession ends with S (such as the _rev decoys of a FASTA)")
    parser.add_argument("--seeds", type=int, nargs="+", default=[1, 2, 3])
    parser.add_argument("--together", action="store_true", help="search all spectrum files in one run")
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()
    os.environ["RAYON_NUM_THREADS"] = str(args.threads)
    workdir = Path(tempfile.mkdtemp(prefix="protein-entrapment-"))
    targets = [p for p in read_fasta(args.fasta) if not any(p.accession.endswith(s) for s in args.drop_suffix)]
    runs = [args.spectra] if args.together else [[s] for s in args.spectra]
    print(f"{len(targets)} target proteins of {Path(args.fasta).name} + 1x entrapment")
    print(f"{'run / seed':24} {'level':>5} {'groups':>6} {'N_E':>4} {'FDP':>6} {'P':>7}   {'PSMs':>5} "
          f"{'mean PEP':>8} {'FDR':>6} {'q':>6} {'RT r':>6}")
    pooled = {level: [0, 0] for level in LEVELS}
    for seed in args.seeds:
        fasta = workdir / f"entrapment_seed{seed}.fasta"
        entrapment_fasta(targets, 1, seed, fasta)
        for run in runs:
            found = measure(run, fasta)
            name = "+".join(Path(s).name.split(".")[0] for s in run)
            for level in LEVELS:
                groups, entrap, psms, mean_pep, fdr, reported = found[level]
                pooled[level][0] += groups
                pooled[level][1] += entrap
                print(f"{name + ' / ' + str(seed):24} {level:5.0%} {groups:6d} {entrap:4d} "
                      f"{2 * entrap / max(groups, 1):6.1%} {poisson_tail(entrap, level * groups / 2):7.2g}   "
                      f"{psms:5d} {mean_pep:8.4f} {fdr:6.4f} {reported:6.4f} {found['rt_r']:6.3f}")
        fasta.unlink()
    for level in LEVELS:
        groups, entrap = pooled[level]
        print(f"{'pooled':24} {level:5.0%} {groups:6d} {entrap:4d} {2 * entrap / max(groups, 1):6.1%} "
              f"{poisson_tail(entrap, level * groups / 2):7.2g}")


if __name__ == "__main__":
    main()
