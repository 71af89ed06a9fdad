// Data reading and the orientation stream: decoding of every sensor, ordering across blocks,
// refused files, and the quaternion computation over a recording.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "recording/recording.h"
#include "support/recording_builder.h"

using namespace kxtest;

namespace {

// Sensor identifiers used in the synthetic recordings.
constexpr int kAcc = 0x21, kGyr = 0x22, kBar = 0x23, kMag = 0x25, kEvt = 0x26, kRad = 0x27, kEv2 = 0x2B;

class TempDir {
public:
    TempDir() : path_(temp_dir()) {}
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct Decoded {
    bool ok;
    kx_Config config;
    kx_SensorMap sensors;
    kx_DecodeError error;  // the decode step's answer for the same file
    bool in_order = true;  // the scan found every stream in order
};

// The streamed read agrees with the whole decode: the scan refuses what the decode refuses,
// and for a recording in order counts every stream's samples, which the stream readers give
// back exactly, in windows of 1, 2, 3... samples, and no more.
void check_streamed(const std::string& path, const Decoded& d, bool* in_order) {
    kx_RecordingScan scan;
    ASSERT_EQ(kx_scanRecording(path.c_str(), &scan), d.error);
    *in_order = scan.inOrder;
    if (d.error != kx_DecodeError::none || !scan.inOrder) return;
    ASSERT_EQ(scan.lengths.size(), d.sensors.size());
    for (const auto& [id, whole] : d.sensors) {
        SCOPED_TRACE(id);
        ASSERT_EQ(scan.lengths.at(id), whole.length);
        kx_StreamReader reader;
        ASSERT_TRUE(reader.open(path.c_str(), id));
        kx_DataSensor window;
        size_t at = 0;
        for (size_t size = 1; at < whole.length; ++size) {
            const size_t count = std::min(size, whole.length - at);
            ASSERT_TRUE(reader.read(count, &window));
            ASSERT_EQ(window.dimension, whole.dimension);
            for (size_t i = 0; i < count; ++i) {
                EXPECT_EQ(window.time[i], whole.time[at + i]);
                for (size_t k = 0; k < whole.dimension; ++k)
                    EXPECT_EQ(window.data[k * count + i], whole.data[k * whole.length + at + i]);
            }
            at += count;
        }
        EXPECT_FALSE(reader.read(1, &window));
    }
}

Decoded read_bytes(const Bytes& bytes) {
    TempDir dir;
    const std::string path = dir.file("rec.bin");
    write_file(path, bytes);
    Decoded d;
    d.ok = kx_read<char>(&d.config, &d.sensors, path.c_str());
    kx_Recording recording;
    d.error = kx_decodeRecording(path.c_str(), &recording);
    check_streamed(path, d, &d.in_order);
    return d;
}

// Component k of sample i.
double at(const kx_DataSensor& s, size_t k, size_t i) {
    return s.data.at(k * s.length + i);
}

Bytes all_sensors_header(int base_hz) {
    const int32_t offsets[3] = {5000, 0, -10000};   // 0.5, 0, -1
    const int32_t gains[3] = {20000, 10000, 5000};  // 2, 1, 0.5
    return cat({base_frequency_frame(base_hz), inertial_frame(2, kAcc, base_hz, 0, offsets, gains),
                inertial_frame(3, kGyr, base_hz, 3), baro_frame(kBar, base_hz / 4),
                sensor_frame(10, kMag, base_hz), sensor_frame(16, kEvt, base_hz),
                radio_sensor_frame(kRad, base_hz, 1, 5), sensor_frame(22, kEv2, base_hz)});
}

TEST(DataRead, DecodesEverySensorIntoPhysicalUnits) {
    RecordingBuilder rec;
    rec.header(all_sensors_header(100));
    Record ev2 = byte_record(kEv2, 9, 7, 9);
    ev2.payload[0] = 77;  // byte 2 belongs to the first event channel only
    rec.block(1000, {xyz_record(kAcc, 1, 16384, -32768, 0), xyz_record(kGyr, 2, -16384, 32767, 1),
                     baro_record(kBar, 3, 0x001000, -1000), xyz_record(kMag, 4, -5, 7, 32767),
                     byte_record(kEvt, 5, 2, 200), radio_record(kRad, 6, -200), ev2});
    const Decoded d = read_bytes(rec.bytes());
    ASSERT_TRUE(d.ok);
    EXPECT_TRUE(d.in_order);

    struct Expect {
        int id;
        size_t dimension;
        double time;
        std::vector<double> values;
    };
    const Expect expected[] = {
        // ((raw x range / 32768) - offset) / gain with range 2 g, offsets 0.5/0/-1, gains 2/1/0.5.
        {KX_ACCEL, 3, 10.01, {(1.0 - 0.5) / 2, -2.0, (0.0 + 1.0) / 0.5}},
        // Range code 3: 2000 deg/s, unit gain.
        {KX_GYRO, 3, 10.02, {-1000.0, 32767 * 2000.0 / 32768, 2000.0 / 32768}},
        // 0x001000 / 4096 = 1 mBar; -1000 / 100 = -10 degree C (little-endian fields).
        {KX_BARO, 2, 10.03, {1.0, -10.0}},
        {KX_MAG, 3, 10.04, {-5, 7, 32767}},
        {KX_EVENT, 1, 10.05, {200}},
        // Radio ticks divided by the base frequency.
        {KX_RADIO_TIME, 1, 10.06, {-2.0}},
        {KX_EVENT2, 1, 10.09, {9}},
    };
    EXPECT_EQ(d.sensors.size(), std::size(expected));
    for (const Expect& e : expected) {
        SCOPED_TRACE(e.id);
        ASSERT_EQ(d.sensors.count(e.id), 1u);
        const kx_DataSensor& s = d.sensors.at(e.id);
        EXPECT_EQ(s.dimension, e.dimension);
        ASSERT_EQ(s.length, 1u);
        EXPECT_DOUBLE_EQ(s.time.at(0), e.time);
        for (size_t k = 0; k < e.values.size(); ++k) EXPECT_DOUBLE_EQ(at(s, k, 0), e.values[k]) << k;
    }
}

TEST(DataRead, OrdersAcrossBlocksAndKeepsTheFirstRecordAtATick) {
    RecordingBuilder rec;
    rec.header(cat({base_frequency_frame(100), inertial_frame(2, kAcc, 100, 0), baro_frame(kBar, 100)}));
    // Base tick 4294967295 plus an offset still counts upwards past 32 bits.
    rec.block(500, {xyz_record(kAcc, 10, 1, 0, 0), xyz_record(kAcc, 10, 2, 0, 0),
                    xyz_record(kAcc, 0, 3, 0, 0), baro_record(kBar, 0, 4096, 0)});
    rec.block(400, {xyz_record(kAcc, 5, 4, 0, 0), xyz_record(kAcc, 110, 5, 0, 0)});  // 510 repeats 500 + 10
    rec.block(4294967295u, {xyz_record(kAcc, 2, 6, 0, 0)});
    const Decoded d = read_bytes(rec.bytes());
    ASSERT_TRUE(d.ok);
    const kx_DataSensor& a = d.sensors.at(KX_ACCEL);
    const double scale = 2.0 / 32768;  // range 2 g
    const std::vector<double> ticks = {405, 500, 510, 4294967297.0};
    const std::vector<double> raw = {4, 3, 1, 6};  // at tick 510 the first record (1) wins over 2 and 5
    ASSERT_EQ(a.length, ticks.size());
    EXPECT_FALSE(d.in_order);  // left to the whole decode, which orders it
    for (size_t i = 0; i < ticks.size(); ++i) {
        EXPECT_DOUBLE_EQ(a.time[i], ticks[i] / 100) << i;
        EXPECT_DOUBLE_EQ(at(a, 0, i), raw[i] * scale) << i;
    }
    EXPECT_EQ(d.sensors.at(KX_BARO).length, 1u);

    // Already in order apart from a repeated tick: the repeat is still dropped.
    RecordingBuilder ordered;
    ordered.header(cat({base_frequency_frame(100), inertial_frame(2, kAcc, 100, 0)}));
    ordered.block(0,
                  {xyz_record(kAcc, 1, 1, 0, 0), xyz_record(kAcc, 2, 2, 0, 0), xyz_record(kAcc, 2, 3, 0, 0)});
    const Decoded o = read_bytes(ordered.bytes());
    ASSERT_TRUE(o.ok);
    const kx_DataSensor& oa = o.sensors.at(KX_ACCEL);
    EXPECT_FALSE(o.in_order);
    ASSERT_EQ(oa.length, 2u);
    EXPECT_DOUBLE_EQ(at(oa, 0, 1), 2 * scale);
}

TEST(DataRead, ReadsWholeDataBlocksOnlyAndNeverBlockZeroAsRecords) {
    // The base-frequency frame's trailer byte 0xFE sits at offset 8 of block 0, where a record
    // would begin; the accelerometer uses that identifier.
    const Bytes header =
        cat({base_frequency_frame(100), inertial_frame(2, 0xFE, 100, 0), inertial_frame(3, kGyr, 100, 0)});
    ASSERT_EQ(header[8], 0xFE);
    RecordingBuilder rec;
    rec.header(header);
    rec.block(0, {xyz_record(0xFE, 1, 1, 1, 1), xyz_record(kGyr, 1, 1, 1, 1)});
    Bytes bytes = rec.bytes();
    // A trailing partial block with records that must not be read.
    RecordingBuilder tail;
    tail.block(50, {xyz_record(0xFE, 0, 9, 9, 9), xyz_record(kGyr, 0, 9, 9, 9)});
    const Bytes tail_block = tail.bytes();
    bytes.insert(bytes.end(), tail_block.begin() + 512, tail_block.begin() + 512 + 300);

    const Decoded d = read_bytes(bytes);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.sensors.at(KX_ACCEL).length, 1u);
    EXPECT_EQ(d.sensors.at(KX_GYRO).length, 1u);

