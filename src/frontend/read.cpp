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

std::string BinReader2::read(const char* path, const char* csvPath, const kx_SourceOptions& options) {
    if (path == nullptr || csvPath == nullptr) return kLoadError;
    // A table written over its own recording would destroy it.
    if (_output_is_input(csvPath, {path})) return kLoadError;
    // A recording that cannot be read in full is an error, not an empty table: no CSV file is
    // written for it, nor for one whose table would be implausibly large. Recordings without
    // both inertial streams at one rate simply get no quaternion columns.
    kx_Source source;
    if (source.open({path}, options) != kx_SourceError::none) return kLoadError;
    OutputFile file;
    if (!file.open(csvPath) || !_write_member_csv(&file, source.member(0)) || !file.commit()) return kLoadError;
    return _generate_read_answer_JSON(&source.member(0).config);
}
