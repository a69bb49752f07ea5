// The record each Python class wraps. Each class family file defines the
// registration data (`PyClass<T>::def`) of its classes.
#pragma once

#include <optional>

#include "boundary.hpp"
#include "tamrel/columns.hpp"
#include "tamrel/database.hpp"
#include "tamrel/peptide.hpp"
#include "tamrel/scoring.hpp"
#include "tamrel/spectrum.hpp"
#include "tamrel/tolerance.hpp"

namespace tamrel::py {

// A match together with the private copy of its peptide (absent when the
// feature's peptide index was out of range).
struct FeatureObject {
    std::optional<Peptide> peptide;
    Feature feature;
};

// A record of peptide `idx` of the database (accessions shared), or nothing
// when the index is out of range.
inline std::optional<Peptide> peptide_by_idx(const IndexedDatabase& db, std::uint32_t idx) {
    if (idx >= db.peptides.size()) return std::nullopt;
    return db.peptides.peptide(idx);
}

// The method table of PyScorer: the two scoring entry points (scoring_entry.cpp).
PyMethodDef* PyScorer_methods();

#define TAMREL_PY_CLASS(Record)             \
    template <>                             \
    struct PyClass<Record> {                \
        static const ClassDef def;        \
    }

TAMREL_PY_CLASS(SharedDatabase);   // PyIndexedDatabase
TAMREL_PY_CLASS(Peptide);          // PyPeptide
TAMREL_PY_CLASS(Kind);             // PyKind
TAMREL_PY_CLASS(Tolerance);        // PyTolerance
TAMREL_PY_CLASS(Precursor);        // PyPrecursor
TAMREL_PY_CLASS(SharedSpectrum);   // PyProcessedSpectrum
TAMREL_PY_CLASS(ScorerSettings);   // PyScorer
TAMREL_PY_CLASS(FeatureObject);    // PyFeature
TAMREL_PY_CLASS(FeatureColumns);   // PyFeatureArrays
TAMREL_PY_CLASS(Fragments);        // PyFragments

#undef TAMREL_PY_CLASS

}  // namespace tamrel::py
