// Scorer: search settings; Scorer.score scores a batch of spectra given as
// columns and hands the results back as columns (buffers, not lists), with the
// interpreter lock released while the core scores.
#include <cmath>
#include <memory>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "native/buffers.hpp"
#include "native/records.hpp"
#include "tamrel/columns.hpp"

namespace tamrel::py::native {
namespace {

Tolerance tolerance_of(const std::string& unit, float minus, float plus, const char* what) {
    if (unit == "da") return Tolerance::da(minus, plus);
    if (unit == "ppm") return Tolerance::ppm(minus, plus);
    raise(PyExc_ValueError, std::string(what) + " unit must be 'da' or 'ppm', not '" + unit + "'");
}

PyObject* Scorer_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static constexpr Param params[] = {
            {"precursor_unit"},       {"precursor_minus"},      {"precursor_plus"},    {"fragment_unit"},
            {"fragment_minus"},       {"fragment_plus"},        {"wide_window"},       {"chimera"},
            {"report_psms"},          {"min_isotope_err"},      {"max_isotope_err"},   {"min_precursor_charge"},
            {"max_precursor_charge"}, {"min_matched_peaks"},    {"max_fragment_charge"}};
        Args a("Scorer.__new__", params, args, kwargs);
        ScorerSettings s;
        s.precursor_tol = tolerance_of(arg<std::string>(a, 0), arg<float>(a, 1), arg<float>(a, 2), "precursor");
        s.fragment_tol = tolerance_of(arg<std::string>(a, 3), arg<float>(a, 4), arg<float>(a, 5), "fragment");
        s.wide_window = arg<bool>(a, 6);
        s.chimera = arg<bool>(a, 7);
        s.report_psms = arg<std::uint32_t>(a, 8);
        s.min_isotope_err = arg<std::int8_t>(a, 9);
        s.max_isotope_err = arg<std::int8_t>(a, 10);
        s.min_precursor_charge = arg<std::uint8_t>(a, 11);
        s.max_precursor_charge = arg<std::uint8_t>(a, 12);
        s.min_matched_peaks = arg<std::uint16_t>(a, 13);
        s.max_fragment_charge = arg<std::optional<std::uint8_t>>(a, 14);
        s.annotate_matches = false;
        return wrap(ScorerRecord{s});
    });
}

// Spectrum i: one precursor (charge 0: unknown; NaN intensity, window bound
// or mobility: absent), peaks mass[peak_offsets[i]:peak_offsets[i + 1]]. The
// spectra's columns are the arguments from `first` on.
std::vector<SharedSpectrum> spectra_of(const Args& a, std::size_t first) {
    const std::vector<std::string> ids = arg<std::vector<std::string>>(a, first);
    const Buffer<std::uint32_t> file_id(a[first + 1], "file_id");
    const Buffer<float> rt(a[first + 2], "rt");
    const Buffer<float> precursor_mz(a[first + 3], "precursor_mz");
    const Buffer<std::uint8_t> charge(a[first + 4], "charge");
    const Buffer<float> precursor_intensity(a[first + 5], "precursor_intensity");
    const Buffer<float> window_lower(a[first + 6], "window_lower");
    const Buffer<float> window_upper(a[first + 7], "window_upper");
    const Buffer<float> ims(a[first + 8], "ims");
    const Buffer<float> tic(a[first + 9], "total_ion_current");
    const Buffer<std::int64_t> offsets(a[first + 10], "peak_offsets");
    const Buffer<float> mass(a[first + 11], "mass");
    const Buffer<float> intensity(a[first + 12], "intensity");
    const std::size_t n = ids.size();
    for (const auto& [name, size] : {std::pair{"file_id", file_id.size()}, {"rt", rt.size()},
                                     {"precursor_mz", precursor_mz.size()}, {"charge", charge.size()},
                                     {"precursor_intensity", precursor_intensity.size()},
                                     {"window_lower", window_lower.size()}, {"window_upper", window_upper.size()},
                                     {"ims", ims.size()}, {"total_ion_current", tic.size()}}) {
        require_length(name, size, n);
    }
    require_length("peak_offsets", offsets.size(), n + 1);
    require_length("intensity", intensity.size(), mass.size());
    if (offsets[0] != 0 || static_cast<std::uint64_t>(offsets[n]) != mass.size())
        raise(PyExc_ValueError, "peak_offsets must run from 0 to the number of peaks");
    std::vector<SharedSpectrum> spectra;
    spectra.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (offsets[i + 1] < offsets[i]) raise(PyExc_ValueError, "peak_offsets must not decrease");
        ProcessedSpectrum s;
        s.id = ids[i];
        s.file_id = file_id[i];
        s.scan_start_time = rt[i];
        Precursor p;
        p.mz = precursor_mz[i];
        if (charge[i] != 0) p.charge = charge[i];
        p.intensity = unless_nan(precursor_intensity[i]);
        if (!std::isnan(window_lower[i]) && !std::isnan(window_upper[i]))
            p.isolation_window = Tolerance::da(-window_lower[i], window_upper[i]);
        p.inverse_ion_mobility = unless_nan(ims[i]);
        s.precursors.push_back(p);
        s.total_ion_current = tic[i];
        for (auto k = static_cast<std::size_t>(offsets[i]); k < static_cast<std::size_t>(offsets[i + 1]); ++k)
            s.peaks.push_back(Peak{intensity[k], mass[k]});
        spectra.push_back(std::make_shared<const ProcessedSpectrum>(std::move(s)));
    }
    return spectra;
}

