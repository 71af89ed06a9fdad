// The source: opens one recording or a set, checks its tables' size, and answers row ranges.
// In-order recordings are streamed from their files; a recording whose streams need reordering
// (rare) is decoded whole, and a set holding one is synchronised whole. Both give the same cells.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "pipeline.h"
#include "rows.h"
#include "sync_stage.h"

namespace {

// Rows run through at a time when a caller skips ahead.
constexpr uint64_t kSkipRows = 32768;

// A path with a NUL character would name another file once it reaches the file system.
bool usable_path(const std::string& path) {
    return path.find('\0') == std::string::npos;
}

kx_SourceError from_decode(kx_DecodeError e) {
    switch (e) {
        case kx_DecodeError::none:
            return kx_SourceError::none;
        case kx_DecodeError::missing:
            return kx_SourceError::missing;
        case kx_DecodeError::notARecording:
            return kx_SourceError::notARecording;
        case kx_DecodeError::truncated:
            return kx_SourceError::truncated;
        case kx_DecodeError::unreadable:
            break;
    }
    return kx_SourceError::unreadable;
}

// Whether the decode step would add an orientation stream to the recording a scan describes.
bool has_orientation(const kx_RecordingScan& scan) {
    const auto a = scan.lengths.find(KX_ACCEL);
    const auto g = scan.lengths.find(KX_GYRO);
    return a != scan.lengths.end() && g != scan.lengths.end() && std::min(a->second, g->second) > 0 &&
           scan.config.accel.frequency == scan.config.gyro.frequency;
}

uint64_t records_of(const kx_RecordingScan& scan) {
    uint64_t records = 0;
    for (const auto& entry : scan.lengths) records += entry.second;
    return records;
}

// The first shift of each recording of a set held whole, as the synchronisation applied it.
bool whole_shifts(const kx_SyncedSet& set, std::vector<std::vector<double>>* shifts_s, std::vector<int>* kinds) {
    std::vector<kx_Config*> configs;
    std::vector<kx_SyncRadio> radio(set.recordings.size());
    for (size_t i = 0; i < set.recordings.size(); ++i) {
        const kx_Recording& r = *set.recordings[i];
        configs.push_back(const_cast<kx_Config*>(&r.config));
        const auto found = r.sensors.find(KX_RADIO_TIME);
        if (found != r.sensors.end() && found->second.length != 0 && found->second.dimension != 0)
            radio[i] = {true, found->second.data[0], found->second.time[0]};
    }
    *kinds = kx_syncKinds(configs.size(),
                          [&](size_t i, int kind) { return set.recordings[i]->sensors.count(kind) != 0; });
    std::vector<double> flat;
    if (!kx_syncShifts(configs, *kinds, radio, &flat)) return false;
    shifts_s->assign(configs.size(), {});
    for (size_t i = 0; i < configs.size(); ++i)
        (*shifts_s)[i].assign(flat.begin() + static_cast<std::ptrdiff_t>(i * kinds->size()),
                              flat.begin() + static_cast<std::ptrdiff_t>((i + 1) * kinds->size()));
    return true;
}

}  // namespace

const char* kx_sourceErrorCode(kx_SourceError e) {
    switch (e) {
        case kx_SourceError::missing:
            return "ENOENT";
        case kx_SourceError::notARecording:
            return "KX_NOT_A_RECORDING";
        case kx_SourceError::truncated:
            return "KX_TRUNCATED";
        case kx_SourceError::setRead:
        case kx_SourceError::setOrientation:
        case kx_SourceError::setSync:
            return "KX_SYNC";
        case kx_SourceError::tooManyRows:
            return "KX_TOO_MANY_ROWS";
        case kx_SourceError::none:
        case kx_SourceError::unreadable:
            break;
    }
    return "unreadable";
}

bool kx_memberStream(const kx_SourceMember& member, int sensor, kx_MemberStream* out) {
    const CsvStream* carried = nullptr;
    for (const CsvStream& s : member.layout.streams) {
        if (s.cells && s.sensor_id == sensor) carried = &s;
    }
    const auto recorded = member.recorded.find(sensor);
    if (recorded == member.recorded.end() && carried == nullptr) return false;
    *out = kx_MemberStream{};
    out->carried = carried != nullptr;
    out->samples = carried != nullptr ? carried->length : recorded->second;
    const auto span = member.spans_s.find(sensor);
    if (span != member.spans_s.end()) {
        out->spanned = true;
        out->first_s = span->second.first;
        out->last_s = span->second.second;
    }
    return true;
}

