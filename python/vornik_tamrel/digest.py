"""In-silico digestion and modification of proteins into the peptides to search.

The native digester of `vornik_tamrel._native` cleaves the concatenated
proteome, merges duplicate sequences (keeping every protein that contains
them), expands the modified forms and sorts them by mass, the order the
fragment index requires. The result arrives as arrays; the per-peptide lists
of `PeptideSet` are built only when asked for.
"""
from __future__ import annotations

import functools
import sys
import types
from dataclasses import dataclass, field
from typing import Optional, Sequence

import numpy as np

from . import _native
from .fasta import Protein
from .masses import CTERM, NTERM, WATER, ModificationSettings


@dataclass(frozen=True)
class Enzyme:
    """Cleaves next to any of `residues`, unless the residue on the far side is in `unless`."""

    name: str
    residues: str
    unless: str = ""
    after: bool = True  # cleave C-terminal to the residue (False: N-terminal to it)


ENZYMES = {
    e.name: e
    for e in (
        Enzyme("trypsin", "KR", "P"),
        Enzyme("trypsin/p", "KR"),
        Enzyme("lys-c", "K", "P"),
        Enzyme("lys-n", "K", after=False),
        Enzyme("arg-c", "R", "P"),
        Enzyme("asp-n", "D", after=False),
        Enzyme("glu-c", "E", "P"),
        Enzyme("chymotrypsin", "FWYL", "P"),
    )
}


@dataclass(frozen=True)
class DigestSettings:
    enzyme: str = "trypsin"
    missed_cleavages: int = 1
    min_length: int = 7
    max_length: int = 50
    min_mass: float = 500.0
    max_mass: float = 5000.0
    mods: ModificationSettings = field(default_factory=ModificationSettings)

    def __post_init__(self) -> None:
        if self.enzyme not in ENZYMES:
            raise ValueError(f"unknown enzyme {self.enzyme!r}; choose one of {', '.join(ENZYMES)}")
        if self.missed_cleavages < 0:
            raise ValueError("missed cleavages must be 0 or more")
        if not 1 <= self.min_length <= self.max_length:
            raise ValueError(f"peptide length range {self.min_length}..{self.max_length} is empty")
        if not self.min_mass <= self.max_mass:
            raise ValueError(f"peptide mass range {self.min_mass}..{self.max_mass} is empty")


# Odd multipliers that mix a sequence's first and last eight letters into its hash (arithmetic modulo 2**64).
_HASH_MULTIPLIERS = (np.uint64(0x9E3779B97F4A7C15), np.uint64(0xC2B2AE3D27D4EB4F))


def sequence_hashes(residues: np.ndarray, offsets: np.ndarray) -> np.ndarray:
    """A 64-bit hash of each sequence residues[offsets[k]:offsets[k + 1]] (uint8 letters) from its length and
    its first and last eight letters, read as little-endian words: equal sequences hash alike wherever they
    lie, and the rare distinct ones that share length and ends are told apart by their letters."""
    starts, ends = np.asarray(offsets[:-1], dtype=np.int64), np.asarray(offsets[1:], dtype=np.int64)
    lengths = (ends - starts).astype(np.uint64)
    padded = np.concatenate([np.asarray(residues, dtype=np.uint8), np.zeros(8, dtype=np.uint8)])
    words = np.ndarray((len(padded) - 7,), dtype="<u8", buffer=padded, strides=(1,))  # one at every letter
    short = lengths < 8
    keep = np.where(short, (np.uint64(1) << (np.uint64(8) * np.minimum(lengths, np.uint64(7)))) - np.uint64(1),
                    np.uint64(0xFFFFFFFFFFFFFFFF))
    first = words[starts] & keep
    last = np.where(short, np.uint64(0), words[np.maximum(ends - 8, 0)])
    return (first * _HASH_MULTIPLIERS[0]) ^ (last * _HASH_MULTIPLIERS[1]) ^ lengths


