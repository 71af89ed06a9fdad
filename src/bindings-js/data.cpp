// The binding's data functions: decoded streams as typed arrays, the CSV table's columns over
// row ranges of a source, and the source handle JavaScript holds between calls.
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

// Doubles owned by an ArrayBuffer that JavaScript holds: freed by its finalizer.
struct OwnedDoubles {
    std::vector<double> values;
};

// An ArrayBuffer over `values`. Without `transferable`, the vector's memory itself becomes the
// buffer's (no copy; freed when the buffer is collected). Such external buffers cannot be
// moved to another thread (postMessage copies them), so with `transferable` (a worker's answer)
// the values are copied once into a buffer JavaScript allocated, and the vector is freed at
// once so that only one stream is ever held twice. Runtimes that refuse external buffers get
// the copy as well.
Napi::Value stream_buffer(Napi::Env env, std::vector<double>* values, bool transferable) {
    const size_t bytes = values->size() * sizeof(double);
    if (!transferable) {
        auto owned = std::make_unique<OwnedDoubles>();
        owned->values.swap(*values);
        napi_value buffer;
        const napi_status status = napi_create_external_arraybuffer(
            env, owned->values.data(), bytes,
            [](napi_env finalize_env, void*, void* hint) {
                std::unique_ptr<OwnedDoubles> owner(static_cast<OwnedDoubles*>(hint));
                Napi::MemoryManagement::AdjustExternalMemory(
                    finalize_env, -static_cast<int64_t>(owner->values.size() * sizeof(double)));
            },
            owned.get(), &buffer);
        if (status == napi_ok) {
            owned.release();
            Napi::MemoryManagement::AdjustExternalMemory(env, static_cast<int64_t>(bytes));
            return Napi::Value(env, buffer);
        }
        if (status != napi_no_external_buffers_allowed) return Napi::Value();
        values->swap(owned->values);
    }
    Napi::ArrayBuffer buffer = Napi::ArrayBuffer::New(env, bytes);
    if (env.IsExceptionPending()) return Napi::Value();
    if (bytes != 0) std::memcpy(buffer.Data(), values->data(), bytes);
    std::vector<double>().swap(*values);
    return buffer;
}

// One stream as { rate, time, <component>... }, its arrays over the stream's own memory.
Napi::Value stream_object(Napi::Env env, const DataStreamKind& kind, int32_t rate, kx_DataSensor* s,
                          bool transferable) {
    const size_t length = s->length;
    s->data.resize(static_cast<size_t>(kind.components) * length);
    s->time.resize(length);
    Napi::Object out = Napi::Object::New(env);
    out.Set("rate", Napi::Number::New(env, rate));
    Napi::Value time = stream_buffer(env, &s->time, transferable);
    if (time.IsEmpty() || env.IsExceptionPending()) return Napi::Value();
    out.Set("time", Napi::Float64Array::New(env, length, time.As<Napi::ArrayBuffer>(), 0));
    Napi::Value data = stream_buffer(env, &s->data, transferable);
    if (data.IsEmpty() || env.IsExceptionPending()) return Napi::Value();
    for (int k = 0; k < kind.components; ++k) {
        out.Set(kind.component[k], Napi::Float64Array::New(env, length, data.As<Napi::ArrayBuffer>(),
                                                           static_cast<size_t>(k) * length * sizeof(double)));
    }
    if (env.IsExceptionPending()) return Napi::Value();
    return out;
}

// Puts every stream of `sensors` that has samples into `streams` as { rate, time, <component>... }
// (see stream_object); the vectors are handed over. False with an exception pending on failure.
bool put_streams(Napi::Env env, const kx_Config& config, kx_SensorMap* sensors, bool transferable,
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
            stream_object(env, kind, data_stream_rate(config, kind.sensor), &s, transferable);
        if (stream.IsEmpty()) {
            // A buffer that could not be made without an exception of its own (out of memory).
            if (!env.IsExceptionPending())
                Napi::Error::New(env, "readData: no memory for the arrays").ThrowAsJavaScriptException();
            return false;
        }
        streams->Set(kind.name, stream);
    }
    return !env.IsExceptionPending();
}