uint64_t kx_row_limit(uint64_t records) {
    constexpr uint64_t kRowsPerRecord = 1024;
    constexpr uint64_t kFloorRows = 65536;
    return std::max(kFloorRows, records > UINT64_MAX / kRowsPerRecord ? UINT64_MAX : records * kRowsPerRecord);
}

kx_SourceError kx_syncRecordings(const std::vector<std::string>& paths, kx_SyncedSet* set, kx_Orientation mode) {
    if (paths.empty()) return kx_SourceError::none;
    auto& recordings = set->recordings;
    // Every stage handles every recording before its outcome is decided.
    bool all_read = true;
    for (const std::string& path : paths) {
        recordings.push_back(std::make_unique<kx_Recording>());
        const bool ok = usable_path(path) &&
                        kx_decodeRecording(path.c_str(), recordings.back().get(), mode) == kx_DecodeError::none;
        all_read = all_read && ok;
    }
    if (!all_read) return kx_SourceError::setRead;
    for (const auto& r : recordings) {
        if (!r->hasQuaternions) return kx_SourceError::setOrientation;
    }
    std::vector<kx_Config*> configs;
    std::vector<kx_SensorMap*> sources;
    for (const auto& r : recordings) {
        configs.push_back(&r->config);
        sources.push_back(&r->sensors);
    }
    if (!kx_sync(set->synced.maps, configs, sources) || set->synced.maps.size() != paths.size())
        return kx_SourceError::setSync;
    for (const kx_SensorMap* m : set->synced.maps) {
        if (m == nullptr) return kx_SourceError::setSync;
    }
    return kx_SourceError::none;
}

// What whole-recording members keep alive: a decoded recording or a set synchronised whole.
struct kx_Source::Held {
    kx_Recording recording;
    kx_SyncedSet set;
};

kx_Source::kx_Source() = default;
kx_Source::~kx_Source() {
    // Rows refer to the members' layouts, which refer to the held streams.
    for (auto& m : members_) m->rows.reset();
}

kx_SourceError kx_Source::open(const std::vector<std::string>& paths, const kx_SourceOptions& options) {
    if (paths.size() == 1) return open_one(paths[0], options);
    return open_set(paths, options);
}

kx_SourceError kx_Source::open_one(const std::string& path, const kx_SourceOptions& options) {
    error_path_ = path;
    if (!usable_path(path)) return kx_SourceError::missing;
    kx_RecordingScan scan;
    const kx_SourceError scanned = from_decode(kx_scanRecording(path.c_str(), &scan));
    if (scanned != kx_SourceError::none) return scanned;
    auto member = std::make_unique<kx_SourceMember>();
    member->path = path;
    member->config = scan.config;
    member->recorded = scan.lengths;
    member->layout = csv_prepare_layout(member->config, scan.lengths);
    // Refused before anything is decoded or written.
    const uint64_t limit = options.max_rows != 0 ? options.max_rows : kx_row_limit(records_of(scan));
    if (member->layout.rows > limit) {
        error_rows_ = member->layout.rows;
        return kx_SourceError::tooManyRows;
    }
    if (scan.inOrder) {
        const double divisor = scan.config.frequency;
        for (const auto& first : scan.firstTicks) {
            const auto last = scan.lastTicks.find(first.first);
            if (last != scan.lastTicks.end() && divisor > 0)
                member->spans_s[first.first] = {static_cast<double>(first.second) / divisor,
                                                static_cast<double>(last->second) / divisor};
        }
        member->rows = kx_streamed_rows(member->layout, member->config, path.c_str(), {}, options.orientation);
        // A file that no longer holds what its scan found cannot be read in full.
        if (!member->rows) return kx_SourceError::truncated;
    } else {
        held_ = std::make_unique<Held>();
        const kx_SourceError decoded = from_decode(kx_decodeRecording(path.c_str(), &held_->recording, options.orientation));
        if (decoded != kx_SourceError::none) return decoded;
        member->config = held_->recording.config;
        member->layout = csv_prepare_layout(member->config, held_->recording.sensors);
        for (const auto& entry : held_->recording.sensors) {
            const kx_DataSensor& s = entry.second;
            if (s.length != 0 && s.time.size() >= s.length)
                member->spans_s[entry.first] = {s.time.front(), s.time[s.length - 1]};
        }
        member->rows = kx_whole_rows(member->layout);
    }
    if (held_) {
        const auto mag = held_->recording.sensors.find(KX_MAG);
        if (mag != held_->recording.sensors.end() && mag->second.data.size() >= 3 * mag->second.length)
            member->magnetometer_samples = mag->second.length;
    } else {
        const auto mag = scan.lengths.find(KX_MAG);
        if (mag != scan.lengths.end()) member->magnetometer_samples = mag->second;
    }
    if (!find_row_zero(*member, false)) return kx_SourceError::truncated;
    members_.push_back(std::move(member));
    error_path_.clear();
    return kx_SourceError::none;
}