class ProteinMap:
    """The distinct peptide sequences and the accessions of the proteins that contain each.

    Looked up by hash: a search asks for the few thousand sequences it
    identified, and a dictionary of every digested sequence would cost more
    than all of those lookups.
    """

    def __init__(self, residues: bytes, sequence_offsets: np.ndarray, offsets: np.ndarray, protein_ids: np.ndarray,
                 accessions: list[str]):
        self._residues = residues  # distinct sequence k is residues[sequence_offsets[k]:sequence_offsets[k + 1]]
        self._sequence_offsets = sequence_offsets
        self._offsets = offsets  # sequence k is in proteins protein_ids[offsets[k]:offsets[k + 1]]
        self._protein_ids = protein_ids
        self._accessions = accessions

    @functools.cached_property
    def sequences(self) -> list[str]:
        """The distinct sequences, numbered k = 0, 1, ... in order of first appearance."""
        text = self._residues.decode("ascii")
        bounds = self._sequence_offsets.tolist()
        return [text[a:b] for a, b in zip(bounds[:-1], bounds[1:])]

    @functools.cached_property
    def _by_hash(self) -> tuple[np.ndarray, np.ndarray]:
        hashes = sequence_hashes(np.frombuffer(self._residues, np.uint8), self._sequence_offsets)
        order = np.argsort(hashes)
        return hashes[order], order

    def numbers(self, sequences: Sequence[str]) -> list[int]:
        """The number k of each of `sequences`, -1 for one that is not in the map."""
        encoded = [s.encode("ascii", "replace") for s in sequences]  # a non-ASCII letter matches nothing
        offsets = np.zeros(len(encoded) + 1, np.int64)
        np.cumsum([len(e) for e in encoded], out=offsets[1:])
        wanted = sequence_hashes(np.frombuffer(b"".join(encoded), np.uint8), offsets)
        hashes, order = self._by_hash
        at = np.searchsorted(hashes, wanted)
        last = max(len(hashes) - 1, 0)
        # the first sequence of an equal hash, or -1: mostly the one asked for (its letters are compared below)
        first = (np.where(hashes[np.minimum(at, last)] == wanted, order[np.minimum(at, last)], -1) if len(hashes)
                 else np.full(len(wanted), -1, np.int64))
        bounds = self._sequence_offsets
        known = np.maximum(first, 0)
        found, starts, ends = first.tolist(), bounds[known].tolist(), bounds[known + 1].tolist()
        residues = self._residues
        for row, (e, k, a, b) in enumerate(zip(encoded, found, starts, ends)):
            if k < 0 or residues[a:b] == e:
                continue
            h, i, k = int(wanted[row]), int(at[row]), -1
            for j in range(i + 1, len(hashes)):  # equal hashes of other sequences: compare their letters
                if int(hashes[j]) != h:
                    break
                candidate = int(order[j])
                if residues[bounds[candidate]:bounds[candidate + 1]] == e:
                    k = candidate
                    break
            found[row] = k
        return found

    def accessions(self, sequences: Sequence[str]) -> list[tuple[str, ...]]:
        """The accessions of each of `sequences`, () for one that is not in the map."""
        numbers = np.asarray(self.numbers(sequences), np.int64)
        known = numbers >= 0
        starts = np.where(known, self._offsets[numbers], 0)
        counts = np.where(known, self._offsets[numbers + 1] - starts, 0)
        ends = np.cumsum(counts).tolist()
        # every sequence's protein numbers end to end, each turned into its accession once
        where = np.repeat(starts - np.r_[0, ends[:-1]].astype(np.int64), counts) + np.arange(ends[-1] if ends else 0)
        names = self._accessions
        flat = [names[i] for i in self._protein_ids[where].tolist()]
        return [tuple(flat[a:b]) for a, b in zip([0] + ends[:-1], ends)]

    def __len__(self) -> int:
        return len(self._offsets) - 1

    def __contains__(self, sequence: object) -> bool:
        return isinstance(sequence, str) and self.numbers([sequence])[0] >= 0

    def __getitem__(self, sequence: str) -> tuple[str, ...]:
        if sequence not in self:
            raise KeyError(sequence)
        return self.accessions([sequence])[0]

    def get(self, sequence: str, default=()):
        return self.accessions([sequence])[0] if sequence in self else default


