// PyFragments: the read-only view of one match's fragment annotations.
#include "fragments.hpp"

namespace tamrel::py {
namespace {

Ref kind_names(const std::vector<Kind>& kinds) {
    return list_of(kinds, [](Kind k) {
        const char letter = kind_letter(k);
        return Ref::checked(PyUnicode_FromStringAndSize(&letter, 1));
    });
}

template <auto Member>
PyObject* PyFragments_get(PyObject* self, void*) {
    return guarded([&] {
        auto self_ = read_self<Fragments>(self);
        return list_of((*self_).*Member);
    });
}

PyObject* PyFragments_get_kinds(PyObject* self, void*) {
    return guarded([&] {
        auto self_ = read_self<Fragments>(self);
        return kind_names(self_->kinds);
    });
}

PyObject* PyFragments_to_dict(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Args a("PyFragments.to_dict", {}, args, kwargs);
        auto self_ = read_self<Fragments>(self);
        return fragments_dict(*self_);
    });
}

PyGetSetDef PyFragments_getset[] = {
    {"charges", PyFragments_get<&Fragments::charges>, nullptr, "", nullptr},
    {"kinds", PyFragments_get_kinds, nullptr, "", nullptr},
    {"fragment_ordinals", PyFragments_get<&Fragments::fragment_ordinals>, nullptr, "", nullptr},
    {"intensities", PyFragments_get<&Fragments::intensities>, nullptr, "", nullptr},
    {"mz_calculated", PyFragments_get<&Fragments::mz_calculated>, nullptr, "", nullptr},
    {"mz_experimental", PyFragments_get<&Fragments::mz_experimental>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef PyFragments_methods[] = {
    {"to_dict", as_cfunction(PyFragments_to_dict), METH_VARARGS | METH_KEYWORDS,
     "to_dict($self)\n--\n\nOptional helper: return as Python dict for easier pandas conversion"},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

Ref fragments_dict(const Fragments& fragments) {
    Ref dict = Ref::checked(PyDict_New());
    dict_set(dict.get(), "charges", list_of(fragments.charges));
    dict_set(dict.get(), "kinds", kind_names(fragments.kinds));
    dict_set(dict.get(), "fragment_ordinals", list_of(fragments.fragment_ordinals));
    dict_set(dict.get(), "intensities", list_of(fragments.intensities));
    dict_set(dict.get(), "mz_calculated", list_of(fragments.mz_calculated));
    dict_set(dict.get(), "mz_experimental", list_of(fragments.mz_experimental));
    return dict;
}

const ClassDef PyClass<Fragments>::def = {
    "PyFragments", "vornik_tamrel.PyFragments", sizeof(Instance<Fragments>), [] {
        auto slots = base_slots(dealloc<Fragments>, "");
        slots.push_back({Py_tp_getset, PyFragments_getset});
        slots.push_back({Py_tp_methods, PyFragments_methods});
        return slots;
    }};

}  // namespace tamrel::py
