// Benchmark of read(): builds synthetic recordings (1 hour, a day, a week...) and reports wall
// time, peak memory and throughput of the conversion beside a floor measured in the same run.
//
//   kx_read_bench [--dir DIR] [--disk-dir DIR] [--hours 1,24,168] [--runs N] [--phases] [--keep]
//
// Every measured step runs in a fresh process (this program re-executed), so that its peak
// resident size is its own; read and floor runs alternate. The floor reads the recording in
// one call and writes a file of the CSV's size from a reused 1 MiB buffer: the bytes any
// conversion must move. Outputs go to --dir (a tmpfs such as /dev/shm gives steady figures)
// and, with --disk-dir, also to a disk, where write-back throttling moves them from run to run.
// --phases times the streamed read's steps one by one, each on one thread.
//   kx_read_bench --child-filter RECORDING specified|bias-corrected  times one orientation filter alone.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/fixed_format.h"
#include "frontend/binreader2.h"
#include "frontend/csv_rows.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// CPU time of this process: unlike wall time, barely moved by other work on the machine.
double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

constexpr int kBaseHz = 100;
constexpr int kInertialHz = 100;
constexpr int kBaroHz = 25;
constexpr int kAccId = 1, kGyroId = 2, kBaroId = 3;

void put_be16(std::vector<unsigned char>& out, uint32_t v) {
    out.push_back(static_cast<unsigned char>(v >> 8));
    out.push_back(static_cast<unsigned char>(v));
}

void frame(std::vector<unsigned char>& out, int type, int subtype,
           const std::vector<unsigned char>& payload) {
    out.insert(out.end(), {'K', 'X', static_cast<unsigned char>(type), static_cast<unsigned char>(subtype),
                           static_cast<unsigned char>(payload.size())});
    out.insert(out.end(), payload.begin(), payload.end());
    out.insert(out.end(), {0xFF, 0xFE});
}

std::vector<unsigned char> inertial_payload(int id, int hz, int range_code) {
    std::vector<unsigned char> p = {static_cast<unsigned char>(id)};
    put_be16(p, hz);
    p.push_back(static_cast<unsigned char>(range_code));
    for (int i = 0; i < 3; ++i) p.insert(p.end(), {0, 0, 0, 0});        // offsets 0
    for (int i = 0; i < 3; ++i) p.insert(p.end(), {0, 0, 0x27, 0x10});  // gains 10000 = 1.0
    p.insert(p.end(), {0, 0});
    return p;
}

// A recording of `hours` hours: accelerometer and gyroscope at 100 Hz, barometer at 25 Hz on a
// 100 Hz clock. Still for the first two seconds, then a slow wobble with noise, so the tracker
// does its full work on every sample.
struct Generated {
    uint64_t bytes = 0;
    uint64_t inertial_samples = 0;
    uint64_t baro_samples = 0;
};

