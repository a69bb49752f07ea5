"""The streamed search against the public engine: the index fed as columns and
the spectra scored batch by batch while the next is read give the same rows,
bit for bit, as PyPeptide objects, PyProcessedSpectrum objects and
PyScorer.score_many_spectra over everything at once."""
import struct
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")
import _vornik_tamrel as vt  # noqa: E402
from vornik_tamrel import search  # noqa: E402
from vornik_tamrel.digest import ENZYMES  # noqa: E402
from vornik_tamrel.fasta import read_fasta  # noqa: E402
from vornik_tamrel.spectra import read_spectra  # noqa: E402

DATA = Path(__file__).resolve().parents[2] / "data"
FILES = [str(DATA / "BSA1_ms2.mzML.gz")] * 2  # the same run twice: two file numbers, batches across files
FASTA = str(DATA / "18proteins_contaminants.fasta")


def public_rows(files, settings, report_psms=None):
    peptides = search.digest_fasta(FASTA, settings, read_fasta(FASTA))
    db = vt.PyIndexedDatabase.from_peptides_and_config(
        [vt.PyPeptide(*row) for row in zip(peptides.sequences, peptides.masses.tolist(), peptides.modifications,
                                           peptides.nterm, peptides.cterm)],
        settings.bucket_size, [vt.PyKind.B(), vt.PyKind.Y()], settings.min_ion_index, True, settings.decoy_tag,
        0.0, 0.0)
    frag = settings.fragment_tol
    scorer = vt.PyScorer(
        vt.PyTolerance.Ppm(-settings.precursor_ppm, settings.precursor_ppm),
        vt.PyTolerance.Da(-frag, frag) if settings.fragment_unit == "da" else vt.PyTolerance.Ppm(-frag, frag),
        wide_window=settings.wide_window, chimera=settings.chimera, report_psms=report_psms or settings.report_psms,
        min_isotope_err=settings.min_isotope_err, max_isotope_err=settings.max_isotope_err,
        min_precursor_charge=settings.min_precursor_charge, max_precursor_charge=settings.max_precursor_charge,
        min_matched_peaks=settings.matched_peaks, annotate_matches=False,
        max_fragment_charge=settings.max_fragment_charge)
    spectra = []
    for file_id, path in enumerate(files):
        for s in read_spectra(path, file_id, settings.peaks):
            window = None if s.isolation_window is None else vt.PyTolerance.Da(-s.isolation_window[0],
                                                                                 s.isolation_window[1])
            precursor = vt.PyPrecursor(s.precursor_mz, s.charge, s.precursor_intensity, window,
                                       s.inverse_ion_mobility)
            spectra.append(vt.PyProcessedSpectrum(s.id, s.file_id, s.scan_start_time, s.mass, s.intensity,
                                                  [precursor], s.total_ion_current))
    return scorer.score_many_spectra(db, spectra), len(spectra)


def decoys_first(rows, report):
    """Each spectrum's rows of equal hyperscore with decoys first, cut to `report` rows; rank and delta_next
    belong to the position."""
    columns = {name: getattr(rows, name) for name in search.ENGINE_COLUMNS}
    starts = [i for i, r in enumerate(columns["rank"]) if r == 1] + [len(columns["rank"])]
    taken = []
    for a, b in zip(starts, starts[1:]):
        best = sorted(range(a, b), key=lambda i: (-columns["hyperscore"][i], columns["label"][i], i))
        taken += [(i, a + k) for k, i in enumerate(best[:report])]
    return {name: [values[at if name in ("rank", "delta_next") else i] for i, at in taken]
            for name, values in columns.items()}


def missed_cleavages(sequence, enzyme):
    rule, pairs = ENZYMES[enzyme], list(zip(sequence[:-1], sequence[1:]))
    if rule.after:
        return sum(a in rule.residues and b not in rule.unless for a, b in pairs)
    return sum(b in rule.residues and a not in rule.unless for a, b in pairs)


def bits(values):
    return [struct.pack("d", v) if isinstance(v, float) else v for v in values]


@pytest.mark.parametrize("changes", [
    dict(batch_size=97),
    dict(batch_size=500, fragment_tol=200.0, fragment_unit="ppm", report_psms=3, chimera=True,
         min_isotope_err=-1, max_isotope_err=2, max_precursor_charge=5),
], ids=["default", "chimeric-ppm"])
def test_streamed_rows_equal_public_engine_rows(changes):
    settings = search.SearchSettings(**changes)
    found = search._search_here(FILES, FASTA, settings, {}, False, lambda message: None)
    expected, count = public_rows(FILES, settings)
    assert found.spectra == count
    if not settings.chimera:  # none of these rows ties a decoy with a target
        assert decoys_first(expected, settings.report_psms) == {n: getattr(expected, n) for n in search.ENGINE_COLUMNS}
    rows = found.columns
    assert len(rows["rank"]) > 200
    for name in search.ENGINE_COLUMNS:
        if name not in ("psm_id", "missed_cleavages"):  # a serial number; not known to PyPeptide
            got = rows[name].tolist() if hasattr(rows[name], "tolist") else list(rows[name])
            assert bits(got) == bits(getattr(expected, name)), name
    targets = [search.target_of_decoy(s) if label == -1 else s for s, label in zip(rows["sequence"], rows["label"])]
    assert rows["missed_cleavages"].tolist() == [missed_cleavages(t, settings.digest.enzyme) for t in targets]


@pytest.mark.parametrize("report_psms", [1, 3])
def test_decoys_rank_first_among_equal_hyperscores(report_psms):
    """A wide fragment tolerance ties many candidates, targets first in the engine's order: a spectrum's rows
    are its first 25 candidates with decoys first among equal scores, cut to the rows reported."""
    settings = search.SearchSettings(batch_size=300, fragment_tol=50.0, report_psms=report_psms)
    rows = search._search_here(FILES[:1], FASTA, settings, {}, False, lambda message: None).columns
    expected = decoys_first(public_rows(FILES[:1], settings, report_psms=25)[0], report_psms)
    plain = public_rows(FILES[:1], settings)[0]
    assert sum(a != b for a, b in zip(expected["label"], plain.label)) >= 4  # decoys that took a target's place
    for name in search.ENGINE_COLUMNS:
        if name not in ("psm_id", "missed_cleavages"):
            got = rows[name].tolist() if hasattr(rows[name], "tolist") else list(rows[name])
            assert bits(got) == bits(expected[name]), name


@pytest.mark.parametrize("rescore, chimera", [(True, False), (False, False), (True, True)])
def test_a_tolerance_that_matches_every_fragment_identifies_nothing(rescore, chimera):
    settings = search.SearchSettings(fragment_tol=1000.0, rescore=rescore, chimera=chimera, report_psms=2)
    summary = search.run_search(FILES[:1], FASTA, settings, progress=False).summary
    assert summary["psms_at_fdr"] == 0
