// Fuzz target: base64 decoding of any text, and the encode/decode round trip of any bytes.
#include <string>

#include "base64/base64.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);

    // Decoding never yields more than three bytes per four characters, and what it yields
    // survives another round trip unchanged.
    const std::string decoded = base64_decode(input);
    KX_FUZZ_CHECK(decoded.size() <= size / 4 * 3 + (size % 4 > 1 ? size % 4 - 1 : 0));
    const std::string reencoded = base64_encode(reinterpret_cast<const unsigned char*>(decoded.data()),
                                                static_cast<unsigned>(decoded.size()));
    KX_FUZZ_CHECK(base64_decode(reencoded) == decoded);

    // Any bytes, NUL included, come back from their encoding; the text has 4 * ceil(n / 3)
    // characters of the alphabet and the pad only.
    const std::string encoded = base64_encode(data, static_cast<unsigned>(size));
    KX_FUZZ_CHECK(encoded.size() == (size + 2) / 3 * 4);
    KX_FUZZ_CHECK(
        encoded.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") ==
        std::string::npos);
    KX_FUZZ_CHECK(base64_decode(encoded) == input);
    return 0;
}
