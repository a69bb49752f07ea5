"""mzIdentML 1.2 output, written with psims.

One SpectrumIdentificationResult per spectrum holding its reported matches
by rank, with q-values, posterior error and retention times as PSI-MS terms
and the engine's scores as user parameters; one PeptideEvidence per peptide
and protein; one ProteinAmbiguityGroup per protein group, with its q-value,
holding a hypothesis per member protein over the matches of its peptides. Modifications are written by mass (as "unknown modification":
the search knows masses, not names). The controlled vocabularies come from
the copies psims bundles, so writing never reaches the network.
"""
from __future__ import annotations

import functools
import os

import numpy as np

from .digest import ENZYMES

UNKNOWN_MODIFICATION = "MS:1001460"
# Enzyme names in the PSI-MS vocabulary.
ENZYME_TERMS = {"trypsin": "Trypsin", "trypsin/p": "Trypsin/P", "lys-c": "Lys-C", "lys-n": "Lys-N",
                "arg-c": "Arg-C", "asp-n": "Asp-N", "glu-c": "glutamyl endopeptidase",
                "chymotrypsin": "Chymotrypsin"}


def _modifications(sequence: str, mods) -> list[dict]:
    """Non-zero masses of the engine's per-position list (N-terminus, residues, C-terminus) as locations."""
    if mods is None or len(mods) != len(sequence) + 2:
        return []
    return [{"location": i, "monoisotopic_mass_delta": float(m), "accession": UNKNOWN_MODIFICATION,
             "name": f"{float(m):+.4f}", "residues": [sequence[i - 1]] if 0 < i <= len(sequence) else None}
            for i, m in enumerate(mods) if m]


def _spectra_format(path: str) -> tuple[str, str]:
    name = path.lower()
    if name.endswith(".mgf") or name.endswith(".mgf.gz"):
        return "Mascot MGF format", "multiple peak list nativeID format"
    return "mzML format", "mzML unique identifier"


def write_mzid(result, path) -> None:
    """Write the PSM table of `result` (a SearchResult) as mzIdentML 1.2 at `path`.

    The searched FASTA (named in the result's summary) is read again for the
    protein sequences and peptide positions.
    """
    from importlib.metadata import PackageNotFoundError, version

    from psims.controlled_vocabulary.controlled_vocabulary import OBOCache
    from psims.mzid import MzIdentMLWriter

    from .fasta import read_fasta

    try:
        software_version = version("vornik-tamrel")
    except PackageNotFoundError:
        software_version = "unknown"
    fasta = result.summary["fasta"]
    sequences = {p.accession: p.sequence for p in read_fasta(fasta)}
    table, settings = result.table, result.settings
    n = len(table["sequence"])
    tag = settings.decoy_tag
    peptide_ids: dict[str, int] = {}
    evidence: dict[tuple[int, str], int] = {}
    accessions: dict[str, int] = {}
    for i in range(n):
        key = table["peptide"][i]
        pid = peptide_ids.setdefault(key, len(peptide_ids) + 1)
        for a in str(table["proteins"][i]).split(";"):
            if a:
                accessions.setdefault(a, len(accessions) + 1)
                evidence.setdefault((pid, a), len(evidence) + 1)

    with MzIdentMLWriter(os.fspath(path), close=True,
                         vocabulary_resolver=OBOCache(enabled=False, use_remote=False)) as f:
        _remember_terms(f)
        f.controlled_vocabularies()
        f.provenance(software=[{"id": 1, "name": "vornik-tamrel", "version": software_version}])
        f.register("SearchDatabase", 1)
        for k in range(len(result.files)):
            f.register("SpectraData", k + 1)
        f.register("SpectrumIdentificationList", 1)
        f.register("SpectrumIdentificationProtocol", 1)
        f.register("ProteinDetectionList", 1)
        f.register("ProteinDetectionProtocol", 1)

        first_row: dict[int, int] = {}
        with f.sequence_collection():
            for a, aid in accessions.items():
                residues = sequences.get(a[len(tag):] if a.startswith(tag) else a)
                f.write_db_sequence(a, sequence=None if a.startswith(tag) else residues, id=aid,
                                    search_database_id=1, length=len(residues) if residues else None)
            for i in range(n):
                pid = peptide_ids[table["peptide"][i]]
                if pid not in first_row:
                    first_row[pid] = i
                    f.write_peptide(str(table["sequence"][i]), pid,
                                    modifications=_modifications(str(table["sequence"][i]), table["modifications"][i]))
            for (pid, a), eid in evidence.items():
                sequence = str(table["sequence"][first_row[pid]])
                decoy = a.startswith(tag)
                residues = sequences.get(a, "") if not decoy else ""
                start = residues.find(sequence)
                f.write_peptide_evidence(pid, accessions[a], eid, start + 1 if start >= 0 else None,
                                         start + len(sequence) if start >= 0 else None, is_decoy=decoy)

        with f.analysis_collection():
            f.SpectrumIdentification(list(range(1, len(result.files) + 1)), [1]).write(f)
            f.ProteinDetection([1]).write(f)
        with f.analysis_protocol_collection():
            digest = settings.digest
            fragment_unit = "dalton" if settings.fragment_unit == "da" else "parts per million"
            f.spectrum_identification_protocol(
                search_type="ms-ms search",
                enzymes=[{"name": ENZYME_TERMS[digest.enzyme], "missed_cleavages": digest.missed_cleavages,
                          "id": 1, "semi_specific": False}],
                modification_params=[{"fixed": fixed, "mass_delta": float(m.mass), "residues": _sites(m),
                                      "params": [{"unknown modification": f"{float(m.mass):+.4f}"}]}
                                     for fixed, mods in ((True, digest.mods.fixed), (False, digest.mods.variable))
                                     for m in mods],
                fragment_tolerance=(settings.fragment_tol, None, fragment_unit),
                parent_tolerance=(settings.precursor_ppm, None, "parts per million"),
                threshold={"PSM:FDR threshold": settings.fdr},
                additional_search_params=["DB composition target+decoy",
                                          {"decoy DB accession regexp": f"^{tag}"}])
            f.protein_detection_protocol(threshold={"protein group-level q-value": settings.fdr})
        with f.data_collection():
            spectra = []
            for k, name in enumerate(result.files):
                file_format, id_format = _spectra_format(name)
                spectra.append({"id": k + 1, "location": os.path.abspath(name), "file_format": file_format,
                                "spectrum_id_format": id_format})
            f.inputs(search_databases=[{"id": 1, "location": os.path.abspath(fasta), "file_format": "FASTA format",
                                        "name": os.path.basename(fasta)}],
                     spectra_data=spectra)
            spectra_items = _items(table)
            with f.analysis_data():
                with f.spectrum_identification_list(id=1):
                    _write_results(f, table, spectra_items, peptide_ids, evidence, settings.fdr)
                if result.proteins is not None:
                    passing = _groups_passing(result.proteins, settings.fdr)
                    with f.protein_detection_list(id=1, count=int(passing.sum())):
                        _write_groups(f, table, result.proteins, spectra_items, peptide_ids, evidence,
                                      accessions, settings.fdr)


