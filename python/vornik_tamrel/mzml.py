"""A streaming mzML reader for the common encodings, built directly on lxml.

Spectra are parsed one `<spectrum>` element at a time and freed at once, so
memory stays flat whatever the file size. Only what a search needs is
extracted: the MS level, the first precursor's parameters, the scan's start
time and ion mobility, and the m/z and intensity arrays (base64, optionally
zlib-compressed, 32- or 64-bit floats). Arrays in any other encoding (for
example MS-Numpress) raise `UnsupportedEncoding`, and the caller falls back to
pyteomics, which decodes them all but costs several times more per spectrum.
"""
from __future__ import annotations

import base64
import zlib
from dataclasses import dataclass
from typing import Iterator, Optional

import numpy as np

NS = "{http://psi.hupo.org/ms/mzml}"

MS_LEVEL = "MS:1000511"
SCAN_START_TIME = "MS:1000016"
SELECTED_MZ = "MS:1000744"
CHARGE = "MS:1000041"
POSSIBLE_CHARGE = "MS:1000633"
PEAK_INTENSITY = "MS:1000042"
TARGET_MZ = "MS:1000827"
LOWER_OFFSET = "MS:1000828"
UPPER_OFFSET = "MS:1000829"
ION_MOBILITY = "MS:1002815"
MINUTE = "UO:0000031"

_MZ_ARRAY, _INTENSITY_ARRAY = "MS:1000514", "MS:1000515"
_DTYPES = {"MS:1000521": "<f4", "MS:1000523": "<f8", "MS:1000519": "<i4", "MS:1000522": "<i8"}
_NO_COMPRESSION, _ZLIB = "MS:1000576", "MS:1000574"


class UnsupportedEncoding(Exception):
    """A binary array uses an encoding this reader does not decode."""


class BadSpectrum(ValueError):
    """One spectrum's content is inconsistent; `spectrum_id` names it."""

    def __init__(self, spectrum_id: str, reason: str):
        super().__init__(reason)
        self.spectrum_id = spectrum_id


@dataclass
class RawSpectrum:
    id: str
    level: Optional[int]
    has_precursor: bool
    params: dict  # accession -> (value text, unit accession); the first occurrence wins
    mz: np.ndarray
    intensity: np.ndarray


_CV, _REF, _BINARY = NS + "cvParam", NS + "referenceableParamGroupRef", NS + "binary"
_ARRAY_LIST, _ARRAY, _PRECURSORS = NS + "binaryDataArrayList", NS + "binaryDataArray", NS + "precursorList"


class _Groups:
    """referenceableParamGroup contents, by id, for `referenceableParamGroupRef` expansion."""

    def __init__(self):
        self.groups: dict[str, list] = {}

    def add(self, element) -> None:
        self.groups[element.get("id")] = [(p.get("accession"), p.get("value"), p.get("unitAccession"))
                                          for p in element.iterchildren(_CV)]

    def params(self, elements) -> Iterator[tuple]:
        """(accession, value, unit) of cvParam elements, group references expanded in place."""
        for child in elements:
            if child.tag == _CV:
                yield child.get("accession"), child.get("value"), child.get("unitAccession")
            else:
                yield from self.groups.get(child.get("ref"), ())


def _decode(array, groups: _Groups, expected: int) -> tuple[Optional[str], np.ndarray]:
    kind, dtype, compression = None, None, _NO_COMPRESSION
    for accession, _, _ in groups.params(array.iterchildren(_CV, _REF)):
        if accession in (_MZ_ARRAY, _INTENSITY_ARRAY):
            kind = accession
        elif accession in _DTYPES:
            dtype = _DTYPES[accession]
        elif accession in (_NO_COMPRESSION, _ZLIB):
            compression = accession
        elif accession.startswith("MS:100231") or accession.startswith("MS:100274"):
            raise UnsupportedEncoding(accession)  # MS-Numpress and its zlib/zstd variants
    if kind is None:
        return None, np.empty(0)
    if dtype is None:
        raise ValueError("binary array without a numeric type")
    binary = array.find(_BINARY)
    text = binary.text if binary is not None and binary.text else ""
    raw = base64.b64decode("".join(text.split()), validate=True)
    if compression == _ZLIB and raw:
        raw = zlib.decompress(raw)
    if len(raw) % np.dtype(dtype).itemsize:
        raise ValueError("binary array length is not a multiple of its element size")
    values = np.frombuffer(raw, dtype=dtype)
    length = array.get("arrayLength")
    if len(values) != (int(length) if length is not None else expected):
        raise ValueError(f"array holds {len(values)} values, the spectrum declares {expected}")
    return kind, values


def _spectrum(element, groups: _Groups) -> RawSpectrum:
    # Every cvParam of the spectrum in document order, the first occurrence of an
    # accession winning (so the first precursor and selected ion count). The
    # arrays' own parameters land here too but use accessions nothing reads.
    params: dict = {}
    for accession, value, unit in groups.params(element.iter(_CV, _REF)):
        params.setdefault(accession, (value, unit))
    level = params.get(MS_LEVEL, (None,))[0]
    expected = int(element.get("defaultArrayLength", "0"))
    arrays: dict[str, np.ndarray] = {}
    array_list = element.find(_ARRAY_LIST)
    if array_list is not None:
        for array in array_list.iterchildren(_ARRAY):
            kind, values = _decode(array, groups, expected)
            if kind is not None:
                arrays.setdefault(kind, values)
    precursors = element.find(_PRECURSORS)
    return RawSpectrum(
        id=element.get("id") or element.get("index", ""),
        level=int(level) if level is not None else None,
        has_precursor=precursors is not None and len(precursors) > 0,
        params=params,
        mz=arrays.get(_MZ_ARRAY, np.empty(0)),
        intensity=arrays.get(_INTENSITY_ARRAY, np.empty(0)),
    )


def iter_mzml(stream) -> Iterator[RawSpectrum]:
    """Yield every spectrum of an mzML stream in file order.

    Raises lxml's XMLSyntaxError for malformed or truncated XML, BadSpectrum
    for a spectrum whose arrays cannot be decoded or disagree with its declared
    length, and UnsupportedEncoding for arrays this reader cannot decode.
    """
    from lxml import etree

    groups = _Groups()
    tags = (NS + "spectrum", NS + "referenceableParamGroup")
    for _, element in etree.iterparse(stream, events=("end",), tag=tags, huge_tree=True):
        if element.tag == tags[1]:
            groups.add(element)
            continue
        try:
            spectrum = _spectrum(element, groups)
        except (ValueError, zlib.error) as exc:  # binascii.Error is a ValueError
            raise BadSpectrum(element.get("id") or element.get("index", "?"), str(exc)) from exc
        yield spectrum
        element.clear()
        parent = element.getparent()
        while element.getprevious() is not None and parent is not None:
            del parent[0]
