// Multi-recording synchronisation: puts the streams of recordings made together onto one
// time base and cuts them to one common window, in new maps.
#pragma once

#include <cstddef>
#include <functional>
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

// The stages of kx_sync on stream facts alone, so that recordings read in windows are
// synchronised exactly as held ones: the kinds, the shifts, the common window.

// The method kx_sync uses for a set, chosen by its first recording's configuration, and its
// name ("time-marks", "radio-channel-sensor", "basic-radio-frame") as outputs record it.
enum class kx_SyncMethod { timeMarks, radioChannelSensor, basicRadioFrame };
kx_SyncMethod kx_syncMethod(const kx_Config& first);
const char* kx_syncMethodName(kx_SyncMethod method);

// The kinds kx_sync synchronises (accelerometer, gyroscope, barometer, quaternion, in this
// order) that `held(i, kind)` answers true for every recording i of `count`.
std::vector<int> kx_syncKinds(size_t count, const std::function<bool(size_t, int)>& held);

// The first sample of a recording's radio time stream (value and local time, seconds).
struct kx_SyncRadio {
    bool present = false;  // false when the stream is missing or empty
    double value_s = 0.0;
    double time_s = 0.0;
};

// The time shift (seconds) kx_sync adds to kind kinds[j] of recording i, in
// shifts_s[i * kinds.size() + j]. False on the radio refusals kx_sync makes (with its message).
bool kx_syncShifts(const std::vector<kx_Config*>& configs, const std::vector<int>& kinds,
                   const std::vector<kx_SyncRadio>& radio, std::vector<double>* shifts_s);

// The common window: stream (i, j) keeps samples [first, first + count). Streams are indexed
// i * kinds.size() + j; `lengths` are their sample counts, `first_times_s` their first shifted
// times, `nearest(stream, start_s)` the index of the sample nearest to start_s (the earliest on
// a tie). [t0_s, t1_s] is the window the event channel is cut to.
struct kx_SyncWindow {
    std::vector<size_t> first;
    std::vector<size_t> count;
    double t0_s = 0.0;
    double t1_s = 0.0;
};
kx_SyncWindow kx_syncWindow(const std::vector<kx_Config*>& configs, const std::vector<int>& kinds,
                            const std::vector<size_t>& lengths, const std::vector<double>& first_times_s,
                            const std::function<size_t(size_t, double)>& nearest);

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
