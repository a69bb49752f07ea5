"""Protein groups, posterior errors, retention time and the files for other tools
(vornik_tamrel.proteins, .pep, .rt, .pin, .mzid)."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")
from vornik_tamrel.pep import posterior_errors  # noqa: E402
from vornik_tamrel.proteins import Evidence, coverage, parsimony, picked_qvalues  # noqa: E402
from vornik_tamrel.rt import _distinct, align, elution_of_others, fill_retention, median  # noqa: E402

HERE = Path(__file__).resolve().parent
SCHEMA = HERE.parent / "data" / "mzIdentML1.2.0.xsd"
DATA = HERE.parents[1] / "data"


def _groups(mapping, confident=(), score=None):
    evidence = Evidence({p: p in confident for p in mapping}, score or {p: 1.0 for p in mapping})
    return {g.members: (sorted(g.subsets), sorted(g.razor), sorted(g.unique)) for g in parsimony(mapping, evidence)}


@pytest.mark.parametrize("mapping, confident, expected", [
    # identical peptide sets: one group of both proteins
    ({"a": ["P1", "P2"], "b": ["P1", "P2"]}, (), {("P1", "P2"): ([], ["a", "b"], ["a", "b"])}),
    # a strict subset is folded into its superset
    ({"a": ["P1", "P2"], "b": ["P1"]}, (), {("P1",): (["P2"], ["a", "b"], ["a", "b"])}),
    # a subset of a subset ends up in the group that is kept
    ({"a": ["P1", "P2", "P3"], "b": ["P1", "P2"], "c": ["P1"]}, (), {("P1",): (["P2", "P3"], ["a", "b", "c"],
                                                                               ["a", "b", "c"])}),
    # a shared peptide goes, as razor peptide, to the group with more peptides
    ({"a": ["P1", "P2"], "b": ["P1"], "c": ["P1"], "d": ["P2"]}, (),
     {("P1",): ([], ["a", "b", "c"], ["b", "c"]), ("P2",): ([], ["d"], ["d"])}),
    # ... or with more confident ones, before counting all
    ({"a": ["P1", "P2"], "b": ["P1"], "c": ["P1"], "d": ["P2"]}, ("d",),
     {("P1",): ([], ["b", "c"], ["b", "c"]), ("P2",): ([], ["a", "d"], ["d"])}),
    # a group whose peptides are all explained by stronger groups is dropped
    ({"a": ["P1", "P3"], "b": ["P1", "P2"], "c": ["P2", "P3"], "d": ["P1"], "e": ["P2"]}, (),
     {("P1",): ([], ["a", "b", "d"], ["d"]), ("P2",): ([], ["c", "e"], ["e"])}),
])
def test_parsimony(mapping, confident, expected):
    assert _groups(mapping, confident) == expected


def test_parsimony_does_not_depend_on_input_order():
    mapping = {"a": ["P1", "P2"], "b": ["P2", "P1"], "c": ["P3"], "d": ["P3", "P4"]}
    reordered = {k: list(reversed(v)) for k, v in reversed(list(mapping.items()))}
    assert _groups(mapping) == _groups(reordered)
    # equal evidence: the first accession decides who keeps the shared peptide
    assert _groups({"a": ["P9", "P5"], "b": ["P9"], "c": ["P5"]}) == \
        {("P5",): ([], ["a", "c"], ["c"]), ("P9",): ([], ["b"], ["b"])}


def test_parsimony_orders_groups_by_evidence():
    # confident peptides, then peptides, then the best score, then the first accession
    mapping = {"a": ["P3"], "b": ["P2"], "c": ["P1"], "d": ["P1"], "e": ["P4"], "f": ["P0"]}
    score = {"a": 2.0, "b": 0.5, "c": 1.0, "d": 1.0, "e": 2.0, "f": 1.5}
    groups = parsimony(mapping, Evidence({p: p == "b" for p in mapping}, score))
    assert [g.members for g in groups] == [("P2",), ("P1",), ("P3",), ("P4",), ("P0",)]


@pytest.mark.parametrize("sequence, peptides, covered", [
    ("AAKAAK", ["AAK"], 6),  # every occurrence
    ("PEPTIDEKPEPTIDEK", ["PTIDEK", "EPTI", "DEKPEP"], 15),  # overlaps and nesting counted once
    ("MKAAR", ["GG", "MK"], 2),  # absent peptides add nothing
    ("AAAAA", ["AAA"], 5),  # overlapping occurrences of one peptide
    ("MKAAR", frozenset(["KAA"]), 3),  # one peptide found once
    ("MKAAR", ("GG",), 0),
    ("", ["AAA"], 0),
])
def test_coverage(sequence, peptides, covered):
    assert coverage(sequence, peptides) == (covered / len(sequence) if sequence else 0.0)


@pytest.mark.parametrize("scores, decoy, claims, expected", [
    # each target against its own decoy: the better one stays
    ([5, 4, 3, 2], [0, 1, 1, 0], [{"A"}, {"A"}, {"B"}, {"B"}], [0.0, np.nan, 1.0, np.nan]),
    # a tie goes to the decoy
    ([5, 5, 1], [0, 1, 0], [{"A"}, {"A"}, {"C"}], [np.nan, 1.0, 1.0]),
    # a group competes through every member
    ([6, 5, 4, 3], [1, 0, 1, 0], [{"A"}, {"A", "B"}, {"B"}, {"C"}], [1.0, np.nan, np.nan, 1.0]),
])
def test_picked_competition(scores, decoy, claims, expected):
    q = picked_qvalues(scores, np.array(decoy, bool), claims)
    np.testing.assert_allclose(q, expected)


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_protein_fdr_holds_without_information(seed):
    """Target and decoy groups drawn from one distribution: at 1% hardly any target group may pass."""
    rng = np.random.default_rng(seed)
    n = 2000
    scores = rng.normal(size=2 * n)
    decoy = np.r_[np.zeros(n, bool), np.ones(n, bool)]
    claims = [{f"P{i % n}"} for i in range(2 * n)]
    q = picked_qvalues(scores, decoy, claims)
    assert ((q <= 0.01) & ~decoy).sum() <= 3, seed


def _accepted_groups(names, scores, decoy):
    """Target groups accepted at 1% from one match per peptide, `names` its protein (decoys get rev_)."""
    from vornik_tamrel.fdr import qvalues
    from vornik_tamrel.proteins import infer_proteins

    n = len(names)
    table = {"sequence": np.array([f"PEPTIDE{i}K" for i in range(n)], dtype=object),
             "proteins": np.array([("rev_" if d else "") + a for a, d in zip(names, decoy)], dtype=object),
             "discriminant_score": np.asarray(scores, dtype=np.float64),
             "peptide_q": qvalues(scores, decoy), "posterior_error": posterior_errors(scores, decoy),
             "protein_q": np.ones(n, np.float32)}
    groups = infer_proteins(table, np.ones(n, bool), 0.01, "rev_", {})
    return set(groups["proteins"][(groups["protein_q"] <= 0.01) & ~groups["is_decoy"]])


def test_chance_groups_do_not_pass_beside_a_few_true_proteins():
    """Runs with three true proteins of ten matches each and a thousand chance matches, each its own
    protein, half of them decoys: a chance target group accepted at 1% must stay rare over 40 runs (a
    competition among all groups puts one above the first decoy group about every other run)."""
    rng = np.random.default_rng(3)
    false_groups = 0
    for _ in range(40):
        decoy = np.r_[np.zeros(30, bool), rng.random(1000) < 0.5]
        names = [f"TRUE{i // 10}" for i in range(30)] + [f"CHANCE{i}" for i in range(1000)]
        accepted = _accepted_groups(names, np.r_[rng.normal(6, 1, 30), rng.normal(0, 1, 1000)], decoy)
        assert {"TRUE0", "TRUE1", "TRUE2"} <= accepted
        false_groups += len(accepted) - 3
    assert false_groups <= 2


@pytest.mark.parametrize("solo", [0, 400])
def test_one_chance_match_scoring_like_a_true_one(solo):
    """A chance target match above every true one (no decoy can show it is false) must not carry its
    protein at 1% beside a few true proteins; proteins seen through one peptide each still pass when there
    are enough of them for the decoys to vouch for."""
    rng = np.random.default_rng(7)
    names = [f"TRUE{i // 10}" for i in range(30)] + [f"SOLO{i}" for i in range(solo)] + ["LUCKY"] \
        + [f"CHANCE{i}" for i in range(1000)]
    scores = np.r_[rng.normal(6, 1, 30 + solo), 12.0, rng.normal(0, 1, 1000)]
    decoy = np.r_[np.zeros(31 + solo, bool), rng.random(1000) < 0.5]
    accepted = _accepted_groups(names, scores, decoy)
    assert {"TRUE0", "TRUE1", "TRUE2"} <= accepted
    assert "LUCKY" not in accepted or solo
    assert len([a for a in accepted if a.startswith("SOLO")]) >= 0.9 * solo


@pytest.mark.parametrize("seed", range(4))
def test_decoy_share_of_counts_pools_runs_to_the_bit(seed):
    from vornik_tamrel.pep import _antitonic, _antitonic_counts

    rng = np.random.default_rng(seed)
    for _ in range(200):  # blocks of tied scores: all targets, all decoys, or both
        weight = rng.integers(1, 4, int(rng.integers(1, 60))).astype(np.float64)
        total = np.minimum(rng.integers(0, 4, len(weight)), weight) * (rng.random(len(weight)) < rng.random())
        assert _antitonic_counts(total, weight).tobytes() == _antitonic(total, weight).tobytes()


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_posterior_errors_count_the_decoy_tail(seed):
    """Above the best decoy the plain fit says 0 while the q-values charge the decoys' fitted tail: with
    the tail, posterior errors stay monotone and bounded, are positive there, and their mean over the
    accepted targets tracks the q-value they are accepted at."""
    from vornik_tamrel.fdr import qvalues

    rng = np.random.default_rng(seed)
    scores = np.r_[rng.normal(5, 1, 300), rng.gumbel(0, 1, 1000)]
    decoy = np.r_[np.zeros(300, bool), rng.random(1000) < 0.5]
    pep = posterior_errors(scores, decoy, tail=True)
    assert ((pep >= 0) & (pep <= 1)).all() and (np.diff(pep[np.argsort(-scores)]) >= 0).all()
    assert pep[scores > scores[decoy].max()].min() > 0
    q = qvalues(scores, decoy, tail=True)
    for level in (0.01, 0.05, 0.1):
        accepted = ~decoy & (q <= level)
        if accepted.sum() >= 20:
            assert pep[accepted].mean() == pytest.approx(q[accepted].max(), rel=0.5), (seed, level)


@pytest.mark.parametrize("seed", [4, 5])
def test_posterior_errors_are_monotone_bounded_and_calibrated(seed):
    rng = np.random.default_rng(seed)
    false = rng.normal(0, 1, 3000)
    true = rng.normal(3, 1, 1500)
    scores = np.round(np.r_[true, false, rng.normal(0, 1, 3000)], 2)  # rounding makes ties
    decoy = np.r_[np.zeros(4500, bool), np.ones(3000, bool)]
    pep = posterior_errors(scores, decoy)
    assert ((pep >= 0) & (pep <= 1)).all()
    order = np.argsort(-scores, kind="stable")
    assert (np.diff(pep[order]) >= 0).all(), f"seed {seed}"
    assert all(np.unique(pep[scores == s]).size == 1 for s in np.unique(scores)[:50])
    # mean posterior error of the targets above a threshold tracks the decoy-estimated FDR
    for threshold in (2.0, 1.0):
        accepted = (scores >= threshold) & ~decoy
        fdr = ((scores >= threshold) & decoy).sum() / accepted.sum()
        assert pep[accepted].mean() == pytest.approx(fdr, rel=0.5, abs=0.005)


@pytest.mark.parametrize("window, calibrated", [(None, True), (1, False), (21, False)])
def test_posterior_errors_are_calibrated_on_small_runs(window, calibrated):
    """Runs of 400 matches, 60 correct: pooled over runs, the accepted targets' posterior errors add up to
    their decoys at 5% and 10%. Without the label average (1) lone decoys make the matches above them look
    safe; with a window as wide as sqrt(n) (21) decoys leak upwards across the threshold."""
    from vornik_tamrel.fdr import qvalues

    rng = np.random.default_rng(7)
    expected = {0.05: [0.0, 0], 0.1: [0.0, 0]}
    for _ in range(100):
        scores = np.r_[rng.normal(3.5, 1, 60), rng.normal(0, 1, 340)]
        decoy = np.r_[np.zeros(60, bool), rng.random(340) < 0.5]
        pep = posterior_errors(scores, decoy, window)
        q = qvalues(scores, decoy)
        for level, sums in expected.items():
            sums[0] += pep[(q <= level) & ~decoy].sum()
            sums[1] += ((q <= level) & decoy).sum()
    ratios = [pep_sum / decoys for pep_sum, decoys in expected.values()]
    assert all(0.8 <= r <= 1.25 for r in ratios) == calibrated, ratios


@pytest.mark.parametrize("window, calibrated", [(None, True), (11, False)])
def test_posterior_errors_with_the_tail_charge_a_decoy_once(window, calibrated):
    """Runs of 1,300 matches whose true and false scores overlap: pooled over runs, the accepted targets'
    posterior errors with the decoy tail add up to what the q-values charge them at 5% and 10%. A label
    average on top of the tail (11, about the cube root of n) charges the targets above the first decoy
    below the threshold with it a second time."""
    from vornik_tamrel.fdr import qvalues

    rng = np.random.default_rng(3)
    expected = {0.05: [0.0, 0.0], 0.1: [0.0, 0.0]}
    for _ in range(30):
        scores = np.r_[rng.normal(3, 1, 300), rng.gumbel(0, 1, 1000)]
        decoy = np.r_[np.zeros(300, bool), rng.random(1000) < 0.5]
        pep = posterior_errors(scores, decoy, window, tail=True)
        q = qvalues(scores, decoy, tail=True)
        for level, sums in expected.items():
            accepted = (q <= level) & ~decoy
            sums[0] += pep[accepted].sum()
            sums[1] += q[accepted].max() * accepted.sum() if accepted.any() else 0.0
    ratios = [pep_sum / charged for pep_sum, charged in expected.values()]
    assert all(0.8 <= r <= 1.25 for r in ratios) == calibrated, ratios


@pytest.mark.parametrize("scores, decoy, expected", [
    # pooled decoy share 1/4 over ranks 2-5: a target there is false with odds 1:3
    ([6, 5, 4, 3, 2, 1], [0, 1, 0, 0, 0, 1], [0, 1 / 3, 1 / 3, 1 / 3, 1 / 3, 1]),
    ([1, 2, 3, 4, 5, 6], [1, 0, 0, 0, 1, 0], [1, 1 / 3, 1 / 3, 1 / 3, 1 / 3, 0]),
    ([3.0, 2.0], [0, 0], [0, 0]),
    ([3.0, 2.0], [1, 1], [1, 1]),
    ([], [], []),
])
def test_posterior_errors_by_hand(scores, decoy, expected):
    assert posterior_errors(scores, np.array(decoy, bool), window=1).tolist() == pytest.approx(expected)


def test_a_lone_decoy_weighs_on_both_sides():
    # sorted labels T D T T T D averaged over 3: 1/2 1/3 1/3 0 1/3 1/2, then pooled to stay monotone
    pep = posterior_errors([6, 5, 4, 3, 2, 1], np.array([0, 1, 0, 0, 0, 1], bool), window=3)
    share = 7 / 24
    assert pep.tolist() == pytest.approx([share / (1 - share)] * 4 + [0.5, 1.0])


def _retention_table(rng, lines, peptides_per_file=40):
    """Confident PSMs of shared peptides whose true time is a sum of residue terms, seen through per-file lines."""
    residues = np.array(list("ACDEFGHIKLMNPQRSTVWY"))
    weight = dict(zip(residues, rng.uniform(-1, 3, len(residues))))
    peptides = ["".join(rng.choice(residues, rng.integers(7, 15))) + "K" for _ in range(peptides_per_file)]
    true = np.array([5 + sum(weight[r] for r in p) for p in peptides])
    columns = {"sequence": [], "rt": [], "file_id": []}
    for f, (intercept, slope) in enumerate(lines):
        columns["sequence"] += peptides
        columns["rt"] += list(intercept + slope * true + rng.normal(0, 0.1, len(true)))
        columns["file_id"] += [f] * len(true)
    n = len(columns["rt"])
    table = {"sequence": np.array(columns["sequence"], dtype=object), "rt": np.array(columns["rt"], np.float32),
             "peptide": np.array(columns["sequence"], dtype=object),
             "file_id": np.array(columns["file_id"], np.uint32), "is_decoy": np.zeros(n, bool),
             "spectrum_q": np.zeros(n, np.float32)}
    table.update({name: np.full(n, value, np.float32) for name, value in
                  (("aligned_rt", 0.0), ("predicted_rt", 0.0), ("delta_rt_model", 0.999))})
    return table, true


@pytest.mark.parametrize("values", [
    [2.5], [3.0, 1.0], [1.0, 1.0, 2.0, 1.0], [-0.0, 0.0], [0.0, -0.0, -0.0], [1e308, 1e308],
    [1.0, np.nan, 0.5], [np.inf, -np.inf], [3, 1, 2, 8], np.float32([0.1, 0.7, 0.3, 0.2]),
    np.random.default_rng(5).normal(size=1001), np.random.default_rng(6).normal(size=1000).round(1),
])
@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # the mean of 1e308 twice, of infinities
def test_median_is_numpys_to_the_bit(values):
    values = np.asarray(values)
    ours, numpys = median(values), np.median(values)
    assert type(ours) is type(numpys) and np.asarray(ours).tobytes() == np.asarray(numpys).tobytes()


@pytest.mark.parametrize("values", [[], [7], [3, 1, 3, -2, 1], np.arange(20) % 6])
def test_distinct_is_numpys_unique(values):
    values = np.asarray(values, dtype=np.int64)
    assert _distinct(values).tolist() == np.unique(values).tolist()


@pytest.mark.parametrize("lines", [[(0.0, 1.0), (3.0, 1.0)], [(0.0, 1.0), (-2.0, 1.2), (10.0, 0.8)]])
def test_alignment_recovers_synthetic_shifts(lines):
    rng = np.random.default_rng(11)
    table, true = _retention_table(rng, lines, peptides_per_file=120)  # enough to learn the residue terms
    confident = np.ones(len(table["rt"]), bool)
    found = align(table["file_id"], table["sequence"], table["rt"], confident)
    # file 0 holds as many peptides as any other and the lowest number: it sets the scale
    for f, (intercept, slope) in enumerate(lines):
        # mapping file f onto file 0: t0 = i0 + s0 * (t - i) / s
        assert found[f][1] == pytest.approx(lines[0][1] / slope, rel=0.02)
        assert found[f][0] == pytest.approx(lines[0][0] - intercept * lines[0][1] / slope, abs=0.3)
    delta = fill_retention(table, confident, np.zeros(len(confident)), 0.01)
    aligned = table["aligned_rt"]
    assert np.corrcoef(aligned, np.tile(true, len(lines)))[0, 1] > 0.99
    assert np.corrcoef(table["predicted_rt"], aligned)[0, 1] > 0.9
    assert delta is not None and ((delta >= 0) & (delta <= 1)).all()


@pytest.mark.parametrize("robust", [True, False])
def test_retention_model_resists_false_matches(robust, monkeypatch):
    from vornik_tamrel import rt

    if not robust:  # plain least squares: must fail the same bar, or the test shows nothing
        monkeypatch.setattr(rt, "_bisquare", lambda residual: np.ones(len(residual)))
    rng = np.random.default_rng(13)
    table, true = _retention_table(rng, [(0.0, 1.0)], peptides_per_file=200)
    false = np.arange(200) % 5 == 0  # a fifth of the training peptides at times unrelated to their sequence
    table["rt"][false] = np.where(true[false] < np.median(true), true.max(), true.min())
    fill_retention(table, np.ones(200, bool), np.zeros(200), 0.01)
    r = np.corrcoef(table["predicted_rt"][~false], true[~false])[0, 1]
    assert (r > 0.9) == robust, r


@pytest.mark.parametrize("resistant", [True, False])
def test_retention_model_resists_false_matches_far_along_the_scale(resistant, monkeypatch):
    """A small run (the published scale alone) whose three most hydrophobic matches, false, elute first: a
    least-squares start follows them, the line tilts, and reweighting from it keeps them."""
    from vornik_tamrel import rt

    if not resistant:
        monkeypatch.setattr(rt, "_resistant_line", lambda h, y: np.polyval(np.polyfit(h, y, 1), h))
    rng = np.random.default_rng(16)
    residues = np.array(list("ACDEFGHIKLMNPQRSTVWY"))
    peptides = ["".join(rng.choice(residues, rng.integers(7, 12))) + "K" for _ in range(30)]
    peptides += ["WFLLWIFLWFK", "FWLLWIFLWFK", "LWFLWIFLWFK"]
    counts = rt.composition(peptides)
    times = 20 + 0.5 * rt.design(counts, np.zeros_like(counts), "trifluoroacetic acid")[0][:, 1]
    times += rng.normal(0, 0.5, len(times))
    times[-3:] = times[:-3].min() - 2
    n = len(times)
    table = {"sequence": np.array(peptides, dtype=object), "peptide": np.array(peptides, dtype=object),
             "rt": times.astype(np.float32), "file_id": np.zeros(n, np.uint32), "is_decoy": np.zeros(n, bool)}
    fill_retention(table, np.ones(n, bool), np.zeros(n), 0.01)
    error = np.median(np.abs(table["predicted_rt"][:-3] - times[:-3]))
    assert (error < 1.0) == resistant, error


@pytest.mark.parametrize("seed", [3, 4])
def test_elution_of_others_leaves_each_row_out(seed):
    rng = np.random.default_rng(seed)
    peptides = rng.choice(list("abcdef"), 60).astype(object)
    times = rng.normal(size=60).round(1)  # ties
    confident = rng.random(60) < 0.6
    mean, count = elution_of_others(peptides, times, confident)
    for i in range(60):
        others = times[(peptides == peptides[i]) & confident & (np.arange(60) != i)]
        assert count[i] == len(others), (seed, i)
        assert mean[i] == pytest.approx(np.mean(others) if len(others) else np.nan, nan_ok=True), (seed, i)


def test_predictions_stay_where_confident_peptides_eluted():
    """A peptide far more hydrophobic than any confident one: the model's line would put it past the run's
    end; it is predicted at most at the latest time a confident peptide was seen."""
    rng = np.random.default_rng(17)
    table, _ = _retention_table(rng, [(0.0, 1.0)], peptides_per_file=30)
    table = {k: np.r_[v, v[:1]] for k, v in table.items()}
    table["sequence"][-1] = table["peptide"][-1] = "WFLLWIFLWFLWIFLWK"
    table["rt"][-1] = table["rt"][:-1].max()
    fill_retention(table, np.ones(31, bool), np.r_[np.zeros(30), 1.0], 0.01)
    assert table["rt"][:-1].min() <= table["predicted_rt"].min()
    assert table["predicted_rt"].max() <= table["rt"][:-1].max()


def test_repeated_peptides_are_predicted_without_their_own_time():
    rng = np.random.default_rng(14)
    table, _ = _retention_table(rng, [(0.0, 1.0), (0.0, 1.0)], peptides_per_file=40)  # each peptide twice
    confident = np.ones(80, bool)
    fill_retention(table, confident, np.zeros(80), 0.01)
    before = table["predicted_rt"].copy()
    table["rt"][0] += 50.0  # one match moved far along the gradient
    fill_retention(table, confident, np.zeros(80), 0.01)
    # its own prediction stands (the model, robust, hardly moves); its twin's follows it
    assert table["predicted_rt"][0] == pytest.approx(before[0], abs=0.5)
    assert table["predicted_rt"][40] > before[40] + 5


def test_likely_matches_inform_the_prediction_but_not_the_rescoring_feature():
    """Each peptide matched twice, once at the run's FDR and once within LOOSE_FDR only: moving the looser
    match moves its twin's predicted time; the error fed to rescoring draws on confident matches alone."""
    rng = np.random.default_rng(15)
    table, _ = _retention_table(rng, [(0.0, 1.0), (0.0, 1.0)], peptides_per_file=40)
    q = np.r_[np.zeros(40), np.full(40, 0.03)]
    error = fill_retention(table, np.ones(80, bool), q, 0.01) * np.ptp(table["aligned_rt"])
    before = table["predicted_rt"].copy()
    table["rt"][40:] += 0.5  # the looser matches later by a plausible spread
    moved = fill_retention(table, np.ones(80, bool), q, 0.01) * np.ptp(table["aligned_rt"])
    assert (table["predicted_rt"][:40] - before[:40]).mean() > 0.2
    assert moved[:40] == pytest.approx(error[:40], rel=1e-6)