def _remember_terms(writer) -> None:
    """Has the writer look each vocabulary term up once: psims looks a modification's term up in every
    vocabulary, Unimod's database included, for every modification it writes (a third of the writing at
    twenty thousand matches). The vocabularies do not change while a file is written."""
    context = writer.context
    if hasattr(context, "_resolve_cv_ref"):  # psims' own lookup; without it, terms are looked up as before
        context._resolve_cv_ref = functools.lru_cache(maxsize=None)(context._resolve_cv_ref)


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


def _write_groups(f, table, groups, spectra_items, peptide_ids, evidence, accessions, fdr: float) -> None:
    from psims.xml import CVParam

    items_of: dict[int, list[str]] = {}  # peptide id: its SpectrumIdentificationItems
    item_id = 0
    for _, _, rows in spectra_items:
        for i in rows:
            item_id += 1
            items_of.setdefault(peptide_ids[table["peptide"][i]], []).append(f"SII_{item_id}")
    evidence_of: dict[str, list[tuple[int, int]]] = {}  # accession: (peptide id, evidence id)
    for (pid, accession), eid in evidence.items():
        evidence_of.setdefault(accession, []).append((pid, eid))
    hypothesis = 0
    passing = _groups_passing(groups, fdr).tolist()
    for k in range(len(groups["group"])):
        q = float(groups["protein_q"][k])
        passed = passing[k]
        members = []
        for accession in str(groups["proteins"][k]).split(";"):
            hypothesis += 1
            members.append({"id": f"PDH_{hypothesis}", "db_sequence_id": accessions[accession],
                            "pass_threshold": passed, "peptide_hypotheses": [
                                {"peptide_evidence_id": eid, "spectrum_identification_ids": items_of[pid]}
                                for pid, eid in evidence_of[accession]]})
        f.write_protein_ambiguity_group(members, id=f"PAG_{int(groups['group'][k])}", params=[
            CVParam("MS:1002373", "protein group-level q-value", "PSI-MS", q),
            CVParam("MS:1002415", "protein group passes threshold", "PSI-MS", "true" if passed else "false")])


def _write_results(f, table, spectra_items, peptide_ids, evidence, fdr: float) -> None:
    from psims.xml import CVParam, UserParam  # terms given by accession: no vocabulary look-up per match

    item_id = 0
    for result_id, (file_id, spec_id, rows) in enumerate(spectra_items, 1):
        items = []
        for i in rows:
            item_id += 1
            pid = peptide_ids[table["peptide"][i]]
            charge = int(table["charge"][i])
            q = float(table["spectrum_q"][i])
            params = [CVParam("MS:1002354", "PSM-level q-value", "PSI-MS", q)] if np.isfinite(q) else []
            params += [CVParam("MS:1002351", "PSM-level local FDR", "PSI-MS", float(table["posterior_error"][i])),
                       UserParam(name="hyperscore", value=float(table["hyperscore"][i]), type="xsd:double"),
                       UserParam(name="discriminant score", value=float(table["discriminant_score"][i]),
                                 type="xsd:double")]
            items.append({
                "id": f"SII_{item_id}", "rank": int(table["rank"][i]), "charge_state": charge,
                "experimental_mass_to_charge": (float(table["expmass"][i]) + charge * 1.007276) / max(charge, 1),
                "calculated_mass_to_charge": (float(table["calcmass"][i]) + charge * 1.007276) / max(charge, 1),
                "peptide_id": pid, "score": None,
                "peptide_evidence_id": [evidence[(pid, a)] for a in str(table["proteins"][i]).split(";") if a],
                "pass_threshold": bool(np.isfinite(q) and q <= fdr and not table["is_decoy"][i]),
                "params": params,
            })
        rt = float(table["rt"][rows[0]])
        f.write_spectrum_identification_result(
            spectrum_id=str(spec_id), id=f"SIR_{result_id}", spectra_data_id=int(file_id) + 1,
            identifications=items,
            params=[CVParam("MS:1000016", "scan start time", "PSI-MS", rt, unit_accession="UO:0000031",
                            unit_name="minute", unit_cv_ref="UO")])
