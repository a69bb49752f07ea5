// The Python boundary toolkit: owned references, the per-object borrow state,
// instance layout and lazily built heap types, argument binding and
// conversion, and the one place where C++ failures become Python exceptions.
// Written against the C API that both CPython and PyPy's cpyext offer (3.9).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tamrel/error.hpp"

namespace tamrel::py {

// Thrown after a Python exception has been set; unwinds to the entry wrapper.
struct ErrorAlreadySet {};

[[noreturn]] void raise(PyObject* type, const std::string& message);
// Throws ErrorAlreadySet when `ok` is false (a Python error is pending).
inline void check(bool ok) {
    if (!ok) throw ErrorAlreadySet{};
}

// A move-only owning reference.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* o) { return Ref(o); }
    static Ref borrow(PyObject* o) {
        Py_XINCREF(o);
        return Ref(o);
    }
    // Steals a new reference and throws when it is null (an error is set).
    static Ref checked(PyObject* o) {
        check(o != nullptr);
        return Ref(o);
    }
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(obj_);
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const { return obj_; }
    PyObject* release() { return std::exchange(obj_, nullptr); }
    explicit operator bool() const { return obj_ != nullptr; }

private:
    explicit Ref(PyObject* o) : obj_(o) {}
    PyObject* obj_ = nullptr;
};

// Releases the interpreter lock for the lifetime of the guard.
class AllowThreads {
public:
    AllowThreads() : state_(PyEval_SaveThread()) {}
    ~AllowThreads() { PyEval_RestoreThread(state_); }
    AllowThreads(const AllowThreads&) = delete;
    AllowThreads& operator=(const AllowThreads&) = delete;

private:
    PyThreadState* state_;
};

// ---------------------------------------------------------------- instances

// Borrow state of one instance: 0 free, n > 0 readers, -1 one writer.
// Only changed with the interpreter lock held.
struct BorrowFlag {
    long state = 0;
};

template <class T>
struct Instance {
    PyObject_HEAD
    BorrowFlag borrow;
    T value;
};

// Registration data of one class, and its type object built on first use.
struct ClassDef {
    const char* name;       // "PyFeature"
    const char* spec_name;  // "vornik_tamrel.PyFeature" (module prefix shows as __module__)
    int basicsize;
    std::vector<PyType_Slot> (*slots)();
};

// The cached type object, or null with a Python error set when building failed.
PyTypeObject* lazy_type(const ClassDef& def, PyTypeObject*& cache);

// Each wrapped record names its Python class through this trait (classes.hpp).
template <class T>
struct PyClass;

template <class T>
PyTypeObject* type_of() {
    static PyTypeObject* cache = nullptr;
    return lazy_type(PyClass<T>::def, cache);
}

// The type object for a result about to be created; an internal failure when
// it cannot be built.
PyTypeObject* type_for_instance(const ClassDef& def, PyTypeObject* type);

template <class T>
Ref wrap(T value) {
    PyTypeObject* type = type_for_instance(PyClass<T>::def, type_of<T>());
    PyObject* self = PyType_GenericAlloc(type, 0);
    check(self != nullptr);
    auto* inst = reinterpret_cast<Instance<T>*>(self);
    inst->borrow = BorrowFlag{};
    new (&inst->value) T(std::move(value));
    return Ref::steal(self);
}

template <class T>
void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<Instance<T>*>(self)->value.~T();
    type->tp_free(self);
    Py_DECREF(type);
}

template <class T>
Instance<T>* instance_of(PyObject* o) {
    return PyObject_TypeCheck(o, type_of<T>()) ? reinterpret_cast<Instance<T>*>(o) : nullptr;
}

// Scoped reader and writer borrows.
class ReadBorrow {
public:
    explicit ReadBorrow(BorrowFlag& flag);
    ~ReadBorrow() { --flag_->state; }
    ReadBorrow(const ReadBorrow&) = delete;
    ReadBorrow& operator=(const ReadBorrow&) = delete;

private:
    BorrowFlag* flag_;
};

class WriteBorrow {
public:
    explicit WriteBorrow(BorrowFlag& flag);
    ~WriteBorrow() { flag_.state = 0; }
    WriteBorrow(const WriteBorrow&) = delete;
    WriteBorrow& operator=(const WriteBorrow&) = delete;

private:
    BorrowFlag& flag_;
};