@pytest.mark.parametrize("looser_q, fitted", [(0.04, True), (0.2, False)])
def test_retention_needs_confident_peptides(looser_q, fitted):
    """Five peptides at the run's FDR are too few; ten more within 5% make a model, ten beyond do not."""
    rng = np.random.default_rng(12)
    table, _ = _retention_table(rng, [(0.0, 1.0)], peptides_per_file=15)
    q = np.r_[np.zeros(5), np.full(10, looser_q)]
    assert (fill_retention(table, np.ones(15, bool), q, 0.01) is not None) == fitted
    assert (table["delta_rt_model"] == np.float32(0.999)).all() != fitted


# ------------------------------------------------------------ with the engine

@pytest.fixture(scope="module")
def search_run(tmp_path_factory):
    pytest.importorskip("_vornik_tamrel")
    from vornik_tamrel import cli

    out = tmp_path_factory.mktemp("results")
    assert cli.main(["search", str(DATA / "BSA1_ms2.mzML.gz"), "--fasta", str(DATA / "18proteins_contaminants.fasta"),
                     "--max-peaks", "75", "-o", str(out), "-q", "--pin", "--mzid"]) == 0
    return out


def test_result_tables_agree(search_run):
    pd = pytest.importorskip("pandas")
    psms = pd.read_parquet(search_run / "psms.parquet")
    peptides = pd.read_parquet(search_run / "rollup" / "peptides.parquet")
    proteins = pd.read_parquet(search_run / "rollup" / "proteins.parquet")
    assert peptides["peptide"].is_unique and set(peptides["peptide"]) == set(psms["peptide"])
    assert ((psms["posterior_error"] >= 0) & (psms["posterior_error"] <= 1)).all()
    ordered = psms.sort_values("discriminant_score", ascending=False)
    assert (np.diff(ordered["posterior_error"].to_numpy()) >= 0).all()
    accepted = proteins.loc[(proteins["protein_q"] <= 0.01) & ~proteins["is_decoy"]]
    assert accepted.iloc[0]["proteins"].endswith("ALBU_BOVIN") and accepted.iloc[0]["coverage"] > 0.2
    # every accepted PSM's group is accepted, and its protein_q is that group's
    confident = psms.loc[(psms["spectrum_q"] <= 0.01) & ~psms["is_decoy"]]
    assert (confident["protein_q"] <= proteins["protein_q"].max()).all()
    assert set(confident["protein_q"]) <= set(proteins["protein_q"])
    assert (psms["predicted_rt"] != 0).any() and (psms["delta_rt_model"] < 0.999).any()


