// CSV export of one recording's streams: seven header lines, then one row per base tick with
// each stream placed by its rate and events placed by time. The table of stream kinds below
// drives both the header and the cells.
#include <algorithm>
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

// What the layout needs of a stream: its samples when held whole, and its sample count.
struct StreamFacts {
    const kx_DataSensor* sensor;  // nullptr when not held whole
    size_t length;
    bool usable;
};

// A stream spaced by rate: its header columns follow the configuration, its cells need usable
// samples and a defined spacing.
CsvStream spaced(const CsvStreamKind& kind, int id, bool present, int32_t rate, StreamFacts facts,
                 uint64_t factor) {
    CsvStream s;
    s.sensor_id = id;
    s.kind = &kind;
    s.rate_hz = rate;
    s.labelled = s.named = present;
    if (present && facts.usable && factor != 0) {
        s.sensor = facts.sensor;
        s.cells = true;
        s.length = facts.length;
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
    const double* column[4];  // of the window
    const double* time;       // sample times of the window, for a time-placed stream
    size_t length;            // samples of the whole stream
    size_t first;             // the stream's sample at index 0 of the window
    uint64_t factor;          // 0: placed by time
    size_t position;          // next sample
    uint64_t next_row;        // row of the next sample, for a spaced stream
    int columns;
    const int* decimals;
};

}  // namespace

namespace {

// The layout from the facts of each stream; `stream(id, values, needs_time)` answers them.
template <typename Facts>
CsvLayout prepare_layout(const kx_Config& c, Facts stream, StreamFacts quaternion_facts) {
    CsvLayout layout;
    const int32_t base = c.frequency;
    layout.base_hz = base;
    layout.createdAt = c.createdAt;

    const CsvStream gyro = spaced(kGyro, KX_GYRO, c.gyro.present, c.gyro.frequency, stream(KX_GYRO, 3, false),
                                  row_factor(base, c.gyro.frequency));
    layout.streams.push_back(gyro);
    layout.streams.push_back(spaced(kAccel, KX_ACCEL, c.accel.present, c.accel.frequency,
                                    stream(KX_ACCEL, 3, false), row_factor(base, c.accel.frequency)));
    layout.streams.push_back(spaced(kBaro, KX_BARO, c.baro.present, c.baro.frequency,
                                    stream(KX_BARO, 2, false), row_factor(base, c.baro.frequency)));

    // Events are placed by row time, which needs a base frequency. The second channel wins; the
    // label follows the first channel's configuration and shows the base frequency.
    CsvStream event;
    event.kind = &kEvent;
    event.rate_hz = base;
    event.labelled = c.event.present;
    if (base > 0) {
        StreamFacts facts{nullptr, 0, false};
        if (c.event2.present) {
            facts = stream(KX_EVENT2, 1, true);
            event.sensor_id = KX_EVENT2;
        }
        if (!facts.usable && c.event.present) {
            facts = stream(KX_EVENT, 1, true);
            event.sensor_id = KX_EVENT;
        }
        event.sensor = facts.sensor;
        event.cells = facts.usable;
        event.length = facts.usable ? facts.length : 0;
    }
    event.named = event.cells;
    layout.streams.push_back(event);

    // Quaternions run at the gyroscope's rate; without gyroscope cells their spacing is unknown.
    if (!gyro.cells) quaternion_facts = {nullptr, 0, false};
    layout.streams.push_back(spaced(kQuaternion, KX_QUATERNION, quaternion_facts.usable, c.gyro.frequency,
                                    quaternion_facts, gyro.factor));

    // Enough rows to place every sample of every stream with cells.
    layout.row_room = kCellRoom + 1;  // the time and the line feed
    for (const CsvStream& s : layout.streams) {
        layout.row_room += static_cast<size_t>(s.kind->columns) * kCellRoom;
        if (!s.cells) continue;
        const uint64_t needed = s.factor != 0 ? (s.length - 1) * s.factor + 1 : s.length;
        if (needed > layout.rows) layout.rows = needed;
    }
    return layout;
}

StreamFacts held(const kx_DataSensor* sensor) {
    return {sensor, sensor != nullptr ? sensor->length : 0, sensor != nullptr};
}

}  // namespace

