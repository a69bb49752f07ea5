"""Reading MS2 spectra from mzML and MGF files, and preparing their peaks.

Files (plain or gzip-compressed, recognised by their content) are parsed by
the native reader of `vornik_tamrel._native` in batches: the peaks arrive
already prepared, as arrays, so no Python object is built per peak and
memory stays bounded by the batch, whatever the file size. mzML arrays in an
encoding the native reader does not decode (MS-Numpress) send the file to
pyteomics, which decodes them all but costs several times more per spectrum.

Every failure of ordinary bad input becomes a SpectrumFileError naming the
file and, where known, the spectrum.
"""
from __future__ import annotations

import dataclasses
import functools
import os
import threading
import warnings
from collections import deque
from dataclasses import dataclass
from typing import Iterator, Optional

import numpy as np

from . import _native
from .errors import InputWarning, SpectrumFileError
from .masses import PROTON

# The engine holds precursor m/z in 32 bits and charges in 8: beyond these they
# overflow (an infinite precursor would match every peptide).
MAX_FLOAT32 = MAX_PRECURSOR_MZ = float(np.finfo(np.float32).max)
MAX_CHARGE = 255

#: Spectra per batch when a file is read in batches.
BATCH_SIZE = 2000

# Bits of SpectrumBatch.present: which optional values a spectrum carries.
_HAS_PRECURSOR_INTENSITY, _HAS_ISOLATION_WINDOW, _HAS_ION_MOBILITY, _PROFILE = 1, 2, 4, 8


@dataclass(frozen=True)
class PeakSettings:
    """Which peaks of a spectrum are handed to the scorer."""

    max_peaks: int = 150
    min_mz: float = 150.0
    max_mz: float = 4000.0

    def __post_init__(self) -> None:
        if not 1 <= self.max_peaks <= 0xFFFFFFFF:  # a 32-bit count in the reader
            raise ValueError(f"the number of peaks to keep must lie between 1 and 4294967295, not {self.max_peaks}")
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


