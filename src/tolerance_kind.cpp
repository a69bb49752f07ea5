// PyTolerance and PyKind: opaque value tokens made by static constructors.
#include "classes.hpp"

namespace tamrel::py {
namespace {

template <Tolerance::Unit unit>
PyObject* PyTolerance_make(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static constexpr Param params[] = {{"minus"}, {"plus"}};
        Args a(unit == Tolerance::Unit::Da ? "PyTolerance.Da" : "PyTolerance.Ppm", params, args, kwargs);
        float minus = arg<float>(a, 0);
        float plus = arg<float>(a, 1);
        return wrap(Tolerance{unit, minus, plus});
    });
}

template <Kind kind>
PyObject* PyKind_make(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Args a(kind == Kind::B ? "PyKind.B" : "PyKind.Y", {}, args, kwargs);
        return wrap(kind);
    });
}

PyMethodDef PyTolerance_methods[] = {
    {"Da", as_cfunction(PyTolerance_make<Tolerance::Unit::Da>),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC, "Da(minus, plus)\n--\n\n"},
    {"Ppm", as_cfunction(PyTolerance_make<Tolerance::Unit::Ppm>),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC, "Ppm(minus, plus)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef PyKind_methods[] = {
    {"B", as_cfunction(PyKind_make<Kind::B>),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC, "B()\n--\n\n"},
    {"Y", as_cfunction(PyKind_make<Kind::Y>),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC, "Y()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

const ClassDef PyClass<Tolerance>::def = {
    "PyTolerance", "vornik_tamrel.PyTolerance", sizeof(Instance<Tolerance>), [] {
        auto slots = base_slots(dealloc<Tolerance>, "");
        slots.push_back({Py_tp_methods, PyTolerance_methods});
        return slots;
    }};

const ClassDef PyClass<Kind>::def = {"PyKind", "vornik_tamrel.PyKind", sizeof(Instance<Kind>), [] {
                                           auto slots = base_slots(dealloc<Kind>, "");
                                           slots.push_back({Py_tp_methods, PyKind_methods});
                                           return slots;
                                       }};

}  // namespace tamrel::py
