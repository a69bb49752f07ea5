import json
import os
import platform
import random
import struct
import subprocess
import sys
import textwrap

import pytest

from _vornik_tamrel import PyIndexedDatabase, PyKind, PyPeptide, PyTolerance

BUILD_FAILED = "internal failure during indexed database generation"
RESIDUES = "ACDEFGHIKLMNPQRSTVWY"


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def build(peptides, bucket_size=4, kinds=None, min_ion_index=0, decoys=False, **overrides):
    args = dict(
        peptides=peptides,
        bucket_size=bucket_size,
        ion_kinds=[PyKind.B(), PyKind.Y()] if kinds is None else kinds,
        min_ion_index=min_ion_index,
        generate_decoys=decoys,
        decoy_tag="rev_",
        peptide_min_mass=0.0,
        peptide_max_mass=5000.0,
    )
    args.update(overrides)
    return PyIndexedDatabase.from_peptides_and_config(**args)


def pep(sequence, mass=1000.0, mods=None):
    return PyPeptide(sequence, mass, mods)


def sequences(db):
    return [p.sequence for p in db.peptides]


def buckets(db, size):
    summary = db.debug_fragment_summary()
    return [summary[i : i + size] for i in range(0, len(summary), size)]


def test_method_signatures():
    assert PyIndexedDatabase.from_peptides_and_config.__text_signature__ == (
        "(peptides, bucket_size, ion_kinds, min_ion_index, generate_decoys, decoy_tag, "
        "peptide_min_mass, peptide_max_mass)"
    )
    if platform.python_implementation() == "PyPy":
        return  # PyPy keeps no docstrings or signatures on method descriptors
    assert PyIndexedDatabase.sequence_for.__text_signature__ == "($self, pep_index)"
    assert PyIndexedDatabase.fragment_count.__doc__ == "Quick count of total fragments"
    assert PyIndexedDatabase.debug_fragment_summary.__doc__ == "Debug helper: return a summary of all indexed fragments"


def test_no_constructor():
    with pytest.raises(TypeError) as info:
        PyIndexedDatabase()
    assert str(info.value) == "No constructor defined for PyIndexedDatabase"


@pytest.mark.parametrize("decoys", [False, True])
def test_empty_peptide_list(decoys):
    db = build([], decoys=decoys)
    assert db.peptides == []
    assert db.fragment_count() == 0
    assert db.debug_fragment_summary() == []
    assert db.sequence_for(0) is None


@pytest.mark.parametrize(
    "given, decoys, expected",
    [
        (["PEPTIDEK", "AAA"], True, ["PEPTIDEK", "PEDITPEK", "AAA"]),
        (["PEPTIDEK", "AAA"], False, ["PEPTIDEK", "AAA"]),
        (["PEPTIDEK", "PEPTIDEK"], True, ["PEPTIDEK", "PEDITPEK"] * 2),
        # the reversal of the first is the second target: no decoy for either
        (["PEPTIDEK", "PEDITPEK"], True, ["PEPTIDEK", "PEDITPEK"]),
    ],
)
def test_decoys_follow_their_targets(given, decoys, expected):
    db = build([pep(s) for s in given], decoys=decoys)
    assert sequences(db) == expected
    assert [db.sequence_for(i) for i in range(len(expected) + 1)] == expected + [None]


def test_decoys_are_added_without_ion_kinds():
    db = build([pep("PEPTIDEK")], kinds=[], decoys=True)
    assert sequences(db) == ["PEPTIDEK", "PEDITPEK"]
    assert db.fragment_count() == 0 and db.debug_fragment_summary() == []


def test_sequence_for_replaces_invalid_utf8():
    db = build([pep("AéK")], decoys=True)
    assert db.sequence_for(0) == "AéK"
    assert db.sequence_for(1) == "A\ufffd\ufffdK"


@pytest.mark.parametrize("bad, error", [(-1, OverflowError), ("1", TypeError), (1.0, TypeError), (None, TypeError)])
def test_sequence_for_argument(bad, error):
    db = build([pep("AK")])
    with pytest.raises(error) as info:
        db.sequence_for(bad)
    if error is TypeError:
        assert str(info.value).startswith("argument 'pep_index': ")
    assert db.sequence_for(pep_index=0) == "AK"


@pytest.mark.parametrize(
    "peptides, min_ion_index, expected",
    [
        (["PEPTIDEK", "AAA", "K"], 0, 2 * (7 + 2 + 0)),
        (["PEPTIDEK", "AAA"], 1, 2 * (6 + 1)),
        (["PEPTIDEK", "AAA"], 2, 2 * (5 + 0)),
        (["PEPTIDEK"], 7, 0),
    ],
)
def test_fragment_count_follows_min_ion_index(peptides, min_ion_index, expected):
    db = build([pep(s) for s in peptides], min_ion_index=min_ion_index)
    assert db.fragment_count() == expected == len(db.debug_fragment_summary())


