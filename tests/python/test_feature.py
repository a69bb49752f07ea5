"""PyFeature: properties, the peptide setter, to_dict and the text form."""

import math
import struct

import pytest

import _vornik_tamrel as vt
import scoring_data as sd

PROPERTIES = [
    "peptide", "sequence", "modifications", "hyperscore", "delta_mass", "rank", "matched_peaks",
    "peptide_idx", "psm_id", "peptide_len", "spec_id", "file_id", "label", "expmass", "calcmass",
    "charge", "rt", "aligned_rt", "predicted_rt", "delta_rt_model", "ims", "predicted_ims",
    "delta_ims_model", "isotope_error", "average_ppm", "delta_next", "delta_best", "longest_b",
    "longest_y", "longest_y_pct", "missed_cleavages", "matched_intensity_pct", "scored_candidates",
    "poisson", "discriminant_score", "posterior_error", "spectrum_q", "peptide_q", "protein_q",
    "ms2_intensity", "fragments",
]
DICT_KEYS = [
    "file_id", "spec_id", "psm_id", "rank", "sequence", "modifications", "label", "hyperscore",
    "delta_mass", "matched_peaks", "peptide_len", "expmass", "calcmass", "charge", "rt",
    "aligned_rt", "predicted_rt", "delta_rt_model", "ims", "predicted_ims", "delta_ims_model",
    "isotope_error", "average_ppm", "delta_next", "delta_best", "longest_b", "longest_y",
    "longest_y_pct", "missed_cleavages", "matched_intensity_pct", "scored_candidates", "poisson",
    "discriminant_score", "posterior_error", "spectrum_q", "peptide_q", "protein_q",
    "ms2_intensity", "fragments",
]


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


# ---- an independent reference for the number formats of the text form

def shortest_digits(x):
    """(sign, digits, exponent) of the shortest decimal reading back as float32 x."""
    for p in range(1, 10):
        text = "%.*e" % (p - 1, abs(x))
        if f32(float(text)) == abs(x):
            mantissa, exp = text.split("e")
            return ("-" if math.copysign(1, x) < 0 else ""), mantissa.replace(".", ""), int(exp)
    raise AssertionError(x)


def positional(digits, exp):
    point = exp + 1
    if point <= 0:
        return "0." + "0" * -point + digits
    if point >= len(digits):
        return digits + "0" * (point - len(digits))
    return digits[:point] + "." + digits[point:]


def ref_shortest(x):
    if x == 0:
        return "-0.0" if math.copysign(1, x) < 0 else "0.0"
    sign, digits, exp = shortest_digits(x)
    if abs(x) < f32(1e-4) or abs(x) >= f32(1e16):
        return sign + digits[0] + ("." + digits[1:] if len(digits) > 1 else "") + "e" + str(exp)
    text = positional(digits, exp)
    return sign + (text if "." in text else text + ".0")


def ref_plain(x):
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    if x == 0:
        return "-0" if math.copysign(1, x) < 0 else "0"
    sign, digits, exp = shortest_digits(x)
    return sign + positional(digits, exp)


def ref_fixed(x, n):
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return format(x, ".%df" % n)


def ref_repr(f):
    mods = f.modifications
    return (
        "Feature(spec=%s, peptide_idx=%d, rank=%d, seq=%s, mods=%s, hyperscore=%s, delta_mass=%s, \n"
        " matched_peaks=%d, isotope error=%s, average_ppm=%s, poisson=%s)" % (
            f.spec_id, f.peptide_idx, f.rank, "<None>" if f.sequence is None else f.sequence,
            "<None>" if mods is None else "[" + ", ".join(ref_shortest(m) for m in mods) + "]",
            ref_fixed(f.hyperscore, 3), ref_fixed(f.delta_mass, 4), f.matched_peaks,
            ref_plain(f.isotope_error), ref_fixed(f.average_ppm, 3), ref_fixed(f.poisson, 4)))


# ---- features from real searches

def score(db, spectrum, **kw):
    return sd.scorer(**kw).score_spectra(db, spectrum)


@pytest.fixture
def feature():
    db, sp = sd.search()
    (f,) = score(db, sp, annotate_matches=True)
    return f


