// The binding's streams as JavaScript values: samples as typed arrays (put_streams, for the
// source's ranges).
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

}  // namespace demo
