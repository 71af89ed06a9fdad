// Synchronisation of several recordings: time base by time marks or radio, common window,
// event channel cut to that window.
#include "sync.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

namespace {

// The kinds that are synchronised, in this order.
constexpr int kSyncedKinds[] = {KX_ACCEL, KX_GYRO, KX_BARO, KX_QUATERNION};

// Sample rate of a kind in Hz; the quaternion stream runs at the gyroscope rate.
int32_t kind_frequency(const kx_Config& config, int kind) {
    switch (kind) {
        case KX_ACCEL:
            return config.accel.frequency;
        case KX_BARO:
            return config.baro.frequency;
        default:
            return config.gyro.frequency;
    }
}

// a / b with the IEEE result for b == 0 (a frequency of 0 gives infinite times, as the
// reader's own times do), without dividing by zero.
float ieee_div(float a, float b) {
    if (b != 0.0f) return a / b;
    if (a == 0.0f || std::isnan(a)) return std::numeric_limits<float>::quiet_NaN();
    const bool negative = std::signbit(a) != std::signbit(b);
    return negative ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
}

// True when the vectors hold exactly what dimension and length promise; anything else would
// send the trimming and the event cut outside them.
bool well_formed(const kx_DataSensor& s) {
    if (s.time.size() != s.length) return false;
    if (s.length != 0 && s.dimension > std::numeric_limits<size_t>::max() / s.length) return false;
    return s.data.size() == s.dimension * s.length;
}

void shift_times(kx_DataSensor& s, double shift_s) {
    for (double& t : s.time) t += shift_s;
}

// One recording during the call: its configuration, its source map and the copies of the
// common kinds (element j is common kind j) held in its new map.
struct Work {
    const kx_Config* config;
    const kx_SensorMap* source;
    kx_SensorMap* out;
    std::vector<kx_DataSensor*> copies;
};

// Time marks: each mark is a clock reading minus the local time at which it was taken; the
// mean of the two is the recording's start on that clock. The earliest start keeps its times.
void apply_time_marks(std::vector<Work>& recs) {
    std::vector<float> starts;
    starts.reserve(recs.size());
    for (const Work& r : recs) {
        const kx_Config::Settings18& s = r.config->settings18;
        const float f_hz = static_cast<float>(r.config->frequency);
        // Ta = (s x 1000 + ms) / 1000 - tick / F, in single precision throughout
        const float ta = (static_cast<float>(s.value5) * 1000.0f + static_cast<float>(s.value6)) / 1000.0f -
                         ieee_div(static_cast<float>(s.value7), f_hz);
        const float tb = (static_cast<float>(s.value10) * 1000.0f + static_cast<float>(s.value11)) / 1000.0f -
                         ieee_div(static_cast<float>(s.value12), f_hz);
        starts.push_back((ta + tb) * 0.5f);
    }
    float m = starts[0];
    for (float s : starts) {
        if (s < m) m = s;
    }
    for (size_t i = 0; i < recs.size(); ++i) {
        const double shift_s = static_cast<double>(starts[i] - m);
        for (kx_DataSensor* c : recs[i].copies) shift_times(*c, shift_s);
    }
}

// Radio methods: exactly one master and agreeing channels, else the refusal message.
// Answers the master's index, or -1 after writing the message.
long find_radio_master(const std::vector<Work>& recs, bool channel_sensor) {
    auto is_master = [&](const kx_Config& c) {
        return channel_sensor ? c.radioSensor.mode == 0 : c.radioMode == 0;
    };
    auto channel = [&](const kx_Config& c) {
        return channel_sensor ? c.radioSensor.channel : c.radioChannel;
    };

    const int32_t reference = channel(*recs[0].config);
    bool channels_agree = true;
    int masters = 0;
    long master = -1;
    for (size_t i = 0; i < recs.size(); ++i) {
        const kx_Config& c = *recs[i].config;
        const int32_t ch = channel(c);
        // -1 stands for "any channel"
        if (ch != reference && ch != -1 && reference != -1) channels_agree = false;
        if (is_master(c)) {
            if (master < 0) master = static_cast<long>(i);
            ++masters;
        }
    }
    if (!channels_agree || masters != 1) {
        std::fprintf(stderr,
                     "Possibly no master or more than one used (%i). Different radio channels are used.\n",
                     masters);
        return -1;
    }
    return master;
}

// Radio channel sensor: the first radio time value against its local time gives the offset.
bool apply_radio_channel_sensor(std::vector<Work>& recs, size_t master) {
    for (size_t i = 0; i < recs.size(); ++i) {
        if (i == master) continue;
        const auto radio = recs[i].source->find(KX_RADIO_TIME);
        if (radio == recs[i].source->end() || radio->second.length == 0 || radio->second.dimension == 0) {
            std::fputs("No radio data.\n", stderr);
            return false;
        }
        const double offset_s = radio->second.data[0] - radio->second.time[0];
        for (kx_DataSensor* c : recs[i].copies) shift_times(*c, offset_s);
    }
    return true;
}

// Basic radio frame: the frame's two values give a shift that scales with each kind's rate
// (f x d / F), so streams of different rates move by different amounts.
void apply_basic_radio_frame(std::vector<Work>& recs, const std::vector<int>& kinds, size_t master) {
    for (size_t i = 0; i < recs.size(); ++i) {
        if (i == master) continue;
        const kx_Config& c = *recs[i].config;
        // the values are free-running counters: their difference wraps like a signed 32-bit number
        const float d = static_cast<float>(static_cast<int32_t>(c.radioValue2 - c.radioValue1));
        const float base_hz = static_cast<float>(c.frequency);
        for (size_t j = 0; j < kinds.size(); ++j) {
            const float f_hz = static_cast<float>(kind_frequency(c, kinds[j]));
            const double shift_s = static_cast<double>(ieee_div(f_hz * d, base_hz));
            shift_times(*recs[i].copies[j], shift_s);
        }
    }
}

// Index of the sample nearest to start_s, the earliest one on a tie.
size_t nearest_index(const kx_DataSensor& s, double start_s) {
    if (s.length <= 1) return 0;
    size_t best = 0;
    double best_gap = std::fabs(s.time[0] - start_s);
    for (size_t k = 1; k < s.length; ++k) {
        const double gap = std::fabs(s.time[k] - start_s);
        if (gap < best_gap) {
            best_gap = gap;
            best = k;
        }
    }
    return best;
}

// N = floor(f x D) as a count, never beyond the samples left and never from a value that
// has no integer (a rate of 0 makes D infinite, a negative rate makes f x D negative).
size_t window_length(float f_x_d, size_t available) {
    if (!std::isfinite(f_x_d) || f_x_d <= 0.0f) return 0;
    const float n = std::floor(f_x_d);
    if (n >= static_cast<float>(available)) return available;
    return std::min(static_cast<size_t>(n), available);
}

// Keeps samples first .. first + n - 1 of every component.
void trim(kx_DataSensor& s, size_t first, size_t n) {
    std::vector<double> data(s.dimension * n);
    for (size_t c = 0; c < s.dimension; ++c) {
        const size_t from = c * s.length + first;
        for (size_t t = 0; t < n; ++t) data[c * n + t] = s.data[from + t];
    }
    std::vector<double> time(s.time.begin() + static_cast<std::ptrdiff_t>(first),
                             s.time.begin() + static_cast<std::ptrdiff_t>(first + n));
    s.data = std::move(data);
    s.time = std::move(time);
    s.length = n;
}

// Cuts every copy to the common window; answers the window [T0, T1] in seconds.
std::pair<double, double> cut_to_common_window(std::vector<Work>& recs, const std::vector<int>& kinds) {
    const size_t n = recs.size();
    const size_t k_count = kinds.size();

    // A start is never negative; an empty copy has no first time and takes no part.
    std::vector<double> starts(k_count, 0.0);
    for (size_t j = 0; j < k_count; ++j) {
        for (const Work& r : recs) {
            const kx_DataSensor& c = *r.copies[j];
            if (c.length != 0 && c.time[0] > starts[j]) starts[j] = c.time[0];
        }
    }

    std::vector<uint64_t> first(n * k_count, 0);
    std::vector<float> remaining_s(n * k_count, 0.0f);
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < k_count; ++j) {
            const kx_DataSensor& c = *recs[i].copies[j];
            if (c.length == 0) continue;  // remaining duration 0: the window closes for everyone
            const size_t k = nearest_index(c, starts[j]);
            first[i * k_count + j] = k;
            const float f_hz = static_cast<float>(kind_frequency(*recs[i].config, kinds[j]));
            remaining_s[i * k_count + j] = ieee_div(static_cast<float>(c.length - k), f_hz);
        }
    }

    float d_s = remaining_s[0];
    for (float r : remaining_s) {
        if (r < d_s) d_s = r;
    }

    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < k_count; ++j) {
            kx_DataSensor& c = *recs[i].copies[j];
            const size_t k = static_cast<size_t>(first[i * k_count + j]);
            const float f_hz = static_cast<float>(kind_frequency(*recs[i].config, kinds[j]));
            trim(c, k, window_length(f_hz * d_s, c.length - k));
        }
    }

    double t0_s = starts[0];
    for (double s : starts) {
        if (s < t0_s) t0_s = s;
    }
    return {t0_s, t0_s + static_cast<double>(d_s)};
}