def long_peptide_feature(length, isotope=0):
    seq = "G" + "PEPTIDES" * ((length - 2) // 8) + "K"
    db, ordered = sd.build_db(["GAGAGAK", seq])
    (f,) = score(db, sd.spectrum(db, ordered.index(seq), sd.mono(seq), isotope=isotope))
    return f


def test_properties_are_registered_in_order():
    names = [k for k, v in vars(vt.PyFeature).items()
             if type(v).__name__ == "getset_descriptor" and not k.startswith("__")]
    assert names == PROPERTIES
    assert all(getattr(vt.PyFeature, p).__doc__ in ("", None) for p in PROPERTIES)


def test_repr_of_the_scan_17_match(feature, capfd):
    # Every value of the line comes from the scoring arithmetic, which is
    # bit-exact; the formats are fixed, three and four decimals and shortest.
    assert repr(feature) == (
        "Feature(spec=scan=17, peptide_idx=3, rank=1, seq=PEPTIDEK, "
        "mods=[0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0], hyperscore=32.203, delta_mass=0.0658, \n"
        " matched_peaks=14, isotope error=0, average_ppm=0.000, poisson=-1.5452)")
    assert str(feature) == repr(feature)


@pytest.mark.parametrize("isotope, text", [(-1, "-1.00335"), (0, "0"), (1, "1.00335"), (2, "2.0067")])
def test_repr_isotope_error_has_no_exponent_and_no_fraction_when_integral(isotope, text):
    db, sp = sd.search(isotope=isotope)
    (f,) = score(db, sp, min_isotope_err=-1, max_isotope_err=3)
    assert f.isotope_error == f32(isotope * sd.ISOTOPE)
    assert "isotope error=%s, " % text in repr(f)
    assert repr(f) == ref_repr(f)


@pytest.mark.parametrize("length, poisson", [(34, "-2.2186"), (74, "-inf"), (90, "NaN")])
def test_repr_non_finite_poisson(length, poisson):
    # 74 residues: the Poisson probability overflows (minus infinity); 90:
    # both its factors overflow and it is NaN.
    f = long_peptide_feature(length, isotope=-1)
    assert repr(f).endswith(", poisson=%s)" % poisson)
    assert repr(f) == ref_repr(f)


def test_repr_of_modifications_uses_shortest_form_with_exponent_thresholds(feature):
    mods = [1e-5, 1e-4, 9.9999e-5, 57.02146, 0.1, -0.0, 1.5e16, 9.999999e15, 1e16, 123456.0]
    feature.peptide = vt.PyPeptide("PEPTIDEK", 927.45, mods[1:-1], mods[0], mods[-1])
    text = repr(feature)
    assert ("mods=[1e-5, 0.0001, 9.9999e-5, 57.02146, 0.1, -0.0, 1.5e16, 9999999000000000.0, 1e16, "
            "123456.0], " in text)
    assert text == ref_repr(feature)


def test_to_dict_has_39_keys_in_order_and_equals_the_properties(feature):
    d = feature.to_dict()
    assert list(d) == DICT_KEYS
    for key in DICT_KEYS:
        if key == "fragments":
            assert d[key] == feature.fragments.to_dict()
        else:
            assert d[key] == getattr(feature, key), key
    assert "peptide" not in d and "peptide_idx" not in d


def test_values_of_the_match(feature):
    f = feature
    assert (f.spec_id, f.file_id, f.rank, f.peptide_idx, f.label, f.charge) == ("scan=17", 3, 1, 3, 1, 2)
    assert (f.peptide_len, f.missed_cleavages, f.matched_peaks) == (8, 0, 14)
    assert f.delta_best == 0.0 and f.delta_next == f.hyperscore  # the only candidate
    assert f.expmass == f32((f32(f32(sd.mono("PEPTIDEK") / 2 + sd.PROTON) - f32(sd.PROTON))) * 2)
    assert f.calcmass == f32(sd.mono("PEPTIDEK"))
    constants = [f.predicted_rt, f.delta_rt_model, f.predicted_ims, f.delta_ims_model,
                 f.discriminant_score, f.posterior_error, f.spectrum_q, f.peptide_q, f.protein_q]
    assert constants == [0.0, 0.9990000128746033, 0.0, 0.9990000128746033, 0.0, 1.0, 1.0, 1.0, 1.0]


def test_32_bit_values_read_back_widened_exactly():
    db, sp = sd.search(rt=0.1)
    (f,) = score(db, sp)
    assert f.rt == f.aligned_rt == 0.10000000149011612
    assert f.to_dict()["rt"] == 0.10000000149011612


def test_every_read_builds_new_objects(feature):
    assert feature.peptide is not feature.peptide
    assert feature.peptide.mod_array == feature.peptide.mod_array
    assert feature.fragments is not feature.fragments
    mods = feature.modifications
    mods.append(1.0)
    mods[0] = 5.0
    assert feature.modifications == [0.0] * 10
    d = feature.to_dict()
    d["modifications"][0] = 5.0
    d["fragments"]["charges"].clear()
    assert feature.to_dict() == feature.to_dict() != d
    peptide = feature.peptide
    peptide.mod_array = [1.0] * 10
    assert feature.modifications == [0.0] * 10


def test_setting_the_peptide_copies_it(feature):
    peptide = vt.PyPeptide("SAMPLER", 800.0, None)
    feature.peptide = peptide
    peptide.mod_array = [1.0] * 9
    assert feature.sequence == "SAMPLER"
    assert feature.modifications == [0.0] * 9
    assert (feature.peptide_idx, feature.peptide_len) == (3, 8)  # the feature's own values
    assert feature.to_dict()["sequence"] == "SAMPLER"
    assert ", seq=SAMPLER, mods=[0.0, " in repr(feature)


def test_removing_the_peptide_keeps_the_feature_values(feature):
    before = {k: v for k, v in feature.to_dict().items() if k not in ("sequence", "modifications")}
    feature.peptide = None
    assert feature.peptide is None and feature.sequence is None and feature.modifications is None
    d = feature.to_dict()
    assert d["sequence"] is None and d["modifications"] is None
    assert {k: v for k, v in d.items() if k not in ("sequence", "modifications")} == before
    assert ", seq=<None>, mods=<None>, " in repr(feature)
    assert repr(feature) == ref_repr(feature)


@pytest.mark.parametrize("value, error, message", [
    (5, TypeError, "argument 'peptide': 'int' object cannot be converted to 'PyPeptide'"),
    ("PEPTIDE", TypeError, "argument 'peptide': 'str' object cannot be converted to 'PyPeptide'"),
    (vt.PyKind.B(), TypeError, "argument 'peptide': 'PyKind' object cannot be converted to 'PyPeptide'"),
])
def test_setting_a_wrong_type_changes_nothing(feature, value, error, message):
    with pytest.raises(error) as e:
        feature.peptide = value
    assert str(e.value) == message
    assert feature.sequence == "PEPTIDEK"


def test_deleting_the_peptide_is_refused(feature):
    with pytest.raises(AttributeError) as e:
        del feature.peptide
    assert str(e.value) == "can't delete attribute"
    assert feature.sequence == "PEPTIDEK"


@pytest.mark.parametrize("name", ["hyperscore", "rank", "fragments", "sequence"])
def test_other_properties_are_read_only(feature, name):
    with pytest.raises(AttributeError):
        setattr(feature, name, None)


def test_sequence_is_decoded_leniently():
    # A decoy reverses the bytes between the first and the last residue, so
    # the decoy of a non-ASCII sequence is not valid UTF-8.
    db, _ = sd.build_db(["GAGAGAK", "A\u00c9BCK"], decoys=True)
    (decoy,) = [p for i, p in enumerate(db.peptides) if "\ufffd" in db.sequence_for(i)]
    feature = score(*sd.search())[0]
    feature.peptide = decoy
    expected = "ACB\ufffd\ufffdK"
    assert feature.sequence == expected
    assert feature.to_dict()["sequence"] == expected
    assert ", seq=%s, " % expected in repr(feature)


def test_no_fragments_without_annotation():
    db, sp = sd.search()
    (f,) = score(db, sp)
    assert f.fragments is None and f.to_dict()["fragments"] is None


def test_to_dict_takes_no_arguments(feature):
    with pytest.raises(TypeError) as e:
        feature.to_dict(1)
    assert str(e.value) == "PyFeature.to_dict() takes 0 positional arguments but 1 was given"