    // Configuration only: every present sensor gets an empty stream, absent ones none.
    const Bytes full = rec.bytes();
    const Decoded empty = read_bytes(Bytes(full.begin(), full.begin() + 512));
    ASSERT_TRUE(empty.ok);
    EXPECT_EQ(empty.sensors.size(), 2u);
    EXPECT_EQ(empty.sensors.at(KX_ACCEL).length, 0u);
    EXPECT_EQ(empty.sensors.at(KX_GYRO).length, 0u);
}

TEST(DataRead, SharedIdentifiersGoToTheFirstSensorInOrder) {
    RecordingBuilder rec;
    // Accelerometer and gyroscope share an identifier; the position receiver shares one with
    // the magnetometer and takes its records without decoding them.
    rec.header(
        cat({base_frequency_frame(100), inertial_frame(2, 0x30, 100, 0), inertial_frame(3, 0x30, 100, 0),
             frame(3, 7, cat({{0x31}, be16(100), be16(0)})), sensor_frame(10, 0x31, 100)}));
    rec.block(0, {xyz_record(0x30, 1, 1, 2, 3), xyz_record(0x31, 2, 1, 2, 3), xyz_record(0x7F, 3, 1, 2, 3)});
    const Decoded d = read_bytes(rec.bytes());
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.sensors.at(KX_ACCEL).length, 1u);
    EXPECT_EQ(d.sensors.at(KX_GYRO).length, 0u);
    EXPECT_EQ(d.sensors.at(KX_MAG).length, 0u);
}

