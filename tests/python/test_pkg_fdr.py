"""Target-decoy q-values and rescoring (vornik_tamrel.fdr, vornik_tamrel.rescore)."""
import math
import pytest

np = pytest.importorskip("numpy")
from vornik_tamrel.fdr import best_per_group, peptide_qvalues, qvalues  # noqa: E402
from vornik_tamrel.rescore import (  # noqa: E402
    SMALL_SHUFFLE, RescoreSettings, fold_of, rescore, seeded_permutation, spectrum_numbers, split_repeats)

# Scores in descending order with their decoy flags; by hand, D/T at each entry:
# T  T  D  T  T  D  T  D  D  T
# 0/1 0/2 1/2 1/3 1/4 2/4 2/5 3/5 4/5 4/6
SCORES = [10, 9, 8, 7, 6, 5, 4, 3, 2, 1]
DECOYS = [0, 0, 1, 0, 0, 1, 0, 1, 1, 0]


def test_qvalues_by_hand():
    q = qvalues(SCORES, DECOYS)
    expected = [0, 0, 1 / 4, 1 / 4, 1 / 4, 2 / 5, 2 / 5, 3 / 5, 2 / 3, 2 / 3]
    assert q.tolist() == pytest.approx(expected)


def test_qvalues_plus_one_by_hand():
    q = qvalues(SCORES, DECOYS, plus_one=True)
    # (D+1)/T: 1, 1/2, 1, 2/3, 2/4, 3/4, 3/5, 4/5, 5/5, 5/6 -> running minimum from the bottom, capped at 1
    expected = [1 / 2, 1 / 2, 1 / 2, 1 / 2, 1 / 2, 3 / 5, 3 / 5, 4 / 5, 5 / 6, 5 / 6]
    assert q.tolist() == pytest.approx(expected)


def test_qvalues_do_not_depend_on_input_order():
    rng = np.random.default_rng(7)
    order = rng.permutation(len(SCORES))
    q = qvalues(np.array(SCORES)[order], np.array(DECOYS)[order])
    assert q.tolist() == pytest.approx(qvalues(SCORES, DECOYS)[order].tolist())


def test_tied_scores_share_a_qvalue_and_are_counted_together():
    # target and decoy tied at the top: accepting one accepts both (1 decoy / 1 target)
    q = qvalues([5, 5, 4, 3], [0, 1, 0, 0])
    assert q.tolist() == pytest.approx([1 / 3, 1 / 3, 1 / 3, 1 / 3])
    # without the tie the target alone would have q = 0
    assert qvalues([5.1, 5, 4, 3], [0, 1, 0, 0])[0] == 0.0


def test_nan_scores_rank_last():
    q = qvalues([np.nan, 3.0, 2.0], [0, 0, 1])
    assert q.tolist() == pytest.approx([0.5, 0.0, 0.5])


def test_qvalues_edge_cases():
    assert qvalues([], []).size == 0
    assert qvalues([1.0, 2.0], [1, 1]).tolist() == [1.0, 1.0]  # decoys only: capped at 1
    with pytest.raises(ValueError, match="equal length"):
        qvalues([1.0, 2.0], [0])


@pytest.mark.parametrize("null", ["gumbel", "normal"])
def test_decoy_tail_accepts_no_chance_target_above_the_best_decoy(null):
    """Runs of chance matches only: by decoys / targets, the targets above the best decoy pass at q = 0 in
    about half of the runs; with the decoy tail no run accepts anything at 1%, while targets well clear of
    the decoys still do."""
    rng = np.random.default_rng(11)
    plain = tail = 0
    for _ in range(40):
        n = int(rng.integers(60, 600))
        scores = rng.gumbel(size=n) if null == "gumbel" else rng.normal(size=n)
        decoy = rng.random(n) < 0.5
        plain += ((qvalues(scores, decoy) <= 0.01) & ~decoy).any()
        tail += ((qvalues(scores, decoy, tail=True) <= 0.01) & ~decoy).any()
        strong = np.r_[scores, scores.max() + 5 + rng.random(200)]
        q = qvalues(strong, np.r_[decoy, np.zeros(200, bool)], tail=True)
        assert (q[n:] <= 0.01).all()
    assert plain >= 10 and tail == 0


