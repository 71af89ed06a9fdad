// Tests of the older reader: its frame decoding, configuration JSON and writer, CSV layout.
#include "bin_reader/bin_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "base64/base64.h"
#include "support/recording_builder.h"

using namespace kxtest;

namespace {

class BinReaderTest : public ::testing::Test {
protected:
    void SetUp() override { dir_ = temp_dir(); }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    std::string readConfig(const Bytes& header) {
        RecordingBuilder().header(header).write(path("rec.bin"));
        return BinReader().readConfig(path("rec.bin").c_str());
    }

    // Runs read() on the recording and returns the CSV lines after the three column-header
    // lines; the answer and the whole file are kept for inspection.
    std::vector<std::string> exportRows(const RecordingBuilder& rec) {
        rec.write(path("rec.bin"));
        answer_ = BinReader().read(path("rec.bin").c_str(), path("out.csv").c_str());
        csv_ = read_file(path("out.csv"));
        std::vector<std::string> lines;
        std::istringstream in(csv_);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines.size() > 7 ? std::vector<std::string>(lines.begin() + 7, lines.end())
                                : std::vector<std::string>();
    }

    std::string dir_;
    std::string answer_;
    std::string csv_;
};

// All 63 records of a block: the given ones, then the last one repeated, so that the block's
// last record (which sets the next block's continuation instant) is the last one given.
std::vector<Record> fullBlock(std::vector<Record> records) {
    while (records.size() < 63) records.push_back(records.back());
    return records;
}

constexpr int kAccelId = 1, kGyroId = 2, kBaroId = 3, kGpsId = 23;

Bytes gpsFrame(int id, int hz, int packageBytes) {
    return frame(3, 7, cat({{uint8_t(id)}, be16(hz), be16(packageBytes)}));
}

}  // namespace

TEST_F(BinReaderTest, ConfigurationAnswerFollowsThisReadersDecoding) {
    const Bytes unknown = frame(3, 9, Bytes(9, 7));
    const int32_t offsets[3] = {15000, -15000, 0};
    const int32_t gains[3] = {10000, 20000, 30000};
    struct Case {
        const char* what;
        Bytes header;
        std::string expected;
    } cases[] = {
        {"device frame alone", device_frame(1234, 2, 3),
         R"({"unknownFrames":"","deviceId":1234,"deviceType":2,"bodyLocation":3,"version":0,)"
         R"("majorVersion":0,"minorVersion":0,"radioMode":0,"radioChannel":0})"},
        {"firmware without device frame adds nothing", frame(1, 2, cat({be16(1), be16(2), be16(3)})),
         R"({"unknownFrames":""})"},
        {"4-byte firmware gives zeros, type 1/0 is known",
         cat({frame(1, 0, {}), frame(1, 2, be32(123)), device_frame(7, 0, 0), frame(1, 5, {4, 9})}),
         R"({"unknownFrames":"","deviceId":7,"deviceType":0,"bodyLocation":0,"version":0,)"
         R"("majorVersion":0,"minorVersion":0,"radioMode":4,"radioChannel":9})"},
        {"type 3/9 kept raw", cat({unknown, baro_frame(3, 25)}),
         R"({"unknownFrames":")" + base64_encode(unknown.data(), unknown.size()) +
             R"(","baro":{"frequency":25}})"},
        {"range codes: outside the table is the range itself, signed byte",
         cat({inertial_frame(2, 1, 100, 7), inertial_frame(3, 2, 50, 4)}),
         R"({"unknownFrames":"","gyro":{"frequency":50,"range":125,"offsetX":0,"offsetY":0,"offsetZ":0,)"
         R"("gainX":1,"gainY":1,"gainZ":1},"accel":{"frequency":100,"range":7,"offsetX":0,"offsetY":0,)"
         R"("offsetZ":0,"gainX":1,"gainY":1,"gainZ":1}})"},
        {"negative range code", inertial_frame(3, 2, 50, 0xFF),
         R"({"unknownFrames":"","gyro":{"frequency":50,"range":-1,"offsetX":0,"offsetY":0,"offsetZ":0,)"
         R"("gainX":1,"gainY":1,"gainZ":1}})"},
        {"scaled offsets truncate toward zero", inertial_frame(2, 1, 100, 1, offsets, gains),
         R"({"unknownFrames":"","accel":{"frequency":100,"range":16,"offsetX":1,"offsetY":-1,"offsetZ":0,)"
         R"("gainX":1,"gainY":2,"gainZ":3}})"},
        {"legacy frames: 8-bit fields, unscaled",
         cat({frame(2, 0,
                    cat({{1, 200, 8}, be32(uint32_t(-5)), be32(6), be32(7), be32(8), be32(9), be32(10)})),
              frame(2, 2, {3, 40}), gpsFrame(23, 5, 0)}),
         R"({"unknownFrames":"","accel":{"frequency":200,"range":8,"offsetX":-5,"offsetY":6,"offsetZ":7,)"
         R"("gainX":8,"gainY":9,"gainZ":10},"baro":{"frequency":40},"gps":{"frequency":5}})"},
        {"frames found after a stray byte", cat({{0x00}, frame(2, 2, {3, 40})}),
         R"({"unknownFrames":"","baro":{"frequency":40}})"},
        {"a K without X first: no frame at all", cat({{'K', 0x00}, frame(2, 2, {3, 40})}),
         R"({"unknownFrames":""})"},
    };
    for (const Case& c : cases) EXPECT_EQ(readConfig(c.header), c.expected) << c.what;
}

