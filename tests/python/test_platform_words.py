"""What changes on a 32-bit target: machine-word limits, integer widths,
bit-exact 32-bit float windows and series, and results equal to x86_64.

Machine words (`bucket_size`, `min_ion_index`, `pep_index`) are 32 bits wide
on 32-bit ARM and 64 bits on x86_64, so their limits are tested per platform.
Everything else must come out identical on every platform; the golden file
holds figures recorded on x86_64 (see make_golden.py).
"""

import json
import struct
from array import array

import pytest

import _vornik_tamrel as vt
import make_golden as mg

WORD_BITS = 8 * struct.calcsize("P")
WORD_MAX = 2 ** WORD_BITS - 1
RANGE_MSG = "out of range integral type conversion attempted"
f32, bits, from_bits, PROTON = mg.f32, mg.bits, mg.from_bits, mg.PROTON

only_32 = pytest.mark.skipif(WORD_BITS != 32, reason="32-bit machine words only")


def next_up(x):
    return from_bits(bits(x) + 1)  # positive 32-bit floats only


def next_down(x):
    return from_bits(bits(x) - 1)


def peptide_mass(seq):
    mono = mg.WATER
    for r in seq:
        mono = f32(mono + mg.RESIDUE[ord(r)])
    return mono


def make_peptide(seq):
    return vt.PyPeptide(seq, peptide_mass(seq), None)


def make_db(peptides, bucket_size=4, min_ion_index=0, kinds=("B", "Y"), decoys=False):
    return vt.PyIndexedDatabase.from_peptides_and_config(
        peptides, bucket_size, [getattr(vt.PyKind, k)() for k in kinds], min_ion_index,
        decoys, "rev_", 0.0, 5000.0)


def make_spectrum(masses, intensities, mz, charge, file_id=0):
    order = sorted(range(len(masses)), key=lambda i: masses[i])
    return vt.PyProcessedSpectrum(
        "s1", file_id, 1.5, array("f", [masses[i] for i in order]),
        array("f", [intensities[i] for i in order]), [vt.PyPrecursor(mz, charge)], 1000.0)


def tol(t):
    return getattr(vt.PyTolerance, t[0])(t[1], t[2])


SEQS = sorted(["GAK", "PEPTIDEK", "LESLIEK", "SAMPLER", "MKWVTFISLLR"], key=peptide_mass)


def word_db(**kw):
    return make_db([make_peptide(s) for s in SEQS], **kw)


def reference_fragment_count(min_ion_index=0):
    return sum(2 * max(0, len(s) - 1 - min_ion_index) for s in SEQS)


def one_hit_spectrum(seq="PEPTIDEK", file_id=0):
    """A charge-2 spectrum holding every b and y ion of `seq` exactly."""
    mono = peptide_mass(seq)
    masses = [m for kind in "BY" for m in mg.ion_series(seq, [0.0] * len(seq), None, mono, kind)]
    return make_spectrum(masses, [100.0 + i for i in range(len(masses))], f32(mono / 2 + PROTON), 2, file_id)


def scores(db, **kw):
    scorer = vt.PyScorer(vt.PyTolerance.Da(-1.0, 1.0), vt.PyTolerance.Ppm(-10.0, 10.0), **kw)
    return [(f.peptide_idx, f.hyperscore, f.matched_peaks) for f in scorer.score_spectra(db, one_hit_spectrum())]


# ------------------------------------------------------------ machine words

# 2**32 - 1 fits everywhere; 2**32 and above fit only a 64-bit word.
WORD_OK = sorted({2 ** 32 - 2, 2 ** 32 - 1, WORD_MAX}
                 | ({2 ** 32, 2 ** 40, 2 ** 63} if WORD_BITS == 64 else set()))
WORD_TOO_BIG = [2 ** 32, 2 ** 40, 2 ** 63]  # only on 32 bits; the exact message applies
WORD_FAR_BEYOND = [2 ** 64, 2 ** 100]       # beyond any word: OverflowError of either wording
NEGATIVE = [-1, -2 ** 31, -2 ** 64]


def call_with_word(param, value):
    if param == "bucket_size":
        return word_db(bucket_size=value)
    if param == "min_ion_index":
        return word_db(min_ion_index=value)
    return word_db().sequence_for(value)


