// Slow path of the fixed-point formatter: special values and magnitudes of 2^33 and above.
#include "fixed_format.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace kx_fixed {

char* format_fixed_slow(char* out, double value, int decimals) {
    // printf spells the special values in lower case and keeps the sign of a NaN.
    if (std::isnan(value)) {
        const char* text = std::signbit(value) ? "-nan" : "nan";
        const size_t n = std::strlen(text);
        std::memcpy(out, text, n);
        return out + n;
    }
    if (std::isinf(value)) {
        const char* text = value < 0 ? "-inf" : "inf";
        const size_t n = std::strlen(text);
        std::memcpy(out, text, n);
        return out + n;
    }
    if (decimals < 0) decimals = 0;
    if (decimals > 17) decimals = 17;
    // Fixed notation with a precision is defined as printf's conversion: exact digits.
    const std::to_chars_result r =
        std::to_chars(out, out + kMaxChars, value, std::chars_format::fixed, decimals);
    return r.ec == std::errc() ? r.ptr : out;
}

}  // namespace kx_fixed