// The event channel keeps its own times (no shift); only the window is applied.
void carry_events(Work& r, double t0_s, double t1_s) {
    const auto found = r.source->find(KX_EVENT);
    if (found == r.source->end()) return;
    const kx_DataSensor& ev = found->second;
    const size_t len = ev.length;
    size_t first = len;
    for (size_t k = 0; k < len; ++k) {
        if (ev.time[k] >= t0_s) {
            first = k;
            break;
        }
    }
    size_t end = 0;  // one past the last kept index
    for (size_t k = len; k > 0; --k) {
        if (ev.time[k - 1] <= t1_s) {
            end = k;
            break;
        }
    }
    if (end <= first) return;
    const size_t count = end - first;
    kx_DataSensor cut(ev.dimension, count);
    for (size_t c = 0; c < ev.dimension; ++c) {
        for (size_t t = 0; t < count; ++t) cut.data[c * count + t] = ev.data[c * len + first + t];
    }
    for (size_t t = 0; t < count; ++t) cut.time[t] = ev.time[first + t];
    (*r.out)[KX_EVENT] = std::move(cut);
}

// Steps after the copies exist; false on a radio refusal.
bool synchronise(std::vector<Work>& recs, const std::vector<int>& kinds) {
    const kx_Config& first = *recs[0].config;
    const char* method = kx_sync_method(first);
    if (std::strcmp(method, "time-marks") == 0) {
        apply_time_marks(recs);
    } else {
        const bool channel_sensor = std::strcmp(method, "radio-channel-sensor") == 0;
        const long master = find_radio_master(recs, channel_sensor);
        if (master < 0) return false;
        if (channel_sensor) {
            if (!apply_radio_channel_sensor(recs, static_cast<size_t>(master))) return false;
        } else {
            apply_basic_radio_frame(recs, kinds, static_cast<size_t>(master));
        }
    }
    const std::pair<double, double> window = cut_to_common_window(recs, kinds);
    for (Work& r : recs) carry_events(r, window.first, window.second);
    return true;
}

}  // namespace

