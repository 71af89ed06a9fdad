// Where a member's rows come from: an in-order recording streamed from its file (each range of
// rows gets the samples it needs from one reader per stream, and the orientation filter runs
// over them in order, so nothing is held for the whole recording), or streams held whole.
#include "rows.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

void kx_spaced_range(uint64_t factor, size_t length, uint64_t r0, uint64_t r1, size_t* first, size_t* count) {
    const uint64_t begin = (r0 + factor - 1) / factor;
    const uint64_t end = std::min<uint64_t>(length, (r1 + factor - 1) / factor);
    *first = static_cast<size_t>(begin);
    *count = end > begin ? static_cast<size_t>(end - begin) : 0;
}

namespace {

// Copies samples [from, from + count) of `in` to index `at` of `out` (component-major both).
void copy_samples(const kx_DataSensor& in, size_t from, size_t count, kx_DataSensor* out, size_t at) {
    for (size_t k = 0; k < in.dimension; ++k) {
        std::memcpy(out->data.data() + k * out->length + at, in.data.data() + k * in.length + from,
                    count * sizeof(double));
    }
    std::memcpy(out->time.data() + at, in.time.data() + from, count * sizeof(double));
}

// Appends the samples of `from` to `to` (component-major both, same dimension).
void append_samples(kx_DataSensor* to, const kx_DataSensor& from) {
    if (to->length == 0) {
        *to = from;
        return;
    }
    kx_DataSensor joined(to->dimension, to->length + from.length);
    copy_samples(*to, 0, to->length, &joined, 0);
    copy_samples(from, 0, from.length, &joined, to->length);
    *to = std::move(joined);
}

// Samples of the inertial streams run through the filter at a time before the table's first
// row, and skipped at a time by other streams.
constexpr size_t kSkipChunk = 16384;
// Samples of the time-placed stream first read ahead for a range; more are read, doubling, until
// one lies past the range's last row.
constexpr size_t kTimedChunk = 256;

class StreamedRows : public CsvRowSource {
public:
    StreamedRows(const CsvLayout& layout, const kx_Config& config, kx_Orientation mode)
        : layout_(layout), config_(config), mode_(mode) {}