@dataclass
class SpectrumBatch:
    """Consecutive spectra of one file as columns, one row per spectrum.

    The peaks of row i are `mass[peak_offsets[i]:peak_offsets[i + 1]]` (and
    the same slice of `intensity`). `charge` is 0 where the file gives none;
    optional values are 0 where `present` lacks their bit.
    """

    file_id: int
    ids: list[str]
    scan_start_time: np.ndarray  # float64, minutes
    precursor_mz: np.ndarray  # float64
    charge: np.ndarray  # int64
    precursor_intensity: np.ndarray  # float64
    window_lower: np.ndarray  # float64, isolation window offsets in m/z
    window_upper: np.ndarray
    ion_mobility: np.ndarray  # float64
    present: np.ndarray  # uint8 bits: precursor intensity 1, isolation window 2, ion mobility 4, profile mode 8
    total_ion_current: np.ndarray  # float32
    peak_offsets: np.ndarray  # int64, len(ids) + 1
    mass: np.ndarray  # float32
    intensity: np.ndarray  # float32

    def __len__(self) -> int:
        return len(self.ids)

    @classmethod
    def from_buffers(cls, file_id: int, columns: dict) -> "SpectrumBatch":
        types = {"scan_start_time": np.float64, "precursor_mz": np.float64, "charge": np.int64,
                 "precursor_intensity": np.float64, "window_lower": np.float64, "window_upper": np.float64,
                 "ion_mobility": np.float64, "present": np.uint8, "total_ion_current": np.float32,
                 "peak_offsets": np.int64, "mass": np.float32, "intensity": np.float32}
        arrays = {name: np.frombuffer(columns[name], dtype) for name, dtype in types.items()}
        return cls(file_id=file_id, ids=columns["ids"], **arrays)

    @classmethod
    def from_spectra(cls, spectra: list[Spectrum], file_id: int) -> "SpectrumBatch":
        def column(get, dtype):
            return np.fromiter((get(s) for s in spectra), dtype, len(spectra))

        present = column(lambda s: (_HAS_PRECURSOR_INTENSITY * (s.precursor_intensity is not None)
                                    | _HAS_ISOLATION_WINDOW * (s.isolation_window is not None)
                                    | _HAS_ION_MOBILITY * (s.inverse_ion_mobility is not None)), np.uint8)
        lengths = column(lambda s: len(s.mass), np.int64)
        return cls(
            file_id=file_id, ids=[s.id for s in spectra],
            scan_start_time=column(lambda s: s.scan_start_time, np.float64),
            precursor_mz=column(lambda s: s.precursor_mz, np.float64),
            charge=column(lambda s: s.charge or 0, np.int64),
            precursor_intensity=column(lambda s: s.precursor_intensity or 0.0, np.float64),
            window_lower=column(lambda s: (s.isolation_window or (0.0, 0.0))[0], np.float64),
            window_upper=column(lambda s: (s.isolation_window or (0.0, 0.0))[1], np.float64),
            ion_mobility=column(lambda s: s.inverse_ion_mobility or 0.0, np.float64),
            present=present,
            total_ion_current=column(lambda s: s.total_ion_current, np.float32),
            peak_offsets=np.concatenate(([0], np.cumsum(lengths))).astype(np.int64),
            mass=np.concatenate([s.mass for s in spectra] or [np.empty(0, np.float32)]),
            intensity=np.concatenate([s.intensity for s in spectra] or [np.empty(0, np.float32)]),
        )

    def rows(self, keep: np.ndarray) -> "SpectrumBatch":
        """The batch with only the rows where `keep` is true."""
        lengths = np.diff(self.peak_offsets)
        peaks = np.repeat(keep, lengths)
        per_row = {f.name: getattr(self, f.name)[keep] for f in dataclasses.fields(self)
                   if f.name not in ("file_id", "ids", "peak_offsets", "mass", "intensity")}
        return dataclasses.replace(
            self, ids=[i for i, k in zip(self.ids, keep.tolist()) if k], **per_row,
            peak_offsets=np.concatenate(([0], np.cumsum(lengths[keep]))).astype(np.int64),
            mass=self.mass[peaks], intensity=self.intensity[peaks])

    def spectra(self) -> list[Spectrum]:
        """The rows as Spectrum records (their peak arrays are views into the batch)."""
        offsets = self.peak_offsets.tolist()
        present = self.present.tolist()
        charge = self.charge.tolist()
        intensity, lower, upper, mobility = (self.precursor_intensity.tolist(), self.window_lower.tolist(),
                                             self.window_upper.tolist(), self.ion_mobility.tolist())
        return [
            Spectrum(
                id=spectrum_id, file_id=self.file_id, scan_start_time=rt, precursor_mz=mz,
                charge=charge[i] or None,
                precursor_intensity=intensity[i] if present[i] & _HAS_PRECURSOR_INTENSITY else None,
                isolation_window=(lower[i], upper[i]) if present[i] & _HAS_ISOLATION_WINDOW else None,
                inverse_ion_mobility=mobility[i] if present[i] & _HAS_ION_MOBILITY else None,
                mass=self.mass[offsets[i]:offsets[i + 1]], intensity=self.intensity[offsets[i]:offsets[i + 1]],
                total_ion_current=tic,
            )
            for i, (spectrum_id, rt, mz, tic) in enumerate(zip(
                self.ids, self.scan_start_time.tolist(), self.precursor_mz.tolist(),
                self.total_ion_current.tolist()))
        ]


