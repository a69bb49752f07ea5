"""mzIdentML 1.2 output.

One SpectrumIdentificationResult per spectrum holding its reported matches
by rank, with q-values, posterior error and retention times as PSI-MS terms
and the engine's scores as user parameters; one PeptideEvidence per peptide
and protein; one ProteinAmbiguityGroup per protein group, with its q-value,
holding a hypothesis per member protein over the matches of its peptides. Modifications are written by mass (as "unknown modification":
the search knows masses, not names).

The document is written as text, element by element, in the layout of the
psims writer it replaces (element and attribute order, indentation, numbers
as Python writes them), byte for byte but for the creation date; the terms
are written with their PSI-MS accessions, and the vocabularies cited at the
versions psims 1.4 bundles. psims loaded those vocabularies, Unimod's
database among them, for every file (about three seconds), and took as long
again for every ten thousand matches.
"""
from __future__ import annotations

import datetime
import os
import re
import warnings

import numpy as np

from .errors import InputWarning

UNKNOWN_MODIFICATION = "MS:1001460"
# Enzyme names and accessions in the PSI-MS vocabulary.
ENZYME_TERMS = {"trypsin": ("MS:1001251", "Trypsin"), "trypsin/p": ("MS:1001313", "Trypsin/P"),
                "lys-c": ("MS:1001309", "Lys-C"), "lys-n": ("MS:1003093", "Lys-N"),
                "arg-c": ("MS:1001303", "Arg-C"), "asp-n": ("MS:1001304", "Asp-N"),
                "glu-c": ("MS:1001917", "glutamyl endopeptidase"), "chymotrypsin": ("MS:1001306", "Chymotrypsin")}
UNITS = {"da": ("UO:0000221", "dalton"), "ppm": ("UO:0000169", "parts per million")}
NAMESPACE = "http://psidev.info/psi/pi/mzIdentML/1.2"
VOCABULARIES = (
    ("PSI-MS", "https://raw.githubusercontent.com/HUPO-PSI/psi-ms-CV/master/psi-ms.obo", "4.1.258", "PSI-MS"),
    ("UNIT-ONTOLOGY", "http://ontologies.berkeleybop.org/uo.obo", "releases/2026-07-31", "UO"),
    ("UNIMOD", "http://www.unimod.org/obo/unimod.obo", "1.0", "UNIMOD"),
    ("XLMOD", "https://raw.githubusercontent.com/HUPO-PSI/mzIdentML/master/cv/XLMOD.obo", "1.5.4", "XLMOD"),
)
PROTON = 1.007276

_ESCAPES = str.maketrans({"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "\n": "&#10;", "\r": "&#13;",
                          "\t": "&#9;"})
_TEXT_ESCAPES = str.maketrans({"&": "&amp;", "<": "&lt;", ">": "&gt;", "\r": "&#13;"})
_NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff]")


def _text(value, table=_ESCAPES) -> str:
    """An attribute value (or, with `_TEXT_ESCAPES`, element text) as written: booleans in lower case,
    numbers as Python writes them, text escaped."""
    if not isinstance(value, str):
        return ("true" if value else "false") if isinstance(value, bool) else str(value)
    text = str(value)
    if _NOT_XML.search(text):  # characters XML cannot hold, even as references (see `write_mzid`)
        text = _NOT_XML.sub("\ufffd", text)
    return text.translate(table)


def _attributes(*pairs) -> str:
    return "".join(f' {name}="{_text(value)}"' for name, value in pairs if value is not None)


def _cv(accession: str, name: str, value="", unit: tuple | None = None) -> str:
    """A PSI-MS cvParam, with a unit as (vocabulary, accession, name); the names are the vocabulary's own,
    with nothing to escape, as are numbers."""
    text = f'<cvParam cvRef="PSI-MS" accession="{accession}" name="{name}" value="{_text(value)}"'
    if unit is not None:
        text += f' unitCvRef="{unit[0]}" unitAccession="{unit[1]}" unitName="{unit[2]}"'
    return text + "/>"