@pytest.mark.parametrize("value", WORD_OK)
def test_bucket_size_at_word_limits_gives_one_bucket(value):
    db = word_db(bucket_size=value)
    summary = db.debug_fragment_summary()
    assert db.fragment_count() == len(summary) == reference_fragment_count()
    # One bucket holds everything: sorted by peptide index throughout.
    indices = [i for _, i in summary]
    assert indices == sorted(indices)
    # Bucket arithmetic near the word limit must not lose fragments in queries.
    assert scores(db) == scores(word_db(bucket_size=3))


@pytest.mark.parametrize("value", WORD_OK)
def test_min_ion_index_at_word_limits_keeps_nothing(value):
    db = word_db(min_ion_index=value)
    assert db.fragment_count() == 0
    assert db.debug_fragment_summary() == []


@pytest.mark.parametrize("value", WORD_OK)
def test_sequence_for_at_word_limits_is_none(value):
    assert word_db().sequence_for(value) is None


def test_sequence_for_last_index():
    db = word_db()
    assert db.sequence_for(len(SEQS) - 1) == SEQS[-1]
    assert db.sequence_for(len(SEQS)) is None


@only_32
@pytest.mark.parametrize("param", ["bucket_size", "min_ion_index", "pep_index"])
@pytest.mark.parametrize("value", WORD_TOO_BIG)
def test_word_overflow_on_32_bit(param, value):
    with pytest.raises(OverflowError) as info:
        call_with_word(param, value)
    assert str(info.value) == RANGE_MSG


@pytest.mark.parametrize("param", ["bucket_size", "min_ion_index", "pep_index"])
@pytest.mark.parametrize("value", WORD_FAR_BEYOND)
def test_word_overflow_beyond_any_word(param, value):
    with pytest.raises(OverflowError):
        call_with_word(param, value)


@pytest.mark.parametrize("param", ["bucket_size", "min_ion_index", "pep_index"])
@pytest.mark.parametrize("value", NEGATIVE)
def test_negative_word_is_the_interpreters_overflow(param, value):
    with pytest.raises(OverflowError) as info:
        call_with_word(param, value)
    assert str(info.value) != RANGE_MSG


# ------------------------------------------------- fixed widths on 32 bits
# A C long is 32 bits on the target: values past it must still get the
# fixed message for narrow and 32-bit parameters, exactly as on x86_64.

TOO_WIDE = [2 ** 32, 2 ** 33, 2 ** 40, 2 ** 63 - 1]


@pytest.mark.parametrize("value", [256, 2 ** 31, 2 ** 31 - 1] + TOO_WIDE)
def test_u8_charge_out_of_range(value):
    with pytest.raises(OverflowError) as info:
        vt.PyPrecursor(500.0, value)
    assert str(info.value) == RANGE_MSG


@pytest.mark.parametrize("name", ["min_isotope_err", "max_isotope_err"])
@pytest.mark.parametrize("value", [128, -129, 2 ** 31, -2 ** 31 - 1] + TOO_WIDE + [-v for v in TOO_WIDE])
def test_i8_out_of_range(name, value):
    with pytest.raises(OverflowError) as info:
        vt.PyScorer(vt.PyTolerance.Da(-1, 1), vt.PyTolerance.Da(-1, 1), **{name: value})
    assert str(info.value) == RANGE_MSG


@pytest.mark.parametrize("value", [2 ** 16] + TOO_WIDE)
def test_u16_out_of_range(value):
    with pytest.raises(OverflowError) as info:
        vt.PyScorer(vt.PyTolerance.Da(-1, 1), vt.PyTolerance.Da(-1, 1), min_matched_peaks=value)
    assert str(info.value) == RANGE_MSG


def u32_call(param, value):
    if param == "report_psms":
        return vt.PyScorer(vt.PyTolerance.Da(-1, 1), vt.PyTolerance.Da(-1, 1), report_psms=value)
    return vt.PyProcessedSpectrum("x", value, 0.0, array("f"), array("f"), [], 0.0)


@pytest.mark.parametrize("param", ["report_psms", "file_id"])
@pytest.mark.parametrize("value", TOO_WIDE)
def test_u32_out_of_range(param, value):
    with pytest.raises(OverflowError) as info:
        u32_call(param, value)
    assert str(info.value) == RANGE_MSG


@pytest.mark.parametrize("param", ["report_psms", "file_id"])
@pytest.mark.parametrize("value", NEGATIVE)
def test_u32_negative_is_the_interpreters_overflow(param, value):
    with pytest.raises(OverflowError) as info:
        u32_call(param, value)
    assert str(info.value) != RANGE_MSG