@pytest.mark.parametrize("n", [6, 10, 20, 30])
def test_small_runs_of_chance_matches_accept_nothing(n):
    """A run of a few dozen chance matches has a handful of decoys: counted alone, they let the targets above
    the best of them pass at q = 0 in a third to a half of such runs."""
    rng = np.random.default_rng(n)
    accepted = 0
    for _ in range(200):
        scores, decoy = rng.gumbel(size=n), rng.random(n) < 0.5
        accepted += ((qvalues(scores, decoy, tail=True) <= 0.01) & ~decoy).any()
    assert accepted <= 4


def test_decoy_tail_by_hand():
    from vornik_tamrel.fdr import decoy_tail

    decoys = -np.arange(12.0)  # best 10 decoys 0..-9 over the 11th (-10): excess 55, rate 9 / 55
    fitted = decoy_tail(decoys, np.array([-10.0, -5.0, 0.0, 2.0]))
    assert fitted == pytest.approx([0.0, 10 * np.exp(-45 / 55), 10 * np.exp(-90 / 55), 10 * np.exp(-108 / 55)])
    # fewer decoys: all but the last (0..-3 over -4: excess 10, rate 3 / 10); fewer than three: none
    assert decoy_tail(decoys[:5], np.array([1.0])) == pytest.approx([4 * np.exp(-15 / 10)])
    assert decoy_tail(decoys[:2], np.zeros(1)) is None
    scores = np.r_[decoys, np.linspace(-12, 3, 40)]
    flags = np.r_[np.ones(12, bool), np.zeros(40, bool)]
    assert (qvalues(scores, flags, tail=True) >= qvalues(scores, flags)).all()
    # no tail: one decoy more than counted
    assert qvalues(scores[10:], flags[10:], tail=True).tolist() == qvalues(scores[10:], flags[10:], True).tolist()


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_accepted_targets_count_what_the_qvalues_accept(seed):
    """Counting by one sort of all rows, both directions, equals counting q-values row by row: ties between
    targets and decoys (rounded scores), NaN, infinities, a row of one value, and levels up to 1."""
    from vornik_tamrel.fdr import accepted_targets

    rng = np.random.default_rng(seed)
    n = 400
    decoy = rng.random(n) < 0.3
    raw = rng.normal(size=(5, n)) + 2.0 * ~decoy
    raw[1, rng.random(n) < 0.1] = np.nan
    raw[2, :3] = [np.inf, -np.inf, np.inf]
    raw[3] = 1.0
    rows = np.round(raw, 1)
    levels = (0.01, 0.05, 0.2, 1.0)
    expected = [[((qvalues(r, decoy) <= level) & ~decoy).sum() for r in np.r_[rows, -rows]] for level in levels]
    finite = rows[[0, 3]]
    expected_finite = [[((qvalues(r, decoy) <= level) & ~decoy).sum() for r in finite] for level in levels]
    assert accepted_targets(rows, decoy, levels, negated=True).tolist() == expected
    assert accepted_targets(finite, decoy, levels).tolist() == expected_finite
    # the order of the unrounded scores sorts the rounded ones too (rounding merges, never swaps)
    assert accepted_targets(rows, decoy, levels, True, np.argsort(raw, axis=1)).tolist() == expected


def test_best_per_group_keeps_the_first_of_equal_best():
    assert best_per_group(["a", "b", "a", "b", "c"], [1.0, 5.0, 3.0, 5.0, np.nan]).tolist() == [1, 2, 4]


def test_peptide_qvalues_use_each_peptides_best_psm():
    peptides = ["P1", "P1", "P2", "D1", "P3", "D2"]
    scores = [9.0, 2.0, 8.0, 7.0, 6.0, 1.0]
    decoys = [0, 0, 0, 1, 0, 1]
    # peptide list by best score: P1 9 (T), P2 8 (T), D1 7 (D), P3 6 (T), D2 1 (D)
    q = peptide_qvalues(peptides, scores, decoys)
    assert q.tolist() == pytest.approx([0.0, 0.0, 0.0, 1 / 3, 1 / 3, 2 / 3])