Generated write_recording(const std::string& path, double hours) {
    std::vector<unsigned char> head;
    frame(head, 3, 8, {0, kBaseHz});
    frame(head, 3, 0, {0, 0, 8, 1, 6, 0x07, 0xE8});  // 2024-06-01 08:00:00
    frame(head, 3, 1, {0, 0, 0x5A, 0});
    frame(head, 3, 2, inertial_payload(kAccId, kInertialHz, 0));   // 2 g
    frame(head, 3, 3, inertial_payload(kGyroId, kInertialHz, 1));  // 500 deg/s
    frame(head, 3, 4, {kBaroId, 0, kBaroHz, 0, 0});
    head.resize(512, 0);

    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        std::perror(path.c_str());
        std::exit(2);
    }
    Generated g;
    std::fwrite(head.data(), 1, head.size(), f);
    g.bytes += head.size();

    const uint64_t ticks = static_cast<uint64_t>(hours * 3600 * kBaseHz);
    std::vector<unsigned char> out;
    out.reserve(1 << 22);
    unsigned char block[512];
    int records = 0;
    uint32_t base = 0;
    uint32_t noise = 12345;
    const auto next_noise = [&]() {
        noise = noise * 1664525u + 1013904223u;
        return static_cast<int>((noise >> 24) & 0x3F) - 32;
    };
    const auto flush_block = [&]() {
        std::memset(block + 8 + 8 * records, 0, static_cast<size_t>(8 * (63 - records)));
        out.insert(out.end(), block, block + 512);
        g.bytes += 512;
        records = 0;
        if (out.size() >= (1u << 22)) {
            std::fwrite(out.data(), 1, out.size(), f);
            out.clear();
        }
    };
    const auto add = [&](uint64_t tick, int id, int16_t a, int16_t b, int16_t c, bool le_baro) {
        if (records == 63 || (records > 0 && tick - base > 255)) flush_block();
        if (records == 0) {
            base = static_cast<uint32_t>(tick);
            std::memset(block, 0, 8);
            block[0] = 0x5A;
            block[4] = static_cast<unsigned char>(base >> 24);
            block[5] = static_cast<unsigned char>(base >> 16);
            block[6] = static_cast<unsigned char>(base >> 8);
            block[7] = static_cast<unsigned char>(base);
        }
        unsigned char* r = block + 8 + 8 * records++;
        r[0] = static_cast<unsigned char>(id);
        r[1] = static_cast<unsigned char>(tick - base);
        if (le_baro) {
            const uint32_t pressure = 4096u * 1013u + static_cast<uint32_t>(a & 0x3FF);
            r[2] = static_cast<unsigned char>(pressure);
            r[3] = static_cast<unsigned char>(pressure >> 8);
            r[4] = static_cast<unsigned char>(pressure >> 16);
            r[5] = static_cast<unsigned char>(static_cast<uint16_t>(b));
            r[6] = static_cast<unsigned char>(static_cast<uint16_t>(b) >> 8);
            r[7] = 0;
        } else {
            const int16_t v[3] = {a, b, c};
            for (int k = 0; k < 3; ++k) {
                r[2 + 2 * k] = static_cast<unsigned char>(static_cast<uint16_t>(v[k]) >> 8);
                r[3 + 2 * k] = static_cast<unsigned char>(v[k]);
            }
        }
    };
    for (uint64_t t = 0; t < ticks; ++t) {
        const bool still = t < 2 * kBaseHz;
        const double phase = static_cast<double>(t) / kBaseHz;
        const double wobble = still ? 0.0 : 0.3 * std::sin(phase * 0.7);
        // Accelerometer: gravity tipping with the wobble (1 g = 16384 at 2 g full scale).
        add(t, kAccId, static_cast<int16_t>(16384 * std::sin(wobble) + (still ? 0 : next_noise())),
            static_cast<int16_t>(still ? 0 : next_noise()),
            static_cast<int16_t>(16384 * std::cos(wobble) + (still ? 0 : next_noise())), false);
        // Gyroscope: the wobble's rate, 65.536 counts per deg/s at 500 deg/s full scale.
        const double rate_dps = still ? 0.0 : 0.3 * 0.7 * std::cos(phase * 0.7) * 180 / 3.141592653589793;
        add(t, kGyroId, static_cast<int16_t>(still ? 0 : next_noise()),
            static_cast<int16_t>(rate_dps * 65.536 + (still ? 0 : next_noise())),
            static_cast<int16_t>(still ? 0 : next_noise()), false);
        g.inertial_samples++;
        if (t % (kBaseHz / kBaroHz) == 0) {
            add(t, kBaroId, static_cast<int16_t>(next_noise() & 0x3FF),
                static_cast<int16_t>(2150 + next_noise() / 8), 0, true);
            g.baro_samples++;
        }
    }
    if (records > 0) flush_block();
    std::fwrite(out.data(), 1, out.size(), f);
    if (std::fclose(f) != 0) {
        std::perror(path.c_str());
        std::exit(2);
    }
    return g;
}

