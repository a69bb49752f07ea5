"""Digestion, modifications and peptide masses of the vornik_tamrel package."""
import os
import struct
import subprocess
import sys
import warnings

import numpy as np
import pytest

pytest.importorskip("numpy")
from vornik_tamrel.digest import DigestSettings, digest  # noqa: E402
from vornik_tamrel.fasta import Protein, read_fasta  # noqa: E402
from vornik_tamrel.errors import InputWarning  # noqa: E402
from vornik_tamrel.masses import PROTON, RESIDUE_MASS, WATER, Modification, ModificationSettings, f32  # noqa: E402
from vornik_tamrel.errors import FastaError  # noqa: E402

NO_MODS = ModificationSettings(fixed=(), variable=())


def bits(x):
    return struct.unpack("<I", struct.pack("<f", x))[0]


def loose(**kw):
    """Settings that let short test peptides through."""
    base = dict(min_length=1, max_length=50, min_mass=0.0, max_mass=10000.0, missed_cleavages=0, mods=NO_MODS)
    base.update(kw)
    return DigestSettings(**base)


def rows(peptides):
    return [(s, m, n, c) for s, m, n, c in zip(peptides.sequences, peptides.modifications, peptides.nterm, peptides.cterm)]


@pytest.mark.parametrize("letter, pattern", [("A", 0x428E1300), ("C", 0x42CE04B5), ("K", 0x4300184F),
                                             ("M", 0x43030A5E), ("W", 0x433A144E), ("L", 0x42E22B0A)])
def test_residue_masses_are_the_engine_bit_patterns(letter, pattern):
    assert bits(RESIDUE_MASS[letter]) == pattern


def test_proton_is_the_engine_constant():
    assert bits(PROTON) == 0x3F80EE6F


def test_tryptic_cleavage_respects_proline_and_missed_cleavages():
    proteins = [Protein("P1", "AAKPAARGGKCCR")]
    zero = sorted(digest(proteins, loose()).sequences)
    assert zero == ["AAKPAAR", "CCR", "GGK"]  # no cut before P
    one = sorted(digest(proteins, loose(missed_cleavages=1)).sequences)
    assert one == ["AAKPAAR", "AAKPAARGGK", "CCR", "GGK", "GGKCCR"]
    assert sorted(digest(proteins, loose(enzyme="trypsin/p")).sequences) == ["AAK", "CCR", "GGK", "PAAR"]


def test_lys_n_cuts_before_lysine():
    assert sorted(digest([Protein("P", "AAKGGKCC")], loose(enzyme="lys-n")).sequences) == ["AA", "KCC", "KGG"]


def test_peptides_never_span_two_proteins():
    # "GK" + "AAR": a span across the boundary would read GKAAR
    seqs = digest([Protein("P1", "GK"), Protein("P2", "AAR")], loose(missed_cleavages=2)).sequences
    assert sorted(seqs) == ["AAR", "GK"]


def test_mass_is_sum_of_engine_residues_plus_water_rounded_once():
    peptides = digest([Protein("P", "PEPTIDEK")], loose())
    expected = sum(RESIDUE_MASS[a] for a in "PEPTIDEK") + WATER
    assert peptides.masses.dtype == np.float32
    assert peptides.masses[0] == np.float32(expected)
    assert abs(float(peptides.masses[0]) - 927.4549) < 1e-3  # PEPTIDEK, hand-computed


def test_fixed_and_variable_modifications_by_hand():
    mods = ModificationSettings(fixed=(Modification("C", f32(57.021464)),),
                                variable=(Modification("M", f32(15.994915)),), max_variable=2)
    peptides = digest([Protein("P", "MCMK")], loose(mods=mods))
    cam, ox = f32(57.021464), f32(15.994915)
    base = RESIDUE_MASS["M"] * 2 + RESIDUE_MASS["C"] + RESIDUE_MASS["K"] + WATER + cam
    got = {tuple(m): float(mass) for m, mass in zip(peptides.modifications, peptides.masses)}
    assert got == {
        (0.0, cam, 0.0, 0.0): pytest.approx(float(np.float32(base))),
        (ox, cam, 0.0, 0.0): pytest.approx(float(np.float32(base + ox))),
        (0.0, cam, ox, 0.0): pytest.approx(float(np.float32(base + ox))),
        (ox, cam, ox, 0.0): pytest.approx(float(np.float32(base + 2 * ox))),
    }
    assert list(peptides.masses) == sorted(peptides.masses)


