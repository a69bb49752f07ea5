// Initialisation of the internal module `vornik_tamrel._native`.
#include "native/families.hpp"

#include <cstring>

namespace tamrel::py::native {

PyObject* input_error_type() {
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "vornik_tamrel._native.InputError", "An input file is corrupt, truncated or malformed; the message says where.",
        PyExc_ValueError, nullptr);
    return type;
}

PyObject* unsupported_encoding_type() {
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "vornik_tamrel._native.UnsupportedEncoding",
        "A binary array uses an encoding the native reader does not decode; the message is its accession.",
        PyExc_ValueError, nullptr);
    return type;
}

void raise_input_failure(PyObject* type, const char* message) {
    Ref text = Ref::checked(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
    PyErr_SetObject(type, text.get());
    throw ErrorAlreadySet{};
}

namespace {

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "vornik_tamrel._native",
                          "File reading, digestion, index and scoring for the search stages (internal).", -1, nullptr, nullptr,
                          nullptr, nullptr, nullptr};

PyObject* create_module() {
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    PyObject* input = input_error_type();
    PyObject* unsupported = unsupported_encoding_type();
    if (input == nullptr || unsupported == nullptr) return nullptr;
    if (PyObject_SetAttrString(module.get(), "InputError", input) < 0 ||
        PyObject_SetAttrString(module.get(), "UnsupportedEncoding", unsupported) < 0) {
        return nullptr;
    }
    if (!add_spectrum_reader(module.get()) || !add_digestion(module.get()) || !add_index(module.get()) ||
        !add_scoring(module.get()) || !add_evidence(module.get())) {
        return nullptr;
    }
    return module.release();
}

}  // namespace
}  // namespace tamrel::py::native

PyMODINIT_FUNC PyInit__native() {
    static PyObject* module = nullptr;
    if (module == nullptr) {
        module = tamrel::py::native::create_module();
        if (module == nullptr) return nullptr;
    }
    Py_INCREF(module);
    return module;
}
