// The "readAndSync2" operation: read several recordings, add their orientation streams, put
// them on one time base and window, and write one CSV file per recording into one directory.
#include <memory>
#include <string>
#include <vector>

#include "../common/text.h"
#include "../sync/sync.h"
#include "binreader2.h"

namespace {

// Status texts, in the order the stages are checked.
const char kOk[] = "OK";
const char kReadFailed[] = "-10";
const char kSyncFailed[] = "-11";
const char kWriteFailed[] = "-12";
const char kQuaternionFailed[] = "-13";

// The maps kx_sync allocates and hands over through raw pointers: owned from the moment they
// are written into `maps`, freed with this object on every path.
struct HandedMaps {
    std::vector<kx_SensorMap*> maps;

    explicit HandedMaps(size_t n) : maps(n, nullptr) {}
    HandedMaps(const HandedMaps&) = delete;
    HandedMaps& operator=(const HandedMaps&) = delete;
    ~HandedMaps() {
        for (kx_SensorMap* m : maps) delete m;
    }
};

// A path with a NUL character would name another file once it reaches the file system.
bool usable_path(const std::string& path) {
    return path.find('\0') == std::string::npos;
}

}  // namespace

std::string BinReader2::readAndSync(const std::vector<std::string>& paths, const std::string& outDir) {
    if (paths.empty()) return kOk;
    const size_t n = paths.size();

    // Declared so that they are freed configurations first, then source maps, then the
    // synchronised maps.
    HandedMaps synced(n);
    std::vector<std::unique_ptr<kx_SensorMap>> sources;
    std::vector<std::unique_ptr<kx_Config>> configs;
    sources.reserve(n);
    configs.reserve(n);

    // Every stage handles every recording before its outcome is decided.
    bool all_read = true;
    for (const std::string& path : paths) {
        configs.push_back(std::make_unique<kx_Config>());
        sources.push_back(std::make_unique<kx_SensorMap>());
        const bool ok =
            usable_path(path) && kx_read<char>(configs.back().get(), sources.back().get(), path.c_str());
        all_read = all_read && ok;
    }
    if (!all_read) return kReadFailed;

    bool all_quaternions = true;
    for (size_t i = 0; i < n; ++i) {
        const bool ok = kx_computeQuaternion(configs[i].get(), sources[i].get());
        all_quaternions = all_quaternions && ok;
    }
    if (!all_quaternions) return kQuaternionFailed;

    std::vector<kx_Config*> config_ptrs;
    std::vector<kx_SensorMap*> source_ptrs;
    for (size_t i = 0; i < n; ++i) {
        config_ptrs.push_back(configs[i].get());
        source_ptrs.push_back(sources[i].get());
    }
    if (!kx_sync(synced.maps, config_ptrs, source_ptrs) || synced.maps.size() != n) return kSyncFailed;
    for (const kx_SensorMap* m : synced.maps) {
        if (m == nullptr) return kSyncFailed;
    }

    bool all_written = true;
    for (size_t i = 0; i < n; ++i) {
        const std::string csv = outDir + "/" + _file_basename(paths[i]) + ".csv";
        const bool ok = usable_path(csv) && exportCSV(csv.c_str(), configs[i].get(), synced.maps[i]);
        all_written = all_written && ok;
    }
    return all_written ? kOk : kWriteFailed;
}
