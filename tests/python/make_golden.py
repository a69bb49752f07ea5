"""Records the index and scoring results of seeded inputs as golden figures.

    python tests/python/make_golden.py            # on x86_64, with the module built

writes tests/python/golden_x86_64.json: the inputs themselves (so that no
random generator has to agree across interpreters) and every result that a
platform could get wrong, floats as exact hex strings. test_platform_words.py
replays the inputs on the current platform and compares bit for bit.

Pure standard library: it runs under PyPy on 32-bit ARM without numpy.
"""

import json
import os
import platform
import random
import struct
import sys
from array import array

import _vornik_tamrel as vt

FORMAT = 1
SEED = 20261208
GOLDEN_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "golden_x86_64.json")


def f32(x):
    """Rounds a Python float to the nearest 32-bit float (ties to even)."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


def from_bits(bits):
    return struct.unpack("<f", struct.pack("<I", bits))[0]


def bits(x):
    return struct.unpack("<I", struct.pack("<f", x))[0]


# Monoisotopic residue masses as 32-bit patterns; letters missing here weigh 0.
RESIDUE_BITS = {
    "A": 0x428E1300, "C": 0x42CE04B5, "D": 0x42E60DCB, "E": 0x43010AE7, "F": 0x43131183,
    "G": 0x426415FA, "H": 0x43090F15, "I": 0x42E22B0A, "K": 0x4300184F, "L": 0x42E22B0A,
    "M": 0x43030A5E, "N": 0x42E415FB, "O": 0x436D25D2, "P": 0x42C21B03, "Q": 0x43000EFF,
    "R": 0x431C19E2, "S": 0x42AE1066, "T": 0x42CA186A, "U": 0x4316F421, "V": 0x42C62307,
    "W": 0x433A144E, "Y": 0x43231036,
}
RESIDUE = {ord(k): from_bits(v) for k, v in RESIDUE_BITS.items()}
PROTON = from_bits(0x3F80EE6F)
WATER = f32(18.010565)


def residue_mass(byte):
    return RESIDUE.get(byte, 0.0)


def ion_series(seq, mods, nterm, mono, kind):
    """The b or y series in the engine's order, as a running 32-bit sum."""
    data = seq.encode("utf-8")
    n = 0.0 if nterm is None else nterm
    cumulative = n if kind == "B" else f32(mono - n)
    out = []
    for pos in range(len(data) - 1):
        delta = f32(residue_mass(data[pos]) + mods[pos])
        cumulative = f32(cumulative + delta) if kind == "B" else f32(cumulative - delta)
        out.append(cumulative)
    return out


def bounds(tol, centre):
    """Window of a ("Ppm"|"Da", minus, plus) tolerance in 32-bit arithmetic."""
    kind, minus, plus = tol
    if kind == "Ppm":
        lo = f32(f32(centre * minus) / 1000000.0)
        hi = f32(f32(centre * plus) / 1000000.0)
    else:
        lo, hi = minus, plus
    return f32(centre + lo), f32(centre + hi)


# ---------------------------------------------------------------- inputs

ALPHABET = "ACDEFGHIKLMNPQRSTVWY"


def hex32(x):
    return "%08x" % bits(x)  # inputs are all 32-bit values


def unhex32(s):
    return None if s is None else from_bits(int(s, 16))


