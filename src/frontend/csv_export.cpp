// CSV export of one recording's streams: seven header lines, then one row per base tick with
// each stream placed by its rate and events placed by time.
#include <cstring>
#include <memory>
#include <string>

#include "../common/fixed_format.h"
#include "../common/output_file.h"
#include "../common/text.h"
#include "binreader2.h"

namespace {

// Rows are assembled in one buffer and written once it holds this much.
constexpr size_t kFlushSize = size_t{1} << 20;
// Room for the widest row: a time and up to fifteen values, each with its comma.
constexpr size_t kRowRoom = 16 * (kx_fixed::kMaxChars + 1) + 2;

// A stream fit to give data cells: present in the map, not empty, and holding the values and
// times its counts claim (a malformed map is never read past its end).
const kx_DataSensor* usable_stream(const kx_SensorMap& sensors, int id, size_t values, bool needs_time) {
    const auto it = sensors.find(id);
    if (it == sensors.end()) return nullptr;
    const kx_DataSensor& s = it->second;
    if (s.length == 0 || s.dimension < values || s.data.size() < values * s.length) return nullptr;
    if (needs_time && s.time.size() < s.length) return nullptr;
    return &s;
}

// Rows between two samples of a stream: base frequency / stream frequency, truncated. 0 when
// it is undefined or would be 0 (a rate of 0 or above the base rate); such a stream is left out.
uint64_t row_factor(int32_t base, int32_t rate) {
    if (base <= 0 || rate <= 0 || rate > base) return 0;
    return static_cast<uint64_t>(base / rate);
}

// One stream placed on every factor-th row from row 0, while it has samples.
struct SpacedStream {
    const kx_DataSensor* sensor = nullptr;
    uint64_t factor = 0;
    uint64_t next_row = 0;  // the next row whose index is a multiple of factor
    size_t position = 0;

    bool used() const { return sensor != nullptr; }
    void use(const kx_DataSensor* s, uint64_t f) {
        if (s != nullptr && f != 0) {
            sensor = s;
            factor = f;
        }
    }
    // Rows needed to place every sample: the last one lands on row (length - 1) x factor.
    uint64_t rows() const { return used() ? (sensor->length - 1) * factor + 1 : 0; }
    // True when row r carries this stream's next sample (r modulo factor is 0).
    bool due(uint64_t r) const { return position < sensor->length && r == next_row; }
    void advance() {
        ++position;
        next_row += factor;
    }
};

inline char* put(char* p, const char* text, size_t n) {
    std::memcpy(p, text, n);
    return p + n;
}

template <size_t N>
inline char* put(char* p, const char (&text)[N]) {
    return put(p, text, N - 1);
}

template <int Decimals>
inline char* put_value(char* p, double v) {
    p = kx_fixed::format_fixed<Decimals>(p, v);
    *p++ = ',';
    return p;
}

void append_int(std::string& out, int64_t v) {
    char buf[24];
    char* p = buf;
    uint64_t u = static_cast<uint64_t>(v);
    if (v < 0) {
        *p++ = '-';
        u = 0 - u;
    }
    p = kx_fixed::format_uint(p, u);
    out.append(buf, static_cast<size_t>(p - buf));
}

}  // namespace

