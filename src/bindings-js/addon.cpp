// Node.js binding: installs the module's functions, checks their arguments and hands the
// front end's answers back as strings. The only file that includes Node or V8 headers.
#include <node.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "../frontend/binreader2.h"

namespace demo {

using v8::Array;
using v8::Context;
using v8::Exception;
using v8::FunctionCallbackInfo;
using v8::Isolate;
using v8::Local;
using v8::NewStringType;
using v8::Object;
using v8::String;
using v8::Value;

namespace {

void throw_type_error(Isolate* isolate, const char* message) {
    isolate->ThrowException(Exception::TypeError(String::NewFromUtf8(isolate, message).ToLocalChecked()));
}

// UTF-8 text of a string primitive. A path must not hold a NUL character: the file system
// would see only the text before it and act on another file.
bool to_utf8(Isolate* isolate, Local<Value> value, bool is_path, std::string* out) {
    String::Utf8Value text(isolate, value);
    if (*text == nullptr) return false;
    out->assign(*text, static_cast<size_t>(text.length()));
    if (is_path && out->find('\0') != std::string::npos) return false;
    if (!is_path) out->resize(std::strlen(out->c_str()));  // texts end at their first NUL
    return true;
}

// Checks the argument count, then that the first `n` arguments are strings, and converts
// them. Throws the module's TypeError and answers false on a failed check.
bool string_args(const FunctionCallbackInfo<Value>& args, int n, const bool* is_path, std::string* out) {
    Isolate* isolate = args.GetIsolate();
    if (args.Length() < n) {
        throw_type_error(isolate, "Wrong number of arguments");
        return false;
    }
    for (int i = 0; i < n; ++i) {
        if (!args[i]->IsString()) {
            throw_type_error(isolate, "Wrong arguments");
            return false;
        }
    }
    for (int i = 0; i < n; ++i) {
        if (!to_utf8(isolate, args[i], is_path[i], &out[i])) {
            throw_type_error(isolate, "Wrong arguments");
            return false;
        }
    }
    return true;
}

void return_text(const FunctionCallbackInfo<Value>& args, const std::string& text) {
    Local<String> result;
    // The answer ends at its first NUL, as a C string would.
    if (String::NewFromUtf8(args.GetIsolate(), text.c_str(), NewStringType::kNormal).ToLocal(&result)) {
        args.GetReturnValue().Set(result);
    }
}

}  // namespace

void Read(const FunctionCallbackInfo<Value>& args) {
    static constexpr bool kPath[] = {true, true};
    std::string a[2];
    if (!string_args(args, 2, kPath, a)) return;
    BinReader2 reader;
    return_text(args, reader.read(a[0].c_str(), a[1].c_str()));
}

// readAndSync2(paths, outDir): every argument and every element of paths is checked before
// any file is touched.
void ReadAndSync2(const FunctionCallbackInfo<Value>& args) {
    Isolate* isolate = args.GetIsolate();
    if (args.Length() < 2) {
        throw_type_error(isolate, "Wrong number of arguments");
        return;
    }
    if (!args[0]->IsArray() || !args[1]->IsString()) {
        throw_type_error(isolate, "Wrong arguments");
        return;
    }
    Local<Context> context = isolate->GetCurrentContext();
    Local<Array> list = args[0].As<Array>();
    std::vector<std::string> paths;
    // the length is read again each turn: an element getter may change it
    for (uint32_t i = 0; i < list->Length(); ++i) {
        Local<Value> item;
        if (!list->Get(context, i).ToLocal(&item)) return;  // a throwing getter: its exception stands
        std::string path;
        if (!item->IsString() || !to_utf8(isolate, item, true, &path)) {
            throw_type_error(isolate, "Wrong arguments");
            return;
        }
        paths.push_back(std::move(path));
    }
    std::string out_dir;
    if (!to_utf8(isolate, args[1], true, &out_dir)) {
        throw_type_error(isolate, "Wrong arguments");
        return;
    }
    BinReader2 reader;
    return_text(args, reader.readAndSync(paths, out_dir));
}

void ReadConfig(const FunctionCallbackInfo<Value>& args) {
    static constexpr bool kPath[] = {true};
    std::string a[1];
    if (!string_args(args, 1, kPath, a)) return;
    BinReader2 reader;
    return_text(args, reader.readConfig(a[0].c_str()));
}

void ReadConfigDeviceId(const FunctionCallbackInfo<Value>& args) {
    static constexpr bool kPath[] = {true};
    std::string a[1];
    if (!string_args(args, 1, kPath, a)) return;
    BinReader2 reader;
    return_text(args, reader.readConfigDeviceId(a[0].c_str()));
}

void WriteConfig(const FunctionCallbackInfo<Value>& args) {
    static constexpr bool kPath[] = {true, false};
    std::string a[2];
    if (!string_args(args, 2, kPath, a)) return;
    BinReader2 reader;
    return_text(args, reader.writeConfig(a[0].c_str(), a[1].c_str()) ? "OK" : "ERROR");
}

void Init(Local<Object> exports) {
    NODE_SET_METHOD(exports, "read", Read);
    NODE_SET_METHOD(exports, "readAndSync2", ReadAndSync2);
    NODE_SET_METHOD(exports, "readConfig", ReadConfig);
    NODE_SET_METHOD(exports, "writeConfig", WriteConfig);
    NODE_SET_METHOD(exports, "readConfigDeviceId", ReadConfigDeviceId);
}

}  // namespace demo

// Context-aware registration: the module can be loaded in the main thread and in workers.
NODE_MODULE_INIT(/* exports, module, context */) {
    (void)module;
    (void)context;
    demo::Init(exports);
}
