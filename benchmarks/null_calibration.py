"""How well the wide pass calibrates, per half width: candidates, time and E-values of decoy-won spectra.

    python benchmarks/null_calibration.py SPECTRA --fasta F [--widths 25 10 5 2.5] [-- SEARCH OPTIONS]

The spectra are scored once with the search's own settings; then, per half
width, the wide pass runs again and the E-value of every spectrum's best match
(`control.calibrated_scores`) is taken. A spectrum whose best match is a
decoy is a chance match: an honest E-value is at most e for about a share e of
them (at most 0.05 for 5%, 0.01 for 1%); larger shares say the E-values
overstate how rare a score is. Also printed per width: the wide pass's
candidates per spectrum (median, 10th and 90th percentile), its wall and CPU
seconds, and the targets accepted at 1% by the E-value alone (q-values as the
search computes them). Options after `--` go to the search's settings as on
the command line.
"""
from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

sys.path.append(str(Path(__file__).resolve().parent.parent / "python"))  # an installed package comes first

from vornik_tamrel import cli, control  # noqa: E402
from vornik_tamrel.fdr import qvalues  # noqa: E402
from vornik_tamrel.index import build_database  # noqa: E402
from vornik_tamrel.score import build_scorer, score_pass  # noqa: E402
from vornik_tamrel.search import digest_fasta  # noqa: E402
from vornik_tamrel.spectra import read_spectra  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("spectra")
    parser.add_argument("--fasta", required=True)
    parser.add_argument("--widths", type=float, nargs="+", default=[control.NULL_WINDOW_DA, 10.0, 5.0, 2.5])
    argv = sys.argv[1:]
    cut = argv.index("--") if "--" in argv else len(argv)
    args = parser.parse_args(argv[:cut])
    settings = cli.settings_from_args(cli.build_parser().parse_args(
        ["search", args.spectra, "--fasta", args.fasta, "-o", "unused", *argv[cut + 1 :]]))
    peptides = digest_fasta(args.fasta, settings)
    print(f"{args.spectra}: {len(peptides)} target peptides of {args.fasta}")
    db = build_database(peptides, settings, release=True)
    spectra = read_spectra(args.spectra, 0, settings.peaks)
    main_rows = score_pass(spectra, db, build_scorer(settings), settings.batch_size)
    best = np.asarray(main_rows["rank"]) == 1
    decoy = np.asarray(main_rows["label"]) == -1
    won = best & decoy
    print(f"{len(spectra)} spectra, {int(won.sum())} won by a decoy")
    print(f"{'+/- Da':>7} {'cand. median':>12} {'p10':>7} {'p90':>7} {'wall s':>7} {'CPU s':>6}"
          f" {'E<=0.05':>8} {'E<=0.01':>8} {'at 1%':>6}")
    for width in args.widths:
        clock, cpu = time.perf_counter(), time.process_time()
        rows = score_pass(spectra, db, control.null_scorer(settings, window=width), settings.batch_size,
                          modifications=False)
        tails = control.fit_tails(rows)
        wall, cpu = time.perf_counter() - clock, time.process_time() - cpu
        candidates = np.asarray(rows["scored_candidates"])[np.asarray(rows["rank"]) == 1]
        evalue = control.calibrated_scores(main_rows, control.Chance(tails=tails))  # -log10 E
        q = qvalues(evalue[best], decoy[best], tail=True)
        low, median, high = np.percentile(candidates, [10, 50, 90]) if len(candidates) else (0, 0, 0)
        shares = [float((evalue[won] >= -np.log10(e)).mean()) if won.any() else float("nan") for e in (0.05, 0.01)]
        print(f"{width:7.2f} {median:12.0f} {low:7.0f} {high:7.0f} {wall:7.2f} {cpu:6.2f}"
              f" {shares[0]:8.1%} {shares[1]:8.1%} {int(((q <= 0.01) & ~decoy[best]).sum()):6d}")


if __name__ == "__main__":
    main()