@pytest.mark.parametrize("variable", [
    (Modification("M", f32(15.994915)),),  # the vectorised path
    (Modification("M", f32(15.994915)), Modification("M", f32(31.989829))),  # alternatives: the general path
])
def test_both_expansion_paths_agree_with_a_plain_enumeration(variable):
    import itertools
    mods = ModificationSettings(fixed=(Modification("C", f32(57.021464)),), variable=variable, max_variable=2)
    proteins = [Protein("P", "MCMKAMMMCRGGGKMK")]
    peptides = digest(proteins, loose(mods=mods, missed_cleavages=1))
    got = sorted((s, tuple(m or [0.0] * len(s)), round(float(x), 3))
                 for s, m, x in zip(peptides.sequences, peptides.modifications, peptides.masses))
    expected = []
    for seq in sorted(set(peptides.sequences)):
        fixed = [f32(57.021464) if a == "C" else 0.0 for a in seq]
        sites = [i for i, a in enumerate(seq) if a == "M"]
        for n in range(min(2, len(sites)) + 1):
            for combo in itertools.combinations(sites, n):
                for deltas in itertools.product(*([m.mass for m in variable] for _ in combo)):
                    per = list(fixed)
                    for i, d in zip(combo, deltas):
                        per[i] += d
                    mass = sum(RESIDUE_MASS[a] for a in seq) + WATER + sum(per)
                    expected.append((seq, tuple(per), round(float(np.float32(mass)), 3)))
    assert got == sorted(expected)
    assert list(peptides.masses) == sorted(peptides.masses)


def test_variable_modification_limit_per_peptide():
    mods = ModificationSettings(fixed=(), variable=(Modification("M", 16.0),), max_variable=1)
    peptides = digest([Protein("P", "MAMAMK")], loose(mods=mods))
    assert len(peptides) == 1 + 3  # unmodified, and each single M
    assert max(sum(1 for x in (m or []) if x) for m in peptides.modifications) == 1


def test_terminal_modifications_become_nterm_and_cterm():
    mods = ModificationSettings(fixed=(Modification("^", f32(42.010565)),), variable=(Modification("$", 1.0),))
    peptides = digest([Protein("P", "GGGK")], loose(mods=mods))
    assert rows(peptides) == [("GGGK", None, f32(42.010565), None), ("GGGK", None, f32(42.010565), 1.0)]
    base = RESIDUE_MASS["G"] * 3 + RESIDUE_MASS["K"] + WATER + f32(42.010565)
    assert peptides.masses.tolist() == [np.float32(base), np.float32(base + 1.0)]


def test_duplicates_merged_and_every_protein_kept():
    proteins = [Protein("A", "GGGGGKLLLLLK"), Protein("B", "WWWWWKGGGGGK"), Protein("C", "GGGGGK")]
    peptides = digest(proteins, loose())
    assert peptides.sequences.count("GGGGGK") == 1
    assert peptides.proteins["GGGGGK"] == ("A", "B", "C")
    assert peptides.proteins["LLLLLK"] == ("A",)
    assert "NOPE" not in peptides.proteins


