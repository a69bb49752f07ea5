// The internal module `vornik_tamrel._native`: what the package's search
// stages need beyond the engine's specified surface (file reading,
// digestion), with results handed out as buffers. Each family adds its
// functions to the module; failures of bad input become the module's
// InputError (a ValueError) carrying the core's message.
#pragma once

#include "boundary.hpp"
#include "tamrel/error.hpp"
#include "tamrel/spectrum_file.hpp"

namespace tamrel::py::native {

// The module's InputError and UnsupportedEncoding exception types.
PyObject* input_error_type();
PyObject* unsupported_encoding_type();

// Runs `body` like `guarded`, turning the core's input failures into the
// module's exceptions (messages decoded leniently: they quote file content).
template <class F>
PyObject* guarded_input(F&& body) noexcept;

// Adds a buffer (a bytes object holding `values`) under `key`.
template <class T>
void set_buffer(PyObject* dict, const char* key, const std::vector<T>& values) {
    dict_set(dict, key,
             Ref::checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                                    static_cast<Py_ssize_t>(values.size() * sizeof(T)))));
}

// Binds the class of record `T` as a module attribute under its name.
template <class T>
bool add_class(PyObject* module) {
    PyTypeObject* type = type_of<T>();
    return type != nullptr &&
           PyObject_SetAttrString(module, PyClass<T>::def.name, reinterpret_cast<PyObject*>(type)) == 0;
}

bool add_spectrum_reader(PyObject* module);
bool add_index(PyObject* module);    // index.cpp: the fragment index built from peptide columns
void dealloc_index(PyObject* self);  // index.cpp: frees the index without the interpreter lock
bool add_scoring(PyObject* module);  // scoring.cpp: spectrum batches scored into columns
bool add_digestion(PyObject* module);
bool add_evidence(PyObject* module);  // evidence.cpp: cross-correlation scores of scored rows

[[noreturn]] void raise_input_failure(PyObject* type, const char* message);

template <class F>
PyObject* guarded_input(F&& body) noexcept {
    return guarded([&]() -> Ref {
        try {
            return body();
        } catch (const tamrel::InputFailure& e) {
            raise_input_failure(input_error_type(), e.what());
        } catch (const tamrel::UnsupportedEncoding& e) {
            raise_input_failure(unsupported_encoding_type(), e.what());
        }
    });
}

}  // namespace tamrel::py::native