def synthetic(n_target=300, n_decoy=200, seed=1):
    """Targets: a third correct (shifted in two features), the rest like decoys."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n_target + n_decoy, 4))
    decoy = np.r_[np.zeros(n_target, bool), np.ones(n_decoy, bool)]
    correct = np.r_[rng.random(n_target) < 0.35, np.zeros(n_decoy, bool)]
    x[correct, 0] += 1.5  # the "engine score" separates a little
    x[correct, 1] -= 3.0  # a second feature separates well
    return x, decoy, correct


def test_rescoring_beats_the_single_score_and_stays_calibrated():
    x, decoy, correct = synthetic()
    groups = np.arange(len(x)).astype(str)
    scores, learned_share = rescore(x, decoy, groups, x[:, 0], RescoreSettings(train_fdr=(0.05, 0.1, 0.2)))
    assert learned_share == 1.0 and np.isfinite(scores).all()
    before = ((qvalues(x[:, 0], decoy) <= 0.05) & ~decoy).sum()
    after = ((qvalues(scores, decoy) <= 0.05) & ~decoy).sum()
    assert after > 2 * before
    accepted = (qvalues(scores, decoy) <= 0.05) & ~decoy
    assert correct[accepted].mean() > 0.9  # accepted targets are mostly the correct ones


@pytest.mark.parametrize("seed", [3, 4, 5])
@pytest.mark.parametrize("case", ["noise", "shuffled labels"])
def test_uninformative_features_identify_nothing(case, seed):
    """Features that carry no information about the labels must neither be learned from nor identify
    anything at 1%: the calibrated score is kept as it is."""
    rng = np.random.default_rng(seed)
    if case == "noise":
        x = rng.normal(size=(3000, 6))
        decoy = rng.random(3000) < 0.5
    else:  # informative features, labels permuted away from them
        x, decoy, _ = synthetic(2000, 1000, seed)
        decoy = rng.permutation(decoy)
    start = rng.normal(size=len(x))
    scores, learned_share = rescore(x, decoy, np.arange(len(x)), start)
    assert learned_share == 0.0
    accepted = lambda s, plus_one: ((qvalues(s, decoy, plus_one) <= 0.01) & ~decoy).sum()  # noqa: E731
    assert accepted(scores, True) == 0
    # decoys / targets leaves a few chance targets above the best decoy, never more than the score alone
    assert accepted(scores, False) <= max(accepted(start, False), 3)
    assert np.array_equal(scores, start)  # each fold's rescaling, mixed, would reorder the spectra


def test_no_decoys_no_common_scale():
    x, _, _ = synthetic()
    assert rescore(x, np.zeros(len(x), bool), np.arange(len(x)), x[:, 0]) is None


@pytest.mark.parametrize("spectra, repeats", [(300, 10), (5000, 10), (5001, 10), (6000, 9), (22222, 3), (10**6, 1)])
def test_large_runs_are_rescored_over_fewer_splits(spectra, repeats):
    assert split_repeats(spectra, RescoreSettings()) == repeats


@pytest.mark.parametrize("nan_start", [False, True])
def test_rescoring_is_deterministic_whatever_the_threads(monkeypatch, nan_start):
    x, decoy, _ = synthetic()
    start = x[:, 0].copy()
    if nan_start:  # the candidates then are ranked by sorts of their own
        start[::7] = np.nan
    groups = (np.arange(len(x)) // 2).astype(str)  # pairs of rows share a spectrum
    runs = []
    for threads in ("1", "3", "1"):
        monkeypatch.setenv("RAYON_NUM_THREADS", threads)
        runs.append(rescore(x, decoy, groups, start, RescoreSettings(train_fdr=(0.05, 0.1, 0.2))))
    assert runs[0][1] > 0  # the discriminant was learned
    for scores, share in runs[1:]:  # deterministic for a given seed, bit for bit
        assert scores.tobytes() == runs[0][0].tobytes() and share == runs[0][1]


def test_folds_depend_on_spectrum_order_only():
    numbers = spectrum_numbers(["b", "b", "a", "c", "a", "d", "e", "f"])
    assert numbers.tolist() == [0, 0, 1, 2, 1, 3, 4, 5]
    # the first split deals spectra out in turn; rows of one spectrum share a fold
    assert fold_of(numbers, 3, 0, seed=0).tolist() == [0, 0, 1, 2, 1, 0, 1, 2]
    later = fold_of(numbers, 3, 1, seed=0)
    assert later.tolist() == fold_of(numbers, 3, 1, seed=0).tolist()
    assert later[0] == later[1] and later[2] == later[4]
    assert sorted(np.bincount(later[[0, 2, 3, 5, 6, 7]], minlength=3).tolist()) == [2, 2, 2]



@pytest.mark.parametrize("seed", [0, 1, 2**32 + 5, 2**70])
@pytest.mark.parametrize("repeat", [1, 2, 9, 300])
def test_small_shuffles_are_numpys_to_the_element(seed, repeat):
    # drawn without numpy's generator up to SMALL_SHUFFLE spectra: the folds must not depend on which draws
    for count in (0, 1, 2, 3, 17, 215, SMALL_SHUFFLE, SMALL_SHUFFLE + 1, 5000):
        assert seeded_permutation(count, (seed, repeat)) == np.random.default_rng([seed, repeat]).permutation(count).tolist()
    numbers = np.arange(SMALL_SHUFFLE + 1)
    for count in (SMALL_SHUFFLE, SMALL_SHUFFLE + 1):  # either side of the switch
        assert fold_of(numbers[:count], 3, repeat, seed).tolist() == (
            np.random.default_rng([seed, repeat]).permutation(count) % 3).tolist()

def test_rescoring_depends_on_the_order_of_spectra_not_their_names():
    x, decoy, _ = synthetic()
    settings = RescoreSettings(train_fdr=(0.05, 0.1, 0.2))
    a = rescore(x, decoy, np.arange(len(x)), x[:, 0], settings)
    b = rescore(x, decoy, [f"scan={i}" for i in range(len(x))], x[:, 0], settings)
    assert np.array_equal(a[0], b[0])


def test_rescoring_starts_from_the_best_single_feature_when_the_engine_score_is_useless():
    x, decoy, correct = synthetic()
    useless = np.random.default_rng(5).normal(size=len(x))
    scores, learned_share = rescore(x, decoy, np.arange(len(x)).astype(str), useless)
    assert learned_share == 1.0
    accepted = (qvalues(scores, decoy) <= 0.05) & ~decoy
    assert accepted.sum() > 50 and correct[accepted].mean() > 0.9


@pytest.mark.parametrize("chimera, expected_q", [  # one decoy, too few for a tail: counted as two
    (False, [1 / 2, np.nan, 1 / 2, 2 / 3, 2 / 3]),  # rank 2 of a standard search does not compete
    (True, [1 / 2, 1 / 2, np.nan, 2 / 3, 2 / 3]),  # chimeric extractions are PSMs of their own, unless tied
])
def test_error_control_on_a_small_table(chimera, expected_q):
    from vornik_tamrel.control import control_errors
    from vornik_tamrel.search import SearchSettings

    table = {
        "spec_id": np.array(["s1", "s1", "s2", "s3", "s4"], dtype=object), "file_id": np.zeros(5, np.uint32),
        "rank": np.array([1, 2, 1, 1, 1], np.uint32), "label": np.array([1, 1, 1, -1, 1], np.int32),
        "hyperscore": np.array([30.0, 25.0, 20.0, 15.0, 10.0]), "delta_next": np.array([1.0, 2.0, 0.0, 3.0, 4.0]),
        "peptide": np.array(["AAK", "CCK", "DDK", "EEK", "AAK"], dtype=object),
    }
    summary = control_errors(table, SearchSettings(rescore=False, chimera=chimera, fdr=0.6))
    assert table["spectrum_q"].tolist() == pytest.approx(expected_q, nan_ok=True)
    assert table["discriminant_score"].tolist() == [30.0, 25.0, 20.0, 15.0, 10.0]
    # AAK is represented by its best PSM (q 1/2), so its weaker PSM inherits that q at the peptide level
    assert table["peptide_q"][4] == 0.5
    assert summary["psms_at_fdr"] == 2 and summary["rescored"] is False


def test_few_training_targets_give_the_mean_difference_direction():
    from vornik_tamrel.rescore import _fit

    rng = np.random.default_rng(3)
    x = rng.normal(size=(60, 4)) @ np.array([[1, 0.9, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1.0]])
    positive = np.zeros(60, bool)
    positive[:4] = True  # no more targets than features: the covariance is not to be trusted
    negative = ~positive
    w = _fit(x, positive, negative)
    difference = x[positive].mean(axis=0) - x[negative].mean(axis=0)
    assert np.allclose(w / np.linalg.norm(w), difference / np.linalg.norm(difference))
    # with plenty of targets the correlation between the first two features is used
    positive[:40] = True
    w = _fit(x, positive, ~positive)
    difference = x[positive].mean(axis=0) - x[~positive].mean(axis=0)
    assert not np.allclose(w / np.linalg.norm(w), difference / np.linalg.norm(difference), atol=1e-3)


@pytest.mark.parametrize("below_top, expected_slope", [
    ([5.0, 4.0, 3.0, 2.0], -np.log10(2)),  # rank / candidates halves per score unit
    ([2.0, 3.0, 4.0, 5.0], np.nan),  # rising: no tail
    ([5.0, 5.0, 5.0, 5.0], np.nan),  # one score: no line
    ([5.0, 4.0, 3.0], np.nan),  # three ranks below the top are too few
])
def test_tail_fit_rules(below_top, expected_slope):
    from vornik_tamrel.control import tail_fit

    # ranks 2.. of 64 candidates at scores log2(64 / rank); rank 1 (score 100) stays out of the fit
    ranks = np.arange(1, len(below_top) + 2)
    scores = np.r_[100.0, below_top] if np.isnan(expected_slope) else np.r_[100.0, np.log2(64 / ranks[1:])]
    intercept, slope = tail_fit(np.zeros(len(ranks), np.int64), ranks, scores, np.full(len(ranks), 64))
    if np.isnan(expected_slope):
        assert np.isnan(slope[0]) and np.isnan(intercept[0])
    else:
        assert slope[0] == pytest.approx(expected_slope) and intercept[0] == pytest.approx(0.0, abs=1e-12)


def test_tail_features_by_hand():
    from vornik_tamrel.control import tail_features

    table = {"file_id": np.array([0, 0, 1], np.uint32), "spec_id": np.array(["a", "b", "a"], dtype=object),
             "hyperscore": np.array([10.0, 30.0, 2.0]), "scored_candidates": np.array([100, 0, 10], np.uint32)}
    # log10(rank / candidates) = 1 - 0.5 * hyperscore for spectrum a of file 0; 0.5 - 0.1 * score for file 1
    features = tail_features(table, {(0, "a"): (1.0, -0.5), (1, "a"): (0.5, -0.1)})
    # spectrum b has no fit (0); file 1's score is below chance level, clamped at 0
    assert features[:, 0].tolist() == pytest.approx([4.0, 0.0, 0.0])
    # less log10 of the candidates, with an empty candidate count taken as one
    assert features[:, 1].tolist() == pytest.approx([2.0, 0.0, -1.0])



def test_chance_tail_features_follow_the_rows_and_columns_they_are_asked_for():
    from vornik_tamrel.control import Chance, calibrated_scores, tail_features

    tails = {(0, "a"): (1.0, -0.5), (1, "a"): (0.5, -0.1), (0, "b"): (2.0, -0.25)}
    # one spectrum's rows apart and together, and a key without a fit
    table = {"file_id": np.array([0, 0, 1, 0, 0, 0], np.uint32),
             "spec_id": np.array(["a", "b", "a", "a", "a", "c"], dtype=object),
             "hyperscore": np.array([10.0, 30.0, 20.0, 12.0, 14.0, 9.0]),
             "scored_candidates": np.array([100, 0, 10, 100, 100, 5], np.uint32)}
    one_by_one = np.vstack([tail_features({k: v[i:i + 1] for k, v in table.items()}, tails) for i in range(6)])
    chance = Chance(tails)
    assert chance.features(table).tobytes() == one_by_one.tobytes()
    assert calibrated_scores(table, chance).tobytes() == one_by_one[:, 1].tobytes()
    table["hyperscore"] = table["hyperscore"] + 1.0  # a new column: worked out again
    assert calibrated_scores(table, chance).tobytes() == tail_features(table, tails)[:, 1].tobytes()

def test_cross_correlation_tail_ranks_rows_by_that_score():
    from vornik_tamrel.control import fit_tails

    # wide-pass rows in hyperscore order (ranks 1..6 of 64); by xcorr, rank r scores 2 log10(64 / r)
    by_xcorr_rank = [3, 1, 6, 2, 5, 4]
    rows = {"file_id": np.zeros(6, np.uint32), "spec_id": np.array(["s"] * 6, dtype=object),
            "rank": np.arange(1, 7, dtype=np.uint32), "hyperscore": np.log2(64 / np.arange(1.0, 7.0)),
            "scored_candidates": np.full(6, 64, np.uint32),
            "xcorr": np.array([2 * np.log10(64 / r) for r in by_xcorr_rank], np.float32)}
    hyper_line, xcorr_line = np.reshape(fit_tails(rows)[(0, "s")], (2, 2))
    assert hyper_line == pytest.approx([0.0, -np.log10(2)], abs=1e-9)
    assert xcorr_line == pytest.approx([0.0, -0.5], abs=1e-5)
    del rows["xcorr"]
    assert len(fit_tails(rows)[(0, "s")]) == 2


def test_tails_group_rows_by_spectrum_wherever_they_stand():
    from vornik_tamrel.control import fit_tails

    # two spectra's wide-pass rows (ranks 1..6 of 64), once one spectrum after the other, once interleaved
    rank = np.tile(np.arange(1, 7, dtype=np.uint32), 2)
    rows = {"file_id": np.zeros(12, np.uint32), "spec_id": np.array(["a"] * 6 + ["b"] * 6, dtype=object),
            "rank": rank, "hyperscore": np.r_[np.log2(64 / rank[:6]), np.log10(64 / rank[:6])],
            "scored_candidates": np.full(12, 64, np.uint32)}
    apart = fit_tails(rows)
    mixed = fit_tails({name: np.r_[values[0::2], values[1::2]] for name, values in rows.items()})
    assert apart.keys() == mixed.keys() and all(mixed[k] == pytest.approx(apart[k], abs=1e-9) for k in apart)
    assert apart[(0, "a")] == pytest.approx((0.0, -np.log10(2)), abs=1e-9)


@pytest.mark.parametrize("train_fdr, min_examples", [((0.01, 0.05), 15), ((0.0, 0.2), 150), ((0.0, 0.1), 10**6)])
def test_starting_score_is_the_candidate_accepting_most_at_the_first_sufficient_level(train_fdr, min_examples):
    """The split's sorted columns (taken from all rows' sorts) and the looser levels counted only on demand
    choose what counting every candidate at every level with `accepted_targets` chooses."""
    from vornik_tamrel import rescore as r
    from vornik_tamrel.fdr import accepted_targets

    x, decoy, _ = synthetic(600, 400, seed=7)
    x[:, 2] = np.round(x[:, 2], 1)  # ties among the scores
    start = x[:, 0] + np.random.default_rng(8).normal(size=len(x))
    rows = r._Split(x, decoy, start, np.arange(len(x)), np.arange(len(x)), r._Ranked.of(start, x, decoy))
    split = rows[np.arange(len(x)) % 3 != 1]
    mean, std = split.x.mean(axis=0), split.x.std(axis=0)
    z = (split.x - mean) / std
    settings = RescoreSettings(train_fdr=train_fdr, min_examples=min_examples)
    chosen = r._starting_scores(z, split, settings, mean, std)
    columns = np.vstack([split.start, z.T])
    candidates = np.vstack([columns, -columns])
    index = [0] + [j + side * len(columns) for j in range(1, len(columns)) for side in (0, 1)]
    expected = None
    for counts in accepted_targets(columns, split.is_decoy, train_fdr, True)[:, index]:
        if counts.max() >= min_examples:
            expected = candidates[index[int(np.argmax(counts))]]
            break
    assert (chosen is None and expected is None) or chosen.tobytes() == expected.tobytes()


@pytest.mark.parametrize("z, expected, tolerance", [
    (0.0, math.log10(2.0), 1e-15), (1.6448536269514722, 1.3010299956639813, 1e-12), (-3.0, 0.0005866493137900705, 1e-15),
    (8.0, 15.206142551017152, 1e-12),  # the last value from the error function
    (np.nextafter(8.0, 9.0), 15.206142551017152, 3e-6),  # the first from the series: no step at the switch
    (12.0, 32.750439161191856, 1e-6), (40.0, 349.4370064593458, 1e-6),  # where the error function is 0
    (np.nan, np.nan, 0.0)])
def test_normal_tail_log10(z, expected, tolerance):
    from vornik_tamrel.control import normal_tail_log10

    got = normal_tail_log10(np.array([z]))[0]
    assert got == pytest.approx(expected, abs=tolerance, nan_ok=True)


def test_a_split_scores_all_its_folds_alike():
    """Where the nested checks of a split's folds disagree, all its folds take the majority's score: the
    calibrated score in some folds and the discriminant in others would interleave their scales."""
    shares = set()
    for seed in range(8):
        x, decoy, _ = synthetic(seed=seed)
        # what the second feature shows, the calibrated score partly shows too: the discriminant gains so
        # little that the folds' checks split
        x[:, 0] += np.where(x[:, 1] < -1.5, 1.0, 0.0)
        x[:, 1] = np.where(decoy, x[:, 1], x[:, 1] + 2.0 * (x[:, 1] < -1.5))
        shares.add(rescore(x, decoy, np.arange(len(x)).astype(str), x[:, 0],
                           RescoreSettings(repeats=1, train_fdr=(0.05, 0.1, 0.2)))[1])
    assert shares == {0.0, 1.0}