def _modifications(sequence: str, mods) -> list[tuple[int, float, str | None]]:
    """Non-zero masses of the engine's per-position list (N-terminus, residues, C-terminus) as (location,
    mass, residue; None at either terminus)."""
    if mods is None or len(mods) != len(sequence) + 2:
        return []
    return [(i, float(m), sequence[i - 1] if 0 < i <= len(sequence) else None) for i, m in enumerate(mods) if m]


def _spectra_format(path: str) -> tuple[tuple[str, str], tuple[str, str]]:
    name = path.lower()
    if name.endswith(".mgf") or name.endswith(".mgf.gz"):
        return ("MS:1001062", "Mascot MGF format"), ("MS:1000774", "multiple peak list nativeID format")
    return ("MS:1000584", "mzML format"), ("MS:1001530", "mzML unique identifier")


def write_mzid(result, path) -> None:
    """Write the PSM table of `result` (a SearchResult) as mzIdentML 1.2 at `path`.

    The searched FASTA (named in the result's summary) is read again for the
    protein sequences and peptide positions. Characters XML cannot hold (control
    characters in a spectrum's title or a file's name) are written as U+FFFD,
    with one InputWarning.
    """
    from importlib.metadata import PackageNotFoundError, version

    from .fasta import read_fasta

    try:
        software_version = version("vornik-tamrel")
    except PackageNotFoundError:
        software_version = "unknown"
    fasta = result.summary["fasta"]
    sequences = {p.accession: p.sequence for p in read_fasta(fasta)}
    table, settings = result.table, result.settings
    tag = settings.decoy_tag
    unwritable = [t for t in map(str, [*result.files, *table["spec_id"]]) if _NOT_XML.search(t)]
    if unwritable:
        warnings.warn(f"mzIdentML: {len(unwritable)} spectrum titles or file names hold characters XML cannot hold, "
                      f"written as U+FFFD (first: {unwritable[0]!r})", InputWarning, stacklevel=2)
    peptides = np.asarray(table["peptide"], dtype=object).tolist()
    proteins = [[a for a in str(p).split(";") if a] for p in table["proteins"]]
    peptide_ids: dict[str, int] = {}
    evidence: dict[tuple[int, str], int] = {}
    accessions: dict[str, int] = {}
    for key, found in zip(peptides, proteins):
        pid = peptide_ids.setdefault(key, len(peptide_ids) + 1)
        for a in found:
            accessions.setdefault(a, len(accessions) + 1)
            evidence.setdefault((pid, a), len(evidence) + 1)

    out: list[str] = []
    w = out.append
    created = datetime.datetime.now(datetime.timezone.utc).isoformat()
    w("<?xml version='1.0' encoding='utf-8'?>\n")
    w(f'<MzIdentML xmlns="{NAMESPACE}" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" '
      f'xsi:schemaLocation="{NAMESPACE} ../../schema/mzIdentML1.2.0.xsd" version="1.2.0" '
      f'creationDate="{created}" id="MZIDENTML_0">\n')
    w("  <cvList>\n")
    for full_name, uri, cv_version, cv_id in VOCABULARIES:
        w(f'    <cv fullName="{full_name}" uri="{uri}" version="{cv_version}" id="{cv_id}"/>\n')
    w("  </cvList>\n")
    w(f'  <AnalysisSoftwareList xmlns="{NAMESPACE}">\n'
      f'    <AnalysisSoftware name="vornik-tamrel" version="{_text(software_version)}" id="ANALYSISSOFTWARE_1">\n'
      '      <ContactRole contact_ref="PERSON_DOC_OWNER">\n'
      '        <Role>\n'
      f'          {_cv("MS:1001267", "software vendor")}\n'
      '        </Role>\n'
      '      </ContactRole>\n'
      '      <SoftwareName>\n'
      f'        {_cv("MS:1000799", "custom unreleased software tool", "vornik-tamrel")}\n'
      '      </SoftwareName>\n'
      '    </AnalysisSoftware>\n'
      '  </AnalysisSoftwareList>\n'
      f'  <Provider xmlns="{NAMESPACE}" id="PROVIDER">\n'
      '    <ContactRole contact_ref="PERSON_DOC_OWNER">\n'
      '      <Role>\n'
      f'        {_cv("MS:1001271", "researcher")}\n'
      '      </Role>\n'
      '    </ContactRole>\n'
      '  </Provider>\n'
      f'  <AuditCollection xmlns="{NAMESPACE}">\n'
      '    <Person id="PERSON_DOC_OWNER">\n'
      '      <Affiliation organization_ref="ORG_DOC_OWNER"/>\n'
      '    </Person>\n'
      '    <Organization id="ORG_DOC_OWNER">\n'
      '    </Organization>\n'
      '  </AuditCollection>\n')

    w(f'  <SequenceCollection xmlns="{NAMESPACE}">\n')
    for a, aid in accessions.items():
        decoy = a.startswith(tag)
        residues = sequences.get(a[len(tag):] if decoy else a)
        w(f'    <DBSequence{_attributes(("accession", a))} searchDatabase_ref="SEARCHDATABASE_1"'
          f'{_attributes(("length", len(residues) if residues else None))} id="DBSEQUENCE_{aid}">\n')
        if residues and not decoy:
            w(f"      <Seq>{_text(residues, _TEXT_ESCAPES)}</Seq>\n")
        w("    </DBSequence>\n")
    first_row: dict[int, int] = {}
    sequence_of = np.asarray(table["sequence"], dtype=object).tolist()
    for i, key in enumerate(peptides):
        pid = peptide_ids[key]
        if pid in first_row:
            continue
        first_row[pid] = i
        sequence = str(sequence_of[i])
        w(f'    <Peptide id="PEPTIDE_{pid}">\n      <PeptideSequence>{_text(sequence, _TEXT_ESCAPES)}</PeptideSequence>\n')
        for location, mass, residue in _modifications(sequence, table["modifications"][i]):
            w(f'      <Modification monoisotopicMassDelta="{mass!r}" location="{location}"'
              f'{_attributes(("residues", residue))}>\n'
              f'        {_cv(UNKNOWN_MODIFICATION, "unknown modification", f"{mass:+.4f}")}\n'
              '      </Modification>\n')
        w("    </Peptide>\n")
    for (pid, a), eid in evidence.items():
        sequence = str(sequence_of[first_row[pid]])
        decoy = a.startswith(tag)
        start = -1 if decoy else sequences.get(a, "").find(sequence)
        located = (("start", start + 1), ("end", start + len(sequence))) if start >= 0 else ()
        w(f'    <PeptideEvidence isDecoy="{_text(decoy)}"{_attributes(*located)} peptide_ref="PEPTIDE_{pid}" '
          f'dBSequence_ref="DBSEQUENCE_{accessions[a]}" id="PEPTIDEEVIDENCE_{eid}">\n    </PeptideEvidence>\n')
    w("  </SequenceCollection>\n")

    n_files = len(result.files)
    w(f'  <AnalysisCollection xmlns="{NAMESPACE}">\n'
      '    <SpectrumIdentification spectrumIdentificationList_ref="SPECTRUMIDENTIFICATIONLIST_1" '
      'spectrumIdentificationProtocol_ref="SPECTRUMIDENTIFICATIONPROTOCOL_1" id="SPECTRUMIDENTIFICATION_1">\n')
    for k in range(n_files):
        w(f'      <InputSpectra spectraData_ref="SPECTRADATA_{k + 1}"/>\n')
    w('      <SearchDatabaseRef searchDatabase_ref="SEARCHDATABASE_1"/>\n'
      '    </SpectrumIdentification>\n'
      '    <ProteinDetection proteinDetectionProtocol_ref="PROTEINDETECTIONPROTOCOL_1" '
      'proteinDetectionList_ref="PROTEINDETECTIONLIST_1" id="PROTEINDETECTION_1">\n'
      '      <InputSpectrumIdentifications spectrumIdentificationList_ref="SPECTRUMIDENTIFICATIONLIST_1"/>\n'
      '    </ProteinDetection>\n'
      '  </AnalysisCollection>\n')
    _write_protocols(w, settings)

    w(f'  <DataCollection xmlns="{NAMESPACE}">\n'
      f'    <Inputs xmlns="{NAMESPACE}">\n'
      f'      <SearchDatabase{_attributes(("location", os.path.abspath(fasta)), ("name", os.path.basename(fasta)))}'
      ' id="SEARCHDATABASE_1">\n'
      '        <FileFormat>\n'
      f'          {_cv("MS:1001348", "FASTA format")}\n'
      '        </FileFormat>\n'
      '        <DatabaseName>\n'
      f'          <userParam name="{_text(os.path.basename(fasta))}" value="" type="xsd:string"/>\n'
      '        </DatabaseName>\n'
      '      </SearchDatabase>\n')
    for k, name in enumerate(result.files):
        file_format, id_format = _spectra_format(name)
        w(f'      <SpectraData{_attributes(("location", os.path.abspath(name)))} id="SPECTRADATA_{k + 1}">\n'
          '        <FileFormat>\n'
          f'          {_cv(*file_format)}\n'
          '        </FileFormat>\n'
          '        <SpectrumIDFormat>\n'
          f'          {_cv(*id_format)}\n'
          '        </SpectrumIDFormat>\n'
          '      </SpectraData>\n')
    w('    </Inputs>\n'
      f'    <AnalysisData xmlns="{NAMESPACE}">\n'
      f'      <SpectrumIdentificationList numSequencesSearched="0" xmlns="{NAMESPACE}" '
      'id="SPECTRUMIDENTIFICATIONLIST_1">\n'
      '        <FragmentationTable>\n')
    for measure, name, accession, unit in (
            ("product_ion_mz", "product ion m/z", "MS:1001225", ("PSI-MS", "MS:1000040", "m/z")),
            ("product_ion_intensity", "product ion intensity", "MS:1001226",
             ("PSI-MS", "MS:1000131", "number of detector counts")),
            ("product_ion_mz_error", "product ion m/z error", "MS:1001227", ("PSI-MS", "MS:1000040", "m/z"))):
        w(f'          <Measure name="{name}" id="{measure}">\n'
          f'            {_cv(accession, name, unit=unit)}\n'
          '          </Measure>\n')
    w('        </FragmentationTable>\n')
    spectra_items = _items(table)
    _write_results(w, table, spectra_items, peptides, proteins, peptide_ids, evidence, settings.fdr)
    w('      </SpectrumIdentificationList>\n')
    if result.proteins is not None:
        passing = _groups_passing(result.proteins, settings.fdr)
        w(f'      <ProteinDetectionList xmlns="{NAMESPACE}" id="PROTEINDETECTIONLIST_1">\n')
        _write_groups(w, result.proteins, spectra_items, peptides, peptide_ids, evidence, accessions, passing)
        w(f'        {_cv("MS:1002404", "count of identified proteins", int(passing.sum()), ("PSI-MS", "UO:0000189", "count unit"))}\n'
          '      </ProteinDetectionList>\n')
    w('    </AnalysisData>\n'
      '  </DataCollection>\n'
      '</MzIdentML>')
    with open(path, "w", encoding="utf-8") as handle:
        handle.write("".join(out))


