// The failure types of the core. Every broken invariant, out-of-range index
// or failed assertion throws `Failure`; unusable input files (a spectrum file
// or FASTA that is corrupt, truncated or malformed) throw `InputFailure`,
// whose message names the file and the record. The binding translates them.
#pragma once

#include <exception>
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

// Readies this thread for throwing. The C++ runtime allocates a thread's
// exception state on its first use and aborts the process when that fails, so
// a thread calls this before memory can run out, not when bad_alloc is thrown.
inline void reserve_exception_state() noexcept {
    [[maybe_unused]] volatile int uncaught = std::uncaught_exceptions();
}

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