TEST(DataRead, RefusesFilesThatAreNotWholeRecordings) {
    RecordingBuilder rec;
    rec.header(all_sensors_header(100));
    rec.block(0, {xyz_record(kAcc, 1, 1, 1, 1)});
    const Bytes good = rec.bytes();
    Bytes no_magic = good;
    for (size_t i = 0; i < 512; ++i) {
        if (no_magic[i] == 'K') no_magic[i] = 'k';
    }
    const struct {
        const char* what;
        Bytes bytes;
        kx_DecodeError error;  // what the decode step answers
    } cases[] = {
        {"empty", {}, kx_DecodeError::notARecording},
        {"one byte short of a block", Bytes(good.begin(), good.begin() + 511), kx_DecodeError::truncated},
        {"100 bytes of valid frames", Bytes(good.begin(), good.begin() + 100), kx_DecodeError::truncated},
        {"no magic", no_magic, kx_DecodeError::notARecording},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Decoded d = read_bytes(c.bytes);
        EXPECT_FALSE(d.ok);
        EXPECT_TRUE(d.sensors.empty());
        EXPECT_EQ(d.config.frequency, 0);  // the configuration is left as it was
        EXPECT_FALSE(d.config.accel.present);
        EXPECT_EQ(d.error, c.error);
    }
    kx_Config config;
    kx_SensorMap sensors;
    kx_Recording recording;
    EXPECT_FALSE(kx_read<char>(&config, &sensors, "/nonexistent/recording.bin"));
    EXPECT_EQ(kx_decodeRecording("/nonexistent/recording.bin", &recording), kx_DecodeError::missing);
    EXPECT_EQ(kx_decodeConfig("/nonexistent/recording.bin", &config), kx_DecodeError::missing);
    TempDir dir;
    EXPECT_FALSE(kx_read<char>(&config, &sensors, dir.file("").c_str()));  // a directory
    EXPECT_EQ(kx_decodeRecording(dir.file("").c_str(), &recording), kx_DecodeError::unreadable);
    EXPECT_EQ(kx_decodeConfig(dir.file("").c_str(), &config), kx_DecodeError::unreadable);
    EXPECT_TRUE(sensors.empty());
    EXPECT_TRUE(recording.sensors.empty());

    // The whole recording decodes; without gyroscope samples it has no orientation stream.
    const std::string path = dir.file("good.bin");
    write_file(path, good);
    kx_Recording whole;
    EXPECT_EQ(kx_decodeRecording(path.c_str(), &whole), kx_DecodeError::none);
    EXPECT_EQ(whole.config.frequency, 100);
    EXPECT_EQ(whole.sensors.at(KX_ACCEL).length, 1u);
    EXPECT_FALSE(whole.hasQuaternions);
    EXPECT_EQ(whole.sensors.count(KX_QUATERNION), 0u);
}