def test_mzid_is_valid_against_the_schema(search_run):
    from lxml import etree

    schema = etree.XMLSchema(etree.parse(str(SCHEMA)))
    document = etree.parse(str(search_run / "psms.mzid"))
    assert schema.validate(document), schema.error_log
    ns = {"m": "http://psidev.info/psi/pi/mzIdentML/1.2"}
    assert len(document.findall(".//m:SpectrumIdentificationResult", ns)) == \
        sum(1 for _ in open(search_run / "psms.tsv")) - 1
    # one ambiguity group per protein group, in the table's order, with its q-value and threshold
    with open(search_run / "rollup" / "proteins.tsv") as table:
        header = table.readline().rstrip("\n").split("\t")
        groups = [dict(zip(header, line.rstrip("\n").split("\t"))) for line in table]
    written = document.findall(".//m:ProteinDetectionList/m:ProteinAmbiguityGroup", ns)
    assert [float(g.find("m:cvParam[@accession='MS:1002373']", ns).get("value")) for g in written] == \
        pytest.approx([float(g["protein_q"]) for g in groups], rel=1e-6)
    passing = ["true" if float(g["protein_q"]) <= 0.01 and g["is_decoy"] == "false" else "false" for g in groups]
    assert [{h.get("passThreshold") for h in g.findall("m:ProteinDetectionHypothesis", ns)} for g in written] == \
        [{p} for p in passing]
    count = document.find(".//m:ProteinDetectionList/m:cvParam[@accession='MS:1002404']", ns)
    assert int(count.get("value")) == passing.count("true")


