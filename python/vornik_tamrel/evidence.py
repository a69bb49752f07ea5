"""Fragment evidence for scored rows: a cross-correlation score and its chance level.

The hyperscore counts fragments inside the fragment tolerance; with the wide
tolerances of ion-trap spectra many unrelated peptides match as many. The
cross-correlation score (the spectrum on a grid of fixed bins, the local mean
subtracted) rewards fragments on intense peaks and penalises those in busy
regions, and its chance level is taken from random peptides of the row's mass
(see tamrel/xcorr.hpp), so it needs no other candidate: a spectrum with one candidate in its
precursor window gets as reliable a level as one with thousands. Both are
computed in the engine (`_native.xcorr_evidence`) for the rows of each batch,
target and decoy rows alike. Given the index, a row also gets the chance
level of its score among every peptide of the index within `tail_window` of
its mass: the exponential tail fitted to their scores against its spectrum.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Optional

import numpy as np

if TYPE_CHECKING:
    from .search import SearchSettings, Table
    from .spectra import SpectrumBatch

#: The columns `fragment_evidence` adds to a batch's rows (float32); `take_evidence` removes them again.
EVIDENCE_COLUMNS = ("xcorr", "xcorr_log_p", "xcorr_z", "xcorr_tail_log_p")

#: One nominal mass unit, with the mass defect of peptide fragments.
UNIT_BIN = 1.0005079


@dataclass(frozen=True)
class EvidenceSettings:
    bin_width: float
    bin_offset: float  # fraction of a bin: bin = floor(mass / width + offset)
    flank_bins: int = 75  # the local mean runs over this many bins on each side
    max_fragment_charge: Optional[int] = 2
    null_ladders: int = 64  # random ladders of each row's mass for its chance level
    tail_window: float = 0.0  # Da around each row's mass whose peptides give its candidate tail (0: none)
    tail_candidates: int = 1000  # at most this many of them scored, evenly spread over the window


#: Half-width (Da) of the mass window whose database peptides give each row a second chance level: the
#: tail of their cross-correlation scores against the row's spectrum, of TAIL_CANDIDATES of them at most.
#: 0 turns it off, the default: as the calibrated score (see `control.calibrated_scores`) it held the
#: entrapment tests only with every peptide of a 25 Da window scored, which took four times as long as the
#: rest of a search of ion-trap spectra against 9,439 proteins, and lost identifications elsewhere;
#: `benchmarks/entrapment.py --tail-window` measures it.
TAIL_WINDOW_DA = 0.0
TAIL_CANDIDATES = 1000

#: Fragment tolerances (Da, or at m/z 1000 for ppm) from which the evidence is computed.
WIDE_TOLERANCE = 0.25


def evidence_settings(settings: SearchSettings) -> Optional[EvidenceSettings]:
    """One-mass-unit bins (offset so that a bin holds one nominal mass with its defect) for ion-trap
    tolerances; None at high resolution, where the hyperscore already separates and a grid of bins as fine
    as the tolerance cost more than the rest of the search (twice the time of a 22,000-spectrum search)
    without changing an identification."""
    width = settings.fragment_tol if settings.fragment_unit == "da" else settings.fragment_tol * 1e-3
    if width < WIDE_TOLERANCE:
        return None
    return EvidenceSettings(UNIT_BIN, 0.4, max_fragment_charge=settings.max_fragment_charge,
                            tail_window=TAIL_WINDOW_DA, tail_candidates=TAIL_CANDIDATES)


def fragment_evidence(batch: SpectrumBatch, file_ids: np.ndarray, columns: dict, mod_offsets: np.ndarray,
                      mods: np.ndarray, settings: EvidenceSettings, index=None) -> dict[str, np.ndarray]:
    """The evidence columns of the engine's rows `columns` of `batch` (spectra from files `file_ids`), with
    their modification rows given flat (`mods`, `mod_offsets`); the candidate tails need the searched `index`."""
    from . import _native

    position = {key: i for i, key in enumerate(zip(file_ids.tolist(), batch.ids))}
    rows = np.fromiter((position[key] for key in zip(columns["file_id"].tolist(), columns["spec_id"])),
                       np.int64, count=len(columns["spec_id"]))
    found = _native.xcorr_evidence(
        batch.peak_offsets, batch.mass, batch.intensity, rows, columns["sequence"],
        mod_offsets, mods, columns["calcmass"], columns["charge"], settings.bin_width, settings.bin_offset,
        settings.flank_bins, settings.max_fragment_charge, settings.null_ladders, index=index,
        tail_window=settings.tail_window, tail_candidates=settings.tail_candidates)
    return {name: np.frombuffer(found[key], np.float32)
            for name, key in zip(EVIDENCE_COLUMNS, ("xcorr", "log_p", "z", "tail_log_p"))}


def take_evidence(table: Table) -> Optional[np.ndarray]:
    """Removes the evidence columns from `table`; returns them as a float64 matrix (one row per table row,
    columns in `EVIDENCE_COLUMNS` order, the last left out when no row has a candidate tail), or None when the
    rows carry none."""
    if EVIDENCE_COLUMNS[0] not in table:
        return None
    found = np.column_stack([np.asarray(table.pop(name), dtype=np.float64) for name in EVIDENCE_COLUMNS])
    return found if np.isfinite(found[:, 3]).any() else found[:, :3]

