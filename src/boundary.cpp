#include "boundary.hpp"

#include <cstring>

#include "tamrel/error.hpp"
#include "tamrel/utf8.hpp"

namespace tamrel::py {

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw ErrorAlreadySet{};
}

namespace {

std::string type_qualname(PyObject* o) {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        if (const char* s = PyUnicode_AsUTF8(name.get())) return s;
    }
    PyErr_Clear();
    return Py_TYPE(o)->tp_name;
}

void set_internal_failure(const char* message) {
    PyObject* type = internal_failure_type();
    if (type == nullptr) return;
    if (message == nullptr || *message == '\0') message = "an internal failure occurred in the search engine";
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
    if (text) PyErr_SetObject(type, text.get());
}

}  // namespace

// ---------------------------------------------------------------- types

#ifdef PYPY_VERSION
namespace {

// PyPy's heap types accept subclasses and instance attributes whatever the
// flags say; these two hooks keep the classes closed there too.
PyObject* refuse_subclass(PyObject* type, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "type '%s' is not an acceptable base type",
                 reinterpret_cast<PyTypeObject*>(type)->tp_name);
    return nullptr;
}

PyMethodDef refuse_subclass_def = {"__init_subclass__", as_cfunction(refuse_subclass), METH_VARARGS | METH_KEYWORDS,
                                   nullptr};

// The attribute table of each class, for closed_setattro. Filled while the
// type is built, under the interpreter lock.
std::vector<std::pair<PyTypeObject*, PyGetSetDef*>>& getset_tables() {
    static std::vector<std::pair<PyTypeObject*, PyGetSetDef*>> tables;
    return tables;
}

// Setters are called straight from the class's own table: PyPy crashes when
// C code looks up one of its getset descriptors (the type's attribute, or
// PyObject_GenericSetAttr doing so).
int closed_setattro(PyObject* self, PyObject* name, PyObject* value) {
    const char* key = PyUnicode_AsUTF8(name);
    if (key == nullptr) return -1;
    const char* type_name = Py_TYPE(self)->tp_name;
    for (const auto& [type, table] : getset_tables()) {
        if (type != Py_TYPE(self)) continue;
        for (PyGetSetDef* def = table; def != nullptr && def->name != nullptr; ++def) {
            if (std::strcmp(def->name, key) != 0) continue;
            if (def->set != nullptr) return def->set(self, value, def->closure);
            PyErr_Format(PyExc_AttributeError, "attribute '%s' of '%s' objects is not writable", key, type_name);
            return -1;
        }
    }
    if (PyObject_HasAttr(reinterpret_cast<PyObject*>(Py_TYPE(self)), name)) {
        PyErr_Format(PyExc_AttributeError, "'%s' object attribute '%s' is read-only", type_name, key);
    } else {
        PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%s'", type_name, key);
    }
    return -1;
}

}  // namespace
#endif

namespace {

// A class whose name carries no module is created on purpose; the
// interpreter's deprecation warning about it (an error under -W error) is
// silenced for the duration of the call.
Ref from_spec_without_module(PyType_Spec& type_spec) {
    Ref warnings = Ref::steal(PyImport_ImportModule("warnings"));
    if (!warnings) return Ref();
    Ref context = Ref::steal(PyObject_CallMethod(warnings.get(), "catch_warnings", nullptr));
    if (!context) return Ref();
    Ref entered = Ref::steal(PyObject_CallMethod(context.get(), "__enter__", nullptr));
    if (!entered) return Ref();
    Ref filtered = Ref::steal(
        PyObject_CallMethod(warnings.get(), "simplefilter", "(sO)", "ignore", PyExc_DeprecationWarning));
    Ref type = filtered ? Ref::steal(PyType_FromSpec(&type_spec)) : Ref();
    PyObject *err_type, *err_value, *err_tb;
    PyErr_Fetch(&err_type, &err_value, &err_tb);
    Ref exited = Ref::steal(PyObject_CallMethod(context.get(), "__exit__", "(OOO)", Py_None, Py_None, Py_None));
    if (err_type != nullptr || !exited) {
        if (err_type != nullptr) PyErr_Restore(err_type, err_value, err_tb);
        return Ref();
    }
    return type;
}

}  // namespace

