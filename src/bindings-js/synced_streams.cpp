// _readSynced(paths): the decode and synchronisation steps of readAndSync2 without its CSV
// writer, answering each recording's synchronised streams as typed arrays; _fullScale(path): the
// readings at the inertial sensors' full scale. Both serve the report page.
#include "synced_streams.h"

#include <napi.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "../recording/recording.h"
#include "../sync/sync.h"

namespace demo {

namespace {

// Status texts of readAndSync2, so that a failure reads the same to the caller.
const char kOk[] = "OK";
const char kReadFailed[] = "-10";
const char kSyncFailed[] = "-11";
const char kQuaternionFailed[] = "-13";

// A Float64Array holding a copy of n doubles from `from`. The copy keeps the page generator
// free of external buffers, which some embedders (Electron) refuse.
Napi::Value float64_copy(Napi::Env env, const double* from, size_t n) {
    Napi::Float64Array a = Napi::Float64Array::New(env, n);
    if (env.IsExceptionPending()) return Napi::Value();
    if (n > 0) std::memcpy(a.Data(), from, n * sizeof(double));
    return a;
}

// One stream as { rate, time, <component>... }, or an empty value when it has no samples.
Napi::Value stream_object(Napi::Env env, const kx_DataSensor& s, int32_t rate_hz, const char* const* names,
                          size_t count) {
    if (s.length == 0 || s.time.size() < s.length || s.dimension < count ||
        s.data.size() < s.dimension * s.length)
        return Napi::Value();
    Napi::Object o = Napi::Object::New(env);
    o.Set("rate", Napi::Number::New(env, rate_hz));
    o.Set("time", float64_copy(env, s.time.data(), s.length));
    for (size_t k = 0; k < count; ++k)
        o.Set(names[k], float64_copy(env, s.data.data() + k * s.length, s.length));
    if (env.IsExceptionPending()) return Napi::Value();
    return o;
}

// The synchronised map of one recording in the shape readData answers its streams, with the
// event channels of its source map moved by `offset_s` onto the common time base.
Napi::Object streams_object(Napi::Env env, const kx_Config& c, const kx_SensorMap& m,
                            const kx_SensorMap& source, double offset_s) {
    struct Kind {
        int id;
        const char* key;
        int32_t rate_hz;
        const char* names[4];
        size_t count;
    };
    // kx_sync carries these kinds; the quaternion runs at the gyroscope's rate.
    const Kind kinds[] = {
        {KX_ACCEL, "accel", c.accel.frequency, {"x", "y", "z"}, 3},
        {KX_GYRO, "gyro", c.gyro.frequency, {"x", "y", "z"}, 3},
        {KX_BARO, "baro", c.baro.frequency, {"pressure", "temperature"}, 2},
        {KX_QUATERNION, "quaternion", c.gyro.frequency, {"w", "x", "y", "z"}, 4},
    };
    Napi::Object streams = Napi::Object::New(env);
    for (const Kind& k : kinds) {
        const auto it = m.find(k.id);
        if (it == m.end()) continue;
        Napi::Value v = stream_object(env, it->second, k.rate_hz, k.names, k.count);
        if (env.IsExceptionPending()) return streams;
        if (!v.IsEmpty()) streams.Set(k.key, v);
    }
    static const char* const kValue[] = {"value"};
    const struct {
        int id;
        const char* key;
        int32_t rate_hz;
    } events[] = {{KX_EVENT, "events", c.event.frequency}, {KX_EVENT2, "events2", c.event2.frequency}};
    for (const auto& e : events) {
        const auto it = source.find(e.id);
        if (it == source.end()) continue;
        kx_DataSensor moved = it->second;
        for (double& t : moved.time) t += offset_s;
        Napi::Value v = stream_object(env, moved, e.rate_hz, kValue, 1);
        if (env.IsExceptionPending()) return streams;
        if (!v.IsEmpty()) streams.Set(e.key, v);
    }
    return streams;
}

// How far kx_sync moved each recording's times (seconds). kx_sync keeps event times as they
// were recorded, so the shift is measured by synchronising a probe: per recording one
// accelerometer stream with two samples at time 0 (two, so that the trimmed window keeps one)
// and the radio time stream the radio method reads. The time of the probe's first kept sample
// is the shift. The method and the shift depend on the configurations and the radio time
// streams alone, so the probe is moved exactly as the recordings were.
bool sync_offsets(const std::vector<kx_Config*>& configs, const std::vector<kx_SensorMap*>& sources,
                  std::vector<double>* offsets_s) {
    std::vector<kx_SensorMap> probes(sources.size());
    std::vector<kx_SensorMap*> probe_ptrs;
    for (size_t i = 0; i < sources.size(); ++i) {
        probes[i].emplace(KX_ACCEL, kx_DataSensor(3, 2));
        const auto radio = sources[i]->find(KX_RADIO_TIME);
        if (radio != sources[i]->end()) probes[i].emplace(KX_RADIO_TIME, radio->second);
        probe_ptrs.push_back(&probes[i]);
    }
    kx_SyncedMaps moved;
    if (!kx_sync(moved.maps, configs, probe_ptrs) || moved.maps.size() != sources.size()) return false;
    for (const kx_SensorMap* m : moved.maps) {
        if (m == nullptr) return false;
        const auto it = m->find(KX_ACCEL);
        if (it == m->end() || it->second.length == 0) return false;
        offsets_s->push_back(it->second.time[0]);
    }
    return true;
}

}  // namespace

// Answers { status, recordings }: status is readAndSync2's text ("OK", "-10", "-11", "-13");
// recordings, only with "OK", holds one { streams } per path, in order, on the common time
// base (seconds), the event channels included.
Napi::Value ReadSynced(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    if (info.Length() < 1) {
        Napi::TypeError::New(env, "Wrong number of arguments").ThrowAsJavaScriptException();
        return Napi::Value();
    }
    if (!info[0].IsArray()) {
        Napi::TypeError::New(env, "Wrong arguments").ThrowAsJavaScriptException();
        return Napi::Value();
    }
    Napi::Array list = info[0].As<Napi::Array>();
    std::vector<std::string> paths;
    for (uint32_t i = 0; i < list.Length(); ++i) {
        Napi::Value item = list.Get(i);
        if (env.IsExceptionPending()) return Napi::Value();
        if (!item.IsString()) {
            Napi::TypeError::New(env, "Wrong arguments").ThrowAsJavaScriptException();
            return Napi::Value();
        }
        std::string path = item.As<Napi::String>().Utf8Value();
        if (env.IsExceptionPending()) return Napi::Value();
        if (path.find('\0') != std::string::npos) {
            Napi::TypeError::New(env, "Wrong arguments").ThrowAsJavaScriptException();
            return Napi::Value();
        }
        paths.push_back(std::move(path));
    }

    Napi::Object answer = Napi::Object::New(env);
    const auto status = [&](const char* text) {
        answer.Set("status", Napi::String::New(env, text));
        return answer;
    };

    // Declared so that the recordings are freed before the synchronised maps.
    kx_SyncedMaps synced;
    std::vector<std::unique_ptr<kx_Recording>> recordings;
    // Every stage handles every recording before its outcome is decided, as readAndSync2 does.
    bool all_read = true;
    for (const std::string& path : paths) {
        recordings.push_back(std::make_unique<kx_Recording>());
        all_read =
            kx_decodeRecording(path.c_str(), recordings.back().get()) == kx_DecodeError::none && all_read;
    }
    if (!all_read) return status(kReadFailed);
    for (const auto& r : recordings) {
        if (!r->hasQuaternions) return status(kQuaternionFailed);
    }
    std::vector<kx_Config*> configs;
    std::vector<kx_SensorMap*> sources;
    for (const auto& r : recordings) {
        configs.push_back(&r->config);
        sources.push_back(&r->sensors);
    }
    if (!kx_sync(synced.maps, configs, sources) || synced.maps.size() != paths.size())
        return status(kSyncFailed);
    for (const kx_SensorMap* m : synced.maps) {
        if (m == nullptr) return status(kSyncFailed);
    }

    std::vector<double> offsets_s;
    if (!sync_offsets(configs, sources, &offsets_s)) return status(kSyncFailed);

    Napi::Array out = Napi::Array::New(env, paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
        Napi::Object r = Napi::Object::New(env);
        r.Set("streams", streams_object(env, recordings[i]->config, *synced.maps[i], recordings[i]->sensors,
                                        offsets_s[i]));
        if (env.IsExceptionPending()) return Napi::Value();
        out.Set(static_cast<uint32_t>(i), r);
    }
    answer.Set("recordings", out);
    return status(kOk);
}

namespace {

// The two readings an axis shows at the ends of the 16-bit converter (raw -32768 and 32767),
// computed as the decoder computes every sample, so a clipped sample equals one of them.
Napi::Value full_scale_object(Napi::Env env, const kx_Config::InertialConfig& ic) {
    const double range = ic.range;
    const double offset[3] = {ic.offsetX, ic.offsetY, ic.offsetZ};
    const double gain[3] = {ic.gainX, ic.gainY, ic.gainZ};
    static const char* const kAxes[] = {"x", "y", "z"};
    Napi::Object o = Napi::Object::New(env);
    o.Set("range", Napi::Number::New(env, ic.range));
    for (int k = 0; k < 3; ++k) {
        Napi::Array ends = Napi::Array::New(env, 2);
        const double raw_ends[2] = {-32768.0, 32767.0};
        for (uint32_t e = 0; e < 2; ++e) {
            const double raw = raw_ends[e];
            ends.Set(e, Napi::Number::New(env, ((raw * range * 3.0517578125e-5) - offset[k]) / gain[k]));
        }
        o.Set(kAxes[k], ends);
    }
    return o;
}

}  // namespace

// Answers { accel, gyro }, each { range, x: [low end, high end], y, z } when configured, from
// the configuration block alone; an empty object when the file is not a recording.
Napi::Value FullScale(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    if (info.Length() < 1) {
        Napi::TypeError::New(env, "Wrong number of arguments").ThrowAsJavaScriptException();
        return Napi::Value();
    }
    if (!info[0].IsString()) {
        Napi::TypeError::New(env, "Wrong arguments").ThrowAsJavaScriptException();
        return Napi::Value();
    }
    const std::string path = info[0].As<Napi::String>().Utf8Value();
    if (env.IsExceptionPending()) return Napi::Value();
    if (path.find('\0') != std::string::npos) {
        Napi::TypeError::New(env, "Wrong arguments").ThrowAsJavaScriptException();
        return Napi::Value();
    }
    Napi::Object answer = Napi::Object::New(env);
    kx_Config config;
    if (kx_decodeConfig(path.c_str(), &config) != kx_DecodeError::none) return answer;
    if (config.accel.present) answer.Set("accel", full_scale_object(env, config.accel));
    if (config.gyro.present) answer.Set("gyro", full_scale_object(env, config.gyro));
    return answer;
}

}  // namespace demo
