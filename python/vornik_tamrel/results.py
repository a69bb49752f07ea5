"""The results stage: what follows error control on a PSM table.

Retention times first (aligned, predicted, and their error); when a model
could be fitted, error control runs once more with the RT error among its
extra features, and its guardrails decide whether that helps. Then the
posterior error of every competing match from the final scores, the peptide
table (best match per peptide) and the protein groups with their q-values.
"""
from __future__ import annotations

from typing import TYPE_CHECKING, Mapping, Optional

import numpy as np

from .control import competition_rows, control_errors
from .fdr import best_per_group
from .pep import peptide_posterior_errors, posterior_errors
from .proteins import infer_proteins
from .rt import fill_retention

if TYPE_CHECKING:
    from .search import SearchSettings, Table

#: Columns of the peptide table, taken from each peptide's best PSM (`posterior_error` is the peptide's).
PEPTIDE_COLUMNS = ("peptide", "sequence", "proteins", "is_decoy", "file", "spec_id", "charge", "rt",
                   "predicted_rt", "hyperscore", "discriminant_score", "peptide_q", "posterior_error",
                   "protein_q")


def complete_results(table: Table, settings: SearchSettings, summary: dict, extra_features: Optional[np.ndarray],
                     sequences: Mapping[str, str], tails: Optional[dict] = None) -> tuple[dict, Table, Table]:
    """Fill the RT columns, `posterior_error` and `protein_q` of `table` (in place, rescoring again with the RT
    error when there is a model); returns the summary of the final error control, the peptide table and the
    protein table. `tails` are the null tails error control calibrated the scores with."""
    compete = competition_rows(table, settings.chimera)
    rt_error = fill_retention(table, compete, settings.fdr)
    if rt_error is not None and settings.rescore:
        extra = rt_error[:, None] if extra_features is None else np.column_stack([extra_features, rt_error])
        summary = control_errors(table, settings, extra, tails)
    summary["rt_model"] = rt_error is not None

    score = np.asarray(table["discriminant_score"], dtype=np.float64)
    decoy = np.asarray(table["is_decoy"], dtype=bool)
    pep = np.ones(len(score))
    pep[compete] = posterior_errors(score[compete], decoy[compete])
    table["posterior_error"] = pep.astype(np.float32)

    proteins = infer_proteins(table, compete, settings.fdr, settings.decoy_tag, sequences, settings.conservative_fdr)
    accepted = proteins["protein_q"] <= settings.fdr
    summary["protein_groups_at_fdr"] = int((accepted & ~proteins["is_decoy"]).sum())
    return summary, peptide_table(table, compete), proteins


def peptide_table(table: Table, compete: np.ndarray) -> Table:
    """One row per distinct (modified) peptide among the competing rows: its best PSM, ordered by peptide
    q-value then score, with the peptide-level posterior error."""
    rows = np.flatnonzero(compete)
    peptides = np.asarray(table["peptide"], dtype=object)[rows]
    score = np.asarray(table["discriminant_score"], dtype=np.float64)[rows]
    decoy = np.asarray(table["is_decoy"], dtype=bool)[rows]
    pep = peptide_posterior_errors(peptides, score, decoy)
    best = best_per_group(peptides, score)
    out = {name: np.asarray(table[name])[rows[best]] for name in PEPTIDE_COLUMNS if name != "posterior_error"}
    out["posterior_error"] = pep[best].astype(np.float32)
    out = {name: out[name] for name in PEPTIDE_COLUMNS}
    order = np.lexsort((-score[best], np.nan_to_num(out["peptide_q"].astype(np.float64), nan=2.0)))
    return {name: values[order] for name, values in out.items()}
