// Base64 codec (RFC 4648 alphabet, tolerant decoder).
#include "base64.h"

#include <array>

namespace {

const std::string base64_chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Index of each character in the alphabet, -1 for characters outside it.
constexpr std::array<signed char, 256> make_index() {
    std::array<signed char, 256> table{};
    for (auto& v : table) v = -1;
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
    return table;
}
constexpr std::array<signed char, 256> kIndex = make_index();

}  // namespace

std::string base64_encode(const unsigned char* bytes, unsigned int length) {
    std::string out;
    out.reserve((static_cast<size_t>(length) + 2) / 3 * 4);
    unsigned int i = 0;
    for (; i + 3 <= length; i += 3) {
        const unsigned b0 = bytes[i], b1 = bytes[i + 1], b2 = bytes[i + 2];
        out += base64_chars[b0 >> 2];
        out += base64_chars[((b0 & 3) << 4) | (b1 >> 4)];
        out += base64_chars[((b1 & 15) << 2) | (b2 >> 6)];
        out += base64_chars[b2 & 63];
    }
    const unsigned int rest = length - i;
    if (rest > 0) {
        const unsigned b0 = bytes[i];
        const unsigned b1 = rest == 2 ? bytes[i + 1] : 0;
        out += base64_chars[b0 >> 2];
        out += base64_chars[((b0 & 3) << 4) | (b1 >> 4)];
        if (rest == 2) out += base64_chars[(b1 & 15) << 2];
        out.append(3 - rest, '=');
    }
    return out;
}

std::string base64_decode(const std::string& text) {
    std::string out;
    out.reserve(text.size() / 4 * 3 + 2);
    unsigned c[4];
    int k = 0;
    for (unsigned char ch : text) {
        const int v = kIndex[ch];
        if (v < 0) break;  // "=" and any foreign character end the scan
        c[k++] = static_cast<unsigned>(v);
        if (k == 4) {
            out += static_cast<char>((c[0] << 2) | (c[1] >> 4));
            out += static_cast<char>(((c[1] & 15) << 4) | (c[2] >> 2));
            out += static_cast<char>(((c[2] & 3) << 6) | c[3]);
            k = 0;
        }
    }
    // An unfinished group of k characters gives its first k - 1 bytes.
    if (k >= 2) out += static_cast<char>((c[0] << 2) | (c[1] >> 4));
    if (k == 3) out += static_cast<char>(((c[1] & 15) << 4) | (c[2] >> 2));
    return out;
}
