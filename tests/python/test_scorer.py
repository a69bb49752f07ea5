import platform
import struct
from array import array

import pytest

from _vornik_tamrel import PyIndexedDatabase, PyKind, PyPeptide, PyPrecursor, PyProcessedSpectrum, PyScorer, PyTolerance

RANGE_MSG = "out of range integral type conversion attempted"
PROTON = struct.unpack("<f", struct.pack("<I", 0x3F80EE6F))[0]
SIGNATURE = (
    "(precursor_tol, fragment_tol, wide_window=True, chimera=True, report_psms=5, min_isotope_err=..., "
    "max_isotope_err=3, min_precursor_charge=2, max_precursor_charge=4, min_matched_peaks=3, "
    "annotate_matches=False, max_fragment_charge=2)"
)


def tolerances():
    return PyTolerance.Da(-10, 10), PyTolerance.Ppm(-20, 20)


def test_signature():
    assert PyScorer.__text_signature__ == SIGNATURE


def test_only_the_two_tolerances_are_required():
    PyScorer(*tolerances())
    PyScorer(fragment_tol=PyTolerance.Da(0, 0), precursor_tol=PyTolerance.Da(0, 0))
    PyScorer(*tolerances(), True, False, 0, -128, 127, 0, 255, 65535, True, None)
    PyScorer(*tolerances(), report_psms=2**32 - 1, min_isotope_err=3, max_isotope_err=-1, max_fragment_charge=0)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "PyScorer.__new__() missing 2 required positional arguments: 'precursor_tol' and 'fragment_tol'"),
        ((PyTolerance.Da(0, 0),), {}, "PyScorer.__new__() missing 1 required positional argument: 'fragment_tol'"),
        ((0,) * 13, {}, "PyScorer.__new__() takes from 2 to 12 positional arguments but 13 were given"),
        ((1, 2), {}, "argument 'precursor_tol': 'int' object cannot be converted to 'PyTolerance'"),
        ((PyTolerance.Da(0, 0), PyKind.B()), {}, "argument 'fragment_tol': 'PyKind' object cannot be converted to 'PyTolerance'"),
        ((None, None), {}, "argument 'precursor_tol': 'NoneType' object cannot be converted to 'PyTolerance'"),
        ((), {"wide_window": None}, "argument 'wide_window': 'NoneType' object cannot be converted to 'PyBool'"),
        ((), {"chimera": 1}, "argument 'chimera': 'int' object cannot be converted to 'PyBool'"),
        ((), {"annotate_matches": "yes"}, "argument 'annotate_matches': 'str' object cannot be converted to 'PyBool'"),
        ((), {"report_psms": None}, "argument 'report_psms': 'NoneType' object cannot be interpreted as an integer"),
        ((), {"min_isotope_err": 1.0}, "argument 'min_isotope_err': 'float' object cannot be interpreted as an integer"),
        ((), {"min_matched_peaks": "3"}, "argument 'min_matched_peaks': 'str' object cannot be interpreted as an integer"),
        ((), {"max_fragment_charge": 2.0}, "argument 'max_fragment_charge': 'float' object cannot be interpreted as an integer"),
        ((), {"scorer": 1}, "PyScorer.__new__() got an unexpected keyword argument 'scorer'"),
        # conversion stops at the first failing parameter
        ((), {"chimera": None, "wide_window": None}, "argument 'wide_window': "),
        ((), {"report_psms": -1, "wide_window": None}, "argument 'wide_window': "),
    ],
)
def test_type_errors(args, kwargs, message):
    if len(args) < 2 and "missing" not in message and "takes" not in message:
        args = tolerances()
    with pytest.raises(TypeError) as info:
        PyScorer(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value).startswith(message)


@pytest.mark.parametrize(
    "name, value",
    [
        ("min_isotope_err", 200),
        ("min_isotope_err", -129),
        ("max_isotope_err", 128),
        ("min_precursor_charge", 256),
        ("max_precursor_charge", -1),
        ("min_matched_peaks", 70000),
        ("min_matched_peaks", -1),
        ("max_fragment_charge", 256),
        ("max_fragment_charge", -1),
        ("report_psms", 2**32),
    ],
)
def test_out_of_range_integers(name, value):
    with pytest.raises(OverflowError) as info:
        PyScorer(*tolerances(), **{name: value})
    assert type(info.value) is OverflowError
    assert str(info.value) == RANGE_MSG


def test_negative_report_psms_raises_the_interpreters_overflow():
    with pytest.raises(OverflowError) as info:
        PyScorer(*tolerances(), report_psms=-1)
    assert not str(info.value).startswith("argument")


def test_numpy_booleans_are_flags():
    np = pytest.importorskip("numpy")
    PyScorer(*tolerances(), wide_window=np.bool_(False), chimera=np.bool_(True))


def test_scorer_is_closed():
    scorer = PyScorer(*tolerances())
    with pytest.raises(AttributeError):
        scorer.report_psms = 3
    with pytest.raises(TypeError):

        class Sub(PyScorer):
            pass


# ---------------------------------------------------------------- behaviour of the settings

needs_scoring = pytest.mark.skipif(not hasattr(PyScorer, "score_spectra"), reason="scoring entry not built")


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


@pytest.fixture(scope="module")
def charge_three_case():
    """A charge-4 precursor whose peaks are the peptide's b and y ions at
    fragment charge 3 only, so it matches only when charge 3 is tried."""
    peptide = PyPeptide("PEPTIDEKLMNQR", 1500.7, None)
    db = PyIndexedDatabase.from_peptides_and_config([peptide], 64, [PyKind.B(), PyKind.Y()], 0, False, "", 0.0, 5000.0)
    masses = sorted({f32(m / 3) for m, _ in db.debug_fragment_summary()})
    mz = f32((1500.7 + 4 * PROTON) / 4)
    spectrum = PyProcessedSpectrum(
        "scan=3", 0, 1.0, array("f", masses), array("f", [100.0] * len(masses)), [PyPrecursor(mz, 4)], 1.0
    )
    return db, spectrum


def scored(db, spectrum, **settings):
    scorer = PyScorer(PyTolerance.Ppm(-20, 20), PyTolerance.Da(-0.02, 0.02), wide_window=False, **settings)
    return scorer.score_spectra(db, spectrum)


@needs_scoring
def test_omitted_fragment_charge_cap_is_two_and_none_removes_it(charge_three_case):
    db, spectrum = charge_three_case
    assert scored(db, spectrum) == []
    assert scored(db, spectrum, max_fragment_charge=2) == []
    assert len(scored(db, spectrum, max_fragment_charge=None)) == 1
    assert len(scored(db, spectrum, max_fragment_charge=3)) == 1


@needs_scoring
@pytest.mark.parametrize(
    "settings, found",
    [
        ({}, 1),
        ({"report_psms": 0}, 0),
        ({"min_isotope_err": 1, "max_isotope_err": 0}, 0),
        ({"min_isotope_err": 2, "max_isotope_err": 2}, 1),  # isotope error 0 only
        ({"min_matched_peaks": 65535}, 0),
    ],
)
def test_settings_reach_the_search(charge_three_case, settings, found):
    db, spectrum = charge_three_case
    assert len(scored(db, spectrum, max_fragment_charge=None, **settings)) == found