PyTypeObject* lazy_type(const ClassDef& def, PyTypeObject*& cache) {
    if (cache != nullptr) return cache;
    std::vector<PyType_Slot> slots = def.slots();
#ifdef PYPY_VERSION
    slots.push_back({Py_tp_setattro, reinterpret_cast<void*>(closed_setattro)});
#endif
    slots.push_back({0, nullptr});
    // Without Py_TPFLAGS_BASETYPE the class cannot be subclassed.
    PyType_Spec type_spec{def.spec_name, def.basicsize, 0, Py_TPFLAGS_DEFAULT, slots.data()};
    Ref type = std::strchr(def.spec_name, '.') ? Ref::steal(PyType_FromSpec(&type_spec))
                                                : from_spec_without_module(type_spec);
    if (!type) return nullptr;
#ifdef PYPY_VERSION
    Ref hook = Ref::steal(PyCFunction_New(&refuse_subclass_def, type.get()));
    if (!hook || PyObject_SetAttrString(type.get(), "__init_subclass__", hook.get()) < 0) return nullptr;
    for (const PyType_Slot& slot : slots) {
        if (slot.slot == Py_tp_getset) {
            getset_tables().emplace_back(reinterpret_cast<PyTypeObject*>(type.get()),
                                         static_cast<PyGetSetDef*>(slot.pfunc));
        }
    }
#endif
    cache = reinterpret_cast<PyTypeObject*>(type.release());
    return cache;
}

PyTypeObject* type_for_instance(const ClassDef& def, PyTypeObject* type) {
    if (type == nullptr) {
        PyErr_Print();
        fail(std::string("failed to create type object for ") + def.name);
    }
    return type;
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
    if (!name) return nullptr;
    PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
    return nullptr;
}

std::vector<PyType_Slot> base_slots(destructor dealloc_fn, const char* doc) {
    return {{Py_tp_dealloc, reinterpret_cast<void*>(dealloc_fn)},
            {Py_tp_doc, const_cast<char*>(doc)},
            {Py_tp_new, reinterpret_cast<void*>(no_constructor)}};
}

ReadBorrow::ReadBorrow(BorrowFlag& flag) : flag_(&flag) {
    if (flag.state < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
    ++flag.state;
}

WriteBorrow::WriteBorrow(BorrowFlag& flag) : flag_(flag) {
    if (flag.state != 0) raise(PyExc_RuntimeError, "Already borrowed");
    flag.state = -1;
}

// ---------------------------------------------------------------- errors

PyObject* internal_failure_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "vornik_tamrel.InternalFailure",
            "An internal failure of the search engine (a broken invariant or a failed check).",
            PyExc_BaseException, nullptr);
    }
    return type;
}

void translate_exception() {
    try {
        throw;
    } catch (const ErrorAlreadySet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_internal_failure(e.what());
    } catch (...) {
        set_internal_failure(nullptr);
    }
}

void raise_cannot_convert(PyObject* obj, const char* target) {
    std::string message = "'";
    message.append(type_qualname(obj)).append("' object cannot be converted to '").append(target).append("'");
    raise(PyExc_TypeError, message);
}

void prefix_argument_error(const char* name) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, tb);
        return;
    }
    PyErr_NormalizeException(&type, &value, &tb);
    Ref old_type = Ref::steal(type), old_value = Ref::steal(value), old_tb = Ref::steal(tb);
    Ref cause = Ref::steal(PyException_GetCause(old_value.get()));
    Ref text = Ref::steal(PyObject_Str(old_value.get()));
    if (!text) return;
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return;
    Ref replaced = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!replaced) return;
    if (cause) PyException_SetCause(replaced.get(), cause.release());
    PyErr_SetObject(PyExc_TypeError, replaced.get());
}

// ---------------------------------------------------------------- arguments

namespace {

std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() > 2 ? ", " : " ";
        if (i > 0 && i + 1 == names.size()) out += "and ";
        out.append("'").append(names[i]).append("'");
    }
    return out;
}

}  // namespace