@pytest.fixture(scope="module")
def demo_result():
    pytest.importorskip("_vornik_tamrel")
    from vornik_tamrel.search import SearchSettings, run_search
    from vornik_tamrel.spectra import PeakSettings

    return run_search([str(DATA / "BSA1_ms2.mzML.gz")], str(DATA / "18proteins_contaminants.fasta"),
                      SearchSettings(peaks=PeakSettings(max_peaks=75)), progress=False)


@pytest.mark.parametrize("text", ['a&b<c>"d\'e', "tab\tand\nline\r", "\u00fcn\u00efc\u00f6de \u2211"])
def test_mzid_writes_any_text_back_as_given(demo_result, tmp_path, text):
    import dataclasses

    from lxml import etree

    from vornik_tamrel.errors import InputWarning
    from vornik_tamrel.mzid import write_mzid

    table = dict(demo_result.table)
    table["spec_id"], table["proteins"] = table["spec_id"].copy(), table["proteins"].copy()
    table["spec_id"][0], table["proteins"][0] = text, table["proteins"][0] + ";" + text
    write_mzid(dataclasses.replace(demo_result, table=table, files=[text + ".mgf"]), tmp_path / "x.mzid")
    document = etree.parse(str(tmp_path / "x.mzid"))
    assert etree.XMLSchema(etree.parse(str(SCHEMA))).validate(document)
    ns = {"m": "http://psidev.info/psi/pi/mzIdentML/1.2"}
    assert document.find(".//m:SpectrumIdentificationResult", ns).get("spectrumID") == text
    assert text in [s.get("accession") for s in document.findall(".//m:DBSequence", ns)]
    assert document.find(".//m:SpectraData", ns).get("location").endswith(text + ".mgf")
    # a control character XML cannot hold (an MGF title may): written as U+FFFD, said once, not a crash
    table["spec_id"][0] = "scan\x01"
    with pytest.warns(InputWarning) as caught:
        write_mzid(dataclasses.replace(demo_result, table=table), tmp_path / "y.mzid")
    assert [str(w.message) for w in caught] == ["mzIdentML: 1 spectrum titles or file names hold characters XML "
                                                "cannot hold, written as U+FFFD (first: 'scan\\x01')"]
    document = etree.parse(str(tmp_path / "y.mzid"))
    assert document.find(".//m:SpectrumIdentificationResult", ns).get("spectrumID") == "scan\ufffd"


