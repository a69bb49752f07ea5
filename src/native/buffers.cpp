#include "native/buffers.hpp"

#include <bit>
#include <cstdint>
#include <string_view>
#include <type_traits>

namespace tamrel::py::native {

namespace {

// The format's item letter, with a prefix that means native order dropped;
// 0 for a prefix that names the other order, or a composite format.
char item_letter(const char* format) {
    std::string_view f = format ? format : "B";  // absent means unsigned bytes
    const char native = std::endian::native == std::endian::little ? '<' : '>';
    if (f.size() == 2 && (f[0] == '@' || f[0] == '=' || f[0] == native)) f.remove_prefix(1);
    return f.size() == 1 ? f[0] : 0;
}

template <class T>
const char* description() {
    if constexpr (std::is_floating_point_v<T>) return sizeof(T) == 4 ? "float32" : "float64";
    else if constexpr (std::is_signed_v<T>) return sizeof(T) == 8 ? "int64" : "int32";
    else return sizeof(T) == 1 ? "uint8" : "uint32";
}

}  // namespace

template <class T>
bool holds(const char* format, Py_ssize_t itemsize) {
    if (itemsize != static_cast<Py_ssize_t>(sizeof(T))) return false;
    const char letter = item_letter(format);
    if constexpr (std::is_floating_point_v<T>) return letter == (sizeof(T) == 4 ? 'f' : 'd');
    else if constexpr (std::is_signed_v<T>) return letter != 0 && std::string_view("bhilq").find(letter) != std::string_view::npos;
    else return letter != 0 && std::string_view("BHILQ").find(letter) != std::string_view::npos;
}

template <class T>
Buffer<T>::Buffer(PyObject* exporter, const char* name) {
    if (PyObject_GetBuffer(exporter, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
        PyErr_Clear();
        raise(PyExc_TypeError, std::string("argument '") + name + "': expected a contiguous buffer of " + description<T>());
    }
    const bool aligned = view_.len == 0 || reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(T) == 0;
    if (!holds<T>(view_.format, view_.itemsize) || !aligned) {
        PyBuffer_Release(&view_);
        raise(PyExc_TypeError, std::string("argument '") + name + "': expected a contiguous buffer of " + description<T>());
    }
}

template class Buffer<float>;
template class Buffer<double>;
template class Buffer<std::uint8_t>;
template class Buffer<std::uint32_t>;
template class Buffer<std::int64_t>;

void require_length(const char* name, std::size_t n, std::size_t expected) {
    if (n != expected) {
        raise(PyExc_ValueError, std::string(name) + " has " + std::to_string(n) + " entries, expected " +
                                    std::to_string(expected));
    }
}

}  // namespace tamrel::py::native