TEST_F(BinReaderTest, KnownFrameIsDecodedAtItsOffsetsWhateverItsLength) {
    // A base-frequency frame with no payload reads its two trailer bytes as the frequency;
    // the loop still moves on by the declared length.
    readConfig(cat({frame(3, 8, {}), frame(2, 2, {3, 40})}));
    EXPECT_EQ(bin_reader::Frequency, 0xFFFE);
    EXPECT_TRUE(bin_reader::Baro.present);
}

TEST_F(BinReaderTest, FrameLoopStaysInsideTheBlock) {
    using namespace bin_reader;
    // Exactly 512 bytes on the heap, so the sanitizer build sees any read past the block.
    struct Case {
        const char* what;
        int at;
        Bytes frame;
        bool accelPresent;
        size_t unknownBytes;
    } cases[] = {
        {"an unknown frame running past the end ends the loop", 500, frame(9, 9, Bytes(20, 1)), false, 0},
        {"a frame ending at the last byte is read", 505, frame(9, 9, {}), false, 7},
        {"a short accel frame at the end reads zeros past the block", 505, frame(3, 2, {}), true, 0},
        {"magic in the last two bytes only", 510, {'K', 'X'}, false, 0},
    };
    for (const Case& c : cases) {
        std::vector<unsigned char> block(kBlockSize, 0);
        // Unknown frames fill the block up to c.at.
        Bytes filler;
        for (int left = c.at; left > 0;) {
            const int size = left >= 107 ? 100 : left;
            filler = cat({filler, frame(3, 9, Bytes(size_t(size - 7), 0))});
            left -= size;
        }
        std::copy(filler.begin(), filler.end(), block.begin());
        const size_t n = std::min(c.frame.size(), block.size() - size_t(c.at));
        std::copy(c.frame.begin(), c.frame.begin() + long(n), block.begin() + c.at);
        reset();
        parseHeader(block.data(), kBlockSize);
        EXPECT_EQ(Accel.present, c.accelPresent) << c.what;
        EXPECT_EQ(unknownHeaderFrames.size(), filler.size() + c.unknownBytes) << c.what;
        if (c.accelPresent) {
            // Its id is the trailer's first byte; frequency 0xFE00 takes a zero past the end.
            EXPECT_EQ(Accel.id, 0xFF);
            EXPECT_EQ(Accel.frequency, 0xFE00);
        }
    }
}

