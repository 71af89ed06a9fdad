// The binding's table functions: the CSV table's columns over row ranges of a source, whole
// tables for the columnar writer, and the source handle JavaScript holds between calls.
#include <napi.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "../frontend/binreader2.h"
#include "../frontend/table_columns.h"
#include "convert.h"

namespace demo {

namespace {

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
                                  " cannot be read (the recording changed)")
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

// _tableColumns(path): the CSV table of the recording as columns (see table_value), or the
// code of why it could not be opened.
Napi::Value TableColumns(const Napi::CallbackInfo& info) {
    static constexpr bool kPath[] = {true};
    std::string a[1];
    if (!string_args(info, 1, kPath, a)) return Napi::Value();
    kx_Source source;
    kx_SourceOptions options;
    if (!source_options(info, 1, &options)) return Napi::Value();
    const kx_SourceError error = source.open({a[0]}, options);
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
    kx_SourceOptions options;
    if (!source_options(info, 1, &options)) return Napi::Value();
    const kx_SourceError error = source.open_set(paths, options);
    if (error != kx_SourceError::none) return text_value(env, _sync_status(error));
    Napi::Array tables = Napi::Array::New(env, source.size());
    for (size_t i = 0; i < source.size(); ++i) {
        Napi::Value table = table_value(env, source, i);
        if (table.IsEmpty()) return Napi::Value();
        tables.Set(static_cast<uint32_t>(i), table);
    }
    return tables;
}

// _sourceOpen(paths, options): { handle, seekable, members: [{ file, config, summary (JSON texts),
// frequency, rows, firstTick, shift, columns: [{ name, single, cells, stream, component }] }] },
// or { code, path, status (a set's), rows (a refused table's) } when it cannot be opened.
Napi::Value SourceOpen(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    std::vector<std::string> paths;
    if (!path_list(env, info.Length() > 0 ? info[0] : env.Undefined(), &paths)) return Napi::Value();
    auto source = std::make_unique<kx_Source>();
    kx_SourceOptions options;
    if (!source_options(info, 1, &options)) return Napi::Value();
    const kx_SourceError error = source->open(paths, options);
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
    answer.Set("seekable", true);  // ranges may go back: members keep checkpoints
    if (env.IsExceptionPending()) return Napi::Value();
    return answer;
}

// _sourceFill(handle, member, first, last): the columns of rows [first, last) (see
// columns_value), in any order.
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