template <class T>
void set_column(PyObject* dict, const char* name, const std::vector<T>& values) {
    set_buffer(dict, name, values);
}

void set_column(PyObject* dict, const char* name, const std::vector<std::string>& values) {
    dict_set(dict, name, list_of(values));
}

// Modification rows: their masses end to end, and where each row starts (one
// offset more than rows) under "modification_offsets".
void set_column(PyObject* dict, const char* name, const std::vector<std::vector<float>>& rows) {
    std::vector<float> flat;
    std::vector<std::int64_t> offsets{0};
    offsets.reserve(rows.size() + 1);
    for (const auto& row : rows) {
        flat.insert(flat.end(), row.begin(), row.end());
        offsets.push_back(static_cast<std::int64_t>(flat.size()));
    }
    set_buffer(dict, name, flat);
    set_buffer(dict, "modification_offsets", offsets);
}

// Each scoring thread frees its scratch into an arena of its own, which would keep it for the whole
// search (about 30 MB of the scale search's peak): hand it back after every batch.
void release_scratch() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

Ref dict_of(const FeatureColumns& columns) {
    Ref dict = Ref::checked(PyDict_New());
#define TAMREL_COLUMN_OUT(type, name) set_column(dict.get(), #name, columns.name);
    TAMREL_FEATURE_COLUMNS(TAMREL_COLUMN_OUT)
#undef TAMREL_COLUMN_OUT
    return dict;
}

#define TAMREL_SPECTRUM_PARAMS                                                                      \
    {"ids"}, {"file_id"}, {"rt"}, {"precursor_mz"}, {"charge"}, {"precursor_intensity"},            \
        {"window_lower"}, {"window_upper"}, {"ims"}, {"total_ion_current"}, {"peak_offsets"}, {"mass"}, \
        {"intensity"}

PyObject* Scorer_score(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static constexpr Param params[] = {{"index"}, TAMREL_SPECTRUM_PARAMS};
        Args a("Scorer.score", params, args, kwargs);
        const ScorerSettings settings = read_self<ScorerRecord>(self)->settings;
        const SharedDatabase db = arg<ByRef<Index>>(a, 0)->db;
        const std::vector<SharedSpectrum> spectra = spectra_of(a, 1);
        FeatureColumns columns;
        {
            AllowThreads unlocked;
            columns = score_batch(settings, db, spectra);
            release_scratch();
        }
        return dict_of(columns);
    });
}

PyObject* Scorer_score_pair(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static constexpr Param params[] = {{"wider"}, {"index"}, TAMREL_SPECTRUM_PARAMS};
        Args a("Scorer.score_pair", params, args, kwargs);
        const ScorerSettings settings = read_self<ScorerRecord>(self)->settings;
        const ScorerSettings wider = arg<ScorerRecord>(a, 0).settings;
        const SharedDatabase db = arg<ByRef<Index>>(a, 1)->db;
        const std::vector<SharedSpectrum> spectra = spectra_of(a, 2);
        std::pair<FeatureColumns, FeatureColumns> columns;
        {
            AllowThreads unlocked;
            columns = score_batch_pair(settings, wider, db, spectra);
            release_scratch();
        }
        Ref first = dict_of(columns.first);
        Ref second = dict_of(columns.second);
        return Ref::checked(PyTuple_Pack(2, first.get(), second.get()));
    });
}

#undef TAMREL_SPECTRUM_PARAMS

PyMethodDef Scorer_methods[] = {
    {"score", as_cfunction(Scorer_score), METH_VARARGS | METH_KEYWORDS,
     "score($self, index, ids, file_id, rt, precursor_mz, charge, precursor_intensity, window_lower, "
     "window_upper, ims, total_ion_current, peak_offsets, mass, intensity)\n--\n\n"
     "Scores a batch of spectra given as columns; returns the engine's columns by name, in its order:\n"
     "numbers as bytes of their own width, spec_id and sequence as lists of str, modifications\n"
     "as float32 rows end to end (with modification_offsets, int64)."},
    {"score_pair", as_cfunction(Scorer_score_pair), METH_VARARGS | METH_KEYWORDS,
     "score_pair($self, wider, index, ids, file_id, rt, precursor_mz, charge, precursor_intensity, "
     "window_lower, window_upper, ims, total_ion_current, peak_offsets, mass, intensity)\n--\n\n"
     "score() of this scorer and of the Scorer `wider` over the same batch, as a pair of column dicts;\n"
     "where wider's precursor windows hold this one's, the fragments are counted once for both."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

bool add_scoring(PyObject* module) { return add_class<ScorerRecord>(module); }

}  // namespace tamrel::py::native

namespace tamrel::py {

const ClassDef PyClass<native::ScorerRecord>::def = {
    "Scorer", "vornik_tamrel._native.Scorer", sizeof(Instance<native::ScorerRecord>), [] {
        auto slots = base_slots(dealloc<native::ScorerRecord>,
                                "Scorer(precursor_unit, precursor_minus, precursor_plus, fragment_unit, "
                                "fragment_minus, fragment_plus, wide_window, chimera, report_psms, min_isotope_err, "
                                "max_isotope_err, min_precursor_charge, max_precursor_charge, min_matched_peaks, "
                                "max_fragment_charge)\n--\n\nSearch settings, as the engine's scorer takes them.");
        set_constructor(slots, native::Scorer_new);
        slots.push_back({Py_tp_methods, native::Scorer_methods});
        return slots;
    }};

}  // namespace tamrel::py