def _write_protocols(w, settings) -> None:
    digest = settings.digest
    unit = ("PSI-MS",) + UNITS[settings.fragment_unit]
    w(f'  <AnalysisProtocolCollection xmlns="{NAMESPACE}">\n'
      '    <SpectrumIdentificationProtocol analysisSoftware_ref="ANALYSISSOFTWARE_1" '
      'id="SPECTRUMIDENTIFICATIONPROTOCOL_1">\n'
      '      <SearchType>\n'
      f'        {_cv("MS:1001083", "ms-ms search")}\n'
      '      </SearchType>\n'
      '      <AdditionalSearchParams>\n'
      f'        {_cv("MS:1002495", "no special processing")}\n'
      f'        {_cv("MS:1001197", "DB composition target+decoy")}\n'
      f'        {_cv("MS:1001283", "decoy DB accession regexp", "^" + re.escape(settings.decoy_tag))}\n'
      '      </AdditionalSearchParams>\n')
    mods = [(fixed, m) for fixed, group in ((True, digest.mods.fixed), (False, digest.mods.variable)) for m in group]
    if mods:
        w('      <ModificationParams>\n')
        for fixed, m in mods:
            mass = float(m.mass)
            w(f'        <SearchModification fixedMod="{_text(fixed)}" massDelta="{mass!r}" '
              f'residues="{_text("".join(_sites(m)))}">\n'
              f'          {_cv(UNKNOWN_MODIFICATION, "unknown modification", f"{mass:+.4f}")}\n'
              '        </SearchModification>\n')
        w('      </ModificationParams>\n')
    accession, name = ENZYME_TERMS[digest.enzyme]
    w('      <Enzymes>\n'
      f'        <Enzyme semiSpecific="false" missedCleavages="{_text(digest.missed_cleavages)}" id="ENZYME_1">\n'
      '          <EnzymeName>\n'
      f'            {_cv(accession, name)}\n'
      '          </EnzymeName>\n'
      '        </Enzyme>\n'
      '      </Enzymes>\n'
      '      <FragmentTolerance>\n'
      f'        {_cv("MS:1001413", "search tolerance minus value", settings.fragment_tol, unit)}\n'
      f'        {_cv("MS:1001412", "search tolerance plus value", settings.fragment_tol, unit)}\n'
      '      </FragmentTolerance>\n'
      '      <ParentTolerance>\n'
      f'        {_cv("MS:1001413", "search tolerance minus value", settings.precursor_ppm, ("PSI-MS",) + UNITS["ppm"])}\n'
      f'        {_cv("MS:1001412", "search tolerance plus value", settings.precursor_ppm, ("PSI-MS",) + UNITS["ppm"])}\n'
      '      </ParentTolerance>\n'
      '      <Threshold>\n'
      f'        {_cv("MS:1002260", "PSM:FDR threshold", settings.fdr)}\n'
      '      </Threshold>\n'
      '    </SpectrumIdentificationProtocol>\n'
      '    <ProteinDetectionProtocol analysisSoftware_ref="ANALYSISSOFTWARE_1" id="PROTEINDETECTIONPROTOCOL_1">\n'
      '      <Threshold>\n'
      f'        {_cv("MS:1002373", "protein group-level q-value", settings.fdr)}\n'
      '      </Threshold>\n'
      '    </ProteinDetectionProtocol>\n'
      '  </AnalysisProtocolCollection>\n')


