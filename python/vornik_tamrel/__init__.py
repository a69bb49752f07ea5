"""Peptide search around the `_vornik_tamrel` engine.

Reading spectra (mzML, MGF) and FASTA files, digestion, the search itself,
target-decoy error control with optional rescoring, and the output table and
report. The command line is `vornik-tamrel` (see `vornik_tamrel.cli`).

The names below are imported on first use, so that importing the package (or
its compiled `_native` module) loads nothing heavy.
"""
import importlib

_HOMES = {
    "DigestSettings": "digest", "PeptideSet": "digest", "digest": "digest",
    "FastaError": "errors", "InputError": "errors", "InputWarning": "errors", "OutputError": "errors",
    "SpectrumFileError": "errors",
    "Protein": "fasta", "read_fasta": "fasta",
    "peptide_qvalues": "fdr", "qvalues": "fdr",
    "Modification": "masses", "ModificationSettings": "masses",
    "SearchResult": "search", "SearchSettings": "search", "run_search": "search",
    "PeakSettings": "spectra", "Spectrum": "spectra", "prepare_peaks": "spectra", "read_spectra": "spectra",
}

__all__ = sorted(_HOMES)


def __getattr__(name):
    if name not in _HOMES:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{_HOMES[name]}", __name__), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(__all__))
