"""Index stage: the digested peptides handed to the engine's fragment index as columns.

No Python object is made per peptide: sequences, modification masses and
terminal masses go over as a few flat buffers, and the engine adds the
decoys and sorts the fragments in place.
"""
from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

from . import _native

if TYPE_CHECKING:
    from .digest import PeptideSet
    from .search import SearchSettings


def peptide_columns(peptides: PeptideSet) -> dict[str, np.ndarray | bytes]:
    """The columns `_native.build_index` takes: residues end to end with their offsets, 32-bit masses,
    one modification mass per residue (0 where none), terminal masses (NaN where none), missed cleavages."""
    return peptides.row_columns()


def build_database(peptides: PeptideSet, settings: SearchSettings, release: bool = False):
    """The engine's fragment index over `peptides` (sorted by mass) and their reversed decoys, read from the
    digest's own columns: no row-wise copy of the residues and modifications is made. With `release`,
    `peptides` gives up its rows (see `PeptideSet.release_rows`), so that they are freed before the
    fragments are made, the build's largest allocation."""
    columns = dict(
        residues=peptides.residues, sequence_offsets=peptides.sequence_offsets, sequence_index=peptides.sequence_index,
        masses=peptides.masses, mod_offsets=peptides.mod_offsets, mod_values=peptides.mod_values,
        nterm=peptides.nterm_mass, cterm=peptides.cterm_mass, missed_cleavages=peptides.missed_cleavages)
    if release:
        peptides.release_rows()
    return _native.build_index_of_set(columns, bucket_size=settings.bucket_size,
                                      min_ion_index=settings.min_ion_index, decoy_tag=settings.decoy_tag)


def index_from_columns(columns: dict[str, np.ndarray | bytes], settings: SearchSettings):
    """The same from the peptides' columns (see `peptide_columns`)."""
    return _native.build_index(**columns, bucket_size=settings.bucket_size, min_ion_index=settings.min_ion_index,
                               decoy_tag=settings.decoy_tag)
