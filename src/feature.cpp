// PyFeature: one match with a private copy of its peptide. Every getter builds
// new Python objects; only `peptide` can be replaced.
#include "fragments.hpp"
#include "number_format.hpp"

namespace tamrel::py {
namespace {

std::string_view sequence_bytes(const Peptide& p) {
    return p.sequence ? std::string_view(*p.sequence) : std::string_view();
}

std::string format_mods(const std::vector<float>& mods) {
    std::string out = "[";
    for (std::size_t i = 0; i < mods.size(); ++i) {
        if (i > 0) out += ", ";
        out += format_shortest(mods[i]);
    }
    return out + "]";
}

template <auto Member>
PyObject* PyFeature_get(PyObject* self, void*) {
    return guarded([&] {
        auto self_ = read_self<FeatureObject>(self);
        return to_py(self_->feature.*Member);
    });
}

PyObject* PyFeature_get_peptide(PyObject* self, void*) {
    return guarded([&] {
        auto self_ = read_self<FeatureObject>(self);
        return self_->peptide ? wrap(*self_->peptide) : Ref::borrow(Py_None);
    });
}

// The new value is converted (copied) first; only then is the feature
// borrowed exclusively, so a failed borrow leaves it unchanged.
int PyFeature_set_peptide(PyObject* self, PyObject* value, void*) {
    return guarded_status([&] {
        if (value == nullptr) raise(PyExc_AttributeError, "can't delete attribute");
        std::optional<Peptide> peptide;
        try {
            peptide = From<std::optional<Peptide>>::convert(value);
        } catch (const ErrorAlreadySet&) {
            prefix_argument_error("peptide");
            throw;
        }
        auto* inst = reinterpret_cast<Instance<FeatureObject>*>(self);
        WriteBorrow guard(inst->borrow);
        inst->value.peptide = std::move(peptide);
    });
}

Ref sequence_of(const FeatureObject& f) {
    return f.peptide ? str_lenient(sequence_bytes(*f.peptide)) : Ref::borrow(Py_None);
}

Ref modifications_of(const FeatureObject& f) {
    return f.peptide ? list_of(f.peptide->combined_mod_array()) : Ref::borrow(Py_None);
}

PyObject* PyFeature_get_sequence(PyObject* self, void*) {
    return guarded([&] { return sequence_of(*read_self<FeatureObject>(self)); });
}

PyObject* PyFeature_get_modifications(PyObject* self, void*) {
    return guarded([&] { return modifications_of(*read_self<FeatureObject>(self)); });
}

PyObject* PyFeature_get_fragments(PyObject* self, void*) {
    return guarded([&] {
        auto self_ = read_self<FeatureObject>(self);
        const auto& fragments = self_->feature.fragments;
        return fragments ? wrap(*fragments) : Ref::borrow(Py_None);
    });
}

PyObject* PyFeature_to_dict(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Args a("PyFeature.to_dict", {}, args, kwargs);
        auto self_ = read_self<FeatureObject>(self);
        const Feature& f = self_->feature;
        Ref d = Ref::checked(PyDict_New());
        PyObject* dict = d.get();
        dict_set(dict, "file_id", to_py(f.file_id));
        dict_set(dict, "spec_id", to_py(f.spec_id));
        dict_set(dict, "psm_id", to_py(f.psm_id));
        dict_set(dict, "rank", to_py(f.rank));
        dict_set(dict, "sequence", sequence_of(*self_));
        dict_set(dict, "modifications", modifications_of(*self_));
        dict_set(dict, "label", to_py(f.label));
        dict_set(dict, "hyperscore", to_py(f.hyperscore));
        dict_set(dict, "delta_mass", to_py(f.delta_mass));
        dict_set(dict, "matched_peaks", to_py(f.matched_peaks));
        dict_set(dict, "peptide_len", to_py(f.peptide_len));
        dict_set(dict, "expmass", to_py(f.expmass));
        dict_set(dict, "calcmass", to_py(f.calcmass));
        dict_set(dict, "charge", to_py(f.charge));
        dict_set(dict, "rt", to_py(f.rt));
        dict_set(dict, "aligned_rt", to_py(f.aligned_rt));
        dict_set(dict, "predicted_rt", to_py(f.predicted_rt));
        dict_set(dict, "delta_rt_model", to_py(f.delta_rt_model));
        dict_set(dict, "ims", to_py(f.ims));
        dict_set(dict, "predicted_ims", to_py(f.predicted_ims));
        dict_set(dict, "delta_ims_model", to_py(f.delta_ims_model));
        dict_set(dict, "isotope_error", to_py(f.isotope_error));
        dict_set(dict, "average_ppm", to_py(f.average_ppm));
        dict_set(dict, "delta_next", to_py(f.delta_next));
        dict_set(dict, "delta_best", to_py(f.delta_best));
        dict_set(dict, "longest_b", to_py(f.longest_b));
        dict_set(dict, "longest_y", to_py(f.longest_y));
        dict_set(dict, "longest_y_pct", to_py(f.longest_y_pct));
        dict_set(dict, "missed_cleavages", to_py(f.missed_cleavages));
        dict_set(dict, "matched_intensity_pct", to_py(f.matched_intensity_pct));
        dict_set(dict, "scored_candidates", to_py(f.scored_candidates));
        dict_set(dict, "poisson", to_py(f.poisson));
        dict_set(dict, "discriminant_score", to_py(f.discriminant_score));
        dict_set(dict, "posterior_error", to_py(f.posterior_error));
        dict_set(dict, "spectrum_q", to_py(f.spectrum_q));
        dict_set(dict, "peptide_q", to_py(f.peptide_q));
        dict_set(dict, "protein_q", to_py(f.protein_q));
        dict_set(dict, "ms2_intensity", to_py(f.ms2_intensity));
        dict_set(dict, "fragments", f.fragments ? fragments_dict(*f.fragments) : Ref::borrow(Py_None));
        return d;
    });
}

