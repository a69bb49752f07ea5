// UTF-8 validation of the byte strings the engine hands out as text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tamrel {

// Length of the valid prefix of `s`, and the length of the invalid sequence
// that follows it (0 when the input merely ends inside a sequence).
struct Utf8Check {
    std::size_t valid_up_to;
    std::size_t error_len;
    bool ok;
};

Utf8Check check_utf8(std::string_view s);

// `bytes` with every invalid sequence replaced by U+FFFD; never fails on data.
std::string lossy_utf8(std::string_view bytes);

}  // namespace tamrel
