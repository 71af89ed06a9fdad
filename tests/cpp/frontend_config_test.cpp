// Configuration answers and configuration writing, through files on disk.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base64/base64.h"
#include "common/text.h"
#include "frontend/binreader2.h"
#include "support/recording_builder.h"

using namespace kxtest;

namespace {

class FrontendFiles : public ::testing::Test {
protected:
    void SetUp() override { dir_ = temp_dir(); }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        DIR* d = opendir(dir_.c_str());
        while (dirent* e = readdir(d)) {
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
        }
        closedir(d);
        return names;
    }
    std::string dir_;
    BinReader2 reader_;
};

TEST(DateText, TwoDigitFieldsAndPlainYear) {
    const struct {
        kx_Config::DateStruct d;
        const char* text;
    } cases[] = {
        {{5, 4, 3, 2, 1, 0}, "0000-01-02 03:04:05"},
        {{58, 59, 23, 31, 12, 2025}, "2025-12-31 23:59:58"},
        {{0, 0, 0, 1, 1, 123}, "123-01-01 00:00:00"},
        {{-1, 10, 9, 0, 0, 5}, "5-00-00 09:10:0-1"},
    };
    for (const auto& c : cases) EXPECT_EQ(_date_to_string(c.d), c.text);
}

TEST(TextFields, SplitAndNumberFields) {
    const struct {
        std::string text;
        std::vector<std::string> pieces;
    } splits[] = {
        {"", {}}, {"a", {"a"}}, {"a:", {"a"}}, {":", {""}}, {"::b", {"", "", "b"}}, {"a::b:", {"a", "", "b"}},
    };
    for (const auto& s : splits) {
        std::vector<std::string> out = {"kept"};
        _split(s.text, ':', out);
        std::vector<std::string> expected = {"kept"};
        expected.insert(expected.end(), s.pieces.begin(), s.pieces.end());
        EXPECT_EQ(out, expected) << s.text;
    }

    const struct {
        const char* field;
        bool ok;
        int32_t value;
    } numbers[] = {
        {"42", true, 42},
        {"  -7", true, -7},
        {"+8x", true, 8},
        {"12abc", true, 12},
        {"", false, 0},
        {"abc", false, 0},
        {"-", false, 0},
        {" + 1", false, 0},
        {"2147483647", true, INT32_MAX},
        {"-2147483648", true, INT32_MIN},
        {"2147483648", false, 0},
        {"99999999999999999999", false, 0},
    };
    for (const auto& n : numbers) {
        int32_t v = 0;
        EXPECT_EQ(_parse_number_field(n.field, &v), n.ok) << n.field;
        if (n.ok) {
            EXPECT_EQ(v, n.value) << n.field;
        }
    }
}

TEST_F(FrontendFiles, ReadConfigAnswersInMemberOrder) {
    const int32_t offsets[3] = {5000, -5000, -15000};
    const int32_t gains[3] = {9999, 10000, 123456};
    const Bytes unknown = frame(3, 5, {});  // 7 bytes
    RecordingBuilder()
        .header(cat({unknown, inertial_frame(3, 0x14, 100, 1, offsets, gains), inertial_frame(2, 0x13, 50, 0),
                     baro_frame(0x15, 25), frame(3, 7, cat({{9}, be16(5), be16(21)})), device_frame(77, 4, 5),
                     frame(1, 2, be32(123)), frame(1, 5, {0, 3}), date_frame(0, 5, 4, 3, 2, 1, 2024),
                     base_frequency_frame(100), measure_id_frame(12)}))
        .write(path("rec.bin"));
    EXPECT_EQ(reader_.readConfig(path("rec.bin").c_str()),
              "{\"unknownFrames\":\"S1gDBQD//g==\","
              "\"gyro\":{\"frequency\":100,\"range\":500,\"offsetX\":0,\"offsetY\":0,\"offsetZ\":-1,"
              "\"gainX\":0,\"gainY\":1,\"gainZ\":12},"
              "\"accel\":{\"frequency\":50,\"range\":2,\"offsetX\":0,\"offsetY\":0,\"offsetZ\":0,"
              "\"gainX\":1,\"gainY\":1,\"gainZ\":1},"
              "\"baro\":{\"frequency\":25},\"gps\":{\"frequency\":5},"
              "\"deviceId\":77,\"deviceType\":4,\"bodyLocation\":5,\"version\":1,\"majorVersion\":2,"
              "\"minorVersion\":3,\"radioMode\":0,\"radioChannel\":3,"
              "\"createdAt\":\"2024-01-02 03:04:05\",\"endDate\":\"0000-00-00 00:00:00\","
              "\"frequency\":100,\"measureId\":12}");
    EXPECT_EQ(reader_.readConfigDeviceId(path("rec.bin").c_str()), "{\"deviceId\":77}");
}

