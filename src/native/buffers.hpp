// Typed read-only views of caller buffers (bytes, array.array, memoryview,
// numpy arrays): the columns the package hands over instead of one object per row.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "native/families.hpp"

namespace tamrel::py::native {

// True when a buffer of `format` and `itemsize` holds native-order values of T.
template <class T>
bool holds(const char* format, Py_ssize_t itemsize);

// A contiguous buffer of T, held while the view lives. Raises TypeError
// "argument '<name>': expected a contiguous buffer of <what>" otherwise.
template <class T>
class Buffer {
public:
    Buffer(PyObject* exporter, const char* name);
    ~Buffer() { PyBuffer_Release(&view_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    std::span<const T> items() const { return {static_cast<const T*>(view_.buf), size()}; }
    std::size_t size() const { return static_cast<std::size_t>(view_.len / view_.itemsize); }
    const T& operator[](std::size_t i) const { return static_cast<const T*>(view_.buf)[i]; }

private:
    Py_buffer view_{};
};

// NaN stands for an absent value in the float columns.
inline std::optional<float> unless_nan(float v) {
    if (v != v) return std::nullopt;
    return v;
}

// Raises ValueError "<name> has <n> entries, expected <expected>" on a length mismatch.
void require_length(const char* name, std::size_t n, std::size_t expected);

}  // namespace tamrel::py::native
