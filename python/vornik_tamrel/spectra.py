"""Reading MS2 spectra from mzML and MGF files, and preparing their peaks.

mzML (plain or gzip-compressed, indexed or not: the file is streamed once, so
no offset index is needed) goes through the lxml reader of `mzml.py`, and
through pyteomics for array encodings that reader leaves out. Measured on the
bundled 1120-scan file (CPU time), pyteomics spends about 1.2 s parsing plus about
1.3 s importing and loading its vocabulary, pymzml about 0.6 s, the lxml
reader about 0.35 s. MGF is parsed here: the format is line-based and a
strict reader can say which line and spectrum are wrong, and notice a file cut
off inside a spectrum (pyteomics silently returns None for such a spectrum).

Every failure of ordinary bad input becomes a SpectrumFileError naming the
file and, where known, the spectrum.
"""
from __future__ import annotations

import binascii
import functools
import gzip
import io
import os
import re
import zlib
from dataclasses import dataclass
from typing import Iterator, Optional

import numpy as np

from .errors import SpectrumFileError
from .masses import PROTON


@dataclass(frozen=True)
class PeakSettings:
    """Which peaks of a spectrum are handed to the scorer."""

    max_peaks: int = 150
    min_mz: float = 150.0
    max_mz: float = 4000.0

    def __post_init__(self) -> None:
        if self.max_peaks < 1:
            raise ValueError("the number of peaks to keep must be at least 1")
        if not 0 <= self.min_mz < self.max_mz:
            raise ValueError(f"fragment m/z range {self.min_mz}..{self.max_mz} is empty")


@dataclass
class Spectrum:
    """One MS2 scan with its precursor and prepared peaks.

    `mass` holds each kept peak's m/z minus the proton mass (the neutral mass
    of a singly charged fragment, the scorer's peak convention), ascending, as
    float32; `intensity` is aligned with it. `total_ion_current` sums the
    kept intensities.
    """

    id: str
    file_id: int
    scan_start_time: float  # minutes
    precursor_mz: float
    charge: Optional[int]
    precursor_intensity: Optional[float]
    isolation_window: Optional[tuple[float, float]]  # (lower offset, upper offset) in m/z
    inverse_ion_mobility: Optional[float]
    mass: np.ndarray
    intensity: np.ndarray
    total_ion_current: float


def prepare_peaks(mz, intensity, settings: PeakSettings) -> tuple[np.ndarray, np.ndarray, float]:
    """Keep the `max_peaks` most intense peaks inside the m/z range, as scorer masses.

    Peaks with a non-finite m/z or a non-positive or non-finite intensity are
    dropped first. Among equally intense peaks at the cut, the lower m/z wins.
    Returns (mass, intensity, total_ion_current), mass ascending.
    """
    mz = np.asarray(mz, dtype=np.float64).reshape(-1)
    intensity = np.asarray(intensity, dtype=np.float64).reshape(-1)
    keep = (mz >= settings.min_mz) & (mz <= settings.max_mz) & (intensity > 0) & np.isfinite(intensity)
    mz, intensity = mz[keep], intensity[keep]
    if len(mz) > settings.max_peaks:
        order = np.lexsort((mz, -intensity))[: settings.max_peaks]
        mz, intensity = mz[order], intensity[order]
    order = np.argsort(mz, kind="stable")
    mass = np.ascontiguousarray((mz[order] - PROTON).astype(np.float32))
    inten = np.ascontiguousarray(intensity[order].astype(np.float32))
    return mass, inten, float(np.float32(inten.sum(dtype=np.float64)))


# ---------------------------------------------------------------- file access

class _Source:
    """An opened spectrum file, transparently decompressed, that remembers its format."""

    def __init__(self, path: str):
        self.path = path
        try:
            self._raw = open(path, "rb")
        except OSError as exc:
            raise SpectrumFileError(f"{path}: cannot open: {exc.strerror or exc}") from exc
        self.compressed = False
        try:
            self.compressed = self._raw.peek(2)[:2] == b"\x1f\x8b"
            self.stream = gzip.GzipFile(fileobj=self._raw, mode="rb") if self.compressed else self._raw
            head = self._peek_head()
        except (OSError, EOFError, zlib.error) as exc:
            self.close()
            what = "truncated or corrupt compressed file" if self.compressed else "cannot read"
            raise SpectrumFileError(f"{path}: {what}: {exc}") from exc
        self.format = _sniff(head, path)
        if self.format is None:
            self.close()
            raise SpectrumFileError(f"{path}: not an mzML or MGF file (unrecognised content)")

    def _peek_head(self) -> bytes:
        head = self.stream.read(4096)
        self.stream.seek(0)
        return head

    def close(self) -> None:
        if getattr(self, "stream", None) is not None and self.stream is not self._raw:
            self.stream.close()
        self._raw.close()