@pytest.mark.parametrize("mix", [None, 0])  # 0: every sequence hashes to its length, so hashes collide
def test_protein_lookup_by_hash_agrees_with_a_dictionary(monkeypatch, mix):
    import vornik_tamrel.digest as module

    if mix is not None:
        monkeypatch.setattr(module, "_HASH_MULTIPLIERS", (np.uint64(mix), np.uint64(mix)))
    rng = np.random.default_rng(5)
    # few letters: sequences that share their length and first and last eight letters, short ones too
    proteins = [Protein(f"P{i}", "".join(rng.choice(list("AGKLRWE"), 60))) for i in range(40)]
    proteins += [Protein("Q1", "GGGGGGGGAGGGGGGGGK"), Protein("Q2", "GGGGGGGGLGGGGGGGGK")]
    peptides = digest(proteins, loose())
    m = peptides.proteins  # the map's own arrays, read by sequence number
    truth = {seq: tuple(m._accessions[i] for i in m._protein_ids[m._offsets[k]:m._offsets[k + 1]])
             for k, seq in enumerate(m.sequences)}
    asked = list(truth) + ["", "NOPE", "GGGGGGGGGK", "Ä" + next(iter(truth))[1:]]
    assert peptides.proteins.accessions(asked) == [truth.get(s, ()) for s in asked]
    assert [s in peptides.proteins for s in asked] == [s in truth for s in asked]


@pytest.mark.parametrize("kw, expected", [
    (dict(min_length=4), ["AAAAK", "CCCCCCR"]),
    (dict(max_length=5), ["AAAAK", "GGR"]),
    (dict(max_mass=300.0), ["GGR"]),
])
def test_length_and_mass_limits(kw, expected):
    assert sorted(digest([Protein("P", "AAAAKGGRCCCCCCR")], loose(**kw)).sequences) == expected


def test_ambiguous_residues_drop_the_peptide():
    assert digest([Protein("P", "AABKGGGR")], loose()).sequences == ["GGGR"]


def test_sorted_by_mass_ties_in_order_of_first_appearance():
    peptides = digest([Protein("P", "LGGKIGGKWWWR"), Protein("Q", "AGGKIGGK")], loose())
    # LGGK, IGGK weigh the same: they keep the order in which the proteins first hold them
    assert peptides.sequences == ["AGGK", "LGGK", "IGGK", "WWWR"]
    assert peptides.masses[1] == peptides.masses[2]
    assert peptides.proteins["IGGK"] == ("P", "Q")


@pytest.mark.parametrize("text, message", [
    ("C57", "expected SITES:MASS"),
    ("Cx:57", "expected SITES:MASS"),
    ("1:57", "expected SITES:MASS"),
    ("C:-1e39", "the mass lies beyond the 32-bit range"),  # was -inf, and no peptide left, said as such
])
def test_modification_syntax_errors(text, message):
    with pytest.raises(ValueError, match=message):
        Modification.parse(text)


def test_modifications_made_by_hand_hold_32_bit_masses():
    with pytest.raises(ValueError, match="modification M:inf: the mass is not a finite 32-bit number"):
        ModificationSettings(variable=(Modification("M", float("inf")),))


def test_settings_reject_empty_ranges():
    with pytest.raises(ValueError, match="length range 9..8 is empty"):
        DigestSettings(min_length=9, max_length=8)
    with pytest.raises(ValueError, match="unknown enzyme 'pepsin'"):
        DigestSettings(enzyme="pepsin")


def test_package_digest_stays_the_function_once_its_module_is_imported():
    import vornik_tamrel
    import vornik_tamrel.digest  # noqa: F401  (as the search does; the package's attribute becomes the module)

    proteins = [Protein("P1", "MPEPTIDEKAAGGLLK")]
    assert vornik_tamrel.digest(proteins).sequences == digest(proteins).sequences != []