def prepare_peaks(mz, intensity, settings: PeakSettings) -> tuple[np.ndarray, np.ndarray, float]:
    """Keep the `max_peaks` most intense peaks inside the m/z range, as scorer masses.

    Peaks with an m/z that is not finite in 32 bits or an intensity that is not
    positive and finite in 32 bits are dropped first. Among equally intense peaks at the cut, the lower m/z wins.
    Returns (mass, intensity, total_ion_current), mass ascending. The native
    reader applies the same rule to the files it parses.
    """
    mz = np.asarray(mz, dtype=np.float64).reshape(-1)
    intensity = np.asarray(intensity, dtype=np.float64).reshape(-1)
    with np.errstate(over="ignore", under="ignore"):
        keep = ((mz >= settings.min_mz) & (mz <= settings.max_mz) & (mz <= MAX_FLOAT32) & (intensity <= MAX_FLOAT32)
                & (intensity.astype(np.float32) > 0))
    mz, intensity = mz[keep], intensity[keep]
    if len(mz) > settings.max_peaks:
        order = np.lexsort((mz, -intensity))[: settings.max_peaks]
        mz, intensity = mz[order], intensity[order]
    order = np.argsort(mz, kind="stable")
    mass = np.ascontiguousarray((mz[order] - PROTON).astype(np.float32))
    inten = np.ascontiguousarray(intensity[order].astype(np.float32))
    return mass, inten, float(np.float32(inten.sum(dtype=np.float64)))


# --------------------------------------------------- mzML through pyteomics

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
    charge = _charge_number(charge) if charge not in (None, "") else None
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


def _charge_number(text) -> int:
    value = float(text)
    if not value.is_integer():
        raise ValueError(f"invalid charge {text!r}")
    return int(value)


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


def _read_with_pyteomics(path: str, file_id: int, settings: PeakSettings) -> list[Spectrum]:
    """Every MS2 spectrum of an mzML file, through pyteomics (imported only here: about a second to load)."""
    import binascii
    import gzip
    import zlib

    from lxml import etree
    from pyteomics import mzml
    from pyteomics.auxiliary import PyteomicsError

    spectra, last = [], None
    try:
        with open(path, "rb") as raw_file:
            stream = gzip.GzipFile(fileobj=raw_file) if raw_file.peek(2)[:2] == b"\x1f\x8b" else raw_file
            records = mzml.MzML(stream, use_index=False, read_schema=False, decode_binary=True, huge_tree=True,
                                cv=_psi_ms_vocabulary())
            for raw in records:
                current = raw.get("id", raw.get("index"))
                try:
                    spectrum = _pyteomics_spectrum(raw, file_id, settings)
                except (ValueError, TypeError, KeyError) as exc:
                    raise SpectrumFileError(f"{path}: spectrum {current!r}: {exc}") from exc
                last = current
                if spectrum is not None:
                    spectra.append(spectrum)
    except SpectrumFileError:
        raise
    except (etree.XMLSyntaxError, EOFError, OSError, zlib.error, binascii.Error, ValueError, KeyError,
            TypeError, AttributeError, PyteomicsError) as exc:
        where = f"after spectrum {last!r}" if last is not None else "before the first spectrum"
        reason = getattr(exc, "message", None) or str(exc) or type(exc).__name__
        truncated = isinstance(exc, (EOFError, etree.XMLSyntaxError, zlib.error, binascii.Error))
        kind = "truncated or corrupt" if truncated else "unreadable"
        raise SpectrumFileError(f"{path}: {kind} mzML {where}: {reason}") from exc
    if not spectra:
        raise SpectrumFileError(f"{path}: no MS2 spectra to search (the file holds only MS1 scans, or none)")
    return spectra


# ------------------------------------------------------------ checked rows

def _precursor_problems(batch: SpectrumBatch) -> np.ndarray:
    """Per row: whether the precursor m/z is not a positive 32-bit number, or the charge not 0 (none) to 255."""
    mz = batch.precursor_mz
    return ~((mz > 0) & (mz <= MAX_PRECURSOR_MZ)) | (batch.charge < 0) | (batch.charge > MAX_CHARGE)


def _problem(batch: SpectrumBatch, row: int) -> str:
    mz, charge = float(batch.precursor_mz[row]), int(batch.charge[row])
    if not 0 < mz <= MAX_PRECURSOR_MZ:
        return f"spectrum {batch.ids[row]!r}: precursor m/z {mz!r} is not a positive finite 32-bit number"
    return f"spectrum {batch.ids[row]!r}: charge {charge} is out of range (1 to {MAX_CHARGE})"


