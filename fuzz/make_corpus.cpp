// Writes the seed corpora of the fuzz harnesses from the shared recording builders:
//   make_corpus <dir>   creates <dir>/<harness>/<seed> for every harness.
// The committed fuzz/corpus was made with `make_corpus fuzz/corpus`.
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base64/base64.h"
#include "support/recording_builder.h"

using namespace kxtest;

namespace {

// Sensor identifiers as the configuration writer stores them, plus free ones for the rest.
constexpr int kAccel = 0x13, kGyro = 0x14, kBaro = 0x15, kMag = 0x16, kEvent = 0x18, kRadio = 0x19,
              kEvent2 = 0x1A, kGps = 0x1B;

std::string g_root;

void put(const std::string& harness, const std::string& name, const Bytes& bytes) {
    const std::string dir = g_root + "/" + harness;
    ::mkdir(dir.c_str(), 0755);
    write_file(dir + "/" + name, bytes);
}

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

std::string b64(const Bytes& b) {
    return base64_encode(b.data(), static_cast<unsigned>(b.size()));
}

// Every frame kind of the current generation, once.
Bytes full_header() {
    return cat({device_frame(1234, 2, 3), frame(1, 2, cat({be16(1), be16(2), be16(3)})),
                base_frequency_frame(100), date_frame(0, 1, 2, 3, 4, 5, 2024),
                date_frame(6, 6, 7, 8, 9, 10, 2024), measure_frame(1, 7, 2),
                inertial_frame(2, kAccel, 100, 0), inertial_frame(3, kGyro, 100, 2), baro_frame(kBaro, 25),
                sensor_frame(10, kMag, 50), sensor_frame(16, kEvent, 100), sensor_frame(22, kEvent2, 100),
                radio_sensor_frame(kRadio, 100, 0, 5), measure_id_frame(9)});
}

Bytes other_frames() {
    return cat({frame(1, 2, be32(123)), frame(3, 7, cat({{uint8_t(kGps)}, be32(10), {4}, be16(20)})),
                frame(3, 7, cat({{uint8_t(kGps)}, be16(5), be16(21)})), radio_frame(1, 100, 350, 5),
                frame(1, 5, {1, 5}), settings18_frame(10, 500, 100, 20, 250, 1100), frame(3, 11, be32(1)),
                frame(3, 12, be32(2)), frame(3, 13, be32(3)), frame(3, 14, be32(4)), frame(3, 15, be32(5)),
                frame(3, 19, cat({{0x1C}, be16(10), be16(0)})),
                frame(3, 20, cat({{0x1D}, be16(10), be16(0)})), frame(3, 5, {1, 2, 3}), frame(9, 9, {})});
}

Bytes legacy_header(int tag) {
    Bytes inertial = {uint8_t(kAccel), 100, 2};
    for (int i = 0; i < 3; ++i) inertial = cat({inertial, be32(0)});
    for (int i = 0; i < 3; ++i) inertial = cat({inertial, be32(1)});
    Bytes gyro = inertial;
    gyro[0] = kGyro;
    gyro[2] = 250;
    return cat({device_frame(77, 1, 1), base_frequency_frame(100), measure_frame(1, tag, 0),
                frame(2, 0, inertial), frame(2, 1, gyro), frame(2, 2, {uint8_t(kBaro), 25}),
                frame(3, 7, cat({{uint8_t(kGps)}, be16(1), be16(13)}))});
}

// A device at rest, z up, with a little rotation; every sensor of full_header() has records.
std::vector<Record> motion_block(int first_tick, int ticks) {
    std::vector<Record> r;
    for (int t = 0; t < ticks && r.size() + 2 <= 63; ++t) {
        r.push_back(xyz_record(kAccel, t, int16_t(100 * (t % 3)), -50, 16384));
        r.push_back(xyz_record(kGyro, t, 30, int16_t(-20 + first_tick + t), 5));
        if ((first_tick + t) % 4 == 0 && r.size() < 63)
            r.push_back(baro_record(kBaro, t, 4096 * 1013, -1000));
        if ((first_tick + t) % 10 == 0 && r.size() < 63) r.push_back(byte_record(kEvent, t, 2, uint8_t(t)));
        if ((first_tick + t) % 10 == 5 && r.size() < 63) r.push_back(xyz_record(kMag, t, 200, -300, 400));
        if ((first_tick + t) % 15 == 0 && r.size() < 63)
            r.push_back(radio_record(kRadio, t, 1000 + first_tick + t));
        if ((first_tick + t) % 12 == 0 && r.size() < 63) r.push_back(byte_record(kEvent2, t, 7, 3));
    }
    if (r.size() > 63) r.resize(63);
    return r;
}

Bytes recording(const Bytes& header, int blocks, uint8_t tag = 7) {
    RecordingBuilder b;
    b.header(header);
    for (int i = 0; i < blocks; ++i) b.block(uint32_t(25 * i), motion_block(25 * i, 25), tag);
    return b.bytes();
}

// The sync harness reads recordings laid end to end, each after its BE16 length.
Bytes sync_input(const std::vector<Bytes>& recordings) {
    Bytes out;
    for (const Bytes& r : recordings) out = cat({out, be16(uint32_t(r.size())), r});
    return out;
}

Bytes sync_header(const Bytes& method) {
    return cat({base_frequency_frame(100), inertial_frame(2, kAccel, 100, 0),
                inertial_frame(3, kGyro, 100, 2), baro_frame(kBaro, 25), sensor_frame(16, kEvent, 100),
                method});
}

void config_seeds() {
    put("config", "full", full_header());
    put("config", "other-frames", other_frames());
    put("config", "legacy", legacy_header(7));
    put("config", "stray-byte", cat({{0x00}, device_frame(5, 1, 1), base_frequency_frame(50)}));
    put("config", "short-frame", cat({frame(3, 2, Bytes(29, 1)), frame(1, 2, Bytes(5, 0)), frame(3, 8, {})}));
    Bytes late(505, 0);
    late = cat({late, text("KX\x03")});
    put("config", "magic-at-505", late);
}

void write_config_seeds() {
    const Bytes unknown = cat({frame(3, 5, {1, 2, 3}), frame(3, 99, {})});
    put("write_config", "all-keys",
        text("accel,100,8,0,0,0,1,1,1:gyro,100,2000,0,0,0,1,1,1:baro,25:device,12,1,2:firmware,1,2,3:radio,0,"
             "5:"
             "unknownFrames," +
             b64(unknown)));
    put("write_config", "readme-example",
        text("accel,100,8,0,0,0,1,1,1:gyro,100,2000,0,0,0,1,1,1:baro,25:"
             "device,12,1,2:unknownFrames,S1gDBQD//g=="));
    put("write_config", "odd-fields",
        text("::device, -5,300x,+2,extra:baro,2147483647::radio,-2147483648,0:"));
    put("write_config", "unknown-keys", text("Accel,1:nothing:,,:firmware,65535,65536,-1"));
    put("write_config", "too-short", text("gyro,1,2,3"));
}

void base64_seeds() {
    put("base64", "frames", text(b64(full_header())));
    put("base64", "padding", text("S1gDBQD//g==:QQ=:QUI=:QUJD"));
    put("base64", "stops", text("AQID BAUG\n=AQID"));
    put("base64", "binary", Bytes{0, 1, 2, 0xFF, 0xFE, 'K', 'X', 3, 8});
}

void read_seeds() {
    put("read", "full", recording(full_header(), 2));
    put("read", "legacy", recording(legacy_header(7), 2));
    put("read", "config-only", recording(cat({full_header(), other_frames()}), 0));
    put("read", "no-gyro", recording(cat({base_frequency_frame(100), inertial_frame(2, kAccel, 100, 0)}), 1));
    Bytes truncated = recording(full_header(), 2);
    truncated.resize(truncated.size() - 100);
    put("read", "truncated", truncated);
}

// Recordings for both read paths: in order, out of order, and streams stored apart.
void read_paths_seeds() {
    put("read_paths", "full", recording(full_header(), 3));
    put("read_paths", "legacy", recording(legacy_header(7), 2));
    RecordingBuilder reversed;
    reversed.header(full_header());
    for (int i = 2; i >= 0; --i) reversed.block(uint32_t(25 * i), motion_block(25 * i, 25), 7);
    put("read_paths", "out-of-order", reversed.bytes());
    // The accelerometer's records first, then the gyroscope's, then events past the last row.
    RecordingBuilder apart;
    apart.header(cat({base_frequency_frame(100), inertial_frame(2, kAccel, 100, 0),
                      inertial_frame(3, kGyro, 100, 2), sensor_frame(16, kEvent, 100)}));
    for (int part = 0; part < 2; ++part) {
        std::vector<Record> records;
        for (int t = 0; t < 60; ++t)
            records.push_back(xyz_record(part == 0 ? kAccel : kGyro, t, 100, 200, 16384));
        apart.block(0, records, 7);
    }
    apart.block(
        50, {byte_record(kEvent, 0, 2, 1), byte_record(kEvent, 1, 2, 2), byte_record(kEvent, 30, 2, 3)}, 7);
    put("read_paths", "streams-apart", apart.bytes());
}

void bin_reader_seeds() {
    put("bin_reader", "legacy", recording(legacy_header(7), 2));
    put("bin_reader", "current", recording(full_header(), 2));
    // A position-receiver package of 13 bytes in two continuation records, a bad sector, and a
    // block that continues the instant of the previous block's last record.
    RecordingBuilder b;
    b.header(legacy_header(7));
    std::vector<Record> first = motion_block(0, 20);
    first.resize(60);
    first.push_back(Record{uint8_t(kGps), 3, {1, 2, 3, 4, 5, 6}});
    first.push_back(Record{23, 9, {8, 7, 6, 5, 4, 3}});
    first.push_back(xyz_record(kAccel, 9, 1, 2, 3));
    b.block(0, first, 7).block(100, motion_block(0, 10), 8).block(9, {xyz_record(kGyro, 0, 4, 5, 6)}, 7);
    put("bin_reader", "packages", b.bytes());
}

void sync_seeds() {
    const Bytes a = recording(sync_header(settings18_frame(10, 0, 0, 20, 0, 1000)), 2);
    const Bytes b = recording(sync_header(settings18_frame(10, 500, 0, 20, 500, 1000)), 2);
    put("sync", "time-marks", sync_input({a, b}));
    const Bytes master = recording(sync_header(radio_sensor_frame(kRadio, 100, 0, 5)), 2);
    const Bytes slave = recording(sync_header(radio_sensor_frame(kRadio, 100, 1, 5)), 2);
    put("sync", "radio-sensor", sync_input({master, slave, slave}));
    const Bytes basic0 = recording(sync_header(radio_frame(0, 0, 0, 3)), 2);
    const Bytes basic1 = recording(sync_header(radio_frame(1, 100, 150, 3)), 2);
    put("sync", "radio-frame", sync_input({basic1, basic0}));
    put("sync", "one-recording", sync_input({a}));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_corpus <output dir>\n");
        return 2;
    }
    g_root = argv[1];
    ::mkdir(g_root.c_str(), 0755);
    config_seeds();
    write_config_seeds();
    base64_seeds();
    read_seeds();
    read_paths_seeds();
    bin_reader_seeds();
    sync_seeds();
    return 0;
}
