// Shared by the fuzz harnesses: scratch files private to the process, a byte consumer and the
// checks that end a run with a message when a property does not hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "recording/recording.h"
#include "support/recording_builder.h"

// A failed property is a finding: print where and abort, so that libFuzzer keeps the input and
// the replay test fails.
#define KX_FUZZ_CHECK(cond)                                                                    \
    do {                                                                                       \
        if (!(cond)) {                                                                         \
            std::fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

namespace kxfuzz {

// A directory of this process (under /dev/shm when it exists), removed at exit.
const std::string& scratch_dir();
std::string scratch_path(const std::string& name);
// write_file and read_file come from the test support library.
using kxtest::read_file;
using kxtest::write_file;
bool file_exists(const std::string& path);
// Names in the scratch directory, sorted: a failed write must not leave a temporary file.
std::vector<std::string> scratch_entries();
// Removes every file of the scratch directory.
void clear_scratch();

// Caps every file this process writes at 1 MiB, a failing write instead of SIGXFSZ. A recording
// of a few blocks can ask for a very long table (a high base rate over slow streams); the cap
// keeps runs fast, and the export must then report the failed write and leave nothing behind.
// Call it on the first input, after libFuzzer has put up its own signal handlers.
bool cap_written_files();

// Every member of a configuration as one line, for comparing two decodings.
std::string describe(const kx_Config& config);

// Checks that a sensor map is internally consistent: vector sizes agree with dimension and
// length for every stream.
bool streams_consistent(const kx_SensorMap& map);

// Takes values from the front of the fuzz input; past its end every value is 0.
class Consumer {
public:
    Consumer(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t be16() { return static_cast<uint16_t>((u8() << 8) | u8()); }
    // Up to n bytes (fewer when the input ends).
    std::vector<uint8_t> bytes(size_t n) {
        const size_t k = n < size_ - pos_ ? n : size_ - pos_;
        std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + k);
        pos_ += k;
        return out;
    }
    size_t left() const { return size_ - pos_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

}  // namespace kxfuzz
