import ctypes
import math
import platform
import struct
from array import array

import pytest

from _vornik_tamrel import PyKind, PyPrecursor, PyProcessedSpectrum, PyTolerance

RANGE_MSG = "out of range integral type conversion attempted"
LAYOUT_MSG = "mz_array and intensity_array must be C-contiguous float32 buffers"
LENGTH_MSG = "mz_array and intensity_array must be the same length"
FORMAT_MSG = "buffer contents are not compatible with f32"
ALIGN_MSG = "buffer contents are insufficiently aligned for f32"
PYPY = platform.python_implementation() == "PyPy"


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def spectrum(mz, intensity, precursors=None, **overrides):
    args = dict(
        id="scan=1",
        file_id=0,
        scan_start_time=1.5,
        mz_array=mz,
        intensity_array=intensity,
        precursors=[PyPrecursor(500.0, 2)] if precursors is None else precursors,
        total_ion_current=10.0,
    )
    args.update(overrides)
    return PyProcessedSpectrum(**args)


def floats(*values):
    return array("f", values)


def misaligned(n):
    # n float32 values starting one byte into an aligned buffer
    return memoryview(bytearray(4 * n + 8))[1 : 1 + 4 * n].cast("f")


# ---------------------------------------------------------------- PyPrecursor


def test_precursor_signature():
    assert PyPrecursor.__text_signature__ == (
        "(mz, charge=None, intensity=None, isolation_window=None, inverse_ion_mobility=None)"
    )


def test_precursor_defaults_are_absent():
    p = PyPrecursor(500.25)
    assert (p.mz, p.charge, p.intensity, p.isolation_window) == (500.25, None, None, None)


@pytest.mark.parametrize("mz, stored", [(500, 500.0), (500.1, 500.1000061035156), (True, 1.0), (1e40, math.inf)])
def test_mz_is_a_32_bit_float(mz, stored):
    assert PyPrecursor(mz).mz == stored


@pytest.mark.parametrize("charge", [0, 1, 255])
def test_every_byte_charge_is_present(charge):
    assert PyPrecursor(500.0, charge).charge == charge


@pytest.mark.parametrize("charge", [256, 300, -1, -(2**31)])
def test_charge_out_of_range_has_no_argument_prefix(charge):
    with pytest.raises(OverflowError) as info:
        PyPrecursor(500.0, charge)
    assert type(info.value) is OverflowError
    assert str(info.value) == RANGE_MSG
    with pytest.raises(OverflowError):
        PyPrecursor(500.0, 2**70)


def test_all_fields_by_keyword():
    p = PyPrecursor(
        inverse_ion_mobility=0.9, isolation_window=PyTolerance.Da(-1.5, 1.5), intensity=0.1, charge=3, mz=600.0
    )
    assert (p.mz, p.charge, p.intensity) == (600.0, 3, f32(0.1))
    assert type(p.isolation_window) is PyTolerance
    assert not hasattr(p, "inverse_ion_mobility")


def test_isolation_window_reads_return_new_objects():
    p = PyPrecursor(500.0, isolation_window=PyTolerance.Ppm(-10, 10))
    a, b = p.isolation_window, p.isolation_window
    assert type(a) is PyTolerance and a is not b


def test_unvalidated_values_are_stored():
    p = PyPrecursor(float("nan"), 0, -1.0)
    assert math.isnan(p.mz) and p.charge == 0 and p.intensity == -1.0


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("x",), {}, "argument 'mz': "),
        ((None,), {}, "argument 'mz': "),
        ((500.0, "2"), {}, "argument 'charge': 'str' object cannot be interpreted as an integer"),
        ((500.0, 2.0), {}, "argument 'charge': 'float' object cannot be interpreted as an integer"),
        ((500.0, None, "x"), {}, "argument 'intensity': "),
        ((500.0, None, None, 1), {}, "argument 'isolation_window': 'int' object cannot be converted to 'PyTolerance'"),
        ((500.0,), {"isolation_window": PyKind.B()}, "argument 'isolation_window': 'PyKind' object cannot be converted to 'PyTolerance'"),
        ((500.0,), {"inverse_ion_mobility": "x"}, "argument 'inverse_ion_mobility': "),
        # the first failing parameter wins
        (("x", "y"), {}, "argument 'mz': "),
        ((), {}, "PyPrecursor.__new__() missing 1 required positional argument: 'mz'"),
        ((1, 2, 3, 4, 5, 6), {}, "PyPrecursor.__new__() takes from 1 to 5 positional arguments but 6 were given"),
        ((1,), {"mass": 2}, "PyPrecursor.__new__() got an unexpected keyword argument 'mass'"),
    ],
)
def test_precursor_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        PyPrecursor(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value).startswith(message)
    if message.endswith(": "):
        assert len(str(info.value)) > len(message)  # the interpreter's reason follows


