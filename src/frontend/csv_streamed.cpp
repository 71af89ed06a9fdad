// The CSV table of an in-order recording streamed from its file: each range of rows gets the
// samples it needs from one reader per stream, and the orientation filter runs over them in
// order, so nothing is held for the whole recording.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "../common/output_file.h"
#include "binreader2.h"
#include "csv_rows.h"

namespace {

// Samples [first, first + count) of a spaced stream's rows [r0, r1): sample i sits on row
// i x factor.
void spaced_range(uint64_t factor, size_t length, uint64_t r0, uint64_t r1, size_t* first, size_t* count) {
    const uint64_t begin = (r0 + factor - 1) / factor;
    const uint64_t end = std::min<uint64_t>(length, (r1 + factor - 1) / factor);
    *first = static_cast<size_t>(begin);
    *count = end > begin ? static_cast<size_t>(end - begin) : 0;
}

// Copies samples [from, from + count) of `in` to index `at` of `out` (component-major both).
void copy_samples(const kx_DataSensor& in, size_t from, size_t count, kx_DataSensor* out, size_t at) {
    for (size_t k = 0; k < in.dimension; ++k) {
        std::memcpy(out->data.data() + k * out->length + at, in.data.data() + k * in.length + from,
                    count * sizeof(double));
    }
    std::memcpy(out->time.data() + at, in.time.data() + from, count * sizeof(double));
}

class StreamedRows : public CsvRowSource {
public:
    StreamedRows(const CsvLayout& layout, const kx_Config& config, kx_Orientation mode)
        : layout_(layout), config_(config), mode_(mode) {}

    bool open(const char* path) {
        const size_t n = layout_.streams.size();
        readers_.resize(n);
        for (size_t i = 0; i < n; ++i) {
            const CsvStream& s = layout_.streams[i];
            if (!s.cells) continue;
            if (s.sensor_id == KX_QUATERNION) {
                quaternion_ = i;
                continue;
            }
            if (s.sensor_id == KX_ACCEL) accel_ = i;
            if (s.sensor_id == KX_GYRO) gyro_ = i;
            readers_[i] = std::make_unique<kx_StreamReader>();
            if (!readers_[i]->open(path, s.sensor_id)) return false;
        }
        if (quaternion_ != kNoStream) {
            // Orientations need both inertial windows, which share the quaternions' spacing.
            if (accel_ == kNoStream || gyro_ == kNoStream ||
                layout_.streams[accel_].factor != layout_.streams[quaternion_].factor)
                return false;
            return filter_.start(config_, mode_);
        }
        return true;
    }

    bool fill(size_t slot, uint64_t r0, uint64_t r1, const CsvCursor& cursor, CsvWindow* windows) override {
        if (slot >= storage_.size()) storage_.resize(slot + 1);
        std::vector<kx_DataSensor>& own = storage_[slot];
        own.resize(layout_.streams.size());
        for (size_t i = 0; i < layout_.streams.size(); ++i) {
            const CsvStream& s = layout_.streams[i];
            windows[i] = {nullptr, 0};
            if (!s.cells || i == quaternion_) continue;
            windows[i].sensor = &own[i];
            if (s.factor != 0) {
                size_t count = 0;
                spaced_range(s.factor, s.length, r0, r1, &windows[i].first, &count);
                if (!readers_[i]->read(count, &own[i])) return false;
            } else {
                windows[i].first = cursor.timed_position;
                if (!timed_window(i, cursor.timed_position, static_cast<size_t>(r1 - r0), &own[i]))
                    return false;
            }
            windows[i].sensor = &own[i];
        }
        if (quaternion_ != kNoStream) {
            const CsvStream& q = layout_.streams[quaternion_];
            size_t first = 0, count = 0;
            spaced_range(q.factor, q.length, r0, r1, &first, &count);
            kx_DataSensor& out = own[quaternion_];
            out.dimension = 4;
            out.length = count;
            // Samples before the filter has started stay zero, as in a whole-recording run.
            out.data.assign(4 * count, 0.0);
            const kx_DataSensor& acc = own[accel_];
            const kx_DataSensor& gyro = own[gyro_];
            if (windows[accel_].first != first || windows[gyro_].first != first || acc.length < count ||
                gyro.length < count)
                return false;
            filter_.run(acc, gyro, count, out.data.data(), count);
            windows[quaternion_] = {&out, first};
        }
        return true;
    }

private:
    static constexpr size_t kNoStream = ~size_t{0};

    // The time-placed stream's window: from the cursor's sample on, at most one sample a row.
    // Samples read for the previous range and not placed there are carried over.
    bool timed_window(size_t i, size_t first, size_t rows, kx_DataSensor* out) {
        const CsvStream& s = layout_.streams[i];
        const size_t end = std::min(s.length, first + rows);
        const size_t have_end = carry_first_ + carry_.length;
        if (first < carry_first_ || first > have_end) return false;
        const size_t count = end > first ? end - first : 0;
        const size_t kept = std::min(count, have_end - first);
        if (!readers_[i]->read(count - kept, &fresh_)) return false;
        out->dimension = carry_.length > 0 ? carry_.dimension : fresh_.dimension;
        out->length = count;
        out->data.resize(out->dimension * count);
        out->time.resize(count);
        if (kept > 0) copy_samples(carry_, first - carry_first_, kept, out, 0);
        if (count > kept) copy_samples(fresh_, 0, count - kept, out, kept);
        carry_ = *out;
        carry_first_ = first;
        return true;
    }

    const CsvLayout& layout_;
    const kx_Config& config_;
    kx_Orientation mode_;
    std::vector<std::unique_ptr<kx_StreamReader>> readers_;
    std::vector<std::vector<kx_DataSensor>> storage_;  // windows of each slot, per stream
    size_t quaternion_ = kNoStream, accel_ = kNoStream, gyro_ = kNoStream;
    kx_OrientationFilter filter_;
    kx_DataSensor carry_;  // the time-placed stream's last window
    size_t carry_first_ = 0;
    kx_DataSensor fresh_;
};

}  // namespace

bool _write_csv_streamed(OutputFile* file, const char* path, const kx_RecordingScan& scan, int helpers,
                         kx_Orientation mode) {
    if (file == nullptr || path == nullptr || !scan.inOrder) return false;
    const CsvLayout layout = csv_prepare_layout(scan.config, scan.lengths);
    StreamedRows source(layout, scan.config, mode);
    return source.open(path) && csv_write_table(file, layout, &source, helpers);
}