def test_outputs_are_not_replaced_in_part(demo_result, tmp_path):
    from vornik_tamrel.errors import OutputError
    from vornik_tamrel.report import write_outputs

    (tmp_path / "psms.tsv").write_text("an earlier search's\n")
    (tmp_path / "psms.mzid").mkdir()  # the tables were replaced, then the writing failed on it
    with pytest.raises(OutputError, match="cannot write the results: psms.mzid is a directory"):
        write_outputs(demo_result, tmp_path, ["mzid"])
    assert sorted(p.name for p in tmp_path.iterdir()) == ["psms.mzid", "psms.tsv"]
    assert (tmp_path / "psms.tsv").read_text() == "an earlier search's\n"


def test_pin_keeps_one_line_and_field_per_match_whatever_the_titles(demo_result, tmp_path):
    from vornik_tamrel.pin import write_pin

    table = dict(demo_result.table)
    table["spec_id"] = table["spec_id"].copy()
    table["spec_id"][:3] = ["a\tb", "c\nd", "e\r\nf"]  # an mzML id may hold them
    write_pin(table, tmp_path / "x.pin")
    lines = (tmp_path / "x.pin").read_text().split("\n")[1:-1]
    assert len(lines) == len(table["spec_id"])
    assert [line.split("\t")[0].split(":")[1] for line in lines[:3]] == ["a b", "c d", "e  f"]


