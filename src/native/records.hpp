// The records the module's classes wrap: a built index, shared with every
// scoring call that uses it, and the settings of a scorer.
#pragma once

#include "native/families.hpp"
#include "tamrel/database.hpp"
#include "tamrel/scoring.hpp"

namespace tamrel::py::native {

struct Index {
    SharedDatabase db;
};

struct ScorerRecord {
    ScorerSettings settings;
};

}  // namespace tamrel::py::native

namespace tamrel::py {
template <>
struct PyClass<native::Index> {
    static const ClassDef def;
};
template <>
struct PyClass<native::ScorerRecord> {
    static const ClassDef def;
};
}  // namespace tamrel::py
