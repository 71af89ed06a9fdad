// The configuration as text, shared by both readers: the members of the JSON answers, and the
// compact configuration text assembled into header frames and written as a file.
#pragma once

#include <string>
#include <vector>

#include "../recording/types.h"
#include "json_builder.h"

// The configuration members common to both readers' answers: "unknownFrames", the sensor
// objects and, when hasDeviceInfo is set, the device members.
void _config_members_JSON(JsonObject* json, const kx_Config& config);

// Parses a whole configuration text into header frames (at most one block). False for
// malformed text: a known key with too few or non-numeric fields, or frames over 512 bytes.
// Empty sections and unknown keys are skipped.
bool _assemble_config_frames(const std::string& text, std::vector<unsigned char>* frames);

// Assembles the frames of `text` and writes them to path, replacing the file only once the
// whole text was accepted and written. False (any old file kept) on malformed text or a
// failed write.
bool _write_config_file(const char* path, const std::string& text);