def test_fasta_reading_and_errors(tmp_path):
    good = tmp_path / "p.fasta"
    good.write_text(">sp|P1|ONE first\nPEPT\nIDEK*\n\n>P2\nggk\n")
    assert read_fasta(good) == [Protein("sp|P1|ONE", "PEPTIDEK"), Protein("P2", "GGK")]
    bad = tmp_path / "bad.fasta"
    bad.write_text("PEPTIDE\n>P1\nAAA\n")
    with pytest.raises(FastaError, match=r"bad.fasta: line 1: sequence before the first '>' header"):
        read_fasta(bad)
    digits = tmp_path / "digits.fasta"
    digits.write_text(">P1\nAA1A\n")
    with pytest.raises(FastaError, match=r"protein P1: invalid character\(s\) '1'"):
        read_fasta(digits)
    with pytest.raises(FastaError, match="missing.fasta: cannot read FASTA"):
        read_fasta(tmp_path / "missing.fasta")
    twice = tmp_path / "twice.fasta"
    twice.write_text(">P1\nAAK\n>P2\nGGK\n>P1\nAAK\n")
    with pytest.warns(InputWarning, match=r"twice.fasta: skipped 1 record\(s\) repeating an earlier one \(first: P1\)"):
        assert read_fasta(twice) == [Protein("P1", "AAK"), Protein("P2", "GGK")]
    twice.write_text(">P1\nAAK\n>P1\nAAR\n")
    with pytest.raises(FastaError, match="twice.fasta: protein P1 is given twice, with different sequences"):
        read_fasta(twice)


@pytest.mark.parametrize("data", [
    b">sp|P1|ONE first\nPEPT\nIDEK*\n\n>P2\nggk\n", b">P1 a\r\nPEPTIDEK\r\n>P2\r\nGGK\r\n", b">P1\rPEPK\r>P2\rAAK",
    b";comment\n>P1\nPEPK\n", b">P1\n; note\nPEPK\n", b">P1\xc2\xa0desc\nPE PK \n", b">P1\x1fdesc\nPEPK\n",
    b">P\xff1 x\nPEPK\n", b">P1\n\tPEPK\n  >P2\nAAK\n", b">P1\n>P2\n\n>P3\nAAK", b"\n>P1\nPEPK\n",
    b"\xef\xbb\xbf>P1\nPEPK\n", b"\xef\xbb\xbf\n>P1\n;x\nPEPK\n", b">P1\nPEPK**\n>P2 \x00x\nAAK\n",
    b">\x0bP1\x0bd\x1cx\nPEPK\n>P2\x85y\nAAK\n", b">P1\nPEPK\n>P2\n",
])
def test_fasta_whole_record_reading_agrees_with_the_line_reader(tmp_path, data):
    import gzip

    from vornik_tamrel.fasta import _parse

    for path, content in ((tmp_path / "p.fasta", data), (tmp_path / "p.fasta.gz", gzip.compress(data))):
        path.write_bytes(content)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", InputWarning)
            assert read_fasta(path) == [p for p in _parse(str(path)) if p.sequence]


def test_fasta_record_without_sequence_is_skipped_with_a_warning(tmp_path):
    path = tmp_path / "gap.fasta"
    path.write_text(">EMPTY1\n>P1\nPEPTIDEK\n>EMPTY2 no residues\n\n")
    with pytest.warns(InputWarning) as caught:
        assert read_fasta(path) == [Protein("P1", "PEPTIDEK")]
    assert [str(w.message) for w in caught] == [f"{path}: skipped 2 record(s) without a sequence (first: EMPTY1)"]


def fingerprint(peptides):
    """A digest of every row (sequence, 32-bit masses and modifications) and of the protein map."""
    import hashlib

    h = hashlib.sha256(peptides.masses.tobytes() + peptides.missed_cleavages.tobytes())
    for seq, mods, n, c in zip(peptides.sequences, peptides.modifications, peptides.nterm, peptides.cterm):
        h.update(repr((seq, None if mods is None else np.asarray(mods, np.float32).tobytes(), n, c)).encode())
    for seq in sorted(set(peptides.sequences)):
        h.update(repr(peptides.proteins[seq]).encode())
    return h.hexdigest()


GENERAL_MODS = ModificationSettings(
    fixed=(Modification("C", f32(57.021464)), Modification("^", f32(42.010565))),
    variable=(Modification("M", f32(15.994915)), Modification("M", f32(31.989829)), Modification("$", f32(0.984016)),
              Modification("STY", f32(79.966331))), max_variable=3)