def _sniff(head: bytes, path: str) -> Optional[str]:
    text = head.lstrip(b"\xef\xbb\xbf \t\r\n")
    if text.startswith(b"<") and (b"<mzML" in head or b"<indexedmzML" in head):
        return "mzml"
    if re.search(rb"^\s*BEGIN IONS\s*$", head, re.M) or re.match(rb"^\s*(#|[A-Z_]+=)", text):
        return "mgf"
    if not text:
        return None
    name = path.lower().removesuffix(".gz")
    if name.endswith(".mgf"):
        return "mgf"
    if name.endswith(".mzml") and text.startswith(b"<"):
        return "mzml"
    return None


# ---------------------------------------------------------------------- mzML

_MINUTES = {"minute": 1.0, "min": 1.0, "second": 1.0 / 60.0, "s": 1.0 / 60.0, "sec": 1.0 / 60.0}


def _opt_float(value) -> Optional[float]:
    return None if value is None or value == "" else float(value)


def _make_spectrum(native_id, file_id, rt_minutes, mz, charge, precursor_intensity, lower, upper, mobility,
                   mz_array, intensity_array, settings: PeakSettings) -> Spectrum:
    if mz is None:
        raise ValueError("MS2 spectrum without a precursor m/z")
    if len(mz_array) != len(intensity_array):
        raise ValueError(f"m/z array ({len(mz_array)} values) and intensity array "
                         f"({len(intensity_array)} values) differ in length")
    mass, intensity, tic = prepare_peaks(mz_array, intensity_array, settings)
    charge = int(float(charge)) if charge not in (None, "") else None
    return Spectrum(
        id=str(native_id),
        file_id=file_id,
        scan_start_time=rt_minutes,
        precursor_mz=float(mz),
        charge=charge if charge else None,
        precursor_intensity=_opt_float(precursor_intensity),
        isolation_window=(float(lower), float(upper)) if lower not in (None, "") and upper not in (None, "") else None,
        inverse_ion_mobility=_opt_float(mobility),
        mass=mass,
        intensity=intensity,
        total_ion_current=tic,
    )


def _fast_spectrum(raw, file_id: int, settings: PeakSettings) -> Optional[Spectrum]:
    """Build a Spectrum from the lxml reader's record; None unless it is an MS2 scan with a precursor."""
    from . import mzml as m

    level = raw.level if raw.level is not None else (2 if raw.has_precursor else 1)
    if level != 2 or not raw.has_precursor:
        return None
    p = raw.params
    value = lambda accession: p.get(accession, (None, None))[0]  # noqa: E731
    mz = value(m.SELECTED_MZ) or value(m.TARGET_MZ)
    charge = value(m.CHARGE)
    if charge is None and m.POSSIBLE_CHARGE in p and list(p).count(m.POSSIBLE_CHARGE) == 1:
        charge = value(m.POSSIBLE_CHARGE)
    rt, unit = p.get(m.SCAN_START_TIME, (None, None))
    rt_minutes = float(rt) * (1.0 if unit == m.MINUTE else 1.0 / 60.0) if rt not in (None, "") else 0.0
    return _make_spectrum(raw.id, file_id, rt_minutes, mz, charge, value(m.PEAK_INTENSITY), value(m.LOWER_OFFSET),
                          value(m.UPPER_OFFSET), value(m.ION_MOBILITY), raw.mz, raw.intensity, settings)