def test_precursor_is_closed():
    p = PyPrecursor(500.0)
    with pytest.raises(AttributeError):
        p.charge = 2
    with pytest.raises(AttributeError):
        p.note = "x"
    with pytest.raises(TypeError):

        class Sub(PyPrecursor):
            pass


# ---------------------------------------------------------------- PyProcessedSpectrum


def test_spectrum_signature():
    assert PyProcessedSpectrum.__text_signature__ == (
        "(id, file_id, scan_start_time, mz_array, intensity_array, precursors, total_ion_current)"
    )


def test_peaks_are_copied_unchanged_in_given_order():
    mz, intensity = floats(300.0, 200.0, 100.1), floats(1.0, 5.0, 2.0)
    s = spectrum(mz, intensity)
    mz[0] = 0.0  # the spectrum keeps its own copy
    assert s.peaks == [(300.0, 1.0), (200.0, 5.0), (f32(100.1), 2.0)]
    assert s.id == "scan=1"


def test_peak_values_are_copied_bit_for_bit():
    raw = struct.pack("<4I", 0x7FC00001, 0x80000000, 0x00000001, 0xFF800000)
    values = array("f")
    values.frombytes(raw if struct.pack("=I", 1) == struct.pack("<I", 1) else raw[::-1])
    s = spectrum(values, values)
    back = array("f", [m for m, _ in s.peaks]).tobytes()
    assert back[4:] == values.tobytes()[4:]  # -0.0, smallest subnormal, -inf
    assert math.isnan(s.peaks[0][0])


def test_two_dimensional_c_contiguous_buffers_are_read_in_memory_order():
    mz = memoryview(floats(1, 2, 3, 4)).cast("B").cast("f", [2, 2])
    assert spectrum(mz, floats(5, 6, 7, 8)).peaks == [(1.0, 5.0), (2.0, 6.0), (3.0, 7.0), (4.0, 8.0)]


def test_memoryview_and_ctypes_float_arrays_are_accepted():
    assert spectrum(memoryview(floats(1.0)), floats(2.0)).peaks == [(1.0, 2.0)]
    if PYPY:  # CPython's ctypes arrays export no strides
        assert spectrum((ctypes.c_float * 2)(1, 2), floats(3, 4)).peaks == [(1.0, 3.0), (2.0, 4.0)]


def test_empty_standard_library_arrays_give_a_spectrum_without_peaks():
    # CPython's empty array points at an unaligned placeholder, PyPy's at nothing:
    # neither address is ever read.
    assert spectrum(array("f"), array("f")).peaks == []
    assert spectrum(memoryview(array("f")), array("f")).peaks == []


def test_numpy_arrays():
    np = pytest.importorskip("numpy")
    mz = np.array([100.0, 200.0], dtype=np.float32)
    assert spectrum(mz, mz[::-1].copy()).peaks == [(100.0, 200.0), (200.0, 100.0)]
    assert spectrum(np.empty(0, np.float32), np.empty(0, np.float32)).peaks == []
    assert spectrum(mz.astype("<f4"), mz).peaks == [(100.0, 100.0), (200.0, 200.0)]
    with pytest.raises(BufferError) as info:
        spectrum(mz.astype(">f4"), mz)
    assert str(info.value) == FORMAT_MSG
    with pytest.raises(BufferError) as info:
        spectrum(mz, mz.astype(np.float64))
    assert str(info.value) == FORMAT_MSG
    with pytest.raises(ValueError) as info:
        spectrum(np.asfortranarray(np.ones((2, 2), np.float32)), np.ones(4, np.float32))
    assert str(info.value) == LAYOUT_MSG


@pytest.mark.parametrize(
    "mz, intensity, error, message",
    [
        (array("d", [1.0]), floats(1.0), BufferError, FORMAT_MSG),
        (floats(1.0), array("d", [1.0]), BufferError, FORMAT_MSG),
        (array("i", [1]), floats(1.0), BufferError, FORMAT_MSG),
        (array("I", [1]), floats(1.0), BufferError, FORMAT_MSG),
        (b"abcd", floats(1.0), BufferError, FORMAT_MSG),
        (floats(1.0), bytearray(4), BufferError, FORMAT_MSG),
        (ctypes.c_float(1.0), floats(1.0), BufferError, "shape is null"),
        (floats(1.0), ctypes.c_float(1.0), BufferError, "shape is null"),
        (misaligned(2), floats(1, 2), BufferError, ALIGN_MSG),
        (floats(1, 2), misaligned(2), BufferError, ALIGN_MSG),
        (memoryview(floats(1, 2, 3, 4))[::2], floats(1, 2), ValueError, LAYOUT_MSG),
        (floats(1, 2), memoryview(floats(1, 2, 3, 4))[::2], ValueError, LAYOUT_MSG),
        (floats(1, 2, 3), floats(1, 2, 3, 4), ValueError, LENGTH_MSG),
        (floats(1, 2, 3), floats(1), ValueError, LENGTH_MSG),
        # validation order: each view is checked as it is acquired, then layout, then length
        (array("d", [1.0]), memoryview(floats(1, 2, 3, 4))[::2], BufferError, FORMAT_MSG),
        (memoryview(floats(1, 2, 3, 4))[::2], array("d", [1.0]), BufferError, FORMAT_MSG),
        (misaligned(1), array("d", [1.0]), BufferError, ALIGN_MSG),
        (floats(1, 2, 3), memoryview(floats(1, 2, 3, 4))[::2], ValueError, LAYOUT_MSG),
    ],
)
def test_buffer_checks(mz, intensity, error, message):
    with pytest.raises(error) as info:
        spectrum(mz, intensity)
    assert type(info.value) is error
    assert str(info.value) == message


