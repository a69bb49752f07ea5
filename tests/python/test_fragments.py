"""PyFragments: the annotations of one match and their dictionary."""

import platform
import struct

import pytest

import scoring_data as sd

KEYS = ["charges", "kinds", "fragment_ordinals", "intensities", "mz_calculated", "mz_experimental"]


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def annotated(intensities=None, charge=2, **kw):
    db, sp = sd.search(intensities=intensities, charge=charge)
    (f,) = sd.scorer(annotate_matches=True, **kw).score_spectra(db, sp)
    return f


@pytest.fixture
def fragments():
    return annotated().fragments


def test_properties_in_order_and_dict_equal_to_them(fragments):
    names = [k for k, v in vars(type(fragments)).items()
             if type(v).__name__ == "getset_descriptor" and not k.startswith("__")]
    assert names == KEYS
    d = fragments.to_dict()
    assert list(d) == KEYS
    assert d == {k: getattr(fragments, k) for k in KEYS}


def test_annotations_of_a_full_match(fragments):
    # Every b ion first, then every y ion, as scoring recorded them.
    assert fragments.kinds == ["B"] * 7 + ["Y"] * 7
    assert fragments.fragment_ordinals == [1, 2, 3, 4, 5, 6, 7, 7, 6, 5, 4, 3, 2, 1]
    assert fragments.charges == [1] * 14
    assert all(type(k) is str and len(k) == 1 for k in fragments.kinds)
    # The peaks sit exactly on the neutral fragment masses.
    assert fragments.mz_experimental == fragments.mz_calculated
    db, _ = sd.search()
    proton = f32(sd.PROTON)
    assert sorted(fragments.mz_calculated) == [f32(m + proton) for m in sd.fragment_masses(db, 3)]


def test_32_bit_intensities_read_back_widened_exactly():
    intensities = [0.1] + [100.0] * 13
    frags = annotated(intensities=intensities).fragments
    assert 0.10000000149011612 in frags.intensities
    assert 0.10000000149011612 in frags.to_dict()["intensities"]


def test_reads_are_independent_copies():
    f = annotated()
    a, b = f.fragments, f.fragments
    assert a is not b and a.to_dict() == b.to_dict()
    charges = a.charges
    charges[0] = 99
    charges.append(5)
    assert a.charges == [1] * 14
    d = a.to_dict()
    d["kinds"].reverse()
    assert a.to_dict()["kinds"] == ["B"] * 7 + ["Y"] * 7
    # The feature keeps its own annotations whatever is done to a copy.
    assert f.to_dict()["fragments"] == b.to_dict()


def test_class_is_a_result_only_type(fragments):
    cls = type(fragments)
    assert cls.__name__ == "PyFragments" and cls.__module__ == "vornik_tamrel"
    with pytest.raises(TypeError) as e:
        cls()
    assert str(e.value) == "No constructor defined for PyFragments"
    with pytest.raises(TypeError) as e:
        fragments.to_dict(1)
    assert str(e.value) == "PyFragments.to_dict() takes 0 positional arguments but 1 was given"
    if platform.python_implementation() == "CPython":  # PyPy shows no method docs here
        assert cls.to_dict.__doc__ == "Optional helper: return as Python dict for easier pandas conversion"
        assert cls.to_dict.__text_signature__ == "($self)"
    with pytest.raises(AttributeError):
        fragments.charges = []
