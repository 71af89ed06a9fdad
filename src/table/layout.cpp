// The prepared layout of a recording's table: which streams are used, at which spacing, how
// many rows; and the cursor carried over rows without writing them.
#include <algorithm>
#include <string>
#include <vector>

#include "../common/fixed_format.h"
#include "table.h"

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
    // Given, or as the decode step computes orientations: over the common samples of both
    // inertial streams at one rate.
    if (lengths.count(KX_QUATERNION) != 0)
        return prepare_layout(c, facts, StreamFacts{nullptr, count(KX_QUATERNION), count(KX_QUATERNION) > 0});
    const size_t n = std::min(count(KX_ACCEL), count(KX_GYRO));
    const bool quaternions = lengths.count(KX_ACCEL) != 0 && lengths.count(KX_GYRO) != 0 &&
                             c.accel.frequency == c.gyro.frequency && n > 0;
    return prepare_layout(c, facts, StreamFacts{nullptr, n, quaternions});
}

std::vector<CsvWindow> csv_whole_windows(const CsvLayout& layout) {
    std::vector<CsvWindow> windows(layout.streams.size());
    for (size_t i = 0; i < windows.size(); ++i) windows[i].sensor = layout.streams[i].sensor;
    return windows;
}

void csv_skip_rows(const CsvLayout& layout, CsvCursor* cursor, uint64_t row) {
    csv_skip_rows(layout, csv_whole_windows(layout).data(), cursor, row);
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
