"""Protein inference by parsimony, and protein-level q-values by picked target-decoy competition.

Groups are built from the peptides of the competing PSMs, targets and decoys
alike (their peptides never coincide): proteins with the same peptide set
form one group; a group whose peptides are a strict subset of another's is
folded into it; a peptide still shared between groups counts, as a razor
peptide, only for the group with the most evidence, and groups left without
any peptide of their own are dropped (their peptides are explained).

A group scores as its best razor peptide. Each target protein then competes
with its own decoy: groups are taken best first, and a group that contains
a protein whose counterpart was already taken is out of the competition,
won or lost. The q-values follow from the groups that remain.

Counting decoys cannot see a false group above the first decoy group: on a
run with a handful of true proteins, the many groups made by one chance
match each put a false target group there about every other time, and at
1% it is accepted whatever its score (no decoy count to weigh it). Two
guards keep such groups out:

- Strata. A false match lands on a protein of its own almost always, while
  a true protein tends to be seen through several peptides; so false groups
  gather among those with fewer than two confident razor peptides. The
  q-values are estimated within each stratum (which controls the FDR of
  their union as well), and in the one-hit stratum always with the +1
  correction, (decoys + 1) / targets: one-hit groups are then accepted only
  where they are numerous enough for a decoy count to vouch for them, and a
  chance match scoring like a true one, which no decoy shows, cannot pass
  beside a few true proteins.
- A target group's q-value is also at least the mean posterior error of the
  groups scoring as well as it, a group being false only if every one of its
  razor peptides is (so its posterior error is at most their least): the
  posterior errors carry what the match-level decoys, far more numerous,
  know about a score.
"""
from __future__ import annotations

from collections import Counter, defaultdict
from dataclasses import dataclass
from itertools import repeat
from typing import Mapping, NamedTuple, Sequence

import numpy as np

from .fdr import best_per_group, qvalues


class Group(NamedTuple):
    members: tuple[str, ...]  # accessions with exactly this group's peptide set, sorted
    subsets: tuple[str, ...]  # accessions folded in: their peptides are a strict subset of the group's
    peptides: frozenset  # every peptide of the members
    razor: frozenset  # the peptides that count for this group (its unique ones among them)
    unique: frozenset  # peptides found in no other group


@dataclass(frozen=True)
class Evidence:
    """What ranks groups when a razor peptide is assigned: per peptide, whether it passed the
    peptide-level threshold, and its best score."""

    confident: Mapping[str, bool]
    score: Mapping[str, float]

    def of(self, peptides) -> tuple:
        confident = sum(map(self.confident.get, peptides, repeat(False)))
        best = max(map(self.score.get, peptides, repeat(-np.inf)), default=-np.inf)
        return confident, len(peptides), best


