// Fuzz target: a whole recording read end to end, as "read" does it: data blocks into the
// sensor map, quaternions, CSV export into a scratch file, and the JSON answer.
#include <algorithm>
#include <cmath>
#include <string>

#include "frontend/binreader2.h"
#include "fuzz_support.h"

namespace {

// Every sensor the configuration declares gets its stream, and streams come out in time order.
void check_streams(const kx_Config& c, const kx_SensorMap& map) {
    KX_FUZZ_CHECK(kxfuzz::streams_consistent(map));
    const struct {
        bool present;
        int id;
        size_t dimension;
    } expected[] = {{c.accel.present, KX_ACCEL, 3},  {c.gyro.present, KX_GYRO, 3},
                    {c.baro.present, KX_BARO, 2},    {c.mag.present, KX_MAG, 3},
                    {c.event.present, KX_EVENT, 1},  {c.radioSensor.present, KX_RADIO_TIME, 1},
                    {c.event2.present, KX_EVENT2, 1}};
    for (const auto& e : expected) {
        const auto it = map.find(e.id);
        KX_FUZZ_CHECK((it != map.end()) == e.present);
        if (it == map.end()) continue;
        KX_FUZZ_CHECK(it->second.dimension == e.dimension);
        if (c.frequency > 0) {
            for (size_t i = 1; i < it->second.length; ++i)
                KX_FUZZ_CHECK(it->second.time[i - 1] < it->second.time[i]);
        }
    }
}

// For inputs of a physical size, every orientation is a unit quaternion, or zero before the
// filter has started.
void check_quaternions(const kx_SensorMap& map) {
    const kx_DataSensor& acc = map.at(KX_ACCEL);
    const kx_DataSensor& gyro = map.at(KX_GYRO);
    const kx_DataSensor& q = map.at(KX_QUATERNION);
    KX_FUZZ_CHECK(q.dimension == 4 && q.length == std::min(acc.length, gyro.length));
    for (const kx_DataSensor* s : {&acc, &gyro}) {
        for (double v : s->data) {
            if (!(std::fabs(v) <= 1e4)) return;
        }
    }
    for (size_t i = 0; i < q.length; ++i) {
        double norm2 = 0;
        for (int k = 0; k < 4; ++k) norm2 += q.data[k * q.length + i] * q.data[k * q.length + i];
        KX_FUZZ_CHECK(norm2 == 0 || std::fabs(norm2 - 1) < 1e-3);
    }
}

// The header's "Total data points" is the number of data rows, and every row ends with a comma.
bool csv_rows_match_total(const std::string& csv) {
    const std::string key = "\nTotal data points: ";
    const size_t at = csv.find(key);
    if (at == std::string::npos) return false;
    const unsigned long long total = std::stoull(csv.substr(at + key.size()));
    unsigned long long lines = 0;
    for (size_t p = 0; p < csv.size(); ++p) {
        if (csv[p] != '\n') continue;
        ++lines;
        if (lines > 7 && (p == 0 || csv[p - 1] != ',')) return false;
    }
    return !csv.empty() && csv.back() == '\n' && lines == 7 + total;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool limited = kxfuzz::cap_written_files();
    (void)limited;
    kxfuzz::clear_scratch();
    const std::string path = kxfuzz::scratch_path("recording.bin");
    const std::string csv = kxfuzz::scratch_path("out.csv");
    kxfuzz::write_file(path, data, size);

    kx_Config config;
    kx_SensorMap map;
    const bool ok = kx_read<char>(&config, &map, path.c_str());
    if (size < static_cast<size_t>(kBlockSize)) KX_FUZZ_CHECK(!ok && map.empty());
    check_streams(config, map);

    if (kx_computeQuaternion(&config, &map)) check_quaternions(map);
    KX_FUZZ_CHECK(kxfuzz::streams_consistent(map));

    // The operation itself, with the CSV file it writes: the table when the recording was
    // read, the error object otherwise or when the file could not be written, and then
    // nothing left of it.
    BinReader2 reader;
    const std::string answer = reader.read(path.c_str(), csv.c_str());
    if (answer == "{\"error\":\"Error during data loading.\"}") {
        KX_FUZZ_CHECK(kxfuzz::scratch_entries() == std::vector<std::string>{"recording.bin"});
    } else {
        KX_FUZZ_CHECK(ok && answer.rfind("{\"createdAt\":\"", 0) == 0 && answer.back() == '}');
        KX_FUZZ_CHECK(csv_rows_match_total(kxfuzz::read_file(csv)));
    }
    return 0;
}