kx_SourceError kx_Source::open_set(const std::vector<std::string>& paths, const kx_SourceOptions& options) {
    set_ = true;
    if (paths.empty()) return kx_SourceError::none;
    const size_t n = paths.size();
    std::vector<kx_RecordingScan> scans(n);
    bool all_read = true, in_order = true;
    for (size_t i = 0; i < n; ++i) {
        const bool ok = usable_path(paths[i]) && kx_scanRecording(paths[i].c_str(), &scans[i]) == kx_DecodeError::none;
        if (!ok && all_read) error_path_ = paths[i];
        all_read = all_read && ok;
        in_order = in_order && scans[i].inOrder;
    }
    if (!all_read) return kx_SourceError::setRead;
    for (size_t i = 0; i < n; ++i) {
        if (!has_orientation(scans[i])) {
            error_path_ = paths[i];
            return kx_SourceError::setOrientation;
        }
    }
    // Each recording's own table is held to the limit, before anything is decoded or written.
    for (size_t i = 0; i < n; ++i) {
        const CsvLayout own = csv_prepare_layout(scans[i].config, scans[i].lengths);
        const uint64_t limit = options.max_rows != 0 ? options.max_rows : kx_row_limit(records_of(scans[i]));
        if (own.rows > limit) {
            error_path_ = paths[i];
            error_rows_ = own.rows;
            return kx_SourceError::tooManyRows;
        }
    }

    std::vector<kx_MemberPlan> plans;
    if (in_order) {
        const kx_SourceError planned = kx_plan_set(paths, scans, &plans);
        if (planned != kx_SourceError::none) return planned;
        for (size_t i = 0; i < n; ++i) {
            auto member = std::make_unique<kx_SourceMember>();
            member->path = paths[i];
            member->config = scans[i].config;
            member->layout = csv_prepare_layout(member->config, plans[i].lengths);
            member->shift_s = plans[i].shift_s;
            member->shifts_s = plans[i].shifts_s;
            member->spans_s = plans[i].spans_s;
            // Event channels keep their recorded times in the plan; they move by the set's shift.
            member->shifts_s[KX_EVENT] = member->shifts_s[KX_EVENT2] = member->shift_s;
            member->recorded = scans[i].lengths;
            member->rows = kx_streamed_rows(member->layout, member->config, paths[i].c_str(), plans[i].skips,
                                            options.orientation);
            if (!member->rows) break;  // inertial streams starting apart: synchronised whole below
            if (!find_row_zero(*member, false)) return kx_SourceError::setRead;
            members_.push_back(std::move(member));
        }
        if (members_.size() == n) return kx_SourceError::none;
        members_.clear();
    }

    held_ = std::make_unique<Held>();
    kx_SyncedSet& set = held_->set;
    const kx_SourceError synced = kx_syncRecordings(paths, &set, options.orientation);
    if (synced != kx_SourceError::none) return synced;
    std::vector<std::vector<double>> shifts_s;
    std::vector<int> kinds;
    const bool shifted = whole_shifts(set, &shifts_s, &kinds) && !kinds.empty();
    for (size_t i = 0; i < n; ++i) {
        auto member = std::make_unique<kx_SourceMember>();
        member->path = paths[i];
        member->config = set.recordings[i]->config;
        member->layout = csv_prepare_layout(member->config, *set.synced.maps[i]);
        member->shift_s = shifted ? shifts_s[i][0] : 0.0;
        // The synchronisation moved the sensor streams; the event channels keep their times.
        member->shifts_s[KX_EVENT] = member->shifts_s[KX_EVENT2] = member->shift_s;
        member->recorded = scans[i].lengths;
        for (const auto& entry : *set.synced.maps[i]) {
            const kx_DataSensor& s = entry.second;
            if (entry.first != KX_EVENT && s.length != 0 && s.time.size() >= s.length)
                member->spans_s[entry.first] = {s.time.front(), s.time[s.length - 1]};
        }
        member->rows = kx_whole_rows(member->layout);
        find_row_zero(*member, true);
        members_.push_back(std::move(member));
    }
    return kx_SourceError::none;
}

