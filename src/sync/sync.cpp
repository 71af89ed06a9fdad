// Synchronisation of several recordings: time base by time marks or radio, common window,
// event channel cut to that window.
#include "sync.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
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
void time_mark_shifts(const std::vector<kx_Config*>& configs, size_t k_count, std::vector<double>* shifts_s) {
    std::vector<float> starts;
    starts.reserve(configs.size());
    for (const kx_Config* c : configs) {
        const kx_Config::Settings18& s = c->settings18;
        const float f_hz = static_cast<float>(c->frequency);
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
    for (size_t i = 0; i < configs.size(); ++i) {
        for (size_t j = 0; j < k_count; ++j) (*shifts_s)[i * k_count + j] = static_cast<double>(starts[i] - m);
    }
}

// Radio methods: exactly one master and agreeing channels, else the refusal message.
// Answers the master's index, or -1 after writing the message.
long find_radio_master(const std::vector<kx_Config*>& configs, bool channel_sensor) {
    auto is_master = [&](const kx_Config& c) {
        return channel_sensor ? c.radioSensor.mode == 0 : c.radioMode == 0;
    };
    auto channel = [&](const kx_Config& c) {
        return channel_sensor ? c.radioSensor.channel : c.radioChannel;
    };

    const int32_t reference = channel(*configs[0]);
    bool channels_agree = true;
    int masters = 0;
    long master = -1;
    for (size_t i = 0; i < configs.size(); ++i) {
        const kx_Config& c = *configs[i];
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
bool radio_channel_shifts(const std::vector<kx_SyncRadio>& radio, size_t master, size_t k_count,
                          std::vector<double>* shifts_s) {
    for (size_t i = 0; i < radio.size(); ++i) {
        if (i == master) continue;
        if (!radio[i].present) {
            std::fputs("No radio data.\n", stderr);
            return false;
        }
        const double offset_s = radio[i].value_s - radio[i].time_s;
        for (size_t j = 0; j < k_count; ++j) (*shifts_s)[i * k_count + j] = offset_s;
    }
    return true;
}

// Basic radio frame: the frame's two values give a shift that scales with each kind's rate
// (f x d / F), so streams of different rates move by different amounts.
void basic_radio_shifts(const std::vector<kx_Config*>& configs, const std::vector<int>& kinds, size_t master,
                        std::vector<double>* shifts_s) {
    for (size_t i = 0; i < configs.size(); ++i) {
        if (i == master) continue;
        const kx_Config& c = *configs[i];
        // the values are free-running counters: their difference wraps like a signed 32-bit number
        const float d = static_cast<float>(static_cast<int32_t>(c.radioValue2 - c.radioValue1));
        const float base_hz = static_cast<float>(c.frequency);
        for (size_t j = 0; j < kinds.size(); ++j) {
            const float f_hz = static_cast<float>(kind_frequency(c, kinds[j]));
            (*shifts_s)[i * kinds.size() + j] = static_cast<double>(ieee_div(f_hz * d, base_hz));
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
    const size_t k_count = kinds.size();
    std::vector<kx_Config*> configs;
    std::vector<size_t> lengths;
    std::vector<double> first_times_s;
    for (const Work& r : recs) {
        configs.push_back(const_cast<kx_Config*>(r.config));
        for (const kx_DataSensor* c : r.copies) {
            lengths.push_back(c->length);
            first_times_s.push_back(c->length != 0 ? c->time[0] : 0.0);
        }
    }
    const kx_SyncWindow w = kx_syncWindow(configs, kinds, lengths, first_times_s, [&](size_t s, double start_s) {
        return nearest_index(*recs[s / k_count].copies[s % k_count], start_s);
    });
    for (size_t s = 0; s < lengths.size(); ++s) trim(*recs[s / k_count].copies[s % k_count], w.first[s], w.count[s]);
    return {w.t0_s, w.t1_s};
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
    std::vector<kx_Config*> configs;
    std::vector<kx_SyncRadio> radio(recs.size());
    for (size_t i = 0; i < recs.size(); ++i) {
        configs.push_back(const_cast<kx_Config*>(recs[i].config));
        const auto found = recs[i].source->find(KX_RADIO_TIME);
        if (found != recs[i].source->end() && found->second.length != 0 && found->second.dimension != 0)
            radio[i] = {true, found->second.data[0], found->second.time[0]};
    }
    std::vector<double> shifts_s;
    if (!kx_syncShifts(configs, kinds, radio, &shifts_s)) return false;
    for (size_t i = 0; i < recs.size(); ++i) {
        for (size_t j = 0; j < kinds.size(); ++j) shift_times(*recs[i].copies[j], shifts_s[i * kinds.size() + j]);
    }
    const std::pair<double, double> window = cut_to_common_window(recs, kinds);
    for (Work& r : recs) carry_events(r, window.first, window.second);
    return true;
}

}  // namespace

kx_SyncMethod kx_syncMethod(const kx_Config& first) {
    if (first.settings18.present) return kx_SyncMethod::timeMarks;
    // mode 2: no radio channel sensor frame was read, only the basic radio frame
    return first.radioSensor.mode != 2 ? kx_SyncMethod::radioChannelSensor : kx_SyncMethod::basicRadioFrame;
}

const char* kx_syncMethodName(kx_SyncMethod method) {
    switch (method) {
        case kx_SyncMethod::timeMarks:
            return "time-marks";
        case kx_SyncMethod::radioChannelSensor:
            return "radio-channel-sensor";
        case kx_SyncMethod::basicRadioFrame:
            break;
    }
    return "basic-radio-frame";
}

std::vector<int> kx_syncKinds(size_t count, const std::function<bool(size_t, int)>& held) {
    // A kind is common only when every recording holds it, whatever its length.
    std::vector<int> kinds;
    for (int kind : kSyncedKinds) {
        bool everywhere = true;
        for (size_t i = 0; i < count; ++i) everywhere = everywhere && held(i, kind);
        if (everywhere) kinds.push_back(kind);
    }
    return kinds;
}

bool kx_syncShifts(const std::vector<kx_Config*>& configs, const std::vector<int>& kinds,
                   const std::vector<kx_SyncRadio>& radio, std::vector<double>* shifts_s) {
    const size_t n = configs.size();
    shifts_s->assign(n * kinds.size(), 0.0);
    if (n == 0 || radio.size() != n) return false;
    const kx_SyncMethod method = kx_syncMethod(*configs[0]);
    if (method == kx_SyncMethod::timeMarks) {
        time_mark_shifts(configs, kinds.size(), shifts_s);
        return true;
    }
    const bool channel_sensor = method == kx_SyncMethod::radioChannelSensor;
    const long master = find_radio_master(configs, channel_sensor);
    if (master < 0) return false;
    if (channel_sensor) return radio_channel_shifts(radio, static_cast<size_t>(master), kinds.size(), shifts_s);
    basic_radio_shifts(configs, kinds, static_cast<size_t>(master), shifts_s);
    return true;
}

kx_SyncWindow kx_syncWindow(const std::vector<kx_Config*>& configs, const std::vector<int>& kinds,
                            const std::vector<size_t>& lengths, const std::vector<double>& first_times_s,
                            const std::function<size_t(size_t, double)>& nearest) {
    const size_t n = configs.size();
    const size_t k_count = kinds.size();
    kx_SyncWindow w;
    w.first.assign(n * k_count, 0);
    w.count.assign(n * k_count, 0);
    if (n == 0 || k_count == 0) return w;

    // A start is never negative; an empty stream has no first time and takes no part.
    std::vector<double> starts(k_count, 0.0);
    for (size_t j = 0; j < k_count; ++j) {
        for (size_t i = 0; i < n; ++i) {
            const size_t s = i * k_count + j;
            if (lengths[s] != 0 && first_times_s[s] > starts[j]) starts[j] = first_times_s[s];
        }
    }

    std::vector<float> remaining_s(n * k_count, 0.0f);
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < k_count; ++j) {
            const size_t s = i * k_count + j;
            if (lengths[s] == 0) continue;  // remaining duration 0: the window closes for everyone
            const size_t k = lengths[s] <= 1 ? 0 : nearest(s, starts[j]);
            w.first[s] = k;
            const float f_hz = static_cast<float>(kind_frequency(*configs[i], kinds[j]));
            remaining_s[s] = ieee_div(static_cast<float>(lengths[s] - k), f_hz);
        }
    }

    float d_s = remaining_s[0];
    for (float r : remaining_s) {
        if (r < d_s) d_s = r;
    }

    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < k_count; ++j) {
            const size_t s = i * k_count + j;
            const float f_hz = static_cast<float>(kind_frequency(*configs[i], kinds[j]));
            w.count[s] = window_length(f_hz * d_s, lengths[s] - w.first[s]);
        }
    }

    w.t0_s = starts[0];
    for (double s : starts) {
        if (s < w.t0_s) w.t0_s = s;
    }
    w.t1_s = w.t0_s + static_cast<double>(d_s);
    return w;
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

    const std::vector<int> kinds =
        kx_syncKinds(n, [&](size_t i, int kind) { return sources[i]->count(kind) != 0; });
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
