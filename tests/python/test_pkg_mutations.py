"""Readers on damaged files: cut at every byte, bits flipped. Each read gives a clean error naming the file or
a valid result, never another exception or a crash (vornik_tamrel.spectra, .fasta)."""
import gzip

import pytest

np = pytest.importorskip("numpy")
hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402

from test_pkg_spectra import MGF, MS1, MS2_A, MS2_B, mzml  # noqa: E402
from vornik_tamrel.errors import FastaError, SpectrumFileError  # noqa: E402
from vornik_tamrel.fasta import read_fasta  # noqa: E402
from vornik_tamrel.spectra import MAX_CHARGE, MAX_PRECURSOR_MZ, read_spectra  # noqa: E402

FASTA = ">sp|P1|ONE first\nPEPTIDEKAAAK\n>P2\nGGKLLR*\n"
FILES = {
    "run.mgf": MGF.encode(),
    "run.mzML": mzml(MS2_A).encode(),
    "run.mzML.gz": gzip.compress(mzml(MS1, MS2_A, MS2_B).encode(), mtime=0),
    "db.fasta": FASTA.encode(),
}


def check(path) -> None:
    """Read `path`: a valid result or an error whose message starts with the file name."""
    if path.name.endswith(".fasta"):
        try:
            proteins = read_fasta(path)
        except FastaError as exc:
            assert str(exc).startswith(str(path)), exc
            return
        assert proteins and all(p.sequence.isalpha() and p.sequence.isupper() for p in proteins)
        return
    try:
        spectra = read_spectra(path)
    except SpectrumFileError as exc:
        assert str(exc).startswith(str(path)), exc
        return
    assert spectra and len({s.id for s in spectra}) == len(spectra)
    for s in spectra:
        assert 0 < s.precursor_mz <= MAX_PRECURSOR_MZ and (s.charge is None or 1 <= s.charge <= MAX_CHARGE)
        assert s.mass.dtype == s.intensity.dtype == np.float32 and len(s.mass) == len(s.intensity)
        assert np.all(np.diff(s.mass) >= 0) and np.all(s.intensity > 0) and np.all(np.isfinite(s.intensity))


@pytest.mark.filterwarnings("ignore::UserWarning")  # pyteomics, and repeated titles
@pytest.mark.parametrize("name", FILES)
def test_cut_at_every_byte(tmp_path, name):
    path = tmp_path / name
    data = FILES[name]
    for end in range(len(data)):
        path.write_bytes(data[:end])
        check(path)


@pytest.mark.filterwarnings("ignore::UserWarning")
@pytest.mark.parametrize("name", FILES)
@settings(max_examples=100, derandomize=True, database=None, deadline=None)
@given(flips=st.lists(st.tuples(st.floats(0, 1, exclude_max=True), st.integers(0, 7)), min_size=1, max_size=4))
def test_bit_flips(tmp_path_factory, name, flips):
    data = bytearray(FILES[name])
    for where, bit in flips:
        data[int(where * len(data))] ^= 1 << bit
    path = tmp_path_factory.mktemp("flip") / name
    path.write_bytes(bytes(data))
    check(path)