// A reader-borrowed instance held for the duration of a call.
template <class T>
class Borrowed {
public:
    Borrowed(PyObject* obj, Instance<T>* inst) : obj_(Ref::borrow(obj)), guard_(inst->borrow), inst_(inst) {}
    const T& operator*() const { return inst_->value; }
    const T* operator->() const { return &inst_->value; }
    PyObject* object() const { return obj_.get(); }

private:
    Ref obj_;
    ReadBorrow guard_;
    Instance<T>* inst_;
};

// The record of `self` under a reader borrow (getters and ordinary methods).
template <class T>
Borrowed<T> read_self(PyObject* self) {
    return Borrowed<T>(self, reinterpret_cast<Instance<T>*>(self));
}

// ---------------------------------------------------------------- errors

// Runs `body` (returning a Ref) and turns every C++ failure into a Python
// exception; no C++ exception ever unwinds into the interpreter.
void translate_exception();

template <class F>
PyObject* guarded(F&& body) noexcept {
    tamrel::reserve_exception_state();
    try {
        return body().release();
    } catch (...) {
        translate_exception();
        return nullptr;
    }
}

template <class F>
int guarded_status(F&& body) noexcept {
    tamrel::reserve_exception_state();
    try {
        body();
        return 0;
    } catch (...) {
        translate_exception();
        return -1;
    }
}

// The internal-failure exception type (derived from BaseException).
PyObject* internal_failure_type();

// "'<type>' object cannot be converted to '<target>'"
[[noreturn]] void raise_cannot_convert(PyObject* obj, const char* target);

// Replaces a pending TypeError (exactly TypeError) by one prefixed with
// "argument '<name>': ", keeping its cause; other errors pass unchanged.
void prefix_argument_error(const char* name);

// ---------------------------------------------------------------- arguments

struct Param {
    const char* name;
    bool required = true;
};

// Arguments bound to a parameter list: borrowed references, null when omitted.
class Args {
public:
    Args(const char* function, std::span<const Param> params, PyObject* args, PyObject* kwargs);
    PyObject* operator[](std::size_t i) const { return values_[i]; }
    const char* name(std::size_t i) const { return params_[i].name; }

private:
    std::span<const Param> params_;
    std::vector<PyObject*> values_;
};

// Conversion of one Python value to a C++ value, by declared type.
template <class T>
struct From;

template <>
struct From<float> {
    static float convert(PyObject* o);
};
template <>
struct From<double> {
    static double convert(PyObject* o);
};
template <>
struct From<bool> {
    static bool convert(PyObject* o);
};
template <>
struct From<std::string> {
    static std::string convert(PyObject* o);
};

// Fixed-width integers: out-of-range values raise OverflowError
// "out of range integral type conversion attempted".
std::int64_t convert_signed(PyObject* o, std::int64_t lo, std::int64_t hi);
std::uint64_t convert_unsigned(PyObject* o, std::uint64_t hi);

template <class T>
    requires std::is_integral_v<T> && (!std::is_same_v<T, bool>)
struct From<T> {
    static T convert(PyObject* o) {
        if constexpr (std::is_signed_v<T>) {
            return static_cast<T>(convert_signed(o, std::numeric_limits<T>::min(), std::numeric_limits<T>::max()));
        } else {
            return static_cast<T>(convert_unsigned(o, std::numeric_limits<T>::max()));
        }
    }
};

template <class T>
struct From<std::optional<T>> {
    static std::optional<T> convert(PyObject* o) {
        if (o == nullptr || o == Py_None) return std::nullopt;
        return From<T>::convert(o);
    }
};

// Checks the list rules (not a str, a sequence) and calls `each` per element.
template <class F>
void for_each_in_sequence(PyObject* o, F&& each);

template <class T>
struct From<std::vector<T>> {
    static std::vector<T> convert(PyObject* o) {
        std::vector<T> out;
        for_each_in_sequence(o, [&](PyObject* item, Py_ssize_t n) {
            // Room for what the length claims, within reason: a sequence's
            // __len__ may claim billions and yield a few.
            if (out.empty()) out.reserve(std::min<std::size_t>(static_cast<std::size_t>(n), std::size_t{1} << 16));
            out.push_back(From<T>::convert(item));
        });
        return out;
    }
};