// Columns of rows [first, last) of member m: [{ name, single, values, valid, nulls }], values a
// Float32Array (single) or Float64Array, valid a Uint8Array of validity bits (least significant
// first). Undefined with an exception pending when the rows cannot be had.
Napi::Value columns_value(Napi::Env env, kx_Source& source, size_t m, uint64_t first, uint64_t last) {
    kx_SourceMember& member = source.member(m);
    const std::vector<TableColumn> columns = table_columns(member.layout);
    last = std::min(last, member.layout.rows);
    const uint64_t rows = last > first ? last - first : 0;
    std::vector<void*> values(columns.size());
    std::vector<uint8_t*> valid(columns.size());
    std::vector<uint64_t> nulls(columns.size());
    std::vector<Napi::Object> objects;
    Napi::Array list = Napi::Array::New(env, columns.size());
    for (size_t c = 0; c < columns.size(); ++c) {
        Napi::ArrayBuffer data = Napi::ArrayBuffer::New(env, rows * (columns[c].single ? 4 : 8));
        if (env.IsExceptionPending()) return Napi::Value();
        Napi::Uint8Array bits = Napi::Uint8Array::New(env, (rows + 7) / 8);  // zeroed
        if (env.IsExceptionPending()) return Napi::Value();
        values[c] = data.Data();
        valid[c] = bits.Data();
        Napi::Object column = Napi::Object::New(env);
        column.Set("name", columns[c].name);
        column.Set("single", columns[c].single);
        if (columns[c].single)
            column.Set("values", Napi::Float32Array::New(env, rows, data, 0));
        else
            column.Set("values", Napi::Float64Array::New(env, rows, data, 0));
        column.Set("valid", bits);
        list.Set(static_cast<uint32_t>(c), column);
        objects.push_back(column);
    }
    if (env.IsExceptionPending()) return Napi::Value();
    if (!source.fill_columns(m, first, last, values.data(), valid.data(), nulls.data())) {
        Napi::Error::New(env, member.path + ": rows " + std::to_string(first) + " to " + std::to_string(last) +
                                  " cannot be read (asked out of order, or the recording changed)")
            .ThrowAsJavaScriptException();
        return Napi::Value();
    }
    for (size_t c = 0; c < columns.size(); ++c) objects[c].Set("nulls", static_cast<double>(nulls[c]));
    return list;
}

// One member's whole table: { config, summary, rows, columns } (see columns_value).
Napi::Value table_value(Napi::Env env, kx_Source& source, size_t m) {
    const kx_SourceMember& member = source.member(m);
    Napi::Value columns = columns_value(env, source, m, 0, member.layout.rows);
    if (columns.IsEmpty()) return Napi::Value();
    Napi::Object out = Napi::Object::New(env);
    out.Set("config", text_value(env, _generate_config_JSON(member.config)));
    out.Set("summary", text_value(env, _generate_read_answer_JSON(&member.config)));
    out.Set("rows", static_cast<double>(member.layout.rows));
    out.Set("columns", columns);
    return out;
}

// A source JavaScript holds: freed by _sourceClose or, failing that, by the garbage collector.
struct SourceHandle {
    std::unique_ptr<kx_Source> source;
    int64_t external = 0;  // bytes reported to the garbage collector
};

void release(Napi::Env env, SourceHandle* h) {
    h->source.reset();
    if (h->external != 0) Napi::MemoryManagement::AdjustExternalMemory(env, -h->external);
    h->external = 0;
}

// The open source behind a handle argument, or nullptr with the module's TypeError.
kx_Source* source_of(const Napi::CallbackInfo& info, SourceHandle** handle) {
    if (info.Length() < 1 || !info[0].IsExternal()) {
        throw_type_error(info.Env(), "Wrong arguments");
        return nullptr;
    }
    *handle = info[0].As<Napi::External<SourceHandle>>().Data();
    if (!(*handle)->source) Napi::Error::New(info.Env(), "the source is closed").ThrowAsJavaScriptException();
    return (*handle)->source.get();
}

}  // namespace

