"""Hostile callers: every entry point, fed hostile floats, lying lengths, huge
and empty lists and wrong types, returns or raises an ordinary exception.
A crash ends the run; a SystemError (a result and an error at once, or
neither) fails it. Bounded: fixed seed, fixed number of examples."""

import math
import struct
import sys
from array import array

import pytest

pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, seed, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import _vornik_tamrel as vt  # noqa: E402

BOUNDED = settings(max_examples=300, deadline=None, database=None,
                   suppress_health_check=list(HealthCheck))
EXPECTED = (TypeError, ValueError, OverflowError, BufferError, MemoryError, RuntimeError)

# Beyond 3.4e38 a value overflows to infinity in 32 bits.
HOSTILE_FLOATS = st.one_of(
    st.sampled_from([math.nan, -math.nan, math.inf, -math.inf, 3.5e38, -3.5e38, 3.4028235e38,
                     1e308, 5e-324, 0.0, -0.0]),
    st.floats(allow_nan=True, allow_infinity=True),
)


def internal_failure_type():
    try:
        vt.PyScorer(vt.PyTolerance.Da(-1, 1), vt.PyTolerance.Da(-1, 1)).score_spectra(
            vt.PyIndexedDatabase.from_peptides_and_config([], 8, [], 0, False, "", 0.0, 1.0),
            vt.PyProcessedSpectrum("x", 0, 0.0, array("f"), array("f"), [], 0.0))
    except BaseException as e:  # noqa: B036 - the engine's own type, derived from BaseException
        return type(e)
    raise AssertionError("a spectrum without precursors scored")


INTERNAL_FAILURE = internal_failure_type()


class LyingLength:
    """A sequence whose `__len__` disagrees with the items it yields."""

    def __init__(self, items, claimed):
        self.items, self.claimed = items, claimed

    def __len__(self):
        return self.claimed

    def __getitem__(self, i):
        if not 0 <= i < len(self.items):
            raise IndexError(i)
        return self.items[i]

    def __repr__(self):
        return "LyingLength(%r, %d)" % (self.items, self.claimed)


def lying(items):
    return st.builds(LyingLength, items, st.sampled_from([0, 1, 3, 1 << 31, 1 << 62, sys.maxsize]))


VALID_OBJECTS = st.sampled_from([
    vt.PyTolerance.Da(-0.5, 0.5), vt.PyKind.B(), vt.PyPeptide("PEPTIDEK", 927.45, None),
    vt.PyPrecursor(464.73, 2),
])
SCALARS = st.one_of(HOSTILE_FLOATS, st.integers(-(1 << 70), 1 << 70), st.booleans(), st.none(),
                    st.text(max_size=8), st.binary(max_size=8), VALID_OBJECTS)


def f32(x):
    """`x` as the engine stores it: beyond the 32-bit range, an infinity."""
    try:
        return struct.unpack("f", struct.pack("f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


FLOAT32_ARRAYS = st.lists(HOSTILE_FLOATS, max_size=20).map(lambda xs: array("f", map(f32, xs)))
VALUES = st.one_of(
    SCALARS,
    st.lists(SCALARS, max_size=6),
    lying(st.lists(SCALARS, max_size=4)),
    st.just([vt.PyKind.Y()] * 100000),  # huge
    FLOAT32_ARRAYS,
    FLOAT32_ARRAYS.map(lambda a: memoryview(a)[::2]),  # not contiguous
)

ENTRY_POINTS = {
    "PyTolerance.Da": (vt.PyTolerance.Da, 2),
    "PyTolerance.Ppm": (vt.PyTolerance.Ppm, 2),
    "PyPeptide": (vt.PyPeptide, 5),
    "PyPrecursor": (vt.PyPrecursor, 5),
    "PyProcessedSpectrum": (vt.PyProcessedSpectrum, 7),
    "PyScorer": (vt.PyScorer, 12),
    "PyIndexedDatabase.from_peptides_and_config": (vt.PyIndexedDatabase.from_peptides_and_config, 8),
}


def call(function, *args):
    try:
        return function(*args)
    except EXPECTED:
        return None
    except INTERNAL_FAILURE:
        return None


@pytest.mark.parametrize("name", sorted(ENTRY_POINTS))
def test_constructors_survive_hostile_arguments(name):
    function, arity = ENTRY_POINTS[name]

    @seed(14)
    @BOUNDED
    @given(st.lists(VALUES, min_size=max(arity - 1, 0), max_size=arity + 1))
    def check(args):
        call(function, *args)

    check()


@seed(14)
@BOUNDED
@given(
    masses=st.lists(HOSTILE_FLOATS, max_size=8),
    peaks=FLOAT32_ARRAYS,
    mz=HOSTILE_FLOATS,
    charge=st.one_of(st.none(), st.integers(0, 255)),
    tolerance=st.tuples(HOSTILE_FLOATS, HOSTILE_FLOATS),
    ppm=st.booleans(),
    wide_window=st.booleans(),
    chimera=st.booleans(),
)
def test_scoring_survives_hostile_masses(masses, peaks, mz, charge, tolerance, ppm, wide_window, chimera):
    peptides = [vt.PyPeptide("PEPTIDEK"[: 3 + i % 6], m, None) for i, m in enumerate(masses)]
    db = vt.PyIndexedDatabase.from_peptides_and_config(
        peptides, 4, [vt.PyKind.B(), vt.PyKind.Y()], 0, True, "rev_", -math.inf, math.inf)
    kind = vt.PyTolerance.Ppm if ppm else vt.PyTolerance.Da
    scorer = vt.PyScorer(kind(*tolerance), kind(*tolerance), wide_window=wide_window, chimera=chimera,
                         min_matched_peaks=0)
    sp = vt.PyProcessedSpectrum("s", 0, 0.0, peaks, peaks, [vt.PyPrecursor(mz, charge)], 1.0)
    features = scorer.score_spectra(db, sp)
    arrays = scorer.score_many_spectra(db, [sp, sp])
    assert len(arrays.rank) == 2 * len(features)
    if not math.isfinite(f32(mz)):
        assert features == []  # a precursor that is not finite matches nothing
