"""Index stage: the digested peptides handed to the engine's fragment index as columns.

No Python object is made per peptide: sequences, modification masses and
terminal masses go over as a few flat buffers, and the engine adds the
decoys and sorts the fragments in place.
"""
from __future__ import annotations

import itertools
from typing import TYPE_CHECKING

import numpy as np

from . import _native

if TYPE_CHECKING:
    from .digest import PeptideSet
    from .search import SearchSettings


def peptide_columns(peptides: PeptideSet) -> dict[str, np.ndarray | bytes]:
    """The columns `_native.build_index` takes: residues end to end with their offsets, 32-bit masses,
    one modification mass per residue (0 where none), terminal masses (NaN where none), missed cleavages."""
    sequences = peptides.sequences
    lengths = np.fromiter(map(len, sequences), np.int64, len(sequences))
    offsets = np.zeros(len(sequences) + 1, np.int64)
    np.cumsum(lengths, out=offsets[1:])
    modifications = np.zeros(int(offsets[-1]), np.float32)
    rows = [i for i, m in enumerate(peptides.modifications) if m is not None]
    if rows:
        values = np.fromiter(itertools.chain.from_iterable(peptides.modifications[i] for i in rows), np.float64)
        rows_array = np.asarray(rows, np.int64)
        row_lengths = lengths[rows_array]
        # position of each value: its row's first residue plus its place in the row
        shift = offsets[rows_array] - (np.cumsum(row_lengths) - row_lengths)
        modifications[np.repeat(shift, row_lengths) + np.arange(len(values))] = values.astype(np.float32)

    def terminal(values):
        return np.array([np.nan if v is None else v for v in values], np.float64).astype(np.float32)

    return dict(residues="".join(sequences).encode("ascii"), offsets=offsets,
                masses=np.ascontiguousarray(peptides.masses, np.float32), modifications=modifications,
                nterm=terminal(peptides.nterm), cterm=terminal(peptides.cterm),
                missed_cleavages=np.ascontiguousarray(peptides.missed_cleavages, np.uint8))


def build_database(peptides: PeptideSet, settings: SearchSettings):
    """The engine's fragment index over `peptides` (sorted by mass) and their reversed decoys."""
    return _native.build_index(**peptide_columns(peptides), bucket_size=settings.bucket_size,
                               min_ion_index=settings.min_ion_index, decoy_tag=settings.decoy_tag)
