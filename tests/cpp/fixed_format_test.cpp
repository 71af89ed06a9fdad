// The fixed-point formatter against the C library's printf, digit for digit.
#include "common/fixed_format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>

namespace {

template <int N>
std::string ours(double v) {
    char buf[kx_fixed::kMaxChars + 8];
    return std::string(buf, kx_fixed::format_fixed<N>(buf, v));
}

std::string printf_text(double v, int decimals) {
    char buf[400];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

// Runs `count` values from `make` through the formatter and counts mismatches with printf,
// reporting the first few.
template <int N, typename Make>
int mismatches(const char* what, size_t count, Make make) {
    int bad = 0;
    for (size_t i = 0; i < count; ++i) {
        const double v = make(i);
        const std::string a = ours<N>(v);
        const std::string b = printf_text(v, N);
        if (a != b && ++bad <= 5) {
            ADD_FAILURE() << what << " %." << N << "f of " << std::hexfloat << v << ": " << a << " vs " << b;
        }
    }
    return bad;
}

template <int N>
void compare_with_printf(size_t kCount) {
    std::mt19937_64 rng(20240611u + N);
    const double unit = std::pow(10.0, -N);

    // Every bit pattern is fair: NaNs, infinities, subnormals, huge values (slow path).
    EXPECT_EQ(0, (mismatches<N>("random bits", kCount, [&](size_t) {
                  const uint64_t bits = rng();
                  double v;
                  std::memcpy(&v, &bits, sizeof v);
                  return v;
              })));
    // Sensor-like magnitudes, spread over many binades on both sides of zero.
    EXPECT_EQ(0, (mismatches<N>("magnitudes", kCount, [&](size_t) {
                  const double m = std::ldexp(static_cast<double>(rng() >> 11), -53);  // [0, 1)
                  const int e = static_cast<int>(rng() % 60) - 30;
                  const double v = std::ldexp(m, e);
                  return (rng() & 1) ? -v : v;
              })));
    // Decimal halfway points k.5 units and their binary neighbours: where a shortcut like
    // llround(v * 10^N) goes wrong.
    EXPECT_EQ(0, (mismatches<N>("near halfway", kCount, [&](size_t i) {
                  const double k = static_cast<double>(rng() % 100000000);
                  double v = (k + 0.5) * unit;
                  if (i % 3 == 1) v = std::nextafter(v, 0.0);
                  if (i % 3 == 2) v = std::nextafter(v, 1e300);
                  return (i & 4) ? -v : v;
              })));
    // Exact binary ties: (2j + 1) / 2^(N+1) lies exactly halfway between two N-decimal values,
    // so only ties-to-even on the exact value gives printf's digit.
    EXPECT_EQ(0, (mismatches<N>("exact ties", kCount, [&](size_t i) {
                  const double j = static_cast<double>(i % 2 ? rng() % 4000000000u : i);
                  const double v = std::ldexp(2 * j + 1, -(N + 1));
                  return (i & 2) ? -v : v;
              })));
}

TEST(FixedFormat, MatchesPrintfOverMillionsOfValues) {
    // The precisions of the CSV table, a million values of each kind.
    compare_with_printf<5>(1000000);
    compare_with_printf<3>(1000000);
    compare_with_printf<1>(1000000);
}

TEST(FixedFormat, MatchesPrintfForEveryIntegerPathPrecision) {
    // Each precision lays out its digit groups differently.
    compare_with_printf<0>(100000);
    compare_with_printf<2>(100000);
    compare_with_printf<4>(100000);
    compare_with_printf<6>(100000);
    compare_with_printf<7>(100000);
    compare_with_printf<8>(100000);
    compare_with_printf<9>(100000);
}

TEST(FixedFormat, SpecialValuesAndBoundaries) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double value;
        const char* five;  // %.5f as glibc writes it
    };
    const Case cases[] = {
        {0.0, "0.00000"},
        {-0.0, "-0.00000"},
        {-0.000001, "-0.00000"},  // rounds to zero but keeps its sign
        {0.000005, "0.00001"},    // just above the tie in binary
        {0.000015, "0.00002"},
        {0.125, "0.12500"},
        {2.5, "2.50000"},
        {1.0 / 3, "0.33333"},
        {-1.0 / 3, "-0.33333"},
        {8589934591.5, "8589934591.50000"},  // near the top of the integer path
        {8589934592.0, "8589934592.00000"},  // first on the slow path
        {4.9406564584124654e-324, "0.00000"},
        {1e20, "100000000000000000000.00000"},
        {nan, "nan"},
        {-nan, "-nan"},
        {inf, "inf"},
        {-inf, "-inf"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.five, ours<5>(c.value)) << std::hexfloat << c.value;
        EXPECT_EQ(printf_text(c.value, 5), ours<5>(c.value)) << std::hexfloat << c.value;
        EXPECT_EQ(printf_text(c.value, 1), ours<1>(c.value)) << std::hexfloat << c.value;
        EXPECT_EQ(printf_text(c.value, 0), ours<0>(c.value)) << std::hexfloat << c.value;
        EXPECT_EQ(printf_text(c.value, 9), ours<9>(c.value)) << std::hexfloat << c.value;
    }
    // Ties to even at one decimal: 0.25 -> 0.2, 0.75 -> 0.8 (both exact in binary).
    EXPECT_EQ("0.2", ours<1>(0.25));
    EXPECT_EQ("0.8", ours<1>(0.75));
    EXPECT_EQ("-0.2", ours<1>(-0.25));
}

TEST(FixedFormat, SlowPathMatchesPrintfForEveryPrecision) {
    std::mt19937_64 rng(7);
    for (int decimals = 0; decimals <= 17; ++decimals) {
        int bad = 0;
        for (int i = 0; i < 20000; ++i) {
            const uint64_t bits = rng();
            double v;
            std::memcpy(&v, &bits, sizeof v);
            if (i % 2) v = std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(rng() % 200) - 100);
            char buf[kx_fixed::kMaxChars + 8];
            const std::string a(buf, kx_fixed::format_fixed_slow(buf, v, decimals));
            if (a != printf_text(v, decimals) && ++bad <= 3) {
                ADD_FAILURE() << "%." << decimals << "f of " << std::hexfloat << v << ": " << a;
            }
        }
        EXPECT_EQ(0, bad) << decimals;
    }
}

TEST(FixedFormat, UnsignedIntegers) {
    for (uint64_t v : {uint64_t{0}, uint64_t{7}, uint64_t{10}, uint64_t{8640000}, ~uint64_t{0}}) {
        char buf[24];
        EXPECT_EQ(std::to_string(v), std::string(buf, kx_fixed::format_uint(buf, v)));
    }
}

}  // namespace
