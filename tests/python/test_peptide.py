import platform
import struct

import pytest

from _vornik_tamrel import PyIndexedDatabase, PyKind, PyPeptide, PyTolerance


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def test_class_doc_is_the_constructor_signature():
    assert PyPeptide.__doc__ in (None, "")
    assert PyPeptide.__text_signature__ == "(sequence, monoisotopic, modifications, nterm=None, cterm=None)"
    if platform.python_implementation() != "PyPy":  # PyPy drops attribute docstrings
        assert PyPeptide.mod_array.__doc__ == "Return combined mod array in the convention: [N-term, per-res..., C-term]"


def test_default_modifications_are_one_zero_per_residue():
    p = PyPeptide("PEPTIDE", 799.36, None)
    assert p.sequence == "PEPTIDE"
    assert p.mod_array == [0.0] * 9
    assert p.modifications == [0.0] * 9


@pytest.mark.parametrize("mods", [[0.1, 0.0, 15.994915], (0.1, 0.0, 15.994915)])
def test_values_are_stored_as_32_bit_floats(mods):
    p = PyPeptide("AMK", 100, mods, nterm=42.010565, cterm=-0.984016)
    assert p.mod_array == [f32(42.010565), f32(0.1), 0.0, f32(15.994915), f32(-0.984016)]
    assert p.mod_array[1] == 0.10000000149011612


def test_all_parameters_by_keyword():
    p = PyPeptide(cterm=2.0, nterm=1.0, modifications=None, monoisotopic=1.0, sequence="AK")
    assert p.mod_array == [1.0, 0.0, 0.0, 2.0]


def test_short_modifications_are_accepted_and_the_setter_demands_the_full_length():
    p = PyPeptide("PEPTIDE", 799.36, [1.0, 2.0, 3.0])
    assert p.mod_array == [0.0, 1.0, 2.0, 3.0, 0.0]
    with pytest.raises(ValueError) as info:
        p.mod_array = [0.0] * 5
    assert str(info.value) == "mod_array length 5 must equal sequence length + 2 (= 9)"
    p.mod_array = [float(i) for i in range(9)]
    assert p.mod_array == [float(i) for i in range(9)]
    assert p.modifications == [float(i) for i in range(9)]


def test_setter_splits_the_combined_array():
    p = PyPeptide("PEPTIDE", 799.36, None)
    p.mod_array = [0.0] * 9  # zeros still make both termini present
    assert p.mod_array == [0.0] * 9
    p.mod_array = [1.5, 0, 0, 0, 0, 0, 0, 0.1, -2.5]
    assert p.mod_array == [1.5, 0, 0, 0, 0, 0, 0, f32(0.1), -2.5]


@pytest.mark.parametrize(
    "value, error, message",
    [
        ([0.0] * 8, ValueError, "mod_array length 8 must equal sequence length + 2 (= 9)"),
        ([0.0] * 10, ValueError, "mod_array length 10 must equal sequence length + 2 (= 9)"),
        ([], ValueError, "mod_array length 0 must equal sequence length + 2 (= 9)"),
        ("123456789", TypeError, "argument 'mods': Can't extract `str` to `Vec`"),
        (9, TypeError, "argument 'mods': 'int' object cannot be converted to 'Sequence'"),
        (None, TypeError, "argument 'mods': 'NoneType' object cannot be converted to 'Sequence'"),
    ],
)
def test_failed_assignment_keeps_the_previous_modifications(value, error, message):
    p = PyPeptide("PEPTIDE", 799.36, [float(i) for i in range(7)], nterm=7.0)
    before = p.mod_array
    with pytest.raises(error) as info:
        p.mod_array = value
    assert type(info.value) is error
    assert str(info.value) == message
    assert p.mod_array == before


def test_element_conversion_failure_names_mods():
    p = PyPeptide("AK", 1.0, None)
    with pytest.raises(TypeError) as info:
        p.mod_array = [0.0, "x", 0.0, 0.0]
    assert str(info.value).startswith("argument 'mods': ")
    assert p.mod_array == [0.0] * 4


def test_attribute_rules():
    p = PyPeptide("AK", 1.0, None)
    with pytest.raises(AttributeError) as info:
        del p.mod_array
    assert str(info.value) == "can't delete attribute"
    for name in ("sequence", "modifications"):
        with pytest.raises(AttributeError):
            setattr(p, name, [0.0] * 4)
    with pytest.raises(AttributeError):
        p.decoy = True
    assert p.sequence == "AK" and p.mod_array == [0.0] * 4