const char* kx_sync_method(const kx_Config& first) {
    if (first.settings18.present) return "time-marks";
    // mode 2: no radio channel sensor frame was read, only the basic radio frame
    return first.radioSensor.mode != 2 ? "radio-channel-sensor" : "basic-radio-frame";
}

bool kx_sync(std::vector<kx_SensorMap*>& synced, const std::vector<kx_Config*>& configs,
             const std::vector<kx_SensorMap*>& sources) {
    const size_t n = configs.size();
    if (n < 2 || sources.size() != n) {
        std::fputs("Wrong number of sensors.\n", stderr);
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        if (configs[i] == nullptr || sources[i] == nullptr) {
            std::fputs("Null data detected.\n", stderr);
            return false;
        }
    }

    // A kind is common only when every recording holds it, whatever its length.
    std::vector<int> kinds;
    for (int kind : kSyncedKinds) {
        bool everywhere = true;
        for (const kx_SensorMap* m : sources) everywhere = everywhere && m->count(kind) != 0;
        if (everywhere) kinds.push_back(kind);
    }
    // Without a common kind there is no window to cut to.
    if (kinds.empty()) return false;

    for (const kx_SensorMap* m : sources) {
        for (int kind : kinds) {
            if (!well_formed(m->at(kind))) return false;
        }
        for (int kind : {static_cast<int>(KX_EVENT), static_cast<int>(KX_RADIO_TIME)}) {
            const auto found = m->find(kind);
            if (found != m->end() && !well_formed(found->second)) return false;
        }
    }

    // Owned here until they are handed over, so that nothing leaks if an allocation throws.
    std::vector<std::unique_ptr<kx_SensorMap>> maps;
    maps.reserve(n);
    std::vector<Work> recs;
    recs.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        maps.push_back(std::make_unique<kx_SensorMap>());
        Work w{configs[i], sources[i], maps.back().get(), {}};
        for (int kind : kinds) w.out->emplace(kind, sources[i]->at(kind));
        // map elements keep their address when the map grows
        for (int kind : kinds) w.copies.push_back(&w.out->at(kind));
        recs.push_back(std::move(w));
    }

    const bool ok = synchronise(recs, kinds);

    synced.resize(n);
    for (size_t i = 0; i < n; ++i) synced[i] = maps[i].release();
    return ok;
}
