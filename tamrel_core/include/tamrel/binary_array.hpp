// Decoding of the binary arrays of spectrum files: base64 text, optionally
// zlib-compressed, holding little-endian numbers.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tamrel {

// Decodes base64 text (whitespace anywhere is ignored) and appends the bytes
// to `out`. Throws InputFailure with the reason (no file or record named).
void decode_base64(std::string_view text, std::string& out);

// Inflates a complete zlib stream. Throws InputFailure with the reason.
std::string inflate_zlib(std::string_view data);

enum class NumberType { kFloat32, kFloat64, kInt32, kInt64 };

// Widens little-endian numbers to double; false when the byte count is not a
// multiple of the element size.
bool widen_numbers(std::string_view bytes, NumberType type, std::vector<double>& out);

}  // namespace tamrel
