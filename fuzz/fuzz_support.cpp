// Scratch files and configuration descriptions for the fuzz harnesses.
#include "fuzz_support.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace kxfuzz {

namespace fs = std::filesystem;

namespace {

std::string make_scratch_dir() {
    std::string base = "/tmp";
    if (const char* env = std::getenv("TMPDIR"); env != nullptr && *env != '\0') base = env;
    struct stat st;
    if (::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && ::access("/dev/shm", W_OK) == 0)
        base = "/dev/shm";
    std::string templ = base + "/kx-fuzz-XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("cannot create " + templ);
    return templ;
}

void remove_scratch_dir();

// Never destroyed: the exit handler that removes the directory still needs its name.
const std::string& dir_once() {
    static const std::string* dir = [] {
        const std::string* d = new std::string(make_scratch_dir());
        std::atexit(remove_scratch_dir);
        return d;
    }();
    return *dir;
}

void remove_scratch_dir() {
    std::error_code ignored;
    fs::remove_all(dir_once(), ignored);
}

template <typename S>
void sensor_fields(std::ostringstream& out, const char* name, const S& s) {
    out << ' ' << name << '=' << s.present << '/' << s.id << '/' << s.frequency;
}

}  // namespace

const std::string& scratch_dir() {
    return dir_once();
}

std::string scratch_path(const std::string& name) {
    return scratch_dir() + "/" + name;
}

bool file_exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::vector<std::string> scratch_entries() {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(scratch_dir())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void clear_scratch() {
    for (const auto& e : fs::directory_iterator(scratch_dir())) {
        std::error_code ignored;
        fs::remove_all(e.path(), ignored);
    }
}

std::string describe(const kx_Config& c) {
    std::ostringstream out;
    out << "frameError=" << c.frameError << " unknown=" << c.unknownFrames.size() << ':';
    for (unsigned char b : c.unknownFrames) out << int(b) << '.';
    out << " frequency=" << c.frequency << " device=" << c.deviceId << '/' << c.deviceType << '/'
        << c.bodyLocation << '/' << c.hasDeviceInfo << " version=" << c.version << '.' << c.majorVersion
        << '.' << c.minorVersion << " radio=" << c.radioMode << '/' << c.radioChannel << '/' << c.radioValue1
        << '/' << c.radioValue2 << " measure=" << c.measureParam1 << '/' << c.measureParam2 << '/'
        << c.measureParam3 << '/' << c.measureId;
    for (const kx_Config::DateStruct* d : {&c.createdAt, &c.endDate}) {
        out << " date=" << d->year << '-' << d->month << '-' << d->day << ' ' << d->hour << ':' << d->minute
            << ':' << d->second;
    }
    for (const kx_Config::InertialConfig* s : {&c.accel, &c.gyro}) {
        out << " inertial=" << s->present << '/' << s->id << '/' << s->frequency << '/' << s->range << '/'
            << s->offsetX << '/' << s->offsetY << '/' << s->offsetZ << '/' << s->gainX << '/' << s->gainY
            << '/' << s->gainZ << '/' << s->param << '/' << s->extra;
    }
    sensor_fields(out, "baro", c.baro);
    out << '/' << c.baro.param << '/' << c.baro.extra;
    sensor_fields(out, "gps", c.gps);
    out << '/' << c.gps.param << '/' << c.gps.param2 << '/' << c.gps.extra;
    sensor_fields(out, "mag", c.mag);
    out << '/' << c.mag.param << '/' << c.mag.extra;
    sensor_fields(out, "event", c.event);
    sensor_fields(out, "event2", c.event2);
    sensor_fields(out, "radioSensor", c.radioSensor);
    out << '/' << c.radioSensor.mode << '/' << c.radioSensor.channel;
    const kx_Config::Settings18& s = c.settings18;
    out << " marks=" << s.present << '/' << s.value1 << '/' << s.value2 << '/' << s.value3 << '/' << s.value4
        << '/' << s.value5 << '/' << s.value6 << '/' << s.value7 << '/' << s.value8 << '/' << s.value9 << '/'
        << s.value10 << '/' << s.value11 << '/' << s.value12;
    sensor_fields(out, "s19", c.sensor19);
    out << '/' << c.sensor19.param;
    sensor_fields(out, "s20", c.sensor20);
    out << '/' << c.sensor20.param;
    return out.str();
}

bool streams_consistent(const kx_SensorMap& map) {
    for (const auto& [id, s] : map) {
        (void)id;
        if (s.time.size() != s.length || s.data.size() != s.dimension * s.length) return false;
    }
    return true;
}

}  // namespace kxfuzz

namespace kxfuzz {

bool cap_written_files() {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{1u << 20, 1u << 20};  // 1 MiB
    return setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

}  // namespace kxfuzz