def test_u32_top_value_round_trips():
    # All bits set must come back as 4294967295, never as -1.
    db, top = word_db(), one_hit_spectrum(file_id=2 ** 32 - 1)
    scorer = vt.PyScorer(vt.PyTolerance.Da(-1.0, 1.0), vt.PyTolerance.Ppm(-10.0, 10.0), report_psms=3)
    features = scorer.score_spectra(db, top)
    assert features and [f.file_id for f in features] == [2 ** 32 - 1] * len(features)
    assert scorer.score_many_spectra(db, [top]).file_id == [2 ** 32 - 1] * len(features)


@only_32
@pytest.mark.parametrize("chimera", [False, True])
def test_report_psms_reservation_overflows_32_bit_address_space(chimera):
    # Room for 2**32 - 1 features cannot be addressed with 32-bit sizes.
    scorer = vt.PyScorer(vt.PyTolerance.Da(-1.0, 1.0), vt.PyTolerance.Ppm(-10.0, 10.0),
                         chimera=chimera, report_psms=2 ** 32 - 1)
    db, spectrum = word_db(), one_hit_spectrum()
    for call in (lambda: scorer.score_spectra(db, spectrum),
                 lambda: scorer.score_many_spectra(db, [spectrum])):
        with pytest.raises(BaseException) as info:
            call()
        assert not isinstance(info.value, Exception)
        assert info.value.args == ("capacity overflow",)


# ------------------------------------------------------ bit-exact windows

def test_ppm_window_of_the_precursor_search_is_bit_exact():
    # Ppm(-10, 10) around 1000.0 spans exactly 0x4479FF5C to 0x447A00A4.
    lo, hi = mg.bounds(("Ppm", -10.0, 10.0), 1000.0)
    assert (bits(lo), bits(hi)) == (0x4479FF5C, 0x447A00A4)
    mz = f32(1000.0 + PROTON)
    assert f32(mz - PROTON) == 1000.0
    seq = "PEPTIDEK"
    b_ions = mg.ion_series(seq, [0.0] * 8, None, 0.0, "B")
    spectrum = make_spectrum(b_ions[1:5], [10.0, 20.0, 30.0, 40.0], mz, 1)
    scorer = vt.PyScorer(vt.PyTolerance.Ppm(-10.0, 10.0), vt.PyTolerance.Ppm(-10.0, 10.0),
                         wide_window=False, min_isotope_err=0, max_isotope_err=0,
                         min_matched_peaks=1, report_psms=1)
    found = {}
    for mono in (next_down(lo), lo, hi, next_up(hi)):
        db = make_db([vt.PyPeptide(seq, mono, None)])
        found[bits(mono)] = [f.calcmass for f in scorer.score_spectra(db, spectrum)]
    assert found == {bits(next_down(lo)): [], bits(lo): [lo], bits(hi): [hi], bits(next_up(hi)): []}


@pytest.mark.parametrize("fragment_tol", [
    ("Ppm", -10.0, 10.0), ("Ppm", -7.5, 3.25), ("Da", f32(-0.02), f32(0.02)), ("Da", f32(-0.013), f32(0.017)),
])
def test_fragment_window_edges_are_inclusive_and_bit_exact(fragment_tol):
    seq = "PEPTIDEK"
    mono = peptide_mass(seq)
    series = {k: mg.ion_series(seq, [0.0] * 8, None, mono, k) for k in "BY"}
    ordinal = {"B": lambda j: j + 1, "Y": lambda j: 7 - j}
    # Per ion ordinal: where its peak sits relative to the ion's window.
    placement = {2: "at low", 3: "below low", 4: "at high", 5: "above high", 6: "centre"}
    masses, expected = [], set()
    for kind, ions in series.items():
        for j, mass in enumerate(ions):
            where = placement.get(ordinal[kind](j))
            if where is None:
                continue
            lo, hi = mg.bounds(fragment_tol, mass)
            masses.append({"at low": lo, "below low": next_down(lo), "at high": hi,
                           "above high": next_up(hi), "centre": mass}[where])
            if where in ("at low", "at high", "centre"):
                expected.add((kind, ordinal[kind](j), masses[-1], mass))
    spectrum = make_spectrum(masses, [float(10 + i) for i in range(len(masses))], f32(mono / 2 + PROTON), 2)
    scorer = vt.PyScorer(vt.PyTolerance.Da(-1.0, 1.0), tol(fragment_tol), wide_window=False,
                         chimera=False, report_psms=1, min_isotope_err=0, max_isotope_err=0,
                         min_matched_peaks=1, annotate_matches=True)
    (feature,) = scorer.score_spectra(make_db([make_peptide(seq)]), spectrum)
    fr = feature.fragments
    got = set(zip(fr.kinds, fr.fragment_ordinals, fr.mz_experimental, fr.mz_calculated))
    assert got == {(k, o, f32(peak + PROTON), f32(mass + PROTON)) for k, o, peak, mass in expected}
    assert fr.charges == [1] * len(expected)


