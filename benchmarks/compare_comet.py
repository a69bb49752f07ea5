"""Side by side with Comet on the bundled demo data.

    apt-get install comet-ms          # Debian's package (2019.01 rev. 5 on bookworm)
    python benchmarks/compare_comet.py [--workdir DIR] [--threads N] [--repeat N]

Both engines search the same spectra (the bundled BSA1 MS2 scans, written
once as an uncompressed indexed mzML, which Comet requires) against the same
FASTA with equivalent settings: trypsin, 1 missed cleavage, fixed
carbamidomethyl C, variable oxidised M (at most 2 per peptide), 10 ppm
precursor tolerance with isotope errors 0 and 1, ion-trap fragment tolerance
(Comet: 1.0005 Da bins, offset 0.4; here +/-0.5 Da), fragment charges up to
2, precursor charges 2 to 4 where a scan states none, peptides of 7 to 50
residues and 500 to 5000 Da, concatenated reversed decoys. This engine keeps
the 75 most intense peaks of each spectrum, as its demo does for ion-trap
spectra (Comet has no such cut; it preprocesses the whole spectrum).

Both results go through the same error control: each spectrum's best match,
q-value = decoys / targets above the score (vornik_tamrel.fdr.qvalues), and
the same at the peptide level with peptides written as plain sequences with
oxidised methionines in lower case. Comet is ranked by its E-value, this
engine both by its hyperscore and by the rescored discriminant it reports;
a last row counts what this engine's own q-values accept (their decoy
count never below the fitted decoy tail), and a second Comet row what
those q-values accept of Comet's E-values.

Prints one table: wall and CPU times (and this engine's phases), PSMs and
distinct peptides at 1% FDR, and the overlap of identified spectra and
peptides. CPU time is the fairer measure on a machine shared with other work.
"""
from __future__ import annotations

import argparse
import gzip
import json
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

REPO = Path(__file__).resolve().parent.parent
sys.path.append(str(REPO / "python"))  # an installed package (with its compiled parts) comes first

from vornik_tamrel.fdr import peptide_qvalues, qvalues  # noqa: E402

SPECTRA = REPO / "data" / "BSA1_ms2.mzML.gz"
FASTA = REPO / "data" / "18proteins_contaminants.fasta"
FDR = 0.01

COMET_SETTINGS = {
    "decoy_search": "1", "peptide_mass_tolerance": "10.0", "peptide_mass_units": "2", "isotope_error": "1",
    "search_enzyme_number": "1", "num_enzyme_termini": "2", "allowed_missed_cleavage": "1",
    "variable_mod01": "15.9949 M 0 2 -1 0 0 0.0", "max_variable_mods_in_peptide": "2",
    "fragment_bin_tol": "1.0005", "fragment_bin_offset": "0.4", "theoretical_fragment_ions": "1",
    "output_txtfile": "1", "output_pepxmlfile": "0", "output_sqtfile": "0", "output_percolatorfile": "0",
    "num_output_lines": "1", "precursor_charge": "2 4", "max_fragment_charge": "2",
    "digest_mass_range": "501.007276 5001.007276", "peptide_length_range": "7 50", "clip_nterm_methionine": "0",
}

OUR_OPTIONS = ["--missed-cleavages", "1", "--fixed-mod", "C:57.021464", "--variable-mod", "M:15.994915",
               "--max-variable-mods", "2", "--precursor-tol", "10", "--isotope-errors", "0:1",
               "--fragment-tol", "0.5", "--fragment-unit", "da", "--max-fragment-charge", "2",
               "--charges", "2:4", "--min-length", "7", "--max-length", "50",
               "--min-mass", "500", "--max-mass", "5000", "--max-peaks", "75"]


def write_indexed_mzml(source: Path, target: Path) -> list[str]:
    """Uncompress the demo file into an indexed mzML; returns the native ids in file order."""
    data = gzip.decompress(source.read_bytes())
    body = data[data.index(b"?>") + 2 :].lstrip()
    out = (b'<?xml version="1.0" encoding="UTF-8"?>\n'
           b'<indexedmzML xmlns="http://psi.hupo.org/ms/mzml" '
           b'xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" '
           b'xsi:schemaLocation="http://psi.hupo.org/ms/mzml '
           b'http://psidev.info/files/ms/mzML/xsd/mzML1.1.0_idx.xsd">\n' + body + b"\n")
    offsets = [(m.group(1), m.start()) for m in re.finditer(rb'<spectrum [^>]*?id="([^"]+)"', out)]
    index_at = len(out)
    out += b'<indexList count="1">\n<index name="spectrum">\n'
    out += b"".join(b'<offset idRef="%s">%d</offset>\n' % (i, o) for i, o in offsets)
    out += b"</index>\n</indexList>\n<indexListOffset>%d</indexListOffset>\n" % index_at
    out += b"<fileChecksum>0</fileChecksum>\n</indexedmzML>\n"
    target.write_bytes(out)
    return [i.decode() for i, _ in offsets]


