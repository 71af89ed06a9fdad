// The synchronisation of a set on scans: shifts, common window and each member's first samples
// are found from the scans and a few samples read from the start of each stream, so that the
// members' rows can then be streamed as a single recording's are.
#include "sync_stage.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>

namespace {

// Samples read at a time while looking for a stream's start.
constexpr size_t kChunk = 4096;

size_t count_of(const kx_RecordingScan& scan, int id) {
    const auto it = scan.lengths.find(id);
    return it == scan.lengths.end() ? 0 : it->second;
}

// The stream a kind's samples and times come from: the orientation has the accelerometer's times.
int stream_of(int kind) {
    return kind == KX_QUATERNION ? KX_ACCEL : kind;
}

// Index of the sample of a stream (times shifted by shift_s) nearest to start_s, the earliest on a
// tie, as the synchronisation finds it over a held stream. Times rise, so the gaps fall and then
// rise: the walk stops at the first sample past start_s that does no better.
bool nearest_sample(const char* path, int id, size_t length, double shift_s, double start_s, size_t* index) {
    kx_StreamReader reader;
    if (!reader.open(path, id)) return false;
    kx_DataSensor window;
    size_t best = 0;
    double best_gap = 0.0;
    for (size_t done = 0; done < length;) {
        const size_t n = std::min(kChunk, length - done);
        if (!reader.read(n, &window)) return false;
        for (size_t k = 0; k < n; ++k) {
            const double t = window.time[k] + shift_s;
            const double gap = std::fabs(t - start_s);
            if (done + k == 0 || gap < best_gap) {
                best_gap = gap;
                best = done + k;
            } else if (t >= start_s) {
                *index = best;
                return true;
            }
        }
        done += n;
    }
    *index = best;
    return true;
}

// The nominal rate (Hz) of the stream a kind's times come from.
int32_t rate_of(const kx_Config& config, int id) {
    switch (id) {
        case KX_ACCEL:
            return config.accel.frequency;
        case KX_GYRO:
            return config.gyro.frequency;
        case KX_BARO:
            return config.baro.frequency;
        default:
            return 0;
    }
}

// The times (seconds, own clock) of samples `from` and `to` (from <= to) of stream id. Ticks
// spaced evenly end to end (the scan's first and last ticks as far apart as the rate says) give
// them without reading; a stream with a pause, or a rate that does not divide the base, is read
// once up to `to`.
bool sample_times(const char* path, const kx_RecordingScan& scan, int id, size_t from, size_t to, double* from_s,
                  double* to_s) {
    const double divisor = scan.config.frequency;
    const size_t length = count_of(scan, id);
    const auto first = scan.firstTicks.find(id);
    const auto last = scan.lastTicks.find(id);
    if (from > to || to >= length || first == scan.firstTicks.end() || last == scan.lastTicks.end()) return false;
    const int32_t rate = rate_of(scan.config, id);
    if (rate > 0 && scan.config.frequency % rate == 0) {
        const int64_t step = scan.config.frequency / rate;
        if (last->second - first->second == static_cast<int64_t>(length - 1) * step) {
            *from_s = static_cast<double>(first->second + static_cast<int64_t>(from) * step) / divisor;
            *to_s = static_cast<double>(first->second + static_cast<int64_t>(to) * step) / divisor;
            return true;
        }
    }
    kx_StreamReader reader;
    if (!reader.open(path, id)) return false;
    kx_DataSensor window;
    for (size_t done = 0; done <= to;) {
        const size_t n = std::min(kChunk, to + 1 - done);
        if (!reader.read(n, &window)) return false;
        if (from >= done && from < done + n) *from_s = window.time[from - done];
        done += n;
    }
    *to_s = window.time[window.length - 1];
    return true;
}

// The event channel cut to [t0_s, t1_s] on its own (unshifted) times: samples [*first, *end).
bool event_cut(const char* path, size_t length, double t0_s, double t1_s, size_t* first, size_t* end) {
    kx_StreamReader reader;
    if (!reader.open(path, KX_EVENT)) return false;
    kx_DataSensor window;
    *first = length;
    *end = 0;
    for (size_t done = 0; done < length;) {
        const size_t n = std::min(kChunk, length - done);
        if (!reader.read(n, &window)) return false;
        for (size_t k = 0; k < n; ++k) {
            if (*first == length && window.time[k] >= t0_s) *first = done + k;
            if (window.time[k] <= t1_s) *end = done + k + 1;
        }
        done += n;
    }
    return true;
}

}  // namespace