def _sites(modification) -> list[str]:
    sites = [s for s in modification.sites if s.isalpha()]
    return sites or ["."]


def _items(table) -> list[tuple[int, str, list[int]]]:
    """The identification results: (file, spectrum, its rows by rank), in the table's order of spectra; the
    rows' SpectrumIdentificationItems are numbered from 1 in this order."""
    keys = list(zip(np.asarray(table["file_id"]).tolist(), np.asarray(table["spec_id"]).tolist()))
    rows_of: dict = {}
    for i, key in enumerate(keys):
        rows_of.setdefault(key, []).append(i)
    rank = np.asarray(table["rank"]).tolist()
    return [(file_id, spec_id, sorted(rows, key=rank.__getitem__)) for (file_id, spec_id), rows in rows_of.items()]


def _groups_passing(groups, fdr: float) -> np.ndarray:
    """Which protein groups pass the threshold: target groups at or below the FDR."""
    return (np.asarray(groups["protein_q"], dtype=np.float64) <= fdr) & ~np.asarray(groups["is_decoy"], dtype=bool)


def _write_groups(w, groups, spectra_items, peptides, peptide_ids, evidence, accessions, passing) -> None:
    items_of: dict[int, list[str]] = {}  # peptide id: its SpectrumIdentificationItems
    item_id = 0
    for _, _, rows in spectra_items:
        for i in rows:
            item_id += 1
            items_of.setdefault(peptide_ids[peptides[i]], []).append(f"SII_{item_id}")
    evidence_of: dict[str, list[tuple[int, int]]] = {}  # accession: (peptide id, evidence id)
    for (pid, accession), eid in evidence.items():
        evidence_of.setdefault(accession, []).append((pid, eid))
    hypothesis = 0
    q_values = np.asarray(groups["protein_q"], dtype=np.float64).tolist()
    for k, (group, members, passed) in enumerate(zip(np.asarray(groups["group"]).tolist(), groups["proteins"],
                                                     passing.tolist())):
        w(f'        <ProteinAmbiguityGroup id="PAG_{int(group)}">\n')
        for accession in str(members).split(";"):
            hypothesis += 1
            w(f'          <ProteinDetectionHypothesis dBSequence_ref="DBSEQUENCE_{accessions[accession]}" '
              f'passThreshold="{_text(passed)}" id="PDH_{hypothesis}">\n')
            for pid, eid in evidence_of[accession]:
                w(f'            <PeptideHypothesis peptideEvidence_ref="PEPTIDEEVIDENCE_{eid}">\n')
                for item in items_of[pid]:
                    w(f'              <SpectrumIdentificationItemRef spectrumIdentificationItem_ref="{item}"/>\n')
                w('            </PeptideHypothesis>\n')
            w('          </ProteinDetectionHypothesis>\n')
        w(f'          {_cv("MS:1002373", "protein group-level q-value", q_values[k])}\n'
          f'          {_cv("MS:1002415", "protein group passes threshold", "true" if passed else "false")}\n'
          '        </ProteinAmbiguityGroup>\n')