TEST_F(FrontendFiles, ConfigAnswersWithoutDeviceAndForNonRecordings) {
    RecordingBuilder().header(base_frequency_frame(10)).write(path("plain.bin"));
    EXPECT_EQ(reader_.readConfig(path("plain.bin").c_str()),
              "{\"unknownFrames\":\"\",\"createdAt\":\"0000-00-00 00:00:00\","
              "\"endDate\":\"0000-00-00 00:00:00\",\"frequency\":10,\"measureId\":-1}");
    EXPECT_EQ(reader_.readConfigDeviceId(path("plain.bin").c_str()), "{\"deviceId\":-1}");

    write_file(path("zeros.bin"), Bytes(1024, 0));
    for (const std::string& p : {path("zeros.bin"), path("missing.bin"), dir_}) {
        EXPECT_EQ(reader_.readConfig(p.c_str()), "") << p;
        EXPECT_EQ(reader_.readConfigDeviceId(p.c_str()), "") << p;
    }
}

TEST_F(FrontendFiles, WriteConfigFrameBytes) {
    const struct {
        const char* text;
        Bytes file;
    } cases[] = {
        {"", {}},
        {"device,1234,2,3", frame(1, 1, {0, 0, 0x04, 0xD2, 2, 3})},
        {"baro,100", frame(2, 2, {0x15, 0x64})},
        {"baro,300", frame(2, 2, {0x15, 0x2C})},  // only the low byte is kept
        {"radio, 1,2x", frame(1, 5, {1, 2})},
        {"firmware,-1,2,3", frame(1, 2, {0xFF, 0xFF, 0, 2, 0, 3})},
        {"accel,100,8,-1,0,1,2,3,4",
         frame(2, 0, cat({{0x13, 100, 8}, be32(0xFFFFFFFF), be32(0), be32(1), be32(2), be32(3), be32(4)}))},
        {"gyro,1,2,3,4,5,6,7,8,extra",
         frame(2, 1, cat({{0x14, 1, 2}, be32(3), be32(4), be32(5), be32(6), be32(7), be32(8)}))},
        // Order of the text, repeated keys twice, unknown keys and empty sections skipped.
        {"radio,1,1:Radio,5,5:baro,1::radio,2,2:",
         cat({frame(1, 5, {1, 1}), frame(2, 2, {0x15, 1}), frame(1, 5, {2, 2})})},
        {":", {}},
        {"unknownFrames,", {}},
        {"unknownFrames,AQID", {1, 2, 3}},
        {"unknownFrames,=AQID", {}},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(reader_.writeConfig(path("cfg.bin").c_str(), c.text)) << c.text;
        const std::string got = read_file(path("cfg.bin"));
        EXPECT_EQ(Bytes(got.begin(), got.end()), c.file) << c.text;
    }
    EXPECT_EQ(entries(), std::vector<std::string>{"cfg.bin"});  // no temporary file left
}

