"""PyScorer.score_many_spectra: a parallel batch returned as columns."""

import itertools
import json
import os
import subprocess
import sys
import threading
import time

import pytest

import _vornik_tamrel as vt
import scoring_data as sd

HERE = os.path.dirname(os.path.abspath(__file__))
COLUMNS = sd.COLUMNS
WITHOUT_ID = [c for c in COLUMNS if c != "psm_id"]


def permutation_batch(count):
    """Spectra against 360 peptides of one composition: several candidates each."""
    perms = sorted({"P" + "".join(p) + "K" for p in itertools.permutations("EPTIDE")})
    db, ordered = sd.build_db(perms)
    return db, sd.many_spectra(db, ordered, count)


def table(arrays, names=WITHOUT_ID):
    return {c: getattr(arrays, c) for c in names}


def rows_of_features(features):
    return {c: [f.to_dict()[c] for f in features] for c in WITHOUT_ID}


@pytest.mark.parametrize("settings", [
    {},
    {"report_psms": 5},
    {"report_psms": 3, "chimera": True, "wide_window": True},
    {"min_isotope_err": -1, "annotate_matches": True, "max_fragment_charge": None},
])
def test_rows_equal_the_concatenated_single_spectrum_results(settings, capfd):
    db, spectra = permutation_batch(24)
    scorer = sd.scorer(**settings)
    arrays = scorer.score_many_spectra(db, spectra)
    assert capfd.readouterr().out == ""  # the batch prints nothing
    single = [f for sp in spectra for f in scorer.score_spectra(db, sp)]
    assert len(single) > len(spectra) or settings.get("chimera")
    assert table(arrays) == rows_of_features(single)
    assert len(set(arrays.psm_id)) == len(single)


def test_empty_batch_gives_38_empty_columns():
    db, _ = sd.build_db()
    arrays = sd.scorer().score_many_spectra(db, [])
    assert table(arrays, COLUMNS) == {c: [] for c in COLUMNS}
    assert arrays.get_column_names() == COLUMNS
    assert repr(arrays) == ("PyFeatureArrays(\n\tFeatures: 0,\n\tSample Sequence: [],\n"
                            "\tSample Hyperscore: [],\n\tSample Charge: []\n)")


def test_a_spectrum_listed_twice_is_scored_twice():
    db, sp = sd.search()
    arrays = sd.scorer().score_many_spectra(db, (sp, sp))
    assert arrays.sequence == ["PEPTIDEK", "PEPTIDEK"]
    first, second = arrays.psm_id
    assert first != second
    rows = table(arrays)
    assert all(values[0] == values[1] for values in rows.values())


def next_psm_id(db, sp):
    return sd.scorer().score_spectra(db, sp)[0].psm_id


@pytest.mark.parametrize("spectra, message", [
    ("sss", None),
    ("spectra", "argument 'spectra': Can't extract `str` to `Vec`"),
    (5, "argument 'spectra': 'int' object cannot be converted to 'Sequence'"),
    ({"a": 1}, "argument 'spectra': 'dict' object cannot be converted to 'Sequence'"),
])
def test_spectra_argument_errors_come_before_any_scoring(spectra, message, capfd):
    db, sp = sd.search()
    before = next_psm_id(db, sp)
    if spectra == "sss":
        spectra = [sp, sp, vt.PyPeptide("PEPTIDEK", 927.45, None), sp]
        message = "argument 'spectra': 'PyPeptide' object cannot be converted to 'PyProcessedSpectrum'"
    with pytest.raises(TypeError) as e:
        sd.scorer().score_many_spectra(db, spectra)
    assert str(e.value) == message
    assert next_psm_id(db, sp) == before + 1  # nothing was scored in between


def test_db_argument_error_comes_first():
    db, sp = sd.search()
    with pytest.raises(TypeError) as e:
        sd.scorer().score_many_spectra("spectra", db)
    assert str(e.value) == "argument 'db': 'str' object cannot be converted to 'PyIndexedDatabase'"
    arrays = sd.scorer().score_many_spectra(spectra=[sp], db=db)
    assert arrays.sequence == ["PEPTIDEK"]


@pytest.mark.parametrize("position", [0, 37, 63])
def test_a_missing_precursor_fails_the_whole_batch(position):
    db, spectra = permutation_batch(64)
    spectra[position] = sd.spectrum(db, 0, 0.0, spec_id="bad", precursors=[])
    caught = None
    try:
        sd.scorer().score_many_spectra(db, spectra)
    except Exception:  # must not catch it
        pytest.fail("the internal failure derives from Exception")
    except BaseException as e:
        caught = e
    assert caught is not None and caught.args == ("missing MS1 precursor for bad",)


CHILD = """
import json, sys
import scoring_data as sd
from test_score_many import permutation_batch, table
db, spectra = permutation_batch(200)
if sys.argv[1] == "fail":
    for i in range(100, 200):
        spectra[i] = sd.spectrum(db, 0, 0.0, spec_id="bad%d" % i, precursors=[])
    try:
        sd.scorer().score_many_spectra(db, spectra)
    except Exception:
        print("caught as Exception")
    except BaseException as e:
        print(json.dumps([type(e).__mro__[1].__name__, str(e)]))
else:
    arrays = sd.scorer(report_psms=5, wide_window=True, min_isotope_err=-1).score_many_spectra(db, spectra)
    print(json.dumps(table(arrays)))
"""


def run_with_workers(workers, mode="rows"):
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers),
               PYTHONPATH=os.pathsep.join([HERE] + sys.path))
    result = subprocess.run([sys.executable, "-c", CHILD, mode], capture_output=True, text=True,
                            env=env, timeout=300)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def test_one_and_two_workers_give_identical_rows():
    one, two = run_with_workers(1), run_with_workers(2)
    assert len(one["rank"]) == 1000
    assert one == two


def test_failure_on_worker_threads_reaches_the_caller():
    # Half of the batch fails on both workers; whichever failure comes first
    # is reported, as the internal failure, not as an Exception.
    base, message = run_with_workers(2, "fail")
    assert base == "BaseException"
    assert message.startswith("missing MS1 precursor for bad")


def test_other_threads_run_while_the_batch_is_scored():
    db, spectra = permutation_batch(720)
    scorer = sd.scorer(report_psms=5, wide_window=True, chimera=True)
    state = {"inside": False, "stop": False, "during": 0}

    class Spectra:
        """A sequence that marks the moment its last element has been taken:
        from then until the call returns, only a released lock lets the
        counting thread run."""
        def __len__(self):
            return len(spectra)

        def __getitem__(self, i):
            return spectra[i]

        def __iter__(self):
            yield from spectra
            state["inside"] = True

    def count():
        while not state["stop"]:
            if state["inside"]:
                state["during"] += 1
            time.sleep(0)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(30.0)  # no forced switch while the lock is held
    counter = threading.Thread(target=count)
    counter.start()
    try:
        # A busy machine may not wake the counting thread within one call; a held lock never lets it in.
        for _ in range(5):
            arrays = scorer.score_many_spectra(db, Spectra())
            state["inside"] = False
            if state["during"]:
                break
    finally:
        state["stop"] = True
        counter.join()
        sys.setswitchinterval(interval)
    assert len(arrays.rank) == 720
    assert state["during"] > 0
