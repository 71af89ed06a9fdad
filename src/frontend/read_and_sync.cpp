// The "readAndSync2" operation: read several recordings, add their orientation streams, put
// them on one time base and window, and write one CSV file per recording into one directory.
#include <string>
#include <vector>

#include "../common/output_file.h"
#include "../common/text.h"
#include "binreader2.h"

namespace {

// Status texts, in the order the stages are checked.
const char kOk[] = "OK";
const char kReadFailed[] = "-10";
const char kSyncFailed[] = "-11";
const char kWriteFailed[] = "-12";
const char kQuaternionFailed[] = "-13";

}  // namespace

const char* _sync_status(kx_SourceError error) {
    switch (error) {
        case kx_SourceError::none:
            return kOk;
        case kx_SourceError::setOrientation:
            return kQuaternionFailed;
        case kx_SourceError::setSync:
            return kSyncFailed;
        default:
            // A table over the row limit is refused as its recording is: it cannot be read into
            // a table, and nothing was written.
            return kReadFailed;
    }
}

std::string BinReader2::readAndSync(const std::vector<std::string>& paths, const std::string& outDir,
                                    const kx_SourceOptions& options) {
    if (paths.empty()) return kOk;
    // A set of one is refused by the synchronisation, as any set it cannot synchronise.
    kx_Source source;
    const kx_SourceError opened = source.open_set(paths, options);
    if (opened != kx_SourceError::none) return _sync_status(opened);
    const size_t n = paths.size();

    // The set is written whole or not at all: every file is opened (and refused, if it must be)
    // and completed before any replaces its target. No table may take an input's place.
    OutputSet set;
    for (size_t i = 0; i < n; ++i) {
        const std::string csv = outDir + "/" + _file_basename(paths[i]) + ".csv";
        if (csv.find('\0') != std::string::npos || _output_is_input(csv, paths) || set.open(csv) == nullptr)
            return kWriteFailed;
    }
    // Each member's rows are formatted on every core the process can spare, one member at a time.
    for (const size_t i : set.writing_order()) {
        if (!_write_member_csv(&set[i], source.member(i))) return kWriteFailed;
    }
    return set.commit() ? kOk : kWriteFailed;
}
