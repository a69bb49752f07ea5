// PyFeatureArrays: 38 parallel columns, each read as a new list.
#include "feature_arrays.hpp"
#include "number_format.hpp"

#include <cstdio>
#include <iterator>

namespace tamrel::py {

FeatureColumns features_to_arrays(std::vector<Feature>&& features, SharedDatabase db) {
    FeatureColumns c;
    const std::size_t n = features.size();
#define TAMREL_RESERVE(type, name) c.name.reserve(n);
    TAMREL_FEATURE_COLUMNS(TAMREL_RESERVE)
#undef TAMREL_RESERVE
    for (Feature& f : features) {
        // Read in place: a copy of the peptide would only be dropped again.
        const Peptide* peptide = f.peptide_idx < db->peptides.size() ? &db->peptides[f.peptide_idx] : nullptr;
        c.file_id.push_back(f.file_id);
        c.spec_id.push_back(std::move(f.spec_id));
        c.psm_id.push_back(f.psm_id);
        c.rank.push_back(f.rank);
        if (peptide) {
            c.peptide_len.push_back(static_cast<std::uint32_t>(peptide->length()));
            c.missed_cleavages.push_back(f.missed_cleavages);
            c.sequence.push_back(lossy_utf8(peptide->sequence ? std::string_view(*peptide->sequence) : ""));
            c.modifications.push_back(peptide->combined_mod_array());
        } else {
            c.peptide_len.push_back(0);
            c.missed_cleavages.push_back(0);
            c.sequence.emplace_back();
            c.modifications.emplace_back();
        }
        c.expmass.push_back(f.expmass);
        c.calcmass.push_back(f.calcmass);
        c.charge.push_back(f.charge);
        c.delta_mass.push_back(f.delta_mass);
        c.isotope_error.push_back(f.isotope_error);
        c.average_ppm.push_back(f.average_ppm);
        c.hyperscore.push_back(f.hyperscore);
        c.delta_next.push_back(f.delta_next);
        c.delta_best.push_back(f.delta_best);
        c.poisson.push_back(f.poisson);
        c.discriminant_score.push_back(f.discriminant_score);
        c.matched_peaks.push_back(f.matched_peaks);
        c.matched_intensity_pct.push_back(f.matched_intensity_pct);
        c.longest_b.push_back(f.longest_b);
        c.longest_y.push_back(f.longest_y);
        c.longest_y_pct.push_back(f.longest_y_pct);
        c.scored_candidates.push_back(f.scored_candidates);
        c.ms2_intensity.push_back(f.ms2_intensity);
        c.rt.push_back(f.rt);
        c.aligned_rt.push_back(f.aligned_rt);
        c.predicted_rt.push_back(f.predicted_rt);
        c.delta_rt_model.push_back(f.delta_rt_model);
        c.ims.push_back(f.ims);
        c.predicted_ims.push_back(f.predicted_ims);
        c.delta_ims_model.push_back(f.delta_ims_model);
        c.label.push_back(f.label);
        c.spectrum_q.push_back(f.spectrum_q);
        c.peptide_q.push_back(f.peptide_q);
        c.protein_q.push_back(f.protein_q);
        c.posterior_error.push_back(f.posterior_error);
    }
    std::vector<Feature>().swap(features);
    return c;
}

namespace {

Ref column_to_py(const std::vector<std::vector<float>>& column) {
    return list_of(column, [](const std::vector<float>& row) { return list_of(row); });
}

template <class T>
Ref column_to_py(const std::vector<T>& column) {
    return list_of(column);
}

#define TAMREL_GETTER(type, name)                                  \
    PyObject* PyFeatureArrays_get_##name(PyObject* self, void*) {  \
        return guarded([&] {                                       \
            auto self_ = read_self<FeatureColumns>(self);          \
            return column_to_py(self_->name);                      \
        });                                                        \
    }
TAMREL_FEATURE_COLUMNS(TAMREL_GETTER)
#undef TAMREL_GETTER

PyGetSetDef PyFeatureArrays_getset[] = {
#define TAMREL_GETSET(type, name) {#name, PyFeatureArrays_get_##name, nullptr, "", nullptr},
    TAMREL_FEATURE_COLUMNS(TAMREL_GETSET)
#undef TAMREL_GETSET
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

constexpr const char* kColumnNames[] = {
#define TAMREL_NAME(type, name) #name,
    TAMREL_FEATURE_COLUMNS(TAMREL_NAME)
#undef TAMREL_NAME
};

template <class T>
void append_moved(std::vector<T>& to, std::vector<T>& from) {
    to.reserve(to.size() + from.size());
    to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
}

// The writer borrow of self is taken before `other` is read, so
// `a.extend(a)` fails on the reader borrow and changes nothing.
PyObject* PyFeatureArrays_extend(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static constexpr Param params[] = {{"other"}};
        Args a("PyFeatureArrays.extend", params, args, kwargs);
        auto* inst = reinterpret_cast<Instance<FeatureColumns>*>(self);
        WriteBorrow guard(inst->borrow);
        FeatureColumns other = arg<FeatureColumns>(a, 0);
#define TAMREL_APPEND(type, name) append_moved(inst->value.name, other.name);
        TAMREL_FEATURE_COLUMNS(TAMREL_APPEND)
#undef TAMREL_APPEND
        return Ref::borrow(Py_None);
    });
}

