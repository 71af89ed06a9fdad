// Slow path and tables of the fixed-point formatter.
#include "fixed_format.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace kx_fixed {

namespace detail {

const char kDigitPairs[200] = {
    '0', '0', '0', '1', '0', '2', '0', '3', '0', '4', '0', '5', '0', '6', '0', '7', '0', '8', '0', '9',
    '1', '0', '1', '1', '1', '2', '1', '3', '1', '4', '1', '5', '1', '6', '1', '7', '1', '8', '1', '9',
    '2', '0', '2', '1', '2', '2', '2', '3', '2', '4', '2', '5', '2', '6', '2', '7', '2', '8', '2', '9',
    '3', '0', '3', '1', '3', '2', '3', '3', '3', '4', '3', '5', '3', '6', '3', '7', '3', '8', '3', '9',
    '4', '0', '4', '1', '4', '2', '4', '3', '4', '4', '4', '5', '4', '6', '4', '7', '4', '8', '4', '9',
    '5', '0', '5', '1', '5', '2', '5', '3', '5', '4', '5', '5', '5', '6', '5', '7', '5', '8', '5', '9',
    '6', '0', '6', '1', '6', '2', '6', '3', '6', '4', '6', '5', '6', '6', '6', '7', '6', '8', '6', '9',
    '7', '0', '7', '1', '7', '2', '7', '3', '7', '4', '7', '5', '7', '6', '7', '7', '7', '8', '7', '9',
    '8', '0', '8', '1', '8', '2', '8', '3', '8', '4', '8', '5', '8', '6', '8', '7', '8', '8', '8', '9',
    '9', '0', '9', '1', '9', '2', '9', '3', '9', '4', '9', '5', '9', '6', '9', '7', '9', '8', '9', '9',
};

}  // namespace detail

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
    const std::to_chars_result r = std::to_chars(out, out + kMaxChars, value, std::chars_format::fixed, decimals);
    return r.ec == std::errc() ? r.ptr : out;
}

}  // namespace kx_fixed