def make_inputs(seed=SEED):
    rng = random.Random(seed)
    peptides = []
    for _ in range(80):
        length = rng.randint(6, 18)
        seq = "".join(rng.choice(ALPHABET) for _ in range(length - 1)) + rng.choice("KR")
        mods = [f32(15.994915) if r == "M" and rng.random() < 0.5 else
                f32(57.021464) if r == "C" else 0.0 for r in seq]
        nterm = f32(42.010565) if rng.random() < 0.15 else None
        cterm = f32(0.984016) if rng.random() < 0.05 else None
        mono = WATER
        for r, m in zip(seq, mods):
            mono = f32(f32(mono + RESIDUE[ord(r)]) + m)
        for t in (nterm, cterm):
            if t is not None:
                mono = f32(mono + t)
        peptides.append([seq, mono, mods, nterm, cterm])
    # A few deliberate oddities: a lower-case residue, a one-residue peptide,
    # a palindrome interior (no decoy) and a duplicate target.
    peptides.append(["PEPtIDEK", f32(900.5), [0.0] * 8, None, None])
    peptides.append(["K", f32(146.10553), [0.0], None, None])
    peptides.append(["AKKA", f32(400.25), [0.0] * 4, None, None])
    peptides.append(list(peptides[7]))
    peptides.sort(key=lambda p: p[1])

    tolerances = [("Ppm", -10.0, 10.0), ("Ppm", -20.0, 20.0), ("Da", f32(-0.02), f32(0.02))]
    spectra = []
    for s in range(16):
        target = rng.choice(peptides[:-4] if s % 2 else peptides)
        seq, mono, mods, nterm, _ = target
        charge = rng.choice([2, 2, 3, 3, 4])
        peaks = []
        for kind in ("B", "Y"):
            for mass in ion_series(seq, mods, nterm, mono, kind):
                if rng.random() < 0.75:
                    c = 1 if rng.random() < 0.8 else 2
                    ppm = rng.uniform(-8.0, 8.0) if s % 3 else 0.0
                    peaks.append(f32(f32(mass / c) * (1.0 + ppm * 1e-6)))
        peaks += [f32(rng.uniform(100.0, 1600.0)) for _ in range(rng.randint(5, 60))]
        peaks.sort()
        intensity = [f32(rng.lognormvariate(8.0, 1.5)) for _ in peaks]
        isotope = rng.choice([0, 0, 0, 1])
        mz = f32(f32(mono + isotope * 1.00335) / charge + PROTON)
        window = rng.choice([None, None, ("Da", f32(-1.5), f32(1.5))])
        precursor = [mz, charge if s % 5 else None, f32(rng.uniform(1e4, 1e6)), window,
                     f32(rng.uniform(0.6, 1.4)) if s % 4 == 0 else None]
        tic = 0.0
        for x in intensity:
            tic = f32(tic + x)
        spectra.append({"id": "scan=%d" % (1000 + s), "file_id": s % 3, "rt": f32(10.0 + s * 0.37),
                        "mz": peaks, "intensity": intensity, "precursors": [precursor], "tic": tic})

    scorers = [
        {"precursor_tol": tolerances[1], "fragment_tol": tolerances[0], "wide_window": False,
         "chimera": False, "report_psms": 5, "annotate_matches": True},
        {"precursor_tol": ("Da", -2.0, 2.0), "fragment_tol": tolerances[1], "wide_window": True,
         "chimera": True, "report_psms": 3, "annotate_matches": True, "max_fragment_charge": None},
        {"precursor_tol": tolerances[2], "fragment_tol": tolerances[2], "wide_window": False,
         "chimera": False, "report_psms": 10, "min_isotope_err": -1, "max_isotope_err": 3,
         "min_matched_peaks": 2},
        # Later extractions see no peaks left: NaN and -0.0 results.
        {"precursor_tol": tolerances[1], "fragment_tol": tolerances[0], "chimera": True,
         "report_psms": 3, "min_matched_peaks": 0},
    ]
    database = {"bucket_size": 64, "ion_kinds": ["B", "Y"], "min_ion_index": 1,
                "generate_decoys": True, "decoy_tag": "rev_"}
    return encode_inputs(peptides, spectra, scorers, database)


def _enc_tol(t):
    return None if t is None else [t[0], hex32(t[1]), hex32(t[2])]


def encode_inputs(peptides, spectra, scorers, database):
    return {
        "peptides": [[seq, hex32(mono), [hex32(m) for m in mods],
                      None if n is None else hex32(n), None if c is None else hex32(c)]
                     for seq, mono, mods, n, c in peptides],
        "spectra": [dict(s, rt=hex32(s["rt"]), tic=hex32(s["tic"]),
                         mz=[hex32(x) for x in s["mz"]], intensity=[hex32(x) for x in s["intensity"]],
                         precursors=[[hex32(p[0]), p[1], hex32(p[2]), _enc_tol(p[3]),
                                      None if p[4] is None else hex32(p[4])] for p in s["precursors"]])
                    for s in spectra],
        "scorers": [{k: (_enc_tol(v) if k.endswith("_tol") else v) for k, v in s.items()} for s in scorers],
        "database": database,
    }


# ---------------------------------------------------------------- replay

def tolerance(t):
    return getattr(vt.PyTolerance, t[0])(unhex32(t[1]), unhex32(t[2]))


def build_database(inputs):
    d = inputs["database"]
    peptides = [vt.PyPeptide(seq, unhex32(mono), [unhex32(m) for m in mods],
                             unhex32(n), unhex32(c))
                for seq, mono, mods, n, c in inputs["peptides"]]
    kinds = [getattr(vt.PyKind, k)() for k in d["ion_kinds"]]
    return vt.PyIndexedDatabase.from_peptides_and_config(
        peptides, d["bucket_size"], kinds, d["min_ion_index"], d["generate_decoys"],
        d["decoy_tag"], 0.0, 10000.0)


