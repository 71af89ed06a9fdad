// The binding's streams as JavaScript values: samples as typed arrays (put_streams, for the
// source's ranges and a set synchronised whole) and the full-scale readings of a configuration.
#include <napi.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "../frontend/binreader2.h"
#include "../frontend/table_columns.h"
#include "convert.h"

namespace demo {

namespace {

// An ArrayBuffer holding a copy of `values`, which are freed at once so that only one stream
// is ever held twice. The buffer is JavaScript's own: the collector knows its size and frees it
// as it collects, even inside a loop of synchronous calls (the finalizer of a buffer over the
// vector's memory would wait for the event loop, and such a loop would grow without bound), and
// postMessage can move it to another thread.
Napi::Value stream_buffer(Napi::Env env, std::vector<double>* values) {
    const size_t bytes = values->size() * sizeof(double);
    Napi::ArrayBuffer buffer = Napi::ArrayBuffer::New(env, bytes);
    if (env.IsExceptionPending()) return Napi::Value();
    if (bytes != 0) std::memcpy(buffer.Data(), values->data(), bytes);
    std::vector<double>().swap(*values);
    return buffer;
}

// One stream as { rate, time, <component>... }, its arrays over the stream's own memory.
Napi::Value stream_object(Napi::Env env, const DataStreamKind& kind, int32_t rate, kx_DataSensor* s) {
    const size_t length = s->length;
    s->data.resize(static_cast<size_t>(kind.components) * length);
    s->time.resize(length);
    Napi::Object out = Napi::Object::New(env);
    out.Set("rate", Napi::Number::New(env, rate));
    Napi::Value time = stream_buffer(env, &s->time);
    if (time.IsEmpty() || env.IsExceptionPending()) return Napi::Value();
    out.Set("time", Napi::Float64Array::New(env, length, time.As<Napi::ArrayBuffer>(), 0));
    Napi::Value data = stream_buffer(env, &s->data);
    if (data.IsEmpty() || env.IsExceptionPending()) return Napi::Value();
    for (int k = 0; k < kind.components; ++k) {
        out.Set(kind.component[k], Napi::Float64Array::New(env, length, data.As<Napi::ArrayBuffer>(),
                                                           static_cast<size_t>(k) * length * sizeof(double)));
    }
    if (env.IsExceptionPending()) return Napi::Value();
    return out;
}

}  // namespace

// Puts every stream of `sensors` that has samples into `streams` as { rate, time, <component>... }
// (see stream_object); the vectors are handed over. False with an exception pending on failure.
bool put_streams(Napi::Env env, const kx_Config& config, kx_SensorMap* sensors,
                 Napi::Object* streams) {
    for (const DataStreamKind& kind : kDataStreams) {
        const auto it = sensors->find(kind.sensor);
        if (it == sensors->end()) continue;
        kx_DataSensor& s = it->second;
        // A stream without samples, or one that does not hold what its counts claim, is left out.
        if (s.length == 0 || s.dimension < static_cast<size_t>(kind.components) ||
            s.data.size() < static_cast<size_t>(kind.components) * s.length || s.time.size() < s.length)
            continue;
        Napi::Value stream =
            stream_object(env, kind, data_stream_rate(config, kind.sensor), &s);
        if (stream.IsEmpty()) {
            // A buffer that could not be made without an exception of its own (out of memory).
            if (!env.IsExceptionPending())
                Napi::Error::New(env, "no memory for the arrays").ThrowAsJavaScriptException();
            return false;
        }
        streams->Set(kind.name, stream);
    }
    return !env.IsExceptionPending();
}

// _readSynced(paths, options): { status } with readAndSync2's status text ("OK", "-10", "-13", "-11"),
// and with "OK" also recordings: one { streams } per path on the common time base (seconds),
// event channels included. The report page draws a set from it.
Napi::Value ReadSynced(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    std::vector<std::string> paths;
    kx_SourceOptions options;
    if (!path_list(env, info.Length() > 0 ? info[0] : env.Undefined(), &paths) || !source_options(info, 1, &options))
        return Napi::Value();
    kx_SyncedSet set;
    const kx_SourceError error = kx_readSynced(paths, &set, options.orientation);
    Napi::Object answer = Napi::Object::New(env);
    answer.Set("status", _sync_status(error));
    if (error != kx_SourceError::none) return answer;
    Napi::Array recordings = Napi::Array::New(env, paths.size());
    for (size_t i = 0; i < set.recordings.size(); ++i) {
        Napi::Object streams = Napi::Object::New(env);
        if (!put_streams(env, set.recordings[i]->config, set.synced.maps[i], &streams)) return Napi::Value();
        Napi::Object r = Napi::Object::New(env);
        r.Set("streams", streams);
        recordings.Set(static_cast<uint32_t>(i), r);
    }
    answer.Set("recordings", recordings);
    return answer;
}

// _fullScale(path): { accel, gyro } (each { range, x: [low end, high end], y, z }, when
// configured) from the configuration block alone; an empty object when it is not a recording.
Napi::Value FullScale(const Napi::CallbackInfo& info) {
    static constexpr bool kPath[] = {true};
    std::string a[1];
    if (!string_args(info, 1, kPath, a)) return Napi::Value();
    Napi::Env env = info.Env();
    Napi::Object answer = Napi::Object::New(env);
    kx_Config config;
    if (kx_decodeConfig(a[0].c_str(), &config) != kx_DecodeError::none) return answer;
    static const char* const kAxes[] = {"x", "y", "z"};
    for (const auto& sensor : {std::make_pair("accel", &config.accel), std::make_pair("gyro", &config.gyro)}) {
        if (!sensor.second->present) continue;
        const kx_FullScale f = kx_fullScale(*sensor.second);
        Napi::Object o = Napi::Object::New(env);
        o.Set("range", f.range);
        for (int k = 0; k < 3; ++k) {
            Napi::Array ends = Napi::Array::New(env, 2);
            ends.Set(0u, f.low[k]);
            ends.Set(1u, f.high[k]);
            o.Set(kAxes[k], ends);
        }
        answer.Set(sensor.first, o);
    }
    return answer;
}

}  // namespace demo