// _readData(path, transferable): { config, summary, frequency, streams } with config and
// summary as JSON texts, or the code of why the recording could not be decoded.
Napi::Value ReadData(const Napi::CallbackInfo& info) {
    static constexpr bool kPath[] = {true};
    std::string a[1];
    if (!string_args(info, 1, kPath, a)) return Napi::Value();
    Napi::Env env = info.Env();
    const bool transferable = info.Length() > 1 && info[1].ToBoolean().Value();
    kx_Recording recording;
    const kx_SourceError error = kx_readRecording(a[0], &recording);
    if (error != kx_SourceError::none) return text_value(env, source_error_code(error));
    Napi::Object out = Napi::Object::New(env);
    out.Set("config", text_value(env, _generate_config_JSON(recording.config)));
    out.Set("summary", text_value(env, _generate_read_answer_JSON(&recording.config)));
    out.Set("frequency", recording.config.frequency);
    Napi::Object streams = Napi::Object::New(env);
    if (!put_streams(env, recording.config, &recording.sensors, transferable, &streams)) return Napi::Value();
    out.Set("streams", streams);
    if (env.IsExceptionPending()) return Napi::Value();
    return out;
}

// _tableColumns(path): the CSV table of the recording as columns (see table_value), or the
// code of why it could not be opened.
Napi::Value TableColumns(const Napi::CallbackInfo& info) {
    static constexpr bool kPath[] = {true};
    std::string a[1];
    if (!string_args(info, 1, kPath, a)) return Napi::Value();
    kx_Source source;
    const kx_SourceError error = source.open({a[0]}, source_options(info, 1));
    if (error != kx_SourceError::none) return text_value(info.Env(), source_error_code(error));
    return table_value(info.Env(), source, 0);
}

// _syncTables(paths): the tables readAndSync2 would write for a synchronised set, one per
// recording in order, or its status text when a stage before writing failed.
Napi::Value SyncTables(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    std::vector<std::string> paths;
    if (!path_list(env, info.Length() > 0 ? info[0] : env.Undefined(), &paths)) return Napi::Value();
    kx_Source source;
    const kx_SourceError error = source.open_set(paths, source_options(info, 1));
    if (error != kx_SourceError::none) return text_value(env, _sync_status(error));
    Napi::Array tables = Napi::Array::New(env, source.size());
    for (size_t i = 0; i < source.size(); ++i) {
        Napi::Value table = table_value(env, source, i);
        if (table.IsEmpty()) return Napi::Value();
        tables.Set(static_cast<uint32_t>(i), table);
    }
    return tables;
}

