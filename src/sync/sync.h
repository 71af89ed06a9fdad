// Multi-recording synchronisation: puts the streams of recordings made together onto one
// time base and cuts them to one common window, in new maps.
#pragma once

#include <vector>

#include "../recording/types.h"

// Builds one synchronised map per recording from copies of the stream kinds every recording
// holds (accelerometer, gyroscope, barometer, quaternion) plus the event channel cut to the
// common window. The method (time marks, radio channel sensor, basic radio frame) is chosen
// by the first configuration. Inputs are never modified.
//
// On success, and on a refusal once the maps exist (radio master or channel check, missing
// radio data), `synced` is resized to the number of recordings and holds newly allocated maps
// that the caller owns and must delete. Earlier refusals leave `synced` untouched. Refusals
// write one line to standard error, except when no kind is common or a stream's vectors do
// not match its dimension and length (false without a message). Times in seconds.
bool kx_sync(std::vector<kx_SensorMap*>& synced, const std::vector<kx_Config*>& configs,
             const std::vector<kx_SensorMap*>& sources);

// The method kx_sync uses for a set whose first recording has this configuration:
// "time-marks", "radio-channel-sensor" or "basic-radio-frame".
const char* kx_sync_method(const kx_Config& first);

// Owner of the maps kx_sync hands over through raw pointers: pass `maps` to kx_sync, and
// whatever it holds is deleted with this object, on every path.
struct kx_SyncedMaps {
    std::vector<kx_SensorMap*> maps;

    kx_SyncedMaps() = default;
    kx_SyncedMaps(const kx_SyncedMaps&) = delete;
    kx_SyncedMaps& operator=(const kx_SyncedMaps&) = delete;
    ~kx_SyncedMaps() {
        for (kx_SensorMap* m : maps) delete m;
    }
};