uint64_t file_size(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

struct ChildResult {
    bool ok = false;
    double wall_s = 0;
    double cpu_s = 0;  // user + system time of the child
    double peak_mb = 0;
    std::string output;
};

// Runs this program again with `args`, timing it and taking its peak resident size.
ChildResult run_child(const std::string& self, const std::vector<std::string>& args) {
    int pipe_fd[2];
    if (::pipe(pipe_fd) != 0) std::exit(2);
    const Clock::time_point t0 = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipe_fd[1], STDOUT_FILENO);
        ::close(pipe_fd[0]);
        ::close(pipe_fd[1]);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(self.c_str()));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(self.c_str(), argv.data());
        _exit(127);
    }
    ::close(pipe_fd[1]);
    ChildResult r;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(pipe_fd[0], buf, sizeof buf)) > 0) r.output.append(buf, static_cast<size_t>(n));
    ::close(pipe_fd[0]);
    int status = 0;
    struct rusage usage;
    ::wait4(pid, &status, 0, &usage);
    r.wall_s = seconds_since(t0);
    r.peak_mb = usage.ru_maxrss * 1024.0 / 1e6;  // ru_maxrss is in KiB on Linux; MB here
    r.cpu_s = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
              usage.ru_stime.tv_usec / 1e6;
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return r;
}

// Child: read() of one recording.
int child_read(const char* input, const char* csv) {
    BinReader2 reader;
    const std::string answer = reader.read(input, csv);
    std::printf("%s", answer.c_str());
    return answer.find("\"error\"") == std::string::npos ? 0 : 1;
}

// Child: the three steps of read() timed one by one.
int child_phases(const char* input, const char* csv) {
    kx_Config config;
    kx_SensorMap sensors;
    Clock::time_point t0 = Clock::now();
    double c0 = cpu_seconds();
    const bool ok = kx_read<char>(&config, &sensors, input);
    const double t_read = seconds_since(t0), c_read = cpu_seconds() - c0;
    t0 = Clock::now();
    c0 = cpu_seconds();
    kx_computeQuaternion(&config, &sensors);
    const double t_quat = seconds_since(t0), c_quat = cpu_seconds() - c0;
    t0 = Clock::now();
    c0 = cpu_seconds();
    BinReader2 reader;
    const bool written = reader.exportCSV(csv, &config, &sensors);
    const double t_csv = seconds_since(t0), c_csv = cpu_seconds() - c0;
    t0 = Clock::now();
    c0 = cpu_seconds();
    sensors.clear();
    const double t_free = seconds_since(t0), c_free = cpu_seconds() - c0;
    std::printf(
        "decode %.3f s (cpu %.3f), quaternions %.3f s (cpu %.3f), CSV %.3f s (cpu %.3f), release %.3f s (cpu "
        "%.3f)",
        t_read, c_read, t_quat, c_quat, t_csv, c_csv, t_free, c_free);
    return ok && written ? 0 : 1;
}

// Child: the steps of the streamed read timed one by one, each on one thread over the same
// ranges of rows: scan, read and decode of every stream, the orientation filter, formatting.
int child_stream_phases(const char* input) {
    Clock::time_point t0 = Clock::now();
    kx_RecordingScan scan;
    if (kx_scanRecording(input, &scan) != kx_DecodeError::none) return 1;
    const double t_scan = seconds_since(t0);
    const CsvLayout layout = csv_prepare_layout(scan.config, scan.lengths);
    const size_t n = layout.streams.size();
    std::vector<std::unique_ptr<kx_StreamReader>> readers(n);
    size_t acc = n, gyro = n, quat = n;
    for (size_t i = 0; i < n; ++i) {
        const CsvStream& s = layout.streams[i];
        if (!s.cells) continue;
        if (s.factor == 0) return 1;  // the synthetic recording has no events
        if (s.sensor_id == KX_QUATERNION) {
            quat = i;
            continue;
        }
        if (s.sensor_id == KX_ACCEL) acc = i;
        if (s.sensor_id == KX_GYRO) gyro = i;
        readers[i] = std::make_unique<kx_StreamReader>();
        if (!readers[i]->open(input, s.sensor_id)) return 1;
    }
    kx_OrientationFilter filter;
    if (quat < n && !filter.start(scan.config)) return 1;
    std::vector<kx_DataSensor> own(n);
    std::vector<CsvWindow> windows(n);
    std::unique_ptr<char[]> text(new char[32768 * layout.row_room]);
    double t_decode = 0, t_filter = 0, t_format = 0;
    size_t bytes = 0;
    CsvCursor cursor;
    for (uint64_t r0 = 0; r0 < layout.rows; r0 += 32768) {
        const uint64_t r1 = std::min<uint64_t>(layout.rows, r0 + 32768);
        t0 = Clock::now();
        for (size_t i = 0; i < n; ++i) {
            const CsvStream& s = layout.streams[i];
            if (!s.cells) continue;
            const uint64_t first = (r0 + s.factor - 1) / s.factor;
            const uint64_t end = std::min<uint64_t>(s.length, (r1 + s.factor - 1) / s.factor);
            windows[i] = {&own[i], static_cast<size_t>(first)};
            if (i != quat && !readers[i]->read(end > first ? end - first : 0, &own[i])) return 1;
            if (i == quat) {
                own[i].dimension = 4;
                own[i].length = end > first ? end - first : 0;
                own[i].data.assign(4 * own[i].length, 0.0);
            }
        }
        t_decode += seconds_since(t0);
        if (quat < n) {
            t0 = Clock::now();
            filter.run(own[acc], own[gyro], own[quat].length, own[quat].data.data(), own[quat].length);
            t_filter += seconds_since(t0);
        }
        t0 = Clock::now();
        bytes += csv_write_rows(layout, windows.data(), &cursor, r1, text.get(), 32768 * layout.row_room);
        t_format += seconds_since(t0);
    }
    std::printf("scan %.3f s, read+decode %.3f s, filter %.3f s, format %.3f s [%zu bytes]", t_scan, t_decode,
                t_filter, t_format, bytes);
    return 0;
}

