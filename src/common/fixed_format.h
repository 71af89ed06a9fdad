// Fixed-point number text with exactly the digits printf's "%.Nf" gives, without printf.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// The digit groups are built in integer lanes and stored to memory low byte first.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the digit lanes assume little-endian memory");

namespace kx_fixed {

// Room for any double with up to 17 decimals: sign, 309 integer digits, point, decimals.
constexpr size_t kMaxChars = 1 + 309 + 1 + 17;

// Any decimals count 0..17, any value (large magnitudes, NaN and infinities included).
// Writes at out, which must have kMaxChars bytes, and returns the end of the text.
char* format_fixed_slow(char* out, double value, int decimals);

namespace detail {

template <int N>
struct Pow10 {
    static constexpr uint64_t value = 10 * Pow10<N - 1>::value;
};
template <>
struct Pow10<0> {
    static constexpr uint64_t value = 1;
};

// The eight decimal digits of n < 10^8 as ASCII, most significant first in memory: the number
// is split into halves, quarters and single digits in parallel lanes of one 64-bit word.
inline uint64_t eight_digits(uint32_t n) {
    const uint64_t hi = n / 10000, lo = n % 10000;
    uint64_t y = hi | (lo << 32);                                    // two lanes below 10^4
    const uint64_t q = ((y * 10486) >> 20) & 0x0000007F0000007Full;  // lane / 100
    y = q | ((y - q * 100) << 16);                                   // four lanes below 100
    const uint64_t t = ((y * 103) >> 10) & 0x000F000F000F000Full;    // lane / 10
    y = t | ((y - t * 10) << 8);                                     // eight lanes below 10
    return y + 0x3030303030303030ull;
}

// Decimal digits of v, which is below 10^Max; at least one. Comparisons only, no branches.
template <int Max>
inline int count_digits(uint64_t v) {
    int n = 1;
    uint64_t bound = 10;
    for (int k = 1; k < Max; ++k, bound *= 10) n += v >= bound ? 1 : 0;
    return n;
}

}  // namespace detail

// Writes `value` with N decimals exactly as printf("%.Nf") in the C locale: the decimal
// rounding of the exact binary value, ties to even, a minus sign whenever the sign bit is set
// ("-0.00000" for -0.0 and for small negatives), "nan", "-nan", "inf", "-inf".
// out must have kMaxChars bytes; returns the end of the text.
//
// Below 2^33 the value m * 2^-s is scaled to round(m * 10^N / 2^s) in 128-bit integers, which
// is exact; 2^33 * 10^9 still fits in 64 bits. Everything else takes the slow path.
template <int N>
inline char* format_fixed(char* out, double value) {
    static_assert(N >= 0 && N <= 9, "the integer path holds up to 9 decimals");
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const unsigned biased = static_cast<unsigned>(bits >> 52) & 0x7FF;
    if (biased >= 1023 + 33) return format_fixed_slow(out, value, N);

    const bool negative = (bits >> 63) != 0;
    uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);
    int shift;  // value = mantissa * 2^-shift, shift >= 20 here
    if (biased == 0) {
        shift = 1074;
    } else {
        mantissa |= uint64_t{1} << 52;
        shift = 1075 - static_cast<int>(biased);
    }

    uint64_t scaled = 0;  // round(|value| * 10^N), ties to even
    if (shift < 128) {
        using u128 = unsigned __int128;
        const u128 product = static_cast<u128>(mantissa) * detail::Pow10<N>::value;
        scaled = static_cast<uint64_t>(product >> shift);
        const u128 rest = product & ((u128{1} << shift) - 1);
        const u128 half = u128{1} << (shift - 1);
        if (rest > half || (rest == half && (scaled & 1))) ++scaled;
    }
    // shift >= 128: the product is below 2^83, so the value is below half a unit: zero.

    char* p = out;
    *p = '-';
    p += negative ? 1 : 0;
    const uint64_t whole = scaled / detail::Pow10<N>::value;
    if (N <= 7 && scaled < detail::Pow10<8>::value) {
        // One group of eight digits, "WWWFFFFF" for N = 5 with leading zeros; copy the whole
        // part's significant digits, the point, then the decimals. The copies run past the text
        // on purpose (kMaxChars leaves room) so that their sizes are constants.
        char digits[16] = {};
        const uint64_t d = detail::eight_digits(static_cast<uint32_t>(scaled));
        std::memcpy(digits, &d, 8);
        const int nd = detail::count_digits<(N <= 7 ? 8 - N : 1)>(whole);
        std::memcpy(p, digits + (8 - N - nd), 8);
        p += nd;
        if constexpr (N > 0) {
            *p++ = '.';
            std::memcpy(p, digits + 8 - N, 8);
        }
        return p + N;
    }
    if (N <= 6 || scaled < detail::Pow10<16>::value) {
        // Two groups of eight digits; below 2^33 every value with up to 6 decimals fits.
        char digits[32] = {};
        const uint64_t hi = detail::eight_digits(static_cast<uint32_t>(scaled / detail::Pow10<8>::value));
        const uint64_t lo = detail::eight_digits(static_cast<uint32_t>(scaled % detail::Pow10<8>::value));
        std::memcpy(digits, &hi, 8);
        std::memcpy(digits + 8, &lo, 8);
        const int nd = detail::count_digits<16 - N>(whole);
        std::memcpy(p, digits + (16 - N - nd), 16);
        p += nd;
        if constexpr (N > 0) {
            *p++ = '.';
            std::memcpy(p, digits + 16 - N, 16);
        }
        return p + N;
    }
    // Up to 20 digits: one at a time, right to left.
    char digits[24];
    char* d = digits + sizeof digits;
    uint64_t rest = scaled;
    for (int i = 0; i < N; ++i) {
        *--d = static_cast<char>('0' + rest % 10);
        rest /= 10;
    }
    if (N > 0) *--d = '.';
    do {
        *--d = static_cast<char>('0' + rest % 10);
        rest /= 10;
    } while (rest != 0);
    const size_t n = static_cast<size_t>(digits + sizeof digits - d);
    std::memcpy(p, d, n);
    return p + n;
}

// Unsigned decimal integer; out needs 20 bytes. Returns the end of the text.
inline char* format_uint(char* out, uint64_t value) {
    char buf[20];
    char* p = buf + sizeof buf;
    do {
        *--p = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    const size_t n = static_cast<size_t>(buf + sizeof buf - p);
    std::memcpy(out, p, n);
    return out + n;
}

}  // namespace kx_fixed