PyObject* PyFeature_repr(PyObject* self) {
    return guarded([&] {
        auto self_ = read_self<FeatureObject>(self);
        const Feature& f = self_->feature;
        const auto& p = self_->peptide;
        // Assembled as bytes and decoded once: the sequence is decoded
        // leniently, everything else is valid UTF-8 already.
        std::string text = "Feature(spec=";
        text.append(f.spec_id)
            .append(", peptide_idx=").append(std::to_string(f.peptide_idx))
            .append(", rank=").append(std::to_string(f.rank))
            .append(", seq=").append(p ? sequence_bytes(*p) : "<None>")
            .append(", mods=").append(p ? format_mods(p->combined_mod_array()) : "<None>")
            .append(", hyperscore=").append(format_fixed(f.hyperscore, 3))
            .append(", delta_mass=").append(format_fixed(f.delta_mass, 4))
            .append(", \n matched_peaks=").append(std::to_string(f.matched_peaks))
            .append(", isotope error=").append(format_plain(f.isotope_error))
            .append(", average_ppm=").append(format_fixed(f.average_ppm, 3))
            .append(", poisson=").append(format_fixed(f.poisson, 4))
            .append(")");
        return str_lenient(text);
    });
}

PyGetSetDef PyFeature_getset[] = {
    {"peptide", PyFeature_get_peptide, PyFeature_set_peptide, "", nullptr},
    {"sequence", PyFeature_get_sequence, nullptr, "", nullptr},
    {"modifications", PyFeature_get_modifications, nullptr, "", nullptr},
    {"hyperscore", PyFeature_get<&Feature::hyperscore>, nullptr, "", nullptr},
    {"delta_mass", PyFeature_get<&Feature::delta_mass>, nullptr, "", nullptr},
    {"rank", PyFeature_get<&Feature::rank>, nullptr, "", nullptr},
    {"matched_peaks", PyFeature_get<&Feature::matched_peaks>, nullptr, "", nullptr},
    {"peptide_idx", PyFeature_get<&Feature::peptide_idx>, nullptr, "", nullptr},
    {"psm_id", PyFeature_get<&Feature::psm_id>, nullptr, "", nullptr},
    {"peptide_len", PyFeature_get<&Feature::peptide_len>, nullptr, "", nullptr},
    {"spec_id", PyFeature_get<&Feature::spec_id>, nullptr, "", nullptr},
    {"file_id", PyFeature_get<&Feature::file_id>, nullptr, "", nullptr},
    {"label", PyFeature_get<&Feature::label>, nullptr, "", nullptr},
    {"expmass", PyFeature_get<&Feature::expmass>, nullptr, "", nullptr},
    {"calcmass", PyFeature_get<&Feature::calcmass>, nullptr, "", nullptr},
    {"charge", PyFeature_get<&Feature::charge>, nullptr, "", nullptr},
    {"rt", PyFeature_get<&Feature::rt>, nullptr, "", nullptr},
    {"aligned_rt", PyFeature_get<&Feature::aligned_rt>, nullptr, "", nullptr},
    {"predicted_rt", PyFeature_get<&Feature::predicted_rt>, nullptr, "", nullptr},
    {"delta_rt_model", PyFeature_get<&Feature::delta_rt_model>, nullptr, "", nullptr},
    {"ims", PyFeature_get<&Feature::ims>, nullptr, "", nullptr},
    {"predicted_ims", PyFeature_get<&Feature::predicted_ims>, nullptr, "", nullptr},
    {"delta_ims_model", PyFeature_get<&Feature::delta_ims_model>, nullptr, "", nullptr},
    {"isotope_error", PyFeature_get<&Feature::isotope_error>, nullptr, "", nullptr},
    {"average_ppm", PyFeature_get<&Feature::average_ppm>, nullptr, "", nullptr},
    {"delta_next", PyFeature_get<&Feature::delta_next>, nullptr, "", nullptr},
    {"delta_best", PyFeature_get<&Feature::delta_best>, nullptr, "", nullptr},
    {"longest_b", PyFeature_get<&Feature::longest_b>, nullptr, "", nullptr},
    {"longest_y", PyFeature_get<&Feature::longest_y>, nullptr, "", nullptr},
    {"longest_y_pct", PyFeature_get<&Feature::longest_y_pct>, nullptr, "", nullptr},
    {"missed_cleavages", PyFeature_get<&Feature::missed_cleavages>, nullptr, "", nullptr},
    {"matched_intensity_pct", PyFeature_get<&Feature::matched_intensity_pct>, nullptr, "", nullptr},
    {"scored_candidates", PyFeature_get<&Feature::scored_candidates>, nullptr, "", nullptr},
    {"poisson", PyFeature_get<&Feature::poisson>, nullptr, "", nullptr},
    {"discriminant_score", PyFeature_get<&Feature::discriminant_score>, nullptr, "", nullptr},
    {"posterior_error", PyFeature_get<&Feature::posterior_error>, nullptr, "", nullptr},
    {"spectrum_q", PyFeature_get<&Feature::spectrum_q>, nullptr, "", nullptr},
    {"peptide_q", PyFeature_get<&Feature::peptide_q>, nullptr, "", nullptr},
    {"protein_q", PyFeature_get<&Feature::protein_q>, nullptr, "", nullptr},
    {"ms2_intensity", PyFeature_get<&Feature::ms2_intensity>, nullptr, "", nullptr},
    {"fragments", PyFeature_get_fragments, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef PyFeature_methods[] = {
    {"to_dict", as_cfunction(PyFeature_to_dict), METH_VARARGS | METH_KEYWORDS, "to_dict($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

const ClassDef PyClass<FeatureObject>::def = {
    "PyFeature", "vornik_tamrel.PyFeature", sizeof(Instance<FeatureObject>), [] {
        auto slots = base_slots(dealloc<FeatureObject>, "");
        slots.push_back({Py_tp_getset, PyFeature_getset});
        slots.push_back({Py_tp_methods, PyFeature_methods});
        slots.push_back({Py_tp_repr, reinterpret_cast<void*>(PyFeature_repr)});
        return slots;
    }};

}  // namespace tamrel::py