def build_spectra(inputs):
    out = []
    for s in inputs["spectra"]:
        precursors = [vt.PyPrecursor(unhex32(mz), charge, unhex32(inten),
                                     None if win is None else tolerance(win), unhex32(ims))
                      for mz, charge, inten, win, ims in s["precursors"]]
        out.append(vt.PyProcessedSpectrum(
            s["id"], s["file_id"], unhex32(s["rt"]),
            array("f", [unhex32(x) for x in s["mz"]]),
            array("f", [unhex32(x) for x in s["intensity"]]),
            precursors, unhex32(s["tic"])))
    return out


def build_scorer(config):
    kwargs = {k: (tolerance(v) if k.endswith("_tol") else v) for k, v in config.items()}
    return vt.PyScorer(**kwargs)


def encode(value):
    """Exact, JSON-friendly form, containers recursively: a float that is a
    32-bit value becomes its bit pattern in hex, any other float float.hex;
    every NaN reads "nan"."""
    if isinstance(value, float):
        if value != value:
            return "nan"  # sign and payload of a NaN differ between processors
        if abs(value) <= 3.4028234663852886e38 and f32(value) == value or abs(value) == float("inf"):
            return "%08x" % bits(value)
        return float.hex(value)
    if isinstance(value, (list, tuple)):
        return [encode(v) for v in value]
    if isinstance(value, dict):
        return {k: encode(v) for k, v in value.items()}
    return value


FEATURE_PROPERTIES = [
    "sequence", "modifications", "hyperscore", "delta_mass", "rank", "matched_peaks",
    "peptide_idx", "peptide_len", "spec_id", "file_id", "label", "expmass", "calcmass",
    "charge", "rt", "aligned_rt", "predicted_rt", "delta_rt_model", "ims", "predicted_ims",
    "delta_ims_model", "isotope_error", "average_ppm", "delta_next", "delta_best",
    "longest_b", "longest_y", "longest_y_pct", "missed_cleavages", "matched_intensity_pct",
    "scored_candidates", "poisson", "discriminant_score", "posterior_error", "spectrum_q",
    "peptide_q", "protein_q", "ms2_intensity",
]  # psm_id is a process-wide serial number: never comparable between runs
FRAGMENT_PROPERTIES = ["charges", "kinds", "fragment_ordinals", "intensities",
                       "mz_calculated", "mz_experimental"]


def feature_record(f):
    record = {name: getattr(f, name) for name in FEATURE_PROPERTIES}
    fragments = f.fragments
    record["fragments"] = None if fragments is None else {
        name: getattr(fragments, name) for name in FRAGMENT_PROPERTIES}
    record["repr"] = repr(f)
    return encode(record)


def run(inputs):
    """Everything the golden file records, computed on this platform."""
    db = build_database(inputs)
    spectra = build_spectra(inputs)
    n = len(db.peptides)
    results = {
        "sequences": [db.sequence_for(i) for i in range(n)],
        "mod_arrays": [encode(p.mod_array) for p in db.peptides],
        "fragment_count": db.fragment_count(),
        # Ties in mass may sit in either order or either side of a bucket
        # boundary, so the masses are compared as a sorted multiset.
        "fragments": sorted([bits(mass), index] for mass, index in db.debug_fragment_summary()),
        "scores": [],
        "arrays": [],
    }
    for config in inputs["scorers"]:
        scorer = build_scorer(config)
        results["scores"].append([[feature_record(f) for f in scorer.score_spectra(db, s)]
                                  for s in spectra])
        columns = scorer.score_many_spectra(db, spectra)
        names = columns.get_column_names()
        results["arrays"].append({name: encode(getattr(columns, name))
                                  for name in names if name != "psm_id"})
    return results


def main():
    inputs = make_inputs()
    golden = {
        "format": FORMAT,
        "seed": SEED,
        "recorded_on": "%s %s %s" % (platform.machine(), platform.python_implementation(),
                                     platform.python_version()),
        "inputs": inputs,
        "results": run(inputs),
    }
    with open(GOLDEN_PATH, "w") as out:
        json.dump(golden, out, separators=(",", ":"))
        out.write("\n")
    print("wrote", GOLDEN_PATH, file=sys.stderr)


if __name__ == "__main__":
    main()