// The fixed column list: it does not depend on the values stored.
PyObject* PyFeatureArrays_get_column_names(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Args a("PyFeatureArrays.get_column_names", {}, args, kwargs);
        auto self_ = read_self<FeatureColumns>(self);
        Ref list = Ref::checked(PyList_New(std::size(kColumnNames)));
        for (std::size_t i = 0; i < std::size(kColumnNames); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Ref::checked(PyUnicode_FromString(kColumnNames[i])).release());
        }
        return list;
    });
}

// A double-quoted string with quotes, backslashes and control characters escaped.
std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        char hex[16];
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    std::snprintf(hex, sizeof hex, "\\u{%x}", c);
                    out += hex;
                } else if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) < 0xA0) {
                    // U+0080..U+009F, the C1 controls (the text is valid UTF-8)
                    std::snprintf(hex, sizeof hex, "\\u{%x}", static_cast<unsigned char>(s[i + 1]));
                    out += hex;
                    ++i;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

template <class T, class F>
std::string sample(const std::vector<T>& column, std::size_t k, F&& format) {
    std::string out = "[";
    for (std::size_t i = 0; i < k; ++i) {
        if (i > 0) out += ", ";
        out += format(column[i]);
    }
    return out + "]";
}

PyObject* PyFeatureArrays_repr(PyObject* self) {
    return guarded([&] {
        auto self_ = read_self<FeatureColumns>(self);
        const FeatureColumns& c = *self_;
        const std::size_t n = c.file_id.size();
        const std::size_t k = std::min<std::size_t>(n, 3);
        // Columns are not checked against each other: a short one limits its own sample.
        std::string text = "PyFeatureArrays(\n\tFeatures: " + std::to_string(n) +
                           ",\n\tSample Sequence: " + sample(c.sequence, std::min(k, c.sequence.size()), quoted) +
                           ",\n\tSample Hyperscore: " +
                           sample(c.hyperscore, std::min(k, c.hyperscore.size()), [](double v) { return format_shortest(v); }) +
                           ",\n\tSample Charge: " +
                           sample(c.charge, std::min(k, c.charge.size()), [](std::uint8_t v) { return std::to_string(v); }) +
                           "\n)";
        return Ref::checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

PyMethodDef PyFeatureArrays_methods[] = {
    {"extend", as_cfunction(PyFeatureArrays_extend), METH_VARARGS | METH_KEYWORDS,
     "extend($self, other)\n--\n\nExtends this PyFeatureArrays object with the contents of another,\n"
     "concatenating every column efficiently in native code."},
    {"get_column_names", as_cfunction(PyFeatureArrays_get_column_names), METH_VARARGS | METH_KEYWORDS,
     "get_column_names($self)\n--\n\nReturns a list of all column names (field names) available in this struct."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

const ClassDef PyClass<FeatureColumns>::def = {
    "PyFeatureArrays", "PyFeatureArrays", sizeof(Instance<FeatureColumns>), [] {
        auto slots = base_slots(dealloc<FeatureColumns>,
                                "A columnar representation of many PyFeature objects, optimized for zero-copy\n"
                                "transfer to Python's data analysis libraries (e.g., Polars or Pandas).");
        slots.push_back({Py_tp_getset, PyFeatureArrays_getset});
        slots.push_back({Py_tp_methods, PyFeatureArrays_methods});
        slots.push_back({Py_tp_repr, reinterpret_cast<void*>(PyFeatureArrays_repr)});
        return slots;
    }};

}  // namespace tamrel::py