def test_pin_round_trip(search_run):
    pd = pytest.importorskip("pandas")
    psms = pd.read_parquet(search_run / "psms.parquet")
    lines = (search_run / "psms.pin").read_text().splitlines()
    header = lines[0].split("\t")
    assert header[:3] == ["SpecId", "Label", "ScanNr"] and header[-2:] == ["Peptide", "Proteins"]
    rows = [line.split("\t") for line in lines[1:]]
    assert len(rows) == len(psms)
    assert sorted(int(r[1]) for r in rows) == sorted(np.where(psms["is_decoy"], -1, 1))
    features = len(header) - 2
    assert all(np.isfinite([float(v) for v in r[3:features]]).all() for r in rows)
    assert sorted(r[features][2:-2] for r in rows) == sorted(psms["peptide"])
    assert sorted(";".join(r[features + 1:]) for r in rows) == sorted(psms["proteins"])


def _mokapot_python():
    """An interpreter that imports mokapot: this one, else the separate environment the test script makes
    (mokapot's releases pin older numpy and pandas than ours)."""
    try:
        import mokapot  # noqa: F401
        return sys.executable
    except ImportError:
        separate = HERE.parents[1] / ".venv-mokapot" / "bin" / "python"
        return str(separate) if separate.exists() else None


def test_pin_loads_in_mokapot(search_run):
    python = _mokapot_python()
    if python is None:
        pytest.skip("mokapot is not installed")
    pin = search_run / "psms.pin"
    # a plain interpreter: no preloaded sanitizer runtime, no module path of a test build
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONPATH")}
    loaded = subprocess.run([python, "-c", "import sys, mokapot; d = mokapot.read_pin(sys.argv[1]); "
                             "print(len(d.data), d.features.shape[1], int(d.targets.sum()))", str(pin)],
                            capture_output=True, text=True, check=True, env=env).stdout.splitlines()[-1].split()
    lines = pin.read_text().splitlines()
    targets = sum(line.split("\t")[1] == "1" for line in lines[1:])
    assert [int(v) for v in loaded] == [len(lines) - 1, len(lines[0].split("\t")) - 7, targets]


