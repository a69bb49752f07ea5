"""The package's internal module against the public engine: an index built from
peptide columns and a batch scored from spectrum columns give bit-identical
rows to PyPeptide/PyIndexedDatabase/PyScorer.score_many_spectra."""
import math
import os
import random
import struct
import subprocess
import sys
import textwrap
from array import array

import pytest

import _vornik_tamrel as vt
from scoring_data import COLUMNS, mono

native = pytest.importorskip("vornik_tamrel._native")

SEED = 20261208
OXIDATION = 15.994915


def peptides(rng, count=300):
    """Random tryptic peptides with oxidised M and N-terminal masses, sorted by 32-bit mass."""
    rows = []
    for _ in range(count):
        seq = "".join(rng.choice("ACDEFGHILMNPQSTVWY") for _ in range(rng.randint(6, 18))) + rng.choice("KR")
        mods = [OXIDATION if r == "M" and rng.random() < 0.5 else (57.021464 if r == "C" else 0.0) for r in seq]
        nterm = 42.010565 if rng.random() < 0.2 else None
        mass = mono(seq) + sum(mods) + (nterm or 0.0)
        rows.append((struct.unpack("f", struct.pack("f", mass))[0], seq, mods, nterm))
    rows.sort(key=lambda r: r[0])
    return rows


def public_db(rows, bucket):
    peps = [vt.PyPeptide(seq, mass, mods, nterm, None) for mass, seq, mods, nterm in rows]
    return vt.PyIndexedDatabase.from_peptides_and_config(
        peps, bucket, [vt.PyKind.B(), vt.PyKind.Y()], 2, True, "rev_", 0.0, 5000.0)


def native_index(rows, bucket):
    offsets = array("q", [0])
    for _, seq, _, _ in rows:
        offsets.append(offsets[-1] + len(seq))
    return native.build_index(
        "".join(r[1] for r in rows).encode(), offsets, array("f", [r[0] for r in rows]),
        array("f", [m for r in rows for m in r[2]]), array("f", [math.nan if r[3] is None else r[3] for r in rows]),
        array("f", [math.nan] * len(rows)), array("B", [0] * len(rows)), bucket, 2, "rev_")


def spectra(rng, db, rows, count=60):
    """Spectra built from a peptide's indexed fragments plus noise, some with unknown charge or a window."""
    by_peptide = {}
    for mass, idx in db.debug_fragment_summary():
        by_peptide.setdefault(idx, []).append(mass)
    out = []
    for i in range(count):
        idx = rng.randrange(len(rows))
        masses = sorted(m + rng.uniform(-0.005, 0.005) for m in by_peptide.get(idx * 2, [])[::rng.randint(1, 2)])
        masses = sorted(masses + [rng.uniform(150, 2000) for _ in range(rng.randint(5, 40))])
        charge = rng.choice([2, 3, None])
        window = (1.5, 2.0) if rng.random() < 0.3 else None
        out.append(dict(id=f"scan={i}", file_id=i % 3, rt=rng.uniform(0, 90), mz=(rows[idx][0] / (charge or 2)) + 1.0072764,
                        charge=charge, intensity=rng.choice([None, 1.0e5]), window=window,
                        ims=rng.choice([None, 0.9]), tic=rng.uniform(1e3, 1e6), mass=masses,
                        peaks=[rng.uniform(1, 1000) for _ in masses]))
    return out


def public_spectrum(s):
    window = vt.PyTolerance.Da(-s["window"][0], s["window"][1]) if s["window"] else None
    precursor = vt.PyPrecursor(s["mz"], s["charge"], s["intensity"], window, s["ims"])
    return vt.PyProcessedSpectrum(s["id"], s["file_id"], s["rt"], array("f", s["mass"]), array("f", s["peaks"]),
                                  [precursor], s["tic"])


def native_batch(batch):
    nan = math.nan
    offsets = array("q", [0])
    for s in batch:
        offsets.append(offsets[-1] + len(s["mass"]))
    return dict(
        ids=[s["id"] for s in batch], file_id=array("I", [s["file_id"] for s in batch]),
        rt=array("f", [s["rt"] for s in batch]), precursor_mz=array("f", [s["mz"] for s in batch]),
        charge=array("B", [s["charge"] or 0 for s in batch]),
        precursor_intensity=array("f", [nan if s["intensity"] is None else s["intensity"] for s in batch]),
        window_lower=array("f", [s["window"][0] if s["window"] else nan for s in batch]),
        window_upper=array("f", [s["window"][1] if s["window"] else nan for s in batch]),
        ims=array("f", [nan if s["ims"] is None else s["ims"] for s in batch]),
        total_ion_current=array("f", [s["tic"] for s in batch]), peak_offsets=offsets,
        mass=array("f", [m for s in batch for m in s["mass"]]),
        intensity=array("f", [p for s in batch for p in s["peaks"]]))


