// The report page's native steps: several recordings decoded and synchronised into typed
// arrays, and the readings at the inertial sensors' full scale.
#pragma once

#include <napi.h>

namespace demo {

// _readSynced(paths) -> { status, recordings: [{ streams }] }; see synced_streams.cpp.
Napi::Value ReadSynced(const Napi::CallbackInfo& info);

// _fullScale(path) -> { accel, gyro }: the readings at each axis's full scale.
Napi::Value FullScale(const Napi::CallbackInfo& info);

}  // namespace demo