TEST_F(BinReaderTest, NothingIsDecodedFromBytesNotRead) {
    EXPECT_NE(readConfig(device_frame(5, 1, 1)).find("deviceId"), std::string::npos);
    // A missing file after a readable one: reset and a cleared block give the empty state.
    EXPECT_EQ(BinReader().readConfig(path("missing.bin").c_str()), R"({"unknownFrames":""})");
    // A file cut in the middle of its only frame decodes nothing.
    const Bytes dev = device_frame(5, 1, 1);
    write_file(path("cut.bin"), Bytes(dev.begin(), dev.end() - 3));
    EXPECT_EQ(BinReader().readConfig(path("cut.bin").c_str()), R"({"unknownFrames":""})");
}

TEST_F(BinReaderTest, BaseFrequencyFallsBackToAccelerometerAndIsResetBetweenCalls) {
    const std::string out = path("out.csv");
    RecordingBuilder()
        .header(cat({base_frequency_frame(1000), inertial_frame(2, 1, 100, 0)}))
        .write(path("a.bin"));
    RecordingBuilder().header(inertial_frame(2, 1, 200, 0)).write(path("b.bin"));
    BinReader r;
    EXPECT_NE(r.read(path("a.bin").c_str(), out.c_str()).find(R"("frequency":1000,)"), std::string::npos);
    EXPECT_NE(r.read(path("b.bin").c_str(), out.c_str()).find(R"("frequency":200,)"), std::string::npos);
    r.readConfig(path("a.bin").c_str());
    r.readConfig(path("b.bin").c_str());
    EXPECT_EQ(bin_reader::Frequency, 200);
}

TEST_F(BinReaderTest, WriteConfigRoundTripsAndKeepsTheFileOnAFailedWrite) {
    const std::string target = path("cfg.bin");
    BinReader r;
    r.writeConfig(target.c_str(), "device,1234,2,3:firmware,1,2,3:accel,100,8,1,2,3,4,5,6:baro,50:radio,1,2");
    EXPECT_EQ(
        r.readConfig(target.c_str()),
        R"({"unknownFrames":"","accel":{"frequency":100,"range":8,"offsetX":1,"offsetY":2,"offsetZ":3,)"
        R"("gainX":4,"gainY":5,"gainZ":6},"baro":{"frequency":50},"deviceId":1234,"deviceType":2,)"
        R"("bodyLocation":3,"version":1,"majorVersion":2,"minorVersion":3,"radioMode":1,"radioChannel":2})");
    EXPECT_EQ(read_file(target).size(), 13u + 13u + 34u + 9u + 9u);

    // Which texts it refuses, and the bytes of raw and empty texts, are checked against the
    // newer writer in bad_inputs_test.cpp.
    // A write that fails half-way (file-size limit) leaves the previous file as it was.
    r.writeConfig(target.c_str(), "baro,1");
    EXPECT_EQ(run_with_file_size_limit(20, [&] {
                  r.writeConfig(target.c_str(), "accel,1,2,3,4,5,6,7,8");
                  return 0;
              }),
              0);
    EXPECT_EQ(read_file(target).size(), 9u);

    // An unopenable path is not reported and creates nothing; the state is still reset.
    readConfig(device_frame(1, 1, 1));
    ASSERT_TRUE(bin_reader::Config.present);
    r.writeConfig(path("no/such/dir/cfg.bin").c_str(), "device,1,2,3");
    EXPECT_FALSE(std::filesystem::exists(path("no")));
    EXPECT_FALSE(bin_reader::Config.present);
}

