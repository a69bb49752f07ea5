"""FASTA reading: (accession, sequence) pairs, plain or gzip-compressed."""
from __future__ import annotations

import codecs
import gzip
import os
import re
import warnings
import zlib
from dataclasses import dataclass
from typing import Iterator

from .errors import FastaError, InputWarning


@dataclass(frozen=True)
class Protein:
    accession: str  # first word of the header, without the '>'
    sequence: str  # upper case, whitespace and a trailing stop '*' removed


def _open(path: str, binary: bool = False):
    with open(path, "rb") as probe:
        magic = probe.read(2)
    text = {} if binary else dict(encoding="utf-8-sig", errors="replace")  # without a byte order mark
    if magic == b"\x1f\x8b":
        return gzip.open(path, "rb" if binary else "rt", **text)
    return open(path, "rb" if binary else "rt", **text)


def _parse(path: str) -> Iterator[Protein]:
    accession: str | None = None
    chunks: list[str] = []
    line_no = 0
    with _open(path) as handle:
        for line_no, line in enumerate(handle, 1):
            line = line.strip()
            if not line or line.startswith(";"):
                continue
            if line.startswith(">"):
                if accession is not None:
                    yield _protein(path, accession, chunks)
                words = line[1:].split(maxsplit=1)
                if not words:
                    raise FastaError(f"{path}: line {line_no}: header without an accession")
                accession, chunks = words[0], []
            elif accession is None:
                raise FastaError(f"{path}: line {line_no}: sequence before the first '>' header (is this a FASTA file?)")
            else:
                chunks.append(line)
    if accession is not None:
        yield _protein(path, accession, chunks)


def _parse_plain(data: bytes) -> list[Protein] | None:
    """The proteins of a FASTA file's bytes in the plain layout (a '>' header line, then lines of ASCII letters,
    record after record) by whole-record byte operations; None for anything else (comments, stray whitespace,
    other letters), which `_parse` reads line by line, naming the line or protein at fault."""
    data = data.removeprefix(codecs.BOM_UTF8)
    if b"\r" in data:
        data = data.replace(b"\r\n", b"\n").replace(b"\r", b"\n")  # as a text reader takes it
    if not data.startswith(b">"):
        return None
    from . import _native

    records = _native.fasta_records(data)  # headers of ASCII alone; others are read below
    if records is not None:
        return [Protein(accession, sequence) for accession, sequence in zip(*records)]
    proteins = []
    for record in data[1:].split(b"\n>"):
        header, _, body = record.partition(b"\n")
        words = header.decode("utf-8", "replace").split(maxsplit=1)
        sequence = body.replace(b"\n", b"").replace(b" ", b"").upper().rstrip(b"*")
        if not words or (sequence and not sequence.isalpha()):
            return None
        proteins.append(Protein(words[0], sequence.decode("ascii")))
    return proteins


def _protein(path: str, accession: str, chunks: list[str]) -> Protein:
    sequence = "".join(chunks).replace(" ", "").upper().rstrip("*")
    if sequence and (not sequence.isalpha() or not sequence.isascii()):
        bad = sorted({c for c in sequence if not ("A" <= c <= "Z")})
        raise FastaError(f"{path}: protein {accession}: invalid character(s) {''.join(bad)!r} in the sequence")
    return Protein(accession, sequence)


# ';' joins the proteins of a match in the outputs; XML (mzIdentML) holds no control characters.
_NOT_IN_ACCESSION = re.compile("[;\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff]")


def _check_accessions(path: str, records: list[Protein]) -> None:
    if _NOT_IN_ACCESSION.search(" ".join(p.accession for p in records)) is None:
        return
    accession = next(p.accession for p in records if _NOT_IN_ACCESSION.search(p.accession))
    char = _NOT_IN_ACCESSION.search(accession).group()
    why = ("separates the proteins of a match in the outputs" if char == ";"
           else "is a control character, which mzIdentML cannot hold")
    raise FastaError(f"{path}: protein {accession!r}: the accession holds {char!r}, which {why}")


def read_fasta(path: str | os.PathLike) -> list[Protein]:
    """Read every protein of a FASTA file.

    Raises FastaError naming the file (and the line or protein) when the file
    is missing, corrupt or holds no protein with a sequence, or when an
    accession holds ';' or a control character. Records without
    a sequence are left out, counted in one InputWarning.
    """
    path = os.fspath(path)
    try:
        with _open(path, binary=True) as handle:
            records = _parse_plain(handle.read())
        if records is None:
            records = list(_parse(path))
    except FastaError:
        raise
    except (OSError, EOFError, zlib.error, UnicodeError) as exc:
        raise FastaError(f"{path}: cannot read FASTA: {exc}") from exc
    _check_accessions(path, records)
    empty = [p.accession for p in records if not p.sequence]
    # A protein given twice would be counted twice (in every match's protein list, and in protein inference).
    distinct: dict[str, Protein] = {}
    repeated = []
    for p in records:
        if p.sequence and distinct.setdefault(p.accession, p) is not p:
            if distinct[p.accession].sequence != p.sequence:
                raise FastaError(f"{path}: protein {p.accession} is given twice, with different sequences")
            repeated.append(p.accession)
    proteins = list(distinct.values())
    for what, accessions in (("without a sequence", empty), ("repeating an earlier one", repeated)):
        if accessions and proteins:
            warnings.warn(f"{path}: skipped {len(accessions)} record(s) {what} (first: {accessions[0]})",
                          InputWarning, stacklevel=2)
    if not proteins:
        raise FastaError(f"{path}: no protein sequences found")
    return proteins