def _check_values(path: str, batch: SpectrumBatch) -> None:
    """Refuses a batch holding a retention time, ion mobility, isolation window offset or sum of peak intensities
    that is not a finite 32-bit number (as the engine holds them): the retention-time model, the mobility fit and
    the scores would turn them into NaN for all rows, and a window of no width holds no peptide."""
    mobility = np.where(batch.present & _HAS_ION_MOBILITY, batch.ion_mobility, 0.0)
    window = batch.present & _HAS_ISOLATION_WINDOW != 0
    for values, what in ((batch.scan_start_time, "retention time"), (mobility, "ion mobility"),
                         (np.where(window, batch.window_lower, 0.0), "isolation window offset"),
                         (np.where(window, batch.window_upper, 0.0), "isolation window offset"),
                         (batch.total_ion_current, "sum of the peak intensities")):
        bad = ~(np.abs(values) <= MAX_FLOAT32)
        if bad.any():
            row = int(np.argmax(bad))
            raise SpectrumFileError(f"{path}: spectrum {batch.ids[row]!r}: {what} {float(values[row])!r} is not a "
                                    "finite 32-bit number")


class _Checks:
    """What `iter_batches` verifies across the batches of one file: usable precursors, distinct titles."""

    def __init__(self, path: str, skip_bad_precursors: bool):
        self.path, self.skip = path, skip_bad_precursors
        self.seen: set[str] = set()
        self.renamed: list[str] = []
        self.rows = self.skipped = self.profile = 0
        self.first_skipped: Optional[str] = None

    def batch(self, batch: SpectrumBatch) -> SpectrumBatch:
        _check_values(self.path, batch)
        self.rows += len(batch)
        self.profile += int(np.count_nonzero(batch.present & _PROFILE))
        bad = _precursor_problems(batch)
        self.kept = ~bad  # of the batch's rows, those handed on
        if bad.any():
            first = _problem(batch, int(np.argmax(bad)))
            if not self.skip:
                raise SpectrumFileError(f"{self.path}: {first}")
            self.first_skipped = self.first_skipped or first
            self.skipped += int(bad.sum())
            batch = batch.rows(~bad)
        for row, spectrum_id in enumerate(batch.ids):
            if spectrum_id in self.seen:  # a suffix tells the results of the two spectra apart
                k = 2
                while f"{spectrum_id} #{k}" in self.seen:
                    k += 1
                spectrum_id = batch.ids[row] = f"{spectrum_id} #{k}"
                self.renamed.append(spectrum_id)
            self.seen.add(spectrum_id)
        return batch

    def warn(self) -> None:
        if self.skipped:
            warnings.warn(f"{self.path}: skipped {self.skipped} of {self.rows} spectra with an unusable precursor "
                          f"(first: {self.first_skipped})", InputWarning, stacklevel=3)
        if self.profile:
            warnings.warn(f"{self.path}: {self.profile} of {self.rows} MS2 spectra are in profile mode; their peaks "
                          "are searched as centroids, which they are not: centroid them first", InputWarning,
                          stacklevel=3)
        if self.renamed:
            warnings.warn(f"{self.path}: {len(self.renamed)} spectra repeat an earlier spectrum's title; they are "
                          f"named with a suffix, such as {self.renamed[0]!r}", InputWarning, stacklevel=3)


# -------------------------------------------------------------------- public

