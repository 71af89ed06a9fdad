// Node.js binding: checks arguments, calls the core's doors (the front end's operations, the
// pipeline's sources, the output sets) and turns their answers into JavaScript values and errors.
// The only file that includes Node headers.
//
// Written on Node-API (through node-addon-api), whose binary interface is stable: one build loads
// on every Node.js and Electron that offers NAPI_VERSION, in the main thread and in workers. C++
// exceptions are off (NAPI_DISABLE_CPP_EXCEPTIONS): a failed Node-API call leaves a pending
// JavaScript exception, which every function checks for and returns on.
#include <napi.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "../common/output_file.h"
#include "../frontend/binreader2.h"
#include "../frontend/table_columns.h"

namespace {

using Info = Napi::CallbackInfo;

Napi::Value throw_error(Napi::Error error) {
    if (!error.Env().IsExceptionPending()) error.ThrowAsJavaScriptException();
    return Napi::Value();
}
Napi::Value type_error(Napi::Env env, const char* message = "Wrong arguments") {
    return env.IsExceptionPending() ? Napi::Value() : throw_error(Napi::TypeError::New(env, message));
}

// A string argument as UTF-8. A path must hold no NUL: the file system would act on the text
// before it, another file. Other texts end at their first NUL.
bool string_arg(Napi::Value value, bool is_path, std::string* out) {
    if (!value.IsString()) return false;
    *out = value.As<Napi::String>().Utf8Value();
    if (value.Env().IsExceptionPending() || (is_path && out->find('\0') != std::string::npos)) return false;
    if (!is_path) out->resize(std::strlen(out->c_str()));
    return true;
}

// The first strlen(kinds) arguments as strings (kinds[i]: 'p' a path, 't' a text), or false with
// the module's TypeError.
bool string_args(const Info& info, const char* kinds, std::string* out) {
    if (info.Length() < std::strlen(kinds)) return type_error(info.Env(), "Wrong number of arguments"), false;
    for (size_t i = 0; kinds[i] != '\0'; ++i) {
        if (!string_arg(info[i], kinds[i] == 'p', &out[i])) return type_error(info.Env()), false;
    }
    return true;
}

// The paths of a JavaScript array of strings. The length is read again each turn: an element
// getter may change it, and a getter that throws leaves its exception standing.
bool path_list(Napi::Env env, Napi::Value value, std::vector<std::string>* out) {
    if (!value.IsArray()) return type_error(env), false;
    Napi::Array list = value.As<Napi::Array>();
    for (uint32_t i = 0; i < list.Length(); ++i) {
        Napi::Value item = list.Get(i);
        out->emplace_back();
        if (env.IsExceptionPending() || !string_arg(item, true, &out->back())) return type_error(env), false;
    }
    return true;
}

// { orientation, maxRows } of an optional options object at index `at`.
bool source_options(const Info& info, size_t at, kx_SourceOptions* options) {
    if (info.Length() <= at || !info[at].IsObject()) return true;
    Napi::Value max_rows = info[at].As<Napi::Object>().Get("maxRows");
    Napi::Value orientation = info[at].As<Napi::Object>().Get("orientation");
    if (info.Env().IsExceptionPending()) return false;
    if (!max_rows.IsUndefined()) {
        const double v = max_rows.IsNumber() ? max_rows.As<Napi::Number>().DoubleValue() : 0;
        if (!(v >= 1 && v <= 9007199254740991.0 && v == static_cast<double>(static_cast<uint64_t>(v))))
            return type_error(info.Env(), "options.maxRows: expected a positive integer"), false;
        options->max_rows = static_cast<uint64_t>(v);
    }
    const std::string name = orientation.IsString() ? orientation.As<Napi::String>().Utf8Value() : "";
    if (orientation.IsUndefined() || name == "specified") return true;
    if (name == "bias-corrected") return options->orientation = kx_Orientation::biasCorrected, true;
    return type_error(info.Env(), "options.orientation must be 'specified' or 'bias-corrected'"), false;
}

// The answer ends at its first NUL, as a C string would.
Napi::Value text(Napi::Env env, const std::string& answer) {
    return Napi::String::New(env, answer.c_str());
}

Napi::Value Read(const Info& info) {
    std::string a[2];
    kx_SourceOptions options;
    if (!string_args(info, "pp", a) || !source_options(info, 2, &options)) return Napi::Value();
    return text(info.Env(), BinReader2().read(a[0].c_str(), a[1].c_str(), options));
}

// readAndSync2(paths, outDir): every argument and every path is checked before any file is touched.
Napi::Value ReadAndSync2(const Info& info) {
    std::vector<std::string> paths;
    std::string out_dir;
    kx_SourceOptions options;
    if (info.Length() < 2) return type_error(info.Env(), "Wrong number of arguments");
    if (!info[0].IsArray() || !string_arg(info[1], true, &out_dir)) return type_error(info.Env());
    if (!path_list(info.Env(), info[0], &paths) || !source_options(info, 2, &options)) return Napi::Value();
    return text(info.Env(), BinReader2().readAndSync(paths, out_dir, options));
}

// readConfig(path), readConfigDeviceId(path).
template <std::string (BinReader2::*answer)(const char*)>
Napi::Value ConfigAnswer(const Info& info) {
    std::string a[1];
    return string_args(info, "p", a) ? text(info.Env(), (BinReader2().*answer)(a[0].c_str())) : Napi::Value();
}

Napi::Value WriteConfig(const Info& info) {
    std::string a[2];
    if (!string_args(info, "pt", a)) return Napi::Value();
    return text(info.Env(), BinReader2().writeConfig(a[0].c_str(), a[1].c_str()) ? "OK" : "ERROR");
}

// A handle JavaScript holds between calls, tagged with its type's kTag and finalized when collected.
template <typename T>
Napi::Value make_handle(Napi::Env env, T* data) {
    Napi::External<T> handle = Napi::External<T>::New(env, data, [](Napi::Env e, T* h) { T::finalize(e, h); });
    return env.IsExceptionPending() ? Napi::Value() : (handle.TypeTag(&T::kTag), handle);
}
// The object behind a handle of type T at info[0], or nullptr with the module's TypeError: a handle
// of another kind, or any other value, is refused rather than followed.
template <typename T>
T* handle_arg(const Info& info) {
    if (info.Length() >= 1 && info[0].IsExternal() && info[0].As<Napi::External<T>>().CheckTypeTag(&T::kTag))
        return info[0].As<Napi::External<T>>().Data();
    type_error(info.Env());
    return nullptr;
}

// A source JavaScript holds, freed by _sourceClose or by the collector, which is told the bytes its
// readers hold outside JavaScript's heap.
struct SourceHandle {
    static constexpr napi_type_tag kTag = {0x6b782d736f757263, 0x65};
    std::unique_ptr<kx_Source> source;
    int64_t external = 0;  // bytes reported to the collector
    void account(Napi::Env env) {
        const int64_t bytes = source ? static_cast<int64_t>(source->bytes()) : 0;
        if (bytes != external) Napi::MemoryManagement::AdjustExternalMemory(env, bytes - external);
        external = bytes;
    }
    static void finalize(Napi::Env env, SourceHandle* h) {
        h->source.reset();
        h->account(env);
        delete h;
    }
};

// _sourceOpen(paths, options, asSet): { handle, description } or, when it cannot be opened,
// { description } (see kx_describeSource). asSet: synchronise even one path.
Napi::Value SourceOpen(const Info& info) {
    Napi::Env env = info.Env();
    std::vector<std::string> paths;
    kx_SourceOptions options;
    if (!path_list(env, info.Length() > 0 ? info[0] : env.Undefined(), &paths) || !source_options(info, 1, &options))
        return Napi::Value();
    auto source = std::make_unique<kx_Source>();
    const bool as_set = info.Length() > 2 && info[2].ToBoolean().Value();
    const kx_SourceError error = as_set ? source->open_set(paths, options) : source->open(paths, options);
    Napi::Object answer = Napi::Object::New(env);
    answer.Set("description", text(env, kx_describeSource(*source, error, as_set, paths.size())));
    if (error == kx_SourceError::none) {
        auto* handle = new SourceHandle{std::move(source)};
        handle->account(env);
        answer.Set("handle", make_handle(env, handle));
    }
    return env.IsExceptionPending() ? Napi::Value() : answer;
}

// A call on a source: (handle, member, a, b), or (handle, member, stream, a, b) on a stream.
struct SourceCall {
    SourceHandle* handle = nullptr;
    size_t m = 0;
    double a = 0, b = 0;  // rows [a, b), or a stream's first sample and count
    std::string stream;
};

// The open source of a call, the member and the range checked; nullptr with an exception pending.
kx_Source* source_call(const Info& info, bool on_stream, SourceCall* call) {
    if ((call->handle = handle_arg<SourceHandle>(info)) == nullptr) return nullptr;
    double n[3];
    const size_t at[3] = {1, on_stream ? 3u : 2u, on_stream ? 4u : 3u};
    for (int i = 0; i < 3; ++i) {
        if (info.Length() <= at[i] || !info[at[i]].IsNumber()) return type_error(info.Env()), nullptr;
        n[i] = info[at[i]].As<Napi::Number>().DoubleValue();
    }
    if (on_stream && !string_arg(info[2], false, &call->stream)) return type_error(info.Env()), nullptr;
    kx_Source* source = call->handle->source.get();
    if (source == nullptr) return throw_error(Napi::Error::New(info.Env(), "the source is closed")), nullptr;
    if (!(n[0] >= 0 && n[0] < static_cast<double>(source->size()) && n[1] >= 0 && n[2] >= (on_stream ? 0 : n[1])))
        return throw_error(Napi::RangeError::New(info.Env(), "member or rows out of range")), nullptr;
    call->m = static_cast<size_t>(n[0]);
    call->a = n[1];
    call->b = n[2];
    return source;
}

// The Error of samples a source cannot read: the file changed since it was opened, or a set
// member has no such stream beside its table.
Napi::Value cannot_read(Napi::Env env, kx_Source& source, const SourceCall& call) {
    const std::string what = call.stream.empty() ? "" : "the " + call.stream + " ";
    return throw_error(Napi::Error::New(env, source.member(call.m).path + ": " + what + "samples from " +
                                                 std::to_string(static_cast<uint64_t>(call.a)) + " cannot be read" +
                                                 (what.empty() ? " (the recording changed)" : "")));
}

// _sourceFill(handle, member, first, last): the columns of rows [first, last) in table order, in
// any order of ranges: [{ values (Float32Array for single columns, else Float64Array), valid
// (validity bits, least significant first), nulls }].
Napi::Value SourceFill(const Info& info) {
    Napi::Env env = info.Env();
    SourceCall call;
    kx_Source* source = source_call(info, false, &call);
    if (source == nullptr) return Napi::Value();
    const std::vector<TableColumn> columns = table_columns(source->member(call.m).layout);
    const uint64_t first = static_cast<uint64_t>(call.a);
    const uint64_t last = std::min(static_cast<uint64_t>(call.b), source->member(call.m).layout.rows);
    const uint64_t rows = last > first ? last - first : 0;
    std::vector<void*> values(columns.size());
    std::vector<uint8_t*> valid(columns.size());
    std::vector<uint64_t> nulls(columns.size());
    Napi::Array list = Napi::Array::New(env, columns.size());
    for (size_t c = 0; c < columns.size(); ++c) {
        Napi::ArrayBuffer data = Napi::ArrayBuffer::New(env, rows * (columns[c].single ? 4 : 8));
        if (env.IsExceptionPending()) return Napi::Value();
        Napi::Uint8Array bits = Napi::Uint8Array::New(env, (rows + 7) / 8);
        if (env.IsExceptionPending()) return Napi::Value();
        values[c] = data.Data();
        valid[c] = bits.Data();  // zeroed
        Napi::Object column = Napi::Object::New(env);
        column.Set("values", columns[c].single ? Napi::Value(Napi::Float32Array::New(env, rows, data, 0))
                                               : Napi::Value(Napi::Float64Array::New(env, rows, data, 0)));
        column.Set("valid", bits);
        list.Set(static_cast<uint32_t>(c), column);
    }
    if (env.IsExceptionPending()) return Napi::Value();
    if (!source->fill_columns(call.m, first, last, values.data(), valid.data(), nulls.data()))
        return cannot_read(env, *source, call);
    for (size_t c = 0; c < columns.size(); ++c) list.Get(c).As<Napi::Object>().Set("nulls", static_cast<double>(nulls[c]));
    return list;
}

// A copy of `values` in JavaScript's own memory; the vector is freed at once, so that only one
// stream is ever held twice. The collector knows such a buffer's size and frees it as it collects,
// even inside a loop of synchronous calls, and postMessage can move it to another thread.
Napi::Value float64_copy(Napi::Env env, std::vector<double>* values) {
    Napi::Float64Array array = Napi::Float64Array::New(env, values->size());
    if (env.IsExceptionPending()) return Napi::Value();
    if (!values->empty()) std::memcpy(array.Data(), values->data(), values->size() * sizeof(double));
    std::vector<double>().swap(*values);
    return array;
}

// _sourceSamples(handle, member, first, last): the samples each stream places on rows [first,
// last), with their times, as { <stream>: { rate, time, data } }, data holding the components one
// after the other (see data_streams); a stream without samples there is left out.
// _sourceStream(handle, member, stream, first, count): samples [first, first + count) of a stream
// read beside the table (see kx_Source::stream_samples) as { rate, time, data }, or null when it
// has none there.
template <bool kStream>
Napi::Value SourceSamples(const Info& info) {
    Napi::Env env = info.Env();
    SourceCall call;
    kx_Source* source = source_call(info, kStream, &call);
    if (source == nullptr) return Napi::Value();
    const DataStreamKind* kind = data_stream_kind(call.stream);
    kx_SensorMap samples;
    if (kStream ? kind == nullptr || !source->stream_samples(call.m, kind->sensor, static_cast<size_t>(call.a),
                                                             static_cast<size_t>(call.b), &samples[kind->sensor])
                : !source->samples(call.m, static_cast<uint64_t>(call.a), static_cast<uint64_t>(call.b), &samples))
        return cannot_read(env, *source, call);
    if (kStream) call.handle->account(env);  // readers opened beside the table are held until it closes
    Napi::Object out = Napi::Object::New(env);
    Napi::Value found = env.Null();
    for (const DataStreamView& view : data_streams(source->member(call.m).config, &samples)) {
        Napi::Value time = float64_copy(env, view.time);
        Napi::Value data = time.IsEmpty() ? Napi::Value() : float64_copy(env, view.data);
        if (data.IsEmpty()) return throw_error(Napi::Error::New(env, "no memory for the arrays"));
        Napi::Object stream = Napi::Object::New(env);
        stream.Set("rate", view.rate);
        stream.Set("time", time);
        stream.Set("data", data);
        out.Set(view.kind->name, stream);
        found = stream;
    }
    if (env.IsExceptionPending()) return Napi::Value();
    return kStream ? found : out;
}

// _sourceClose(handle): frees the source now rather than when the handle is collected.
Napi::Value SourceClose(const Info& info) {
    SourceHandle* handle = handle_arg<SourceHandle>(info);
    if (handle == nullptr) return Napi::Value();
    handle->source.reset();
    handle->account(info.Env());
    return info.Env().Undefined();
}

// An output set written piece by piece from JavaScript; dropped uncommitted (closed or collected),
// it removes its staged files.
struct OutputHandle {
    static constexpr napi_type_tag kTag = {0x6b782d6f75747075, 0x7473};
    std::unique_ptr<OutputSet> set = std::make_unique<OutputSet>();
    static void finalize(Napi::Env, OutputHandle* h) { delete h; }
};

// _openOutputs(paths, inputs): { handle, order } (the indices in the order their contents must be
// written, see OutputSet::writing_order), or { code, path } when refused: "KX_OUTPUT_IS_INPUT"
// (path is one of inputs) or "KX_OPEN_FAILED" (it cannot be opened).
Napi::Value OpenOutputs(const Info& info) {
    Napi::Env env = info.Env();
    std::vector<std::string> paths, inputs;
    if (info.Length() < 2) return type_error(env, "Wrong number of arguments");
    if (!path_list(env, info[0], &paths) || !path_list(env, info[1], &inputs)) return Napi::Value();
    auto handle = std::make_unique<OutputHandle>();
    std::string failed;
    const kx_WriteError e = _open_file_set(paths, inputs, handle->set.get(), &failed);
    Napi::Object answer = Napi::Object::New(env);
    if (e != kx_WriteError::none) {
        answer.Set("code", e == kx_WriteError::outputIsInput ? "KX_OUTPUT_IS_INPUT" : "KX_OPEN_FAILED");
        answer.Set("path", text(env, failed));
        return answer;
    }
    const std::vector<size_t> order = handle->set->writing_order();
    Napi::Array list = Napi::Array::New(env, order.size());
    for (size_t i = 0; i < order.size(); ++i) list.Set(static_cast<uint32_t>(i), static_cast<double>(order[i]));
    answer.Set("order", list);
    answer.Set("handle", make_handle(env, handle.release()));
    return answer;
}

// _writeOutput(handle, index, bytes): appends a typed array's bytes to member index; false once
// any write of that member failed.
Napi::Value WriteOutput(const Info& info) {
    OutputHandle* handle = handle_arg<OutputHandle>(info);
    if (handle == nullptr) return Napi::Value();
    const double index = info.Length() > 1 && info[1].IsNumber() ? info[1].As<Napi::Number>().DoubleValue() : -1;
    if (info.Length() < 3 || !info[2].IsTypedArray() || !(index >= 0 && index < static_cast<double>(handle->set->size())))
        return type_error(info.Env());
    Napi::TypedArray view = info[2].As<Napi::TypedArray>();
    const uint8_t* bytes = static_cast<const uint8_t*>(view.ArrayBuffer().Data()) + view.ByteOffset();
    return Napi::Boolean::New(info.Env(), (*handle->set)[static_cast<size_t>(index)].write(bytes, view.ByteLength()));
}

// _commitOutputs(handle): publishes the set (see OutputSet::commit); true when all went in.
Napi::Value CommitOutputs(const Info& info) {
    OutputHandle* handle = handle_arg<OutputHandle>(info);
    return handle == nullptr ? Napi::Value() : Napi::Boolean::New(info.Env(), handle->set->commit());
}

// _closeOutputs(handle): abandons the set, leaving every staged target as it was.
Napi::Value CloseOutputs(const Info& info) {
    OutputHandle* handle = handle_arg<OutputHandle>(info);
    if (handle == nullptr) return Napi::Value();
    handle->set = std::make_unique<OutputSet>();
    return info.Env().Undefined();
}

// _stopOutputs(): every conversion of the process fails at its next write (see _stop_all_outputs);
// the command-line tool calls it when a signal ends it.
Napi::Value StopOutputs(const Info& info) {
    _stop_all_outputs();
    return info.Env().Undefined();
}

// Node-API modules are context-aware by construction: the module loads in the main thread and in
// workers alike. Names beginning with "_" are lib/'s: readData, writeParquet, the report and the
// row-range source are built on them.
Napi::Object Init(Napi::Env env, Napi::Object exports) {
    const std::pair<const char*, Napi::Value (*)(const Info&)> functions[] = {
        {"read", Read}, {"readAndSync2", ReadAndSync2}, {"readConfig", ConfigAnswer<&BinReader2::readConfig>}, {"writeConfig", WriteConfig},
        {"readConfigDeviceId", ConfigAnswer<&BinReader2::readConfigDeviceId>}, {"_sourceOpen", SourceOpen}, {"_sourceFill", SourceFill},
        {"_sourceClose", SourceClose}, {"_sourceSamples", SourceSamples<false>}, {"_sourceStream", SourceSamples<true>},
        {"_openOutputs", OpenOutputs}, {"_writeOutput", WriteOutput}, {"_commitOutputs", CommitOutputs},
        {"_closeOutputs", CloseOutputs}, {"_stopOutputs", StopOutputs},
    };
    for (const auto& f : functions) exports.Set(f.first, Napi::Function::New(env, f.second, f.first));
    return exports;
}

}  // namespace

NODE_API_MODULE(addon, Init)
