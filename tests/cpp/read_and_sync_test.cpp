// Tests of readAndSync (its stages and status texts on recordings written to disk) and of
// _file_basename. Run under the sanitizer build, the refusals also prove nothing leaks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <filesystem>
#include <string>
#include <vector>

#include "common/output_file.h"
#include "common/text.h"
#include "frontend/binreader2.h"
#include "frontend/table_columns.h"
#include "support/recording_builder.h"

namespace {

namespace fs = std::filesystem;
using kxtest::Bytes;
using kxtest::Record;

constexpr int kAccelId = 0xA1;
constexpr int kGyroId = 0xA2;

// A device at 100 Hz with 62 samples of accelerometer (and gyroscope unless left out) from
// local tick 1000, and the radio or time-mark frames given. Accelerometer X holds the raw
// value local tick - 1000 + x_offset, so that it can name the sample's common time.
void write_device(const std::string& path, const Bytes& sync_frames, bool gyro = true, int x_offset = 0) {
    kxtest::RecordingBuilder rec;
    rec.header(kxtest::base_frequency_frame(100));
    rec.header(kxtest::inertial_frame(2, kAccelId, 100, 0));
    if (gyro) rec.header(kxtest::inertial_frame(3, kGyroId, 100, 1));
    rec.header(sync_frames);
    for (uint32_t base : {1000u, 1031u}) {
        std::vector<Record> records;
        for (int k = 0; k < 31; ++k) {
            const int16_t x = int16_t(int(base) + k - 1000 + x_offset);
            records.push_back(kxtest::xyz_record(kAccelId, k, x, 0, 16384));
            if (gyro) records.push_back(kxtest::xyz_record(kGyroId, k, 0, 0, 0));
        }
        rec.block(base, records);
    }
    rec.write(path);
}

// Basic radio frame: mode 0 marks the master.
Bytes radio(int mode) {
    return kxtest::radio_frame(mode, 0, 0, 4);
}

std::vector<std::string> files_in(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    return names;
}

class ReadAndSync : public testing::Test {
protected:
    void SetUp() override {
        root_ = kxtest::temp_dir();
        out_ = root_ + "/out";
        fs::create_directories(out_);
        fs::create_directories(root_ + "/a");
        fs::create_directories(root_ + "/b");
        write_device(root_ + "/a/left.bin", radio(0));
        write_device(root_ + "/b/right.bin", radio(1));
        write_device(root_ + "/slave.bin", radio(1));
        write_device(root_ + "/nogyro.bin", radio(1), false);
    }
    void TearDown() override { fs::remove_all(root_); }

    std::string root_, out_;
};

struct StageCase {
    const char* name;
    std::vector<std::string> paths;  // relative to the test's directory
    const char* out_dir;             // relative to the test's directory
    const char* answer;
    const char* message;  // on standard error
};

// clang-format off
const StageCase kStages[] = {
    {"EmptyList", {}, "out", "OK", ""},
    {"SecondPathMissing", {"a/left.bin", "missing.bin"}, "out", "-10", ""},
    // reading comes first: a missing file decides before the gyroscope-less recording
    {"MissingBeforeNoGyroscope", {"nogyro.bin", "missing.bin"}, "out", "-10", ""},
    {"PathWithNul", {"a/left.bin", std::string("b/right.bin\0.x", 14)}, "out", "-10", ""},
    {"NoGyroscope", {"a/left.bin", "nogyro.bin"}, "out", "-13", ""},
    {"OneRecording", {"a/left.bin"}, "out", "-11", "Wrong number of sensors.\n"},
    {"NoMaster", {"b/right.bin", "slave.bin"}, "out", "-11",
     "Possibly no master or more than one used (0). Different radio channels are used.\n"},
    {"OutputDirectoryMissing", {"a/left.bin", "b/right.bin"}, "nowhere", "-12", ""},
};
// clang-format on

void PrintTo(const StageCase& c, std::ostream* os) {
    *os << c.name;
}

class ReadAndSyncStage : public ReadAndSync, public testing::WithParamInterface<StageCase> {};

// The first failing stage decides the answer, and a refused call writes no file.
TEST_P(ReadAndSyncStage, AnswersItsStatus) {
    const StageCase& tc = GetParam();
    std::vector<std::string> paths;
    for (const std::string& p : tc.paths) paths.push_back(root_ + "/" + p);

    testing::internal::CaptureStderr();
    EXPECT_EQ(BinReader2().readAndSync(paths, root_ + "/" + tc.out_dir), tc.answer);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), tc.message);
    EXPECT_TRUE(files_in(out_).empty());
    EXPECT_FALSE(fs::exists(root_ + "/nowhere"));
}

INSTANTIATE_TEST_SUITE_P(Stages, ReadAndSyncStage, testing::ValuesIn(kStages),
                         [](const testing::TestParamInfo<StageCase>& p) { return p.param.name; });