def test_nan_results_read_the_same_on_every_processor():
    # The second extraction finds no peak left: 0/0 gives NaN, whose sign
    # differs between x86 and ARM; the text forms must not show it.
    scorer = vt.PyScorer(vt.PyTolerance.Da(-1.0, 1.0), vt.PyTolerance.Ppm(-10.0, 10.0),
                         chimera=True, report_psms=2, min_matched_peaks=0)
    db, spectrum = word_db(), one_hit_spectrum()
    first, second = scorer.score_spectra(db, spectrum)
    assert first.matched_peaks == 14 and second.matched_peaks == 0
    assert second.hyperscore == 2.0
    for value in (second.average_ppm, second.matched_intensity_pct):
        assert value != value
    assert ", average_ppm=NaN, poisson=" in repr(second)
    columns = scorer.score_many_spectra(db, [spectrum])
    assert [x != x for x in columns.average_ppm] == [False, True]
    assert "Sample Hyperscore: [%r, 2.0]" % first.hyperscore in repr(columns)


# -------------------------------------------------- series and the index

def test_index_masses_equal_the_32_bit_reference_series():
    inputs = _golden()["inputs"]
    peptides = [(seq, mg.unhex32(m), [mg.unhex32(x) for x in mods], mg.unhex32(n))
                for seq, m, mods, n, _ in inputs["peptides"]]
    db = vt.PyIndexedDatabase.from_peptides_and_config(
        [vt.PyPeptide(s, m, mods, n) for s, m, mods, n in peptides], 16,
        [vt.PyKind.B(), vt.PyKind.Y()], 0, False, "rev_", 0.0, 1e4)
    expected = sorted((bits(mass), i) for i, (s, m, mods, n) in enumerate(peptides)
                      for kind in "BY" for mass in mg.ion_series(s, mods, n, m, kind))
    got = db.debug_fragment_summary()
    assert sorted((bits(mass), i) for mass, i in got) == expected
    # Stored order: masses never decrease across buckets, indices never inside one.
    buckets = [got[k:k + 16] for k in range(0, len(got), 16)]
    for left, right in zip(buckets, buckets[1:]):
        assert max(m for m, _ in left) <= min(m for m, _ in right)
    for bucket in buckets:
        assert [i for _, i in bucket] == sorted(i for _, i in bucket)


# ------------------------------------------------------- x86_64 figures

def _golden():
    with open(mg.GOLDEN_PATH) as f:
        return json.load(f)


def _first_differences(expected, got, path="", out=None, limit=8):
    out = [] if out is None else out
    if len(out) >= limit:
        return out
    if isinstance(expected, dict) and isinstance(got, dict):
        for key in expected.keys() | got.keys():
            _first_differences(expected.get(key), got.get(key), "%s.%s" % (path, key), out, limit)
    elif isinstance(expected, list) and isinstance(got, list) and len(expected) == len(got):
        for i, (e, g) in enumerate(zip(expected, got)):
            _first_differences(e, g, "%s[%d]" % (path, i), out, limit)
    elif expected != got:
        out.append("%s: x86_64 %r, here %r" % (path, expected, got))
    return out


@pytest.mark.parametrize("part", ["sequences", "mod_arrays", "fragment_count", "fragments", "scores", "arrays"])
def test_results_equal_the_x86_64_figures(part, golden_run):
    golden, results = golden_run
    assert golden["format"] == mg.FORMAT
    differences = _first_differences(golden["results"][part], results[part], part)
    # On x86_64 itself a difference means the results changed: if that is
    # intended, regenerate the file there with make_golden.py.
    assert not differences, "\n".join(differences)


@pytest.fixture(scope="module")
def golden_run():
    golden = _golden()
    return golden, mg.run(golden["inputs"])
