// Small text helpers shared by the file readers (private to the core).
#pragma once

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace tamrel::text {

inline bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

inline std::string_view strip(std::string_view s) {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

// The next whitespace-separated field of `s` from `pos` (empty at the end).
inline std::string_view next_field(std::string_view s, std::size_t& pos) {
    while (pos < s.size() && is_space(s[pos])) ++pos;
    const std::size_t start = pos;
    while (pos < s.size() && !is_space(s[pos])) ++pos;
    return s.substr(start, pos - start);
}

// A decimal number written as Python's float() reads it (an optional sign,
// digits with a point and exponent, or inf / infinity / nan in any case),
// the whole field and nothing else, surrounding whitespace allowed.
inline bool parse_double(std::string_view s, double& out) {
    s = strip(s);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty() || s.front() == '+' || s.front() == '-') return false;
    double value = 0.0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, std::chars_format::general);
    // Out-of-range decimals round to 0 or infinity, as float() does.
    if (end != s.data() + s.size() || (ec != std::errc() && ec != std::errc::result_out_of_range)) return false;
    // from_chars also takes "nan(payload)", which float() refuses.
    if (value != value && s.find('(') != std::string_view::npos) return false;
    if (ec == std::errc::result_out_of_range) {
        // Beyond the double range: infinity or zero, as float() gives.
        value = std::strtod(std::string(s).c_str(), nullptr);
    }
    out = negative ? -value : value;
    return true;
}

// A decimal integer (optional sign), the whole field; saturates at the limits.
inline bool parse_int(std::string_view s, std::int64_t& out) {
    s = strip(s);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return false;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    if (end != s.data() + s.size()) return false;
    if (ec == std::errc::result_out_of_range) out = s.front() == '-' ? INT64_MIN : INT64_MAX;
    return ec == std::errc() || ec == std::errc::result_out_of_range;
}

// Case-insensitive equality with an upper-case ASCII word.
inline bool equals_upper(std::string_view s, std::string_view upper) {
    if (s.size() != upper.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != upper[i]) return false;
    }
    return true;
}

}  // namespace tamrel::text