def comet_params(template: str, fasta: str, threads: int) -> str:
    settings = dict(COMET_SETTINGS, database_name=str(fasta), num_threads=str(threads))
    for key, value in settings.items():
        template, n = re.subn(rf"(?m)^{re.escape(key)} = [^#\n]*", f"{key} = {value} ", template)
        if n != 1:
            raise SystemExit(f"comet.params template has no single {key!r} entry")
    return template


def timed(command, **kwargs) -> tuple[float, float, subprocess.CompletedProcess]:
    """Run a command; returns (wall seconds, CPU seconds of the child, completed process)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    clock = time.perf_counter()
    run = subprocess.run(command, capture_output=True, text=True, **kwargs)
    wall = time.perf_counter() - clock
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime), run


def run_comet(workdir: Path, mzml: Path, fasta: str, threads: int) -> tuple[float, float, pd.DataFrame]:
    comet = shutil.which("comet-ms") or shutil.which("comet")
    if comet is None:
        raise SystemExit("comet-ms not found: apt-get install comet-ms")
    subprocess.run([comet, "-p"], cwd=workdir, check=True, capture_output=True)
    (workdir / "comet.params").write_text(comet_params((workdir / "comet.params.new").read_text(), fasta, threads))
    wall, cpu, run = timed([comet, "-Pcomet.params", mzml.name], cwd=workdir)
    result = workdir / (mzml.stem + ".txt")
    if run.returncode != 0 or not result.exists():
        raise SystemExit(f"Comet failed:\n{run.stdout}\n{run.stderr}")
    # data rows end in a tab the header lacks: index_col=False keeps the columns aligned
    return wall, cpu, pd.read_csv(result, sep="\t", skiprows=1, index_col=False)


def run_ours(workdir: Path, mzml: Path, fasta: str, threads: int) -> tuple[float, float, dict, pd.DataFrame]:
    outdir = workdir / "vornik-tamrel"
    command = [sys.executable, "-m", "vornik_tamrel", "search", str(mzml), "--fasta", fasta,
               "-o", str(outdir), "--threads", str(threads), "-q", *OUR_OPTIONS]
    wall, cpu, run = timed(command)  # the installed package: its compiled parts live there
    if run.returncode != 0:
        raise SystemExit(f"vornik-tamrel failed:\n{run.stdout}\n{run.stderr}")
    summary = json.loads((outdir / "summary.json").read_text())
    return wall, cpu, summary, pd.read_parquet(outdir / "psms.parquet")


def canonical_comet(modified: str) -> str:
    """Comet's `K.PEPTM[15.9949]IDEK.L` (one flanking residue or `-` on each side) as `PEPTmIDEK`; the
    flanks are cut as the first and last two characters, since the modification's mass has a dot too."""
    flanked = re.fullmatch(r".\.(.+)\..", modified)
    return re.sub(r"M\[15\.99\d*\]", "m", flanked.group(1) if flanked else modified)


def canonical_ours(sequence: str, mods) -> str:
    return "".join("m" if aa == "M" and abs(m - 15.9949) < 0.01 else aa for aa, m in zip(sequence, list(mods)[1:-1]))