TYPECODES = {"file_id": "I", "psm_id": "I", "rank": "I", "peptide_len": "I", "missed_cleavages": "B",
             "charge": "B", "hyperscore": "d", "delta_next": "d", "delta_best": "d", "poisson": "d",
             "matched_peaks": "I", "longest_b": "I", "longest_y": "I", "scored_candidates": "I", "label": "i"}


def native_rows(columns):
    """The returned buffers read back as lists, as PyFeatureArrays gives them."""
    out = {}
    for name in COLUMNS:
        if name in ("spec_id", "sequence"):
            out[name] = columns[name]
        elif name == "modifications":
            flat, offsets = array("f", columns[name]), array("q", columns["modification_offsets"])
            out[name] = [list(flat[a:b]) for a, b in zip(offsets, offsets[1:])]
        else:
            out[name] = list(array(TYPECODES.get(name, "f"), columns[name]))
    return out


SETTINGS = {
    "standard": dict(wide_window=False, chimera=False, report_psms=3, min_isotope_err=0, max_isotope_err=1),
    "chimera": dict(wide_window=False, chimera=True, report_psms=3, min_isotope_err=-1, max_isotope_err=2),
    "wide window": dict(wide_window=True, chimera=False, report_psms=2, min_isotope_err=0, max_isotope_err=0),
}


@pytest.mark.parametrize("fragment_unit", ["da", "ppm"])
@pytest.mark.parametrize("bucket", [16, 8192])
@pytest.mark.parametrize("mode", sorted(SETTINGS))
def test_native_rows_equal_public_engine_rows(mode, bucket, fragment_unit):
    rng = random.Random(SEED)
    rows = peptides(rng)
    db, index = public_db(rows, bucket), native_index(rows, bucket)
    assert index.fragment_count() == db.fragment_count()
    assert index.peptide_count() == len(db.peptides)
    batch = spectra(rng, db, rows)
    frag = (-0.5, 0.5) if fragment_unit == "da" else (-20.0, 20.0)
    common = dict(SETTINGS[mode], min_precursor_charge=2, max_precursor_charge=3, min_matched_peaks=2,
                  max_fragment_charge=2)
    tol = vt.PyTolerance.Da(*frag) if fragment_unit == "da" else vt.PyTolerance.Ppm(*frag)
    expected = vt.PyScorer(vt.PyTolerance.Ppm(-10.0, 10.0), tol, annotate_matches=False, **common) \
        .score_many_spectra(db, [public_spectrum(s) for s in batch])
    scorer = native.Scorer("ppm", -10.0, 10.0, fragment_unit, *frag, **common)
    got = native_rows(scorer.score(index, **native_batch(batch)))
    assert len(got["rank"]) > len(batch) // 2, f"seed {SEED}: too few matches to compare"
    for name in COLUMNS:
        if name != "psm_id":  # a process-wide serial number
            want = getattr(expected, name)
            assert [struct.pack("d", v) if isinstance(v, float) else v for v in got[name]] == \
                   [struct.pack("d", v) if isinstance(v, float) else v for v in want], f"{name}, seed {SEED}"


@pytest.mark.parametrize("mode", sorted(SETTINGS))
def test_score_pair_equals_two_scoring_calls(mode):
    rng = random.Random(SEED)
    rows = peptides(rng)
    index = native_index(rows, 16)
    batch = native_batch(spectra(rng, public_db(rows, 16), rows))
    common = dict(min_precursor_charge=2, max_precursor_charge=3, max_fragment_charge=2)
    main = native.Scorer("ppm", -10.0, 10.0, "da", -0.5, 0.5, min_matched_peaks=2, **SETTINGS[mode], **common)
    wide = native.Scorer("da", -25.0, 25.0, "da", -0.5, 0.5, wide_window=False, chimera=False, report_psms=20,
                         min_isotope_err=0, max_isotope_err=0, min_matched_peaks=1, **common)
    pair = main.score_pair(wide, index, **batch)
    for got, scorer in zip(pair, (main, wide)):
        want = scorer.score(index, **batch)
        assert len(want["rank"]) > 0
        assert {k: v for k, v in got.items() if k != "psm_id"} == {k: v for k, v in want.items() if k != "psm_id"}
    with pytest.raises(TypeError, match=r"^argument 'wider': 'int' object cannot be converted to 'Scorer'$"):
        main.score_pair(1, index, **batch)


