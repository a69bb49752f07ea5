// PyScorer: the immutable search settings. Its scoring methods live in
// scoring_entry.cpp; a Scorer is assembled from these settings per call.
#include "classes.hpp"

namespace tamrel::py {
namespace {

PyObject* PyScorer_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static constexpr Param params[] = {
            {"precursor_tol"},          {"fragment_tol"},           {"wide_window", false},
            {"chimera", false},         {"report_psms", false},     {"min_isotope_err", false},
            {"max_isotope_err", false}, {"min_precursor_charge", false}, {"max_precursor_charge", false},
            {"min_matched_peaks", false}, {"annotate_matches", false}, {"max_fragment_charge", false}};
        Args a("PyScorer.__new__", params, args, kwargs);
        ScorerSettings s;
        s.precursor_tol = arg<Tolerance>(a, 0);
        s.fragment_tol = arg<Tolerance>(a, 1);
        s.wide_window = arg_or<bool>(a, 2, true);
        s.chimera = arg_or<bool>(a, 3, true);
        s.report_psms = arg_or<std::uint32_t>(a, 4, 5);
        s.min_isotope_err = arg_or<std::int8_t>(a, 5, -1);
        s.max_isotope_err = arg_or<std::int8_t>(a, 6, 3);
        s.min_precursor_charge = arg_or<std::uint8_t>(a, 7, 2);
        s.max_precursor_charge = arg_or<std::uint8_t>(a, 8, 4);
        s.min_matched_peaks = arg_or<std::uint16_t>(a, 9, 3);
        s.annotate_matches = arg_or<bool>(a, 10, false);
        // Omitted keeps the default cap; an explicit None removes it.
        s.max_fragment_charge = arg_or<std::optional<std::uint8_t>>(a, 11, std::uint8_t{2});
        return wrap(s);
    });
}

}  // namespace

const ClassDef PyClass<ScorerSettings>::def = {
    "PyScorer", "vornik_tamrel.PyScorer", sizeof(Instance<ScorerSettings>), [] {
        auto slots = base_slots(dealloc<ScorerSettings>,
                                "PyScorer(precursor_tol, fragment_tol, wide_window=True, chimera=True, report_psms=5, "
                                "min_isotope_err=..., max_isotope_err=3, min_precursor_charge=2, "
                                "max_precursor_charge=4, min_matched_peaks=3, annotate_matches=False, "
                                "max_fragment_charge=2)\n--\n\n");
        set_constructor(slots, PyScorer_new);
        slots.push_back({Py_tp_methods, PyScorer_methods()});
        return slots;
    }};

}  // namespace tamrel::py
