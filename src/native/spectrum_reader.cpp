// Spectrum files read in batches: `open_spectra` returns a reader (a capsule
// owning the core's SpectrumFile), `read_spectra` the next batch as a dict of
// buffers, or None at the end. The interpreter lock is released while
// parsing; a reader is used by one thread at a time.
#include <atomic>
#include <memory>
#include <utility>

#include "native/families.hpp"

namespace tamrel::py::native {
namespace {

constexpr const char* kCapsuleName = "vornik_tamrel._native.SpectrumReader";

struct Reader {
    std::unique_ptr<SpectrumFile> file;
    std::atomic<bool> busy{false};
};

void destroy_reader(PyObject* capsule) {
    delete static_cast<Reader*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

constexpr Param open_params[] = {{"path"}, {"max_peaks"}, {"min_mz"}, {"max_mz"}};

PyObject* open_spectra(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_input([&] {
        Args a("open_spectra", open_params, args, kwargs);
        const std::string path = arg<std::string>(a, 0);
        PeakSettings settings;
        settings.max_peaks = arg<std::uint32_t>(a, 1);
        settings.min_mz = arg<double>(a, 2);
        settings.max_mz = arg<double>(a, 3);
        auto reader = std::make_unique<Reader>();
        {
            AllowThreads unlocked;
            reader->file = SpectrumFile::open(path, settings);
        }
        Ref capsule = Ref::checked(PyCapsule_New(reader.get(), kCapsuleName, destroy_reader));
        reader.release();
        return capsule;
    });
}

constexpr Param read_params[] = {{"reader"}, {"max_spectra"}, {"peaks", false}};

Ref columns_dict(const SpectrumColumns& c, const char* format) {
    Ref dict = Ref::checked(PyDict_New());
    Ref ids = Ref::checked(PyList_New(static_cast<Py_ssize_t>(c.rows())));
    for (std::size_t i = 0; i < c.rows(); ++i) {
        const auto begin = static_cast<std::size_t>(c.id_offsets[i]);
        const auto end = static_cast<std::size_t>(c.id_offsets[i + 1]);
        Ref id = Ref::checked(PyUnicode_DecodeUTF8(c.ids.data() + begin, static_cast<Py_ssize_t>(end - begin), "replace"));
        PyList_SET_ITEM(ids.get(), static_cast<Py_ssize_t>(i), id.release());
    }
    dict_set(dict.get(), "ids", std::move(ids));
    dict_set(dict.get(), "format", Ref::checked(PyUnicode_FromString(format)));
    using Doubles = const std::vector<double>*;
    for (auto [key, column] : {std::pair<const char*, Doubles>{"scan_start_time", &c.scan_start_time},
                               {"precursor_mz", &c.precursor_mz}, {"precursor_intensity", &c.precursor_intensity},
                               {"window_lower", &c.window_lower}, {"window_upper", &c.window_upper},
                               {"ion_mobility", &c.ion_mobility}}) {
        set_buffer(dict.get(), key, *column);
    }
    using Floats = const std::vector<float>*;
    for (auto [key, column] : {std::pair<const char*, Floats>{"total_ion_current", &c.total_ion_current},
                               {"mass", &c.mass}, {"intensity", &c.intensity}}) {
        set_buffer(dict.get(), key, *column);
    }
    set_buffer(dict.get(), "charge", c.charge);
    set_buffer(dict.get(), "peak_offsets", c.peak_offsets);
    set_buffer(dict.get(), "present", c.present);
    return dict;
}

PyObject* read_spectra(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_input([&] {
        Args a("read_spectra", read_params, args, kwargs);
        auto* reader = static_cast<Reader*>(PyCapsule_GetPointer(a[0], kCapsuleName));
        check(reader != nullptr);
        const std::size_t max_spectra = arg<std::uint32_t>(a, 1);
        if (max_spectra == 0) raise(PyExc_ValueError, "max_spectra must be at least 1");
        if (reader->busy.exchange(true)) raise(PyExc_RuntimeError, "the spectrum file is being read by another thread");
        struct Release {
            Reader* r;
            ~Release() { r->busy = false; }
        } release{reader};
        const bool peaks = a[2] == nullptr || arg<bool>(a, 2);
        SpectrumColumns columns;
        bool more;
        {
            AllowThreads unlocked;
            reader->file->decode_peaks(peaks);
            more = reader->file->read(columns, max_spectra);
        }
        if (!more) return Ref::borrow(Py_None);
        return columns_dict(columns, reader->file->format());
    });
}

PyMethodDef methods[] = {
    {"open_spectra", as_cfunction(open_spectra), METH_VARARGS | METH_KEYWORDS,
     "open_spectra(path, max_peaks, min_mz, max_mz)\n--\n\nOpens an MGF or mzML file (optionally gzipped)."},
    {"read_spectra", as_cfunction(read_spectra), METH_VARARGS | METH_KEYWORDS,
     "read_spectra(reader, max_spectra, peaks=True)\n--\n\nThe next batch of MS2 spectra as a dict of buffers, or None; "
     "without `peaks`, their fields alone (no peaks, which go undecoded and unchecked)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_spectrum_reader(PyObject* module) { return PyModule_AddFunctions(module, methods) == 0; }

}  // namespace tamrel::py::native
