#include "tamrel/tolerance.hpp"

namespace tamrel {

std::pair<float, float> Tolerance::bounds(float centre) const {
    float low_offset = minus;
    float high_offset = plus;
    if (unit == Unit::Ppm) {
        // Round the product to 32 bits, then divide: no reciprocal multiply.
        low_offset = (centre * minus) / 1000000.0f;
        high_offset = (centre * plus) / 1000000.0f;
    }
    return {centre + low_offset, centre + high_offset};
}

char kind_letter(Kind k) { return "ABCXYZ"[static_cast<std::uint8_t>(k)]; }

}  // namespace tamrel