// Child: the orientation filter alone, of one mode, over a whole recording's accelerometer and
// gyroscope decoded beforehand; prints its CPU time per sample. Run once per mode, alternating
// (farm-bench --vs), for the two modes' ratio.
int child_filter(const char* input, const char* mode) {
    kx_RecordingScan scan;
    if (kx_scanRecording(input, &scan) != kx_DecodeError::none) return 1;
    kx_DataSensor acc, gyro;
    kx_StreamReader ra, rg;
    if (!ra.open(input, KX_ACCEL) || !ra.read(scan.lengths[KX_ACCEL], &acc)) return 1;
    if (!rg.open(input, KX_GYRO) || !rg.read(scan.lengths[KX_GYRO], &gyro)) return 1;
    const bool bias = std::strcmp(mode, "bias-corrected") == 0;
    kx_OrientationFilter filter;
    if (!filter.start(scan.config, bias ? kx_Orientation::biasCorrected : kx_Orientation::specified)) return 1;
    const size_t n = std::min(acc.length, gyro.length);
    std::vector<double> out(4 * n, 0.0);
    const double c0 = cpu_seconds();
    const Clock::time_point t0 = Clock::now();
    filter.run(acc, gyro, n, out.data(), n);
    const double cpu = cpu_seconds() - c0, wall = seconds_since(t0);
    double check = 0;  // keeps the output alive
    for (size_t i = 0; i < out.size(); i += 997) check += out[i];
    std::printf("filter %s: %zu samples, cpu %.4f s, wall %.4f s, %.1f ns a sample (cpu) [%g]\n", mode, n, cpu, wall,
                1e9 * cpu / static_cast<double>(n), check);
    return 0;
}

// Child: the floor. One read of the whole recording, then `csv_bytes` written in 1 MiB writes.
int child_floor(const char* input, const char* output, const char* csv_bytes_text) {
    const uint64_t csv_bytes = std::strtoull(csv_bytes_text, nullptr, 10);
    const int in = ::open(input, O_RDONLY);
    if (in < 0) return 1;
    const uint64_t size = file_size(input);
    std::unique_ptr<char[]> data(new char[size]);
    uint64_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(in, data.get() + got, size - got);
        if (n <= 0) return 1;
        got += static_cast<uint64_t>(n);
    }
    ::close(in);
    const int out = ::open(output, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) return 1;
    std::vector<char> chunk(size_t{1} << 20, '7');
    uint64_t left = csv_bytes;
    while (left > 0) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(left, chunk.size()));
        if (::write(out, chunk.data(), n) != static_cast<ssize_t>(n)) return 1;
        left -= n;
    }
    if (::close(out) != 0) return 1;
    std::printf("%c", data[size / 2]);  // keep the read from being optimised away
    return 0;
}