@dataclass
class PeptideSet:
    """The peptides to search, sorted by ascending mass (ties by sequence).

    Row i is one modified peptide: distinct sequence `sequence_index[i]` (its
    letters are `residues[sequence_offsets[k]:sequence_offsets[k + 1]]`), its
    per-residue modification masses `mod_values[mod_offsets[i]:mod_offsets[i + 1]]`
    (an empty range when all are zero), its terminal masses `nterm_mass`,
    `cterm_mass` (NaN when absent), its 32-bit `masses[i]` and
    `missed_cleavages[i]`. `proteins` maps each distinct sequence to the
    accessions that contain it, in FASTA order. `sequences`, `modifications`,
    `nterm` and `cterm` give the same as one Python list each.
    """

    residues: bytes
    sequence_offsets: np.ndarray  # int64
    sequence_index: np.ndarray  # int64, one per row
    masses: np.ndarray  # float32
    missed_cleavages: np.ndarray  # uint8
    mod_offsets: np.ndarray  # int64, rows + 1
    mod_values: np.ndarray  # float32
    nterm_mass: np.ndarray  # float32, NaN: none
    cterm_mass: np.ndarray  # float32, NaN: none
    proteins: ProteinMap

    def __len__(self) -> int:
        return len(self.masses)

    def slice(self, start: int, stop: int) -> "PeptideSet":
        """Rows [start, stop) (a mass range, as rows are sorted by mass), sharing the sequences and protein map."""
        return PeptideSet(
            residues=self.residues, sequence_offsets=self.sequence_offsets,
            sequence_index=self.sequence_index[start:stop], masses=self.masses[start:stop],
            missed_cleavages=self.missed_cleavages[start:stop], mod_offsets=self.mod_offsets[start:stop + 1],
            mod_values=self.mod_values, nterm_mass=self.nterm_mass[start:stop], cterm_mass=self.cterm_mass[start:stop],
            proteins=self.proteins)

    def row_columns(self) -> dict[str, np.ndarray | bytes]:
        """One row per peptide, end to end: `residues` with their `offsets`, one modification mass per
        residue (0 where none), and the 32-bit masses, terminal masses (NaN where none) and missed cleavages."""
        letters = np.frombuffer(self.residues, np.uint8)
        starts = self.sequence_offsets[self.sequence_index]
        lengths = self.sequence_offsets[self.sequence_index + 1] - starts
        offsets = np.zeros(len(self) + 1, np.int64)
        np.cumsum(lengths, out=offsets[1:])
        # residue j of row i sits at starts[i] + j among the distinct letters
        where = np.repeat(starts - offsets[:-1], lengths) + np.arange(offsets[-1])
        modifications = np.zeros(int(offsets[-1]), np.float32)
        carries = self.mod_offsets[1:] > self.mod_offsets[:-1]
        # rows that carry modifications hold one value per residue, end to end in row order
        modifications[np.repeat(carries, lengths)] = self.mod_values[self.mod_offsets[0]:self.mod_offsets[-1]]
        return dict(residues=letters[where].tobytes(), offsets=offsets, masses=self.masses,
                    modifications=modifications, nterm=self.nterm_mass, cterm=self.cterm_mass,
                    missed_cleavages=self.missed_cleavages)

    def release_rows(self) -> None:
        """Drop every row (the distinct sequences and the protein map stay): a search hands the rows to the
        index, which keeps its own copy of them."""
        self.sequence_index = np.empty(0, np.int64)
        self.masses = self.mod_values = self.nterm_mass = self.cterm_mass = np.empty(0, np.float32)
        self.missed_cleavages = np.empty(0, np.uint8)
        self.mod_offsets = np.zeros(1, np.int64)
        for cached in ("sequences", "modifications", "nterm", "cterm"):
            self.__dict__.pop(cached, None)

    @functools.cached_property
    def sequences(self) -> list[str]:
        distinct = self.proteins.sequences
        return [distinct[k] for k in self.sequence_index.tolist()]

    @functools.cached_property
    def modifications(self) -> list[Optional[list[float]]]:
        values = self.mod_values.tolist()
        bounds = self.mod_offsets.tolist()
        return [values[a:b] if b > a else None for a, b in zip(bounds[:-1], bounds[1:])]

    @functools.cached_property
    def nterm(self) -> list[Optional[float]]:
        return [None if m != m else m for m in self.nterm_mass.tolist()]

    @functools.cached_property
    def cterm(self) -> list[Optional[float]]:
        return [None if m != m else m for m in self.cterm_mass.tolist()]