@pytest.mark.parametrize("kinds, count", [([PyKind.B()], 7), ([PyKind.Y()], 7), ([PyKind.B(), PyKind.B()], 14)])
def test_each_listed_kind_is_indexed(kinds, count):
    db = build([pep("PEPTIDEK")], kinds=kinds)
    assert db.fragment_count() == count


def test_b1_is_the_first_residue_plus_the_n_terminal_modification():
    db = build([PyPeptide("PEK", 400.0, [0.5, 0.0, 0.0], nterm=1.25)], kinds=[PyKind.B()], bucket_size=1)
    masses = [m for m, _ in db.debug_fragment_summary()]
    assert masses[0] == f32(f32(1.25 + f32(97.05276)) + 0.5)


@pytest.mark.parametrize("bucket_size", [1, 3, 4, 7, 1000])
def test_bucket_invariants(bucket_size):
    rng = random.Random(bucket_size)
    peptides = sorted(
        ("".join(rng.choice(RESIDUES) for _ in range(rng.randint(4, 12))) for _ in range(30)),
    )
    db = build([pep(s, 500.0 + i) for i, s in enumerate(peptides)], bucket_size=bucket_size, decoys=True)
    parts = buckets(db, bucket_size)
    assert sum(len(b) for b in parts) == db.fragment_count()
    for k, bucket in enumerate(parts):
        indices = [i for _, i in bucket]
        assert indices == sorted(indices)
        assert all(0 <= i < len(db.peptides) for i in indices)
        if k + 1 < len(parts):
            assert max(m for m, _ in bucket) <= min(m for m, _ in parts[k + 1])
    if bucket_size == 1:
        masses = [m for m, _ in db.debug_fragment_summary()]
        assert masses == sorted(masses)


def test_fragments_belong_to_their_peptide():
    db = build([pep("GGGG", 300.0), pep("WWWW", 800.0)], kinds=[PyKind.B()], bucket_size=1)
    # b ions of GGGG are lighter than every b ion of WWWW
    assert [i for _, i in db.debug_fragment_summary()] == [0, 0, 0, 1, 1, 1]


def test_mass_limits_are_ignored():
    db = build([pep("PEPTIDEK", 900.0)], peptide_min_mass=5000.0, peptide_max_mass=1.0)
    assert sequences(db) == ["PEPTIDEK"] and db.fragment_count() == 14


@pytest.mark.parametrize(
    "peptides, overrides",
    [
        ([pep("PEPTIDEK")], {"bucket_size": 0}),
        ([], {"bucket_size": 0}),
        ([pep("")], {}),
        # too few modification values: fragment generation, then reversal
        ([pep("PEPTIDE", mods=[1.0, 2.0, 3.0])], {}),
        ([pep("PEPTIDE", mods=[1.0, 2.0, 3.0])], {"ion_kinds": [], "generate_decoys": True}),
    ],
)
def test_build_failures_become_one_runtime_error(peptides, overrides):
    with pytest.raises(RuntimeError) as info:
        build(peptides, **overrides)
    assert type(info.value) is RuntimeError
    assert str(info.value) == BUILD_FAILED


def test_failure_on_a_worker_becomes_the_runtime_error():
    peptides = [pep("PEPTIDEK", 900.0 + i) for i in range(20000)]
    peptides.append(pep("PEPTIDE", 2000.0, mods=[0.0]))
    with pytest.raises(RuntimeError) as info:
        build(peptides, decoys=True)
    assert str(info.value) == BUILD_FAILED


def test_short_modifications_without_kinds_or_decoys_build():
    db = build([pep("PEPTIDE", mods=[1.0])], kinds=[])
    assert db.peptides[0].mod_array == [0.0, 1.0, 0.0]


@pytest.mark.parametrize(
    "overrides, message",
    [
        ({"peptides": "PEPTIDE"}, "argument 'peptides': Can't extract `str` to `Vec`"),
        ({"peptides": [1]}, "argument 'peptides': 'int' object cannot be converted to 'PyPeptide'"),
        ({"peptides": None}, "argument 'peptides': 'NoneType' object cannot be converted to 'Sequence'"),
        ({"ion_kinds": "BY"}, "argument 'ion_kinds': Can't extract `str` to `Vec`"),
        ({"ion_kinds": [PyTolerance.Da(0, 0)]}, "argument 'ion_kinds': 'PyTolerance' object cannot be converted to 'PyKind'"),
        ({"generate_decoys": 1}, "argument 'generate_decoys': 'int' object cannot be converted to 'PyBool'"),
        ({"decoy_tag": None}, "argument 'decoy_tag': 'NoneType' object cannot be converted to 'PyString'"),
        # the first failing parameter is reported
        ({"ion_kinds": "BY", "peptides": "X"}, "argument 'peptides': Can't extract `str` to `Vec`"),
        ({"decoy_tag": 1, "ion_kinds": "BY"}, "argument 'ion_kinds': Can't extract `str` to `Vec`"),
    ],
)
def test_argument_errors(overrides, message):
    with pytest.raises(TypeError) as info:
        build(**{"peptides": [pep("PEPTIDEK")], **overrides})
    assert str(info.value) == message