@pytest.mark.skipif(PYPY, reason="PyPy's ctypes arrays export strides")
def test_buffer_without_strides():
    with pytest.raises(BufferError) as info:
        spectrum((ctypes.c_float * 2)(1, 2), floats(1, 2))
    assert str(info.value) == "strides is null"


@pytest.mark.parametrize("position", [0, 1])
def test_objects_without_buffers_raise_the_interpreters_error(position):
    arrays = [floats(1.0), floats(1.0)]
    arrays[position] = [1.0]
    with pytest.raises(TypeError) as info:
        spectrum(*arrays)
    assert not str(info.value).startswith("argument")


def resize_is_refused_while_exported():
    a = floats(1.0)
    view = memoryview(a)
    try:
        a.append(2.0)
        return False
    except BufferError:
        return True
    finally:
        view.release()


@pytest.mark.skipif(not resize_is_refused_while_exported(), reason="exports are not tracked by this interpreter")
@pytest.mark.parametrize(
    "make",
    [
        lambda mz, it: (mz, it),  # success
        lambda mz, it: (mz, array("d", [1.0])),  # intensity view refused
        lambda mz, it: (array("d", [1.0]), it),  # m/z view refused
        lambda mz, it: (mz, it.extend([1.0]) or it),  # length mismatch
        lambda mz, it: (mz, memoryview(floats(1, 2))[::2]),  # not contiguous
    ],
)
def test_every_view_is_released(make):
    mz, intensity = floats(1.0), floats(2.0)
    try:
        spectrum(*make(mz, intensity))
    except (BufferError, ValueError):
        pass
    mz.append(3.0)  # raises BufferError while a view is still held
    intensity.append(3.0)


@pytest.mark.parametrize(
    "overrides, error, message",
    [
        ({"id": 1}, TypeError, "argument 'id': 'int' object cannot be converted to 'PyString'"),
        ({"file_id": 2**32}, OverflowError, RANGE_MSG),
        ({"file_id": "1"}, TypeError, "argument 'file_id': 'str' object cannot be interpreted as an integer"),
        ({"scan_start_time": None}, TypeError, "argument 'scan_start_time': "),
        ({"precursors": "500.0"}, TypeError, "argument 'precursors': Can't extract `str` to `Vec`"),
        ({"precursors": [1]}, TypeError, "argument 'precursors': 'int' object cannot be converted to 'PyPrecursor'"),
        ({"precursors": 1}, TypeError, "argument 'precursors': 'int' object cannot be converted to 'Sequence'"),
        ({"total_ion_current": "x"}, TypeError, "argument 'total_ion_current': "),
        # arguments are converted before any buffer is looked at
        ({"precursors": [1], "mz_array": [1.0]}, TypeError, "argument 'precursors': "),
        ({"total_ion_current": "x", "intensity_array": array("d")}, TypeError, "argument 'total_ion_current': "),
        ({"file_id": -1, "mz_array": array("d")}, OverflowError, ""),
    ],
)
def test_argument_errors(overrides, error, message):
    with pytest.raises(error) as info:
        spectrum(floats(1.0), floats(1.0), **overrides)
    assert type(info.value) is error
    assert str(info.value).startswith(message)


def test_file_id_takes_32_bits():
    assert spectrum(floats(1.0), floats(1.0), file_id=2**32 - 1).id == "scan=1"


def test_precursors_are_copied_in_order():
    given = [PyPrecursor(500.0, 2, isolation_window=PyTolerance.Da(-1, 1)), PyPrecursor(600.0)]
    s = spectrum(floats(1), floats(1), precursors=given)
    back = s.precursors
    assert [(p.mz, p.charge) for p in back] == [(500.0, 2), (600.0, None)]
    assert all(b is not g for b, g in zip(back, given))
    assert type(back[0].isolation_window) is PyTolerance and back[1].isolation_window is None
    assert spectrum(floats(1), floats(1), precursors=[]).precursors == []
    assert spectrum(floats(1), floats(1), precursors=(given[1],)).precursors[0].mz == 600.0


def test_spectrum_is_closed():
    s = spectrum(floats(1.0), floats(1.0))
    for name in ("peaks", "id", "precursors"):
        with pytest.raises(AttributeError):
            setattr(s, name, [])
    with pytest.raises(AttributeError):
        s.file_id = 1
