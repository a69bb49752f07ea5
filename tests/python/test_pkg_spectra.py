"""Reading mzML and MGF files and preparing peaks (vornik_tamrel.spectra)."""
import base64
import gzip
import warnings
import zlib

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("lxml")
from vornik_tamrel.errors import InputWarning, SpectrumFileError  # noqa: E402
from vornik_tamrel.masses import PROTON  # noqa: E402
from vornik_tamrel.spectra import (PeakSettings, ReadAhead, iter_batches, prepare_peaks, read_slice,  # noqa: E402
                                   read_spectra)

HEADER = ('<?xml version="1.0" encoding="UTF-8"?>\n'
          '<mzML xmlns="http://psi.hupo.org/ms/mzml" version="1.1.0">\n<run id="r"><spectrumList count="{n}">\n')
FOOTER = "</spectrumList></run>\n</mzML>\n"


def cv(accession, value="", unit=None):
    unit_attr = f' unitAccession="{unit}"' if unit else ""
    return f'<cvParam cvRef="MS" accession="{accession}" name="x" value="{value}"{unit_attr}/>'


def binary(values, kind, dtype="<f8", compress=False):
    raw = np.asarray(values, dtype=dtype).tobytes()
    if compress:
        raw = zlib.compress(raw)
    return ('<binaryDataArray>' + cv(kind) + cv("MS:1000523" if dtype == "<f8" else "MS:1000521")
            + cv("MS:1000574" if compress else "MS:1000576")
            + f"<binary>{base64.b64encode(raw).decode()}</binary></binaryDataArray>")


def spectrum(native_id, level, mz, intensity, precursor=None, charge=None, rt="60", compress=False, dtype="<f8",
             window=None):
    parts = [f'<spectrum id="{native_id}" index="0" defaultArrayLength="{len(mz)}">', cv("MS:1000511", level),
             "<scanList>", "<scan>", cv("MS:1000016", rt, "UO:0000010"), "</scan>", "</scanList>"]
    if precursor is not None:
        ion = cv("MS:1000744", precursor) + (cv("MS:1000041", charge) if charge else "")
        iso = ""
        if window:
            iso = "<isolationWindow>" + cv("MS:1000828", window[0]) + cv("MS:1000829", window[1]) + "</isolationWindow>"
        parts.append(f"<precursorList><precursor>{iso}<selectedIonList><selectedIon>{ion}"
                     "</selectedIon></selectedIonList></precursor></precursorList>")
    parts.append("<binaryDataArrayList>" + binary(mz, "MS:1000514", dtype, compress)
                 + binary(intensity, "MS:1000515", "<f4", compress) + "</binaryDataArrayList></spectrum>\n")
    return "".join(parts)


def mzml(*spectra):
    return HEADER.format(n=len(spectra)) + "".join(spectra) + FOOTER


MS1 = spectrum("scan=1", 1, [400.0, 500.0], [10.0, 20.0])
MS2_A = spectrum("scan=2", 2, [300.5, 200.25, 5000.0], [5.0, 50.0, 7.0], precursor="500.25", charge="2",
                 window=("1.5", "0.5"))
MS2_B = spectrum("scan=3", 2, [250.0], [3.0], precursor="700.5", rt="1.5", compress=True, dtype="<f4")

MGF = """# comment
CHARGE=3+
BEGIN IONS
TITLE=first spectrum
PEPMASS=500.25 1000
CHARGE=2+
RTINSECONDS=90
300.5 5
200.25\t50
END IONS
BEGIN IONS
TITLE=second
PEPMASS=600.3
400.0 1.5 1+
END IONS
"""


@pytest.fixture(params=["plain", "gzip"])
def write(request, tmp_path):
    def _write(name, text):
        path = tmp_path / name
        data = text.encode() if isinstance(text, str) else text
        if request.param == "gzip":
            path = tmp_path / (name + ".gz")
            data = gzip.compress(data)
        path.write_bytes(data)
        return path
    return _write


