// Module initialisation: registers the classes and `hello_py`, once per process.
#include "classes.hpp"

namespace tamrel::py {
namespace {

PyObject* hello_py(PyObject*, PyObject*) { return PyUnicode_FromString("Hello from the engine! \xF0\x9F\x8E\x89"); }

PyMethodDef hello_py_def = {"hello_py", hello_py, METH_NOARGS, "hello_py()\n--\n\n"};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_vornik_tamrel", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr};

// Appends `name` to the module's __all__ (created on first use), then binds it.
bool add(PyObject* module, const char* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    Ref text = Ref::steal(PyUnicode_FromString(name));
    return text && PyList_Append(all.get(), text.get()) == 0 && PyObject_SetAttrString(module, name, value) == 0;
}

template <class T>
bool add_class(PyObject* module) {
    PyTypeObject* type = type_of<T>();
    return type != nullptr && add(module, PyClass<T>::def.name, reinterpret_cast<PyObject*>(type));
}

PyObject* create_module() {
    Ref module = Ref::steal(PyModule_Create(&module_def));
    // PyPy leaves an empty module docstring unset.
    Ref doc = Ref::steal(PyUnicode_FromString(""));
    if (!module || !doc || PyObject_SetAttrString(module.get(), "__doc__", doc.get()) < 0) return nullptr;
    bool ok = add_class<SharedDatabase>(module.get()) && add_class<Peptide>(module.get()) &&
              add_class<Kind>(module.get()) && add_class<Tolerance>(module.get()) &&
              add_class<Precursor>(module.get()) && add_class<SharedSpectrum>(module.get()) &&
              add_class<ScorerSettings>(module.get()) && add_class<FeatureObject>(module.get());
    if (!ok) return nullptr;
    Ref modname = Ref::steal(PyUnicode_FromString("_vornik_tamrel"));
    Ref function = Ref::steal(PyCFunction_NewEx(&hello_py_def, module.get(), modname.get()));
    if (!function || !add(module.get(), "hello_py", function.get())) return nullptr;
    return module.release();
}

}  // namespace
}  // namespace tamrel::py

PyMODINIT_FUNC PyInit__vornik_tamrel() {
    static PyObject* module = nullptr;
    if (module == nullptr) {
        module = tamrel::py::create_module();
        if (module == nullptr) return nullptr;
    }
    Py_INCREF(module);
    return module;
}
