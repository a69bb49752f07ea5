"""Tiny searches whose best match is known: shared by the result tests.

Peptide masses only need to be ascending and close to what the precursor
says; the spectrum peaks are taken from the database's own fragment index,
so the chosen peptide matches every peak exactly.
"""

from array import array

import _vornik_tamrel as vt

RESIDUE = {
    "G": 57.02146, "A": 71.03711, "S": 87.03203, "P": 97.05276, "V": 99.06841,
    "T": 101.04768, "C": 103.00919, "L": 113.08406, "I": 113.08406, "N": 114.04293,
    "D": 115.02694, "Q": 128.05858, "K": 128.09496, "E": 129.04259, "M": 131.04049,
    "H": 137.05891, "F": 147.06841, "R": 156.10111, "Y": 163.06333, "W": 186.07931,
}
WATER = 18.010565
PROTON = 1.0072764
ISOTOPE = 1.00335

# The 38 result columns in declaration order.
COLUMNS = [
    "file_id", "spec_id", "psm_id", "rank", "sequence", "modifications", "peptide_len",
    "missed_cleavages", "expmass", "calcmass", "charge", "delta_mass", "isotope_error",
    "average_ppm", "hyperscore", "delta_next", "delta_best", "poisson", "discriminant_score",
    "matched_peaks", "matched_intensity_pct", "longest_b", "longest_y", "longest_y_pct",
    "scored_candidates", "ms2_intensity", "rt", "aligned_rt", "predicted_rt", "delta_rt_model",
    "ims", "predicted_ims", "delta_ims_model", "label", "spectrum_q", "peptide_q", "protein_q",
    "posterior_error",
]

SEQUENCES = ["GAGAGAK", "SAMPLER", "LESLIEK", "PEPTIDEK"]


def mono(seq):
    return WATER + sum(RESIDUE.get(r, 0.0) for r in seq)


def build_db(seqs=SEQUENCES, decoys=False, masses=None):
    """Peptides in ascending mass order; returns (db, sequences in db order)."""
    masses = masses or {s: mono(s) for s in seqs}
    ordered = sorted(seqs, key=lambda s: masses[s])
    peptides = [vt.PyPeptide(s, masses[s], None) for s in ordered]
    db = vt.PyIndexedDatabase.from_peptides_and_config(
        peptides, 8, [vt.PyKind.B(), vt.PyKind.Y()], 0, decoys, "rev_", 0.0, 5000.0)
    return db, ordered


def fragment_masses(db, idx):
    return sorted(m for m, p in db.debug_fragment_summary() if p == idx)


def fragments_by_peptide(db):
    out = {}
    for m, p in db.debug_fragment_summary():
        out.setdefault(p, []).append(m)
    return {p: sorted(ms) for p, ms in out.items()}


def spectrum(db, idx, mass, spec_id="scan=17", file_id=3, rt=12.5, charge=2,
             isotope=0, intensities=None, precursors=None, tic=1000.0, masses=None):
    """A spectrum holding every fragment of peptide `idx` of `db` as a peak,
    with a precursor at `mass` shifted by `isotope` isotope steps."""
    if masses is None:
        masses = fragment_masses(db, idx)
    if intensities is None:
        intensities = [100.0 + i for i in range(len(masses))]
    if precursors is None:
        precursors = [vt.PyPrecursor((mass + isotope * ISOTOPE) / charge + PROTON, charge)]
    return vt.PyProcessedSpectrum(spec_id, file_id, rt, array("f", masses),
                                  array("f", intensities), precursors, tic)


def scorer(**kw):
    settings = dict(wide_window=False, chimera=False)
    settings.update(kw)
    return vt.PyScorer(vt.PyTolerance.Da(-0.02, 0.02), vt.PyTolerance.Ppm(-10.0, 10.0), **settings)


def search(seq="PEPTIDEK", **kw):
    """(db, spectrum) where `seq` is the best match."""
    db, ordered = build_db()
    return db, spectrum(db, ordered.index(seq), mono(seq), **kw)


def many_spectra(db, ordered, count, prefix="scan="):
    """`count` spectra cycling through the peptides of `db`, with varied
    charges, isotope offsets and intensities."""
    fragments = fragments_by_peptide(db)
    out = []
    for i in range(count):
        idx = i % len(ordered)
        masses = fragments[idx]
        out.append(spectrum(db, idx, mono(ordered[idx]), spec_id=prefix + str(i), file_id=i % 3,
                            rt=0.5 * i, charge=2 + i % 2, isotope=(i // len(ordered)) % 2,
                            intensities=[10.0 + (i * 7 + k * 13) % 97 for k in range(len(masses))],
                            masses=masses))
    return out
