"""PyScorer.score_spectra: one spectrum, a list of PyFeature and a progress line."""

import gc
import itertools
import math
import os
import subprocess
import sys
import threading

import pytest

import _vornik_tamrel as vt
import scoring_data as sd

HERE = os.path.dirname(os.path.abspath(__file__))


def permutation_search():
    """PEPTIDEK among 40 peptides of the same composition, several of which
    share enough fragments with it to be reported."""
    perms = sorted({"P" + "".join(p) + "K" for p in itertools.permutations("EPTIDE")})[:40]
    db, ordered = sd.build_db(perms + ["PEPTIDEK"])
    i = ordered.index("PEPTIDEK")
    return db, sd.spectrum(db, i, sd.mono("PEPTIDEK"))


def run_child(code):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([HERE] + sys.path))
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)


def test_returns_features_and_prints_the_count_on_fd_1(capfd):
    db, sp = sd.search()
    features = sd.scorer().score_spectra(db, sp)
    assert [type(f).__name__ for f in features] == ["PyFeature"]
    assert features[0].sequence == "PEPTIDEK"
    assert capfd.readouterr().out == "Scoring returned 1 features\n"


def test_reports_at_most_report_psms_in_rank_order(capfd):
    db, sp = permutation_search()
    features = sd.scorer(report_psms=5).score_spectra(db, sp)
    assert [f.rank for f in features] == [1, 2, 3, 4, 5]
    assert features[0].sequence == "PEPTIDEK"
    scores = [f.hyperscore for f in features]
    assert scores == sorted(scores, reverse=True)
    assert [f.delta_best for f in features] == [scores[0] - s for s in scores]
    assert capfd.readouterr().out == "Scoring returned 5 features\n"


@pytest.mark.parametrize("settings", [{"report_psms": 0}, {"min_matched_peaks": 100}])
def test_no_features_still_prints_the_line(capfd, settings):
    db, sp = sd.search()
    assert sd.scorer(**settings).score_spectra(db, sp) == []
    assert capfd.readouterr().out == "Scoring returned 0 features\n"


@pytest.mark.parametrize("precursor_tol", [vt.PyTolerance.Da(-2.0, 2.0), vt.PyTolerance.Ppm(-10.0, 10.0)])
@pytest.mark.parametrize("mz", [math.inf, -math.inf, math.nan, -math.nan, 1e39, 3.3e38])
def test_a_precursor_window_that_is_not_finite_finds_nothing(mz, precursor_tol, capfd):
    db, sp = sd.search(precursors=[vt.PyPrecursor(mz, 1)])
    scorer = vt.PyScorer(precursor_tol, vt.PyTolerance.Ppm(-10.0, 10.0), wide_window=False, chimera=False)
    assert scorer.score_spectra(db, sp) == []
    assert capfd.readouterr().out == "Scoring returned 0 features\n"


def test_the_line_bypasses_sys_stdout():
    result = run_child(
        "import io, sys, scoring_data as sd\n"
        "sys.stdout = io.StringIO()\n"
        "sd.scorer().score_spectra(*sd.search())\n"
        "assert sys.stdout.getvalue() == ''\n")
    assert result.returncode == 0, result.stderr
    assert result.stdout == "Scoring returned 1 features\n"


def test_unwritable_stdout_is_an_internal_failure():
    result = run_child(
        "import os, sys, scoring_data as sd\n"
        "db, sp = sd.search()\n"
        "os.close(1)\n"
        "try:\n"
        "    sd.scorer().score_spectra(db, sp)\n"
        "except Exception:\n"
        "    sys.stderr.write('caught as Exception')\n"
        "except BaseException as e:\n"
        "    sys.stderr.write(str(e))\n")
    message = result.stderr.splitlines()[-1]
    assert message.startswith("failed printing to "), result.stderr
    assert message == "failed printing to stdout: Bad file descriptor (os error 9)"


def test_missing_precursor_is_an_internal_failure_not_an_exception(capfd):
    db, _ = sd.search()
    sp = sd.spectrum(db, 3, 0.0, spec_id="scan=9", precursors=[])
    caught = None
    try:
        sd.scorer().score_spectra(db, sp)
    except Exception:  # must not catch it
        pytest.fail("the internal failure derives from Exception")
    except BaseException as e:
        caught = e
    assert caught is not None and str(caught) == "missing MS1 precursor for scan=9"
    assert caught.args == ("missing MS1 precursor for scan=9",)
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("args, kwargs, message", [
    ("sd", {}, "argument 'db': 'PyProcessedSpectrum' object cannot be converted to 'PyIndexedDatabase'"),
    ("dd", {}, "argument 'spectrum': 'PyIndexedDatabase' object cannot be converted to 'PyProcessedSpectrum'"),
    ("d", {}, "PyScorer.score_spectra() missing 1 required positional argument: 'spectrum'"),
    ("", {}, "PyScorer.score_spectra() missing 2 required positional arguments: 'db' and 'spectrum'"),
    ("dss", {}, "PyScorer.score_spectra() takes 2 positional arguments but 3 were given"),
    ("d", {"db": None}, "PyScorer.score_spectra() got multiple values for argument 'db'"),
])
def test_argument_errors(args, kwargs, message, capfd):
    db, sp = sd.search()
    values = {"d": db, "s": sp}
    with pytest.raises(TypeError) as e:
        sd.scorer().score_spectra(*[values[a] for a in args], **kwargs)
    assert str(e.value) == message
    assert capfd.readouterr().out == ""


def test_keywords_and_decoy_matches():
    db, ordered = sd.build_db(decoys=True)
    decoy = next(i for i in range(len(db.peptides)) if db.sequence_for(i) not in ordered)
    sp = sd.spectrum(db, decoy, sd.mono(db.sequence_for(decoy)))
    f = sd.scorer().score_spectra(spectrum=sp, db=db)[0]  # its target shares fragments, ranks lower
    assert (f.label, f.peptide_idx, f.sequence) == (-1, decoy, db.sequence_for(decoy))


def test_features_outlive_their_inputs_and_ids_keep_increasing():
    db, sp = sd.search()
    scorer = sd.scorer()
    first = scorer.score_spectra(db, sp)
    second = scorer.score_spectra(db, sp)
    del db, sp, scorer
    gc.collect()
    assert second[0].psm_id > first[0].psm_id
    assert second[0].sequence == first[0].sequence == "PEPTIDEK"
    assert {k: v for k, v in second[0].to_dict().items() if k != "psm_id"} == \
        {k: v for k, v in first[0].to_dict().items() if k != "psm_id"}


def test_concurrent_calls_from_threads_agree_with_serial_ones():
    db, ordered = sd.build_db()
    spectra = sd.many_spectra(db, ordered, 16)
    scorer = sd.scorer(min_isotope_err=-1)

    def rows(features):
        return [{k: v for k, v in f.to_dict().items() if k != "psm_id"} for f in features]

    serial = [rows(scorer.score_spectra(db, sp)) for sp in spectra]
    results = [None] * len(spectra)

    def work(i):
        results[i] = scorer.score_spectra(db, spectra[i])

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(spectra))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert [rows(r) for r in results] == serial
    ids = [f.psm_id for r in results for f in r]
    assert len(set(ids)) == len(ids)
