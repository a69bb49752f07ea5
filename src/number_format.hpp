// Text forms of numbers in result representations.
#pragma once

#include <string>

namespace tamrel::py {

// Shortest decimal that reads back as the same value, always with a
// fractional part, in exponent form below 1e-4 or from 1e16 on (zero
// excepted): 0.0, 57.02146, 1e-5, 1.5e16. NaN, inf and -inf as such.
std::string format_shortest(float v);
std::string format_shortest(double v);

// Shortest round-trip digits without exponent, and without a fractional part
// for integral values: 0, -1, 0.5, 1.00335.
std::string format_plain(float v);

// The exact value correctly rounded to `decimals` places; a negative value
// that rounds to zero keeps its sign (-0.0000).
std::string format_fixed(double v, int decimals);

}  // namespace tamrel::py