def parsimony(peptide_proteins: Mapping[str, Sequence[str]], evidence: Evidence) -> list[Group]:
    """Protein groups for peptides mapped to their proteins, strongest evidence first.

    Evidence ranks by the number of confident peptides, then all peptides,
    then the best score, then the first accession (so the result never
    depends on input order).
    """
    by_protein: defaultdict[str, set] = defaultdict(set)
    for peptide, proteins in peptide_proteins.items():
        for protein in proteins:
            by_protein[protein].add(peptide)
    same: defaultdict[frozenset, list[str]] = defaultdict(list)
    for protein, peptides in by_protein.items():
        same[frozenset(peptides)].append(protein)
    sets = list(same)
    holders: defaultdict[str, list[int]] = defaultdict(list)
    for i, peptides in enumerate(sets):
        for peptide in peptides:
            holders[peptide].append(i)

    # Fold each strict subset into its strongest maximal superset (every superset of a set holds its
    # first peptide, and a chain of supersets always ends at a maximal one).
    order = _by_evidence(sets, same, evidence)
    # (a set whose first peptide no other set holds has no superset: most sets, on a large database)
    supersets = {i: [j for j in held if sets[i] < sets[j]] if len(held := holders[next(iter(sets[i]))]) > 1 else []
                 for i in order}
    kept = [i for i in order if not supersets[i]]
    position = {i: k for k, i in enumerate(order)}
    folded: dict[int, list[str]] = {i: [] for i in kept}
    for i in order:
        if supersets[i]:
            top = min((j for j in supersets[i] if not supersets[j]), key=position.__getitem__)
            folded[top].extend(same[sets[i]])

    # A peptide held by one set only is that set's own, its razor peptide if the set is kept; only those held
    # by several sets need their kept holders counted and the first of them (in evidence order) found.
    owners: dict[str, int] = {}  # of the peptides held by several kept sets, and only by kept sets here
    shared: set = set()  # peptides in more than one kept set
    for peptide, held in holders.items():
        if len(held) > 1:
            held_kept = [j for j in held if not supersets[j]]
            if len(held_kept) > 1:
                shared.add(peptide)
            owners[peptide] = min(held_kept, key=position.__getitem__)
    several = set(owners)  # a set, which `isdisjoint` probes from the smaller side
    groups = []
    for i in kept:
        peptides = sets[i]
        if peptides.isdisjoint(several):  # every peptide its own (most sets)
            razor = unique = peptides
        else:
            razor = frozenset(p for p in peptides if owners.get(p, i) == i)
            unique = frozenset(p for p in peptides if p not in shared)
        if razor:
            members, subsets = same[peptides], folded[i]
            groups.append(Group(tuple(sorted(members)) if len(members) > 1 else tuple(members),
                                tuple(sorted(subsets)) if subsets else (), peptides, razor, unique))
    return groups


def _by_evidence(sets: list, same: Mapping[frozenset, list], evidence: Evidence) -> list[int]:
    """The indices of `sets` ordered by evidence: most confident peptides, then most peptides, then the best
    score, then the first accession of their proteins (`same`)."""
    if not sets:
        return []
    confident_of, score_of = evidence.confident.get, evidence.score.get
    flat = [p for peptides in sets for p in peptides]
    best = np.fromiter(map(score_of, flat, repeat(-np.inf)), dtype=np.float64, count=len(flat))
    if np.isnan(best).any():  # the comparisons of tuples, which the arrays below would not repeat with NaN
        return sorted(range(len(sets)), key=lambda i: _rank(sets[i], same, evidence))
    counts = np.fromiter(map(len, sets), dtype=np.int64, count=len(sets))
    starts = np.cumsum(counts) - counts
    confident = np.fromiter(map(confident_of, flat, repeat(False)), dtype=np.int64, count=len(flat))
    first = [min(same[peptides]) for peptides in sets]
    alphabetical = np.empty(len(sets), dtype=np.int64)
    alphabetical[sorted(range(len(sets)), key=first.__getitem__)] = np.arange(len(sets))
    keys = (alphabetical, -np.maximum.reduceat(best, starts), -counts, -np.add.reduceat(confident, starts))
    return np.lexsort(keys).tolist()


def _rank(peptides: frozenset, same: Mapping[frozenset, list], evidence: Evidence) -> tuple:
    confident, count, best = evidence.of(peptides)
    return -confident, -count, -best, min(same[peptides])


def picked_qvalues(scores, is_decoy, claims: Sequence[Sequence[str]], plus_one: bool = False) -> np.ndarray:
    """Protein-level q-values by picked competition; NaN for the groups that drop out.

    `claims[i]` are the accessions of group i with any decoy tag removed, so
    a target protein and its decoy claim the same name. Groups are taken in
    order of score (decoys first on ties); a group claiming a name taken by
    an earlier group drops out, and its names are taken all the same.
    """
    scores = np.asarray(scores, dtype=np.float64)
    is_decoy = np.asarray(is_decoy, dtype=bool)
    ranked = np.where(np.isnan(scores), -np.inf, scores)
    taken: set = set()
    keep = np.zeros(len(scores), dtype=bool)
    for i in np.lexsort((~is_decoy, -ranked)).tolist():
        keep[i] = taken.isdisjoint(claims[i])
        taken.update(claims[i])
    q = np.full(len(scores), np.nan)
    q[keep] = qvalues(scores[keep], is_decoy[keep], plus_one)
    return q


