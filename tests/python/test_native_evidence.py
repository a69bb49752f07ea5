"""vornik_tamrel._native.xcorr_evidence: the fragment evidence of scored rows (no numpy: runs under PyPy)."""
import math
import random
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


def tail_index(sequences):
    """The engine's index of unmodified peptides (and their decoys), in ascending 32-bit mass."""
    found = sorted((struct.unpack("f", struct.pack("f", mono(s)))[0], s) for s in sequences)
    offsets = array("q", [0])
    for _, sequence in found:
        offsets.append(offsets[-1] + len(sequence))
    n = len(found)
    return native.build_index("".join(s for _, s in found).encode(), offsets, array("f", [m for m, _ in found]),
                              array("f", [0.0] * offsets[-1]), array("f", [math.nan] * n),
                              array("f", [math.nan] * n), array("B", [0] * n), 64, 2, "rev_")


def test_candidate_tail_sets_a_true_match_apart_and_needs_an_index_and_a_window():
    rng = random.Random(5)
    others = ["".join(rng.choice("ACDEFGHILMNPQSTVWY") for _ in range(rng.randint(18, 24))) + "K" for _ in range(400)]
    index = tail_index(others + [TRUE])
    spectra = [spectrum_of(TRUE, 0.1), [(150.0 + 23.7 * k, 500.0) for k in range(60)]]
    entries = [(0, TRUE, 2), (1, TRUE, 2)]
    found = native.xcorr_evidence(**batch(spectra), **rows(entries), **SETTINGS, index=index, tail_window=300.0)
    true, noise = struct.unpack("2f", found["tail_log_p"])
    assert true > 3.0 > 1.5 > noise >= 0.0
    # Scoring every tenth peptide of the window calibrates about as well.
    sparse = native.xcorr_evidence(**batch(spectra), **rows(entries), **SETTINGS, index=index, tail_window=300.0,
                                   tail_candidates=80)
    assert struct.unpack("2f", sparse["tail_log_p"])[0] > 3.0
    for extra in ({}, dict(index=index), dict(tail_window=300.0)):
        alone = native.xcorr_evidence(**batch(spectra), **rows(entries), **SETTINGS, **extra)
        assert all(math.isnan(v) for v in struct.unpack("2f", alone["tail_log_p"]))
        assert [bytes(alone[k]) for k in ("xcorr", "log_p", "z")] == [bytes(found[k]) for k in ("xcorr", "log_p", "z")]


@pytest.mark.parametrize("change, error, message", [
    (dict(tail_window=-1.0), ValueError, "tail_window must be a finite number, at least 0"),
    (dict(tail_window=math.inf), ValueError, "tail_window must be a finite number, at least 0"),
    (dict(tail_candidates=0), ValueError, "tail_candidates must be positive"),
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