@pytest.mark.parametrize("change, message", [
    (dict(offsets=array("q", [0, 3])), "offsets has 2 entries, expected 3"),
    (dict(offsets=array("q", [0, 5, 4])), "offsets must not decrease"),
    (dict(offsets=array("q", [1, 2, 4])), "offsets must run from 0 to the number of residues"),
    (dict(masses=array("d", [1.0, 2.0])), "argument 'masses': expected a contiguous buffer of float32"),
    (dict(modifications=array("f", [0.0])), "modifications has 1 entries, expected 4"),
    (dict(bucket_size=0), "bucket_size must be at least 1"),
    (dict(ion_kinds="bq"), "ion kinds are letters among 'abcxyz', not q"),
])
def test_build_index_rejects_inconsistent_columns(change, message):
    args = dict(residues=b"PEPK", offsets=array("q", [0, 2, 4]), masses=array("f", [200.0, 300.0]),
                modifications=array("f", [0.0] * 4), nterm=array("f", [math.nan] * 2),
                cterm=array("f", [math.nan] * 2), missed_cleavages=array("B", [0, 0]), bucket_size=8,
                min_ion_index=0, decoy_tag="rev_")
    args.update(change)
    with pytest.raises((ValueError, TypeError)) as info:
        native.build_index(**args)
    assert str(info.value) == message


