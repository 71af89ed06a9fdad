// The binding's output functions: a set of files written piece by piece through the module's
// one output path (staged, refused over an input, all or nothing).
#include <napi.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "../common/output_file.h"
#include "convert.h"

namespace demo {

namespace {

// The refusal codes of kx_WriteError, as JavaScript reads them.
const char* const kWriteCodes[] = {"OK", "KX_OUTPUT_IS_INPUT", "KX_OPEN_FAILED"};

// An output set written piece by piece from JavaScript. Dropping it uncommitted (closed, or
// collected) removes its staged files.
struct OutputHandle {
    static constexpr napi_type_tag kTag = {0x6b782d6f75747075, 0x7473};
    std::unique_ptr<OutputSet> set = std::make_unique<OutputSet>();
};

OutputSet* output_set(const Napi::CallbackInfo& info) {
    OutputHandle* handle = handle_arg<OutputHandle>(info);
    return handle == nullptr ? nullptr : handle->set.get();
}

}  // namespace

// _openOutputs(paths, inputs): { handle, order } (order: the indices in the order their contents
// must be written, see OutputSet::writing_order), or { code, path } when refused:
// "KX_OUTPUT_IS_INPUT" (path is one of inputs) or "KX_OPEN_FAILED" (it cannot be opened).
Napi::Value OpenOutputs(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    std::vector<std::string> paths, inputs;
    if (!arg_count(info, 2) || !path_list(env, info[0], &paths) || !path_list(env, info[1], &inputs)) return Napi::Value();
    auto handle = std::make_unique<OutputHandle>();
    std::string failed;
    const kx_WriteError e = _open_file_set(paths, inputs, handle->set.get(), &failed);
    Napi::Object answer = Napi::Object::New(env);
    if (e != kx_WriteError::none) {
        answer.Set("code", kWriteCodes[static_cast<int>(e)]);
        answer.Set("path", text_value(env, failed));
        return answer;
    }
    const std::vector<size_t> order = handle->set->writing_order();
    answer.Set("handle", make_handle(env, handle.release(), [](Napi::Env, OutputHandle* h) { delete h; }));
    Napi::Array list = Napi::Array::New(env, order.size());
    for (size_t i = 0; i < order.size(); ++i) list.Set(static_cast<uint32_t>(i), static_cast<double>(order[i]));
    answer.Set("order", list);
    return answer;
}

// _writeOutput(handle, index, bytes): appends a typed array's bytes to member index; false once
// any write of that member failed.
Napi::Value WriteOutput(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    OutputSet* set = output_set(info);
    double index = 0;
    if (set == nullptr || !number_arg(info, 1, &index)) return Napi::Value();
    if (info.Length() < 3 || !info[2].IsTypedArray() || !(index >= 0 && index < static_cast<double>(set->size()))) {
        throw_type_error(env, "Wrong arguments");
        return Napi::Value();
    }
    Napi::TypedArray view = info[2].As<Napi::TypedArray>();
    const uint8_t* bytes = static_cast<const uint8_t*>(view.ArrayBuffer().Data()) + view.ByteOffset();
    return Napi::Boolean::New(env, (*set)[static_cast<size_t>(index)].write(bytes, view.ByteLength()));
}

// _commitOutputs(handle): publishes the set (see OutputSet::commit); true when all went in.
// _closeOutputs(handle): abandons it, leaving every staged target as it was.
Napi::Value CommitOutputs(const Napi::CallbackInfo& info) {
    OutputSet* set = output_set(info);
    if (set == nullptr) return Napi::Value();
    return Napi::Boolean::New(info.Env(), set->commit());
}

Napi::Value CloseOutputs(const Napi::CallbackInfo& info) {
    OutputHandle* handle = handle_arg<OutputHandle>(info);
    if (handle == nullptr) return Napi::Value();
    handle->set = std::make_unique<OutputSet>();
    return info.Env().Undefined();
}

// _stopOutputs(): every conversion of the process fails at its next write (see
// _stop_all_outputs); the command-line tool calls it when a signal ends it.
Napi::Value StopOutputs(const Napi::CallbackInfo& info) {
    _stop_all_outputs();
    return info.Env().Undefined();
}

}  // namespace demo