Args::Args(const char* function, std::span<const Param> params, PyObject* args, PyObject* kwargs)
    : params_(params), values_(params.size(), nullptr) {
    const std::size_t given = args ? static_cast<std::size_t>(PyTuple_GET_SIZE(args)) : 0;
    if (given > params.size()) {
        std::size_t required = 0;
        for (const Param& p : params) required += p.required ? 1 : 0;
        std::string takes = required == params.size() ? std::to_string(params.size())
                                                      : "from " + std::to_string(required) + " to " +
                                                            std::to_string(params.size());
        bool plural = required != params.size() || params.size() != 1;
        raise(PyExc_TypeError, std::string(function) + "() takes " + takes + " positional argument" +
                                   (plural ? "s" : "") + " but " + std::to_string(given) +
                                   (given == 1 ? " was" : " were") + " given");
    }
    for (std::size_t i = 0; i < given; ++i) values_[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));

    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) raise(PyExc_TypeError, std::string(function) + "() keywords must be strings");
            const char* k = PyUnicode_AsUTF8(key);
            check(k != nullptr);
            std::size_t i = 0;
            while (i < params.size() && std::strcmp(params[i].name, k) != 0) ++i;
            if (i == params.size()) {
                raise(PyExc_TypeError, std::string(function) + "() got an unexpected keyword argument '" + k + "'");
            }
            if (values_[i] != nullptr) {
                raise(PyExc_TypeError, std::string(function) + "() got multiple values for argument '" + k + "'");
            }
            values_[i] = value;
        }
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (params[i].required && values_[i] == nullptr) missing.push_back(params[i].name);
    }
    if (!missing.empty()) {
        raise(PyExc_TypeError, std::string(function) + "() missing " + std::to_string(missing.size()) +
                                   " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                                   quoted_list(missing));
    }
}

float From<float>::convert(PyObject* o) { return static_cast<float>(From<double>::convert(o)); }

double From<double>::convert(PyObject* o) {
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) {
        // PyPy's float conversion does not fall back on __index__.
        if (!PyErr_ExceptionMatches(PyExc_TypeError) || !PyIndex_Check(o)) throw ErrorAlreadySet{};
        PyErr_Clear();
        Ref index = Ref::checked(PyNumber_Index(o));
        d = PyLong_AsDouble(index.get());
        check(!(d == -1.0 && PyErr_Occurred()));
    }
    return d;
}

bool From<bool>::convert(PyObject* o) {
    if (o == Py_True) return true;
    if (o == Py_False) return false;
    std::string_view tp = Py_TYPE(o)->tp_name;
    if (tp == "numpy.bool_" || tp == "numpy.bool") {
        int truth = PyObject_IsTrue(o);
        check(truth >= 0);
        return truth != 0;
    }
    raise_cannot_convert(o, "PyBool");
}

std::string From<std::string>::convert(PyObject* o) {
    if (!PyUnicode_Check(o)) raise_cannot_convert(o, "PyString");
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    check(s != nullptr);
    return std::string(s, static_cast<std::size_t>(n));
}

namespace {

[[noreturn]] void raise_out_of_range() { raise(PyExc_OverflowError, "out of range integral type conversion attempted"); }

}  // namespace

std::int64_t convert_signed(PyObject* o, std::int64_t lo, std::int64_t hi) {
    // Read through 64 bits whatever the width of a C long, so that the limits
    // and their message are the same on 32-bit and 64-bit machines.
    Ref index = Ref::checked(PyNumber_Index(o));
    long long v = PyLong_AsLongLong(index.get());
    check(!(v == -1 && PyErr_Occurred()));
    if (v < lo || v > hi) raise_out_of_range();
    return v;
}

std::uint64_t convert_unsigned(PyObject* o, std::uint64_t hi) {
    // Narrow unsigned types read as signed, so negatives are simply out of
    // range; 32-bit and word-sized ones refuse negatives with the
    // interpreter's own unsigned conversion error.
    if (hi < 0xFFFFFFFFu) return static_cast<std::uint64_t>(convert_signed(o, 0, static_cast<std::int64_t>(hi)));
    Ref index = Ref::checked(PyNumber_Index(o));
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    check(!(v == static_cast<unsigned long long>(-1) && PyErr_Occurred()));
    if (v > hi) raise_out_of_range();
    return v;
}

// ---------------------------------------------------------------- to Python

Ref str_lenient(std::string_view bytes) {
    return Ref::checked(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace"));
}

Ref str_strict(std::string_view bytes) {
    Utf8Check c = check_utf8(bytes);
    if (!c.ok) {
        if (c.error_len > 0) {
            raise(PyExc_UnicodeError, "invalid utf-8 sequence of " + std::to_string(c.error_len) +
                                          " bytes from index " + std::to_string(c.valid_up_to));
        }
        raise(PyExc_UnicodeError, "incomplete utf-8 byte sequence from index " + std::to_string(c.valid_up_to));
    }
    return Ref::checked(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict"));
}

void dict_set(PyObject* dict, const char* key, Ref value) { check(PyDict_SetItemString(dict, key, value.get()) == 0); }

}  // namespace tamrel::py
