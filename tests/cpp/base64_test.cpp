// Base64: round trips over arbitrary bytes and the tolerant decoding rules.
#include "base64/base64.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

std::string encode(const std::string& s) {
    return base64_encode(reinterpret_cast<const unsigned char*>(s.data()), static_cast<unsigned>(s.size()));
}

TEST(Base64, EncodesWithPadding) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"", ""},        {"f", "Zg=="},        {"fo", "Zm8="},
        {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {std::string("\0\xff\xfe", 3), "AP/+"},
    };
    for (const auto& c : cases) EXPECT_EQ(encode(c.in), c.out) << c.in;
}

TEST(Base64, RoundTripsRandomBytesIncludingNul) {
    std::mt19937 rng(42);
    for (int len = 0; len < 200; ++len) {
        std::string bytes(len, '\0');
        for (auto& b : bytes) b = static_cast<char>(rng());
        const std::string text = encode(bytes);
        EXPECT_EQ(text.size(), (bytes.size() + 2) / 3 * 4);
        EXPECT_EQ(base64_decode(text), bytes);
        // Pads are optional on input.
        std::string unpadded = text;
        while (!unpadded.empty() && unpadded.back() == '=') unpadded.pop_back();
        EXPECT_EQ(base64_decode(unpadded), bytes);
    }
}

TEST(Base64, DecodingStopsAtPadOrForeignCharacter) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"=Zm9v", ""},          // leading pad: nothing
        {"Z", ""},              // a lone character adds nothing
        {"Zm", "f"},            // two characters add one byte
        {"Zm9", "fo"},          // three add two
        {"Zm9v=Zm9v", "foo"},   // after the first pad everything is ignored
        {"Zm9v Zm9v", "foo"},   // a space ends the scan
        {"Zm9v\nZm9v", "foo"},  // so does a line break
        {"Zm-9v", "f"},         // and the URL-safe alphabet's characters
    };
    for (const auto& c : cases) EXPECT_EQ(base64_decode(c.in), c.out) << c.in;
}

}  // namespace
