// What the binding's files share: argument checks and the conversion of core answers.
#pragma once

#include <napi.h>

#include <string>
#include <vector>

#include "../pipeline/pipeline.h"

namespace demo {

void throw_type_error(Napi::Env env, const char* message);
// A string argument (a path must hold no NUL), or the module's TypeError and false.
bool string_arg(Napi::Value value, bool is_path, std::string* out);
// Whether there are `n` arguments at least; otherwise the module's TypeError.
bool arg_count(const Napi::CallbackInfo& info, size_t n);
// The number at info[i], or false with the module's TypeError.
bool number_arg(const Napi::CallbackInfo& info, size_t i, double* out);
// A handle JavaScript holds between calls: `data`, tagged with its type's T::kTag, freed by
// `finalize` when collected.
template <typename T, typename Finalizer>
Napi::Value make_handle(Napi::Env env, T* data, Finalizer finalize) {
    Napi::External<T> handle = Napi::External<T>::New(env, data, finalize);
    handle.TypeTag(&T::kTag);
    if (env.IsExceptionPending()) return Napi::Value();
    return handle;
}
// The object behind a handle make_handle made for a T at info[0], or nullptr with the module's
// TypeError: a handle of another kind, or any other value, is refused rather than followed.
template <typename T>
T* handle_arg(const Napi::CallbackInfo& info) {
    if (info.Length() < 1 || !info[0].IsExternal() || !info[0].As<Napi::External<T>>().CheckTypeTag(&T::kTag)) {
        if (!info.Env().IsExceptionPending()) throw_type_error(info.Env(), "Wrong arguments");
        return nullptr;
    }
    return info[0].As<Napi::External<T>>().Data();
}
// Checks the argument count, then that the first `n` arguments are strings, and converts them.
bool string_args(const Napi::CallbackInfo& info, size_t n, const bool* is_path, std::string* out);
// The paths of a JavaScript array of strings; false (with the module's TypeError) otherwise.
bool path_list(Napi::Env env, Napi::Value value, std::vector<std::string>* out);
// { orientation, maxRows } of an optional options object at index `at` into *options; false
// with the module's TypeError when one is malformed.
bool source_options(const Napi::CallbackInfo& info, size_t at, kx_SourceOptions* options);
// A string of the text up to its first NUL; undefined when it cannot be made.
Napi::Value text_value(Napi::Env env, const std::string& text);

// Puts every stream of `sensors` that has samples into `streams` as { rate, time, <component>... },
// copied into buffers JavaScript owns. False with an exception pending on failure.
bool put_streams(Napi::Env env, const kx_Config& config, kx_SensorMap* sensors, Napi::Object* streams);

// The data functions (data.cpp), the table functions (table.cpp) and the output functions
// (outputs.cpp).
Napi::Value SourceOpen(const Napi::CallbackInfo& info);
Napi::Value SourceFill(const Napi::CallbackInfo& info);
Napi::Value SourceClose(const Napi::CallbackInfo& info);
Napi::Value OpenOutputs(const Napi::CallbackInfo& info);
Napi::Value WriteOutput(const Napi::CallbackInfo& info);
Napi::Value CommitOutputs(const Napi::CallbackInfo& info);
Napi::Value CloseOutputs(const Napi::CallbackInfo& info);
Napi::Value StopOutputs(const Napi::CallbackInfo& info);
Napi::Value SourceSamples(const Napi::CallbackInfo& info);
Napi::Value SourceStream(const Napi::CallbackInfo& info);

}  // namespace demo
