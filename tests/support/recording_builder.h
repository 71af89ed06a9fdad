// Builds recording files and configuration blocks from values, for the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kxtest {

using Bytes = std::vector<uint8_t>;

Bytes be16(uint32_t v);
Bytes be32(uint32_t v);
Bytes cat(std::initializer_list<Bytes> parts);

// A header frame: "KX", type, subtype, payload length, payload, trailer 0xFF 0xFE.
Bytes frame(int type, int subtype, const Bytes& payload);

// Frames of the current generation, with the layouts of the recording format.
Bytes base_frequency_frame(int hz);
Bytes device_frame(int32_t device_id, int device_type, int body_location);
Bytes date_frame(int subtype, int sec, int min, int hour, int day, int month, int year);
// Current accelerometer (subtype 2) or gyroscope (subtype 3) frame; offsets and gains are the
// stored integers (the reader divides by 10000).
Bytes inertial_frame(int subtype, int id, int hz, int range_code, const int32_t offsets[3],
                     const int32_t gains[3], int param = 0);
// Unit gain, zero offset.
Bytes inertial_frame(int subtype, int id, int hz, int range_code);
Bytes baro_frame(int id, int hz);
Bytes sensor_frame(int subtype, int id, int hz);  // magnetometer (10), event (16), event2 (22)
Bytes radio_sensor_frame(int id, int hz, int mode, int channel);
Bytes radio_frame(int mode, uint32_t value1, uint32_t value2, int channel);
Bytes settings18_frame(int sec1, int ms1, uint32_t tick1, int sec2, int ms2, uint32_t tick2);
Bytes measure_frame(int param1, int tag, int param3);
Bytes measure_id_frame(int id);

// One 8-byte data record.
struct Record {
    uint8_t id;
    uint8_t offset;
    uint8_t payload[6];
};
Record xyz_record(int id, int offset, int16_t x, int16_t y, int16_t z);
// Barometer: raw pressure (24-bit little-endian), raw temperature (16-bit little-endian).
Record baro_record(int id, int offset, uint32_t raw_pressure, int16_t raw_temperature);
Record byte_record(int id, int offset, int byte_index, uint8_t value);  // byte_index 2..7
Record radio_record(int id, int offset, int32_t count);

class RecordingBuilder {
public:
    // Appends header frames to block 0 (packed from offset 0).
    RecordingBuilder& header(const Bytes& frames);
    // Appends a data block; unused record slots are zero.
    RecordingBuilder& block(uint32_t base_tick, const std::vector<Record>& records, uint8_t tag = 0);
    // Block 0 padded to 512 bytes followed by the data blocks.
    Bytes bytes() const;
    void write(const std::string& path) const;

private:
    Bytes header_;
    std::vector<Bytes> blocks_;
};

// Both throw when the file cannot be written completely.
void write_file(const std::string& path, const Bytes& bytes);
void write_file(const std::string& path, const void* data, size_t size);
std::string read_file(const std::string& path);
// A fresh directory under the system's temporary directory, removed by the caller.
std::string temp_dir();
// The names in a directory, sorted, without "." and ".." (none when it cannot be read).
std::vector<std::string> names_in(const std::string& dir);
bool exists(const std::string& path);

// Runs fn in a child process whose files may not grow beyond `bytes` (writes past the limit
// fail with EFBIG instead of raising SIGXFSZ). Returns fn's result, or -1 if the child died.
int run_with_file_size_limit(long bytes, const std::function<int()>& fn);

}  // namespace kxtest