// _readSynced(paths): { status } with readAndSync2's status text ("OK", "-10", "-13", "-11"),
// and with "OK" also recordings: one { streams } per path on the common time base (seconds),
// event channels included. The report page draws a set from it.
Napi::Value ReadSynced(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    std::vector<std::string> paths;
    if (!path_list(env, info.Length() > 0 ? info[0] : env.Undefined(), &paths)) return Napi::Value();
    kx_SyncedSet set;
    const kx_SourceError error = kx_readSynced(paths, &set);
    Napi::Object answer = Napi::Object::New(env);
    answer.Set("status", _sync_status(error));
    if (error != kx_SourceError::none) return answer;
    Napi::Array recordings = Napi::Array::New(env, paths.size());
    for (size_t i = 0; i < set.recordings.size(); ++i) {
        Napi::Object streams = Napi::Object::New(env);
        if (!put_streams(env, set.recordings[i]->config, set.synced.maps[i], false, &streams)) return Napi::Value();
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

// _sourceOpen(paths, options): { handle, members: [{ file, config, summary (JSON texts),
// frequency, rows, firstTick, shift, columns: [{ name, single, cells, stream, component }] }] },
// or { code, path, status (a set's), rows (a refused table's) } when it cannot be opened.
Napi::Value SourceOpen(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    std::vector<std::string> paths;
    if (!path_list(env, info.Length() > 0 ? info[0] : env.Undefined(), &paths)) return Napi::Value();
    auto source = std::make_unique<kx_Source>();
    const kx_SourceError error = source->open(paths, source_options(info, 1));
    Napi::Object answer = Napi::Object::New(env);
    if (error != kx_SourceError::none) {
        answer.Set("code", source_error_code(error));
        answer.Set("path", text_value(env, source->error_path()));
        if (paths.size() > 1) answer.Set("status", _sync_status(error));
        if (error == kx_SourceError::tooManyRows) answer.Set("rows", static_cast<double>(source->error_rows()));
        return answer;
    }
    Napi::Array members = Napi::Array::New(env, source->size());
    int64_t external = 0;
    for (size_t m = 0; m < source->size(); ++m) {
        const kx_SourceMember& member = source->member(m);
        Napi::Object o = Napi::Object::New(env);
        o.Set("file", text_value(env, member.path));
        o.Set("config", text_value(env, _generate_config_JSON(member.config)));
        o.Set("summary", text_value(env, _generate_read_answer_JSON(&member.config)));
        o.Set("frequency", member.config.frequency);
        o.Set("rows", static_cast<double>(member.layout.rows));
        o.Set("firstTick", 1);  // row r is the running time of r + 1 base ticks
        o.Set("shift", member.shift_s);
        const std::vector<TableColumn> columns = table_columns(member.layout);
        Napi::Array list = Napi::Array::New(env, columns.size());
        for (size_t c = 0; c < columns.size(); ++c) {
            Napi::Object col = Napi::Object::New(env);
            col.Set("name", columns[c].name);
            col.Set("single", columns[c].single);
            col.Set("cells", columns[c].cells);
            col.Set("stream", columns[c].stream != nullptr ? Napi::Value(Napi::String::New(env, columns[c].stream->kind->label)) : env.Null());
            col.Set("component", columns[c].component);
            list.Set(static_cast<uint32_t>(c), col);
        }
        o.Set("columns", list);
        members.Set(static_cast<uint32_t>(m), o);
        external += kx_source_member_bytes(member);
    }
    auto* handle = new SourceHandle{std::move(source), external};
    Napi::MemoryManagement::AdjustExternalMemory(env, external);
    answer.Set("handle", Napi::External<SourceHandle>::New(env, handle, [](Napi::Env e, SourceHandle* h) {
        release(e, h);
        delete h;
    }));
    answer.Set("members", members);
    if (env.IsExceptionPending()) return Napi::Value();
    return answer;
}

// _sourceFill(handle, member, first, last): the columns of rows [first, last) (see
// columns_value). Ranges of a member come in rising order.
Napi::Value SourceFill(const Napi::CallbackInfo& info) {
    SourceHandle* handle = nullptr;
    kx_Source* source = source_of(info, &handle);
    if (source == nullptr) return Napi::Value();
    if (info.Length() < 4 || !info[1].IsNumber() || !info[2].IsNumber() || !info[3].IsNumber()) {
        throw_type_error(info.Env(), "Wrong arguments");
        return Napi::Value();
    }
    const double m = info[1].As<Napi::Number>().DoubleValue();
    const double first = info[2].As<Napi::Number>().DoubleValue();
    const double last = info[3].As<Napi::Number>().DoubleValue();
    if (!(m >= 0 && m < static_cast<double>(source->size()) && first >= 0 && last >= first)) {
        Napi::RangeError::New(info.Env(), "member or rows out of range").ThrowAsJavaScriptException();
        return Napi::Value();
    }
    return columns_value(info.Env(), *source, static_cast<size_t>(m), static_cast<uint64_t>(first),
                         static_cast<uint64_t>(last));
}

// _sourceClose(handle): frees the source now rather than when the handle is collected.
Napi::Value SourceClose(const Napi::CallbackInfo& info) {
    if (info.Length() < 1 || !info[0].IsExternal()) {
        throw_type_error(info.Env(), "Wrong arguments");
        return Napi::Value();
    }
    release(info.Env(), info[0].As<Napi::External<SourceHandle>>().Data());
    return info.Env().Undefined();
}

}  // namespace demo
