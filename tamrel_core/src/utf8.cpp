#include "tamrel/utf8.hpp"

namespace tamrel {

Utf8Check check_utf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        unsigned char b = p[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        std::size_t width;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            width = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            width = 3;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            width = 4;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            return {i, 1, false};
        }
        for (std::size_t k = 1; k < width; ++k) {
            if (i + k >= n) return {i, 0, false};
            unsigned char c = p[i + k];
            bool in_range = k == 1 ? (c >= lo && c <= hi) : (c >= 0x80 && c <= 0xBF);
            if (!in_range) return {i, k, false};
        }
        i += width;
    }
    return {n, 0, true};
}

std::string lossy_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (;;) {
        Utf8Check c = check_utf8(bytes);
        out.append(bytes.substr(0, c.valid_up_to));
        if (c.ok) return out;
        out.append("\xEF\xBF\xBD");
        // An incomplete sequence at the end is replaced as a whole.
        if (c.error_len == 0) return out;
        bytes.remove_prefix(c.valid_up_to + c.error_len);
    }
}

}  // namespace tamrel