TEST_F(BinReaderTest, CsvHeaderAndRowsPerTickOffset) {
    RecordingBuilder rec;
    rec.header(cat({date_frame(0, 5, 4, 3, 2, 1, 2024), base_frequency_frame(100), measure_frame(0, 0x5A, 0),
                    inertial_frame(3, kGyroId, 100, 2), inertial_frame(2, kAccelId, 50, 2),
                    baro_frame(kBaroId, 25), gpsFrame(kGpsId, 1, 0)}));
    rec.block(1000,
              fullBlock({xyz_record(kAccelId, 1, 8192, -8192, 0), xyz_record(kGyroId, 1, 16384, 0, 0),
                         baro_record(kBaroId, 2, 0, 2150), baro_record(kBaroId, 3, 0xFFF000, -5),
                         xyz_record(99, 4, 1, 1, 1), byte_record(kGpsId, 5, 3, 42)}),
              0x5A);
    const std::vector<std::string> rows = exportRows(rec);

    EXPECT_EQ(csv_.substr(0, csv_.find("Time [")),
              "Korvel - Tarvex data export\nCreated on: 2024-01-02 03:04:05\n"
              "Total data points: 5" +
                  std::string(19, ' ') + "\n\n");
    EXPECT_NE(csv_.find("Time [100 hz],Gyro [100 hz],,,Accel [50 hz],,,Baro [25 hz],,GPS [1 hz],\n"
                        "Time,Gyro X,Gyro Y,Gyro Z,Accel X,Accel Y,Accel Z,Pressure,Temperature,GPS,\n"
                        "[s],[deg/s],[deg/s],[deg/s],[g],[g],[g],[mBar],[degree C],,\n"),
              std::string::npos);
    const std::vector<std::string> expected = {
        "10.01000,500.00000,0.00000,0.00000,1.00000,-1.00000,0.00000,,,,",
        "10.02000,,,,,,,1.000,21.5,,",
        "10.03000,,,,,,,-1.000,-0.1,,",
        "10.04000,,,,,,,,,,",  // a record of no configured sensor still makes a row
        "10.05000,,,,,,,,,42.00000,",
    };
    EXPECT_EQ(rows, expected);
    EXPECT_EQ(answer_,
              R"({"createdAt":"2024-01-02 03:04:05","endDate":"0000-00-00 00:00:00","frequency":100,)"
              R"("version":"0","minorVersion":"0","majorVersion":"0"})");
}

TEST_F(BinReaderTest, BlocksAcrossTheBoundary) {
    const Bytes header =
        cat({base_frequency_frame(1), measure_frame(0, 7, 0), inertial_frame(2, kAccelId, 1, 2),
             gpsFrame(kGpsId, 1, 13)});  // a package of (13 + 1) / 7 + 1 = 3 records
    auto accel = [](int offset, int16_t x) { return xyz_record(kAccelId, offset, x, 0, 0); };
    auto gps = [](int offset, uint8_t value) { return byte_record(kGpsId, offset, 3, value); };
    // 62 accelerometer records and a package's first record as the block's last one.
    std::vector<Record> openPackage(62, accel(1, 8192));
    openPackage.push_back(gps(9, 77));
    struct Case {
        const char* what;
        RecordingBuilder rec;
        std::vector<std::string> rows;  // time, accel X, Y, Z, GPS
        std::string stdoutText;
    } cases[] = {
        {"leading offset-0 records continue the previous block's last instant; a later offset 0 "
         "repeats that instant on its own row",
         RecordingBuilder()
             .header(header)
             .block(100, fullBlock({accel(0, 8192), accel(2, 8192)}), 7)
             .block(102, fullBlock({accel(0, 16384), accel(1, 8192), accel(0, 8192), accel(3, 8192)}), 7),
         {"100.00000,1.00000,0.00000,0.00000,,", "102.00000,2.00000,0.00000,0.00000,,",
          "102.00000,1.00000,0.00000,0.00000,,", "103.00000,1.00000,0.00000,0.00000,,",
          "105.00000,1.00000,0.00000,0.00000,,"},
         ""},
        {"a block whose base is elsewhere starts its own rows",
         RecordingBuilder()
             .header(header)
             .block(100, fullBlock({accel(0, 8192), accel(2, 8192)}), 7)
             .block(200, fullBlock({accel(0, 16384)}), 7),
         {"100.00000,1.00000,0.00000,0.00000,,", "102.00000,1.00000,0.00000,0.00000,,",
          "200.00000,2.00000,0.00000,0.00000,,"},
         ""},
        {"blocks with another tag are skipped and reported",
         RecordingBuilder()
             .header(header)
             .block(100, fullBlock({accel(1, 8192)}), 6)
             .block(300, fullBlock({accel(1, 8192)}), 7)
             .block(400, fullBlock({accel(1, 8192)}), 0),
         {"301.00000,1.00000,0.00000,0.00000,,"},
         "Bad sector: 6\nBad sector: 0\n"},
        {"a package split over two blocks belongs to its first record's instant",
         RecordingBuilder()
             .header(header)
             .block(100, openPackage, 7)
             .block(500, fullBlock({gps(0, 0), gps(0, 0), accel(4, 8192)}), 7),
         {"101.00000,1.00000,0.00000,0.00000,,", "109.00000,,,,77.00000,",
          "504.00000,1.00000,0.00000,0.00000,,"},
         ""},
        {"a package of one record completes at once",
         RecordingBuilder()
             .header(cat({base_frequency_frame(1), measure_frame(0, 7, 0), gpsFrame(kGpsId, 1, 5)}))
             .block(10, fullBlock({gps(3, 42)}), 7),
         {"13.00000,42.00000,"},
         ""},
    };
    for (Case& c : cases) {
        std::ostringstream captured;
        std::streambuf* old = std::cout.rdbuf(captured.rdbuf());
        const std::vector<std::string> rows = exportRows(c.rec);
        std::cout.rdbuf(old);

        EXPECT_EQ(rows, c.rows) << c.what;
        EXPECT_EQ(captured.str(), c.stdoutText) << c.what;
        EXPECT_NE(csv_.find("Total data points: " + std::to_string(rows.size()) + " "), std::string::npos)
            << c.what;
    }
}

