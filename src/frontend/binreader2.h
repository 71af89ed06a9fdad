// Reader front end: one operation per JavaScript function, the JSON answers, the CSV export
// and the configuration writer, plus the small text helpers they share.
#pragma once

#include <string>
#include <vector>

#include "../recording/recording.h"

class BinReader2 {
public:
    // Decodes a recording, adds quaternions, writes the CSV file at csvPath and answers the
    // JSON summary, or the error object when nothing could be read or written.
    std::string read(const char* path, const char* csvPath);

    // Reads, synchronises and exports several recordings into outDir; answers a status text.
    std::string readAndSync(const std::vector<std::string>& paths, const std::string& outDir);

    // Configuration of a recording as JSON; empty text when the file is not a recording.
    std::string readConfig(const char* path);

    // {"deviceId":N}; empty text when the file is not a recording.
    std::string readConfigDeviceId(const char* path);

    // Builds header frames from the configuration text and writes them to path.
    // False (nothing written, any old file kept) on malformed text or a failed write.
    bool writeConfig(const char* path, const char* config);

    // Writes the streams of one recording as CSV; false when the file could not be written.
    bool exportCSV(const char* path, const kx_Config* config, const kx_SensorMap* sensors);
};

class OutputFile;
// The CSV table of one recording, written into an open output file that the caller completes;
// false when a write failed.
bool _write_csv(OutputFile* file, const kx_Config* config, const kx_SensorMap* sensors);

// year-month-day hour:minute:second, every field after the year on two digits.
std::string _date_to_string(const kx_Config::DateStruct& date);

// The summary answered by read().
std::string _generate_read_answer_JSON(const kx_Config* config);

class JsonObject;
// The configuration members common to both readers' answers: "unknownFrames", the sensor
// objects and, when hasDeviceInfo is set, the device members.
void _config_members_JSON(JsonObject* json, const kx_Config& config);

// File name without directory and without its last extension ("a/b.c.bin" -> "b.c").
std::string _file_basename(const std::string& path);

// Appends the pieces of text between delimiters to out (an empty text gives none, a final
// delimiter gives no empty last piece).
void _split(const std::string& text, char delimiter, std::vector<std::string>& out);

// Parses a number field (leading blanks, optional sign, digits; the rest ignored).
// False when there are no digits or the value is outside the int32 range.
bool _parse_number_field(const std::string& field, int32_t* value);

// Parses a whole configuration text into header frames (at most one block). False for
// malformed text: a known key with too few or non-numeric fields, or frames over 512 bytes.
// Empty sections and unknown keys are skipped.
bool _assemble_config_frames(const std::string& text, std::vector<unsigned char>* frames);

// Stores the low `count` bytes of the number in `field` big-endian at buf[offset] and
// returns the number. The field must have been validated with _parse_number_field.
int _str_to_bytes(std::string field, unsigned char* buf, int offset, int count);