# Digests of what the earlier array-and-list digestion produced from the bundled FASTA.
@pytest.mark.parametrize("kw, expected", [
    ({}, "7f53d93b6f2f0a30aba2c9a43477ee4cd95a734729e61e8be473b967a8355d3d"),
    (dict(mods=GENERAL_MODS, missed_cleavages=2, min_length=5, enzyme="lys-n"),
     "651adcb6aef6dd36653418810c7103bb40ab94ad9761a0b3199cf3b28f519d9a"),
])
def test_digestion_reproduces_the_earlier_results_bit_for_bit(kw, expected):
    from pathlib import Path

    proteins = read_fasta(Path(__file__).resolve().parents[2] / "data" / "18proteins_contaminants.fasta")
    assert fingerprint(digest(proteins, DigestSettings(**kw))) == expected


@pytest.mark.parametrize("proc, files, left", [
    ("0::/job\n", {"job/memory.max": "1000", "job/memory.current": "400"}, 600),
    ("0::/job\n", {"job/memory.max": "max", "job/memory.current": "400"}, None),
    ("0::/job\n", {"job/memory.max": "300", "job/memory.current": "400"}, 1),  # over its limit already
    ("4:memory:/slurm/job1\n0::/\n", {"memory/slurm/job1/memory.limit_in_bytes": "2000",
                                      "memory/slurm/job1/memory.usage_in_bytes": "500"}, 1500),
    # a container sees the host's path, its own group mounted at the root
    ("5:cpu,memory:/docker/abc\n",
     {"memory/memory.limit_in_bytes": "800", "memory/memory.usage_in_bytes": "100"}, 700),
    ("4:memory:/\n", {"memory/memory.limit_in_bytes": "9223372036854771712", "memory/memory.usage_in_bytes": "1"}, None),
    ("4:memory:/gone\n", {}, None),
    ("garbage\n", {}, None),
])
def test_memory_left_by_control_group_v1_and_v2(tmp_path, proc, files, left):
    from vornik_tamrel.digest import cgroup_memory_left

    (tmp_path / "cgroup").write_text(proc)
    for name, text in files.items():
        (tmp_path / "fs" / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "fs" / name).write_text(text + "\n")
    assert cgroup_memory_left(str(tmp_path / "cgroup"), str(tmp_path / "fs")) == left


WORKERS_SCRIPT = """
import hashlib, random, sys
from vornik_tamrel import _native
rng = random.Random(11)
proteome = "\\n".join("".join(rng.choice("ACDEFGHIKLMNPQRSTVWYX") for _ in range(rng.randint(50, 900)))
                      for _ in range(4000))
fixed = [0.0] * 26
fixed[2] = 57.021464
args = [proteome, "KR", "P", True, 2, 6, 40, 400.0, 6000.0, 18.0105646837, fixed, 0.0, 0.0,
        [("M", [15.994915, 31.989829]), ("^", [42.010565])], 1]
columns = _native.digest(*args, 0)
print(hashlib.sha256(b"".join(columns[k] for k in sorted(columns))).hexdigest(), len(columns["sequence_offsets"]) // 8 - 1)
try:
    _native.digest(*args, int(sys.argv[1]))
except _native.InputError as exc:
    print(exc)
"""


def test_worker_count_changes_neither_the_digest_nor_where_the_budget_stops_it():
    # Enough distinct sequences for the forms to be made in several rounds of blocks; the budget runs out late.
    runs = []
    for workers in (1, 2, 3):
        env = dict(os.environ, RAYON_NUM_THREADS=str(workers), PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
        env.pop("RAYON_RS_NUM_CPUS", None)
        runs.append(subprocess.run([sys.executable, "-c", WORKERS_SCRIPT, str(330 << 20)], env=env, check=True,
                                   capture_output=True, text=True).stdout)
    assert runs[0] == runs[1] == runs[2]
    digest_line, message = runs[0].splitlines()
    assert int(digest_line.split()[1]) > 150_000  # distinct sequences
    assert message.startswith("the peptides to search would not fit in memory: 142230 of 161183 sequences made ")
