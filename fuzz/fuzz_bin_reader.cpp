// Fuzz target: the older reader over a whole recording: configuration JSON, data blocks,
// multi-record packages and its CSV export into a scratch file.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "bin_reader/bin_reader.h"
#include "fuzz_support.h"

namespace {

bool json_object(const std::string& s) {
    return s.size() >= 2 && s.front() == '{' && s.back() == '}';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = kxfuzz::scratch_path("recording.bin");
    const std::string csv = kxfuzz::scratch_path("old.csv");
    kxfuzz::write_file(path, data, size);

    BinReader reader;
    KX_FUZZ_CHECK(json_object(reader.readConfig(path.c_str())));
    KX_FUZZ_CHECK(json_object(reader.read(path.c_str(), csv.c_str())));

    // The count written over the placeholder is the number of rows below the seven header lines.
    const std::string out = kxfuzz::read_file(csv);
    const std::string key = "\nTotal data points: ";
    const size_t at = out.find(key);
    KX_FUZZ_CHECK(at != std::string::npos);
    const long long total = std::stoll(out.substr(at + key.size()));
    long long lines = 0;
    for (char ch : out) lines += ch == '\n';
    KX_FUZZ_CHECK(lines == 7 + total && bin_reader::DataPointNum == total);
    return 0;
}
