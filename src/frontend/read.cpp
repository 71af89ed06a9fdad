// The "read" operation: decode one recording, add its orientation stream, write its CSV file
// and answer a short JSON summary.
#include <string>

#include "../common/json_builder.h"
#include "../common/output_file.h"
#include "../common/text.h"
#include "binreader2.h"

namespace {

const char kLoadError[] = "{\"error\":\"Error during data loading.\"}";

}  // namespace

std::string _generate_read_answer_JSON(const kx_Config* config) {
    JsonObject o;
    o.string("createdAt", _date_to_string(config->createdAt));
    o.string("endDate", _date_to_string(config->endDate));
    o.number("frequency", config->frequency);
    // The firmware parts are texts here, and the minor part comes before the major one.
    o.string("version", std::to_string(config->version));
    o.string("minorVersion", std::to_string(config->minorVersion));
    o.string("majorVersion", std::to_string(config->majorVersion));
    o.number("measureId", config->measureId);
    return o.close();
}

std::string BinReader2::read(const char* path, const char* csvPath, kx_Orientation mode) {
    if (path == nullptr || csvPath == nullptr) return kLoadError;
    // A table written over its own recording would destroy it.
    if (_output_is_input(csvPath, {path})) return kLoadError;
    // A recording that cannot be read in full is an error, not an empty table: no CSV file is
    // written for it. Recordings without both inertial streams at one rate simply get no
    // quaternion columns.
    // A recording in order (almost all are) is streamed from its file in bounded memory; one
    // that needs reordering is decoded whole. Both give the same bytes.
    kx_RecordingScan scan;
    if (kx_scanRecording(path, &scan) != kx_DecodeError::none) return kLoadError;
    if (scan.inOrder) {
        OutputFile file;
        if (!file.open(csvPath) || !_write_csv_streamed(&file, path, scan, -1, mode) || !file.commit())
            return kLoadError;
        return _generate_read_answer_JSON(&scan.config);
    }
    kx_Recording recording;
    if (kx_decodeRecording(path, &recording, mode) != kx_DecodeError::none) return kLoadError;
    if (!exportCSV(csvPath, &recording.config, &recording.sensors)) return kLoadError;
    return _generate_read_answer_JSON(&recording.config);
}