bool BinReader2::exportCSV(const char* path, const kx_Config* config, const kx_SensorMap* sensors) {
    if (path == nullptr || config == nullptr || sensors == nullptr) return false;
    const kx_Config& c = *config;
    const int32_t base = c.frequency;

    SpacedStream gyro, accel, baro, quat;
    if (c.gyro.present)
        gyro.use(usable_stream(*sensors, KX_GYRO, 3, false), row_factor(base, c.gyro.frequency));
    if (c.accel.present)
        accel.use(usable_stream(*sensors, KX_ACCEL, 3, false), row_factor(base, c.accel.frequency));
    if (c.baro.present)
        baro.use(usable_stream(*sensors, KX_BARO, 2, false), row_factor(base, c.baro.frequency));
    // Quaternions run at the gyroscope's rate; without a gyroscope stream their spacing is unknown.
    if (gyro.used()) quat.use(usable_stream(*sensors, KX_QUATERNION, 4, false), gyro.factor);

    // Events are placed by row time, which needs a base frequency. The second channel wins.
    const kx_DataSensor* event = nullptr;
    if (base > 0) {
        if (c.event2.present) event = usable_stream(*sensors, KX_EVENT2, 1, true);
        if (event == nullptr && c.event.present) event = usable_stream(*sensors, KX_EVENT, 1, true);
    }

    // Enough rows to place every sample of every stream used.
    uint64_t rows = 0;
    for (const SpacedStream* s : {&gyro, &accel, &baro, &quat}) {
        if (s->rows() > rows) rows = s->rows();
    }
    if (event != nullptr && event->length > rows) rows = event->length;

    std::string header;
    header += "Korvel - Tarvex data export\n";
    header += "Created on: ";
    header += _date_to_string(c.createdAt);
    header += "\nTotal data points: ";
    append_int(header, static_cast<int64_t>(rows));
    header += "\n\nTime [";
    append_int(header, base);
    header += " hz],";
    if (c.gyro.present) {
        header += "Gyro [";
        append_int(header, c.gyro.frequency);
        header += " hz],,,";
    }
    if (c.accel.present) {
        header += "Accel [";
        append_int(header, c.accel.frequency);
        header += " hz],,,";
    }
    if (c.baro.present) {
        header += "Baro [";
        append_int(header, c.baro.frequency);
        header += " hz],,";
    }
    if (c.event.present) {
        header += "Event [";
        append_int(header, base);
        header += " hz],";
    }
    if (quat.used()) {
        header += "Quaternion [";
        append_int(header, c.gyro.frequency);
        header += " hz],,,,";
    }
    header += "\nTime,";
    if (c.gyro.present) header += "Gyro X,Gyro Y,Gyro Z,";
    if (c.accel.present) header += "Accel X,Accel Y,Accel Z,";
    if (c.baro.present) header += "Pressure,Temperature,";
    if (event != nullptr) header += "Event,";
    if (quat.used()) header += "Quat W,Quat X,Quat Y,Quat Z,";
    header += "\n[s],";
    if (c.gyro.present) header += "[deg/s],[deg/s],[deg/s],";
    if (c.accel.present) header += "[g],[g],[g],";
    if (c.baro.present) header += "[mBar],[degree C],";
    if (event != nullptr) header += "[],";
    if (quat.used()) header += "[],[],[],[],";
    header += "\n";

    OutputFile file;
    if (!file.open(path)) return false;
    if (!file.write(header.data(), header.size())) return false;

    std::unique_ptr<char[]> buffer(new char[kFlushSize + kRowRoom]);
    char* const start = buffer.get();
    char* p = start;

    const double step = 1.0 / base;
    double time = 0.0;
    size_t event_position = 0;
    for (uint64_t r = 0; r < rows; ++r) {
        // Row times are accumulated, not multiplied, so that they match a running clock.
        time += step;
        p = put_value<5>(p, time);
        if (gyro.used()) {
            if (gyro.due(r)) {
                const kx_DataSensor& s = *gyro.sensor;
                const size_t i = gyro.position;
                p = put_value<5>(p, s.data[i]);
                p = put_value<5>(p, s.data[s.length + i]);
                p = put_value<5>(p, s.data[2 * s.length + i]);
                gyro.advance();
            } else {
                p = put(p, ",,,");
            }
        }
        if (accel.used()) {
            if (accel.due(r)) {
                const kx_DataSensor& s = *accel.sensor;
                const size_t i = accel.position;
                p = put_value<5>(p, s.data[i]);
                p = put_value<5>(p, s.data[s.length + i]);
                p = put_value<5>(p, s.data[2 * s.length + i]);
                accel.advance();
            } else {
                p = put(p, ",,,");
            }
        }
        if (baro.used()) {
            if (baro.due(r)) {
                const kx_DataSensor& s = *baro.sensor;
                const size_t i = baro.position;
                p = put_value<3>(p, s.data[i]);
                p = put_value<1>(p, s.data[s.length + i]);
                baro.advance();
            } else {
                p = put(p, ",,");
            }
        }
        if (event != nullptr) {
            // At most one event a row: events closer than a row move to the following rows.
            if (event_position < event->length && time >= event->time[event_position]) {
                p = put_value<3>(p, event->data[event_position]);
                ++event_position;
            } else {
                *p++ = ',';
            }
        }
        if (quat.used()) {
            if (quat.due(r)) {
                const kx_DataSensor& s = *quat.sensor;
                const size_t i = quat.position;
                p = put_value<5>(p, s.data[i]);
                p = put_value<5>(p, s.data[s.length + i]);
                p = put_value<5>(p, s.data[2 * s.length + i]);
                p = put_value<5>(p, s.data[3 * s.length + i]);
                quat.advance();
            } else {
                p = put(p, ",,,,");
            }
        }
        *p++ = '\n';
        if (static_cast<size_t>(p - start) >= kFlushSize) {
            if (!file.write(start, static_cast<size_t>(p - start))) return false;
            p = start;
        }
    }
    if (p != start && !file.write(start, static_cast<size_t>(p - start))) return false;
    // The file replaces its target only once complete and closed without error.
    return file.commit();
}
