// CSV export of one recording's streams: seven header lines, then one row per base tick with
// each stream placed by its rate and events placed by time. The table of stream kinds below
// drives both the header and the cells.
#include <cstring>
#include <memory>
#include <string>

#include "../common/fixed_format.h"
#include "../common/output_file.h"
#include "../common/text.h"
#include "binreader2.h"
#include "csv_rows.h"

namespace {

// The stream kinds of the table, in column order.
constexpr CsvStreamKind kGyro = {
    "Gyro", 3, {"Gyro X", "Gyro Y", "Gyro Z"}, {"[deg/s]", "[deg/s]", "[deg/s]"}, {5, 5, 5}};
constexpr CsvStreamKind kAccel = {
    "Accel", 3, {"Accel X", "Accel Y", "Accel Z"}, {"[g]", "[g]", "[g]"}, {5, 5, 5}};
constexpr CsvStreamKind kBaro = {"Baro", 2, {"Pressure", "Temperature"}, {"[mBar]", "[degree C]"}, {3, 1}};
constexpr CsvStreamKind kEvent = {"Event", 1, {"Event"}, {"[]"}, {3}};
constexpr CsvStreamKind kQuaternion = {
    "Quaternion", 4, {"Quat W", "Quat X", "Quat Y", "Quat Z"}, {"[]", "[]", "[]", "[]"}, {5, 5, 5, 5}};

// Rows are assembled in one buffer and written once it holds this much.
constexpr size_t kFlushSize = size_t{1} << 20;
// Room for one value and its comma.
constexpr size_t kCellRoom = kx_fixed::kMaxChars + 1;

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
// it is undefined or would be 0 (a rate of 0 or above the base rate); such a stream gets no cells.
uint64_t row_factor(int32_t base, int32_t rate) {
    if (base <= 0 || rate <= 0 || rate > base) return 0;
    return static_cast<uint64_t>(base / rate);
}

// A stream spaced by rate: its header columns follow the configuration, its cells need usable
// samples and a defined spacing.
CsvStream spaced(const CsvStreamKind& kind, bool present, int32_t rate, const kx_DataSensor* sensor,
                 uint64_t factor) {
    CsvStream s;
    s.kind = &kind;
    s.rate_hz = rate;
    s.labelled = s.named = present;
    if (present && sensor != nullptr && factor != 0) {
        s.sensor = sensor;
        s.factor = factor;
    }
    return s;
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

// One value with its comma, with the decimals of its column.
inline char* put_value(char* p, double v, int decimals) {
    switch (decimals) {
        case 5:
            p = kx_fixed::format_fixed<5>(p, v);
            break;
        case 3:
            p = kx_fixed::format_fixed<3>(p, v);
            break;
        case 1:
            p = kx_fixed::format_fixed<1>(p, v);
            break;
        default:
            p = kx_fixed::format_fixed_slow(p, v, decimals);
            break;
    }
    *p++ = ',';
    return p;
}

// A stream's state inside one call of the row writer.
struct Lane {
    const double* column[4];
    const double* time;  // sample times, for a time-placed stream
    size_t length;
    uint64_t factor;    // 0: placed by time
    size_t position;    // next sample
    uint64_t next_row;  // row of the next sample, for a spaced stream
    int columns;
    const int* decimals;
};

}  // namespace

CsvLayout csv_prepare_layout(const kx_Config& c, const kx_SensorMap& sensors) {
    CsvLayout layout;
    const int32_t base = c.frequency;
    layout.base_hz = base;
    layout.createdAt = c.createdAt;

    const CsvStream gyro =
        spaced(kGyro, c.gyro.present, c.gyro.frequency, usable_stream(sensors, KX_GYRO, 3, false),
               row_factor(base, c.gyro.frequency));
    layout.streams.push_back(gyro);
    layout.streams.push_back(spaced(kAccel, c.accel.present, c.accel.frequency,
                                    usable_stream(sensors, KX_ACCEL, 3, false),
                                    row_factor(base, c.accel.frequency)));
    layout.streams.push_back(spaced(kBaro, c.baro.present, c.baro.frequency,
                                    usable_stream(sensors, KX_BARO, 2, false),
                                    row_factor(base, c.baro.frequency)));

    // Events are placed by row time, which needs a base frequency. The second channel wins; the
    // label follows the first channel's configuration and shows the base frequency.
    CsvStream event;
    event.kind = &kEvent;
    event.rate_hz = base;
    event.labelled = c.event.present;
    if (base > 0) {
        if (c.event2.present) event.sensor = usable_stream(sensors, KX_EVENT2, 1, true);
        if (event.sensor == nullptr && c.event.present)
            event.sensor = usable_stream(sensors, KX_EVENT, 1, true);
    }
    event.named = event.sensor != nullptr;
    layout.streams.push_back(event);

    // Quaternions run at the gyroscope's rate; without gyroscope cells their spacing is unknown.
    const kx_DataSensor* quat =
        gyro.sensor != nullptr ? usable_stream(sensors, KX_QUATERNION, 4, false) : nullptr;
    layout.streams.push_back(spaced(kQuaternion, quat != nullptr, c.gyro.frequency, quat, gyro.factor));

    // Enough rows to place every sample of every stream with cells.
    layout.row_room = kCellRoom + 1;  // the time and the line feed
    for (const CsvStream& s : layout.streams) {
        layout.row_room += static_cast<size_t>(s.kind->columns) * kCellRoom;
        if (s.sensor == nullptr) continue;
        const uint64_t needed = s.factor != 0 ? (s.sensor->length - 1) * s.factor + 1 : s.sensor->length;
        if (needed > layout.rows) layout.rows = needed;
    }
    return layout;
}

std::string csv_header(const CsvLayout& layout) {
    std::string labels = "\nTime [", names = "\nTime,", units = "\n[s],";
    append_int(labels, layout.base_hz);
    labels += " hz],";
    for (const CsvStream& s : layout.streams) {
        const CsvStreamKind& k = *s.kind;
        if (s.labelled) {
            labels += k.label;
            labels += " [";
            append_int(labels, s.rate_hz);
            labels += " hz]";
            labels.append(static_cast<size_t>(k.columns), ',');
        }
        if (!s.named) continue;
        for (int i = 0; i < k.columns; ++i) {
            names += k.name[i];
            names += ',';
            units += k.unit[i];
            units += ',';
        }
    }
    std::string header = "Korvel - Tarvex data export\nCreated on: ";
    header += _date_to_string(layout.createdAt);
    header += "\nTotal data points: ";
    append_int(header, static_cast<int64_t>(layout.rows));
    header += '\n';
    header += labels;
    header += names;
    header += units;
    header += '\n';
    return header;
}

void csv_skip_rows(const CsvLayout& layout, CsvCursor* cursor, uint64_t row) {
    const CsvStream* timed = nullptr;
    for (const CsvStream& s : layout.streams) {
        if (s.sensor != nullptr && s.factor == 0) timed = &s;
    }
    const double step = 1.0 / layout.base_hz;
    for (; cursor->row < row; ++cursor->row) {
        cursor->time_s += step;
        if (timed != nullptr && cursor->timed_position < timed->sensor->length &&
            cursor->time_s >= timed->sensor->time[cursor->timed_position])
            ++cursor->timed_position;
    }
}

size_t csv_write_rows(const CsvLayout& layout, CsvCursor* cursor, uint64_t last, char* out, size_t fill) {
    Lane lanes[8];
    size_t n = 0;
    for (const CsvStream& s : layout.streams) {
        if (s.sensor == nullptr) continue;
        Lane& l = lanes[n++];
        l.columns = s.kind->columns;
        l.decimals = s.kind->decimals;
        l.length = s.sensor->length;
        for (int k = 0; k < l.columns; ++k) l.column[k] = s.sensor->data.data() + k * l.length;
        l.time = s.sensor->time.data();
        l.factor = s.factor;
        if (l.factor != 0) {
            // The first sample at or after the first row: ceil(row / factor).
            l.position = static_cast<size_t>((cursor->row + l.factor - 1) / l.factor);
            l.next_row = l.position * l.factor;
        } else {
            l.position = cursor->timed_position;
            l.next_row = 0;
        }
    }

    const double step = 1.0 / layout.base_hz;
    double time = cursor->time_s;
    char* p = out;
    uint64_t r = cursor->row;
    for (; r < last; ++r) {
        // Row times are accumulated, not multiplied, so that they match a running clock.
        time += step;
        p = put_value(p, time, 5);
        for (size_t j = 0; j < n; ++j) {
            Lane& l = lanes[j];
            const bool due =
                l.position < l.length && (l.factor != 0 ? r == l.next_row : time >= l.time[l.position]);
            if (due) {
                for (int k = 0; k < l.columns; ++k) p = put_value(p, l.column[k][l.position], l.decimals[k]);
                ++l.position;
                l.next_row += l.factor;
            } else {
                // Empty cells: as many commas as columns (the copy may run past; the row room allows it).
                std::memcpy(p, ",,,,", 4);
                p += l.columns;
            }
        }
        *p++ = '\n';
        if (static_cast<size_t>(p - out) >= fill) {
            ++r;
            break;
        }
    }

    cursor->row = r;
    cursor->time_s = time;
    for (size_t j = 0; j < n; ++j) {
        if (lanes[j].factor == 0) cursor->timed_position = lanes[j].position;
    }
    return static_cast<size_t>(p - out);
}

bool BinReader2::exportCSV(const char* path, const kx_Config* config, const kx_SensorMap* sensors) {
    if (path == nullptr) return false;
    OutputFile file;
    // The file replaces its target only once complete and closed without error.
    return file.open(path) && _write_csv(&file, config, sensors) && file.commit();
}

bool _write_csv(OutputFile* file, const kx_Config* config, const kx_SensorMap* sensors) {
    if (file == nullptr || config == nullptr || sensors == nullptr) return false;
    const CsvLayout layout = csv_prepare_layout(*config, *sensors);
    const std::string header = csv_header(layout);
    if (!file->write(header.data(), header.size())) return false;

    // The rows are written in the order of the file from one reused buffer, so the memory used
    // does not grow with the number of rows.
    std::unique_ptr<char[]> buffer(new char[kFlushSize + layout.row_room]);
    CsvCursor cursor;
    while (cursor.row < layout.rows) {
        const size_t n = csv_write_rows(layout, &cursor, layout.rows, buffer.get(), kFlushSize);
        if (!file->write(buffer.get(), n)) return false;
    }
    return true;
}
