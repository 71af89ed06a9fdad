// The report page's native step: several recordings decoded and synchronised into typed arrays.
#pragma once

#include <napi.h>

namespace demo {

// _readSynced(paths) -> { status, recordings: [{ streams }] }; see synced_streams.cpp.
Napi::Value ReadSynced(const Napi::CallbackInfo& info);

}  // namespace demo