def _pyteomics_spectrum(raw: dict, file_id: int, settings: PeakSettings) -> Optional[Spectrum]:
    """Build a Spectrum from a pyteomics record; None unless it is an MS2 scan with a precursor."""
    precursors = raw.get("precursorList", {}).get("precursor", [])
    level = raw.get("ms level", 2 if precursors else 1)
    if int(level) != 2 or not precursors:
        return None
    precursor = precursors[0]
    ions = precursor.get("selectedIonList", {}).get("selectedIon", [])
    ion = ions[0] if ions else {}
    window = precursor.get("isolationWindow", {})
    scans = raw.get("scanList", {}).get("scan", [{}]) or [{}]
    rt = scans[0].get("scan start time")
    rt_minutes = float(rt) * _MINUTES.get(str(getattr(rt, "unit_info", "minute")).lower(), 1.0) if rt is not None else 0.0
    mz = ion.get("selected ion m/z", window.get("isolation window target m/z"))
    mobility = ion.get("inverse reduced ion mobility", scans[0].get("inverse reduced ion mobility"))
    mz_array, intensity_array = raw.get("m/z array"), raw.get("intensity array")
    if mz_array is None or intensity_array is None:
        raise ValueError("missing m/z or intensity array")
    return _make_spectrum(raw.get("id", raw.get("index", "")), file_id, rt_minutes, mz, ion.get("charge state"),
                          ion.get("peak intensity"), window.get("isolation window lower offset"),
                          window.get("isolation window upper offset"), mobility, mz_array, intensity_array, settings)


@functools.lru_cache(maxsize=1)
def _psi_ms_vocabulary():
    """The PSI-MS vocabulary from the copy bundled with psims.

    pyteomics would otherwise try to download it for every reader, which on a
    machine without network access blocks until the connection times out.
    """
    from psims.controlled_vocabulary.controlled_vocabulary import OBOCache

    return OBOCache(enabled=False, use_remote=False).load("http://purl.obolibrary.org/obo/ms/psi-ms.obo")


def _read_mzml(source: _Source, file_id: int, settings: PeakSettings) -> list[Spectrum]:
    """The lxml reader first; pyteomics for encodings it does not decode."""
    from .mzml import UnsupportedEncoding, iter_mzml

    try:
        return _parse_mzml(source, iter_mzml, _fast_spectrum, file_id, settings)
    except UnsupportedEncoding:
        source.stream.seek(0)
    # Imported only here: pyteomics and its vocabulary cost about a second to load.
    from pyteomics import mzml
    from pyteomics.auxiliary import PyteomicsError

    def pyteomics_records(stream):
        return mzml.MzML(stream, use_index=False, read_schema=False, decode_binary=True, huge_tree=True,
                         cv=_psi_ms_vocabulary())

    return _parse_mzml(source, pyteomics_records, _pyteomics_spectrum, file_id, settings, (PyteomicsError,))


def _parse_mzml(source: _Source, records, convert, file_id: int, settings: PeakSettings,
                reader_errors: tuple = ()) -> list[Spectrum]:
    from lxml import etree

    from .mzml import BadSpectrum, UnsupportedEncoding

    spectra, last = [], None
    try:
        for raw in records(source.stream):
            current = raw.id if hasattr(raw, "id") else raw.get("id", raw.get("index"))
            try:
                spectrum = convert(raw, file_id, settings)
            except (ValueError, TypeError, KeyError) as exc:
                raise SpectrumFileError(f"{source.path}: spectrum {current!r}: {exc}") from exc
            last = current
            if spectrum is not None:
                spectra.append(spectrum)
    except (SpectrumFileError, UnsupportedEncoding):
        raise
    except BadSpectrum as exc:
        raise SpectrumFileError(f"{source.path}: spectrum {exc.spectrum_id!r}: {exc}") from exc
    except (etree.XMLSyntaxError, EOFError, OSError, zlib.error, binascii.Error, ValueError, KeyError,
            TypeError, AttributeError, *reader_errors) as exc:
        where = f"after spectrum {last!r}" if last is not None else "before the first spectrum"
        reason = getattr(exc, "message", None) or str(exc) or type(exc).__name__
        truncated = isinstance(exc, (EOFError, etree.XMLSyntaxError, zlib.error, binascii.Error))
        kind = "truncated or corrupt" if truncated else "unreadable"
        raise SpectrumFileError(f"{source.path}: {kind} mzML {where}: {reason}") from exc
    return spectra


# ----------------------------------------------------------------------- MGF

_CHARGE_RE = re.compile(r"(\d+)\s*([+-]?)")


def _mgf_charge(text: str) -> Optional[int]:
    found = _CHARGE_RE.findall(text)
    if len(found) != 1:
        return None  # several candidate charges: search the configured range
    value, sign = found[0]
    return None if sign == "-" or int(value) == 0 else int(value)


def _read_mgf(source: _Source, file_id: int, settings: PeakSettings) -> list[Spectrum]:
    return list(_iter_mgf(source, file_id, settings))


