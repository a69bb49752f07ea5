"""In-silico digestion and modification of proteins into the peptides to search.

Cleavage sites, peptide spans and unmodified masses are computed with numpy
over the whole concatenated proteome at once; only peptides that carry a
variable-modification site are expanded in Python. Duplicate sequences are
merged (keeping every protein that contains them) before modification, and the
result is sorted by mass, the order the fragment index requires.
"""
from __future__ import annotations

import itertools
import operator
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

    def __init__(self, index: dict[str, int], offsets: np.ndarray, protein_ids: np.ndarray, accessions: list[str]):
        self._index = index  # distinct sequence -> its number k (taken over, not copied)
        self._offsets = offsets  # sequence k is in proteins protein_ids[offsets[k]:offsets[k + 1]]
        self._protein_ids = protein_ids
        self._accessions = accessions

    def __len__(self) -> int:
        return len(self._index)

    def __contains__(self, sequence: object) -> bool:
        return sequence in self._index

    def __getitem__(self, sequence: str) -> tuple[str, ...]:
        k = self._index[sequence]
        ids = self._protein_ids[self._offsets[k] : self._offsets[k + 1]].tolist()
        return tuple(self._accessions[i] for i in ids)

    def get(self, sequence: str, default=()):
        return self[sequence] if sequence in self._index else default


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
    """Merge duplicate sequences (numbered in order of first appearance).

    Returns the map, the distinct sequences and the index of each one's first span.
    """
    index: dict[str, int] = {}
    inverse = np.fromiter((index.setdefault(s, len(index)) for s in seqs), dtype=np.int64, count=len(seqs))
    uniq = list(index)
    first = np.full(len(uniq), len(inverse), dtype=np.int64)
    np.minimum.at(first, inverse, np.arange(len(inverse)))
    order = np.lexsort((prot, inverse))
    pairs_seq, pairs_prot = inverse[order], prot[order]
    fresh = np.ones(len(order), bool)
    fresh[1:] = (pairs_seq[1:] != pairs_seq[:-1]) | (pairs_prot[1:] != pairs_prot[:-1])
    pairs_seq, pairs_prot = pairs_seq[fresh], pairs_prot[fresh]
    offsets = np.searchsorted(pairs_seq, np.arange(len(uniq) + 1))
    return ProteinMap(index, offsets, pairs_prot, accessions), uniq, first


def _site_positions(codes: np.ndarray, lo: np.ndarray, lengths: np.ndarray, site_codes, count: int) -> np.ndarray:
    """Positions (within each peptide) of its `count` modifiable residues, one row per peptide."""
    width = int(lengths.max())
    columns = np.arange(width)
    valid = columns[None, :] < lengths[:, None]
    residues = codes[np.where(valid, lo[:, None] + columns[None, :], 0)]
    is_site = np.isin(residues, site_codes) & valid
    return np.flatnonzero(is_site.ravel()).reshape(len(lo), count) % width


def _subsets(n_sites: int, most: int) -> np.ndarray:
    """Every choice of at most `most` of `n_sites` sites, as a boolean matrix (one row per choice)."""
    picks = [combo for k in range(min(n_sites, most) + 1) for combo in itertools.combinations(range(n_sites), k)]
    table = np.zeros((len(picks), n_sites), dtype=bool)
    for row, combo in enumerate(picks):
        table[row, list(combo)] = True
    return table


