// Mass windows and ion kinds: small values copied into every record that needs them.
#pragma once

#include <cstdint>
#include <utility>

namespace tamrel {

struct Tolerance {
    enum class Unit : std::uint8_t { Ppm, Da };
    Unit unit = Unit::Da;
    float minus = 0.0f;  // added to the centre for the lower bound (not negated)
    float plus = 0.0f;   // added to the centre for the upper bound

    static constexpr Tolerance ppm(float minus, float plus) { return {Unit::Ppm, minus, plus}; }
    static constexpr Tolerance da(float minus, float plus) { return {Unit::Da, minus, plus}; }

    // The inclusive (low, high) window around `centre`, in 32-bit arithmetic and in
    // a fixed order of operations: results at the window edges depend on it.
    std::pair<float, float> bounds(float centre) const;
};

enum class Kind : std::uint8_t { A = 0, B = 1, C = 2, X = 3, Y = 4, Z = 5 };

constexpr bool is_n_terminal(Kind k) { return static_cast<std::uint8_t>(k) < 3; }
char kind_letter(Kind k);

}  // namespace tamrel
