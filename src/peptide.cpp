// PyPeptide: one caller-built peptide, held by value. Everything that crosses
// the boundary is a copy; only the mod_array setter changes an instance.
#include <string>

#include "classes.hpp"

namespace tamrel::py {
namespace {

PyObject* PyPeptide_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static constexpr Param params[] = {
            {"sequence"}, {"monoisotopic"}, {"modifications"}, {"nterm", false}, {"cterm", false}};
        Args a("PyPeptide.__new__", params, args, kwargs);
        std::string sequence = arg<std::string>(a, 0);
        float monoisotopic = arg<float>(a, 1);
        auto modifications = arg<std::optional<std::vector<float>>>(a, 2);
        auto nterm = arg<std::optional<float>>(a, 3);
        auto cterm = arg<std::optional<float>>(a, 4);
        return wrap(Peptide::from_user(std::move(sequence), monoisotopic, std::move(modifications), nterm, cterm));
    });
}

PyObject* PyPeptide_sequence(PyObject* self, void*) {
    return guarded([&] {
        auto peptide = read_self<Peptide>(self);
        return peptide->sequence ? str_strict(*peptide->sequence) : str_strict({});
    });
}

// Both `mod_array` and `modifications` read the combined array.
PyObject* PyPeptide_mod_array(PyObject* self, void*) {
    return guarded([&] {
        auto peptide = read_self<Peptide>(self);
        return list_of(peptide->combined_mod_array());
    });
}

int PyPeptide_set_mod_array(PyObject* self, PyObject* value, void*) {
    return guarded_status([&] {
        if (value == nullptr) raise(PyExc_AttributeError, "can't delete attribute");
        std::vector<float> combined;
        try {
            combined = From<std::vector<float>>::convert(value);
        } catch (const ErrorAlreadySet&) {
            prefix_argument_error("mods");
            throw;
        }
        auto* inst = reinterpret_cast<Instance<Peptide>*>(self);
        WriteBorrow guard(inst->borrow);
        Peptide& peptide = inst->value;
        const std::size_t n = peptide.length();
        if (combined.size() != n + 2) {
            raise(PyExc_ValueError, "mod_array length " + std::to_string(combined.size()) +
                                        " must equal sequence length + 2 (= " + std::to_string(n + 2) + ")");
        }
        peptide.nterm = combined.front();
        peptide.cterm = combined.back();
        peptide.modifications.assign(combined.begin() + 1, combined.end() - 1);
        peptide.unmodified = false;
    });
}

// An attribute has one docstring: the getter's.
PyGetSetDef PyPeptide_getset[] = {
    {"sequence", PyPeptide_sequence, nullptr, nullptr, nullptr},
    {"modifications", PyPeptide_mod_array, nullptr, nullptr, nullptr},
    {"mod_array", PyPeptide_mod_array, PyPeptide_set_mod_array,
     "Return combined mod array in the convention: [N-term, per-res..., C-term]", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

const ClassDef PyClass<Peptide>::def = {
    "PyPeptide", "vornik_tamrel.PyPeptide", sizeof(Instance<Peptide>), [] {
        auto slots = base_slots(dealloc<Peptide>,
                                "PyPeptide(sequence, monoisotopic, modifications, nterm=None, cterm=None)\n--\n\n");
        set_constructor(slots, PyPeptide_new);
        slots.push_back({Py_tp_getset, PyPeptide_getset});
        return slots;
    }};

}  // namespace tamrel::py