def test_mzml_ms2_only_with_precursor_details(write):
    spectra = read_spectra(write("run.mzML", mzml(MS1, MS2_A, MS2_B)), file_id=4)
    assert [s.id for s in spectra] == ["scan=2", "scan=3"]
    a, b = spectra
    assert (a.file_id, a.precursor_mz, a.charge, a.isolation_window) == (4, 500.25, 2, (1.5, 0.5))
    assert a.scan_start_time == pytest.approx(1.0)  # 60 s in minutes
    assert b.charge is None and b.isolation_window is None
    assert a.mass.tolist() == np.float32(np.array([200.25, 300.5]) - PROTON).tolist()  # 5000 m/z is out of range
    assert a.intensity.tolist() == [50.0, 5.0]
    assert a.total_ion_current == 55.0
    assert b.mass.dtype == np.float32 and b.mass.flags["C_CONTIGUOUS"]


def test_profile_mode_spectra_are_read_with_a_warning(write):
    profile = MS2_B.replace("<binaryDataArrayList>", '<cvParam cvRef="MS" accession="MS:1000128" '
                            'name="profile spectrum" value=""/><binaryDataArrayList>', 1)
    with pytest.warns(InputWarning, match=r"run.mzML(.gz)?: 1 of 2 MS2 spectra are in profile mode"):
        assert len(read_spectra(write("run.mzML", mzml(MS1, MS2_A, profile)))) == 2


def test_mgf_spectra_and_global_charge(write):
    first, second = read_spectra(write("run.mgf", MGF))
    assert (first.id, first.precursor_mz, first.precursor_intensity, first.charge) == ("first spectrum", 500.25, 1000.0, 2)
    assert first.scan_start_time == pytest.approx(1.5)
    assert first.mass.tolist() == np.float32(np.array([200.25, 300.5]) - PROTON).tolist()
    assert (second.id, second.charge, second.precursor_intensity) == ("second", 3, None)  # file-wide CHARGE


def test_mgf_after_a_byte_order_mark(write):
    assert [s.id for s in read_spectra(write("bom.mgf", b"\xef\xbb\xbf" + MGF.encode()))] == ["first spectrum", "second"]


@pytest.mark.parametrize("title", ["", "TITLE=\n", "TITLE=  \n"])
def test_mgf_spectra_without_a_title_are_named_by_their_place(write, title):
    text = "".join(f"BEGIN IONS\n{title}PEPMASS=500\n300 1\nEND IONS\n" for _ in range(2))
    assert [s.id for s in read_spectra(write("x.mgf", text))] == ["index=0", "index=1"]  # not '' and ' #2'


@pytest.mark.parametrize("charge, read", [("2+ and 3+", None), ("2-", None), ("-2", None), ("+2", 2), ("0", None)])
def test_mgf_charges_several_or_negative_leave_the_charge_open(write, charge, read):
    text = f"BEGIN IONS\nTITLE=t\nPEPMASS=500\nCHARGE={charge}\n300 1\nEND IONS\n"
    assert read_spectra(write("x.mgf", text))[0].charge == read


BAD_FILES = [
    ("ms1.mzML", mzml(MS1), r"no MS2 spectra to search \(the file holds only MS1 scans, or none\)"),
    ("empty.mgf", "# nothing\n", r"no MS2 spectra to search"),
    ("cut.mgf", MGF[: MGF.index("400.0")], r"truncated: spectrum 'second' opened at line 11 has no END IONS"),
    ("bad.mgf", MGF.replace("300.5 5", "300.5 five"), r"spectrum 'first spectrum' \(line 3\): invalid peak line '300.5 five'"),
    ("nomass.mgf", MGF.replace("PEPMASS=600.3\n", ""), r"spectrum 'second' \(line 11\): missing or invalid PEPMASS"),
    ("nested.mgf", MGF.replace("END IONS\nBEGIN", "BEGIN", 1), r"line 10: BEGIN IONS inside the spectrum opened at line 3 \(missing END IONS\)"),
    ("cut.mzML", mzml(MS1, MS2_A, MS2_B)[:-300], r"truncated or corrupt mzML after spectrum 'scan=2'"),
    ("garbled.mzML", mzml(MS2_A).replace("<binary>", "<binary>@@", 1), r"spectrum 'scan=2': (Invalid|Non-base64|Incorrect|Only base64)"),
    ("charge.mzML", mzml(spectrum("scan=2", 2, [300.5], [5.0], precursor="500", charge="2.5")),
     r"spectrum 'scan=2': invalid charge '2.5'"),
    ("short.mzML", mzml(MS2_A).replace('defaultArrayLength="3"', 'defaultArrayLength="4"'),
     r"spectrum 'scan=2': array holds 3 values, the spectrum declares 4"),
    ("text.mzML", "hello world\n", r"not an mzML or MGF file"),
]


