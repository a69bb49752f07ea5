"""vornik_tamrel._native.xcorr_evidence: the fragment evidence of scored rows (no numpy: runs under PyPy)."""
import struct
from array import array

import pytest

from scoring_data import mono

native = pytest.importorskip("vornik_tamrel._native")



def ladder_masses(sequence):
    """Neutral b and y fragment masses (charge 1) of an unmodified peptide."""
    total = mono(sequence)
    out, b = [], 0.0
    for residue in sequence[:-1]:
        b += mono(residue) - mono("")
        out += [b, total - b]
    return out


def batch(spectra):
    """Columns of spectra given as lists of (mass, intensity) peaks."""
    offsets, mass, intensity = [0], [], []
    for peaks in spectra:
        for m, i in sorted(peaks):
            mass.append(m)
            intensity.append(i)
        offsets.append(len(mass))
    return dict(peak_offsets=array("q", offsets), mass=array("f", mass), intensity=array("f", intensity))


def rows(entries):
    """Columns of rows (spectrum, sequence, charge), unmodified."""
    return dict(row_spectrum=array("q", [e[0] for e in entries]), sequence=[e[1] for e in entries],
                modification_offsets=array("q", [0] * (len(entries) + 1)), modifications=array("f"),
                calcmass=array("f", [mono(e[1]) for e in entries]), charge=array("B", [e[2] for e in entries]))


SETTINGS = dict(bin_width=1.0005079, bin_offset=0.4, flank_bins=75, max_fragment_charge=2, null_ladders=64)
TRUE, OTHER = "LVNELTEFAKTCVADESHAGCEK", "SAMPLERPEPTIDEGIVESK"


def spectrum_of(sequence, shift):
    return [(m, 1000.0) for m in ladder_masses(sequence)] + [(150.0 + 37.3 * k + shift, 300.0) for k in range(40)]


def evidence(spectra, entries):
    found = native.xcorr_evidence(**batch(spectra), **rows(entries), **SETTINGS)
    return [struct.unpack(f"{len(entries)}f", found[key]) for key in ("xcorr", "log_p", "z")]


def test_true_peptide_stands_out_and_rows_do_not_depend_on_their_batch():
    spectra = [spectrum_of(TRUE, 0.1), spectrum_of(OTHER, 0.2)]
    entries = [(0, TRUE, 2), (0, OTHER, 2), (1, OTHER, 3), (1, TRUE, 3)]
    xcorr, log_p, z = evidence(spectra, entries)
    assert xcorr[0] > xcorr[1] and z[0] > 5 > z[1]
    assert xcorr[2] > xcorr[3] and log_p[2] > log_p[3]
    # each row alone, with its spectrum alone: the same bits (cluster and slices rely on it)
    for i, (s, sequence, charge) in enumerate(entries):
        alone = evidence([spectra[s]], [(0, sequence, charge)])
        assert [column[0] for column in alone] == [column[i] for column in (xcorr, log_p, z)]


@pytest.mark.parametrize("change, error, message", [
    (dict(row_spectrum=array("q", [2])), ValueError, "row_spectrum 2 names no spectrum"),
    (dict(peak_offsets=array("q", [0, 1])), ValueError, "peak_offsets must run from 0 to the number of peaks"),
    (dict(charge=array("B", [2, 2])), ValueError, "charge has 2 entries, expected 1"),
    (dict(modification_offsets=array("q", [0, 3])), ValueError,
     "modification_offsets must run from 0 to the number of modifications"),
    (dict(mass=array("d", [1.0] * 44)), TypeError, "argument 'mass': expected a contiguous buffer of float32"),
    (dict(bin_width=0.0), ValueError, "bin_width and flank_bins must be positive"),
])
def test_bad_columns_are_refused(change, error, message):
    arguments = dict(**batch([spectrum_of(TRUE, 0.0)]), **rows([(0, TRUE, 2)]), **SETTINGS)
    arguments.update(change)
    with pytest.raises(error) as caught:
        native.xcorr_evidence(**arguments)
    assert str(caught.value) == message
