// Fixed-point number text with exactly the digits printf's "%.Nf" gives, without printf.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

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

extern const char kDigitPairs[200];

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

    // Digits are formed right to left in buf, ending at buf + 40; the text is at most
    // 21 characters, so one fixed-size copy of 24 bytes moves it (kMaxChars leaves room).
    char buf[64];
    char* const end = buf + 40;
    char* p = end;
    uint64_t whole = scaled / detail::Pow10<N>::value;
    uint64_t frac = scaled % detail::Pow10<N>::value;
    if constexpr (N > 0) {
        int left = N;
        for (; left >= 2; left -= 2) {
            const unsigned pair = static_cast<unsigned>(frac % 100);
            frac /= 100;
            p -= 2;
            std::memcpy(p, detail::kDigitPairs + 2 * pair, 2);
        }
        if (left == 1) *--p = static_cast<char>('0' + frac);
        *--p = '.';
    }
    while (whole >= 100) {
        const unsigned pair = static_cast<unsigned>(whole % 100);
        whole /= 100;
        p -= 2;
        std::memcpy(p, detail::kDigitPairs + 2 * pair, 2);
    }
    if (whole >= 10) {
        p -= 2;
        std::memcpy(p, detail::kDigitPairs + 2 * whole, 2);
    } else {
        *--p = static_cast<char>('0' + whole);
    }
    if (negative) *--p = '-';
    std::memcpy(out, p, 24);
    return out + (end - p);
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