// Side by side: three ways to write a value with 5 decimals, over sensor-like values.
void compare_formatters() {
    const size_t n = 5000000;
    std::vector<double> values(n);
    uint64_t s = 88172645463325252ull;
    for (double& v : values) {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        v = (static_cast<double>(s >> 11) / 9007199254740992.0 - 0.5) * 400.0;
    }
    char buf[kx_fixed::kMaxChars + 8];
    size_t sink = 0;
    Clock::time_point t0 = Clock::now();
    for (double v : values) sink += static_cast<size_t>(std::snprintf(buf, sizeof buf, "%.5f", v));
    const double t_printf = seconds_since(t0);
    t0 = Clock::now();
    for (double v : values)
        sink += static_cast<size_t>(std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 5).ptr -
                                    buf);
    const double t_to_chars = seconds_since(t0);
    t0 = Clock::now();
    for (double v : values) sink += static_cast<size_t>(kx_fixed::format_fixed<5>(buf, v) - buf);
    const double t_fixed = seconds_since(t0);
    std::printf(
        "formatting %%.5f (ns/value): snprintf %.1f, std::to_chars %.1f, integer formatter %.1f  [%zu]\n",
        t_printf * 1e9 / n, t_to_chars * 1e9 / n, t_fixed * 1e9 / n, sink % 10);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--child-read") == 0) return child_read(argv[2], argv[3]);
    if (argc == 4 && std::strcmp(argv[1], "--child-phases") == 0) return child_phases(argv[2], argv[3]);
    if (argc == 3 && std::strcmp(argv[1], "--child-stream-phases") == 0) return child_stream_phases(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "--child-filter") == 0) return child_filter(argv[2], argv[3]);
    if (argc == 5 && std::strcmp(argv[1], "--child-floor") == 0)
        return child_floor(argv[2], argv[3], argv[4]);

    std::string dir = "/tmp", disk_dir;
    std::vector<double> hours = {1, 24};
    int runs = 3;
    bool phases = false, keep = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--dir" && i + 1 < argc) {
            dir = argv[++i];
        } else if (a == "--disk-dir" && i + 1 < argc) {
            disk_dir = argv[++i];
        } else if (a == "--hours" && i + 1 < argc) {
            hours.clear();
            const std::string list = argv[++i];
            size_t p = 0;
            while (p < list.size()) {
                size_t q = list.find(',', p);
                if (q == std::string::npos) q = list.size();
                hours.push_back(std::atof(list.substr(p, q - p).c_str()));
                p = q + 1;
            }
        } else if (a == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--phases") {
            phases = true;
        } else if (a == "--keep") {
            keep = true;
        } else {
            std::fprintf(
                stderr,
                "usage: %s [--dir DIR] [--disk-dir DIR] [--hours 1,24,168] [--runs N] [--phases] [--keep]\n",
                argv[0]);
            return 2;
        }
    }
    char self_buf[4096];
    const ssize_t self_len = ::readlink("/proc/self/exe", self_buf, sizeof self_buf - 1);
    if (self_len <= 0) return 2;
    const std::string self(self_buf, static_cast<size_t>(self_len));

    compare_formatters();
    std::printf("%-6s %9s %9s %9s %7s %7s %7s %7s %7s %8s %8s %8s %8s\n", "length", "input MB", "CSV MB",
                "rows", "time s", "cpu s", "floor s", "ratio", "cpu/fl", "peak MB", "peak/str", "in MB/s",
                "CSV MB/s");
    std::vector<std::string> table;  // Markdown rows, printed at the end
    double day_per_hour = 0;
    int failures = 0;
    for (double h : hours) {
        const std::string tag =
            std::to_string(static_cast<long>(h * 3600)) + "s." + std::to_string(::getpid());
        const std::string input = dir + "/kx_bench_" + tag + ".bin";
        const Generated g = write_recording(input, h);
        // Bytes of the decoded streams: time plus values for each sample of accelerometer,
        // gyroscope, barometer and the quaternion stream.
        const double streams_mb = 8.0 * (g.inertial_samples * (4 + 4 + 5) + g.baro_samples * 3) / 1e6;
        char label[32];
        std::snprintf(label, sizeof label, "%gh", h);

        // One target directory: read and floor alternate, medians of each.
        struct Figures {
            double t = 0, c = 0, f = 0, fc = 0, peak = 0;
            bool ok = false;
        };
        uint64_t csv_bytes = 0;
        const auto measure = [&](const std::string& out_dir) {
            Figures fig;
            const std::string csv = out_dir + "/kx_bench_" + tag + ".csv";
            const std::string floor_out = out_dir + "/kx_bench_" + tag + ".floor";
            std::vector<double> times, cpus, floors, floor_cpus, peaks;
            for (int r = 0; r < runs; ++r) {
                ::unlink(csv.c_str());
                const ChildResult read = run_child(self, {"--child-read", input, csv});
                if (!read.ok) {
                    std::fprintf(stderr, "read failed: %s\n", read.output.c_str());
                    ++failures;
                    break;
                }
                csv_bytes = file_size(csv);
                ::unlink(csv.c_str());
                ::unlink(floor_out.c_str());
                const ChildResult floor =
                    run_child(self, {"--child-floor", input, floor_out, std::to_string(csv_bytes)});
                ::unlink(floor_out.c_str());
                if (!floor.ok) {
                    ++failures;
                    break;
                }
                times.push_back(read.wall_s);
                cpus.push_back(read.cpu_s);
                floors.push_back(floor.wall_s);
                floor_cpus.push_back(floor.cpu_s);
                peaks.push_back(read.peak_mb);
            }
            if (times.empty()) return fig;
            fig = {median(times),
                   median(cpus),
                   median(floors),
                   median(floor_cpus),
                   *std::max_element(peaks.begin(), peaks.end()),
                   true};
            const double in_mb = g.bytes / 1e6, csv_mb = csv_bytes / 1e6;
            std::printf("%-6s %9.1f %9.1f %9llu %7.3f %7.3f %7.3f %7.2f %7.2f %8.1f %8.2f %8.1f %8.1f  %s\n",
                        label, in_mb, csv_mb, static_cast<unsigned long long>(g.inertial_samples), fig.t,
                        fig.c, fig.f, fig.t / fig.f, fig.c / fig.fc, fig.peak, fig.peak / streams_mb,
                        in_mb / fig.t, csv_mb / fig.t, out_dir.c_str());
            std::printf(
                "       median of %d runs; fastest %.3f s; floor cpu %.3f s; decoded streams %.1f MB\n",
                static_cast<int>(times.size()), *std::min_element(times.begin(), times.end()), fig.fc,
                streams_mb);
            std::fflush(stdout);
            return fig;
        };
        const Figures shm = measure(dir);
        const Figures disk = disk_dir.empty() ? Figures{} : measure(disk_dir);

        std::string phase_text = "-";
        if (phases) {
            const ChildResult p = run_child(self, {"--child-stream-phases", input});
            std::printf("       phases: %s\n", p.output.c_str());
            phase_text = p.output.substr(0, p.output.find(" ["));
        }
        if (shm.ok) {
            const double per_hour = shm.t / h;
            if (h == 24) day_per_hour = per_hour;
            char row[512];
            std::snprintf(
                row, sizeof row,
                "| %s | %.1f MB | %.1f MB | %.3f s | %.3f s | %.1fx | %.2f s/h%s | %s | %.0f MB | %s |",
                label, g.bytes / 1e6, csv_bytes / 1e6, shm.t, shm.f, shm.t / shm.f, per_hour,
                day_per_hour > 0 && h > 24
                    ? (" (" + std::to_string(per_hour / day_per_hour).substr(0, 4) + "x a day's)").c_str()
                    : "",
                disk.ok ? (std::to_string(disk.t).substr(0, 5) + " s / " +
                           std::to_string(disk.f).substr(0, 5) + " s")
                              .c_str()
                        : "-",
                shm.peak, phase_text.c_str());
            table.emplace_back(row);
        }
        if (!keep) ::unlink(input.c_str());
    }
    std::printf(
        "\n| recording | input | CSV | read() (tmpfs) | floor (tmpfs) | ratio | per recorded hour | read() / "
        "floor on disk | peak memory | phases, one thread each |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    for (const std::string& row : table) std::printf("%s\n", row.c_str());
    return failures == 0 ? 0 : 1;
}