def _iter_mgf(source: _Source, file_id: int, settings: PeakSettings) -> Iterator[Spectrum]:
    path = source.path
    text = io.TextIOWrapper(source.stream, encoding="utf-8", errors="replace")
    defaults: dict[str, str] = {}
    params: Optional[dict[str, str]] = None
    peaks: list[str] = []
    begin_line = 0
    index = -1
    line_no = 0
    try:
        for line_no, line in enumerate(text, 1):
            line = line.strip()
            if not line or line[0] in "#;!/":
                continue
            upper = line.upper()
            if upper == "BEGIN IONS":
                if params is not None:
                    raise SpectrumFileError(f"{path}: line {line_no}: BEGIN IONS inside the spectrum opened at line {begin_line} (missing END IONS)")
                params, peaks, begin_line = dict(defaults), [], line_no
                index += 1
            elif upper == "END IONS":
                if params is None:
                    raise SpectrumFileError(f"{path}: line {line_no}: END IONS without BEGIN IONS")
                yield _mgf_spectrum(path, params, peaks, begin_line, index, file_id, settings)
                params = None
            elif "=" in line and not line[0].isdigit():
                key, value = line.split("=", 1)
                (defaults if params is None else params)[key.strip().upper()] = value.strip()
            elif params is None:
                raise SpectrumFileError(f"{path}: line {line_no}: unexpected text outside a spectrum: {line[:60]!r}")
            else:
                peaks.append(line)
    except (OSError, EOFError, zlib.error) as exc:
        raise SpectrumFileError(f"{path}: truncated or corrupt file near line {line_no}: {exc}") from exc
    if params is not None:
        title = params.get("TITLE", f"index={index}")
        raise SpectrumFileError(f"{path}: truncated: spectrum {title!r} opened at line {begin_line} has no END IONS")


def _mgf_spectrum(path, params, peak_lines, begin_line, index, file_id, settings) -> Spectrum:
    title = params.get("TITLE", f"index={index}")
    where = f"{path}: spectrum {title!r} (line {begin_line})"
    pepmass = params.get("PEPMASS", "").replace(",", " ").split()
    try:
        precursor_mz = float(pepmass[0])
        precursor_intensity = float(pepmass[1]) if len(pepmass) > 1 else None
    except (IndexError, ValueError):
        raise SpectrumFileError(f"{where}: missing or invalid PEPMASS {params.get('PEPMASS')!r}") from None
    try:
        table = np.array([line.split()[:2] for line in peak_lines], dtype=np.float64).reshape(-1, 2)
    except ValueError:
        for offset, line in enumerate(peak_lines):
            fields = line.split()
            try:
                if len(fields) < 2:
                    raise ValueError
                float(fields[0]), float(fields[1])
            except ValueError:
                raise SpectrumFileError(f"{where}: invalid peak line {line[:60]!r}") from None
        raise
    rt = params.get("RTINSECONDS")
    mobility = params.get("ION_MOBILITY") or params.get("INVERSE_ION_MOBILITY")
    try:
        rt_minutes = float(rt.split()[0].split("-")[0]) / 60.0 if rt else 0.0
        mobility_value = float(mobility) if mobility else None
    except ValueError:
        raise SpectrumFileError(f"{where}: invalid RTINSECONDS or ION_MOBILITY") from None
    mass, intensity, tic = prepare_peaks(table[:, 0], table[:, 1], settings)
    return Spectrum(
        id=title,
        file_id=file_id,
        scan_start_time=rt_minutes,
        precursor_mz=precursor_mz,
        charge=_mgf_charge(params.get("CHARGE", "")),
        precursor_intensity=precursor_intensity,
        isolation_window=None,
        inverse_ion_mobility=mobility_value,
        mass=mass,
        intensity=intensity,
        total_ion_current=tic,
    )


# -------------------------------------------------------------------- public

def read_spectra(path: str | os.PathLike, file_id: int = 0, settings: PeakSettings | None = None) -> list[Spectrum]:
    """Read and prepare every MS2 spectrum of an mzML or MGF file (optionally gzipped).

    MS1 scans are skipped. Raises SpectrumFileError, naming the file and the
    spectrum where known, when the file cannot be opened, is corrupt or
    truncated, or holds no MS2 spectrum at all.
    """
    path = os.fspath(path)
    settings = settings or PeakSettings()
    source = _Source(path)
    try:
        reader = _read_mzml if source.format == "mzml" else _read_mgf
        spectra = reader(source, file_id, settings)
    finally:
        source.close()
    if not spectra:
        raise SpectrumFileError(f"{path}: no MS2 spectra to search (the file holds only MS1 scans, or none)")
    return spectra
