"""A Percolator input file (tab-separated "pin") from a PSM table.

One line per reported match: an identifier, the label (1 target, -1 decoy),
a number per spectrum, the measured and calculated masses, the features the
rescoring uses (with the retention-time error when a model was fitted),
then the peptide with placeholder flanks and its proteins, one per field.
"""
from __future__ import annotations

import numpy as np

from .rescore import FEATURES, feature_matrix, spectrum_numbers


# Tabs and line ends in a title (an mzML id may hold them) would split its field or its line.
_ONE_FIELD = str.maketrans("\t\n\r\v\f", "     ")


def pin_columns(table) -> tuple[list[str], np.ndarray]:
    """Feature names and values (one row per table row)."""
    names = list(FEATURES)
    values = feature_matrix(table)
    delta_rt = np.asarray(table["delta_rt_model"], dtype=np.float64)
    predicted = np.asarray(table["predicted_rt"], dtype=np.float64)
    if len(predicted) and predicted.any():  # the engine's constants until a model was fitted
        names.append("delta_rt_model")
        values = np.column_stack([values, delta_rt])
    return names, values


def write_pin(table, path) -> None:
    """Write `table` (see `search.psm_table`) as a Percolator input file at `path`."""
    names, values = pin_columns(table)
    scan = spectrum_numbers(list(zip(np.asarray(table["file_id"]).tolist(), np.asarray(table["spec_id"]).tolist())))
    label = np.where(np.asarray(table["is_decoy"], dtype=bool), -1, 1)
    with open(path, "w", encoding="utf-8", newline="\n") as out:
        out.write("\t".join(["SpecId", "Label", "ScanNr", "ExpMass", "CalcMass", *names, "Peptide", "Proteins"])
                  + "\n")
        for i, row in enumerate(values.tolist()):
            psm_key = f"{table['file'][i]}:{table['spec_id'][i]}:{table['rank'][i]}".translate(_ONE_FIELD)
            proteins = [p for p in str(table["proteins"][i]).split(";") if p] or ["-"]
            fields = [psm_key, str(label[i]), str(scan[i] + 1), repr(float(table["expmass"][i])),
                      repr(float(table["calcmass"][i])), *(f"{v:.6g}" for v in row),
                      f"-.{table['peptide'][i]}.-", *proteins]
            out.write("\t".join(fields) + "\n")
