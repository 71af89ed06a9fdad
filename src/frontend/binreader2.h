// Reader front end: one operation per JavaScript function, the JSON answers, the CSV export
// and the configuration writer.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "../pipeline/pipeline.h"
#include "../recording/recording.h"

class BinReader2 {
public:
    // Decodes a recording, adds quaternions, writes the CSV file at csvPath and answers the
    // JSON summary, or the error object when nothing could be read or written (a table over
    // the row limit of options is refused before anything is written).
    std::string read(const char* path, const char* csvPath, const kx_SourceOptions& options = {});

    // Reads, synchronises and exports several recordings into outDir; answers a status text.
    std::string readAndSync(const std::vector<std::string>& paths, const std::string& outDir,
                            const kx_SourceOptions& options = {});

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

// The CSV table of a recording whose scan found every stream in order, decoded, filtered and
// written a range of rows at a time: the same bytes as _write_csv over the decoded recording,
// in memory bounded by the ranges in flight. False when a write failed or the recording
// changed since its scan. helpers: formatting threads beside the caller's, -1 to choose.
bool _write_csv_streamed(OutputFile* file, const char* path, const kx_RecordingScan& scan, int helpers = -1);

// The summary answered by read().
std::string _generate_read_answer_JSON(const kx_Config* config);

// A member of a source written as CSV into an open output file that the caller completes;
// false when a fill or a write failed. helpers: formatting threads beside the caller's, -1 to choose.
bool _write_member_csv(OutputFile* file, kx_SourceMember& member, int helpers = -1);

// readAndSync2's status for a source error: "-10" (a recording could not be read, or its table
// would be implausibly large), "-13" (no orientation), "-11" (not synchronised).
const char* _sync_status(kx_SourceError error);
