"""In-silico digestion and modification of proteins into the peptides to search.

Cleavage sites, peptide spans and unmodified masses are computed with numpy
over the whole concatenated proteome at once; only peptides that carry a
variable-modification site are expanded in Python. Duplicate sequences are
merged (keeping every protein that contains them) before modification, and the
result is sorted by mass, the order the fragment index requires.
"""
from __future__ import annotations

import itertools
from dataclasses import dataclass, field
from typing import Sequence

import numpy as np

from .fasta import Protein
from .masses import CTERM, NTERM, RESIDUE_TABLE, WATER, ModificationSettings


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


class ProteinMap:
    """Accessions of the proteins that contain each distinct peptide sequence.

    Built with array operations and resolved per lookup, since only the
    sequences that end up identified are ever asked for.
    """

    def __init__(self, sequences: np.ndarray, offsets: np.ndarray, protein_ids: np.ndarray, accessions: list[str]):
        self._sequences = sequences  # sorted object array of str
        self._offsets = offsets  # group k holds protein_ids[offsets[k]:offsets[k + 1]]
        self._protein_ids = protein_ids
        self._accessions = accessions

    def __len__(self) -> int:
        return len(self._sequences)

    def __contains__(self, sequence: object) -> bool:
        return self._find(sequence) is not None

    def __getitem__(self, sequence: str) -> tuple[str, ...]:
        k = self._find(sequence)
        if k is None:
            raise KeyError(sequence)
        ids = self._protein_ids[self._offsets[k] : self._offsets[k + 1]].tolist()
        return tuple(self._accessions[i] for i in ids)

    def get(self, sequence: str, default=()):
        return self[sequence] if sequence in self else default

    def _find(self, sequence: object) -> int | None:
        if not isinstance(sequence, str) or not len(self._sequences):
            return None
        k = int(np.searchsorted(self._sequences, sequence))
        return k if k < len(self._sequences) and self._sequences[k] == sequence else None


@dataclass
class PeptideSet:
    """The peptides to search, sorted by ascending mass (ties by sequence).

    Row i describes one modified peptide: `sequences[i]`, its per-residue
    modification masses `modifications[i]` (None when all are zero), its
    terminal masses (None when absent), its 32-bit `masses[i]` and
    `missed_cleavages[i]`. `proteins` maps each distinct sequence to the
    accessions that contain it, in FASTA order.
    """

    sequences: list[str]
    modifications: list[list[float] | None]
    nterm: list[float | None]
    cterm: list[float | None]
    masses: np.ndarray  # float32
    missed_cleavages: np.ndarray  # uint8
    proteins: ProteinMap

    def __len__(self) -> int:
        return len(self.sequences)


def _cleavage_bounds(codes: np.ndarray, starts: np.ndarray, ends: np.ndarray, enzyme: Enzyme) -> tuple[np.ndarray, np.ndarray]:
    """Sorted cleavage boundaries over the concatenated proteome, with each boundary's protein."""
    n = len(codes)
    is_site = np.isin(codes, np.frombuffer(enzyme.residues.encode(), np.uint8))
    blocked = np.isin(codes, np.frombuffer(enzyme.unless.encode(), np.uint8)) if enzyme.unless else np.zeros(n, bool)
    if enzyme.after:
        # boundary between i and i+1 when residue i cleaves and i+1 does not block
        cut = np.zeros(n + 1, bool)
        cut[1:n] = is_site[:-1] & ~blocked[1:]
    else:
        # boundary between i-1 and i when residue i cleaves and i-1 does not block
        cut = np.zeros(n + 1, bool)
        cut[1:n] = is_site[1:] & ~blocked[:-1]
    cut[starts] = True
    cut[ends] = True
    bounds = np.flatnonzero(cut)
    # Proteins are separated by one byte, so every boundary lies in exactly one.
    return bounds, np.searchsorted(starts, bounds, side="right") - 1


def _spans(proteins: Sequence[Protein], settings: DigestSettings):
    """All peptide spans over the concatenated proteome, filtered by length and unmodified mass."""
    text = "\n".join(p.sequence for p in proteins)
    codes = np.frombuffer(text.encode("ascii"), np.uint8)
    lengths = np.fromiter((len(p.sequence) for p in proteins), np.int64, len(proteins))
    starts = np.concatenate(([0], np.cumsum(lengths + 1)[:-1]))
    ends = starts + lengths
    bounds, owner = _cleavage_bounds(codes, starts, ends, ENZYMES[settings.enzyme])

    fixed = np.zeros(256, np.float64)
    for aa in map(chr, range(65, 91)):
        fixed[ord(aa)] = settings.mods.fixed_mass(aa)
    weights = RESIDUE_TABLE[codes] + fixed[codes]
    unknown = np.isnan(weights)
    mass_prefix = np.concatenate(([0.0], np.cumsum(np.where(unknown, 0.0, weights))))
    bad_prefix = np.concatenate(([0], np.cumsum(unknown)))
    terminal = WATER + settings.mods.fixed_mass(NTERM) + settings.mods.fixed_mass(CTERM)

    lo, hi, prot, missed = [], [], [], []
    for mc in range(settings.missed_cleavages + 1):
        if len(bounds) <= mc + 1:
            break
        a, b = bounds[: -1 - mc], bounds[1 + mc :]
        length = b - a
        keep = owner[: -1 - mc] == owner[1 + mc :]
        keep &= (length >= settings.min_length) & (length <= settings.max_length)
        keep &= bad_prefix[b] == bad_prefix[a]
        keep &= mass_prefix[b] - mass_prefix[a] + terminal <= settings.max_mass
        lo.append(a[keep])
        hi.append(b[keep])
        prot.append(owner[: -1 - mc][keep])
        missed.append(np.full(int(keep.sum()), mc, np.uint8))
    cat = (lambda parts, dtype: np.concatenate(parts) if parts else np.empty(0, dtype))
    return (text, codes, fixed, cat(lo, np.int64), cat(hi, np.int64), cat(prot, np.int64),
            cat(missed, np.uint8), mass_prefix + 0.0, terminal)