def posterior_qvalues(scores, pep) -> np.ndarray:
    """q-values from posterior errors: the mean posterior error of the entries scoring at least as well,
    minimised over the thresholds at or below each entry (equal scores share one)."""
    scores = np.asarray(scores, dtype=np.float64)
    if not len(scores):
        return np.empty(0)
    order = np.argsort(-scores, kind="stable")
    s = scores[order]
    mean = np.cumsum(np.asarray(pep, dtype=np.float64)[order]) / np.arange(1, len(s) + 1)
    mean[:-1][s[1:] == s[:-1]] = np.inf  # only the last entry of a block of equal scores is a threshold
    out = np.empty(len(s))
    out[order] = np.minimum.accumulate(mean[::-1])[::-1]
    return out


def coverage(sequence: str, peptides) -> float:
    """Share of `sequence`'s residues inside at least one occurrence of one of `peptides`."""
    if not sequence:
        return 0.0
    peptides = peptides if isinstance(peptides, (list, tuple, set, frozenset)) else list(peptides)
    if len(peptides) == 1:
        peptide, = peptides
        start = sequence.find(peptide)
        if start < 0:
            return 0.0
        if sequence.find(peptide, start + 1) < 0:
            return len(peptide) / len(sequence)
    spans = []
    for peptide in peptides:
        start = sequence.find(peptide)
        while start >= 0:
            spans.append((start, start + len(peptide)))
            start = sequence.find(peptide, start + 1)
    covered = reach = 0
    for start, end in sorted(spans):  # the union of the occurrences, counted once
        if end > reach:
            covered += end - max(start, reach)
            reach = end
    return covered / len(sequence)


