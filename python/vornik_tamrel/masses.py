"""Mass constants shared with the scoring engine, and modification settings.

The engine computes fragment masses from its own residue table in 32-bit
arithmetic and compares them with the peptide mass we hand it. Peptide masses
are therefore summed from exactly the same 32-bit residue values (widened to
64 bits for the sum, rounded to 32 bits once at the end), so a peptide's mass
and its fragments agree to the last bit the engine can see.
"""
from __future__ import annotations

import re
import struct
from dataclasses import dataclass, field

import numpy as np

# Bit patterns of the engine's 32-bit residue masses (letters without a mass
# weigh 0.0 there; peptides containing them are never generated here).
_RESIDUE_BITS = {
    "A": 0x428E1300, "C": 0x42CE04B5, "D": 0x42E60DCB, "E": 0x43010AE7,
    "F": 0x43131183, "G": 0x426415FA, "H": 0x43090F15, "I": 0x42E22B0A,
    "K": 0x4300184F, "L": 0x42E22B0A, "M": 0x43030A5E, "N": 0x42E415FB,
    "O": 0x436D25D2, "P": 0x42C21B03, "Q": 0x43000EFF, "R": 0x431C19E2,
    "S": 0x42AE1066, "T": 0x42CA186A, "U": 0x4316F421, "V": 0x42C62307,
    "W": 0x433A144E, "Y": 0x43231036,
}


def _from_bits(bits: int) -> float:
    return struct.unpack("<f", struct.pack("<I", bits))[0]


#: Residue masses exactly as the engine holds them (32-bit values, as float).
RESIDUE_MASS: dict[str, float] = {aa: _from_bits(b) for aa, b in _RESIDUE_BITS.items()}

#: The engine's proton mass (32-bit value 0x3F80EE6F).
PROTON = _from_bits(0x3F80EE6F)
#: Monoisotopic mass of water, added once per peptide.
WATER = 18.0105646837

# Lookup by byte value; NaN marks letters the engine cannot weigh, so a peptide
# containing one gets a NaN mass and is dropped.
RESIDUE_TABLE = np.full(256, np.nan, dtype=np.float64)
for _aa, _m in RESIDUE_MASS.items():
    RESIDUE_TABLE[ord(_aa)] = _m

NTERM = "^"
CTERM = "$"
_SITES = set(RESIDUE_MASS) | {NTERM, CTERM}
_MOD_RE = re.compile(r"^\s*([A-Z^$]+)\s*[:=]\s*([-+]?\d+(?:\.\d*)?(?:[eE][-+]?\d+)?)\s*$")


MAX_F32 = float(np.finfo(np.float32).max)


def f32(value: float) -> float:
    """Round to the nearest 32-bit float, as the engine stores every mass."""
    return float(np.float32(value))


@dataclass(frozen=True)
class Modification:
    """A mass added to every residue in `sites` (``^``/``$`` for the termini)."""

    sites: str
    mass: float

    @classmethod
    def parse(cls, text: str) -> "Modification":
        """Read ``SITES:MASS``, e.g. ``C:57.021464``, ``STY:79.966331``, ``^:42.010565``."""
        match = _MOD_RE.match(text)
        if not match:
            raise ValueError(
                f"modification {text!r}: expected SITES:MASS such as C:57.021464 "
                "(sites are residue letters, ^ for the peptide N-terminus, $ for the C-terminus)"
            )
        sites, mass = match.group(1), float(match.group(2))
        unknown = sorted(set(sites) - _SITES)
        if unknown:
            raise ValueError(f"modification {text!r}: unknown site(s) {''.join(unknown)}")
        if not abs(mass) <= MAX_F32:  # infinite once held in 32 bits, as the engine holds masses
            raise ValueError(f"modification {text!r}: the mass lies beyond the 32-bit range")
        return cls("".join(dict.fromkeys(sites)), f32(mass))


@dataclass(frozen=True)
class ModificationSettings:
    """Fixed modifications (always applied) and variable ones (up to `max_variable`)."""

    fixed: tuple[Modification, ...] = (Modification("C", f32(57.021464)),)
    variable: tuple[Modification, ...] = (Modification("M", f32(15.994915)),)
    max_variable: int = 2
    _fixed_by_site: dict = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        if self.max_variable < 0:
            raise ValueError("the number of variable modifications per peptide must be 0 or more")
        for mod in self.fixed + self.variable:
            if not abs(mod.mass) <= MAX_F32:
                raise ValueError(f"modification {mod.sites}:{mod.mass}: the mass is not a finite 32-bit number")
        by_site: dict[str, float] = {}
        for mod in self.fixed:
            for site in mod.sites:
                if site in by_site:
                    raise ValueError(f"two fixed modifications on {site!r}")
                by_site[site] = mod.mass
        object.__setattr__(self, "_fixed_by_site", by_site)

    def fixed_mass(self, site: str) -> float:
        return self._fixed_by_site.get(site, 0.0)

    def variable_by_site(self) -> dict[str, list[float]]:
        """Variable masses per site, in the order given; several per site are alternatives."""
        out: dict[str, list[float]] = {}
        for mod in self.variable:
            for site in mod.sites:
                out.setdefault(site, []).append(mod.mass)
        return out
