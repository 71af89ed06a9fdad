// Fuzz target: the two ways read() and readAndSync2 write tables, on the same bytes. A recording
// in order is streamed in ranges of rows; the table of the whole decoded recording must be the
// same bytes, and both must fail together. A recording out of order must agree with the decode
// step too. The set is the recording and itself without its first data blocks (members that
// start apart): streamed, it must answer and write what the set synchronised whole gives.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "common/output_file.h"
#include "frontend/binreader2.h"
#include "fuzz_support.h"

namespace {

// The table written by `write` into a fresh file, or "!" when the export failed.
template <typename Write>
std::string table(const std::string& path, Write write) {
    OutputFile file;
    if (!file.open(path) || !write(&file) || !file.commit()) return "!";
    std::string text = kxfuzz::read_file(path);
    std::remove(path.c_str());
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool limited = kxfuzz::cap_written_files();
    (void)limited;
    kxfuzz::clear_scratch();
    const std::string path = kxfuzz::scratch_path("recording.bin");
    const std::string csv = kxfuzz::scratch_path("out.csv");
    kxfuzz::write_file(path, data, size);

    kx_RecordingScan scan;
    const kx_DecodeError scanned = kx_scanRecording(path.c_str(), &scan);
    kx_Recording recording;
    const kx_DecodeError decoded = kx_decodeRecording(path.c_str(), &recording);
    // The scan refuses exactly what the decode step refuses.
    KX_FUZZ_CHECK(scanned == decoded);
    if (decoded != kx_DecodeError::none) return 0;

    const std::string whole =
        table(csv, [&](OutputFile* f) { return _write_csv(f, &recording.config, &recording.sensors); });
    if (scan.inOrder) {
        for (int helpers : {0, 1}) {
            const std::string streamed = table(
                csv, [&](OutputFile* f) { return _write_csv_streamed(f, path.c_str(), scan, helpers); });
            KX_FUZZ_CHECK(streamed == whole);
        }
    }
    BinReader2 reader;
    const std::string answer = reader.read(path.c_str(), csv.c_str());
    const bool failed = answer == "{\"error\":\"Error during data loading.\"}";
    KX_FUZZ_CHECK(failed == (whole == "!"));
    if (!failed) KX_FUZZ_CHECK(kxfuzz::read_file(csv) == whole);

    const size_t drop = kBlockSize * (1 + data[size - 1] % 3);
    if (size <= kBlockSize + drop) return 0;
    const std::vector<std::string> set = {path, kxfuzz::scratch_path("later.bin")};
    std::vector<uint8_t> later(data, data + kBlockSize);
    later.insert(later.end(), data + kBlockSize + drop, data + size);
    kxfuzz::write_file(set[1], later.data(), later.size());
    const std::string dir = kxfuzz::scratch_path("set");
    std::filesystem::create_directory(dir);
    const std::string status = reader.readAndSync(set, dir);

    kx_SyncedSet held;
    std::string expected = _sync_status(kx_syncRecordings(set, &held));
    std::vector<std::string> tables;
    for (size_t i = 0; expected == "OK" && i < set.size(); ++i) {
        tables.push_back(table(kxfuzz::scratch_path("whole.csv"), [&](OutputFile* f) {
            return _write_csv(f, &held.recordings[i]->config, held.synced.maps[i]);
        }));
        if (tables.back() == "!") expected = "-12";
    }
    KX_FUZZ_CHECK(status == expected);
    if (status == "OK") {
        KX_FUZZ_CHECK(kxfuzz::read_file(dir + "/recording.csv") == tables[0]);
        KX_FUZZ_CHECK(kxfuzz::read_file(dir + "/later.csv") == tables[1]);
    }
    std::filesystem::remove_all(dir);
    return 0;
}