def available_memory() -> int:
    """Bytes of memory this process may still take: the system's available memory, within what the memory
    limit of its control group leaves (cgroup v2 or v1, as batch schedulers set them); 0 where neither can
    be read."""
    try:
        with open("/proc/meminfo") as handle:
            found = [int(line.split()[1]) * 1024 for line in handle if line.startswith("MemAvailable:")]
    except (OSError, ValueError, IndexError):
        return 0
    available = found[0] if found else 0
    left = cgroup_memory_left()
    if left is not None:
        available = min(available, left) if available else left
    return available


def cgroup_memory_left(proc: str = "/proc/self/cgroup", root: str = "/sys/fs/cgroup") -> Optional[int]:
    """Bytes left under the memory limit of this process's control group (at least 1), None without a limit
    or where it cannot be read. cgroup v1 (a `memory` controller line) reports no limit as a huge number."""
    try:
        with open(proc) as handle:
            lines = [line.rstrip("\n").split(":", 2) for line in handle]
        places = [(f"{root}{group.rstrip('/')}", "memory.max", "memory.current")
                  for number, _, group in lines if number == "0"]
        # v1: the group's own directory, or the mount's root where a container shows the host's path
        places += [(f"{root}/memory{where}", "memory.limit_in_bytes", "memory.usage_in_bytes")
                   for _, controllers, group in lines if "memory" in controllers.split(",")
                   for where in dict.fromkeys((group.rstrip("/"), ""))]
    except (OSError, ValueError):
        return None
    for base, limit_file, used_file in places:
        try:
            with open(f"{base}/{limit_file}") as limit, open(f"{base}/{used_file}") as used:
                text = limit.read().strip()
                if text == "max" or int(text) >= 1 << 60:
                    return None
                return max(int(text) - int(used.read()), 1)
        except (OSError, ValueError):
            continue
    return None


def digest(proteins: Sequence[Protein], settings: DigestSettings | None = None, memory_budget: int = 0) -> PeptideSet:
    """Digest and modify `proteins`; return the distinct modified peptides sorted by mass.

    Equal masses keep the order of each sequence's first appearance in the
    proteins (fewer missed cleavages first), then the order in which its
    modified forms are generated (fewer modifications first, sites left to right).
    Raises InputError when the peptides would take more than `memory_budget`
    bytes once indexed (0: no limit): variable modifications multiply forms.
    """
    settings = settings or DigestSettings()
    mods = settings.mods
    enzyme = ENZYMES[settings.enzyme]
    columns = _native.digest(
        "\n".join(p.sequence for p in proteins), enzyme.residues, enzyme.unless, enzyme.after,
        settings.missed_cleavages, settings.min_length, settings.max_length, float(settings.min_mass),
        float(settings.max_mass), WATER, [mods.fixed_mass(chr(c)) for c in range(65, 91)], mods.fixed_mass(NTERM),
        mods.fixed_mass(CTERM), list(mods.variable_by_site().items()), mods.max_variable, memory_budget)
    arrays = {name: np.frombuffer(columns[name], dtype) for name, dtype in (
        ("sequence_offsets", np.int64), ("sequence", np.int64), ("mass", np.float32),
        ("missed_cleavages", np.uint8), ("mod_offsets", np.int64), ("mod_values", np.float32),
        ("nterm", np.float32), ("cterm", np.float32), ("protein_offsets", np.int64), ("protein_ids", np.int64))}
    return PeptideSet(
        residues=columns["residues"], sequence_offsets=arrays["sequence_offsets"], sequence_index=arrays["sequence"],
        masses=arrays["mass"], missed_cleavages=arrays["missed_cleavages"][arrays["sequence"]],
        mod_offsets=arrays["mod_offsets"], mod_values=arrays["mod_values"], nterm_mass=arrays["nterm"],
        cterm_mass=arrays["cterm"],
        proteins=ProteinMap(columns["residues"], arrays["sequence_offsets"], arrays["protein_offsets"],
                            arrays["protein_ids"], [p.accession for p in proteins]))


class _DigestModule(types.ModuleType):
    """This module, callable as its function `digest`: the package exports the function under the module's
    name, and importing the module (as the search does) puts the module in its place."""

    def __call__(self, proteins: Sequence[Protein], settings: DigestSettings | None = None,
                 memory_budget: int = 0) -> PeptideSet:
        return digest(proteins, settings, memory_budget)


sys.modules[__name__].__class__ = _DigestModule