    bool open(const char* path, const std::unordered_map<int, size_t>& skips) {
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
        const auto skip_of = [&](int id) {
            const auto it = skips.find(id);
            return it == skips.end() ? size_t{0} : it->second;
        };
        if (quaternion_ != kNoStream) {
            // Orientations need both inertial windows, which share the quaternions' spacing and,
            // before the table's first row, run through the filter together.
            const size_t skip = skip_of(KX_QUATERNION);
            if (accel_ == kNoStream || gyro_ == kNoStream ||
                layout_.streams[accel_].factor != layout_.streams[quaternion_].factor ||
                skip_of(KX_ACCEL) != skip || skip_of(KX_GYRO) != skip || !filter_.start(config_, mode_))
                return false;
            if (!prerun(skip)) return false;
        }
        for (size_t i = 0; i < n; ++i) {
            if (!readers_[i] || ((i == accel_ || i == gyro_) && quaternion_ != kNoStream)) continue;
            for (size_t left = skip_of(layout_.streams[i].sensor_id); left > 0;) {
                const size_t count = std::min(left, kSkipChunk);
                if (!readers_[i]->read(count, &fresh_)) return false;
                left -= count;
            }
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
                kx_spaced_range(s.factor, s.length, r0, r1, &windows[i].first, &count);
                if (!readers_[i]->read(count, &own[i])) return false;
            } else {
                windows[i].first = cursor.timed_position;
                if (!timed_window(i, cursor, static_cast<size_t>(r1 - r0), &own[i])) return false;
            }
            windows[i].sensor = &own[i];
        }
        if (quaternion_ != kNoStream) {
            const CsvStream& q = layout_.streams[quaternion_];
            size_t first = 0, count = 0;
            kx_spaced_range(q.factor, q.length, r0, r1, &first, &count);
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

    // The readers' positions, the filter's state and the time-placed stream's samples read but
    // not yet placed (those from the cursor's on): placed ones are never asked again from here.
    bool save(const CsvCursor& cursor, std::string* state) const override {
        state->clear();
        for (const auto& r : readers_) {
            if (r) put(state, r->position());
        }
        if (quaternion_ != kNoStream) {
            const size_t at = state->size();
            state->resize(at + filter_.state_size());
            filter_.save(&(*state)[at]);
        }
        const size_t have = carry_first_ + carry_.length;
        if (cursor.timed_position < carry_first_ || cursor.timed_position > have) return false;
        const size_t from = cursor.timed_position - carry_first_, count = have - cursor.timed_position;
        put(state, cursor.timed_position);
        put(state, carry_.dimension);
        put(state, count);
        for (size_t k = 0; k < carry_.dimension; ++k)
            state->append(reinterpret_cast<const char*>(carry_.data.data() + k * carry_.length + from),
                          count * sizeof(double));
        state->append(reinterpret_cast<const char*>(carry_.time.data() + from), count * sizeof(double));
        return true;
    }

    bool restore(const std::string& state) override {
        size_t at = 0;
        for (const auto& r : readers_) {
            kx_StreamReader::Position p;
            if (r && (!get(state, &at, &p) || !r->seek(p))) return false;
        }
        if (quaternion_ != kNoStream) {
            if (state.size() - at < filter_.state_size()) return false;
            filter_.restore(&state[at]);
            at += filter_.state_size();
        }
        if (!get(state, &at, &carry_first_) || !get(state, &at, &carry_.dimension) || !get(state, &at, &carry_.length))
            return false;
        const size_t values = carry_.dimension * carry_.length;
        if ((state.size() - at) / sizeof(double) != values + carry_.length) return false;
        carry_.data.resize(values);
        carry_.time.resize(carry_.length);
        // An empty carry has no storage to copy into (memcpy must not see a null pointer).
        if (values > 0) std::memcpy(carry_.data.data(), &state[at], values * sizeof(double));
        if (carry_.length > 0)
            std::memcpy(carry_.time.data(), &state[at + values * sizeof(double)], carry_.length * sizeof(double));
        return true;
    }

private:
    static constexpr size_t kNoStream = ~size_t{0};

    template <typename T>
    static void put(std::string* out, const T& v) {
        out->append(reinterpret_cast<const char*>(&v), sizeof v);
    }
    template <typename T>
    static bool get(const std::string& in, size_t* at, T* v) {
        if (in.size() - *at < sizeof *v) return false;
        std::memcpy(v, &in[*at], sizeof *v);
        *at += sizeof *v;
        return true;
    }

    // Runs the first `count` inertial samples through the filter; their orientations are not
    // in the table, but the filter's state after them is.
    bool prerun(size_t count) {
        kx_DataSensor acc, gyro;
        std::vector<double> unused;
        while (count > 0) {
            const size_t n = std::min(count, kSkipChunk);
            if (!readers_[accel_]->read(n, &acc) || !readers_[gyro_]->read(n, &gyro)) return false;
            unused.assign(4 * n, 0.0);
            filter_.run(acc, gyro, n, unused.data(), n);
            count -= n;
        }
        return true;
    }

    // The time-placed stream's window: the samples from the cursor's on that the range's rows
    // can place, at most one a row. Samples read for an earlier range and not placed there are
    // carried over; more are read only until one lies past the range's last row, which no row of
    // the range places (placing goes in order), so the read-ahead stays near what the range uses.
    bool timed_window(size_t i, const CsvCursor& cursor, size_t rows, kx_DataSensor* out) {
        const CsvStream& s = layout_.streams[i];
        const size_t first = cursor.timed_position;
        const size_t have = carry_first_ + carry_.length;
        if (first < carry_first_ || first > have) return false;
        const size_t want = std::min(s.length, first + rows) - std::min(s.length, first);
        // Row times are a running sum of steps; one step more covers its rounding.
        const double last_row_s = cursor.time_s + static_cast<double>(rows + 1) / layout_.base_hz;
        out->dimension = carry_.dimension;
        out->length = have - first;
        out->data.resize(out->dimension * out->length);
        out->time.resize(out->length);
        // An empty carry has no storage to copy from (memcpy must not see a null pointer).
        if (out->length > 0) copy_samples(carry_, first - carry_first_, out->length, out, 0);
        for (size_t chunk = kTimedChunk;
             out->length < want && (out->length == 0 || out->time[out->length - 1] <= last_row_s); chunk *= 2) {
            if (!readers_[i]->read(std::min(chunk, want - out->length), &fresh_)) return false;
            append_samples(out, fresh_);
        }
        carry_ = *out;
        carry_first_ = first;
        return true;
    }

    const CsvLayout& layout_;
    const kx_Config& config_;
    const kx_Orientation mode_;
    std::vector<std::unique_ptr<kx_StreamReader>> readers_;
    std::vector<std::vector<kx_DataSensor>> storage_;  // windows of each slot, per stream
    size_t quaternion_ = kNoStream, accel_ = kNoStream, gyro_ = kNoStream;
    kx_OrientationFilter filter_;
    kx_DataSensor carry_;  // the time-placed stream's last window
    size_t carry_first_ = 0;
    kx_DataSensor fresh_;
};

// Every stream is held whole: each range's windows are the streams themselves.
class WholeRows : public CsvRowSource {
public:
    explicit WholeRows(const CsvLayout& layout) : layout_(layout) {}
    bool fill(size_t, uint64_t, uint64_t, const CsvCursor&, CsvWindow* windows) override {
        for (size_t i = 0; i < layout_.streams.size(); ++i) windows[i] = {layout_.streams[i].sensor, 0};
        return true;
    }
    // Held whole, the windows never move: nothing to keep.
    bool save(const CsvCursor&, std::string* state) const override {
        state->clear();
        return true;
    }
    bool restore(const std::string&) override { return true; }

private:
    const CsvLayout& layout_;
};

}  // namespace

std::unique_ptr<CsvRowSource> kx_streamed_rows(const CsvLayout& layout, const kx_Config& config, const char* path,
                                               const std::unordered_map<int, size_t>& skips, kx_Orientation mode) {
    auto rows = std::make_unique<StreamedRows>(layout, config, mode);
    if (path == nullptr || !rows->open(path, skips)) return nullptr;
    return rows;
}

std::unique_ptr<CsvRowSource> kx_whole_rows(const CsvLayout& layout) {
    return std::make_unique<WholeRows>(layout);
}
