// The failure types of the core. Every broken invariant, out-of-range index
// or failed assertion throws `Failure`; unusable input files (a spectrum file
// or FASTA that is corrupt, truncated or malformed) throw `InputFailure`,
// whose message names the file and the record. The binding translates them.
#pragma once

#include <stdexcept>
#include <string>

namespace tamrel {

class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class InputFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fail(const std::string& message) { throw Failure(message); }

// Bounds-checked element access that fails as an internal failure.
template <class Vec>
decltype(auto) at(Vec& v, std::size_t i) {
    if (i >= v.size()) {
        fail("index out of bounds: the len is " + std::to_string(v.size()) + " but the index is " +
             std::to_string(i));
    }
    return v[i];
}

}  // namespace tamrel