def iter_batches(path: str | os.PathLike, file_id: int = 0, settings: PeakSettings | None = None,
                 batch_size: int = BATCH_SIZE, skip_bad_precursors: bool = False,
                 ahead: Optional["ReadAhead"] = None) -> Iterator[SpectrumBatch]:
    """Read and prepare the MS2 spectra of an mzML or MGF file (optionally gzipped), in batches, in file order.

    MS1 scans are skipped. Raises SpectrumFileError, naming the file and the
    spectrum where known, when the file cannot be opened, is corrupt or
    truncated, or holds no MS2 spectrum at all, or when a spectrum's precursor
    m/z is not a positive finite 32-bit number or its charge is above 255;
    batches before the fault have been handed out by then. With
    `skip_bad_precursors`, such spectra are left out instead, counted in one
    InputWarning at the end of the file. A retention time, ion mobility,
    isolation window offset or sum of intensities that is not finite is
    refused either way. A title used again in the file gets
    a suffix (`'title #2'`), with one InputWarning. With `ahead`, the batches
    are the next file's of those it reads (its settings and batch size hold).
    """
    path = os.fspath(path)
    checks = _Checks(path, skip_bad_precursors)
    raw = ahead.next_file() if ahead else _batches(path, file_id, settings or PeakSettings(), batch_size)
    yield from map(checks.batch, raw)
    checks.warn()


#: How much of the spectra (their arrays and titles) `ReadAhead` holds before their use.
READ_AHEAD_BYTES = 64 << 20


class ReadAhead:
    """The batches of `files`, in order, read on a thread of their own while the caller does other work
    (the search digests its proteins and builds its index meanwhile, where a core is often idle), at most
    `limit` bytes of them ahead of their use, so that memory stays bounded whatever the files hold.

    A file's faults are raised where its batches are taken, in order, as reading it then would; warnings
    (see `iter_batches`) are given by the taker. `close` stops the thread and waits for it.
    """

    _END = object()

    def __init__(self, files: list, settings: PeakSettings, batch_size: int, limit: int = READ_AHEAD_BYTES):
        self._files = [os.fspath(path) for path in files]
        self._settings, self._batch_size, self._limit = settings, batch_size, limit
        self._ready: deque = deque()  # (batch, bytes); a batch may also be _END or an exception
        self._held = 0
        self._closed = False
        self._changed = threading.Condition()
        self._thread = threading.Thread(target=self._read, name="read ahead", daemon=True)
        self._thread.start()

    def _read(self) -> None:
        try:
            for file_id, path in enumerate(self._files):
                for batch in _batches(path, file_id, self._settings, self._batch_size):
                    size = batch.mass.nbytes * 2 + 100 * len(batch)
                    with self._changed:
                        self._changed.wait_for(lambda: self._closed or self._held < self._limit)
                        if self._closed:
                            return
                        self._put(batch, size)
                with self._changed:
                    self._put(self._END, 0)
        except BaseException as exc:  # raised where the taker reaches it
            with self._changed:
                self._put(exc, 0)

    def _put(self, item, size: int) -> None:
        self._ready.append((item, size))
        self._held += size
        self._changed.notify_all()

    def next_file(self) -> Iterator[SpectrumBatch]:
        """The batches of the next file, in the order the files were given."""
        while True:
            with self._changed:
                self._changed.wait_for(lambda: self._ready)
                if isinstance(self._ready[0][0], BaseException):
                    raise self._ready[0][0]  # and stays, should anything ask again
                item, size = self._ready.popleft()
                self._held -= size
                self._changed.notify_all()
            if item is self._END:
                return
            yield item

    def close(self) -> None:
        """Stops the reading and waits for the thread (at most one batch's reading): left running, it could be
        inside the native reader when the interpreter ends, which aborts the process."""
        with self._changed:
            self._closed = True
            self._ready.clear()
            self._changed.notify_all()
        if self._thread is not threading.current_thread():
            self._thread.join()


def _batches(path: str, file_id: int, settings: PeakSettings, batch_size: int) -> Iterator[SpectrumBatch]:
    done = 0
    try:
        reader = _native.open_spectra(path, settings.max_peaks, settings.min_mz, settings.max_mz)
        while (columns := _native.read_spectra(reader, batch_size)) is not None:
            batch = SpectrumBatch.from_buffers(file_id, columns)
            done += len(batch)
            yield batch
        return
    except _native.InputError as exc:
        raise SpectrumFileError(str(exc)) from None
    except _native.UnsupportedEncoding:
        pass  # e.g. MS-Numpress arrays: pyteomics decodes them
    rest = _read_with_pyteomics(path, file_id, settings)[done:]
    for start in range(0, len(rest), batch_size):
        yield SpectrumBatch.from_spectra(rest[start:start + batch_size], file_id)


