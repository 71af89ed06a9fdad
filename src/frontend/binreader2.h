// Reader front end: one operation per JavaScript function, the JSON answers, the CSV export
// and the configuration writer.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "../recording/recording.h"
#include "../sync/sync.h"

class BinReader2 {
public:
    // Decodes a recording, adds quaternions, writes the CSV file at csvPath and answers the
    // JSON summary, or the error object when nothing could be read or written.
    std::string read(const char* path, const char* csvPath, kx_Orientation mode = kx_Orientation::specified);

    // Reads, synchronises and exports several recordings into outDir; answers a status text.
    std::string readAndSync(const std::vector<std::string>& paths, const std::string& outDir,
                            kx_Orientation mode = kx_Orientation::specified);

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
bool _write_csv_streamed(OutputFile* file, const char* path, const kx_RecordingScan& scan, int helpers = -1,
                         kx_Orientation mode = kx_Orientation::specified);

// The summary answered by read().
std::string _generate_read_answer_JSON(const kx_Config* config);

// A synchronised set: the decoded recordings and their maps on the common time base. The
// recordings are declared last so that they are freed before the maps.
struct kx_SyncedSet {
    kx_SyncedMaps synced;
    std::vector<std::unique_ptr<kx_Recording>> recordings;
};

// The stages of readAndSync before anything is written: reads, adds orientation and
// synchronises the recordings at paths into set. Answers "OK" or the status of the stage that
// failed ("-10", "-13", "-11"); an empty list is "OK" with nothing read.
const char* kx_syncRecordings(const std::vector<std::string>& paths, kx_SyncedSet* set,
                              kx_Orientation mode = kx_Orientation::specified);

// kx_sync cuts the event channels to the common window but keeps their recorded times. For a
// set that kx_syncRecordings answered "OK", replaces each synchronised map's event channels
// with the whole channels of its recording moved onto the common time base. False when the
// shift of a recording cannot be found.
bool _events_on_common_base(kx_SyncedSet* set);