def test_index_of_the_digest_columns_equals_the_index_of_its_rows(tmp_path):
    pytest.importorskip("numpy")
    from vornik_tamrel.digest import DigestSettings, digest
    from vornik_tamrel.fasta import Protein
    from vornik_tamrel.index import build_database, index_from_columns, peptide_columns
    from vornik_tamrel.masses import Modification, ModificationSettings
    from vornik_tamrel.search import SearchSettings

    rng = random.Random(SEED)
    proteins = [Protein(f"P{k}", "".join(rng.choice("ACDEFGHIKLMNPQRSTVWY") for _ in range(rng.randint(50, 400))))
                for k in range(40)]
    mods = ModificationSettings(variable=(Modification.parse("M:15.994915"), Modification.parse("^:42.010565")))
    peptides = digest(proteins, DigestSettings(min_length=5, mods=mods))
    settings = SearchSettings()
    for rows in (peptides, peptides.slice(len(peptides) // 3, len(peptides) // 2)):
        a, b = tmp_path / "set.bin", tmp_path / "rows.bin"
        build_database(rows, settings).save(str(a))
        index_from_columns(peptide_columns(rows), settings).save(str(b))
        assert a.read_bytes() == b.read_bytes(), f"seed {SEED}"


SET_INDEX_SCRIPT = textwrap.dedent(
    """
    import hashlib, os, random, sys, tempfile
    from vornik_tamrel.digest import DigestSettings, digest
    from vornik_tamrel.fasta import Protein
    from vornik_tamrel.index import build_database, index_from_columns, peptide_columns
    from vornik_tamrel.masses import Modification, ModificationSettings
    from vornik_tamrel.search import SearchSettings
    rng = random.Random(int(sys.argv[1]))
    proteins = [Protein(f"P{k}", "".join(rng.choice("ACDEFGHIKLMNPQRSTVWY") for _ in range(rng.randint(50, 700))))
                for k in range(600)]
    mods = ModificationSettings(variable=(Modification.parse("M:15.994915"), Modification.parse("^:42.010565")))
    peptides = digest(proteins, DigestSettings(min_length=5, mods=mods))
    rows = len(peptides)
    with tempfile.TemporaryDirectory() as where:
        a, b = os.path.join(where, "set.bin"), os.path.join(where, "rows.bin")
        index_from_columns(peptide_columns(peptides), SearchSettings()).save(b)
        build_database(peptides, SearchSettings(), release=True).save(a)
        digests = [hashlib.sha256(open(path, "rb").read()).hexdigest() for path in (a, b)]
    print(rows, *digests)
    """
)


def test_index_of_the_digest_columns_is_the_same_on_any_number_of_workers():
    pytest.importorskip("numpy")  # the digest's columns are arrays
    # Rows in several blocks, each sequence's letters placed by its first row, which may lie in another block.
    runs = []
    for workers in (1, 3):
        env = dict(os.environ, RAYON_NUM_THREADS=str(workers), PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
        env.pop("RAYON_RS_NUM_CPUS", None)
        runs.append(subprocess.run([sys.executable, "-c", SET_INDEX_SCRIPT, str(SEED)], env=env, check=True,
                                   capture_output=True, text=True).stdout.split())
    rows, from_set, from_rows = runs[0]
    assert int(rows) > 3 * (1 << 14)
    assert runs[1] == runs[0]
    assert from_set == from_rows


@pytest.mark.parametrize("bad, message", [
    ({30000: "mods", 50000: "sequence"}, "mod_offsets must give each row one mass per residue or none"),
    ({30000: "sequence", 50000: "mods"}, "sequence_index must name a sequence of sequence_offsets"),
    ({50000: "sequence"}, "sequence_index must name a sequence of sequence_offsets"),
])
def test_build_index_of_set_names_the_first_bad_row(bad, message):
    # Rows are checked in blocks on the pool: the first bad row decides, wherever a later block fails.
    n = 60000
    sequence_index, mod_offsets = array("q", [0] * n), array("q", [0] * (n + 1))
    for row, fault in bad.items():
        if fault == "sequence":
            sequence_index[row] = 1
        else:
            mod_offsets[row + 1:] = array("q", [2] * (n - row))  # two masses for a row of four letters
    columns = dict(residues=b"PEPK", sequence_offsets=array("q", [0, 4]), sequence_index=sequence_index,
                   masses=array("f", [300.0] * n), mod_offsets=mod_offsets, mod_values=array("f", [1.0, 2.0]),
                   nterm=array("f", [math.nan] * n), cterm=array("f", [math.nan] * n),
                   missed_cleavages=array("B", [0] * n))
    with pytest.raises(ValueError) as info:
        native.build_index_of_set(columns, 8, 0, "rev_")
    assert str(info.value) == message


@pytest.mark.parametrize("change, message", [
    (dict(sequence_offsets=array("q", [0, 2, 3])), "sequence_offsets must run from 0 to the number of residues"),
    (dict(sequence_offsets=array("q", [0, 3, 2, 4])), "sequence_offsets must not decrease"),
    (dict(sequence_index=array("q", [0, 2])), "sequence_index must name a sequence of sequence_offsets"),
    (dict(sequence_index=array("q", [0])), "sequence_index has 1 entries, expected 2"),
    (dict(mod_offsets=array("q", [0, 1, 1])), "mod_offsets must give each row one mass per residue or none"),
    (dict(mod_offsets=array("q", [0, 0, 3])), "mod_offsets must give each row one mass per residue or none"),
])
def test_build_index_of_set_rejects_inconsistent_columns(change, message):
    columns = dict(residues=b"PEPK", sequence_offsets=array("q", [0, 2, 4]), sequence_index=array("q", [0, 1]),
                   masses=array("f", [200.0, 300.0]), mod_offsets=array("q", [0, 0, 2]),
                   mod_values=array("f", [1.0, 2.0]), nterm=array("f", [math.nan] * 2),
                   cterm=array("f", [math.nan] * 2), missed_cleavages=array("B", [0, 0]))
    given = dict(columns)
    assert native.build_index_of_set(given, 8, 0, "rev_").peptide_count() == 2  # two letters: no decoy
    assert given == {}  # emptied once the engine holds the rows
    given = dict(columns, **change)
    with pytest.raises(ValueError) as info:
        native.build_index_of_set(given, 8, 0, "rev_")
    assert str(info.value) == message
    assert len(given) == len(columns)  # refused: left as given


@pytest.mark.parametrize("columns", [[], {"residues": b""}, {f"c{i}": b"" for i in range(9)}])
def test_build_index_of_set_names_the_columns_it_takes(columns):
    with pytest.raises(TypeError) as info:
        native.build_index_of_set(columns, 8, 0, "rev_")
    assert str(info.value) == ("columns must be a dict of residues, sequence_offsets, sequence_index, masses, "
                               "mod_offsets, mod_values, nterm, cterm and missed_cleavages")
