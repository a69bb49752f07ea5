"""The whole search on any spectra files and FASTA: each phase's time and the peak memory, beside peers.

    python benchmarks/pipeline.py SPECTRA... --fasta F [--threads N] [-- SEARCH OPTIONS...]
    python benchmarks/pipeline.py SPECTRA... --fasta F --comet-params P --tandem-input X --peer-fasta TD

This engine runs as its command line does (`vornik-tamrel search`), in a
fresh interpreter, once per `--repeat`; the phase times are the ones the
search reports, start-up is the time to import the command line and the
search stages, and peak RSS is the child process's own (wait4). Options after
`--` go to `vornik-tamrel search` unchanged.

Peers (optional, run in the same invocation so that ratios are fair on a
shared machine): Comet with a params file (`comet-ms -P`, its `num_threads`
set to --threads), X!Tandem with an input file template in which @SPECTRA@,
@OUTPUT@, @TAXONOMY@ and @THREADS@ are replaced. Peers search `--peer-fasta`
(a target-decoy FASTA), this engine `--fasta` (targets; it adds decoys).
X!Tandem reads one spectrum file per run: several files run one after another
and their times add up.
"""
from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
CLI = Path(sys.executable).with_name("vornik-tamrel")


def run(command: list[str], cwd: Path | None = None) -> tuple[float, float, str]:
    """Runs `command`; returns (wall seconds, its own peak RSS in MB, its standard error)."""
    with tempfile.TemporaryFile("w+") as err:
        clock = time.perf_counter()
        child = subprocess.Popen(command, cwd=cwd, stdout=subprocess.DEVNULL, stderr=err, text=True)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - clock
        child.returncode = os.waitstatus_to_exitcode(status)
        err.seek(0)
        text = err.read()
    if child.returncode != 0:
        raise SystemExit(f"{command[0]} failed ({child.returncode}):\n{text[-2000:]}")
    return wall, usage.ru_maxrss / 1024, text


def startup_seconds() -> float:
    """Interpreter start and the imports a search needs before reading anything (best of 3)."""
    code = "import vornik_tamrel.cli, vornik_tamrel.search"
    return min(run([sys.executable, "-c", code])[0] for _ in range(3))


def ours(files: list[str], fasta: str, threads: int, extra: list[str], work: Path) -> dict:
    out = work / "ours"
    shutil.rmtree(out, ignore_errors=True)
    wall, peak, _ = run([str(CLI), "search", *files, "--fasta", fasta, "-o", str(out), "--threads", str(threads),
                         "-q", *extra])
    summary = json.loads((out / "summary.json").read_text())
    return {"wall": wall, "peak_mb": peak, "phases": summary.get("timings_seconds", {}), "psms": summary.get("psms_at_fdr"),
            "peptides": summary.get("peptides_at_fdr"), "spectra": summary.get("spectra")}


def comet(files: list[str], fasta: str, params: str, threads: int, work: Path) -> dict:
    text = re.sub(r"(?m)^num_threads\s*=.*$", f"num_threads = {threads}", Path(params).read_text())
    (work / "comet.params").write_text(text)
    wall, peak, _ = run(["comet-ms", "-Pcomet.params", f"-D{os.path.abspath(fasta)}", "-Ncomet",
                         *map(os.path.abspath, files)], cwd=work)
    return {"wall": wall, "peak_mb": peak}


def tandem(files: list[str], fasta: str, template: str, threads: int, work: Path) -> dict:
    (work / "taxonomy.xml").write_text(
        '<?xml version="1.0"?>\n<bioml label="x! taxon-to-file matching list">\n  <taxon label="td">\n'
        f'    <file format="peptide" URL="{os.path.abspath(fasta)}" />\n  </taxon>\n</bioml>\n')
    total, peak = 0.0, 0.0
    for k, path in enumerate(files):
        text = Path(template).read_text()
        for key, value in {"@SPECTRA@": os.path.abspath(path), "@OUTPUT@": f"tandem{k}.xml",
                           "@TAXONOMY@": "taxonomy.xml", "@THREADS@": str(threads)}.items():
            text = text.replace(key, value)
        (work / "tandem_input.xml").write_text(text)
        wall, rss, _ = run(["tandem", "tandem_input.xml"], cwd=work)
        total, peak = total + wall, max(peak, rss)
    return {"wall": total, "peak_mb": peak}


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    extra = argv[argv.index("--") + 1:] if "--" in argv else []
    argv = argv[: argv.index("--")] if "--" in argv else argv
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("spectra", nargs="+")
    parser.add_argument("--fasta", required=True, help="target proteins (this engine adds decoys)")
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=1, help="runs of this engine (the fastest is shown)")
    parser.add_argument("--comet-params", help="run Comet with this params file")
    parser.add_argument("--tandem-input", help="run X!Tandem with this input template")
    parser.add_argument("--peer-fasta", help="target-decoy FASTA for the peers (default: --fasta)")
    parser.add_argument("--workdir", help="keep outputs here (default: a temporary directory)")
    args = parser.parse_args(argv)
    if not CLI.exists():
        raise SystemExit(f"{CLI} not found: install the package into this interpreter's environment")

    work = Path(args.workdir or tempfile.mkdtemp(prefix="pipeline-"))
    work.mkdir(parents=True, exist_ok=True)
    peer_fasta = args.peer_fasta or args.fasta
    rows = {}
    if args.tandem_input:
        rows["X!Tandem"] = tandem(args.spectra, peer_fasta, args.tandem_input, args.threads, work)
    if args.comet_params:
        rows["Comet"] = comet(args.spectra, peer_fasta, args.comet_params, args.threads, work)
    runs = [ours(args.spectra, args.fasta, args.threads, extra, work) for _ in range(args.repeat)]
    rows["vornik-tamrel"] = min(runs, key=lambda r: r["wall"])
    startup = startup_seconds()

    print(f"{len(args.spectra)} spectrum file(s), {args.fasta}, {args.threads} thread(s); load {os.getloadavg()[0]:.1f}")
    print(f"{'engine':<14}{'wall s':>9}{'peak RSS MB':>13}   ratio of ours")
    mine = rows["vornik-tamrel"]
    for name, row in rows.items():
        ratio = "" if name == "vornik-tamrel" else f"   {mine['wall'] / row['wall']:.3f}x wall"
        print(f"{name:<14}{row['wall']:>9.2f}{row['peak_mb']:>13.0f}{ratio}")
    print("phases of vornik-tamrel (s):")
    print(f"  {'start-up and imports':<22}{startup:>8.2f}")
    for phase, seconds in mine["phases"].items():
        print(f"  {phase:<22}{seconds:>8.2f}")
    print(f"  {'unaccounted':<22}{mine['wall'] - startup - sum(mine['phases'].values()):>8.2f}")
    scoring = mine["phases"].get("scoring")
    if scoring and mine["spectra"]:
        print(f"scoring: {mine['spectra'] / scoring:.0f} spectra/s ({mine['spectra']} spectra, every pass included)")
    print(f"accepted at 1% FDR: {mine['psms']} PSMs, {mine['peptides']} peptides; outputs in {work / 'ours'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