// A class instance by value: its record copied under a brief reader borrow.
template <class T>
    requires requires { PyClass<T>::def; }
struct From<T> {
    static T convert(PyObject* o) {
        Instance<T>* inst = instance_of<T>(o);
        if (inst == nullptr) raise_cannot_convert(o, PyClass<T>::def.name);
        ReadBorrow guard(inst->borrow);
        return inst->value;
    }
};

// A class instance by reference, reader-borrowed while the result lives.
template <class T>
struct ByRef {};

template <class T>
struct From<ByRef<T>> {
    static Borrowed<T> convert(PyObject* o) {
        Instance<T>* inst = instance_of<T>(o);
        if (inst == nullptr) raise_cannot_convert(o, PyClass<T>::def.name);
        return Borrowed<T>(o, inst);
    }
};

// A plain object, checked later by the callee.
struct Object {};
template <>
struct From<Object> {
    static PyObject* convert(PyObject* o) { return o; }
};

// Converts argument `i`, prefixing a TypeError with the parameter name.
template <class T>
auto arg(const Args& args, std::size_t i, const char* name = nullptr) {
    try {
        return From<T>::convert(args[i]);
    } catch (const ErrorAlreadySet&) {
        prefix_argument_error(name ? name : args.name(i));
        throw;
    }
}

// Converts argument `i`, or gives `fallback` when it was omitted.
template <class T>
T arg_or(const Args& args, std::size_t i, T fallback) {
    if (args[i] == nullptr) return fallback;
    return arg<T>(args, i);
}

// ---------------------------------------------------------------- to Python

inline Ref to_py(float v) { return Ref::checked(PyFloat_FromDouble(static_cast<double>(v))); }
inline Ref to_py(double v) { return Ref::checked(PyFloat_FromDouble(v)); }
inline Ref to_py(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
template <class T>
    requires std::is_integral_v<T> && std::is_signed_v<T>
Ref to_py(T v) {
    return Ref::checked(PyLong_FromLongLong(v));
}
template <class T>
    requires std::is_integral_v<T> && std::is_unsigned_v<T> && (!std::is_same_v<T, bool>)
Ref to_py(T v) {
    return Ref::checked(PyLong_FromUnsignedLongLong(v));
}
inline Ref to_py(const std::string& s) {
    return Ref::checked(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
// UTF-8 with every invalid sequence replaced by U+FFFD; never fails on data.
Ref str_lenient(std::string_view bytes);
// Strict UTF-8; raises the decoder's UnicodeError on invalid bytes.
Ref str_strict(std::string_view bytes);

template <class T>
Ref to_py(const std::optional<T>& v) {
    return v ? to_py(*v) : Ref::borrow(Py_None);
}

template <class Items, class F>  // any array with size() and operator[]
Ref list_of(const Items& items, F&& each) {
    Ref list = Ref::checked(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), each(items[i]).release());
    }
    return list;
}

template <class T>
Ref list_of(const std::vector<T>& items) {
    return list_of(items, [](const T& v) { return to_py(v); });
}

// Sets `key` in `dict` to a new value.
void dict_set(PyObject* dict, const char* key, Ref value);


// ---------------------------------------------------------------- templates

template <class F>
void for_each_in_sequence(PyObject* o, F&& each) {
    if (PyUnicode_Check(o)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(o)) raise_cannot_convert(o, "Sequence");
    Py_ssize_t n = PySequence_Size(o);
    check(n >= 0);
    Ref iter = Ref::checked(PyObject_GetIter(o));
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) each(item.get(), n);
    check(!PyErr_Occurred());
}

// A keyword-taking function in the slot of a method table.
template <class F>
PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// The slots every class shares: deallocation, plus a constructor that refuses
// ("No constructor defined for <Class>") unless the class supplies one.
std::vector<PyType_Slot> base_slots(destructor dealloc_fn, const char* doc);
PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*);

// Puts `new_fn` in place of the refusing constructor of `base_slots`.
inline void set_constructor(std::vector<PyType_Slot>& slots, newfunc new_fn) {
    for (PyType_Slot& slot : slots) {
        if (slot.slot == Py_tp_new) slot.pfunc = reinterpret_cast<void*>(new_fn);
    }
}

}  // namespace tamrel::py
