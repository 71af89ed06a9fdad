// Node.js binding: installs the module's functions, checks their arguments, calls the core's
// doors (the front end's operations, the pipeline's sources) and turns their answers into
// JavaScript values. The only file that includes Node headers.
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

#include "../frontend/binreader2.h"
#include "convert.h"

namespace demo {

void throw_type_error(Napi::Env env, const char* message) {
    Napi::TypeError::New(env, message).ThrowAsJavaScriptException();
}

namespace {

// UTF-8 text of a string primitive. A path must not hold a NUL character: the file system
// would see only the text before it and act on another file.
bool to_utf8(Napi::Value value, bool is_path, std::string* out) {
    *out = value.As<Napi::String>().Utf8Value();
    if (value.Env().IsExceptionPending()) return false;
    if (is_path && out->find('\0') != std::string::npos) return false;
    if (!is_path) out->resize(std::strlen(out->c_str()));  // texts end at their first NUL
    return true;
}

}  // namespace

// A string argument (is_path: see to_utf8), or the module's TypeError and false.
bool string_arg(Napi::Value value, bool is_path, std::string* out) {
    if (value.IsString() && to_utf8(value, is_path, out)) return true;
    if (!value.Env().IsExceptionPending()) throw_type_error(value.Env(), "Wrong arguments");
    return false;
}

bool arg_count(const Napi::CallbackInfo& info, size_t n) {
    if (info.Length() >= n) return true;
    throw_type_error(info.Env(), "Wrong number of arguments");
    return false;
}

bool number_arg(const Napi::CallbackInfo& info, size_t i, double* out) {
    if (info.Length() <= i || !info[i].IsNumber()) {
        throw_type_error(info.Env(), "Wrong arguments");
        return false;
    }
    *out = info[i].As<Napi::Number>().DoubleValue();
    return true;
}

// Checks the argument count, then that the first `n` arguments are strings, and converts them.
bool string_args(const Napi::CallbackInfo& info, size_t n, const bool* is_path, std::string* out) {
    if (!arg_count(info, n)) return false;
    for (size_t i = 0; i < n; ++i) {
        if (!info[i].IsString()) {
            throw_type_error(info.Env(), "Wrong arguments");
            return false;
        }
    }
    for (size_t i = 0; i < n; ++i) {
        if (!string_arg(info[i], is_path[i], &out[i])) return false;
    }
    return true;
}

// The paths of a JavaScript array of strings; false (with the module's TypeError) otherwise.
// The length is read again each turn: an element getter may change it.
bool path_list(Napi::Env env, Napi::Value value, std::vector<std::string>* out) {
    if (!value.IsArray()) {
        throw_type_error(env, "Wrong arguments");
        return false;
    }
    Napi::Array list = value.As<Napi::Array>();
    for (uint32_t i = 0; i < list.Length(); ++i) {
        Napi::Value item = list.Get(i);
        if (env.IsExceptionPending()) return false;  // a throwing getter: its exception stands
        out->emplace_back();
        if (!string_arg(item, true, &out->back())) return false;
    }
    return true;
}

bool source_options(const Napi::CallbackInfo& info, size_t at, kx_SourceOptions* options) {
    if (info.Length() <= at || !info[at].IsObject()) return true;
    Napi::Object given = info[at].As<Napi::Object>();
    Napi::Value max_rows = given.Get("maxRows");
    Napi::Value orientation = given.Get("orientation");
    if (info.Env().IsExceptionPending()) return false;
    if (!max_rows.IsUndefined()) {
        const double v = max_rows.IsNumber() ? max_rows.As<Napi::Number>().DoubleValue() : 0;
        if (!(v >= 1 && v <= 9007199254740991.0 && v == static_cast<double>(static_cast<uint64_t>(v)))) {
            throw_type_error(info.Env(), "options.maxRows: expected a positive integer");
            return false;
        }
        options->max_rows = static_cast<uint64_t>(v);
    }
    if (orientation.IsUndefined()) return true;
    const std::string name = orientation.IsString() ? orientation.As<Napi::String>().Utf8Value() : std::string();
    if (name == "specified" || name == "bias-corrected") {
        options->orientation = name == "specified" ? kx_Orientation::specified : kx_Orientation::biasCorrected;
        return true;
    }
    throw_type_error(info.Env(), "options.orientation must be 'specified' or 'bias-corrected'");
    return false;
}

// The answer ends at its first NUL, as a C string would. If the string cannot be made, the
// result is undefined and the pending exception (if any) stands.
Napi::Value text_value(Napi::Env env, const std::string& text) {
    Napi::String result = Napi::String::New(env, text.c_str());
    if (env.IsExceptionPending()) return Napi::Value();
    return result;
}

Napi::Value Read(const Napi::CallbackInfo& info) {
    static constexpr bool kPath[] = {true, true};
    std::string a[2];
    if (!string_args(info, 2, kPath, a)) return Napi::Value();
    kx_SourceOptions options;
    if (!source_options(info, 2, &options)) return Napi::Value();
    return text_value(info.Env(), BinReader2().read(a[0].c_str(), a[1].c_str(), options));
}

// readAndSync2(paths, outDir): every argument and every element of paths is checked before
// any file is touched.
Napi::Value ReadAndSync2(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    if (!arg_count(info, 2)) return Napi::Value();
    if (!info[0].IsArray() || !info[1].IsString()) {
        throw_type_error(env, "Wrong arguments");
        return Napi::Value();
    }
    std::vector<std::string> paths;
    std::string out_dir;
    kx_SourceOptions options;
    if (!path_list(env, info[0], &paths) || !string_arg(info[1], true, &out_dir) || !source_options(info, 2, &options))
        return Napi::Value();
    return text_value(env, BinReader2().readAndSync(paths, out_dir, options));
}

Napi::Value ReadConfig(const Napi::CallbackInfo& info) {
    static constexpr bool kPath[] = {true};
    std::string a[1];
    if (!string_args(info, 1, kPath, a)) return Napi::Value();
    return text_value(info.Env(), BinReader2().readConfig(a[0].c_str()));
}

Napi::Value ReadConfigDeviceId(const Napi::CallbackInfo& info) {
    static constexpr bool kPath[] = {true};
    std::string a[1];
    if (!string_args(info, 1, kPath, a)) return Napi::Value();
    return text_value(info.Env(), BinReader2().readConfigDeviceId(a[0].c_str()));
}

Napi::Value WriteConfig(const Napi::CallbackInfo& info) {
    static constexpr bool kPath[] = {true, false};
    std::string a[2];
    if (!string_args(info, 2, kPath, a)) return Napi::Value();
    return text_value(info.Env(), BinReader2().writeConfig(a[0].c_str(), a[1].c_str()) ? "OK" : "ERROR");
}

Napi::Object Init(Napi::Env env, Napi::Object exports) {
    const std::pair<const char*, Napi::Value (*)(const Napi::CallbackInfo&)> functions[] = {
        {"read", Read},
        {"readAndSync2", ReadAndSync2},
        {"readConfig", ReadConfig},
        {"writeConfig", WriteConfig},
        {"readConfigDeviceId", ReadConfigDeviceId},
        // Internal: the JavaScript layer builds readData, writeParquet, the report and the
        // row-range source on these.
        {"_sourceOpen", SourceOpen},
        {"_sourceFill", SourceFill},
        {"_sourceClose", SourceClose},
        {"_sourceSamples", SourceSamples},
        {"_sourceStream", SourceStream},
        {"_openOutputs", OpenOutputs},
        {"_writeOutput", WriteOutput},
        {"_commitOutputs", CommitOutputs},
        {"_closeOutputs", CloseOutputs},
        {"_stopOutputs", StopOutputs},
    };
    for (const auto& f : functions) exports.Set(f.first, Napi::Function::New(env, f.second, f.first));
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
