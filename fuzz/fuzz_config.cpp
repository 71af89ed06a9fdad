// Fuzz target: the configuration block decoder frame by frame, over a block in memory and
// through a file, and the two configuration answers built from it.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "frontend/binreader2.h"
#include "fuzz_support.h"

using kxfuzz::describe;

namespace {

// The undecoded frames are whole frames laid end to end: magic, type, subtype, L, payload, trailer.
bool whole_frames(const std::vector<unsigned char>& raw) {
    size_t p = 0;
    while (p < raw.size()) {
        if (raw.size() - p < 7 || raw[p] != 'K' || raw[p + 1] != 'X') return false;
        p += raw[p + 4] + 7u;
    }
    return p == raw.size();
}

// A compact JSON object on one line: braces around, quotes paired.
bool plausible_json(const std::string& s) {
    size_t quotes = 0;
    for (char ch : s) {
        if (ch == '"') ++quotes;
        if (ch == '\n') return false;
    }
    return s.size() >= 2 && s.front() == '{' && s.back() == '}' && quotes % 2 == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Frame by frame over exactly the bytes given (an exact-size heap copy, so that a read
    // one byte too far is seen): each frame stays inside what is left.
    const std::vector<unsigned char> exact(data, data + size);
    {
        kx_Config c;
        size_t p = 0;
        while (p < size) {
            bool known = true;
            const int avail = static_cast<int>(std::min<size_t>(size - p, 1u << 20));
            const int n = _readHeaderFrame(&c, &known, exact.data() + p, avail);
            if (n < 0) break;
            KX_FUZZ_CHECK(n >= 7 && static_cast<size_t>(n) <= size - p);
            p += static_cast<size_t>(n);
        }
    }

    // Block 0 in memory: the first 512 bytes, a shorter input zero-filled.
    std::vector<unsigned char> block(kBlockSize, 0);
    std::memcpy(block.data(), data, size < block.size() ? size : block.size());
    kx_Config in_memory;
    const bool ok = _readConfig(&in_memory, block.data());
    KX_FUZZ_CHECK(in_memory.unknownFrames.size() <= static_cast<size_t>(kBlockSize));
    KX_FUZZ_CHECK(whole_frames(in_memory.unknownFrames));
    if (!ok) KX_FUZZ_CHECK(describe(in_memory) == describe(kx_Config()));

    // The same bytes as a file decode to the same configuration.
    const std::string path = kxfuzz::scratch_path("config.bin");
    kxfuzz::write_file(path, data, size);
    kx_Config from_file;
    KX_FUZZ_CHECK(kx_readConfig<char>(&from_file, path.c_str()) == ok);
    KX_FUZZ_CHECK(describe(from_file) == describe(in_memory));

    BinReader2 reader;
    const std::string answer = reader.readConfig(path.c_str());
    const std::string device = reader.readConfigDeviceId(path.c_str());
    KX_FUZZ_CHECK(answer.empty() == !ok && device.empty() == !ok);
    if (ok) {
        KX_FUZZ_CHECK(plausible_json(answer));
        KX_FUZZ_CHECK(device == "{\"deviceId\":" + std::to_string(in_memory.deviceId) + "}");
    }
    return 0;
}