// The right device's clock read 0.2 s more than the left one's at the same local tick: it
// started 0.2 s later, so its local tick 1000 is the left device's tick 1020, which its
// accelerometer X (raw 20) says. The first data rows of both files carry that same sample.
TEST_F(ReadAndSync, WritesOneFilePerRecordingStartingTogether) {
    write_device(root_ + "/a/left.bin", kxtest::settings18_frame(100, 0, 1000, 100, 0, 1000));
    write_device(root_ + "/b/right.bin", kxtest::settings18_frame(100, 200, 1000, 100, 200, 1000), true, 20);
    testing::internal::CaptureStderr();
    EXPECT_EQ(BinReader2().readAndSync({root_ + "/a/left.bin", root_ + "/b/right.bin"}, out_), "OK");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    std::vector<std::string> names = files_in(out_);
    std::sort(names.begin(), names.end());
    ASSERT_EQ(names, (std::vector<std::string>{"left.csv", "right.csv"}));
    std::vector<std::string> first_rows;
    for (const std::string& n : names) {
        const std::string csv = kxtest::read_file(out_ + "/" + n);
        // the eighth line is the first data row: time, gyro X/Y/Z, accel X ...
        size_t at = 0;
        for (int line = 0; line < 7; ++line) at = csv.find('\n', at) + 1;
        first_rows.push_back(csv.substr(at, csv.find('\n', at) - at));
        EXPECT_NE(csv.find("Total data points: 42\n"), std::string::npos) << n;
    }
    // time, gyroscope, accelerometer (20 x 2 g / 32768 = 0.00122 g); the quaternions differ,
    // the left device's filter having run 20 samples longer
    for (const std::string& row : first_rows) {
        EXPECT_EQ(row.substr(0, 56), "0.01000,0.00000,0.00000,0.00000,0.00122,0.00000,1.00000,");
    }
}

TEST(FileBasename, DropsDirectoryAndLastExtension) {
    const std::pair<const char*, const char*> cases[] = {
        {"C:\\rec\\walk.left.bin", "walk.left"},
        {"walk", "walk"},
        {"dir.d/walk", "walk"},
        {".hidden", ""},
        {"/data/a/left.bin", "left"},
        {"a/b.c.bin", "b.c"},
        {"dir/", ""},
        {"", ""},
    };
    for (const auto& [path, name] : cases) EXPECT_EQ(_file_basename(path), name) << path;
}

}  // namespace

namespace {

constexpr int kBaroId = 0xA3;
constexpr int kEventId = 0xA4;
constexpr int kRadioId = 0xA5;

// A long device at 100 Hz from local tick `start`: accelerometer and gyroscope at 100 Hz, a
// barometer at 20 Hz (a row factor of 5, which does not divide the writer's ranges), an event
// every 997 ticks and a radio time sample every 100 ticks reading tick + radio_offset.
void write_long_device(const std::string& path, const Bytes& sync_frames, uint32_t start, int ticks,
                       int radio_offset) {
    kxtest::RecordingBuilder rec;
    rec.header(kxtest::base_frequency_frame(100));
    rec.header(kxtest::inertial_frame(2, kAccelId, 100, 0));
    rec.header(kxtest::inertial_frame(3, kGyroId, 100, 1));
    rec.header(kxtest::baro_frame(kBaroId, 20));
    rec.header(kxtest::sensor_frame(16, kEventId, 100));
    rec.header(sync_frames);
    std::vector<Record> records;
    uint32_t base = start;
    for (int k = 0; k < ticks; ++k) {
        const uint32_t tick = start + uint32_t(k);
        if (records.size() + 5 > kRecordsPerBlock || tick - base > 255) {
            rec.block(base, records);
            records.clear();
            base = tick;
        }
        const int offset = int(tick - base);
        const int16_t wave = int16_t((k * 37) % 2000 - 1000);
        records.push_back(kxtest::xyz_record(kAccelId, offset, wave, int16_t(-wave / 2), 16384));
        records.push_back(kxtest::xyz_record(kGyroId, offset, int16_t(wave / 3), 7, int16_t(-wave / 5)));
        if (k % 5 == 0) records.push_back(kxtest::baro_record(kBaroId, offset, 4096000u + uint32_t(k % 4096), 2000));
        if (k % 997 == 3) records.push_back(kxtest::byte_record(kEventId, offset, 2, uint8_t(k % 200)));
        if (k % 100 == 0) records.push_back(kxtest::radio_record(kRadioId, offset, int32_t(tick) + radio_offset));
    }
    rec.block(base, records);
    rec.write(path);
}

struct SetCase {
    const char* name;
    Bytes left, right;  // synchronisation frames
    uint32_t right_start;
    int right_radio_offset;
};

}  // namespace

