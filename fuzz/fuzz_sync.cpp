// Fuzz target: kx_sync on two or three small recordings decoded from the fuzz input. The
// input holds each recording after its length (BE16); one shorter than a block is padded with
// zeros to a configuration block, so header-only recordings are cheap to reach.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "sync/sync.h"

namespace {

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

bool same_map(const kx_SensorMap& a, const kx_SensorMap& b) {
    if (a.size() != b.size()) return false;
    for (const auto& [id, s] : a) {
        const auto it = b.find(id);
        if (it == b.end() || it->second.dimension != s.dimension || it->second.length != s.length ||
            !same_bits(it->second.data, s.data) || !same_bits(it->second.time, s.time)) {
            return false;
        }
    }
    return true;
}

int32_t kind_frequency(const kx_Config& c, int kind) {
    return kind == KX_ACCEL ? c.accel.frequency : kind == KX_BARO ? c.baro.frequency : c.gyro.frequency;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kxfuzz::Consumer in(data, size);
    std::vector<std::unique_ptr<kx_Config>> configs;
    std::vector<std::unique_ptr<kx_SensorMap>> sources;
    while (in.left() >= 2 && configs.size() < 3) {
        std::vector<uint8_t> bytes = in.bytes(in.be16());
        if (bytes.size() < static_cast<size_t>(kBlockSize)) bytes.resize(kBlockSize, 0);
        const std::string path = kxfuzz::scratch_path("rec" + std::to_string(configs.size()) + ".bin");
        kxfuzz::write_file(path, bytes.data(), bytes.size());
        auto config = std::make_unique<kx_Config>();
        auto map = std::make_unique<kx_SensorMap>();
        if (!kx_read<char>(config.get(), map.get(), path.c_str())) return 0;
        kx_computeQuaternion(config.get(), map.get());
        configs.push_back(std::move(config));
        sources.push_back(std::move(map));
    }
    if (configs.empty()) return 0;

    std::vector<kx_Config*> config_ptrs;
    std::vector<kx_SensorMap*> source_ptrs;
    std::vector<kx_SensorMap> before;
    for (size_t i = 0; i < configs.size(); ++i) {
        config_ptrs.push_back(configs[i].get());
        source_ptrs.push_back(sources[i].get());
        before.push_back(*sources[i]);
    }

    kx_SyncedMaps owner;
    const bool ok = kx_sync(owner.maps, config_ptrs, source_ptrs);
    const std::vector<kx_SensorMap*>& synced = owner.maps;

    // The inputs are never modified.
    for (size_t i = 0; i < sources.size(); ++i) KX_FUZZ_CHECK(same_map(before[i], *sources[i]));
    if (configs.size() < 2) KX_FUZZ_CHECK(!ok && synced.empty());
    if (!ok) return 0;

    KX_FUZZ_CHECK(synced.size() == configs.size());
    for (size_t i = 0; i < synced.size(); ++i) {
        KX_FUZZ_CHECK(synced[i] != nullptr && kxfuzz::streams_consistent(*synced[i]));
        for (const auto& [id, s] : *synced[i]) {
            // A window of the source: never longer, never another shape.
            const auto src = sources[i]->find(id);
            KX_FUZZ_CHECK(src != sources[i]->end());
            KX_FUZZ_CHECK(s.length <= src->second.length && s.dimension == src->second.dimension);
        }
    }
    // Copies of one kind have one length wherever the recordings share that kind's rate.
    for (int kind : {KX_ACCEL, KX_GYRO, KX_BARO, KX_QUATERNION}) {
        for (size_t i = 1; i < synced.size(); ++i) {
            const auto a = synced[0]->find(kind);
            const auto b = synced[i]->find(kind);
            KX_FUZZ_CHECK((a == synced[0]->end()) == (b == synced[i]->end()));
            if (a == synced[0]->end()) continue;
            if (kind_frequency(*configs[0], kind) == kind_frequency(*configs[i], kind)) {
                KX_FUZZ_CHECK(a->second.length == b->second.length);
            }
        }
    }
    return 0;
}
