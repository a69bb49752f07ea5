// PyPrecursor and PyProcessedSpectrum: spectrum input records. A spectrum
// copies its peaks out of two caller buffers of native float32 and is then
// immutable and shared with the scoring calls that use it.
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "classes.hpp"

namespace tamrel::py {
namespace {

// ---------------------------------------------------------------- PyPrecursor

PyObject* PyPrecursor_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static constexpr Param params[] = {
            {"mz"}, {"charge", false}, {"intensity", false}, {"isolation_window", false}, {"inverse_ion_mobility", false}};
        Args a("PyPrecursor.__new__", params, args, kwargs);
        Precursor p;
        p.mz = arg<float>(a, 0);
        p.charge = arg<std::optional<std::uint8_t>>(a, 1);
        p.intensity = arg<std::optional<float>>(a, 2);
        p.isolation_window = arg<std::optional<Tolerance>>(a, 3);
        p.inverse_ion_mobility = arg<std::optional<float>>(a, 4);
        return wrap(p);
    });
}

PyObject* PyPrecursor_mz(PyObject* self, void*) {
    return guarded([&] { return to_py(read_self<Precursor>(self)->mz); });
}

PyObject* PyPrecursor_charge(PyObject* self, void*) {
    return guarded([&] { return to_py(read_self<Precursor>(self)->charge); });
}

PyObject* PyPrecursor_intensity(PyObject* self, void*) {
    return guarded([&] { return to_py(read_self<Precursor>(self)->intensity); });
}

PyObject* PyPrecursor_isolation_window(PyObject* self, void*) {
    return guarded([&] {
        auto p = read_self<Precursor>(self);
        return p->isolation_window ? wrap(*p->isolation_window) : Ref::borrow(Py_None);
    });
}

PyGetSetDef PyPrecursor_getset[] = {
    {"mz", PyPrecursor_mz, nullptr, nullptr, nullptr},
    {"charge", PyPrecursor_charge, nullptr, nullptr, nullptr},
    {"intensity", PyPrecursor_intensity, nullptr, nullptr, nullptr},
    {"isolation_window", PyPrecursor_isolation_window, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// ---------------------------------------------------------------- buffers

// A buffer view held until scope exit, on every path.
class BufferView {
public:
    explicit BufferView(PyObject* exporter) { check(PyObject_GetBuffer(exporter, &view_, PyBUF_FULL_RO) == 0); }
    ~BufferView() { PyBuffer_Release(&view_); }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    Py_buffer& view() { return view_; }
    std::size_t count() const { return static_cast<std::size_t>(view_.len / view_.itemsize); }
    const char* bytes() const { return static_cast<const char*>(view_.buf); }

private:
    Py_buffer view_{};
};

// "f" with an optional byte-order prefix that means native order.
bool is_native_f32_format(const char* format) {
    if (format == nullptr) return false;  // absent means unsigned bytes
    std::string_view f = format;
    if (f.size() == 2 && (f[0] == '@' || f[0] == '=' || f[0] == (std::endian::native == std::endian::little ? '<' : '>')))
        f.remove_prefix(1);
    return f == "f";
}

void require_f32(const Py_buffer& view) {
    if (view.shape == nullptr) raise(PyExc_BufferError, "shape is null");
    if (view.strides == nullptr) raise(PyExc_BufferError, "strides is null");
    if (view.itemsize != 4 || !is_native_f32_format(view.format))
        raise(PyExc_BufferError, "buffer contents are not compatible with f32");
    // An empty buffer is never read, so where it points does not matter: the
    // standard library's empty arrays point at an unaligned placeholder (or nowhere).
    if (view.len > 0 && reinterpret_cast<std::uintptr_t>(view.buf) % 4 != 0)
        raise(PyExc_BufferError, "buffer contents are insufficiently aligned for f32");
}

float float_at(const char* bytes, std::size_t i) {
    float v;
    std::memcpy(&v, bytes + i * sizeof(float), sizeof(float));
    return v;
}

std::vector<Peak> copy_peaks(PyObject* mz_array, PyObject* intensity_array) {
    BufferView mz(mz_array);
    require_f32(mz.view());
    BufferView intensity(intensity_array);
    require_f32(intensity.view());
    if (!PyBuffer_IsContiguous(&mz.view(), 'C') || !PyBuffer_IsContiguous(&intensity.view(), 'C'))
        raise(PyExc_ValueError, "mz_array and intensity_array must be C-contiguous float32 buffers");
    const std::size_t n = mz.count();
    if (intensity.count() != n) raise(PyExc_ValueError, "mz_array and intensity_array must be the same length");
    if (n > 0 && mz.bytes() == nullptr) raise(PyExc_ValueError, "Failed to get mz_array slice");
    if (n > 0 && intensity.bytes() == nullptr) raise(PyExc_ValueError, "Failed to get intensity_array slice");

    std::vector<Peak> peaks(n);
    for (std::size_t i = 0; i < n; ++i) {
        peaks[i].intensity = float_at(intensity.bytes(), i);
        peaks[i].mass = float_at(mz.bytes(), i);
    }
    return peaks;
}

// ---------------------------------------------------------------- PyProcessedSpectrum

PyObject* PyProcessedSpectrum_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static constexpr Param params[] = {{"id"},        {"file_id"},         {"scan_start_time"}, {"mz_array"},
                                           {"intensity_array"}, {"precursors"}, {"total_ion_current"}};
        Args a("PyProcessedSpectrum.__new__", params, args, kwargs);
        ProcessedSpectrum s;
        s.level = 2;
        s.id = arg<std::string>(a, 0);
        s.file_id = arg<std::uint32_t>(a, 1);
        s.scan_start_time = arg<float>(a, 2);
        PyObject* mz_array = arg<Object>(a, 3);
        PyObject* intensity_array = arg<Object>(a, 4);
        s.precursors = arg<std::vector<Precursor>>(a, 5);
        s.total_ion_current = arg<float>(a, 6);
        s.peaks = copy_peaks(mz_array, intensity_array);
        return wrap(SharedSpectrum(std::make_shared<const ProcessedSpectrum>(std::move(s))));
    });
}