def _write_results(w, table, spectra_items, peptides, proteins, peptide_ids, evidence, fdr: float) -> None:
    charge = np.asarray(table["charge"]).tolist()
    q_values = np.asarray(table["spectrum_q"], dtype=np.float64).tolist()
    posterior = np.asarray(table["posterior_error"], dtype=np.float64).tolist()
    hyperscore = np.asarray(table["hyperscore"], dtype=np.float64).tolist()
    discriminant = np.asarray(table["discriminant_score"], dtype=np.float64).tolist()
    expmass = np.asarray(table["expmass"], dtype=np.float64).tolist()
    calcmass = np.asarray(table["calcmass"], dtype=np.float64).tolist()
    rank = np.asarray(table["rank"]).tolist()
    decoy = np.asarray(table["is_decoy"], dtype=bool).tolist()
    rt = np.asarray(table["rt"], dtype=np.float64).tolist()
    item_id = 0
    for result_id, (file_id, spec_id, rows) in enumerate(spectra_items, 1):
        w(f'        <SpectrumIdentificationResult spectraData_ref="SPECTRADATA_{int(file_id) + 1}"'
          f'{_attributes(("spectrumID", spec_id))} id="SIR_{result_id}">\n')
        for i in rows:
            item_id += 1
            pid = peptide_ids[peptides[i]]
            z, q = int(charge[i]), q_values[i]
            accepted = q == q and q not in (np.inf, -np.inf)  # a finite q-value
            w(f'          <SpectrumIdentificationItem chargeState="{z}" '
              f'experimentalMassToCharge="{(expmass[i] + z * PROTON) / max(z, 1)!r}" '
              f'passThreshold="{"true" if accepted and q <= fdr and not decoy[i] else "false"}" peptide_ref="PEPTIDE_{pid}" '
              f'rank="{int(rank[i])}" calculatedMassToCharge="{(calcmass[i] + z * PROTON) / max(z, 1)!r}" '
              f'id="SII_{item_id}">\n')
            for a in proteins[i]:
                w(f'            <PeptideEvidenceRef peptideEvidence_ref="PEPTIDEEVIDENCE_{evidence[(pid, a)]}"/>\n')
            if accepted:
                w(f'            {_cv("MS:1002354", "PSM-level q-value", q)}\n')
            w(f'            {_cv("MS:1002351", "PSM-level local FDR", posterior[i])}\n'
              f'            <userParam type="xsd:float" name="hyperscore" value="{hyperscore[i]!r}"/>\n'
              f'            <userParam type="xsd:float" name="discriminant score" value="{discriminant[i]!r}"/>\n'
              '          </SpectrumIdentificationItem>\n')
        w(f'          {_cv("MS:1000016", "scan start time", rt[rows[0]], ("UO", "UO:0000031", "minute"))}\n'
          '        </SpectrumIdentificationResult>\n')