def _mobility_table(n: int, carried: bool, seed: int = 3):
    rng = np.random.default_rng(seed)
    charge = rng.integers(2, 4, n).astype(np.uint8)
    calcmass = rng.uniform(800, 3000, n).astype(np.float32)
    mz = calcmass / charge + 1.00727646
    ims = (0.55 + 0.0006 * mz - 0.08 * (charge - 2) + rng.normal(0, 0.005, n)) if carried else np.zeros(n)
    return {"ims": ims.astype(np.float32), "charge": charge, "calcmass": calcmass,
            "sequence": np.array([f"PEPTIDE{i % (n // 2)}K" for i in range(n)], dtype=object),
            "file_id": np.zeros(n, np.uint32), "is_decoy": np.zeros(n, bool),
            "predicted_ims": np.zeros(n, np.float32), "delta_ims_model": np.full(n, 0.999, np.float32)}


@pytest.mark.parametrize("n, carried, fitted", [(200, True, True), (200, False, False), (40, True, False)])
def test_mobility_is_predicted_only_where_spectra_carry_it(n, carried, fitted):
    from vornik_tamrel.mobility import fill_mobility

    table = _mobility_table(n, carried)
    q = np.where(np.arange(n) < n // 2, 0.001, 0.5)  # half accepted; 40 rows give too few to fit
    assert fill_mobility(table, np.ones(n, bool), q, 0.01) is fitted
    if not fitted:  # the engine's constants, untouched
        assert (table["predicted_ims"] == 0).all() and (table["delta_ims_model"] == np.float32(0.999)).all()
        return
    assert np.abs(table["predicted_ims"] - table["ims"]).max() < 0.03
    np.testing.assert_allclose(table["delta_ims_model"], np.abs(table["ims"] - table["predicted_ims"]), atol=1e-6)
    # an accepted match's own mobility never informs its prediction
    moved = _mobility_table(n, carried)
    moved["ims"][0] += 0.5
    fill_mobility(moved, np.ones(n, bool), q, 0.01)
    assert moved["predicted_ims"][0] == table["predicted_ims"][0]


def test_terminal_counts_weigh_the_first_residues_and_skip_other_letters():
    from vornik_tamrel import rt

    counts = rt.terminal_counts(["", "K", "PEK", "XAC", "\u00c4CD", "acD"])
    column = {r: i for i, r in enumerate(rt.RESIDUES)}
    expected = np.zeros((6, len(rt.RESIDUES)))
    for row, letters in enumerate(["", "K", "PEK", "XAC", "?CD", "??D"]):
        for j, letter in enumerate(letters[:len(rt.N_TERMINAL)]):
            if letter in column:
                expected[row, column[letter]] += rt.N_TERMINAL[j]
    assert counts.tobytes() == expected.tobytes()
    assert rt.terminal_counts([]).shape == (0, len(rt.RESIDUES))