@pytest.mark.parametrize("name, text, message", BAD_FILES, ids=[case[0] for case in BAD_FILES])
def test_bad_files_name_the_file_and_spectrum(write, name, text, message):
    path = write(name, text)
    with pytest.raises(SpectrumFileError, match=message) as info:
        read_spectra(path)
    assert str(info.value).startswith(str(path))


NOT_32_BIT = "is not a positive finite 32-bit number"
BAD_PRECURSORS = [
    ("inf.mgf", MGF.replace("PEPMASS=600.3", "PEPMASS=inf"), "second", f"precursor m/z inf {NOT_32_BIT}"),
    ("nan.mgf", MGF.replace("PEPMASS=600.3", "PEPMASS=NaN"), "second", f"precursor m/z nan {NOT_32_BIT}"),
    ("zero.mgf", MGF.replace("PEPMASS=600.3", "PEPMASS=0"), "second", f"precursor m/z 0.0 {NOT_32_BIT}"),
    ("negative.mgf", MGF.replace("PEPMASS=600.3", "PEPMASS=-600.3"), "second", f"precursor m/z -600.3 {NOT_32_BIT}"),
    ("huge.mgf", MGF.replace("PEPMASS=600.3", "PEPMASS=3.5e38"), "second", f"precursor m/z 3.5e+38 {NOT_32_BIT}"),
    ("charge.mgf", MGF.replace("PEPMASS=600.3", "PEPMASS=600.3\nCHARGE=300+"), "second",
     "charge 300 is out of range (1 to 255)"),
    ("huge.mzML", mzml(MS2_A, MS2_B.replace('value="700.5"', 'value="1e39"')), "scan=3",
     f"precursor m/z 1e+39 {NOT_32_BIT}"),
    ("charge.mzML", mzml(MS2_A, spectrum("scan=3", 2, [250.0], [3.0], precursor="700.5", charge="-2")), "scan=3",
     "charge -2 is out of range (1 to 255)"),
]


@pytest.mark.parametrize("name, text, title, problem", BAD_PRECURSORS, ids=[case[0] for case in BAD_PRECURSORS])
def test_unusable_precursors_are_refused_or_skipped(write, name, text, title, problem):
    path = write(name, text)
    with pytest.raises(SpectrumFileError) as info:
        read_spectra(path)
    assert str(info.value) == f"{path}: spectrum {title!r}: {problem}"
    with pytest.warns(InputWarning) as caught:
        assert len(read_spectra(path, skip_bad_precursors=True)) == 1
    assert [str(w.message) for w in caught] == [
        f"{path}: skipped 1 of 2 spectra with an unusable precursor (first: spectrum {title!r}: {problem})"]


NOT_FINITE = [
    ("rt.mgf", MGF.replace("RTINSECONDS=90", "RTINSECONDS=nan"), "first spectrum", "retention time nan"),
    ("rt_f32.mgf", MGF.replace("RTINSECONDS=90", "RTINSECONDS=6e40"), "first spectrum",
     "retention time 1.0000000000000001e+39"),  # finite, but not once held in 32 bits
    ("rt.mzML", mzml(MS2_A.replace('value="60"', 'value="inf"', 1)), "scan=2", "retention time inf"),
    ("mobility.mgf", MGF.replace("RTINSECONDS=90", "ION_MOBILITY=-inf"), "first spectrum", "ion mobility -inf"),
    ("window.mzML", mzml(MS2_A.replace('value="0.5"', 'value="NaN"', 1)), "scan=2", "isolation window offset nan"),
    ("tic.mgf", MGF.replace("300.5 5", "300.5 3e38\n400.5 3e38"), "first spectrum",
     "sum of the peak intensities inf is not a finite 32-bit"),
]


@pytest.mark.parametrize("name, text, title, problem", NOT_FINITE, ids=[case[0] for case in NOT_FINITE])
def test_values_that_are_not_finite_are_refused(write, name, text, title, problem):
    path = write(name, text)
    with pytest.raises(SpectrumFileError) as info:
        read_spectra(path, skip_bad_precursors=True)
    assert str(info.value).startswith(f"{path}: spectrum {title!r}: {problem} ")
    assert str(info.value).endswith(" is not a finite 32-bit number")


