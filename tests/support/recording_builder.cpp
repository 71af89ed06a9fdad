// Recording builder for the tests: frames and blocks laid out byte by byte.
#include "recording_builder.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kxtest {

Bytes be16(uint32_t v) {
    return {uint8_t(v >> 8), uint8_t(v)};
}
Bytes be32(uint32_t v) {
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes frame(int type, int subtype, const Bytes& payload) {
    Bytes out;
    out.reserve(payload.size() + 7);
    for (uint8_t b : {uint8_t('K'), uint8_t('X'), uint8_t(type), uint8_t(subtype), uint8_t(payload.size())}) {
        out.push_back(b);
    }
    for (uint8_t b : payload) out.push_back(b);
    out.push_back(0xFF);
    out.push_back(0xFE);
    return out;
}

Bytes base_frequency_frame(int hz) {
    return frame(3, 8, be16(hz));
}

Bytes device_frame(int32_t device_id, int device_type, int body_location) {
    return frame(1, 1, cat({be32(uint32_t(device_id)), {uint8_t(device_type), uint8_t(body_location)}}));
}

Bytes date_frame(int subtype, int sec, int min, int hour, int day, int month, int year) {
    return frame(
        3, subtype,
        cat({{uint8_t(sec), uint8_t(min), uint8_t(hour), uint8_t(day), uint8_t(month)}, be16(year)}));
}

Bytes inertial_frame(int subtype, int id, int hz, int range_code, const int32_t offsets[3],
                     const int32_t gains[3], int param) {
    Bytes p = cat({{uint8_t(id)}, be16(hz), {uint8_t(range_code)}});
    for (int i = 0; i < 3; ++i) p = cat({p, be32(uint32_t(offsets[i]))});
    for (int i = 0; i < 3; ++i) p = cat({p, be32(uint32_t(gains[i]))});
    return frame(3, subtype, cat({p, be16(param)}));
}

Bytes inertial_frame(int subtype, int id, int hz, int range_code) {
    const int32_t offsets[3] = {0, 0, 0};
    const int32_t gains[3] = {10000, 10000, 10000};
    return inertial_frame(subtype, id, hz, range_code, offsets, gains, 0);
}

Bytes baro_frame(int id, int hz) {
    return frame(3, 4, cat({{uint8_t(id)}, be16(hz), be16(0)}));
}

Bytes sensor_frame(int subtype, int id, int hz) {
    if (subtype == 10) return frame(3, 10, cat({{uint8_t(id)}, be16(hz), be16(0)}));
    return frame(3, subtype, cat({{uint8_t(id)}, be16(hz)}));
}

Bytes radio_sensor_frame(int id, int hz, int mode, int channel) {
    return frame(3, 17, cat({{uint8_t(id)}, be16(hz), {uint8_t(mode), uint8_t(channel)}}));
}

Bytes radio_frame(int mode, uint32_t value1, uint32_t value2, int channel) {
    return frame(3, 9, cat({{uint8_t(mode)}, be32(value1), be32(value2), {uint8_t(channel)}}));
}

Bytes settings18_frame(int sec1, int ms1, uint32_t tick1, int sec2, int ms2, uint32_t tick2) {
    return frame(3, 18,
                 cat({{0},
                      be16(0),
                      {0, 0},
                      {uint8_t(sec1)},
                      be16(ms1),
                      be32(tick1),
                      {0, 0},
                      {uint8_t(sec2)},
                      be16(ms2),
                      be32(tick2)}));
}

Bytes measure_frame(int param1, int tag, int param3) {
    return frame(3, 1, cat({be16(param1), {uint8_t(tag), uint8_t(param3)}}));
}

Bytes measure_id_frame(int id) {
    return frame(3, 21, be16(id));
}

Record xyz_record(int id, int offset, int16_t x, int16_t y, int16_t z) {
    Record r{uint8_t(id), uint8_t(offset), {}};
    const int16_t v[3] = {x, y, z};
    for (int i = 0; i < 3; ++i) {
        r.payload[2 * i] = uint8_t(uint16_t(v[i]) >> 8);
        r.payload[2 * i + 1] = uint8_t(v[i]);
    }
    return r;
}

Record baro_record(int id, int offset, uint32_t raw_pressure, int16_t raw_temperature) {
    Record r{uint8_t(id), uint8_t(offset), {}};
    r.payload[0] = uint8_t(raw_pressure);
    r.payload[1] = uint8_t(raw_pressure >> 8);
    r.payload[2] = uint8_t(raw_pressure >> 16);
    r.payload[3] = uint8_t(uint16_t(raw_temperature));
    r.payload[4] = uint8_t(uint16_t(raw_temperature) >> 8);
    return r;
}

Record byte_record(int id, int offset, int byte_index, uint8_t value) {
    Record r{uint8_t(id), uint8_t(offset), {}};
    r.payload[byte_index - 2] = value;
    return r;
}

Record radio_record(int id, int offset, int32_t count) {
    Record r{uint8_t(id), uint8_t(offset), {}};
    const Bytes b = be32(uint32_t(count));
    for (int i = 0; i < 4; ++i) r.payload[i] = b[i];
    return r;
}

RecordingBuilder& RecordingBuilder::header(const Bytes& frames) {
    header_.insert(header_.end(), frames.begin(), frames.end());
    if (header_.size() > 512) throw std::length_error("header frames exceed block 0");
    return *this;
}

RecordingBuilder& RecordingBuilder::block(uint32_t base_tick, const std::vector<Record>& records,
                                          uint8_t tag) {
    if (records.size() > 63) throw std::length_error("a block holds 63 records");
    Bytes b(512, 0);
    b[0] = tag;
    const Bytes base = be32(base_tick);
    for (int i = 0; i < 4; ++i) b[4 + i] = base[i];
    for (size_t k = 0; k < records.size(); ++k) {
        uint8_t* r = &b[8 + 8 * k];
        r[0] = records[k].id;
        r[1] = records[k].offset;
        for (int i = 0; i < 6; ++i) r[2 + i] = records[k].payload[i];
    }
    blocks_.push_back(std::move(b));
    return *this;
}

Bytes RecordingBuilder::bytes() const {
    Bytes out = header_;
    out.resize(512, 0);
    for (const auto& b : blocks_) out.insert(out.end(), b.begin(), b.end());
    return out;
}

void RecordingBuilder::write(const std::string& path) const {
    write_file(path, bytes());
}

void write_file(const std::string& path, const Bytes& bytes) {
    write_file(path, bytes.data(), bytes.size());
}

void write_file(const std::string& path, const void* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), std::streamsize(size));
    // Closing flushes: a write that fails only then must throw too.
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string temp_dir() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/kxtest-XXXXXX";
    if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    return templ;
}

int run_with_file_size_limit(long bytes, const std::function<int()>& fn) {
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {static_cast<rlim_t>(bytes), static_cast<rlim_t>(bytes)};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(fn() & 0xff);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    while (dirent* e = d ? readdir(d) : nullptr) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    if (d) closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

}  // namespace kxtest