PyObject* PyProcessedSpectrum_id(PyObject* self, void*) {
    return guarded([&] { return to_py((*read_self<SharedSpectrum>(self))->id); });
}

PyObject* PyProcessedSpectrum_peaks(PyObject* self, void*) {
    return guarded([&] {
        auto spectrum = read_self<SharedSpectrum>(self);
        return list_of((*spectrum)->peaks, [](const Peak& p) {
            Ref mass = to_py(p.mass);
            Ref intensity = to_py(p.intensity);
            return Ref::checked(PyTuple_Pack(2, mass.get(), intensity.get()));
        });
    });
}

PyObject* PyProcessedSpectrum_precursors(PyObject* self, void*) {
    return guarded([&] {
        auto spectrum = read_self<SharedSpectrum>(self);
        return list_of((*spectrum)->precursors, [](const Precursor& p) { return wrap(p); });
    });
}

PyGetSetDef PyProcessedSpectrum_getset[] = {
    {"id", PyProcessedSpectrum_id, nullptr, nullptr, nullptr},
    {"peaks", PyProcessedSpectrum_peaks, nullptr, nullptr, nullptr},
    {"precursors", PyProcessedSpectrum_precursors, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

const ClassDef PyClass<Precursor>::def = {
    "PyPrecursor", "vornik_tamrel.PyPrecursor", sizeof(Instance<Precursor>), [] {
        auto slots = base_slots(
            dealloc<Precursor>,
            "PyPrecursor(mz, charge=None, intensity=None, isolation_window=None, inverse_ion_mobility=None)\n--\n\n");
        set_constructor(slots, PyPrecursor_new);
        slots.push_back({Py_tp_getset, PyPrecursor_getset});
        return slots;
    }};

const ClassDef PyClass<SharedSpectrum>::def = {
    "PyProcessedSpectrum", "vornik_tamrel.PyProcessedSpectrum", sizeof(Instance<SharedSpectrum>), [] {
        auto slots = base_slots(dealloc<SharedSpectrum>,
                                "PyProcessedSpectrum(id, file_id, scan_start_time, mz_array, intensity_array, "
                                "precursors, total_ion_current)\n--\n\n");
        set_constructor(slots, PyProcessedSpectrum_new);
        slots.push_back({Py_tp_getset, PyProcessedSpectrum_getset});
        return slots;
    }};

}  // namespace tamrel::py