@pytest.mark.parametrize("name", ["bucket_size", "min_ion_index", "peptide_min_mass", "peptide_max_mass"])
def test_numeric_argument_errors_name_the_parameter(name):
    with pytest.raises(TypeError) as info:
        build([pep("PEPTIDEK")], **{name: "1"})
    assert str(info.value).startswith("argument '%s': " % name)


def test_all_arguments_are_required():
    with pytest.raises(TypeError) as info:
        PyIndexedDatabase.from_peptides_and_config([], 4, [], 0, False, "rev_", 0.0)
    assert str(info.value) == (
        "PyIndexedDatabase.from_peptides_and_config() missing 1 required positional argument: 'peptide_max_mass'"
    )


def test_static_method_works_on_an_instance():
    db = build([pep("AK")])
    assert sequences(db.from_peptides_and_config([pep("KA")], 4, [], 0, False, "", 0.0, 0.0)) == ["KA"]


WORKER_SCRIPT = textwrap.dedent(
    """
    import json, random, sys
    from _vornik_tamrel import PyIndexedDatabase, PyKind, PyPeptide
    rng = random.Random(20240611)
    residues = "ACDEFGHIKLMNPQRSTVWY"
    peptides = []
    for i in range(2500):
        seq = "".join(rng.choice(residues) for _ in range(rng.randint(6, 20)))
        peptides.append(PyPeptide(seq, 600.0 + i * 0.25, None, nterm=rng.choice([None, 42.010565])))
    db = PyIndexedDatabase.from_peptides_and_config(
        peptides, 512, [PyKind.B(), PyKind.Y()], 1, True, "rev_", 0.0, 5000.0)
    summary = db.debug_fragment_summary()
    buckets = [sorted(summary[i:i + 512]) for i in range(0, len(summary), 512)]
    json.dump({"peptides": [p.sequence for p in db.peptides], "buckets": buckets}, sys.stdout)
    """
)


def build_with_workers(count):
    env = dict(os.environ, RAYON_NUM_THREADS=str(count), PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    env.pop("RAYON_RS_NUM_CPUS", None)
    out = subprocess.run(
        [sys.executable, "-c", WORKER_SCRIPT], env=env, check=True, capture_output=True, text=True
    ).stdout
    return json.loads(out)


def test_worker_count_does_not_change_the_database():
    one, two = build_with_workers(1), build_with_workers(2)
    assert len(one["peptides"]) > 2500
    assert sum(len(b) for b in one["buckets"]) > 1 << 16  # large enough for the parallel sort
    assert one["peptides"] == two["peptides"]
    assert len(one["buckets"]) == len(two["buckets"])
    for k, (a, b) in enumerate(zip(one["buckets"], two["buckets"])):
        assert a == b, "bucket %d differs" % k


MEMORY_LIMIT_SCRIPT = textwrap.dedent(
    """
    import random, resource, sys
    from _vornik_tamrel import PyIndexedDatabase, PyKind, PyPeptide
    rng = random.Random(7)
    peptides = [PyPeptide("".join(rng.choice("ACDEFGHIKLMNPQRSTVWY") for _ in range(rng.randint(7, 30))),
                          700.0 + i / 100, None) for i in range(100000)]
    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) << 10 for line in status if line.startswith("VmSize:"))
    hard = resource.getrlimit(resource.RLIMIT_AS)[1]
    resource.setrlimit(resource.RLIMIT_AS, (size + (int(sys.argv[1]) << 20), hard))
    try:
        PyIndexedDatabase.from_peptides_and_config(
            peptides, 8192, [PyKind.B(), PyKind.Y()], 2, True, "rev_", 0.0, 5000.0)
        print("built")
    except MemoryError:
        print("MemoryError")
    """
)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/status")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's own allocator needs address space beyond the limit")
@pytest.mark.parametrize("headroom_mib", [16, 48, 80, 112, 144])
def test_exhausted_address_space_raises_memory_error(headroom_mib):
    # Four workers whatever the machine: each new worker must survive its first failure.
    env = dict(os.environ, RAYON_NUM_THREADS="4", PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, "-c", MEMORY_LIMIT_SCRIPT, str(headroom_mib)], env=env,
                         capture_output=True, text=True)
    assert (out.returncode, out.stderr) == (0, "")
    assert out.stdout in ("built\n", "MemoryError\n")
