// Fragment evidence: `xcorr_evidence(...)` computes the cross-correlation
// score of scored rows and its chance level from random ladders of each row's
// mass (tamrel/xcorr.hpp), with the interpreter lock released; given an index,
// also its chance level among the index's peptides around the row's mass.
#include <cmath>
#include <cstdint>

#include "native/buffers.hpp"
#include "native/records.hpp"
#include "tamrel/xcorr.hpp"

namespace tamrel::py::native {
namespace {

constexpr Param evidence_params[] = {
    {"peak_offsets"}, {"mass"},       {"intensity"},  {"row_spectrum"}, {"sequence"},
    {"modification_offsets"}, {"modifications"}, {"calcmass"}, {"charge"}, {"bin_width"},
    {"bin_offset"},   {"flank_bins"}, {"max_fragment_charge"}, {"null_ladders"}, {"index", false},
    {"tail_window", false}, {"tail_candidates", false}};

// Spectrum i's peaks are mass[peak_offsets[i]:peak_offsets[i + 1]].
std::vector<std::vector<Peak>> peaks_of(const Args& a) {
    const Buffer<std::int64_t> offsets(a[0], "peak_offsets");
    const Buffer<float> mass(a[1], "mass");
    const Buffer<float> intensity(a[2], "intensity");
    require_length("intensity", intensity.size(), mass.size());
    if (offsets.size() == 0) raise(PyExc_ValueError, "peak_offsets must hold one entry more than spectra");
    const std::size_t n = offsets.size() - 1;
    if (offsets[0] != 0 || static_cast<std::uint64_t>(offsets[n]) != mass.size())
        raise(PyExc_ValueError, "peak_offsets must run from 0 to the number of peaks");
    std::vector<std::vector<Peak>> spectra(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (offsets[i + 1] < offsets[i]) raise(PyExc_ValueError, "peak_offsets must not decrease");
        for (auto k = static_cast<std::size_t>(offsets[i]); k < static_cast<std::size_t>(offsets[i + 1]); ++k)
            spectra[i].push_back(Peak{intensity[k], mass[k]});
    }
    return spectra;
}

PyObject* xcorr_evidence(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Args a("xcorr_evidence", evidence_params, args, kwargs);
        const std::vector<std::vector<Peak>> spectra = peaks_of(a);
        const Buffer<std::int64_t> row_spectrum(a[3], "row_spectrum");
        const std::vector<std::string> sequences = arg<std::vector<std::string>>(a, 4);
        const Buffer<std::int64_t> mod_offsets(a[5], "modification_offsets");
        const Buffer<float> mod_buffer(a[6], "modifications");
        const Buffer<float> calcmass(a[7], "calcmass");
        const Buffer<std::uint8_t> charge(a[8], "charge");
        XcorrSettings settings;
        settings.bin_width = arg<float>(a, 9);
        settings.bin_offset = arg<float>(a, 10);
        settings.flank_bins = arg<std::uint32_t>(a, 11);
        settings.max_fragment_charge = arg<std::optional<std::uint8_t>>(a, 12);
        settings.null_ladders = arg<std::uint32_t>(a, 13);
        if (!(settings.bin_width > 0.0f) || settings.flank_bins == 0)
            raise(PyExc_ValueError, "bin_width and flank_bins must be positive");
        SharedDatabase db;
        if (a[14] != nullptr && a[14] != Py_None) db = arg<ByRef<Index>>(a, 14)->db;
        settings.tail_window = arg<std::optional<float>>(a, 15).value_or(0.0f);
        if (!(settings.tail_window >= 0.0f) || !std::isfinite(settings.tail_window))
            raise(PyExc_ValueError, "tail_window must be a finite number, at least 0");
        settings.tail_candidates = arg<std::optional<std::uint32_t>>(a, 16).value_or(settings.tail_candidates);
        if (settings.tail_candidates == 0) raise(PyExc_ValueError, "tail_candidates must be positive");
        const std::size_t n = row_spectrum.size();
        require_length("sequence", sequences.size(), n);
        require_length("calcmass", calcmass.size(), n);
        require_length("charge", charge.size(), n);
        require_length("modification_offsets", mod_offsets.size(), n + 1);
        if (mod_offsets[0] != 0 || static_cast<std::uint64_t>(mod_offsets[n]) != mod_buffer.size())
            raise(PyExc_ValueError, "modification_offsets must run from 0 to the number of modifications");
        // Copied: the callers' buffers may change while the lock is released.
        const std::vector<float> mods(mod_buffer.items().begin(), mod_buffer.items().end());
        std::vector<XcorrRow> rows(n);
        for (std::size_t i = 0; i < n; ++i) {
            if (row_spectrum[i] < 0 || static_cast<std::uint64_t>(row_spectrum[i]) >= spectra.size())
                raise(PyExc_ValueError, "row_spectrum " + std::to_string(row_spectrum[i]) + " names no spectrum");
            if (mod_offsets[i + 1] < mod_offsets[i]) raise(PyExc_ValueError, "modification_offsets must not decrease");
            const auto begin = static_cast<std::size_t>(mod_offsets[i]);
            const std::size_t count = static_cast<std::size_t>(mod_offsets[i + 1]) - begin;
            XcorrRow& row = rows[i];
            row.spectrum = static_cast<std::size_t>(row_spectrum[i]);
            row.charge = charge[i];
            row.peptide.sequence = sequences[i];
            row.peptide.mass = calcmass[i];
            // [N-terminal, one per residue, C-terminal]; anything else means unmodified.
            if (count == sequences[i].size() + 2) {
                row.peptide.nterm = mods[begin];
                row.peptide.modifications = std::span<const float>(mods.data() + begin + 1, sequences[i].size());
            }
        }
        std::vector<XcorrEvidence> found;
        {
            AllowThreads unlocked;
            found = xcorr_batch(spectra, rows, settings, db ? &db->peptides : nullptr);
        }
        std::vector<float> xcorr(n), log_p(n), z(n), tail_log_p(n);
        for (std::size_t i = 0; i < n; ++i) {
            xcorr[i] = found[i].xcorr;
            log_p[i] = found[i].log_p;
            z[i] = found[i].z;
            tail_log_p[i] = found[i].tail_log_p;
        }
        Ref dict = Ref::checked(PyDict_New());
        set_buffer(dict.get(), "xcorr", xcorr);
        set_buffer(dict.get(), "log_p", log_p);
        set_buffer(dict.get(), "z", z);
        set_buffer(dict.get(), "tail_log_p", tail_log_p);
        return dict;
    });
}

PyMethodDef methods[] = {
    {"xcorr_evidence", as_cfunction(xcorr_evidence), METH_VARARGS | METH_KEYWORDS,
     "xcorr_evidence(peak_offsets, mass, intensity, row_spectrum, sequence, modification_offsets, modifications, "
     "calcmass, charge, bin_width, bin_offset, flank_bins, max_fragment_charge, null_ladders, index=None, "
     "tail_window=None, tail_candidates=None)\n--\n\n"
     "Cross-correlation score of every row against its spectrum's peaks, with -log10 of its chance level and\n"
     "its z-score among random ladders of the row's mass, and -log10 of its chance level among the index's\n"
     "peptides within tail_window Da of the row's mass (at most tail_candidates of them, 1000 when None; NaN\n"
     "without an index); float32 buffers 'xcorr',\n"
     "'log_p', 'z' and 'tail_log_p'."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_evidence(PyObject* module) { return PyModule_AddFunctions(module, methods) == 0; }

}  // namespace tamrel::py::native