def identified(keys, peptides, scores, is_decoy, tail: bool = False) -> tuple[set, set]:
    keys, peptides = np.asarray(keys, dtype=object), np.asarray(peptides, dtype=object)
    scores, is_decoy = np.asarray(scores, dtype=np.float64), np.asarray(is_decoy, dtype=bool)
    psm_q = qvalues(scores, is_decoy, tail=tail)
    pep_q = peptide_qvalues(peptides, scores, is_decoy, tail=tail)
    spectra = set(keys[(~is_decoy) & (psm_q <= FDR)].tolist())
    peps = set(peptides[(~is_decoy) & (pep_q <= FDR)].tolist())
    return spectra, peps


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--workdir", help="keep inputs and outputs here (default: a temporary directory)")
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 1, help="threads for both engines")
    parser.add_argument("--fasta", default=str(FASTA), help="protein database (default: the bundled one)")
    parser.add_argument("--repeat", type=int, default=1, metavar="N",
                        help="run both engines N times in turn; times are the medians (identifications: the last run)")
    args = parser.parse_args()
    workdir = Path(args.workdir or tempfile.mkdtemp(prefix="compare-comet-"))
    workdir.mkdir(parents=True, exist_ok=True)
    mzml = workdir / "BSA1_ms2.mzML"
    native_ids = write_indexed_mzml(SPECTRA, mzml)

    fasta = str(Path(args.fasta).resolve())
    pairs = []  # each engine in turn, so that both meet the same load
    for _ in range(args.repeat):
        comet_wall, comet_cpu, comet = run_comet(workdir, mzml, fasta, args.threads)
        our_wall, our_cpu, summary, ours = run_ours(workdir, mzml, fasta, args.threads)
        pairs.append((comet_wall, comet_cpu, our_wall, our_cpu))
    comet_wall, comet_cpu, our_wall, our_cpu = (float(np.median(column)) for column in zip(*pairs))

    comet = comet.loc[comet["num"] == 1]
    comet_keys = [native_ids[s - 1] for s in comet["scan"]]  # Comet numbers the scans of this file from 1
    comet_decoy = comet["protein"].astype(str).str.startswith("DECOY_")
    comet_peps = [canonical_comet(p) for p in comet["modified_peptide"]]
    comet_score = -np.log10(comet["e-value"].clip(lower=1e-300))
    comet_ids = identified(comet_keys, comet_peps, comet_score, comet_decoy)
    comet_tail = identified(comet_keys, comet_peps, comet_score, comet_decoy, tail=True)

    ours = ours.loc[ours["rank"] == 1]
    our_peps = [canonical_ours(s, m) for s, m in zip(ours["sequence"], ours["modifications"])]
    our_hyper = identified(ours["spec_id"], our_peps, ours["hyperscore"], ours["label"] == -1)
    our_final = identified(ours["spec_id"], our_peps, ours["discriminant_score"], ours["label"] == -1)
    target = ours["label"].to_numpy() != -1
    our_own = (set(ours["spec_id"][target & (ours["spectrum_q"] <= FDR)]),
               set(np.asarray(our_peps, dtype=object)[target & (ours["peptide_q"] <= FDR).to_numpy()].tolist()))

    timings = summary["timings_seconds"]
    phases = ", ".join(f"{k} {v:.2f}" for k, v in timings.items())
    startup = pairs[-1][2] - sum(timings.values())  # of the run whose phases these are
    print(f"{len(native_ids)} MS2 spectra of {SPECTRA.name} against {Path(fasta).name}; {args.threads} thread(s)")
    print()
    print(f"{'':34} {'wall s':>7} {'CPU s':>6} {'PSMs':>6} {'peptides':>9}")
    rows = (("Comet 2019.01 (E-value)", comet_wall, comet_cpu, comet_ids),
            ("Comet, by our q-values", comet_wall, comet_cpu, comet_tail),
            ("vornik-tamrel (hyperscore)", our_wall, our_cpu, our_hyper),
            ("vornik-tamrel (rescored)", our_wall, our_cpu, our_final),
            ("vornik-tamrel (its q-values)", our_wall, our_cpu, our_own))
    for name, wall, cpu, (spectra, peps) in rows:
        print(f"{name:34} {wall:7.2f} {cpu:6.2f} {len(spectra):6d} {len(peps):9d}")
    print(f"  phases (s): {phases}; interpreter start-up and imports {startup:.2f}")
    print(f"  ratio ours / Comet: wall time {our_wall / comet_wall:.2f}, CPU time {our_cpu / comet_cpu:.2f}")
    if len(pairs) > 1:
        print(f"  medians of {len(pairs)} runs in turn; wall ratio of each pair: "
              + ", ".join(f"{ours_wall / theirs:.2f}" for theirs, _, ours_wall, _ in pairs))
    print()
    for label, (spectra, peps) in (("hyperscore", our_hyper), ("rescored", our_final)):
        print(f"overlap at {FDR:.0%} FDR, Comet vs vornik-tamrel ({label}):")
        print(f"  spectra: both {len(spectra & comet_ids[0])}, Comet only {len(comet_ids[0] - spectra)}, "
              f"ours only {len(spectra - comet_ids[0])}")
        print(f"  peptides: both {len(peps & comet_ids[1])}, Comet only {len(comet_ids[1] - peps)}, "
              f"ours only {len(peps - comet_ids[1])}")
    print(f"\noutputs kept in {workdir}")


if __name__ == "__main__":
    main()