bool kx_Source::find_row_zero(kx_SourceMember& member, bool held_set) {
    // Row 0's windows are filled and the rows put back where they stood.
    const auto& streams = member.layout.streams;
    size_t spaced = streams.size();
    for (size_t k = 0; k < streams.size() && spaced == streams.size(); ++k) {
        if (streams[k].cells && streams[k].factor != 0 && streams[k].length != 0) spaced = k;
    }
    if (spaced == streams.size() || member.layout.rows == 0) return true;
    std::string state;
    std::vector<CsvWindow> windows(streams.size());
    if (!member.rows->save(member.cursor, &state) || !member.rows->fill(0, 0, 1, CsvCursor{}, windows.data()) ||
        !member.rows->restore(state))
        return false;
    const kx_DataSensor* s = windows[spaced].sensor;
    if (s == nullptr || s->time.size() <= windows[spaced].first) return true;
    // A window holds samples from its first on; a whole stream's window starts at sample 0.
    const double t = s->time[s == streams[spaced].sensor ? windows[spaced].first : 0];
    member.row_zero_s = held_set ? t - member.shift_s : t;
    return true;
}

void kx_Source::checkpoint(kx_SourceMember& member) {
    const auto& list = member.checkpoints;
    if (!list.empty() && member.cursor.row < list.back().cursor.row + kx_checkpoint_rows) return;
    kx_SourceMember::Checkpoint c{member.cursor, {}};
    if (member.rows->save(member.cursor, &c.state)) member.checkpoints.push_back(std::move(c));
}

bool kx_Source::advance(kx_SourceMember& member, uint64_t row) {
    std::vector<CsvWindow> windows(member.layout.streams.size());
    checkpoint(member);
    while (member.cursor.row < row) {
        const uint64_t last = std::min(row, member.cursor.row + kSkipRows);
        if (!member.rows->fill(0, member.cursor.row, last, member.cursor, windows.data())) return false;
        csv_skip_rows(member.layout, windows.data(), &member.cursor, last);
        checkpoint(member);
    }
    return true;
}

bool kx_Source::reach(kx_SourceMember& member, uint64_t row) {
    const auto& list = member.checkpoints;
    // The last checkpoint at or before row (the first is row 0's): a range that goes back starts
    // there, and so does one ahead of it, rather than running through the rows between.
    auto it = std::upper_bound(list.begin(), list.end(), row,
                               [](uint64_t r, const kx_SourceMember::Checkpoint& c) { return r < c.cursor.row; });
    if (row < member.cursor.row || (it != list.begin() && (it - 1)->cursor.row > member.cursor.row)) {
        if (it == list.begin() || !member.rows->restore((it - 1)->state)) return false;
        member.cursor = (it - 1)->cursor;
    }
    return advance(member, row);
}

bool kx_Source::fill_columns(size_t m, uint64_t first, uint64_t last, void* const* values, uint8_t* const* valid,
                             uint64_t* nulls) {
    if (m >= members_.size()) return false;
    kx_SourceMember& member = *members_[m];
    last = std::min(last, member.layout.rows);
    if (first > last || !reach(member, first)) return false;
    const std::vector<TableColumn> columns = table_columns(member.layout);
    if (last == first) {
        std::fill(nulls, nulls + columns.size(), 0);
        return true;
    }
    std::vector<CsvWindow> windows(member.layout.streams.size());
    if (!member.rows->fill(0, first, last, member.cursor, windows.data())) return false;
    table_fill_columns(member.layout, columns, windows.data(), &member.cursor, last, values,
                       valid, nulls);
    checkpoint(member);
    return true;
}

