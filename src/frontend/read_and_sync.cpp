// The "readAndSync2" operation: read several recordings, add their orientation streams, put
// them on one time base and window, and write one CSV file per recording into one directory.
#include <memory>
#include <string>
#include <vector>

#include "../common/output_file.h"
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

// A path with a NUL character would name another file once it reaches the file system.
bool usable_path(const std::string& path) {
    return path.find('\0') == std::string::npos;
}

}  // namespace

const char* kx_syncRecordings(const std::vector<std::string>& paths, kx_SyncedSet* set, kx_Orientation mode) {
    if (paths.empty()) return kOk;
    const size_t n = paths.size();
    auto& recordings = set->recordings;
    recordings.reserve(n);

    // Every stage handles every recording before its outcome is decided.
    bool all_read = true;
    for (const std::string& path : paths) {
        recordings.push_back(std::make_unique<kx_Recording>());
        const bool ok = usable_path(path) &&
                        kx_decodeRecording(path.c_str(), recordings.back().get(), mode) == kx_DecodeError::none;
        all_read = all_read && ok;
    }
    if (!all_read) return kReadFailed;

    bool all_quaternions = true;
    for (const auto& r : recordings) all_quaternions = all_quaternions && r->hasQuaternions;
    if (!all_quaternions) return kQuaternionFailed;

    std::vector<kx_Config*> config_ptrs;
    std::vector<kx_SensorMap*> source_ptrs;
    for (const auto& r : recordings) {
        config_ptrs.push_back(&r->config);
        source_ptrs.push_back(&r->sensors);
    }
    if (!kx_sync(set->synced.maps, config_ptrs, source_ptrs) || set->synced.maps.size() != n)
        return kSyncFailed;
    for (const kx_SensorMap* m : set->synced.maps) {
        if (m == nullptr) return kSyncFailed;
    }
    return kOk;
}

namespace {

// How far kx_sync moved each recording's times (seconds). The shift is measured by
// synchronising a probe: per recording one accelerometer stream with two samples at time 0
// (two, so that the trimmed window keeps one) and the radio time stream the radio methods read.
// The method and the shift depend on the configurations and the radio time streams alone, so
// the probe moves exactly as the recordings did; the time of its first kept sample is the shift.
bool sync_shifts(const std::vector<kx_Config*>& configs, const std::vector<const kx_SensorMap*>& sources,
                 std::vector<double>* shifts_s) {
    std::vector<kx_SensorMap> probes(sources.size());
    std::vector<kx_SensorMap*> probe_ptrs;
    for (size_t i = 0; i < sources.size(); ++i) {
        probes[i].emplace(KX_ACCEL, kx_DataSensor(3, 2));
        const auto radio = sources[i]->find(KX_RADIO_TIME);
        if (radio != sources[i]->end()) probes[i].emplace(KX_RADIO_TIME, radio->second);
        probe_ptrs.push_back(&probes[i]);
    }
    kx_SyncedMaps moved;
    if (!kx_sync(moved.maps, configs, probe_ptrs) || moved.maps.size() != sources.size()) return false;
    for (const kx_SensorMap* m : moved.maps) {
        if (m == nullptr) return false;
        const auto it = m->find(KX_ACCEL);
        if (it == m->end() || it->second.length == 0) return false;
        shifts_s->push_back(it->second.time[0]);
    }
    return true;
}

}  // namespace

bool _events_on_common_base(kx_SyncedSet* set) {
    if (set->recordings.empty()) return true;
    std::vector<kx_Config*> configs;
    std::vector<const kx_SensorMap*> sources;
    for (const auto& r : set->recordings) {
        configs.push_back(&r->config);
        sources.push_back(&r->sensors);
    }
    std::vector<double> shifts_s;
    if (set->synced.maps.size() != sources.size() || !sync_shifts(configs, sources, &shifts_s)) return false;
    for (size_t i = 0; i < sources.size(); ++i) {
        for (const int id : {KX_EVENT, KX_EVENT2}) {
            kx_SensorMap& synced = *set->synced.maps[i];
            synced.erase(id);
            const auto it = sources[i]->find(id);
            if (it == sources[i]->end()) continue;
            kx_DataSensor moved = it->second;
            for (double& t : moved.time) t += shifts_s[i];
            synced.emplace(id, std::move(moved));
        }
    }
    return true;
}

std::string BinReader2::readAndSync(const std::vector<std::string>& paths, const std::string& outDir,
                                    kx_Orientation mode) {
    kx_SyncedSet synced;
    const std::string status = kx_syncRecordings(paths, &synced, mode);
    if (status != kOk || paths.empty()) return status;
    const size_t n = paths.size();
    const auto& recordings = synced.recordings;

    // The set is written whole or not at all: every file is opened (and refused, if it must be)
    // and completed before any replaces its target. No table may take an input's place.
    OutputSet set;
    for (size_t i = 0; i < n; ++i) {
        const std::string csv = outDir + "/" + _file_basename(paths[i]) + ".csv";
        if (!usable_path(csv) || _output_is_input(csv, paths) || set.open(csv) == nullptr)
            return kWriteFailed;
    }
    for (const size_t i : set.writing_order()) {
        if (!_write_csv(&set[i], &recordings[i]->config, synced.synced.maps[i])) return kWriteFailed;
    }
    return set.commit() ? kOk : kWriteFailed;
}