def digest(proteins: Sequence[Protein], settings: DigestSettings | None = None) -> PeptideSet:
    """Digest and modify `proteins`; return the distinct modified peptides sorted by mass.

    Equal masses keep the order of each sequence's first appearance in the
    proteins, then the order in which its modified forms are generated.
    """
    settings = settings or DigestSettings()
    mods = settings.mods
    text, codes, fixed, lo, hi, prot, missed, mass_prefix, terminal = _spans(proteins, settings)
    seqs = [text[a:b] for a, b in zip(lo.tolist(), hi.tolist())]
    protein_map, uniq, first = _protein_map(seqs, prot, [p.accession for p in proteins])
    lo, hi, missed = lo[first], hi[first], missed[first]
    lengths = hi - lo
    base_mass = mass_prefix[hi] - mass_prefix[lo] + terminal

    variable = mods.variable_by_site()
    var_codes = [ord(site) for site in variable if site not in (NTERM, CTERM)]
    site_prefix = np.concatenate(([0], np.cumsum(np.isin(codes, var_codes))))
    n_sites = site_prefix[hi] - site_prefix[lo] + (NTERM in variable) + (CTERM in variable)
    fixed_prefix = np.concatenate(([0], np.cumsum(fixed[codes] != 0)))
    has_fixed = (fixed_prefix[hi] - fixed_prefix[lo]) > 0
    nterm_fixed = mods.fixed_mass(NTERM) or None
    cterm_fixed = mods.fixed_mass(CTERM) or None
    fixed_f32 = fixed.astype(np.float32)

    out_k: list[np.ndarray] = []  # distinct-sequence index of each row
    out_mods: list = []
    out_mass: list[np.ndarray] = []
    out_n: list = []
    out_c: list = []

    def emit(ks, residue_mods, masses, nterm=None, cterm=None):
        out_k.append(np.asarray(ks, np.int64))
        out_mods.extend(residue_mods)
        out_mass.append(np.asarray(masses, np.float64))
        out_n.extend([nterm_fixed] * len(ks) if nterm is None else nterm)
        out_c.extend([cterm_fixed] * len(ks) if cterm is None else cterm)

    # Per-residue lists share one float object per residue letter: building
    # them is then a C-level map over the sequence, with no float allocation.
    fixed_float = {chr(c): float(fixed_f32[c]) for c in range(65, 91)}
    residue_list = lambda k: list(map(fixed_float.__getitem__, uniq[k]))  # noqa: E731

    # Peptides without a variable site have a single form.
    plain = (n_sites == 0) | (mods.max_variable == 0)
    in_range = (base_mass >= settings.min_mass) & (base_mass <= settings.max_mass)
    ks = np.flatnonzero(plain & in_range)
    emit(ks, [residue_list(k) if f else None for k, f in zip(ks.tolist(), has_fixed[ks].tolist())], base_mass[ks])

    # Residue sites with one variable mass each (the usual case): masses and
    # filters for all forms of all peptides with the same number of sites at once.
    vectorised = all(len(v) == 1 for v in variable.values()) and NTERM not in variable and CTERM not in variable
    others = np.flatnonzero(~plain)
    if vectorised and len(others):
        delta_of = np.zeros(256, np.float64)
        for site, (delta,) in variable.items():
            delta_of[ord(site)] = delta
        for count in np.unique(n_sites[others]).tolist():
            ks = others[n_sites[others] == count]
            positions = _site_positions(codes, lo[ks], lengths[ks], var_codes, count)
            deltas = delta_of[codes[lo[ks][:, None] + positions]]  # (peptides, sites)
            bases = [residue_list(k) for k in ks.tolist()]
            for pattern in _subsets(count, mods.max_variable):
                masses = base_mass[ks] + deltas[:, pattern].sum(axis=1)
                keep = np.flatnonzero((masses >= settings.min_mass) & (masses <= settings.max_mass))
                if not len(keep):
                    continue
                if pattern.any():
                    rows: list[list[float] | None] = []
                    for j, where, add in zip(keep.tolist(), positions[keep][:, pattern].tolist(),
                                             deltas[keep][:, pattern].tolist()):
                        row = list(bases[j])
                        for p, d in zip(where, add):
                            row[p] += d
                        rows.append(row)
                else:
                    rows = [bases[j] if has_fixed[ks[j]] else None for j in keep.tolist()]
                emit(ks[keep], rows, masses[keep])
    else:
        for k in others.tolist():
            _expand_one(k, uniq[k], float(base_mass[k]), residue_list(k), variable, nterm_fixed, cterm_fixed,
                        settings, emit)

    ks_all = np.concatenate(out_k) if out_k else np.empty(0, np.int64)
    masses = (np.concatenate(out_mass) if out_mass else np.empty(0)).astype(np.float32)
    rank = np.lexsort((np.arange(len(ks_all)), ks_all, masses))
    pick = rank.tolist()
    return PeptideSet(
        sequences=_take(uniq, ks_all[rank].tolist()),
        modifications=_take(out_mods, pick),
        nterm=_take(out_n, pick),
        cterm=_take(out_c, pick),
        masses=masses[rank],
        missed_cleavages=missed[ks_all[rank]].astype(np.uint8),
        proteins=protein_map,
    )


def _take(items: list, positions: list[int]) -> list:
    """`[items[i] for i in positions]`, gathered at C speed."""
    if len(positions) < 2:
        return [items[i] for i in positions]
    return list(operator.itemgetter(*positions)(items))


def _expand_one(k, seq, m0, per_residue, variable, nterm_fixed, cterm_fixed, settings, emit) -> None:
    """All modified forms of one peptide, for the general case (terminal or alternative variable masses)."""
    sites = [(i, c) for i, c in enumerate(seq) if c in variable]
    if NTERM in variable:
        sites.append((-1, NTERM))
    if CTERM in variable:
        sites.append((len(seq), CTERM))
    for n_mods in range(min(len(sites), settings.mods.max_variable) + 1):
        for combo in itertools.combinations(sites, n_mods):
            # several variable masses on one site are alternatives: expand their product
            for deltas in itertools.product(*(variable[site] for _, site in combo)):
                total = m0 + sum(deltas)
                if not settings.min_mass <= total <= settings.max_mass:
                    continue
                residue_mods, nterm, cterm = list(per_residue), nterm_fixed, cterm_fixed
                for (pos, site), delta in zip(combo, deltas):
                    if site == NTERM:
                        nterm = (nterm or 0.0) + delta
                    elif site == CTERM:
                        cterm = (cterm or 0.0) + delta
                    else:
                        residue_mods[pos] += delta
                emit([k], [residue_mods if any(residue_mods) else None], [total], [nterm], [cterm])
