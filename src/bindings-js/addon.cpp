// Node.js binding: installs the module's functions, checks their arguments and hands the
// front end's answers back as strings. The only file that includes Node headers.
//
// Written on Node-API (through node-addon-api), whose binary interface is stable: one build
// loads on every Node.js and Electron that offers NAPI_VERSION, in the main thread and in
// workers. C++ exceptions are off (NAPI_DISABLE_CPP_EXCEPTIONS): a failed Node-API call leaves
// a pending JavaScript exception, which every function checks for and returns on.
#include <napi.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "../common/output_file.h"
#include "../frontend/binreader2.h"
#include "../frontend/csv_rows.h"
#include "../frontend/table_columns.h"

namespace demo {

namespace {

void throw_type_error(Napi::Env env, const char* message) {
    Napi::TypeError::New(env, message).ThrowAsJavaScriptException();
}

// UTF-8 text of a string primitive. A path must not hold a NUL character: the file system
// would see only the text before it and act on another file.
bool to_utf8(Napi::Value value, bool is_path, std::string* out) {
    *out = value.As<Napi::String>().Utf8Value();
    if (value.Env().IsExceptionPending()) return false;
    if (is_path && out->find('\0') != std::string::npos) return false;
    if (!is_path) out->resize(std::strlen(out->c_str()));  // texts end at their first NUL
    return true;
}

// Checks the argument count, then that the first `n` arguments are strings, and converts
// them. Throws the module's TypeError and answers false on a failed check.
bool string_args(const Napi::CallbackInfo& info, size_t n, const bool* is_path, std::string* out) {
    Napi::Env env = info.Env();
    if (info.Length() < n) {
        throw_type_error(env, "Wrong number of arguments");
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        if (!info[i].IsString()) {
            throw_type_error(env, "Wrong arguments");
            return false;
        }
    }
    for (size_t i = 0; i < n; ++i) {
        if (!to_utf8(info[i], is_path[i], &out[i])) {
            if (!env.IsExceptionPending()) throw_type_error(env, "Wrong arguments");
            return false;
        }
    }
    return true;
}

// The answer ends at its first NUL, as a C string would. If the string cannot be made, the
// result is undefined and the pending exception (if any) stands.
Napi::Value text_value(Napi::Env env, const std::string& text) {
    Napi::String result = Napi::String::New(env, text.c_str());
    if (env.IsExceptionPending()) return Napi::Value();
    return result;
}

// The orientation filter an options object asks for ({ orientation }); anything but an object
// means the default, as extra arguments always did. False, with a TypeError thrown, for an
// unknown filter name.
bool orientation_option(const Napi::CallbackInfo& info, size_t index, kx_Orientation* mode) {
    *mode = kx_Orientation::specified;
    if (info.Length() <= index || !info[index].IsObject()) return true;
    Napi::Value v = info[index].As<Napi::Object>().Get("orientation");
    if (info.Env().IsExceptionPending()) return false;
    if (v.IsUndefined()) return true;
    const std::string name = v.IsString() ? v.As<Napi::String>().Utf8Value() : std::string();
    if (name == "specified") return true;
    if (name == "bias-corrected") {
        *mode = kx_Orientation::biasCorrected;
        return true;
    }
    throw_type_error(info.Env(), "options.orientation must be 'specified' or 'bias-corrected'");
    return false;
}

}  // namespace

Napi::Value Read(const Napi::CallbackInfo& info) {
    static constexpr bool kPath[] = {true, true};
    std::string a[2];
    if (!string_args(info, 2, kPath, a)) return Napi::Value();
    kx_Orientation mode;
    if (!orientation_option(info, 2, &mode)) return Napi::Value();
    BinReader2 reader;
    return text_value(info.Env(), reader.read(a[0].c_str(), a[1].c_str(), mode));
}

// readAndSync2(paths, outDir, options): every argument and every element of paths is checked before
// any file is touched.
Napi::Value ReadAndSync2(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    if (info.Length() < 2) {
        throw_type_error(env, "Wrong number of arguments");
        return Napi::Value();
    }
    if (!info[0].IsArray() || !info[1].IsString()) {
        throw_type_error(env, "Wrong arguments");
        return Napi::Value();
    }
    Napi::Array list = info[0].As<Napi::Array>();
    std::vector<std::string> paths;
    // the length is read again each turn: an element getter may change it
    for (uint32_t i = 0; i < list.Length(); ++i) {
        Napi::Value item = list.Get(i);
        if (env.IsExceptionPending()) return Napi::Value();  // a throwing getter: its exception stands
        std::string path;
        if (!item.IsString() || !to_utf8(item, true, &path)) {
            if (!env.IsExceptionPending()) throw_type_error(env, "Wrong arguments");
            return Napi::Value();
        }
        paths.push_back(std::move(path));
    }
    std::string out_dir;
    if (!to_utf8(info[1], true, &out_dir)) {
        if (!env.IsExceptionPending()) throw_type_error(env, "Wrong arguments");
        return Napi::Value();
    }
    kx_Orientation mode;
    if (!orientation_option(info, 2, &mode)) return Napi::Value();
    BinReader2 reader;
    return text_value(env, reader.readAndSync(paths, out_dir, mode));
}

Napi::Value ReadConfig(const Napi::CallbackInfo& info) {
    static constexpr bool kPath[] = {true};
    std::string a[1];
    if (!string_args(info, 1, kPath, a)) return Napi::Value();
    BinReader2 reader;
    return text_value(info.Env(), reader.readConfig(a[0].c_str()));
}

Napi::Value ReadConfigDeviceId(const Napi::CallbackInfo& info) {
    static constexpr bool kPath[] = {true};
    std::string a[1];
    if (!string_args(info, 1, kPath, a)) return Napi::Value();
    BinReader2 reader;
    return text_value(info.Env(), reader.readConfigDeviceId(a[0].c_str()));
}

Napi::Value WriteConfig(const Napi::CallbackInfo& info) {
    static constexpr bool kPath[] = {true, false};
    std::string a[2];
    if (!string_args(info, 2, kPath, a)) return Napi::Value();
    BinReader2 reader;
    return text_value(info.Env(), reader.writeConfig(a[0].c_str(), a[1].c_str()) ? "OK" : "ERROR");
}

namespace {

// The code JavaScript turns into an Error for a recording that could not be decoded; an
// unreadable file's own reason (EACCES, EISDIR...) is found there from the file system.
const char* decode_error_code(kx_DecodeError e) {
    switch (e) {
        case kx_DecodeError::missing:
            return "ENOENT";
        case kx_DecodeError::unreadable:
            return "unreadable";
        case kx_DecodeError::notARecording:
            return "KX_NOT_A_RECORDING";
        case kx_DecodeError::truncated:
            return "KX_TRUNCATED";
        case kx_DecodeError::none:
            break;
    }
    return "unreadable";
}

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

}  // namespace

// _readData(path, transferable, options): { config, summary, frequency, streams } with config and
// summary as JSON texts, or the code of why the recording could not be decoded.
Napi::Value ReadData(const Napi::CallbackInfo& info) {
    static constexpr bool kPath[] = {true};
    std::string a[1];
    if (!string_args(info, 1, kPath, a)) return Napi::Value();
    Napi::Env env = info.Env();
    const bool transferable = info.Length() > 1 && info[1].ToBoolean().Value();
    kx_Orientation mode;
    if (!orientation_option(info, 2, &mode)) return Napi::Value();
    kx_Recording recording;
    const kx_DecodeError error = kx_decodeRecording(a[0].c_str(), &recording, mode);
    if (error != kx_DecodeError::none) return text_value(env, decode_error_code(error));

    Napi::Object out = Napi::Object::New(env);
    out.Set("config", text_value(env, _generate_config_JSON(recording.config)));
    out.Set("summary", text_value(env, _generate_read_answer_JSON(&recording.config)));
    out.Set("frequency", Napi::Number::New(env, recording.config.frequency));
    Napi::Object streams = Napi::Object::New(env);
    if (!put_streams(env, recording.config, &recording.sensors, transferable, &streams)) return Napi::Value();
    out.Set("streams", streams);
    if (env.IsExceptionPending()) return Napi::Value();
    return out;
}

namespace {

// The CSV table of one decoded recording as columns: { config, summary, rows, columns: [{ name,
// single, values, valid, nulls }] }, values a Float32Array (single) or Float64Array, valid a
// Uint8Array of validity bits (least significant first).
Napi::Value table_object(Napi::Env env, const kx_Config& config, const kx_SensorMap& sensors) {
    const CsvLayout layout = csv_prepare_layout(config, sensors);
    const std::vector<TableColumn> columns = table_columns(layout);
    const uint64_t rows = layout.rows;
    std::vector<void*> values(columns.size());
    std::vector<uint8_t*> valid(columns.size());
    std::vector<uint64_t> nulls(columns.size());
    std::vector<Napi::Object> objects;
    Napi::Array list = Napi::Array::New(env, columns.size());
    for (size_t c = 0; c < columns.size(); ++c) {
        const size_t width = columns[c].single ? sizeof(float) : sizeof(double);
        Napi::ArrayBuffer data = Napi::ArrayBuffer::New(env, rows * width);
        if (env.IsExceptionPending()) return Napi::Value();
        Napi::Uint8Array bits = Napi::Uint8Array::New(env, (rows + 7) / 8);
        if (env.IsExceptionPending()) return Napi::Value();
        values[c] = data.Data();
        valid[c] = bits.Data();  // zeroed by the allocation
        Napi::Object column = Napi::Object::New(env);
        column.Set("name", Napi::String::New(env, columns[c].name));
        column.Set("single", Napi::Boolean::New(env, columns[c].single));
        if (columns[c].single)
            column.Set("values", Napi::Float32Array::New(env, rows, data, 0));
        else
            column.Set("values", Napi::Float64Array::New(env, rows, data, 0));
        column.Set("valid", bits);
        list.Set(static_cast<uint32_t>(c), column);
        objects.push_back(column);
    }
    if (env.IsExceptionPending()) return Napi::Value();
    CsvCursor cursor;
    table_fill_columns(layout, columns, &cursor, rows, values.data(), valid.data(), nulls.data());
    for (size_t c = 0; c < columns.size(); ++c) objects[c].Set("nulls", Napi::Number::New(env, nulls[c]));

    Napi::Object out = Napi::Object::New(env);
    out.Set("config", text_value(env, _generate_config_JSON(config)));
    out.Set("summary", text_value(env, _generate_read_answer_JSON(&config)));
    out.Set("rows", Napi::Number::New(env, static_cast<double>(rows)));
    out.Set("columns", list);
    if (env.IsExceptionPending()) return Napi::Value();
    return out;
}

// The paths of a JavaScript array of strings; false (with the module's TypeError) otherwise.
bool path_list(Napi::Env env, Napi::Value value, std::vector<std::string>* out) {
    if (!value.IsArray()) {
        throw_type_error(env, "Wrong arguments");
        return false;
    }
    Napi::Array list = value.As<Napi::Array>();
    for (uint32_t i = 0; i < list.Length(); ++i) {
        Napi::Value item = list.Get(i);
        if (env.IsExceptionPending()) return false;
        std::string path;
        if (!item.IsString() || !to_utf8(item, true, &path)) {
            if (!env.IsExceptionPending()) throw_type_error(env, "Wrong arguments");
            return false;
        }
        out->push_back(std::move(path));
    }
    return true;
}

}  // namespace

// _tableColumns(path, options): the CSV table of the recording as columns (see table_object), or the
// code of why it could not be decoded.
Napi::Value TableColumns(const Napi::CallbackInfo& info) {
    static constexpr bool kPath[] = {true};
    std::string a[1];
    if (!string_args(info, 1, kPath, a)) return Napi::Value();
    Napi::Env env = info.Env();
    kx_Orientation mode;
    if (!orientation_option(info, 1, &mode)) return Napi::Value();
    kx_Recording recording;
    const kx_DecodeError error = kx_decodeRecording(a[0].c_str(), &recording, mode);
    if (error != kx_DecodeError::none) return text_value(env, decode_error_code(error));
    return table_object(env, recording.config, recording.sensors);
}

// _syncTables(paths, options): the tables readAndSync2 would write for a synchronised set, one per
// recording in order, or its status text when a stage before writing failed.
Napi::Value SyncTables(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    if (info.Length() < 1) {
        throw_type_error(env, "Wrong number of arguments");
        return Napi::Value();
    }
    std::vector<std::string> paths;
    if (!path_list(env, info[0], &paths)) return Napi::Value();
    kx_Orientation mode;
    if (!orientation_option(info, 1, &mode)) return Napi::Value();
    kx_SyncedSet set;
    const std::string status = kx_syncRecordings(paths, &set, mode);
    if (status != "OK") return text_value(env, status);
    Napi::Array tables = Napi::Array::New(env, set.recordings.size());
    for (size_t i = 0; i < set.recordings.size(); ++i) {
        Napi::Value table = table_object(env, set.recordings[i]->config, *set.synced.maps[i]);
        if (table.IsEmpty()) return Napi::Value();
        tables.Set(static_cast<uint32_t>(i), table);
    }
    return tables;
}

// _readSynced(paths, options): { status } with readAndSync2's status text ("OK", "-10", "-13", "-11"),
// and with "OK" also recordings: one { streams } per path on the common time base (seconds),
// event channels included. The report page draws a set from it.
Napi::Value ReadSynced(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    if (info.Length() < 1) {
        throw_type_error(env, "Wrong number of arguments");
        return Napi::Value();
    }
    std::vector<std::string> paths;
    if (!path_list(env, info[0], &paths)) return Napi::Value();
    kx_Orientation mode;
    if (!orientation_option(info, 1, &mode)) return Napi::Value();
    kx_SyncedSet set;
    std::string status = kx_syncRecordings(paths, &set, mode);
    if (status == "OK" && !_events_on_common_base(&set)) status = "-11";
    Napi::Object answer = Napi::Object::New(env);
    answer.Set("status", text_value(env, status));
    if (status != "OK") return answer;
    Napi::Array recordings = Napi::Array::New(env, paths.size());
    for (size_t i = 0; i < set.recordings.size(); ++i) {
        Napi::Object streams = Napi::Object::New(env);
        if (!put_streams(env, set.recordings[i]->config, set.synced.maps[i], false, &streams))
            return Napi::Value();
        Napi::Object r = Napi::Object::New(env);
        r.Set("streams", streams);
        recordings.Set(static_cast<uint32_t>(i), r);
    }
    answer.Set("recordings", recordings);
    return answer;
}

namespace {

// { range, x: [low end, high end], y, z }: the readings an axis shows at the ends of the 16-bit
// converter (raw -32768 and 32767), computed as every sample is, so a clipped sample equals one.
Napi::Object full_scale_object(Napi::Env env, const kx_Config::InertialConfig& ic) {
    const double offset[3] = {ic.offsetX, ic.offsetY, ic.offsetZ};
    const double gain[3] = {ic.gainX, ic.gainY, ic.gainZ};
    static const char* const kAxes[] = {"x", "y", "z"};
    Napi::Object o = Napi::Object::New(env);
    o.Set("range", Napi::Number::New(env, ic.range));
    for (int k = 0; k < 3; ++k) {
        Napi::Array ends = Napi::Array::New(env, 2);
        ends.Set(0u, Napi::Number::New(env, kx_inertialReading(-32768.0, ic.range, offset[k], gain[k])));
        ends.Set(1u, Napi::Number::New(env, kx_inertialReading(32767.0, ic.range, offset[k], gain[k])));
        o.Set(kAxes[k], ends);
    }
    return o;
}

}  // namespace

// _fullScale(path): { accel, gyro } (each full_scale_object, when configured) from the
// configuration block alone; an empty object when the file is not a recording.
Napi::Value FullScale(const Napi::CallbackInfo& info) {
    static constexpr bool kPath[] = {true};
    std::string a[1];
    if (!string_args(info, 1, kPath, a)) return Napi::Value();
    Napi::Env env = info.Env();
    Napi::Object answer = Napi::Object::New(env);
    kx_Config config;
    if (kx_decodeConfig(a[0].c_str(), &config) != kx_DecodeError::none) return answer;
    if (config.accel.present) answer.Set("accel", full_scale_object(env, config.accel));
    if (config.gyro.present) answer.Set("gyro", full_scale_object(env, config.gyro));
    return answer;
}

// _writeFiles(paths, contents, inputs): writes whole files through the module's one output
// path, as one set: every file is opened, and refused if it must be, before any is written, and
// staged files replace their targets only once all are complete. contents are typed arrays.
// Answers "OK", or why not: "KX_OUTPUT_IS_INPUT <path>" when a path is one of the files inputs
// names (links followed), "KX_OPEN_FAILED <path>" when one cannot be opened for writing,
// "KX_WRITE_FAILED" when the content could not be written in full (staged targets are then as
// they were).
Napi::Value WriteFiles(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    if (info.Length() < 3) {
        throw_type_error(env, "Wrong number of arguments");
        return Napi::Value();
    }
    std::vector<std::string> paths, inputs;
    if (!path_list(env, info[0], &paths) || !path_list(env, info[2], &inputs)) return Napi::Value();
    if (!info[1].IsArray() || info[1].As<Napi::Array>().Length() != paths.size()) {
        throw_type_error(env, "Wrong arguments");
        return Napi::Value();
    }
    Napi::Array contents = info[1].As<Napi::Array>();
    std::vector<Napi::TypedArray> views;
    for (uint32_t i = 0; i < paths.size(); ++i) {
        Napi::Value v = contents.Get(i);
        if (env.IsExceptionPending()) return Napi::Value();
        if (!v.IsTypedArray()) {
            throw_type_error(env, "Wrong arguments");
            return Napi::Value();
        }
        views.push_back(v.As<Napi::TypedArray>());
    }
    for (const std::string& path : paths) {
        if (_output_is_input(path, inputs)) return text_value(env, "KX_OUTPUT_IS_INPUT " + path);
    }
    OutputSet set;
    for (const std::string& path : paths) {
        if (set.open(path) == nullptr) return text_value(env, "KX_OPEN_FAILED " + path);
    }
    for (const size_t i : set.writing_order()) {
        Napi::TypedArray view = views[i];
        const uint8_t* bytes = static_cast<const uint8_t*>(view.ArrayBuffer().Data()) + view.ByteOffset();
        if (!set[i].write(bytes, view.ByteLength())) return text_value(env, "KX_WRITE_FAILED");
    }
    return text_value(env, set.commit() ? "OK" : "KX_WRITE_FAILED");
}

// _stopOutputs(): every conversion of the process fails at its next write (see
// _stop_all_outputs); the command-line tool calls it when a signal ends it.
Napi::Value StopOutputs(const Napi::CallbackInfo& info) {
    _stop_all_outputs();
    return info.Env().Undefined();
}

Napi::Object Init(Napi::Env env, Napi::Object exports) {
    exports.Set("read", Napi::Function::New(env, Read, "read"));
    exports.Set("readAndSync2", Napi::Function::New(env, ReadAndSync2, "readAndSync2"));
    exports.Set("readConfig", Napi::Function::New(env, ReadConfig, "readConfig"));
    exports.Set("writeConfig", Napi::Function::New(env, WriteConfig, "writeConfig"));
    exports.Set("readConfigDeviceId", Napi::Function::New(env, ReadConfigDeviceId, "readConfigDeviceId"));
    // Internal: the JavaScript layer builds readData, writeParquet and their twins on these.
    exports.Set("_readData", Napi::Function::New(env, ReadData, "_readData"));
    exports.Set("_tableColumns", Napi::Function::New(env, TableColumns, "_tableColumns"));
    exports.Set("_syncTables", Napi::Function::New(env, SyncTables, "_syncTables"));
    exports.Set("_writeFiles", Napi::Function::New(env, WriteFiles, "_writeFiles"));
    // Used by the report page (lib/report/); not part of the public API.
    exports.Set("_readSynced", Napi::Function::New(env, ReadSynced, "_readSynced"));
    exports.Set("_fullScale", Napi::Function::New(env, FullScale, "_fullScale"));
    exports.Set("_stopOutputs", Napi::Function::New(env, StopOutputs, "_stopOutputs"));
    return exports;
}

}  // namespace demo

// Node-API modules are context-aware by construction: the module loads in the main thread
// and in workers alike. The registration macro wants an unqualified name.
namespace {
Napi::Object RegisterAddon(Napi::Env env, Napi::Object exports) {
    return demo::Init(env, exports);
}
}  // namespace

NODE_API_MODULE(addon, RegisterAddon)