def test_repeated_titles_get_a_suffix(write):
    path = write("twice.mgf", MGF.replace("TITLE=second", "TITLE=first spectrum") + MGF[MGF.index("BEGIN"):])
    with pytest.warns(InputWarning) as caught:
        spectra = read_spectra(path)
    assert [s.id for s in spectra] == ["first spectrum", "first spectrum #2", "first spectrum #3", "second"]
    assert [str(w.message) for w in caught] == [
        f"{path}: 2 spectra repeat an earlier spectrum's title; they are named with a suffix, such as "
        "'first spectrum #2'"]



def _fields(spectra):
    return [(s.id, s.precursor_mz, s.charge, s.scan_start_time, s.mass.tobytes(), s.intensity.tobytes())
            for s in spectra]


@pytest.mark.parametrize("name", ["slices.mgf", "slices.mzML"])
def test_slices_are_the_file_cut_in_order(write, name):
    if name.endswith(".mgf"):  # repeated titles, and an unusable precursor (skipped) among them
        body = MGF[MGF.index("BEGIN"):]
        text = MGF + body + body.replace("PEPMASS=600.3", "PEPMASS=-1") + body
    else:
        text = mzml(MS1, MS2_A, MS2_B, MS1, MS2_B, MS2_A, MS2_A)
    path = write(name, text)
    with warnings.catch_warnings(record=True) as said:
        warnings.simplefilter("always")
        whole = _fields(read_spectra(path, skip_bad_precursors=True))
    for parts in (1, 2, 3, len(whole) + 2):  # more slices than spectra: some are empty
        cut = []
        for part in range(parts):
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                cut.append(_fields(read_slice(path, part, parts, skip_bad_precursors=True)))
            assert [str(w.message) for w in caught] == [str(w.message) for w in said]  # whatever the slice
        assert sum(cut, []) == whole
        assert [len(c) for c in cut] == [(k + 1) * len(whole) // parts - k * len(whole) // parts for k in range(parts)]


def test_a_fault_in_peaks_is_reported_by_the_slice_holding_them(write):
    body = MGF[MGF.index("BEGIN"):]
    path = write("late.mgf", MGF + (body.replace("TITLE=first spectrum", "TITLE=third")
                                          .replace("TITLE=second", "TITLE=fourth").replace("300.5 5", "300.5 five")))
    assert [s.id for s in read_slice(path, 0, 2)] == ["first spectrum", "second"]
    with pytest.raises(SpectrumFileError, match=r"spectrum 'third' \(line \d+\): invalid peak line '300.5 five'"):
        read_slice(path, 1, 2)

@pytest.mark.parametrize("limit", [1, 1 << 20])  # one batch held at a time, or the whole files
def test_files_read_ahead_are_read_in_order_with_their_warnings_and_faults(write, limit):
    body = MGF[MGF.index("BEGIN"):]
    files = [write("ahead.mgf", MGF + body), write("ahead.mzML", mzml(MS1, MS2_A, MS2_B, MS2_B)),
             write("ahead_bad.mgf", MGF.replace("300.5 5", "300.5 five"))]

    def read(ahead):
        seen, said = [], []
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                for file_id, path in enumerate(files):
                    for batch in iter_batches(path, file_id, PeakSettings(), 1, ahead=ahead):
                        seen.append((batch.file_id, _fields(batch.spectra())))
                    said.append([str(w.message) for w in caught])
            except SpectrumFileError as exc:
                seen.append(str(exc))
        return seen, said

    ahead = ReadAhead(files, PeakSettings(), 1, limit)
    try:
        assert read(ahead) == read(None)
    finally:
        ahead.close()
    assert read(None)[0][-1].startswith(f"{files[2]}: ")


def test_truncated_gzip_stream(tmp_path):
    path = tmp_path / "cut.mzML.gz"
    path.write_bytes(gzip.compress(mzml(MS2_A, MS2_B).encode())[:-20])
    with pytest.raises(SpectrumFileError, match="cut.mzML.gz: truncated or corrupt"):
        read_spectra(path)


def test_missing_file(tmp_path):
    with pytest.raises(SpectrumFileError, match="nope.mzML: cannot open: No such file or directory"):
        read_spectra(tmp_path / "nope.mzML")


@pytest.mark.filterwarnings("ignore::UserWarning")
def test_numpress_arrays_fall_back_to_pyteomics(tmp_path):
    pytest.importorskip("pyteomics")
    numpress = MS2_A.replace('accession="MS:1000576"', 'accession="MS:1002312"', 1)
    path = tmp_path / "np.mzML"
    path.write_text(mzml(numpress))
    # the lxml reader refuses the array; pyteomics then decodes (and here rejects) it
    with pytest.raises(SpectrumFileError, match="np.mzML"):
        read_spectra(path)


class TestPreparePeaks:
    def test_keeps_most_intense_inside_range_sorted_by_mass(self):
        mz = [100.0, 900.0, 300.0, 500.0, 700.0, 5000.0]
        intensity = [1e6, 1.0, 5.0, 3.0, 4.0, 1e6]
        mass, inten, tic = prepare_peaks(mz, intensity, PeakSettings(max_peaks=3, min_mz=150, max_mz=4000))
        assert inten.tolist() == [5.0, 3.0, 4.0]
        assert mass.tolist() == [np.float32(m - PROTON) for m in (300.0, 500.0, 700.0)]
        assert tic == 12.0

    def test_ties_at_the_cut_keep_the_lower_mz(self):
        mass, inten, _ = prepare_peaks([400.0, 300.0, 200.0], [2.0, 2.0, 9.0], PeakSettings(max_peaks=2, min_mz=0))
        assert mass.tolist() == [np.float32(200.0 - PROTON), np.float32(300.0 - PROTON)]

    def test_drops_unusable_peaks(self):
        mass, inten, tic = prepare_peaks([200.0, 300.0, np.nan, 500.0], [0.0, np.nan, 4.0, 2.0], PeakSettings())
        assert mass.tolist() == [np.float32(500.0 - PROTON)] and tic == 2.0

    def test_intensities_beyond_32_bits_are_dropped_as_the_reader_drops_them(self, tmp_path):
        # 1e39 is infinite in 32 bits and 1e-46 zero: either left every score of the spectrum undefined
        mz, intensity = [200.0, 300.0, 400.0, 500.0, 600.0, 1e39], [1e39, 1e-46, 3.4e38, 2.0, -1e39, 1.0]
        settings = PeakSettings(max_mz=float("inf"))
        mass, inten, tic = prepare_peaks(mz, intensity, settings)
        assert mass.tolist() == np.float32(np.array([400.0, 500.0]) - PROTON).tolist()
        assert inten.tolist() == np.float32([3.4e38, 2.0]).tolist() and tic == np.float32(3.4e38)
        path = tmp_path / "big.mgf"
        path.write_text("BEGIN IONS\nPEPMASS=600\n" + "".join(f"{m} {i!r}\n" for m, i in zip(mz, intensity))
                        + "END IONS\n")
        (read,) = read_spectra(path, settings=settings)
        assert (read.mass.tolist(), read.intensity.tolist(), read.total_ion_current) == (
            mass.tolist(), inten.tolist(), tic)

    def test_proton_subtracted_in_double_then_rounded(self):
        mass, _, _ = prepare_peaks([1000.0], [1.0], PeakSettings())
        assert mass[0] == np.float32(1000.0 - 1.0072764)
        assert mass.dtype == np.float32

    def test_empty_spectrum(self):
        mass, inten, tic = prepare_peaks([], [], PeakSettings())
        assert len(mass) == 0 and tic == 0.0

    @pytest.mark.parametrize("kw, message", [(dict(max_peaks=0), "between 1 and 4294967295, not 0"), (dict(min_mz=500, max_mz=400), "empty")])
    def test_bad_settings(self, kw, message):
        with pytest.raises(ValueError, match=message):
            PeakSettings(**kw)


def test_bundled_demo_file_reads_every_ms2_scan():
    from pathlib import Path
    path = Path(__file__).resolve().parents[2] / "data" / "BSA1_ms2.mzML.gz"
    spectra = read_spectra(path)
    assert len(spectra) == 1120
    first = spectra[0]
    assert (first.id, first.charge, first.isolation_window) == ("spectrum=2442", 2, (1.0, 1.0))
    assert first.precursor_mz == pytest.approx(457.723968505859)
    assert all(len(s.mass) <= 150 and np.all(np.diff(s.mass) >= 0) for s in spectra)


def test_a_search_refused_while_spectra_are_read_ahead_ends_the_interpreter_cleanly(tmp_path):
    # The spectra are read on a thread while the FASTA is read; a FASTA refused at once left that thread
    # inside the native reader, and the interpreter aborted at exit.
    import subprocess
    import sys
    from pathlib import Path

    demo = str(Path(__file__).resolve().parents[2] / "data" / "BSA1_ms2.mzML.gz")
    (tmp_path / "empty.fasta").write_text(">a\n>b\n")
    code = ("import sys, warnings; warnings.simplefilter('ignore'); from vornik_tamrel import run_search, InputError\n"
            "try: run_search(sys.argv[1:], 'empty.fasta', progress=False)\n"
            "except InputError as e: print(e)")
    done = subprocess.run([sys.executable, "-c", code, *[demo] * 4], cwd=tmp_path, capture_output=True, text=True,
                          timeout=120)
    assert (done.returncode, done.stdout, done.stderr) == (0, "empty.fasta: no protein sequences found\n", "")


def fingerprint(spectra):
    """A digest of everything a reader hands on, bit for bit (repr keeps every float bit)."""
    import hashlib

    h = hashlib.sha256()
    for s in spectra:
        h.update(repr((s.id, s.file_id, s.scan_start_time, s.precursor_mz, s.charge, s.precursor_intensity,
                       s.isolation_window, s.inverse_ion_mobility, s.total_ion_current)).encode())
        h.update(s.mass.tobytes() + s.intensity.tobytes())
    return h.hexdigest()


def synthetic_mgf(rng, n=300):
    """Spectra with the number formats, charge notations and peak oddities the reader meets."""
    formats = ["{:.4f}", "{:.6g}", "{:e}", "{:.1f}", "{}"]
    lines = ["CHARGE=2+", "# generated"]
    for i in range(n):
        lines += ["BEGIN IONS", f"TITLE=scan {i} \u00e9"]
        lines.append(f"PEPMASS={rng.uniform(300, 1800)!r}" + (f" {rng.uniform(0, 1e7):.3f}" if rng.random() < 0.5 else ""))
        charge = rng.choice(["2+", "3", "2+ and 3+", "1-", "0", None])
        if charge:
            lines.append(f"CHARGE={charge}")
        if rng.random() < 0.8:
            lines.append(f"RTINSECONDS={rng.uniform(0, 7200):.3f}")
        for _ in range(rng.choice([0, 3, 40, 149, 150, 151, 400])):
            intensity = rng.choice([rng.uniform(-5, 1e6), float(rng.randint(0, 30)), rng.lognormvariate(5, 3)])
            lines.append(rng.choice(formats).format(rng.uniform(100, 4100)) + rng.choice([" ", "\t", "  "])
                         + rng.choice(formats).format(intensity))
        lines.append("END IONS")
    return "\r\n".join(lines) + "\n"


def synthetic_mzml(rng, n=60):
    def values(count, low, high):
        return [rng.choice([rng.uniform(low, high), float(rng.randint(0, 20))]) for _ in range(count)]

    parts = []
    for i in range(n):
        count = rng.choice([0, 5, 150, 300])
        parts.append(spectrum(f"scan={i}", rng.choice([1, 2, 2, 2]), values(count, 100, 4100), values(count, -1, 1e6),
                              precursor=repr(rng.uniform(300, 1800)), charge=rng.choice([None, "2", "3"]),
                              rt=repr(rng.uniform(0, 7200)), compress=rng.random() < 0.5,
                              dtype=rng.choice(["<f4", "<f8"]), window=rng.choice([None, ("1.5", "0.5")])))
    return mzml(*parts)


# Digests of what the earlier pure-Python readers produced from the same input.
@pytest.mark.parametrize("make, name, digest", [
    (synthetic_mgf, "synthetic.mgf", "b26b7935b481468a7c607f686e38a1cfccd0ec68e7f1c016994e5a668838974e"),
    (synthetic_mzml, "synthetic.mzML", "52080396ab5cae442031ebb49c69bed1c643b2513074b9b8ca852627e1e909df"),
    (None, "BSA1_ms2.mzML.gz", "fa7c46f987c2b270194d7afc892dbbd7973c0d30ed958b8ff950f62010f0e024"),
])
def test_readers_reproduce_the_earlier_results_bit_for_bit(tmp_path, make, name, digest):
    import random
    from pathlib import Path

    if make is None:
        path, file_id = Path(__file__).resolve().parents[2] / "data" / name, 3
    else:
        path, file_id = tmp_path / name, 0
        path.write_text(make(random.Random(7)), encoding="utf-8")
    assert fingerprint(read_spectra(path, file_id=file_id)) == digest
