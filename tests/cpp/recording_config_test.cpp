// Configuration block decoding: frame scan, every frame kind, malformed and unknown frames,
// down to the members the JSON answers leave out. The answers themselves, and the files that
// are no recording, are checked through JavaScript (tests/js/config.test.js).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "recording/recording.h"
#include "support/recording_builder.h"

using namespace kxtest;

namespace {

// Block 0 holding `bytes` at `offset`, zero elsewhere.
Bytes block_with(const Bytes& bytes, size_t offset = 0) {
    Bytes b(512, 0);
    for (size_t i = 0; i < bytes.size() && offset + i < 512; ++i) b[offset + i] = bytes[i];
    return b;
}

kx_Config decode(const Bytes& block, bool expect = true) {
    kx_Config c;
    EXPECT_EQ(_readConfig(&c, block.data()), expect);
    return c;
}

TEST(ConfigScan, FindsTheMagicUpToOffset507Only) {
    // A stray leading byte.
    EXPECT_EQ(decode(block_with(base_frequency_frame(100), 1)).frequency, 100);
    // Magic at 507 (second byte at 508) is found; the frame then runs past the block and
    // ends the sequence without being decoded or stored.
    const kx_Config at507 = decode(block_with(base_frequency_frame(100), 507));
    EXPECT_EQ(at507.frequency, 0);
    EXPECT_TRUE(at507.unknownFrames.empty());
    decode(block_with({'K', 'X'}, 508), false);
    decode(block_with({'K', 'X'}, 510), false);
    decode(Bytes(512, 0), false);
}

TEST(ConfigScan, FrameRunningPastTheBlockEndsTheScan) {
    // An unknown frame declaring 255 payload bytes that would end at byte 512 + 1.
    Bytes b = block_with(base_frequency_frame(50));
    const size_t p = 512 - 255 - 6;
    const Bytes long_frame = frame(9, 9, Bytes(255, 0xAA));
    for (size_t i = 0; i + p < 512; ++i) b[p + i] = long_frame[i];
    // Link the two frames: fill the gap with one unknown frame of the right length.
    const size_t gap = p - base_frequency_frame(50).size();
    const Bytes filler = frame(9, 8, Bytes(gap - 7, 0x11));
    for (size_t i = 0; i < filler.size(); ++i) b[base_frequency_frame(50).size() + i] = filler[i];
    const kx_Config c = decode(b);
    EXPECT_EQ(c.frequency, 50);
    EXPECT_EQ(c.unknownFrames, filler);  // the overlong frame is not stored

    // Exactly fitting: frames ending at byte 512 are decoded.
    const Bytes fit = cat({frame(9, 7, Bytes(244, 0)), frame(9, 9, Bytes(254, 0x22))});
    ASSERT_EQ(fit.size(), 512u);
    EXPECT_EQ(decode(fit).unknownFrames, fit);
}

TEST(ConfigScan, FrameKindsAndMinimumLengths) {
    // Zero-length payloads of every known kind are malformed; unknown kinds are kept.
    struct Kind {
        int type, subtype;
        bool known;
    };
    const Kind kinds[] = {{1, 1, true},   {1, 2, true},  {1, 5, true}, {1, 0, false}, {1, 3, false},
                          {2, 0, true},   {2, 1, true},  {2, 2, true}, {2, 3, false}, {3, 5, false},
                          {3, 23, false}, {4, 0, false}, {0, 0, false}};
    for (const Kind& k : kinds) {
        const kx_Config c = decode(block_with(frame(k.type, k.subtype, {})));
        EXPECT_EQ(c.frameError, k.known) << k.type << "/" << k.subtype;
        EXPECT_EQ(c.unknownFrames.empty(), k.known) << k.type << "/" << k.subtype;
    }
    for (int sub = 0; sub <= 22; ++sub) {
        if (sub == 5) continue;
        const kx_Config c = decode(block_with(frame(3, sub, {})));
        EXPECT_TRUE(c.frameError) << sub;
        EXPECT_TRUE(c.unknownFrames.empty()) << sub;
    }
    // One byte short of the current accelerometer frame: flagged, nothing kept.
    Bytes accel = inertial_frame(2, 7, 100, 0);
    Bytes shortened(accel.begin() + 5, accel.begin() + 5 + 29);
    const kx_Config c = decode(block_with(frame(3, 2, shortened)));
    EXPECT_TRUE(c.frameError);
    EXPECT_FALSE(c.accel.present);
}

TEST(ConfigFrames, InertialFramesBothGenerations) {
    const int32_t offsets[3] = {15000, -5000, 0};
    const int32_t gains[3] = {10000, 20000, -10000};
    const kx_Config c = decode(block_with(
        cat({inertial_frame(2, 0x13, 400, 7, offsets, gains, 513), inertial_frame(3, 0x14, 200, 4)})));
    EXPECT_TRUE(c.accel.present);
    EXPECT_EQ(c.accel.id, 0x13);
    EXPECT_EQ(c.accel.frequency, 400);
    EXPECT_EQ(c.accel.range, 4);  // code 7 takes the default
    EXPECT_DOUBLE_EQ(c.accel.offsetX, 1.5);
    EXPECT_DOUBLE_EQ(c.accel.offsetY, -0.5);
    EXPECT_DOUBLE_EQ(c.accel.gainY, 2.0);
    EXPECT_DOUBLE_EQ(c.accel.gainZ, -1.0);
    EXPECT_EQ(c.accel.param, 513);
    EXPECT_EQ(c.gyro.range, 125);

    const int accel_ranges[] = {2, 16, 4, 8, 4, 4};
    const int gyro_ranges[] = {245, 500, 1000, 2000, 125, 1000};
    const int codes[] = {0, 1, 2, 3, 4, 0xFF};
    for (int i = 0; i < 6; ++i) {
        const kx_Config r =
            decode(block_with(cat({inertial_frame(2, 1, 1, codes[i]), inertial_frame(3, 2, 1, codes[i])})));
        EXPECT_EQ(r.accel.range, accel_ranges[i]) << codes[i];
        EXPECT_EQ(r.gyro.range, gyro_ranges[i]) << codes[i];
    }

    // Legacy form: 8-bit frequency, range as given, unscaled offsets and gains.
    Bytes legacy = {0x21, 100, 8};
    for (int32_t v : {-3, 4, 5, 6, 7, 8}) legacy = cat({legacy, be32(uint32_t(v))});
    const kx_Config l = decode(block_with(frame(2, 1, legacy)));
    EXPECT_TRUE(l.gyro.present);
    EXPECT_EQ(l.gyro.id, 0x21);
    EXPECT_EQ(l.gyro.frequency, 100);
    EXPECT_EQ(l.gyro.range, 8);
    EXPECT_DOUBLE_EQ(l.gyro.offsetX, -3.0);
    EXPECT_DOUBLE_EQ(l.gyro.gainZ, 8.0);
}

TEST(ConfigFrames, FirmwareAndPositionReceiverForms) {
    const struct {
        Bytes payload;
        int v, ma, mi;
        bool error;
    } firmware[] = {
        {cat({be16(1), be16(2), be16(65535)}), 1, 2, 65535, false},
        {be32(123), 1, 2, 3, false},
        {be32(1000), 0, 0, 0, false},
        {be32(uint32_t(-123)), -1, -2, -3, false},
        {Bytes(5, 0), 0, 0, 0, true},
        {Bytes(7, 0), 0, 0, 0, true},
    };
    for (const auto& f : firmware) {
        const kx_Config c = decode(block_with(frame(1, 2, f.payload)));
        EXPECT_EQ(c.frameError, f.error);
        EXPECT_EQ(c.hasDeviceInfo, !f.error);
        EXPECT_EQ(c.version, f.v);
        EXPECT_EQ(c.majorVersion, f.ma);
        EXPECT_EQ(c.minorVersion, f.mi);
    }

    const struct {
        Bytes payload;
        int frequency, param, param2;
        bool present;
    } gps[] = {
        {cat({{9}, be32(10), {4}, be16(300)}), 100, 4, 300, true},
        {cat({{9}, be32(16), {4}, be16(300)}), 62, 4, 300, true},
        {cat({{9}, be32(0), {4}, be16(300)}), 0, 4, 300, true},
        {cat({{9}, be16(5), be16(21)}), 5, 0, 21, true},
        {Bytes(6, 1), 0, 0, 0, false},
    };
    for (const auto& g : gps) {
        const kx_Config c = decode(block_with(frame(3, 7, g.payload)));
        EXPECT_EQ(c.gps.present, g.present);
        EXPECT_EQ(c.gps.frequency, g.frequency);
        EXPECT_EQ(c.gps.param, g.param);
        EXPECT_EQ(c.gps.param2, g.param2);
    }
}

TEST(ConfigFrames, RadioTimeMarksChannelsAndDates) {
    const kx_Config c = decode(block_with(cat({
        frame(1, 5, {3, 4}),
        radio_frame(1, 0xFFFFFFF0u, 16, 9),
        radio_sensor_frame(0x30, 50, 0, 11),
        settings18_frame(12, 345, 1000, 14, 999, 0x80000000u),
        date_frame(0, 5, 4, 3, 2, 1, 2024),
        date_frame(6, 59, 59, 23, 31, 12, 2025),
        sensor_frame(10, 0x40, 25),
        sensor_frame(16, 0x41, 1),
        sensor_frame(22, 0x42, 2),
        frame(3, 11, be32(7)),
        measure_frame(258, 0xAB, 9),
    })));
    EXPECT_EQ(c.radioMode, 1);  // the later radio frame wins
    EXPECT_EQ(c.radioChannel, 9);
    EXPECT_EQ(c.radioValue1, 0xFFFFFFF0u);
    EXPECT_EQ(c.radioValue2, 16u);
    EXPECT_TRUE(c.radioSensor.present);
    EXPECT_EQ(c.radioSensor.mode, 0);
    EXPECT_EQ(c.radioSensor.channel, 11);
    EXPECT_TRUE(c.settings18.present);
    EXPECT_EQ(c.settings18.value5, 12);
    EXPECT_EQ(c.settings18.value6, 345);
    EXPECT_EQ(c.settings18.value7, 1000);
    EXPECT_EQ(c.settings18.value12, INT32_MIN);
    EXPECT_EQ(c.createdAt.year, 2024);
    EXPECT_EQ(c.createdAt.second, 5);
    EXPECT_EQ(c.endDate.month, 12);
    EXPECT_TRUE(c.mag.present);
    EXPECT_EQ(c.mag.frequency, 25);
    EXPECT_EQ(c.event.id, 0x41);
    EXPECT_EQ(c.event2.frequency, 2);
    EXPECT_EQ(c.accel.extra, 7);
    EXPECT_FALSE(c.accel.present);  // extra frames do not make a sensor present
    EXPECT_EQ(c.measureParam1, 258);
    EXPECT_EQ(c.measureParam2, 0xAB);
}

}  // namespace
