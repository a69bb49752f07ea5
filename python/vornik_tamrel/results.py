"""The results stage: retention times before error control, the rest after it.

Retention times first (aligned, predicted, and their error), from a model
trained on the matches that the calibrated score alone accepts; the RT error
then joins error control's extra features, whose guardrails decide whether it
helps. Error control thus runs once. After it: the posterior error of every
competing match from the final scores, the peptide table (best match per
peptide) and the protein groups with their q-values.
"""
from __future__ import annotations

import gc
from contextlib import contextmanager
from typing import TYPE_CHECKING, Iterator, Mapping, Optional

import numpy as np

from .control import Chance, calibrated_scores, competition_rows
from .drawing import lent_helper
from .fdr import best_per_group, qvalues
from .pep import posterior_errors
from .proteins import infer_proteins
from .mobility import fill_mobility
from .plot import first_panel
from .rt import fill_retention

if TYPE_CHECKING:
    from .search import SearchSettings, Table

#: Columns of the peptide table, taken from each peptide's best PSM (`posterior_error` is the peptide's).
PEPTIDE_COLUMNS = ("peptide", "sequence", "proteins", "is_decoy", "file", "spec_id", "charge", "rt",
                   "predicted_rt", "hyperscore", "discriminant_score", "peptide_q", "posterior_error",
                   "protein_q")


def with_retention(table: Table, settings: SearchSettings, extra_features: Optional[np.ndarray],
                   chance: Optional[Chance]) -> tuple[Optional[np.ndarray], bool]:
    """Fill the RT columns of `table` in place (and the mobility columns, see `mobility`); returns error
    control's extra features (`extra_features` with the RT error beside them when a model was fitted and
    rescoring is on) and whether it was fitted.
    `chance` calibrates the score the training matches are chosen by (see `control.calibrated_scores`)."""
    if (helper := lent_helper()) is not None:  # the report's first panel needs nothing of what follows
        helper.begin(first_panel(table, settings))
    compete = competition_rows(table, settings.chimera)
    decoy = np.asarray(table["label"]) == -1
    q = np.ones(len(decoy))
    # The plain count, not the reported q-values' decoy tail: on the calibrated score alone, runs of a few
    # hundred matches keep no peptide below the tail's charge at the run's FDR, and so no model.
    q[compete] = qvalues(calibrated_scores(table, chance)[compete], decoy[compete], settings.conservative_fdr)
    rt_error = fill_retention(table, compete, q, settings.fdr)
    fill_mobility(table, compete, q, settings.fdr)
    if rt_error is None or not settings.rescore:
        return extra_features, rt_error is not None
    return (rt_error[:, None] if extra_features is None else np.column_stack([extra_features, rt_error])), True


@contextmanager
def _collector_paused() -> Iterator[None]:
    """Python's cyclic garbage collector paused: protein inference makes tens of thousands of small
    containers (peptide sets, groups, their tuples) and no cycles, and the collector's passes over them
    cost about a sixth of its time."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def complete_results(table: Table, settings: SearchSettings, summary: dict,
                     sequences: Mapping[str, str]) -> tuple[Table, Table]:
    """Fill `posterior_error` and `protein_q` of `table` (after error control, in place) and count the
    accepted protein groups into `summary`; returns the peptide table and the protein table."""
    with _collector_paused():
        return _complete_results(table, settings, summary, sequences)


def _complete_results(table: Table, settings: SearchSettings, summary: dict,
                      sequences: Mapping[str, str]) -> tuple[Table, Table]:
    compete = competition_rows(table, settings.chimera)
    score = np.asarray(table["discriminant_score"], dtype=np.float64)
    decoy = np.asarray(table["is_decoy"], dtype=bool)
    pep = np.ones(len(score))
    pep[compete] = posterior_errors(score[compete], decoy[compete], tail=True)  # as the q-values count
    table["posterior_error"] = pep.astype(np.float32)

    proteins = infer_proteins(table, compete, settings.fdr, settings.decoy_tag, sequences, settings.conservative_fdr)
    accepted = proteins["protein_q"] <= settings.fdr
    summary["protein_groups_at_fdr"] = int((accepted & ~proteins["is_decoy"]).sum())
    return peptide_table(table, compete), proteins


def peptide_table(table: Table, compete: np.ndarray) -> Table:
    """One row per distinct (modified) peptide among the competing rows: its best PSM, ordered by peptide
    q-value then score, with the peptide-level posterior error."""
    rows = np.flatnonzero(compete)
    peptides = np.asarray(table["peptide"], dtype=object)[rows]
    score = np.asarray(table["discriminant_score"], dtype=np.float64)[rows]
    decoy = np.asarray(table["is_decoy"], dtype=bool)[rows]
    best = best_per_group(peptides, score)  # each peptide stands for itself by its best match
    out = {name: np.asarray(table[name])[rows[best]] for name in PEPTIDE_COLUMNS if name != "posterior_error"}
    out["posterior_error"] = posterior_errors(score[best], decoy[best], tail=True).astype(np.float32)
    out = {name: out[name] for name in PEPTIDE_COLUMNS}
    order = np.lexsort((-score[best], np.nan_to_num(out["peptide_q"].astype(np.float64), nan=2.0)))
    return {name: values[order] for name, values in out.items()}
