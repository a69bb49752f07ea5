"""Regenerate the bundled demo files from Debian's openms-doc examples.

    apt-get install openms-doc
    python data/make_demo_data.py

Writes BSA1_ms2.mzML.gz (the MS2 scans of BSA1.mzML, unindexed, gzipped) and
18proteins_contaminants.fasta (the 18-protein mix and its contaminants, i.e.
every entry of the example database except the Sorangium cellulosum proteome).
"""
import gzip
import sys
from pathlib import Path

from lxml import etree

EXAMPLES = Path("/usr/share/doc/openms/examples")
MZML = EXAMPLES / "BSA" / "BSA1.mzML"
FASTA = EXAMPLES / "TOPPAS/data/BSA_Identification/18Protein_SoCe_Tr_detergents_trace.fasta"
NS = {"m": "http://psi.hupo.org/ms/mzml"}


def write_ms2_only(source: Path, target: Path) -> int:
    root = etree.parse(str(source)).getroot()
    # The offset index no longer fits once scans are dropped: keep the bare run.
    mzml = root if root.tag.endswith("}mzML") else root.find("m:mzML", NS)
    spectra = mzml.find(".//m:spectrumList", NS)
    for spectrum in list(spectra):
        level = spectrum.find("m:cvParam[@accession='MS:1000511']", NS)
        if level is None or level.get("value") != "2":
            spectra.remove(spectrum)
    for index, spectrum in enumerate(spectra):
        spectrum.set("index", str(index))
    spectra.set("count", str(len(spectra)))
    data = etree.tostring(mzml, xml_declaration=True, encoding="UTF-8")
    # mtime=0 keeps the archive byte-identical from run to run.
    with open(target, "wb") as raw, gzip.GzipFile(fileobj=raw, mode="wb", compresslevel=9, mtime=0) as out:
        out.write(data)
    return len(spectra)


def write_small_fasta(source: Path, target: Path) -> int:
    kept, keep = [], False
    for line in source.read_text().splitlines():
        if line.startswith(">"):
            keep = "_SORC5" not in line
        if keep:
            kept.append(line)
    target.write_text("\n".join(kept) + "\n")
    return sum(line.startswith(">") for line in kept)


def main() -> None:
    here = Path(__file__).resolve().parent
    if not MZML.exists():
        sys.exit(f"{MZML} not found: apt-get install openms-doc")
    print("spectra:", write_ms2_only(MZML, here / "BSA1_ms2.mzML.gz"))
    print("proteins:", write_small_fasta(FASTA, here / "18proteins_contaminants.fasta"))


if __name__ == "__main__":
    main()