CsvLayout csv_prepare_layout(const kx_Config& c, const kx_SensorMap& sensors) {
    return prepare_layout(
        c,
        [&](int id, size_t values, bool needs_time) {
            return held(usable_stream(sensors, id, values, needs_time));
        },
        held(usable_stream(sensors, KX_QUATERNION, 4, false)));
}

CsvLayout csv_prepare_layout(const kx_Config& c, const std::unordered_map<int, size_t>& lengths) {
    const auto count = [&](int id) {
        const auto it = lengths.find(id);
        return it == lengths.end() ? size_t{0} : it->second;
    };
    // Decoded streams always hold the values and times their counts claim.
    const auto facts = [&](int id, size_t, bool) { return StreamFacts{nullptr, count(id), count(id) > 0}; };
    // The decode step computes orientations over the common samples of both inertial streams at
    // one rate.
    const size_t n = std::min(count(KX_ACCEL), count(KX_GYRO));
    const bool quaternions = lengths.count(KX_ACCEL) != 0 && lengths.count(KX_GYRO) != 0 &&
                             c.accel.frequency == c.gyro.frequency && n > 0;
    return prepare_layout(c, facts, StreamFacts{nullptr, n, quaternions});
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

namespace {

// The windows of a layout whose streams are held whole.
std::vector<CsvWindow> whole_windows(const CsvLayout& layout) {
    std::vector<CsvWindow> windows(layout.streams.size());
    for (size_t i = 0; i < windows.size(); ++i) windows[i].sensor = layout.streams[i].sensor;
    return windows;
}

}  // namespace

void csv_skip_rows(const CsvLayout& layout, CsvCursor* cursor, uint64_t row) {
    csv_skip_rows(layout, whole_windows(layout).data(), cursor, row);
}

void csv_skip_rows(const CsvLayout& layout, const CsvWindow* windows, CsvCursor* cursor, uint64_t row) {
    const double* times = nullptr;  // of the time-placed stream's window
    size_t first = 0, length = 0;
    for (size_t i = 0; i < layout.streams.size(); ++i) {
        const CsvStream& s = layout.streams[i];
        if (s.cells && s.factor == 0) {
            times = windows[i].sensor->time.data();
            first = windows[i].first;
            length = s.length;
        }
    }
    const double step = 1.0 / layout.base_hz;
    double time = cursor->time_s;
    size_t position = cursor->timed_position;
    for (uint64_t r = cursor->row; r < row; ++r) {
        time += step;
        if (times != nullptr && position < length && time >= times[position - first]) ++position;
    }
    cursor->row = row > cursor->row ? row : cursor->row;
    cursor->time_s = time;
    cursor->timed_position = position;
}

size_t csv_write_rows(const CsvLayout& layout, CsvCursor* cursor, uint64_t last, char* out, size_t fill) {
    return csv_write_rows(layout, whole_windows(layout).data(), cursor, last, out, fill);
}

size_t csv_write_rows(const CsvLayout& layout, const CsvWindow* windows, CsvCursor* cursor, uint64_t last,
                      char* out, size_t fill) {
    Lane lanes[8];
    size_t n = 0;
    for (size_t i = 0; i < layout.streams.size(); ++i) {
        const CsvStream& s = layout.streams[i];
        if (!s.cells) continue;
        const kx_DataSensor& w = *windows[i].sensor;
        Lane& l = lanes[n++];
        l.columns = s.kind->columns;
        l.decimals = s.kind->decimals;
        l.length = s.length;
        l.first = windows[i].first;
        for (int k = 0; k < l.columns; ++k) l.column[k] = w.data.data() + k * w.length;
        l.time = w.time.data();
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
            const bool due = l.position < l.length &&
                             (l.factor != 0 ? r == l.next_row : time >= l.time[l.position - l.first]);
            if (due) {
                const size_t at = l.position - l.first;
                for (int k = 0; k < l.columns; ++k) p = put_value(p, l.column[k][at], l.decimals[k]);
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

    // Every stream is held whole: each range's windows are the streams themselves.
    struct Whole : CsvRowSource {
        bool fill(size_t, uint64_t, uint64_t, const CsvCursor&, CsvWindow* windows) override {
            for (size_t i = 0; i < streams->size(); ++i) windows[i] = {(*streams)[i].sensor, 0};
            return true;
        }
        const std::vector<CsvStream>* streams = nullptr;
    } whole;
    whole.streams = &layout.streams;
    return csv_write_table(file, layout, &whole, -1);
}
