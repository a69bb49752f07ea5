#include "number_format.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

namespace tamrel::py {
namespace {

// The shortest round-trip digits of a finite non-zero value, with the
// position of the decimal point relative to them.
struct Decimal {
    bool negative;
    std::string digits;
    int exponent;  // value = 0.d1d2d3... x 10^(exponent + 1)
};

template <class F>
Decimal shortest_decimal(F v) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
    const std::size_t e = sci.find('e');
    Decimal d{v < 0, {}, 0};
    std::from_chars(sci.data() + e + (sci[e + 1] == '+' ? 2 : 1), sci.data() + sci.size(), d.exponent);
    for (char c : sci.substr(0, e)) {
        if (c >= '0' && c <= '9') d.digits += c;
    }
    return d;
}

// Digits written out around the decimal point; integral values get
// `integral_suffix` (".0" or nothing).
std::string positional(const Decimal& d, const char* integral_suffix) {
    std::string out = d.negative ? "-" : "";
    const long point = static_cast<long>(d.exponent) + 1;  // digits before the point
    const long count = static_cast<long>(d.digits.size());
    if (point <= 0) {
        out.append("0.").append(static_cast<std::size_t>(-point), '0').append(d.digits);
    } else if (point >= count) {
        out.append(d.digits).append(static_cast<std::size_t>(point - count), '0').append(integral_suffix);
    } else {
        out.append(d.digits, 0, static_cast<std::size_t>(point))
            .append(".")
            .append(d.digits, static_cast<std::size_t>(point));
    }
    return out;
}

template <class F>
const char* non_finite(F v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    return nullptr;
}

template <class F>
std::string shortest(F v) {
    if (const char* text = non_finite(v)) return text;
    if (v == 0) return std::signbit(v) ? "-0.0" : "0.0";
    const Decimal d = shortest_decimal(v);
    const F magnitude = std::fabs(v);
    if (magnitude >= F(1e-4) && magnitude < F(1e16)) return positional(d, ".0");
    std::string out = d.negative ? "-" : "";
    out.append(d.digits, 0, 1);
    if (d.digits.size() > 1) out.append(".").append(d.digits, 1);
    return out.append("e").append(std::to_string(d.exponent));
}

}  // namespace

std::string format_shortest(float v) { return shortest(v); }
std::string format_shortest(double v) { return shortest(v); }

std::string format_plain(float v) {
    if (const char* text = non_finite(v)) return text;
    if (v == 0) return std::signbit(v) ? "-0" : "0";
    return positional(shortest_decimal(v), "");
}

std::string format_fixed(double v, int decimals) {
    if (const char* text = non_finite(v)) return text;
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
    return std::string(buf, res.ptr);
}

}  // namespace tamrel::py