def _protein_map(seqs: list[str], prot: np.ndarray, accessions: list[str]):
    """Merge duplicate sequences; returns the map and, per distinct sequence, its first span."""
    uniq, first, inverse = np.unique(np.array(seqs, dtype=object), return_index=True, return_inverse=True)
    inverse = inverse.reshape(-1)
    order = np.lexsort((prot, inverse))
    pairs_seq, pairs_prot = inverse[order], prot[order]
    fresh = np.ones(len(order), bool)
    fresh[1:] = (pairs_seq[1:] != pairs_seq[:-1]) | (pairs_prot[1:] != pairs_prot[:-1])
    pairs_seq, pairs_prot = pairs_seq[fresh], pairs_prot[fresh]
    offsets = np.searchsorted(pairs_seq, np.arange(len(uniq) + 1))
    return ProteinMap(uniq, offsets, pairs_prot, accessions), uniq, first


def digest(proteins: Sequence[Protein], settings: DigestSettings | None = None) -> PeptideSet:
    """Digest and modify `proteins`; return the distinct modified peptides sorted by mass."""
    settings = settings or DigestSettings()
    mods = settings.mods
    text, codes, fixed, lo, hi, prot, missed, mass_prefix, terminal = _spans(proteins, settings)
    seqs = [text[a:b] for a, b in zip(lo.tolist(), hi.tolist())]
    protein_map, uniq, first = _protein_map(seqs, prot, [p.accession for p in proteins])
    lo, hi, missed = lo[first], hi[first], missed[first]
    base_mass = mass_prefix[hi] - mass_prefix[lo] + terminal

    variable = mods.variable_by_site()
    var_residues = [s for s in variable if s not in (NTERM, CTERM)]
    site_prefix = np.concatenate(([0], np.cumsum(np.isin(codes, [ord(s) for s in var_residues]))))
    n_sites = site_prefix[hi] - site_prefix[lo] + (NTERM in variable) + (CTERM in variable)
    has_fixed = np.concatenate(([0], np.cumsum(fixed[codes] != 0)))
    has_fixed = (has_fixed[hi] - has_fixed[lo]) > 0
    nterm_fixed = mods.fixed_mass(NTERM) or None
    cterm_fixed = mods.fixed_mass(CTERM) or None
    fixed_f32 = fixed.astype(np.float32)
    in_range = (base_mass >= settings.min_mass) & (base_mass <= settings.max_mass)

    # Peptides without a variable site have one form: no Python expansion needed.
    plain = (n_sites == 0) | (mods.max_variable == 0)
    plain_idx = np.flatnonzero(plain & in_range)
    uniq_list = uniq.tolist()
    out_seq = [uniq_list[k] for k in plain_idx.tolist()]
    out_mods: list = [None] * len(plain_idx)
    for j in np.flatnonzero(has_fixed[plain_idx]).tolist():
        k = plain_idx[j]
        out_mods[j] = fixed_f32[codes[lo[k] : hi[k]]].tolist()
    out_n = [nterm_fixed] * len(plain_idx)
    out_c = [cterm_fixed] * len(plain_idx)
    out_mass = base_mass[plain_idx].tolist()
    out_missed = missed[plain_idx].tolist()
    out_rank = plain_idx.tolist()  # position of the sequence in sorted order, for mass ties

    for k in np.flatnonzero(~plain).tolist():
        seq, m0 = uniq_list[k], float(base_mass[k])
        per_residue = fixed_f32[codes[lo[k] : hi[k]]].tolist()
        sites = [(i, c) for i, c in enumerate(seq) if c in variable]
        if NTERM in variable:
            sites.append((-1, NTERM))
        if CTERM in variable:
            sites.append((len(seq), CTERM))
        for n_mods in range(min(len(sites), mods.max_variable) + 1):
            for combo in itertools.combinations(sites, n_mods):
                # several variable masses on one site are alternatives: expand their product
                for deltas in itertools.product(*(variable[site] for _, site in combo)):
                    total = m0 + sum(deltas)
                    if not settings.min_mass <= total <= settings.max_mass:
                        continue
                    residue_mods, nterm, cterm = per_residue, nterm_fixed, cterm_fixed
                    if combo:
                        residue_mods = list(per_residue)
                        for (pos, site), delta in zip(combo, deltas):
                            if site == NTERM:
                                nterm = (nterm or 0.0) + delta
                            elif site == CTERM:
                                cterm = (cterm or 0.0) + delta
                            else:
                                residue_mods[pos] += delta
                    out_seq.append(seq)
                    out_mods.append(residue_mods if any(residue_mods) else None)
                    out_n.append(nterm)
                    out_c.append(cterm)
                    out_mass.append(total)
                    out_missed.append(int(missed[k]))
                    out_rank.append(k)

    masses = np.asarray(out_mass, np.float64).astype(np.float32)
    # Sort by mass, ties by sequence (then by modification form) for a reproducible order.
    rank = np.lexsort((np.asarray(out_rank, np.int64), masses))
    pick = rank.tolist()
    return PeptideSet(
        sequences=[out_seq[i] for i in pick],
        modifications=[out_mods[i] for i in pick],
        nterm=[out_n[i] for i in pick],
        cterm=[out_c[i] for i in pick],
        masses=masses[rank],
        missed_cleavages=np.asarray(out_missed, np.uint8)[rank],
        proteins=protein_map,
    )
