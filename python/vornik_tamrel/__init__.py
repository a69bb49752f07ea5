"""Peptide search around the `_vornik_tamrel` engine.

Reading spectra (mzML, MGF) and FASTA files, digestion, the search itself,
target-decoy error control with optional rescoring, and the output table and
report. The command line is `vornik-tamrel` (see `vornik_tamrel.cli`).
"""
from .digest import DigestSettings, PeptideSet, digest
from .errors import FastaError, InputError, InputWarning, OutputError, SpectrumFileError
from .fasta import Protein, read_fasta
from .fdr import peptide_qvalues, qvalues
from .masses import Modification, ModificationSettings
from .search import SearchResult, SearchSettings, run_search
from .spectra import PeakSettings, Spectrum, prepare_peaks, read_spectra

__all__ = [
    "DigestSettings", "FastaError", "InputError", "InputWarning", "Modification", "ModificationSettings",
    "OutputError", "PeakSettings", "PeptideSet", "Protein", "SearchResult", "SearchSettings", "Spectrum",
    "SpectrumFileError", "digest", "peptide_qvalues", "prepare_peaks", "qvalues", "read_fasta", "read_spectra",
    "run_search",
]