// ---- Orientation stream ----

constexpr double kPi = 3.14159265358979323846;

// An accelerometer/gyroscope map of its own lengths; acc and gyro give sample i's values.
template <typename Acc, typename Gyro>
kx_SensorMap inertial_map(size_t n_acc, size_t n_gyro, int hz, Acc acc, Gyro gyro) {
    kx_SensorMap m;
    kx_DataSensor a(3, n_acc), g(3, n_gyro);
    for (size_t i = 0; i < n_acc; ++i) {
        a.time[i] = (i + 1.0) / hz;
        const auto v = acc(i);
        for (size_t k = 0; k < 3; ++k) a.data[k * n_acc + i] = v[k];
    }
    for (size_t i = 0; i < n_gyro; ++i) {
        g.time[i] = (i + 1.0) / hz;
        const auto v = gyro(i);
        for (size_t k = 0; k < 3; ++k) g.data[k * n_gyro + i] = v[k];
    }
    m[KX_ACCEL] = a;
    m[KX_GYRO] = g;
    return m;
}

kx_Config inertial_config(int acc_hz, int gyro_hz) {
    kx_Config c;
    c.frequency = acc_hz;
    c.accel.present = c.gyro.present = true;
    c.accel.frequency = acc_hz;
    c.gyro.frequency = gyro_hz;
    return c;
}