kx_SourceError kx_plan_set(const std::vector<std::string>& paths, std::vector<kx_RecordingScan>& scans,
                           std::vector<kx_MemberPlan>* plans) {
    const size_t n = scans.size();
    std::vector<kx_Config*> configs;
    for (kx_RecordingScan& s : scans) configs.push_back(&s.config);
    if (n < 2) {
        // The synchronisation's own refusal, message included.
        std::vector<kx_SensorMap> empty(n);
        std::vector<kx_SensorMap*> sources;
        for (kx_SensorMap& m : empty) sources.push_back(&m);
        kx_SyncedMaps unused;
        kx_sync(unused.maps, configs, sources);
        return kx_SourceError::setSync;
    }
    const std::vector<int> kinds = kx_syncKinds(n, [&](size_t i, int kind) {
        return kind == KX_QUATERNION || scans[i].lengths.count(kind) != 0;
    });
    const size_t k_count = kinds.size();

    std::vector<kx_SyncRadio> radio(n);
    for (size_t i = 0; i < n; ++i) {
        if (count_of(scans[i], KX_RADIO_TIME) == 0) continue;
        kx_StreamReader reader;
        kx_DataSensor first;
        if (!reader.open(paths[i].c_str(), KX_RADIO_TIME) || !reader.read(1, &first)) return kx_SourceError::setRead;
        radio[i] = {true, first.data[0], first.time[0]};
    }
    std::vector<double> shifts_s;
    if (!kx_syncShifts(configs, kinds, radio, &shifts_s)) return kx_SourceError::setSync;

    std::vector<size_t> lengths(n * k_count);
    std::vector<double> first_times_s(n * k_count, 0.0);
    for (size_t i = 0; i < n; ++i) {
        const kx_RecordingScan& scan = scans[i];
        for (size_t j = 0; j < k_count; ++j) {
            const size_t s = i * k_count + j;
            lengths[s] = kinds[j] == KX_QUATERNION ? std::min(count_of(scan, KX_ACCEL), count_of(scan, KX_GYRO))
                                                   : count_of(scan, kinds[j]);
            const auto tick = scan.firstTicks.find(stream_of(kinds[j]));
            if (lengths[s] != 0 && tick != scan.firstTicks.end()) {
                const double divisor = scan.config.frequency;
                first_times_s[s] = static_cast<double>(tick->second) / divisor + shifts_s[s];
            }
        }
    }
    bool readable = true;
    const kx_SyncWindow window = kx_syncWindow(configs, kinds, lengths, first_times_s, [&](size_t s, double start_s) {
        size_t index = 0;
        const size_t i = s / k_count;
        if (!nearest_sample(paths[i].c_str(), stream_of(kinds[s % k_count]), lengths[s], shifts_s[s], start_s,
                            &index))
            readable = false;
        return index;
    });
    if (!readable) return kx_SourceError::setRead;

    plans->assign(n, kx_MemberPlan());
    for (size_t i = 0; i < n; ++i) {
        kx_MemberPlan& plan = (*plans)[i];
        for (size_t j = 0; j < k_count; ++j) {
            plan.lengths[kinds[j]] = window.count[i * k_count + j];
            plan.skips[kinds[j]] = window.first[i * k_count + j];
            plan.shifts_s[kinds[j]] = shifts_s[i * k_count + j];
            const size_t count = window.count[i * k_count + j];
            if (count == 0) continue;
            const size_t from = window.first[i * k_count + j];
            double t0 = 0.0, t1 = 0.0;
            const int id = stream_of(kinds[j]);
            if (!sample_times(paths[i].c_str(), scans[i], id, from, from + count - 1, &t0, &t1))
                return kx_SourceError::setRead;
            plan.spans_s[kinds[j]] = {t0 + plan.shifts_s[kinds[j]], t1 + plan.shifts_s[kinds[j]]};
        }
        plan.shift_s = shifts_s[i * k_count];
        const size_t events = count_of(scans[i], KX_EVENT);
        if (scans[i].lengths.count(KX_EVENT) == 0) continue;
        size_t first = 0, end = 0;
        if (!event_cut(paths[i].c_str(), events, window.t0_s, window.t1_s, &first, &end))
            return kx_SourceError::setRead;
        if (end > first) {
            plan.lengths[KX_EVENT] = end - first;
            plan.skips[KX_EVENT] = first;
        }
    }
    return kx_SourceError::none;
}
