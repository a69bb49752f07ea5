"""PyFeatureArrays: the 38 columns, extend, get_column_names and the summary."""

import platform

import pytest

import scoring_data as sd

COLUMNS = sd.COLUMNS
CPYTHON = platform.python_implementation() == "CPython"


def batch(count=8, seqs=sd.SEQUENCES, prefix="scan="):
    db, ordered = sd.build_db(seqs)
    return sd.scorer(min_isotope_err=-1).score_many_spectra(db, sd.many_spectra(db, ordered, count, prefix))


def one_peptide_batch(seq, copies=1, spec_id="scan=1", rt=12.5):
    db, ordered = sd.build_db(["GAGAGAK", seq])
    i = ordered.index(seq)
    spectra = [sd.spectrum(db, i, sd.mono(seq), spec_id=spec_id, rt=rt)] * copies
    return db, i, sd.scorer().score_many_spectra(db, spectra)


def columns(arrays):
    return {c: getattr(arrays, c) for c in COLUMNS}


@pytest.fixture
def arrays():
    return batch()


def test_columns_are_registered_in_declaration_order(arrays):
    names = [k for k, v in vars(type(arrays)).items()
             if type(v).__name__ == "getset_descriptor" and not k.startswith("__")]
    assert names == COLUMNS
    assert arrays.get_column_names() == COLUMNS


@pytest.mark.parametrize("spec_id", ["a, b: c", "x, PyFeatureArrays { y: z }", "}", ", :, :"])
def test_column_names_do_not_depend_on_the_values(spec_id):
    # Separators and colons inside stored strings must not add names.
    arrays = batch(4, prefix=spec_id)
    assert arrays.spec_id[0] == spec_id + "0"
    assert arrays.get_column_names() == COLUMNS


def test_columns_of_a_batch(arrays):
    c = columns(arrays)
    assert {len(v) for v in c.values()} == {8}
    assert c["spec_id"] == ["scan=%d" % i for i in range(8)]
    assert c["sequence"] == ["GAGAGAK", "SAMPLER", "LESLIEK", "PEPTIDEK"] * 2
    assert c["charge"] == [2, 3] * 4 and c["rank"] == [1] * 8 and c["label"] == [1] * 8
    assert c["isotope_error"] == [0.0] * 4 + [1.003350019454956] * 4
    assert c["file_id"] == [i % 3 for i in range(8)]
    assert len(set(c["psm_id"])) == 8
    for name, values in c.items():
        expected = {"spec_id": str, "sequence": str, "modifications": list}.get(name)
        expected = expected or (float if isinstance(values[0], float) else int)
        assert all(type(v) is expected for v in values), name


def test_rows_carry_the_peptide_bytes_and_combined_modifications():
    seq = "P\u00c9PTIDEK"  # 9 bytes in UTF-8
    db, i, arrays = one_peptide_batch(seq)
    assert arrays.sequence == [seq]
    assert arrays.peptide_len == [9]
    assert arrays.modifications == [db.peptides[i].mod_array] == [[0.0] * 11]


def test_32_bit_values_read_back_widened_exactly():
    _, _, arrays = one_peptide_batch("PEPTIDEK", rt=0.1)
    assert arrays.rt == arrays.aligned_rt == [0.10000000149011612]


def test_reads_are_independent_copies(arrays):
    hyperscore = arrays.hyperscore
    hyperscore.append(1.0)
    hyperscore[0] = -1.0
    mods = arrays.modifications
    mods[0].append(3.0)
    assert arrays.hyperscore != hyperscore and len(arrays.hyperscore) == 8
    assert arrays.modifications[0] == [0.0] * 9


def test_extend_appends_every_column_and_leaves_other_unchanged(arrays):
    other = batch(3, prefix="other=")
    before, added = columns(arrays), columns(other)
    assert arrays.extend(other) is None
    assert columns(arrays) == {c: before[c] + added[c] for c in COLUMNS}
    assert columns(other) == added
    arrays.extend(other=other)
    assert len(arrays.file_id) == 14 and columns(other) == added


def test_extend_with_itself_fails_and_changes_nothing(arrays):
    before = columns(arrays)
    with pytest.raises(RuntimeError) as e:
        arrays.extend(arrays)
    assert str(e.value) == "Already mutably borrowed"
    assert columns(arrays) == before
    # The writer borrow was given back: the object is usable again.
    arrays.extend(batch(1))
    assert len(arrays.rank) == 9


@pytest.mark.parametrize("args, kwargs, message", [
    ((5,), {}, "argument 'other': 'int' object cannot be converted to 'PyFeatureArrays'"),
    (([],), {}, "argument 'other': 'list' object cannot be converted to 'PyFeatureArrays'"),
    ((), {}, "PyFeatureArrays.extend() missing 1 required positional argument: 'other'"),
    ((None, None), {}, "PyFeatureArrays.extend() takes 1 positional argument but 2 were given"),
    ((), {"others": None}, "PyFeatureArrays.extend() got an unexpected keyword argument 'others'"),
])
def test_extend_argument_errors_change_nothing(arrays, args, kwargs, message):
    before = columns(arrays)
    with pytest.raises(TypeError) as e:
        arrays.extend(*args, **kwargs)
    assert str(e.value) == message
    assert columns(arrays) == before


def test_repr_shows_three_samples(arrays):
    h = arrays.hyperscore
    assert repr(arrays) == (
        "PyFeatureArrays(\n\tFeatures: 8,\n"
        '\tSample Sequence: ["GAGAGAK", "SAMPLER", "LESLIEK"],\n'
        "\tSample Hyperscore: [%r, %r, %r],\n"
        "\tSample Charge: [2, 3, 2]\n)" % (h[0], h[1], h[2]))


def test_repr_with_fewer_rows_and_escaped_strings():
    seq = 'PE"P\\T\tI\x01DEK'
    _, _, arrays = one_peptide_batch(seq, copies=2)
    (h, _) = arrays.hyperscore
    assert repr(arrays) == (
        "PyFeatureArrays(\n\tFeatures: 2,\n"
        '\tSample Sequence: ["PE\\"P\\\\T\\tI\\u{1}DEK", "PE\\"P\\\\T\\tI\\u{1}DEK"],\n'
        "\tSample Hyperscore: [%r, %r],\n"
        "\tSample Charge: [2, 2]\n)" % (h, h))
    assert str(arrays) == repr(arrays)


def test_class_offers_no_constructor_and_no_length(arrays):
    cls = type(arrays)
    with pytest.raises(TypeError) as e:
        cls()
    assert str(e.value) == "No constructor defined for PyFeatureArrays"
    with pytest.raises(TypeError):
        len(arrays)
    with pytest.raises(AttributeError):
        arrays.rank = []
    assert cls.__qualname__ == "PyFeatureArrays"
    assert cls.__doc__ == ("A columnar representation of many PyFeature objects, optimized for zero-copy\n"
                           "transfer to Python's data analysis libraries (e.g., Polars or Pandas).")


@pytest.mark.skipif(not CPYTHON, reason="PyPy shows no method docs here")
def test_method_docs():
    cls = type(batch(1))
    assert cls.extend.__text_signature__ == "($self, other)"
    first, second = cls.extend.__doc__.split("\n")
    assert first == "Extends this PyFeatureArrays object with the contents of another,"
    assert "efficient" in second
    assert cls.get_column_names.__doc__ == (
        "Returns a list of all column names (field names) available in this struct.")
