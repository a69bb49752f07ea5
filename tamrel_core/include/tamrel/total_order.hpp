// IEEE 754 total order on 32-bit floats as unsigned integer keys:
// -NaN < -inf < ... < -0.0 < +0.0 < ... < +inf < +NaN. Sorting and searching
// by these keys never meets an unordered pair.
#pragma once

#include <bit>
#include <cstdint>

namespace tamrel {

constexpr std::uint32_t total_order_key(float value) {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    // Negative values: flip everything so larger magnitudes sort first.
    // Non-negative values: set the sign bit so they sort after all negatives.
    return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
}

}  // namespace tamrel