def _per_razor(groups: Sequence[Group], score: Mapping[str, float], pep: Mapping[str, float],
               confident: Mapping[str, bool]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Per group, over its razor peptides: the best `score`, the least `pep` and the count of `confident`."""
    flat = [p for g in groups for p in g.razor]
    best = np.fromiter(map(score.__getitem__, flat), dtype=np.float64, count=len(flat))
    least = np.fromiter(map(pep.__getitem__, flat), dtype=np.float64, count=len(flat))
    sure = np.fromiter(map(confident.__getitem__, flat), dtype=np.int64, count=len(flat))
    if not groups or np.isnan(best).any() or np.isnan(least).any():  # as Python's max and min see NaN
        return (np.fromiter((max(map(score.__getitem__, g.razor)) for g in groups), np.float64, len(groups)),
                np.fromiter((min(map(pep.__getitem__, g.razor)) for g in groups), np.float64, len(groups)),
                np.fromiter((sum(map(confident.__getitem__, g.razor)) for g in groups), np.int64, len(groups)))
    sizes = np.fromiter((len(g.razor) for g in groups), dtype=np.int64, count=len(groups))
    starts = np.cumsum(sizes) - sizes
    return np.maximum.reduceat(best, starts), np.minimum.reduceat(least, starts), np.add.reduceat(sure, starts)


PROTEIN_COLUMNS = ("group", "proteins", "subset_proteins", "is_decoy", "best_score", "protein_q",
                   "peptides", "unique_peptides", "razor_peptides", "psms", "coverage")


def infer_proteins(table, compete: np.ndarray, fdr: float, decoy_tag: str, sequences: Mapping[str, str],
                   plus_one: bool = False) -> dict[str, np.ndarray]:
    """Protein groups of a PSM table: fills its `protein_q` (from each row's razor group; 1 where there is
    none) and returns the protein table, one row per group, best first (see PROTEIN_COLUMNS).

    Uses the competing rows' plain sequences, `proteins`, final score
    (`discriminant_score`), `peptide_q` and `posterior_error`; `sequences` maps target
    accessions to their residues, for the coverage.
    """
    from .search import target_of_decoy

    rows = np.flatnonzero(compete)
    peptide = np.asarray(table["sequence"], dtype=object)[rows]
    score = np.asarray(table["discriminant_score"], dtype=np.float64)[rows]
    peptide_q = np.asarray(table["peptide_q"], dtype=np.float64)[rows]
    best = best_per_group(peptide, score)
    best_score = dict(zip(peptide[best].tolist(), score[best].tolist()))
    confident = dict(zip(peptide[best].tolist(), (peptide_q[best] <= fdr).tolist()))
    # the best match has the least posterior error (it is non-increasing in the score)
    pep = np.asarray(table["posterior_error"], dtype=np.float64)[rows]
    peptide_pep = dict(zip(peptide[best].tolist(), pep[best].tolist()))
    psms = Counter(peptide.tolist())
    accessions = np.asarray(table["proteins"], dtype=object)[rows][best].tolist()
    mapping = {p: tuple(filter(None, text.split(";"))) for p, text in zip(peptide[best].tolist(), accessions)}
    groups = parsimony(mapping, Evidence(confident, best_score))

    tag = len(decoy_tag)
    strip = lambda a: a[tag:] if a.startswith(decoy_tag) else a  # noqa: E731
    decoy = np.fromiter((g.members[0].startswith(decoy_tag) for g in groups), dtype=bool, count=len(groups))
    group_score, group_pep, razor_confident = _per_razor(groups, best_score, peptide_pep, confident)
    claims = [{strip(a) for a in g.members + g.subsets} for g in groups]
    q = picked_qvalues(group_score, decoy, claims, plus_one)
    picked = ~np.isnan(q)
    one_hit = razor_confident < 2
    for stratum, conservative in ((one_hit, True), (~one_hit, plus_one)):
        q[picked & stratum] = qvalues(group_score[picked & stratum], decoy[picked & stratum], conservative)
    kept = picked & ~decoy
    q[kept] = np.maximum(q[kept], posterior_qvalues(group_score[kept], group_pep[kept]))
    q = np.where(np.isnan(q), 1.0, q)
    order = np.lexsort((np.arange(len(groups)), -group_score, q))

    group_of = {p: k for k, g in enumerate(groups) for p in g.razor}
    sequence = np.asarray(table["sequence"], dtype=object).tolist()
    group_q = np.append(q, 1.0)  # the last entry: no group
    index = np.fromiter(map(group_of.get, sequence, repeat(len(groups))), dtype=np.int64, count=len(sequence))
    table["protein_q"] = group_q[index].astype(np.float32)

    def cover(g: Group) -> float:
        lead = g.members[0]
        residues = sequences.get(strip(lead), "")
        if lead.startswith(decoy_tag):
            return coverage(residues, [target_of_decoy(p) for p in g.peptides])
        if len(g.peptides) == 1 and residues:  # most groups: `coverage` of one peptide, found once
            peptide, = g.peptides
            start = residues.find(peptide)
            if start >= 0 and residues.find(peptide, start + 1) < 0:
                return len(peptide) / len(residues)
        return coverage(residues, g.peptides)

    ordered = [groups[k] for k in order.tolist()]
    text = lambda values: np.array(values, dtype=object)  # noqa: E731
    return {
        "group": np.arange(1, len(ordered) + 1, dtype=np.uint32),
        "proteins": text([";".join(g.members) for g in ordered]),
        "subset_proteins": text([";".join(g.subsets) for g in ordered]),
        "is_decoy": decoy[order],
        "best_score": group_score[order].astype(np.float32),
        "protein_q": q[order].astype(np.float32),
        "peptides": np.array([len(g.peptides) for g in ordered], dtype=np.uint32),
        "unique_peptides": np.array([len(g.unique) for g in ordered], dtype=np.uint32),
        "razor_peptides": np.array([len(g.razor) for g in ordered], dtype=np.uint32),
        "psms": np.array([sum(map(psms.__getitem__, g.peptides)) for g in ordered], dtype=np.uint32),
        "coverage": np.array([cover(g) for g in ordered], dtype=np.float32),
    }
