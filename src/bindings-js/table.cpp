// The binding's table functions: the CSV table's columns over row ranges of a source (the
// source handle JavaScript holds between calls) and the samples of its streams.
#include <napi.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "../frontend/binreader2.h"
#include "../frontend/table_columns.h"
#include "convert.h"

namespace demo {

namespace {

// The Error of rows or samples a source can no longer read: its file changed since it was opened.
Napi::Value changed(Napi::Env env, kx_Source& source, size_t m, double first) {
    Napi::Error::New(env, source.member(m).path + ": samples from " + std::to_string(static_cast<uint64_t>(first)) +
                              " cannot be read (the recording changed)")
        .ThrowAsJavaScriptException();
    return Napi::Value();
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
    if (!source.fill_columns(m, first, last, values.data(), valid.data(), nulls.data()))
        return changed(env, source, m, static_cast<double>(first));
    for (size_t c = 0; c < columns.size(); ++c) objects[c].Set("nulls", static_cast<double>(nulls[c]));
    return list;
}

// The readData name of the stream behind a column's cells, or null (Time).
Napi::Value stream_name(Napi::Env env, const TableColumn& column) {
    if (column.stream == nullptr) return env.Null();
    for (const DataStreamKind& kind : kDataStreams) {
        if (kind.sensor == column.stream->sensor_id) return Napi::String::New(env, kind.name);
    }
    return env.Null();
}

// The streams of a member: { <stream>: { samples, rate, carried (the table places them on its
// rows), first, last (first and last sample times: a single recording's, or a set member's
// synchronised streams' on the set's time base) } }.
Napi::Object streams_value(Napi::Env env, const kx_SourceMember& member) {
    Napi::Object out = Napi::Object::New(env);
    for (const DataStreamKind& kind : kDataStreams) {
        kx_MemberStream s;
        if (!kx_memberStream(member, kind.sensor, &s)) continue;
        Napi::Object o = Napi::Object::New(env);
        o.Set("samples", static_cast<double>(s.samples));
        o.Set("rate", data_stream_rate(member.config, kind.sensor));
        o.Set("carried", s.carried);
        if (s.spanned) {
            o.Set("first", s.first_s);
            o.Set("last", s.last_s);
        }
        out.Set(kind.name, o);
    }
    return out;
}

// The full-scale readings of a member's inertial sensors: { accel, gyro } (each { range, x: [low
// end, high end], y, z }, when configured), the readings of the converter's end codes.
Napi::Object full_scale_value(Napi::Env env, const kx_Config& config) {
    Napi::Object answer = Napi::Object::New(env);
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

// A source JavaScript holds: freed by _sourceClose or, failing that, by the garbage collector.
struct SourceHandle {
    static constexpr napi_type_tag kTag = {0x6b782d736f757263, 0x65};
    std::unique_ptr<kx_Source> source;
    int64_t external = 0;  // bytes reported to the garbage collector
};

// Tells the garbage collector what the source holds now (nothing once closed).
void account(Napi::Env env, SourceHandle* h) {
    const int64_t bytes = h->source ? static_cast<int64_t>(h->source->bytes()) : 0;
    if (bytes != h->external) Napi::MemoryManagement::AdjustExternalMemory(env, bytes - h->external);
    h->external = bytes;
}

// The open source of a handle call (handle, member, a, b, ...: numbers at 1, at and at + 1),
// with the member and the range checked (a row range [a, b) when `rows`, else a first sample and
// a count); nullptr with an exception pending.
kx_Source* source_call(const Napi::CallbackInfo& info, size_t at, bool rows, size_t* m, double* a, double* b,
                       SourceHandle** handle = nullptr) {
    SourceHandle* h = handle_arg<SourceHandle>(info);
    double n[3];
    if (h == nullptr || !number_arg(info, 1, &n[0]) || !number_arg(info, at, &n[1]) || !number_arg(info, at + 1, &n[2]))
        return nullptr;
    if (!h->source) {
        Napi::Error::New(info.Env(), "the source is closed").ThrowAsJavaScriptException();
        return nullptr;
    }
    if (!(n[0] >= 0 && n[0] < static_cast<double>(h->source->size()) && n[1] >= 0 && n[2] >= (rows ? n[1] : 0))) {
        Napi::RangeError::New(info.Env(), "member or rows out of range").ThrowAsJavaScriptException();
        return nullptr;
    }
    *m = static_cast<size_t>(n[0]);
    *a = n[1];
    *b = n[2];
    if (handle != nullptr) *handle = h;
    return h->source.get();
}

}  // namespace

// _sourceOpen(paths, options, asSet): { handle, seekable, method (a set's), members: [{ file,
// config, summary (JSON texts), frequency, rows, firstTick, shift, rowZeroTime, magnetometer
// ({ rate, samples } or null), columns: [{ name, single, cells, stream (readData's name),
// component }], streams (see streams_value), fullScale (see full_scale_value) }] }, or { code,
// path, status (a set's), rows (a refused table's) } when it cannot be opened. asSet:
// synchronise even one path (refused as readAndSync2 refuses it).
Napi::Value SourceOpen(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    std::vector<std::string> paths;
    if (!path_list(env, info.Length() > 0 ? info[0] : env.Undefined(), &paths)) return Napi::Value();
    auto source = std::make_unique<kx_Source>();
    kx_SourceOptions options;
    if (!source_options(info, 1, &options)) return Napi::Value();
    const bool as_set = info.Length() > 2 && info[2].ToBoolean().Value();
    const kx_SourceError error = as_set ? source->open_set(paths, options) : source->open(paths, options);
    Napi::Object answer = Napi::Object::New(env);
    if (error != kx_SourceError::none) {
        answer.Set("code", kx_sourceErrorCode(error));
        answer.Set("path", text_value(env, source->error_path()));
        if (paths.size() > 1 || as_set) answer.Set("status", _sync_status(error));
        if (error == kx_SourceError::tooManyRows)
            answer.Set("rows", static_cast<double>(source->error_rows()));
        return answer;
    }
    Napi::Array members = Napi::Array::New(env, source->size());
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
        o.Set("rowZeroTime", member.row_zero_s);
        if (member.magnetometer_samples != 0) {
            Napi::Object mag = Napi::Object::New(env);
            mag.Set("rate", data_stream_rate(member.config, KX_MAG));
            mag.Set("samples", static_cast<double>(member.magnetometer_samples));
            o.Set("magnetometer", mag);
        } else {
            o.Set("magnetometer", env.Null());
        }
        const std::vector<TableColumn> columns = table_columns(member.layout);
        Napi::Array list = Napi::Array::New(env, columns.size());
        for (size_t c = 0; c < columns.size(); ++c) {
            Napi::Object col = Napi::Object::New(env);
            col.Set("name", columns[c].name);
            col.Set("single", columns[c].single);
            col.Set("cells", columns[c].cells);
            col.Set("stream", stream_name(env, columns[c]));
            col.Set("component", columns[c].component);
            list.Set(static_cast<uint32_t>(c), col);
        }
        o.Set("columns", list);
        o.Set("streams", streams_value(env, member));
        o.Set("fullScale", full_scale_value(env, member.config));
        members.Set(static_cast<uint32_t>(m), o);
    }
    auto* handle = new SourceHandle{std::move(source)};
    account(env, handle);
    answer.Set("handle", make_handle(env, handle, [](Napi::Env e, SourceHandle* h) {
                   h->source.reset();
                   account(e, h);
                   delete h;
               }));
    answer.Set("members", members);
    answer.Set("seekable", true);  // ranges may go back: members keep checkpoints
    if (handle->source->is_set() && handle->source->size() != 0)
        answer.Set("method", kx_syncMethodName(kx_syncMethod(handle->source->member(0).config)));
    if (env.IsExceptionPending()) return Napi::Value();
    return answer;
}

// _sourceFill(handle, member, first, last): the columns of rows [first, last) (see
// columns_value), in any order.
Napi::Value SourceFill(const Napi::CallbackInfo& info) {
    size_t m = 0;
    double first = 0, last = 0;
    kx_Source* source = source_call(info, 2, true, &m, &first, &last);
    if (source == nullptr) return Napi::Value();
    return columns_value(info.Env(), *source, m, static_cast<uint64_t>(first), static_cast<uint64_t>(last));
}

// _sourceSamples(handle, member, first, last): the samples each stream places on rows [first,
// last), with their times, as readData's streams ({ <stream>: { rate, time, <component>... } });
// a stream without samples there is left out.
Napi::Value SourceSamples(const Napi::CallbackInfo& info) {
    size_t m = 0;
    double first = 0, last = 0;
    kx_Source* source = source_call(info, 2, true, &m, &first, &last);
    kx_SensorMap samples;
    if (source == nullptr) return Napi::Value();
    if (!source->samples(m, static_cast<uint64_t>(first), static_cast<uint64_t>(last), &samples))
        return changed(info.Env(), *source, m, first);
    Napi::Object streams = Napi::Object::New(info.Env());
    if (!put_streams(info.Env(), source->member(m).config, &samples, &streams)) return Napi::Value();
    return streams;
}

// _sourceStream(handle, member, stream, first, count): samples [first, first + count) of a
// stream read beside the table, as { rate, time, <component>... }, or null when it has none
// there: any stream of a single recording ("mag", "events", "radioTime", ...), a set member's
// event channels ("events", "events2") on the set's time base.
Napi::Value SourceStream(const Napi::CallbackInfo& info) {
    SourceHandle* handle = nullptr;
    size_t m = 0;
    double first = 0, count = 0;
    std::string name;
    kx_Source* source = source_call(info, 3, false, &m, &first, &count, &handle);
    if (source == nullptr || info.Length() < 3 || !string_arg(info[2], false, &name)) return Napi::Value();
    const DataStreamKind* kind = nullptr;
    for (const DataStreamKind& k : kDataStreams) {
        if (name == k.name) kind = &k;
    }
    kx_SensorMap samples;
    // Not only a changed file: a set member has no streams beside its table but its events.
    if (kind == nullptr || !source->stream_samples(m, kind->sensor, static_cast<size_t>(first),
                                                   static_cast<size_t>(count), &samples[kind->sensor])) {
        Napi::Error::New(info.Env(), source->member(m).path + ": the " + name + " samples from " +
                                         std::to_string(static_cast<uint64_t>(first)) + " cannot be read")
            .ThrowAsJavaScriptException();
        return Napi::Value();
    }
    account(info.Env(), handle);  // the readers opened for such streams are held until it closes
    Napi::Object streams = Napi::Object::New(info.Env());
    if (!put_streams(info.Env(), source->member(m).config, &samples, &streams)) return Napi::Value();
    return streams.Has(name) ? streams.Get(name) : info.Env().Null();
}

// _sourceClose(handle): frees the source now rather than when the handle is collected.
Napi::Value SourceClose(const Napi::CallbackInfo& info) {
    SourceHandle* handle = handle_arg<SourceHandle>(info);
    if (handle == nullptr) return Napi::Value();
    handle->source.reset();
    account(info.Env(), handle);
    return info.Env().Undefined();
}

}  // namespace demo