def read_slice(path: str | os.PathLike, part: int, parts: int, file_id: int = 0,
               settings: PeakSettings | None = None, skip_bad_precursors: bool = False) -> list[Spectrum]:
    """Slice `part` of `parts` (contiguous, in file order) of what `read_spectra` returns, with its warnings.

    In an MGF file only the slice's peaks are parsed: the spectra before and around it are read for their
    fields alone, which counts and names them as a whole read does at a tenth of its cost (a fault in their
    peaks is for their own slice to report). An mzML file's markup costs as much to scan as its arrays do
    to decode, so it is read whole and cut.
    """
    path = os.fspath(path)
    settings = settings or PeakSettings()
    checks = _Checks(path, skip_bad_precursors)
    names: list[str] = []  # of the spectra handed on, renamed where repeated
    rows: list[np.ndarray] = []  # their rows among the file's MS2 spectra
    read = 0
    try:
        reader = _native.open_spectra(path, settings.max_peaks, settings.min_mz, settings.max_mz)
        size = 1  # the first spectrum alone tells the format
        while (columns := _native.read_spectra(reader, size, False)) is not None:
            if columns["format"] != "mgf":
                raise _native.UnsupportedEncoding(columns["format"])
            size = BATCH_SIZE
            batch = SpectrumBatch.from_buffers(file_id, columns)
            names.extend(checks.batch(batch).ids)
            rows.append(read + np.flatnonzero(checks.kept))
            read += len(batch)
    except _native.InputError as exc:
        raise SpectrumFileError(str(exc)) from None
    except _native.UnsupportedEncoding:  # mzML, or arrays only pyteomics decodes
        spectra = read_spectra(path, file_id, settings, skip_bad_precursors)
        return spectra[part * len(spectra) // parts:(part + 1) * len(spectra) // parts]
    checks.warn()
    kept = np.concatenate(rows)
    lo, hi = part * len(kept) // parts, (part + 1) * len(kept) // parts
    if lo == hi:
        return []
    first, last = int(kept[lo]), int(kept[hi - 1]) + 1
    wanted = np.zeros(last - first, dtype=bool)
    wanted[kept[lo:hi] - first] = True
    spectra: list[Spectrum] = []
    try:
        reader = _native.open_spectra(path, settings.max_peaks, settings.min_mz, settings.max_mz)
        for peaks, count in ((False, first), (True, last - first)):
            while count > 0:
                columns = _native.read_spectra(reader, min(BATCH_SIZE, count), peaks)
                if columns is None:
                    raise SpectrumFileError(f"{path}: the file changed while it was read")
                count -= len(columns["ids"])
                if peaks:
                    batch = SpectrumBatch.from_buffers(file_id, columns)
                    taken = batch.rows(wanted[:len(batch)])
                    wanted = wanted[len(batch):]
                    taken.ids = names[lo + len(spectra):lo + len(spectra) + len(taken)]
                    _check_values(path, taken)  # the sums of intensities, which the count above left out
                    spectra.extend(taken.spectra())
    except _native.InputError as exc:
        raise SpectrumFileError(str(exc)) from None
    return spectra


def read_spectra(path: str | os.PathLike, file_id: int = 0, settings: PeakSettings | None = None,
                 skip_bad_precursors: bool = False) -> list[Spectrum]:
    """Read and prepare every MS2 spectrum of an mzML or MGF file (optionally gzipped).

    Raises and warns as `iter_batches` does.
    """
    batches = iter_batches(path, file_id, settings, skip_bad_precursors=skip_bad_precursors)
    return [spectrum for batch in batches for spectrum in batch.spectra()]