bool kx_Source::samples(size_t m, uint64_t first, uint64_t last, kx_SensorMap* out) {
    out->clear();
    if (m >= members_.size()) return false;
    kx_SourceMember& member = *members_[m];
    last = std::min(last, member.layout.rows);
    if (first > last || !reach(member, first)) return false;
    if (last == first) return true;
    const std::vector<CsvStream>& streams = member.layout.streams;
    std::vector<CsvWindow> windows(streams.size());
    if (!member.rows->fill(0, first, last, member.cursor, windows.data())) return false;
    const size_t timed_from = member.cursor.timed_position;
    csv_skip_rows(member.layout, windows.data(), &member.cursor, last);
    // The orientation is computed at the accelerometer's samples and takes their times.
    const CsvWindow* accel = nullptr;
    for (size_t i = 0; i < streams.size(); ++i) {
        if (streams[i].cells && streams[i].sensor_id == KX_ACCEL) accel = &windows[i];
    }
    for (size_t i = 0; i < streams.size(); ++i) {
        const CsvStream& s = streams[i];
        const CsvWindow& w = windows[i];
        if (!s.cells || w.sensor == nullptr) continue;
        size_t from = timed_from, count = member.cursor.timed_position - timed_from;
        if (s.factor != 0) kx_spaced_range(s.factor, s.length, first, last, &from, &count);
        const kx_DataSensor& in = *w.sensor;
        const kx_DataSensor* clock = &in;
        if (s.sensor_id == KX_QUATERNION && in.time.size() < in.length && accel != nullptr &&
            accel->sensor != nullptr && accel->first == w.first)
            clock = accel->sensor;
        const size_t at = from - w.first;
        if (from < w.first || at + count > in.length || at + count > clock->length ||
            clock->time.size() < clock->length)
            return false;
        kx_DataSensor& o = (*out)[s.sensor_id];
        o = kx_DataSensor(in.dimension, count);
        for (size_t k = 0; k < in.dimension; ++k)
            std::copy_n(in.data.begin() + static_cast<std::ptrdiff_t>(k * in.length + at), count,
                        o.data.begin() + static_cast<std::ptrdiff_t>(k * count));
        const auto shift = member.shifts_s.find(s.sensor_id);
        const double by = shift == member.shifts_s.end() ? 0.0 : shift->second;
        for (size_t j = 0; j < count; ++j) o.time[j] = clock->time[at + j] + by;
    }
    checkpoint(member);
    return true;
}

bool kx_Source::stream_samples(size_t m, int sensor_id, size_t first, size_t count, kx_DataSensor* out) {
    if (m >= members_.size()) return false;
    kx_SourceMember& member = *members_[m];
    // A set member's event channels are whole, on the set's time base.
    if (set_ && sensor_id != KX_EVENT && sensor_id != KX_EVENT2) return false;
    const double by = set_ ? member.shift_s : 0.0;
    if (held_) {  // decoded whole: a slice of the held stream
        const kx_SensorMap& sensors = set_ ? held_->set.recordings[m]->sensors : held_->recording.sensors;
        const auto it = sensors.find(sensor_id);
        if (it == sensors.end()) return false;
        const kx_DataSensor& in = it->second;
        const size_t from = std::min(first, in.length);
        const size_t n = std::min(count, in.length - from);
        *out = kx_DataSensor(in.dimension, n);
        for (size_t k = 0; k < in.dimension; ++k)
            std::copy_n(in.data.begin() + static_cast<std::ptrdiff_t>(k * in.length + from), n,
                        out->data.begin() + static_cast<std::ptrdiff_t>(k * n));
        for (size_t j = 0; j < n; ++j) out->time[j] = in.time[from + j] + by;
        return true;
    }
    const auto recorded = member.recorded.find(sensor_id);
    if (recorded == member.recorded.end()) return false;
    // Sensor-map identifiers are small: one key per member and stream.
    Extra& extra = extras_[(static_cast<uint64_t>(m) << 16) | static_cast<uint16_t>(sensor_id)];
    if (!extra.reader || first < extra.next) {
        extra.reader = std::make_unique<kx_StreamReader>();
        extra.next = 0;
        if (!extra.reader->open(member.path.c_str(), sensor_id)) return false;
    }
    for (kx_DataSensor skipped; extra.next < first;) {
        const size_t n = std::min(first - extra.next, size_t{16384});
        if (!extra.reader->read(n, &skipped)) return false;
        extra.next += n;
    }
    const size_t n = first < recorded->second ? std::min(count, recorded->second - first) : 0;
    if (!extra.reader->read(n, out)) return false;
    extra.next += n;
    if (by != 0.0) {
        for (double& t : out->time) t += by;
    }
    return true;
}

size_t kx_Source::bytes() const {
    // One read buffer of whole blocks per stream reader (see kx_StreamReader): each streamed
    // stream with cells, and each stream read beside the table.
    size_t readers = extras_.size();
    for (const auto& m : members_) {
        for (const CsvStream& s : m->layout.streams) readers += s.cells && s.sensor == nullptr ? 1 : 0;
    }
    return readers * 512 * static_cast<size_t>(kBlockSize);
}