TEST_F(FrontendFiles, MalformedTextKeepsTheOldFile) {
    const std::string target = path("keep.bin");
    write_file(target, {'o', 'l', 'd'});
    const std::string too_many(512 / 13 + 1, 'x');
    std::string overflow;
    for (size_t i = 0; i < too_many.size(); ++i) overflow += "device,1,2,3:";
    const Bytes fill(510, 0);
    const std::string unknown_overflow =
        "unknownFrames," + base64_encode(fill.data(), static_cast<unsigned>(fill.size())) + ":baro,1";
    for (const std::string& text : std::vector<std::string>{
             "device,1,2", "accel,1,2,3,4,5,6,7", "baro", "baro,", "baro,abc", "radio,1,-",
             "device,2147483648,1,1", "device,-2147483649,1,1", overflow, unknown_overflow}) {
        EXPECT_FALSE(reader_.writeConfig(target.c_str(), text.c_str())) << text;
        EXPECT_EQ(read_file(target), "old") << text;
    }
    EXPECT_EQ(entries(), std::vector<std::string>{"keep.bin"});
}

TEST_F(FrontendFiles, FailedOpenOrWriteIsReported) {
    EXPECT_FALSE(reader_.writeConfig(path("no/such/dir.bin").c_str(), "baro,1"));
    EXPECT_FALSE(reader_.writeConfig(dir_.c_str(), "baro,1"));
    // A device is written in place, and a full one reports the failure.
    EXPECT_FALSE(reader_.writeConfig("/dev/full", "baro,1"));
    EXPECT_TRUE(reader_.writeConfig("/dev/null", "baro,1"));
}

TEST_F(FrontendFiles, WriteFailingHalfWayKeepsTheOldFile) {
    const std::string target = path("cfg.bin");
    ASSERT_TRUE(reader_.writeConfig(target.c_str(), "baro,1"));
    // 20 bytes may be written; the 34-byte frame cannot be.
    EXPECT_EQ(run_with_file_size_limit(
                  20, [&] { return reader_.writeConfig(target.c_str(), "accel,1,2,3,4,5,6,7,8") ? 1 : 2; }),
              2);
    EXPECT_EQ(read_file(target).size(), 9u);
    EXPECT_EQ(entries(), std::vector<std::string>{"cfg.bin"});
}

TEST_F(FrontendFiles, ReplacingKeepsPermissions) {
    const std::string target = path("mode.bin");
    write_file(target, {1});
    chmod(target.c_str(), 0640);
    // Under this mask a file made afresh would be 0600, so only a copied mode gives 0640.
    const mode_t mask = umask(077);
    const bool written = reader_.writeConfig(target.c_str(), "baro,1");
    umask(mask);
    ASSERT_TRUE(written);
    struct stat st;
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(FrontendFiles, WrittenConfigurationReadsBack) {
    const Bytes unknown = cat({frame(3, 5, {1, 2, 3}), frame(3, 99, {})});
    const std::string text =
        "accel,100,16,-2,3,4,5,6,7:gyro,200,250,0,0,0,1,1,1:baro,25:device,-5,300,2:"
        "firmware,-1,2,70000:radio,0,7:unknownFrames," +
        base64_encode(unknown.data(), static_cast<unsigned>(unknown.size()));
    ASSERT_TRUE(reader_.writeConfig(path("rt.bin").c_str(), text.c_str()));
    EXPECT_EQ(reader_.readConfig(path("rt.bin").c_str()),
              "{\"unknownFrames\":\"" + base64_encode(unknown.data(), static_cast<unsigned>(unknown.size())) +
                  "\",\"gyro\":{\"frequency\":200,\"range\":250,\"offsetX\":0,\"offsetY\":0,\"offsetZ\":0,"
                  "\"gainX\":1,\"gainY\":1,\"gainZ\":1},"
                  "\"accel\":{\"frequency\":100,\"range\":16,\"offsetX\":-2,\"offsetY\":3,\"offsetZ\":4,"
                  "\"gainX\":5,\"gainY\":6,\"gainZ\":7},\"baro\":{\"frequency\":25},"
                  "\"deviceId\":-5,\"deviceType\":44,\"bodyLocation\":2,\"version\":65535,\"majorVersion\":2,"
                  "\"minorVersion\":4464,\"radioMode\":0,\"radioChannel\":7,"
                  "\"createdAt\":\"0000-00-00 00:00:00\",\"endDate\":\"0000-00-00 00:00:00\","
                  "\"frequency\":0,\"measureId\":-1}");
}

}  // namespace