TEST_F(BinReaderTest, TimeColumnIsSinglePrecisionAndMissingFilesAreNotReported) {
    const Bytes header = cat({base_frequency_frame(1), measure_frame(0, 0, 0)});
    EXPECT_EQ(exportRows(RecordingBuilder().header(header).block((1u << 24) + 1,
                                                                 fullBlock({xyz_record(9, 0, 0, 0, 0)}))),
              std::vector<std::string>{"16777216.00000,"});
    // No base frequency and no accelerometer to take it from: no time, rather than "inf".
    EXPECT_EQ(exportRows(RecordingBuilder()
                             .header(measure_frame(0, 0, 0))
                             .block(5, fullBlock({xyz_record(9, 1, 0, 0, 0)}))),
              std::vector<std::string>{","});

    // A missing recording still gives the header with a count of 0; an unwritable CSV path
    // still gives the answer.
    BinReader r;
    EXPECT_EQ(r.read(path("missing.bin").c_str(), path("out.csv").c_str()),
              R"({"createdAt":"0000-00-00 00:00:00","endDate":"0000-00-00 00:00:00","frequency":0,)"
              R"("version":"0","minorVersion":"0","majorVersion":"0"})");
    EXPECT_EQ(read_file(path("out.csv")),
              "Korvel - Tarvex data export\nCreated on: 0000-00-00 00:00:00\n"
              "Total data points: 0" +
                  std::string(19, ' ') + "\n\nTime [0 hz],\nTime,\n[s],\n");
    RecordingBuilder().header(header).write(path("rec.bin"));
    EXPECT_NE(r.read(path("rec.bin").c_str(), path("no/dir/out.csv").c_str()).find(R"("frequency":1,)"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(path("no")));
}

TEST_F(BinReaderTest, UnclaimedContinuationRecordsDoNotGrowWithTheFile) {
    using namespace bin_reader;
    reset();  // no position receiver: no package ever completes
    std::vector<unsigned char> block(kBlockSize, 0);
    for (int k = 0; k < kRecordsPerBlock; ++k) block[size_t(8 + 8 * k)] = kPackageRecordId;
    for (int i = 0; i < 400; ++i) {
        block[7] = uint8_t(10 * (i + 1));  // never the previous block's instant
        parseDataPackage(block.data());
    }
    EXPECT_GT(BigPackageBuf.bytes.size(), 60000u);
    EXPECT_LT(BigPackageBuf.bytes.size(), 70000u);
}