def test_cannot_be_subclassed():
    with pytest.raises(TypeError):

        class Sub(PyPeptide):
            pass


@pytest.mark.parametrize(
    "args, message",
    [
        (("PEPTIDE", 1.0, "abc"), "argument 'modifications': Can't extract `str` to `Vec`"),
        (("PEPTIDE", 1.0, 3), "argument 'modifications': 'int' object cannot be converted to 'Sequence'"),
        ((b"PEPTIDE", 1.0, None), "argument 'sequence': 'bytes' object cannot be converted to 'PyString'"),
        ((None, 1.0, None), "argument 'sequence': 'NoneType' object cannot be converted to 'PyString'"),
        (("PEPTIDE", 1.0), "PyPeptide.__new__() missing 1 required positional argument: 'modifications'"),
        (("PEPTIDE",), "PyPeptide.__new__() missing 2 required positional arguments: 'monoisotopic' and 'modifications'"),
        (("A", 1.0, None, None, None, None), "PyPeptide.__new__() takes from 3 to 5 positional arguments but 6 were given"),
    ],
)
def test_constructor_errors(args, message):
    with pytest.raises(TypeError) as info:
        PyPeptide(*args)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "kwargs, name",
    [
        ({"monoisotopic": "heavy"}, "monoisotopic"),
        ({"monoisotopic": None}, "monoisotopic"),
        ({"modifications": [1.0, "x"]}, "modifications"),
        ({"nterm": "x"}, "nterm"),
        ({"cterm": [1.0]}, "cterm"),
        # conversion stops at the first failing parameter
        ({"monoisotopic": "x", "nterm": "y"}, "monoisotopic"),
    ],
)
def test_conversion_errors_name_the_parameter(kwargs, name):
    args = {"sequence": "PEPTIDE", "monoisotopic": 1.0, "modifications": None, **kwargs}
    with pytest.raises(TypeError) as info:
        PyPeptide(**args)
    assert type(info.value) is TypeError
    assert str(info.value).startswith("argument '%s': " % name)


def test_multi_byte_residues_count_per_byte():
    p = PyPeptide("PÉP", 1.0, None)
    assert p.sequence == "PÉP"
    assert len(p.mod_array) == len("PÉP".encode()) + 2 == 6


def build(peptides, decoys=True):
    return PyIndexedDatabase.from_peptides_and_config(
        peptides, 64, [PyKind.B(), PyKind.Y()], 0, decoys, "rev_", 0.0, 5000.0
    )


def test_strict_decoding_of_a_reversed_multi_byte_sequence():
    # A, C3 A9 (é), K reversed inside gives A, A9, C3, K: not UTF-8.
    db = build([PyPeptide("AéK", 300.0, None)])
    target, decoy = db.peptides
    assert target.sequence == "AéK"
    with pytest.raises(UnicodeError) as info:
        decoy.sequence
    assert str(info.value) == "invalid utf-8 sequence of 1 bytes from index 1"
    assert decoy.mod_array == [0.0] * 6


def test_reversal_moves_interior_residues_and_their_modifications():
    mods = [float(i) for i in range(8)]
    db = build([PyPeptide("PEPTIDEK", 900.0, mods, nterm=1.0, cterm=2.0)])
    target, decoy = db.peptides
    assert decoy.sequence == "PEDITPEK"
    assert decoy.mod_array == [1.0, 0.0, 6.0, 5.0, 4.0, 3.0, 2.0, 1.0, 7.0, 2.0]
    assert target.mod_array == [1.0] + mods + [2.0]


@pytest.mark.parametrize("sequence", ["AK", "AKR", "K"])
def test_short_sequences_are_their_own_reversal(sequence):
    # Their reversal equals a target, so no decoy is added.
    db = build([PyPeptide(sequence, 300.0, None)])
    assert [p.sequence for p in db.peptides] == [sequence]


def test_peptides_cross_the_boundary_as_copies():
    p = PyPeptide("PEPTIDEK", 900.0, None)
    db = build([p], decoys=False)
    p.mod_array = [1.0] * 10
    copy = db.peptides[0]
    assert copy is not db.peptides[0]
    assert copy.mod_array == [0.0] * 10
    copy.mod_array = [2.0] * 10
    assert db.peptides[0].mod_array == [0.0] * 10


def test_tolerance_is_not_a_peptide():
    with pytest.raises(TypeError) as info:
        build([PyPeptide("AK", 1.0, None), PyTolerance.Da(0, 0)])
    assert str(info.value) == "argument 'peptides': 'PyTolerance' object cannot be converted to 'PyPeptide'"
