// Recording reader: the functions that decode a recording file into its configuration and
// its per-sensor streams (the types themselves are in types.h).
#pragma once

#include <fstream>

#include "types.h"

// Decodes one header frame at `frame` (which must have `avail` readable bytes).
// Returns the frame length L + 7, or -1 when no frame starts there. Clears *known for an
// unknown frame. Never reads past `avail` bytes.
int _readHeaderFrame(kx_Config* config, bool* known, const unsigned char* frame, int avail);

// Frame scan over a 512-byte block 0; false when the block holds no magic.
bool _readConfig(kx_Config* config, const unsigned char* block);

// Reads block 0 of an open stream (a shorter file counts as zero-filled) and decodes it.
bool _kx_readConfig(kx_Config* config, std::ifstream& in);

// Opens `path` and decodes its configuration block; false when unreadable or without magic.
template <typename CharT>
bool kx_readConfig(kx_Config* config, const CharT* path);

// Decodes a whole recording into `config` and one stream per present sensor in `sensors`.
bool _kx_read(kx_Config* config, kx_SensorMap* sensors, std::ifstream& in);

template <typename CharT>
bool kx_read(kx_Config* config, kx_SensorMap* sensors, const CharT* path);

// Runs the orientation tracker over the accelerometer and gyroscope streams and stores the
// quaternion stream (w, x, y, z) under KX_QUATERNION. False when the inputs do not allow it.
bool kx_computeQuaternion(const kx_Config* config, kx_SensorMap* sensors);
