// Recording reader: the functions that decode a recording file into its configuration and
// its per-sensor streams (the types themselves are in types.h).
#pragma once

#include <fstream>

#include "types.h"

// Why a recording could not be decoded.
enum class kx_DecodeError {
    none,
    missing,        // no file at the path
    unreadable,     // there is one, but it cannot be opened or read (permissions, a directory)
    notARecording,  // no frame magic in the configuration block
    truncated,      // the file ends inside its configuration block or data
};

// Decodes one header frame at `frame` (which must have `avail` readable bytes).
// Returns the frame length L + 7, or -1 when no frame starts there. Clears *known for an
// unknown frame. Never reads past `avail` bytes.
int _readHeaderFrame(kx_Config* config, bool* known, const unsigned char* frame, int avail);

// Frame scan over a 512-byte block 0; false when the block holds no magic.
bool _readConfig(kx_Config* config, const unsigned char* block);

// Reads block 0 of an open stream (a shorter file counts as zero-filled) and decodes it.
kx_DecodeError _kx_decodeConfig(kx_Config* config, std::ifstream& in);
bool _kx_readConfig(kx_Config* config, std::ifstream& in);

// Opens `path` and decodes its configuration block; false when unreadable or without magic.
template <typename CharT>
bool kx_readConfig(kx_Config* config, const CharT* path);

// Decodes a whole recording from an open stream into `config` and one stream per present
// sensor in `sensors`. A truncated recording keeps what was decoded before the end.
kx_DecodeError _kx_decode(kx_Config* config, kx_SensorMap* sensors, std::ifstream& in);

// Decodes a whole recording into `config` and one stream per present sensor in `sensors`.
bool _kx_read(kx_Config* config, kx_SensorMap* sensors, std::ifstream& in);

template <typename CharT>
bool kx_read(kx_Config* config, kx_SensorMap* sensors, const CharT* path);

// Runs the orientation tracker over the accelerometer and gyroscope streams and stores the
// quaternion stream (w, x, y, z) under KX_QUATERNION. False when the inputs do not allow it.
bool kx_computeQuaternion(const kx_Config* config, kx_SensorMap* sensors);

// A decoded recording, as every operation and output takes it.
struct kx_Recording {
    kx_Config config;
    kx_SensorMap sensors;
    // False when the inputs did not allow an orientation stream (see kx_computeQuaternion);
    // the recording is whole without it.
    bool hasQuaternions = false;
};

// The one decode step: opens the recording at path, decodes it and adds its orientation
// stream. On an error nothing is computed; a truncated recording keeps what was decoded.
kx_DecodeError kx_decodeRecording(const char* path, kx_Recording* recording);

// The configuration block alone (a file shorter than a block counts as zero-filled, so
// truncated is never answered).
kx_DecodeError kx_decodeConfig(const char* path, kx_Config* config);