using Vec = std::vector<double>;
const auto kGravityZ = [](size_t) { return Vec{0, 0, 1}; };
const auto kStill = [](size_t) { return Vec{0, 0, 0}; };

double norm4(const kx_DataSensor& q, size_t i) {
    double s = 0;
    for (size_t k = 0; k < 4; ++k) s += at(q, k, i) * at(q, k, i);
    return std::sqrt(s);
}

TEST(Quaternion, RefusesInputsItCannotUseAndLeavesTheMapAlone) {
    struct Case {
        const char* what;
        int acc_hz, gyro_hz;
        size_t n_acc, n_gyro;
        int drop;  // identifier removed from the map, 0 for none
        size_t gyro_dimension;
    };
    const Case cases[] = {
        {"rates differ", 100, 50, 20, 20, 0, 3},
        {"no accelerometer", 100, 100, 20, 20, KX_ACCEL, 3},
        {"no gyroscope", 100, 100, 20, 20, KX_GYRO, 3},
        {"no common sample", 100, 100, 20, 0, 0, 3},
        {"gyroscope of another dimension", 100, 100, 20, 20, 0, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kx_SensorMap m = inertial_map(c.n_acc, c.n_gyro, c.acc_hz, kGravityZ, kStill);
        if (c.drop) m.erase(c.drop);
        if (c.gyro_dimension != 3) m[KX_GYRO].dimension = c.gyro_dimension;
        const size_t before = m.size();
        const kx_Config config = inertial_config(c.acc_hz, c.gyro_hz);
        EXPECT_FALSE(kx_computeQuaternion(&config, &m));
        EXPECT_EQ(m.size(), before);
        EXPECT_EQ(m.count(KX_QUATERNION), 0u);
    }
    kx_SensorMap m = inertial_map(5, 5, 100, kGravityZ, kStill);
    const kx_Config config = inertial_config(100, 100);
    EXPECT_FALSE(kx_computeQuaternion(nullptr, &m));
    EXPECT_FALSE(kx_computeQuaternion(&config, nullptr));
}

TEST(Quaternion, CoversEveryCommonSampleTheLastIncluded) {
    kx_SensorMap m = inertial_map(100, 98, 100, kGravityZ, kStill);
    // A stale orientation stream of another size is replaced, not written into.
    m[KX_QUATERNION] = kx_DataSensor(2, 3);
    // The magnetometer is not an input.
    kx_DataSensor mag(3, 100);
    for (double& v : mag.data) v = 1000;
    m[KX_MAG] = mag;
    const kx_Config config = inertial_config(100, 100);
    ASSERT_TRUE(kx_computeQuaternion(&config, &m));
    const kx_DataSensor& q = m.at(KX_QUATERNION);
    EXPECT_EQ(q.dimension, 4u);
    ASSERT_EQ(q.length, 98u);
    ASSERT_EQ(q.data.size(), 4u * 98);
    for (size_t i = 0; i < 98; ++i) EXPECT_EQ(q.time[i], m.at(KX_ACCEL).time[i]);
    // Still from the start: the tracker waits for five still samples, then every sample,
    // the last one included, carries a unit quaternion.
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(norm4(q, i), 0.0) << i;
    for (size_t i = 4; i < 98; ++i) EXPECT_NEAR(norm4(q, i), 1.0, 1e-5) << i;

    m.erase(KX_MAG);
    kx_SensorMap again = inertial_map(100, 98, 100, kGravityZ, kStill);
    ASSERT_TRUE(kx_computeQuaternion(&config, &again));
    EXPECT_EQ(again.at(KX_QUATERNION).data, q.data);

    // A single common sample cannot complete a still start: one zero quaternion.
    kx_SensorMap one = inertial_map(1, 1, 100, kGravityZ, kStill);
    ASSERT_TRUE(kx_computeQuaternion(&config, &one));
    EXPECT_EQ(one.at(KX_QUATERNION).data, std::vector<double>(4, 0.0));
}

TEST(Quaternion, NeverStillGivesOnlyZeros) {
    kx_SensorMap m = inertial_map(50, 50, 100, kGravityZ, [](size_t) { return Vec{0, 0, 20}; });
    const kx_Config config = inertial_config(100, 100);
    ASSERT_TRUE(kx_computeQuaternion(&config, &m));
    for (double v : m.at(KX_QUATERNION).data) EXPECT_EQ(v, 0.0);
}

// Rodrigues: v rotated by angle (rad) about the unit axis u.
Vec rotate(const Vec& v, const Vec& u, double angle) {
    const double c = std::cos(angle), s = std::sin(angle);
    const double d = u[0] * v[0] + u[1] * v[1] + u[2] * v[2];
    const Vec x = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
    Vec out(3);
    for (int k = 0; k < 3; ++k) out[k] = v[k] * c + x[k] * s + u[k] * d * (1 - c);
    return out;
}

TEST(Quaternion, FollowsARotationAboutATiltedAxis) {
    // Still for 0.2 s, then 90 deg/s about the axis u = (1, 2, 2) / 3 for one second at 100 Hz,
    // then still again; the accelerometer sees gravity turn the other way. The two streams have
    // different lengths, so a mix-up of their layouts shows. Expected: the orientation at the
    // end differs from the start by 90 degrees about u.
    const int hz = 100;
    const size_t n_acc = 160, n_gyro = 150;
    const Vec u = {1.0 / 3, 2.0 / 3, 2.0 / 3};
    const auto turned = [](size_t i) { return i < 20 ? 0.0 : i >= 120 ? 90.0 : 90.0 * (i - 20) / hz; };
    const auto acc = [&](size_t i) { return rotate({0, 0, 1}, u, -turned(i) * kPi / 180); };
    const auto gyro = [&](size_t i) {
        const double rate = (i >= 20 && i < 120) ? 90.0 : 0.0;
        return Vec{rate * u[0], rate * u[1], rate * u[2]};
    };
    kx_SensorMap m = inertial_map(n_acc, n_gyro, hz, acc, gyro);
    const kx_Config config = inertial_config(hz, hz);
    ASSERT_TRUE(kx_computeQuaternion(&config, &m));
    const kx_DataSensor& q = m.at(KX_QUATERNION);
    ASSERT_EQ(q.length, n_gyro);
    // Relative rotation r = conj(q0) * q1 (Hamilton product), q0 after the still start.
    const size_t i0 = 10, i1 = n_gyro - 1;
    const double a[4] = {at(q, 0, i0), -at(q, 1, i0), -at(q, 2, i0), -at(q, 3, i0)};
    const double b[4] = {at(q, 0, i1), at(q, 1, i1), at(q, 2, i1), at(q, 3, i1)};
    const double r[4] = {
        a[0] * b[0] - a[1] * b[1] - a[2] * b[2] - a[3] * b[3],
        a[0] * b[1] + a[1] * b[0] + a[2] * b[3] - a[3] * b[2],
        a[0] * b[2] - a[1] * b[3] + a[2] * b[0] + a[3] * b[1],
        a[0] * b[3] + a[1] * b[2] - a[2] * b[1] + a[3] * b[0],
    };
    const double vec = std::sqrt(r[1] * r[1] + r[2] * r[2] + r[3] * r[3]);
    const double angle_deg = 2 * std::atan2(vec, std::fabs(r[0])) * 180 / kPi;
    EXPECT_NEAR(angle_deg, 90.0, 2.0);
    ASSERT_GT(vec, 0.0);
    const double along_u = std::fabs(r[1] * u[0] + r[2] * u[1] + r[3] * u[2]) / vec;
    EXPECT_NEAR(along_u, 1.0, 1e-3);
}

}  // namespace