// The streamed set writes the bytes of the set synchronised whole: tables of more than one of
// the writer's ranges, members starting at different ticks, each way of synchronising.
TEST_F(ReadAndSync, StreamedSetWritesTheWholeSetsBytes) {
    const SetCase cases[] = {
        {"marks", kxtest::settings18_frame(100, 0, 1000, 100, 0, 1000),
         kxtest::settings18_frame(100, 730, 1000, 100, 730, 1000), 1000, 0},
        {"radio sensor", kxtest::radio_sensor_frame(kRadioId, 1, 0, 3), kxtest::radio_sensor_frame(kRadioId, 1, 1, 3),
         1400, 2577},
        {"radio frame", kxtest::radio_frame(0, 0, 0, 4), kxtest::radio_frame(1, 100, 433, 4), 1250, 0},
    };
    for (const SetCase& c : cases) {
        const std::vector<std::string> paths = {root_ + "/a/left.bin", root_ + "/b/right.bin"};
        write_long_device(paths[0], c.left, 1000, 70000, 0);
        write_long_device(paths[1], c.right, c.right_start, 69000, c.right_radio_offset);
        ASSERT_EQ(BinReader2().readAndSync(paths, out_), "OK") << c.name;

        kx_SyncedSet whole;
        ASSERT_EQ(kx_syncRecordings(paths, &whole), kx_SourceError::none) << c.name;
        for (size_t i = 0; i < 2; ++i) {
            const std::string name = _file_basename(paths[i]);
            OutputFile file;
            ASSERT_TRUE(file.open(root_ + "/" + name + ".csv"));
            ASSERT_TRUE(_write_csv(&file, &whole.recordings[i]->config, whole.synced.maps[i]) && file.commit());
            const std::string expected = kxtest::read_file(root_ + "/" + name + ".csv");
            const size_t at = expected.find("Total data points: ") + 19;
            EXPECT_GT(std::stoul(expected.substr(at, expected.find('\n', at) - at)), 32768u) << c.name;
            EXPECT_TRUE(kxtest::read_file(out_ + "/" + name + ".csv") == expected) << c.name << ": " << name;
        }

        // A range asked again after others, later and earlier, holds the cells it held the first
        // time: going back starts from a checkpoint of the readers and the filter.
        kx_Source source, fresh, again;
        for (kx_Source* s : {&source, &fresh, &again}) ASSERT_EQ(s->open(paths, {}), kx_SourceError::none);
        const auto cells = [&](kx_Source& source, uint64_t first, uint64_t last) {
            const std::vector<TableColumn> columns = table_columns(source.member(1).layout);
            std::vector<std::vector<double>> values(columns.size(), std::vector<double>(last - first));
            std::vector<std::vector<uint8_t>> valid(columns.size(), std::vector<uint8_t>((last - first + 7) / 8));
            std::vector<void*> v;
            std::vector<uint8_t*> b;
            for (size_t k = 0; k < columns.size(); ++k) {
                v.push_back(values[k].data());
                b.push_back(valid[k].data());
            }
            std::vector<uint64_t> nulls(columns.size());
            EXPECT_TRUE(source.fill_columns(1, first, last, v.data(), b.data(), nulls.data())) << c.name;
            return std::make_pair(values, valid);
        };
        const uint64_t end = source.member(1).layout.rows;  // more than 34,000 in every case
        const auto early = cells(fresh, 1000, 1500);
        const auto later = cells(fresh, end - 1000, end - 500);
        cells(source, end - 500, end);  // past the checkpoints at rows 0 and 32768
        EXPECT_EQ(cells(source, end - 1000, end - 500), later) << c.name;
        EXPECT_EQ(cells(source, 1000, 1500), early) << c.name;
        EXPECT_EQ(cells(again, end - 1000, end - 500), later) << c.name;

        // Ranges of varying sizes, some holding fewer rows than the events read ahead for the
        // range before, give the cells of one range over the whole table, row by row (an empty
        // cell as NaN).
        kx_Source whole_range, varying;
        for (kx_Source* s : {&whole_range, &varying}) ASSERT_EQ(s->open(paths, {}), kx_SourceError::none);
        const std::vector<TableColumn> columns = table_columns(varying.member(1).layout);
        const auto rowwise = [&](const auto& range, uint64_t rows, std::vector<std::vector<double>>* out) {
            out->resize(range.first.size());
            for (size_t k = 0; k < range.first.size(); ++k) {
                const auto* single = reinterpret_cast<const float*>(range.first[k].data());
                for (uint64_t r = 0; r < rows; ++r) {
                    const double v = columns[k].single ? single[r] : range.first[k][r];
                    (*out)[k].push_back((range.second[k][r / 8] >> (r % 8)) & 1 ? v : NAN);
                }
            }
        };
        std::vector<std::vector<double>> expected, got;
        rowwise(cells(whole_range, 0, end), end, &expected);
        const uint64_t sizes[] = {40000, 3, 1, 7, 500, 64, 4099, 2};
        for (uint64_t first = 0, k = 0; first < end; ++k) {
            const uint64_t last = std::min(end, first + sizes[k % std::size(sizes)]);
            rowwise(cells(varying, first, last), last - first, &got);
            first = last;
        }
        ASSERT_EQ(got.size(), expected.size()) << c.name;
        for (size_t k = 0; k < got.size(); ++k) {
            ASSERT_EQ(got[k].size(), end) << c.name;
            size_t differ = 0;
            for (size_t r = 0; r < end; ++r) {
                const double a = got[k][r], b = expected[k][r];
                differ += !(a == b || (std::isnan(a) && std::isnan(b)));
            }
            EXPECT_EQ(differ, 0u) << c.name << ": column " << k;
        }
    }
}
