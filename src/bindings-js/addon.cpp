// Node.js binding: installs the module's functions, checks their arguments and hands the
// front end's answers back as strings. The only file that includes Node headers.
//
// Written on Node-API (through node-addon-api), whose binary interface is stable: one build
// loads on every Node.js and Electron that offers NAPI_VERSION, in the main thread and in
// workers. C++ exceptions are off (NAPI_DISABLE_CPP_EXCEPTIONS): a failed Node-API call leaves
// a pending JavaScript exception, which every function checks for and returns on.
#include <napi.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "../frontend/binreader2.h"
#include "synced_streams.h"

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

}  // namespace

Napi::Value Read(const Napi::CallbackInfo& info) {
    static constexpr bool kPath[] = {true, true};
    std::string a[2];
    if (!string_args(info, 2, kPath, a)) return Napi::Value();
    BinReader2 reader;
    return text_value(info.Env(), reader.read(a[0].c_str(), a[1].c_str()));
}

// readAndSync2(paths, outDir): every argument and every element of paths is checked before
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
    BinReader2 reader;
    return text_value(env, reader.readAndSync(paths, out_dir));
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

Napi::Object Init(Napi::Env env, Napi::Object exports) {
    exports.Set("read", Napi::Function::New(env, Read, "read"));
    exports.Set("readAndSync2", Napi::Function::New(env, ReadAndSync2, "readAndSync2"));
    exports.Set("readConfig", Napi::Function::New(env, ReadConfig, "readConfig"));
    exports.Set("writeConfig", Napi::Function::New(env, WriteConfig, "writeConfig"));
    exports.Set("readConfigDeviceId", Napi::Function::New(env, ReadConfigDeviceId, "readConfigDeviceId"));
    // Used by the report page (lib/report.js); not part of the public API.
    exports.Set("_readSynced", Napi::Function::New(env, ReadSynced, "_readSynced"));
    exports.Set("_fullScale", Napi::Function::New(env, FullScale, "_fullScale"));
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
