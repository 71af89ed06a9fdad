// Tests of kx_sync: the three methods, the common window, the refusals and the event cut.
#include "sync/sync.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace {

// Component c of sample i holds 1000 c + i, so a value tells which source sample it is.
kx_DataSensor stream(size_t dimension, size_t length, double rate_hz, double t0_s) {
    kx_DataSensor s(dimension, length);
    for (size_t i = 0; i < length; ++i) {
        s.time[i] = t0_s + static_cast<double>(i) / rate_hz;
        for (size_t c = 0; c < dimension; ++c) s.data[c * length + i] = 1000.0 * c + i;
    }
    return s;
}

kx_DataSensor events(const std::vector<double>& times_s) {
    kx_DataSensor s(1, times_s.size());
    for (size_t i = 0; i < times_s.size(); ++i) {
        s.time[i] = times_s[i];
        s.data[i] = 1.0 + i;
    }
    return s;
}

// One device: accelerometer, gyroscope and quaternions at 4 Hz (40 samples), barometer at
// 2 Hz (20 samples), all from t = 0; plus the streams that are never carried.
struct Device {
    kx_Config config;
    kx_SensorMap map;
};

std::vector<Device> devices(size_t n) {
    std::vector<Device> d(n);
    for (Device& dev : d) {
        dev.config.frequency = 100;
        dev.config.accel.frequency = 4;
        dev.config.gyro.frequency = 4;
        dev.config.baro.frequency = 2;
        dev.config.radioMode = 1;
        dev.config.radioChannel = 7;
        dev.config.radioSensor.channel = 5;
        dev.map[KX_ACCEL] = stream(3, 40, 4.0, 0.0);
        dev.map[KX_GYRO] = stream(3, 40, 4.0, 0.0);
        dev.map[KX_QUATERNION] = stream(4, 40, 4.0, 0.0);
        dev.map[KX_BARO] = stream(2, 20, 2.0, 0.0);
        dev.map[KX_MAG] = stream(3, 40, 4.0, 0.0);
        dev.map[KX_EVENT2] = events({1.0, 2.0});
    }
    return d;
}

void set_marks(kx_Config& c, int s1, int ms1, int tick1, int s2, int ms2, int tick2) {
    c.settings18.present = true;
    c.settings18.value5 = s1;
    c.settings18.value6 = ms1;
    c.settings18.value7 = tick1;
    c.settings18.value10 = s2;
    c.settings18.value11 = ms2;
    c.settings18.value12 = tick2;
}

// Radio channel sensor: the radio clock reads local time + offset_s.
void radio_slave(Device& d, double offset_s, int mode = 1) {
    d.config.radioSensor.mode = mode;
    kx_DataSensor radio(1, 3);
    for (size_t i = 0; i < 3; ++i) {
        radio.time[i] = 0.25 + i;
        radio.data[i] = radio.time[i] + offset_s;
    }
    d.map[KX_RADIO_TIME] = radio;
}

std::vector<kx_Config*> configs_of(std::vector<Device>& d) {
    std::vector<kx_Config*> v;
    for (Device& dev : d) v.push_back(&dev.config);
    return v;
}
std::vector<kx_SensorMap*> maps_of(std::vector<Device>& d) {
    std::vector<kx_SensorMap*> v;
    for (Device& dev : d) v.push_back(&dev.map);
    return v;
}

// Runs kx_sync on the devices; answers its result and what it wrote to standard error.
bool run(std::vector<Device>& d, kx_SyncedMaps& out, std::string* err) {
    testing::internal::CaptureStderr();
    const bool ok = kx_sync(out.maps, configs_of(d), maps_of(d));
    *err = testing::internal::GetCapturedStderr();
    return ok;
}

bool same_stream(const kx_DataSensor& a, const kx_DataSensor& b) {
    return a.dimension == b.dimension && a.length == b.length && a.data == b.data && a.time == b.time;
}
bool same_map(const kx_SensorMap& a, const kx_SensorMap& b) {
    if (a.size() != b.size()) return false;
    for (const auto& [id, s] : a) {
        if (b.count(id) == 0 || !same_stream(s, b.at(id))) return false;
    }
    return true;
}
// The configuration members kx_sync reads.
std::vector<int64_t> read_fields(const kx_Config& c) {
    const auto& s = c.settings18;
    return {c.frequency,    c.accel.frequency, c.gyro.frequency, c.baro.frequency,   c.radioMode,
            c.radioChannel, c.radioValue1,     c.radioValue2,    c.radioSensor.mode, c.radioSensor.channel,
            s.present,      s.value5,          s.value6,         s.value7,           s.value10,
            s.value11,      s.value12};
}

// ---- the three methods ----

struct MethodCase {
    const char* name;
    size_t n;
    std::function<void(std::vector<Device>&)> setup;
    std::vector<double> fast_shift_s;  // per recording: accelerometer, gyroscope, quaternion
    std::vector<double> baro_shift_s;
    std::vector<size_t> fast_first;  // first kept source index per recording
    std::vector<size_t> baro_first;
    size_t fast_n, baro_n;  // common lengths floor(f x D)
};

// clang-format off
const MethodCase kMethodCases[] = {
    // Means of the marks 10 s and 11 s: the later recording moves forward by 1 s. No recording
    // is a radio master, which time marks do not need.
    {"TimeMarks2", 2,
     [](std::vector<Device>& d) {
         set_marks(d[0].config, 10, 0, 0, 10, 0, 0);
         set_marks(d[1].config, 12, 500, 100, 10, 500, 0);  // 11.5 and 10.5
     },
     {0, 1}, {0, 1}, {4, 0}, {2, 0}, 36, 18},
    // The earliest (recording 1) keeps its times; the others move by 1 s and 0.5 s.
    {"TimeMarks3", 3,
     [](std::vector<Device>& d) {
         set_marks(d[0].config, 11, 0, 0, 11, 0, 0);
         set_marks(d[1].config, 10, 0, 0, 10, 0, 0);
         set_marks(d[2].config, 10, 750, 25, 10, 500, 0);
     },
     {1, 0, 0.5}, {1, 0, 0.5}, {0, 4, 2}, {0, 2, 1}, 36, 18},
    {"RadioChannelSensor2", 2,
     [](std::vector<Device>& d) {
         d[0].config.radioSensor.mode = 0;
         radio_slave(d[1], 1.0);
     },
     {0, 1}, {0, 1}, {4, 0}, {2, 0}, 36, 18},
    // The master is in the middle; a channel of -1 goes with any channel.
    {"RadioChannelSensor3", 3,
     [](std::vector<Device>& d) {
         radio_slave(d[0], 1.0);
         d[1].config.radioSensor.mode = 0;
         d[1].config.radioSensor.channel = -1;
         radio_slave(d[2], 0.5, 3);
     },
     {1, 0, 0.5}, {1, 0, 0.5}, {0, 4, 2}, {0, 2, 1}, 36, 18},
    // d = 16 ticks at F = 64 Hz: f x d / F is 1 s at 4 Hz but 0.5 s for the 2 Hz barometer.
    {"BasicRadioFrame2", 2,
     [](std::vector<Device>& d) {
         for (Device& dev : d) dev.config.frequency = 64;
         d[0].config.radioMode = 0;
         d[1].config.radioValue1 = 1000;
         d[1].config.radioValue2 = 1016;
     },
     {0, 1}, {0, 0.5}, {4, 0}, {1, 0}, 36, 18},
    // Recording 2's values wrap around: 4 - 0xFFFFFFFC is 8 ticks. Its barometer starts
    // 0.25 s on, equally near 0.5 s at index 0 and 1: the earlier index wins.
    {"BasicRadioFrame3", 3,
     [](std::vector<Device>& d) {
         for (Device& dev : d) dev.config.frequency = 64;
         d[0].config.radioMode = 0;
         d[1].config.radioValue1 = 1000;
         d[1].config.radioValue2 = 1016;
         d[2].config.radioValue1 = 0xFFFFFFFCu;
         d[2].config.radioValue2 = 4;
         d[2].config.radioChannel = -1;
     },
     {0, 1, 0.5}, {0, 0.5, 0.25}, {4, 0, 2}, {1, 0, 0}, 36, 18},
};
// clang-format on

void PrintTo(const MethodCase& c, std::ostream* os) {
    *os << c.name;
}

class SyncMethod : public testing::TestWithParam<MethodCase> {};

TEST_P(SyncMethod, ShiftsAndCutsToTheCommonWindow) {
    const MethodCase& tc = GetParam();
    std::vector<Device> d = devices(tc.n);
    tc.setup(d);
    const std::vector<Device> before = d;

    kx_SyncedMaps out;
    std::string err;
    ASSERT_TRUE(run(d, out, &err)) << err;
    EXPECT_EQ(err, "");
    ASSERT_EQ(out.maps.size(), tc.n);

    for (size_t i = 0; i < tc.n; ++i) {
        SCOPED_TRACE("recording " + std::to_string(i));
        // inputs untouched
        EXPECT_TRUE(same_map(d[i].map, before[i].map));
        EXPECT_EQ(read_fields(d[i].config), read_fields(before[i].config));

        const kx_SensorMap& m = *out.maps[i];
        for (int kind : {KX_ACCEL, KX_GYRO, KX_QUATERNION, KX_BARO}) {
            SCOPED_TRACE("kind " + std::to_string(kind));
            const bool baro = kind == KX_BARO;
            const size_t n = baro ? tc.baro_n : tc.fast_n;
            const size_t k = baro ? tc.baro_first[i] : tc.fast_first[i];
            const double shift = baro ? tc.baro_shift_s[i] : tc.fast_shift_s[i];
            const kx_DataSensor& src = d[i].map.at(kind);
            ASSERT_EQ(m.count(kind), 1u);
            const kx_DataSensor& s = m.at(kind);
            ASSERT_EQ(s.length, n);
            ASSERT_EQ(s.dimension, src.dimension);
            ASSERT_EQ(s.time.size(), n);
            ASSERT_EQ(s.data.size(), n * s.dimension);
            for (size_t t = 0; t < n; ++t) {
                EXPECT_DOUBLE_EQ(s.time[t], src.time[k + t] + shift) << "sample " << t;
                for (size_t c = 0; c < s.dimension; ++c) {
                    EXPECT_EQ(s.data[c * n + t], src.data[c * src.length + k + t]) << "sample " << t;
                }
            }
        }
        // Only the synchronised kinds reach the new maps (no events in these sources).
        EXPECT_EQ(m.size(), 4u);
    }
}

INSTANTIATE_TEST_SUITE_P(Methods, SyncMethod, testing::ValuesIn(kMethodCases),
                         [](const testing::TestParamInfo<MethodCase>& p) { return p.param.name; });

// The marks are combined in single precision: 100000.123 s is 100000.1171875 as a float
// (spacing 1/128 there), and that is the shift, not 0.123 s.
TEST(SyncTimeMarks, ComputedInSinglePrecision) {
    std::vector<Device> d = devices(2);
    set_marks(d[0].config, 100000, 123, 0, 100000, 123, 0);
    set_marks(d[1].config, 100000, 0, 0, 100000, 0, 0);
    kx_SyncedMaps out;
    std::string err;
    ASSERT_TRUE(run(d, out, &err)) << err;
    EXPECT_EQ(out.maps[0]->at(KX_ACCEL).time[0], 0.1171875);
}

// ---- refusals ----

struct RefusalCase {
    const char* name;
    size_t n;
    std::function<void(std::vector<Device>&, std::vector<kx_Config*>&, std::vector<kx_SensorMap*>&)> arrange;
    const char* message;
    bool maps_handed_over;  // false: the output vector is left as it was
};

// clang-format off
const RefusalCase kRefusals[] = {
    {"OneRecording", 1, [](auto&, auto&, auto&) {}, "Wrong number of sensors.\n", false},
    {"MoreConfigurationsThanMaps", 3, [](auto&, auto&, auto& m) { m.pop_back(); }, "Wrong number of sensors.\n",
     false},
    {"NullConfiguration", 2, [](auto&, auto& c, auto&) { c[1] = nullptr; }, "Null data detected.\n", false},
    {"NullMap", 2, [](auto&, auto&, auto& m) { m[0] = nullptr; }, "Null data detected.\n", false},
    {"ChannelSensorNoMaster", 2,
     [](auto& d, auto&, auto&) {
         radio_slave(d[0], 0.0);
         radio_slave(d[1], 0.0);
     },
     "Possibly no master or more than one used (0). Different radio channels are used.\n", true},
    {"ChannelSensorTwoMasters", 2,
     [](auto& d, auto&, auto&) {
         d[0].config.radioSensor.mode = 0;
         d[1].config.radioSensor.mode = 0;
     },
     "Possibly no master or more than one used (2). Different radio channels are used.\n", true},
    {"ChannelSensorChannelsDiffer", 3,
     [](auto& d, auto&, auto&) {
         d[0].config.radioSensor.mode = 0;
         radio_slave(d[1], 0.0);
         radio_slave(d[2], 0.0);
         d[2].config.radioSensor.channel = 6;
     },
     "Possibly no master or more than one used (1). Different radio channels are used.\n", true},
    {"BasicFrameNoMaster", 2, [](auto&, auto&, auto&) {},
     "Possibly no master or more than one used (0). Different radio channels are used.\n", true},
    {"BasicFrameChannelsDiffer", 2,
     [](auto& d, auto&, auto&) {
         d[0].config.radioMode = 0;
         d[1].config.radioChannel = 8;
     },
     "Possibly no master or more than one used (1). Different radio channels are used.\n", true},
    {"NoRadioStream", 2,
     [](auto& d, auto&, auto&) {
         d[0].config.radioSensor.mode = 0;
         d[1].config.radioSensor.mode = 1;
     },
     "No radio data.\n", true},
    {"EmptyRadioStream", 2,
     [](auto& d, auto&, auto&) {
         d[0].config.radioSensor.mode = 0;
         radio_slave(d[1], 0.0);
         d[1].map[KX_RADIO_TIME] = kx_DataSensor(1, 0);
     },
     "No radio data.\n", true},
    // Not refusals the callers can meet with decoded recordings: no message.
    {"NoCommonKind", 2,
     [](auto& d, auto&, auto&) {
         d[0].config.radioMode = 0;
         d[1].map.erase(KX_ACCEL);
         d[1].map.erase(KX_GYRO);
         d[1].map.erase(KX_BARO);
         d[1].map.erase(KX_QUATERNION);
     },
     "", false},
    {"TimesShorterThanLength", 2,
     [](auto& d, auto&, auto&) {
         d[0].config.radioMode = 0;
         d[1].map[KX_GYRO].time.pop_back();
     },
     "", false},
};
// clang-format on

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.name;
}

class SyncRefusal : public testing::TestWithParam<RefusalCase> {};

TEST_P(SyncRefusal, AnswersFalseWithItsMessage) {
    const RefusalCase& tc = GetParam();
    std::vector<Device> d = devices(tc.n);
    std::vector<kx_Config*> configs = configs_of(d);
    std::vector<kx_SensorMap*> maps = maps_of(d);
    tc.arrange(d, configs, maps);

    kx_SyncedMaps out;
    out.maps.assign(5, nullptr);  // a size no call here would give
    testing::internal::CaptureStderr();
    EXPECT_FALSE(kx_sync(out.maps, configs, maps));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), tc.message);

    if (!tc.maps_handed_over) {
        EXPECT_EQ(out.maps, std::vector<kx_SensorMap*>(5, nullptr));
        return;
    }
    ASSERT_EQ(out.maps.size(), tc.n);
    // Refused before any recording was shifted: the maps hold the untouched copies.
    for (size_t i = 0; i < tc.n; ++i) {
        ASSERT_NE(out.maps[i], nullptr);
        for (int kind : {KX_ACCEL, KX_GYRO, KX_BARO, KX_QUATERNION}) {
            EXPECT_TRUE(same_stream(out.maps[i]->at(kind), d[i].map.at(kind)));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Refusals, SyncRefusal, testing::ValuesIn(kRefusals),
                         [](const testing::TestParamInfo<RefusalCase>& p) { return p.param.name; });

// ---- what is carried ----

// Window [1 s, 10 s]: recording 1 runs 1 s ahead and recording 2 0.5 s ahead of the master.
// Events are cut with their own, unshifted times; events exactly at T0 and T1 stay.
TEST(SyncEvents, CutToTheWindowWithoutShift) {
    std::vector<Device> d = devices(3);
    d[0].config.radioSensor.mode = 0;
    radio_slave(d[1], 1.0);
    radio_slave(d[2], 0.5);
    d[0].map[KX_EVENT] = events({0.5, 1.0, 3.0, 10.0, 10.5});
    d[1].map[KX_EVENT] = events({0.75, 2.0, 10.25});  // 0.75 would lie inside if it were shifted
    d[2].map[KX_EVENT] = events({0.25, 10.75});
    d[2].map.erase(KX_BARO);

    kx_SyncedMaps out;
    std::string err;
    ASSERT_TRUE(run(d, out, &err)) << err;

    const kx_DataSensor& e0 = out.maps[0]->at(KX_EVENT);
    EXPECT_EQ(e0.time, (std::vector<double>{1.0, 3.0, 10.0}));
    EXPECT_EQ(e0.data, (std::vector<double>{2.0, 3.0, 4.0}));
    EXPECT_EQ(e0.length, 3u);
    const kx_DataSensor& e1 = out.maps[1]->at(KX_EVENT);
    EXPECT_EQ(e1.time, std::vector<double>{2.0});
    EXPECT_EQ(e1.data, std::vector<double>{2.0});
    EXPECT_EQ(out.maps[2]->count(KX_EVENT), 0u);

    // The barometer, missing in one recording, is dropped for all; the magnetometer, the
    // radio time and the second event channel are never carried.
    for (size_t i = 0; i < 3; ++i) {
        for (int kind : {KX_BARO, KX_MAG, KX_RADIO_TIME, KX_EVENT2}) {
            EXPECT_EQ(out.maps[i]->count(kind), 0u) << "recording " << i << " kind " << kind;
        }
        EXPECT_EQ(out.maps[i]->at(KX_ACCEL).length, 36u);
    }
}

// ---- window length ----

struct WindowCase {
    const char* name;
    std::function<void(std::vector<Device>&)> setup;
    std::vector<size_t> gyro_n;  // per recording; the quaternion stream follows the gyroscope
    size_t accel_n;
};

// clang-format off
const WindowCase kWindows[] = {
    // Recording 1 starts 0.5 s later, so D = 9.5 s; its gyroscope runs at 3 Hz:
    // floor(3 x 9.5) = 28, while the 4 Hz streams keep floor(4 x 9.5) = 38.
    {"LengthIsFloorOfRateTimesDuration",
     [](std::vector<Device>& d) {
         d[1].config.gyro.frequency = 3;
         d[1].map[KX_GYRO] = stream(3, 40, 3.0, 0.0);
         d[1].map[KX_QUATERNION] = stream(4, 40, 3.0, 0.0);
     },
     {38, 28}, 38},
    // A rate of 0 gives an infinite remaining duration and 0 x D = 0 samples.
    {"ZeroRateGivesNoSamples", [](std::vector<Device>& d) { d[1].config.gyro.frequency = 0; }, {38, 0}, 38},
    // Every rate 0: D is infinite and f x D not finite; no sample is kept.
    {"AllRatesZeroGiveNoSamples",
     [](std::vector<Device>& d) {
         for (Device& dev : d) {
             dev.config.frequency = 0;
             dev.config.accel.frequency = dev.config.gyro.frequency = dev.config.baro.frequency = 0;
         }
     },
     {0, 0}, 0},
    // Streams that begin before 0 s: the common start is never negative, so recording 0
    // (from -2 s) drops 8 samples and recording 1 (from -1.5 s after its shift) 6; D = 8 s.
    {"StartIsNeverNegative",
     [](std::vector<Device>& d) {
         for (Device& dev : d) {
             for (auto& [id, s] : dev.map) {
                 for (double& t : s.time) t -= 2.0;
             }
         }
     },
     {32, 32}, 32},
    // A kind configured but without samples in one recording closes the window for all.
    {"EmptyCommonCopyClosesTheWindow", [](std::vector<Device>& d) { d[1].map[KX_BARO] = kx_DataSensor(2, 0); },
     {0, 0}, 0},
};
// clang-format on

void PrintTo(const WindowCase& c, std::ostream* os) {
    *os << c.name;
}

class SyncWindow : public testing::TestWithParam<WindowCase> {};

TEST_P(SyncWindow, CommonLength) {
    const WindowCase& tc = GetParam();
    std::vector<Device> d = devices(2);
    set_marks(d[0].config, 10, 0, 0, 10, 0, 0);
    set_marks(d[1].config, 10, 500, 0, 10, 500, 0);
    tc.setup(d);
    d[0].map[KX_EVENT] = events({-1.0, 0.5, 20.0});

    kx_SyncedMaps out;
    std::string err;
    ASSERT_TRUE(run(d, out, &err)) << err;
    EXPECT_EQ(err, "");
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE("recording " + std::to_string(i));
        const kx_SensorMap& m = *out.maps[i];
        EXPECT_EQ(m.at(KX_ACCEL).length, tc.accel_n);
        EXPECT_EQ(m.at(KX_GYRO).length, tc.gyro_n[i]);
        EXPECT_EQ(m.at(KX_QUATERNION).length, tc.gyro_n[i]);
        for (const auto& [id, s] : m) {
            EXPECT_EQ(s.time.size(), s.length) << "kind " << id;
            EXPECT_EQ(s.data.size(), s.length * s.dimension) << "kind " << id;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Windows, SyncWindow, testing::ValuesIn(kWindows),
                         [](const testing::TestParamInfo<WindowCase>& p) { return p.param.name; });

// Whatever the output vector held on entry is overwritten, never freed.
TEST(SyncOutput, EntryContentsAreOverwritten) {
    std::vector<Device> d = devices(2);
    d[0].config.radioMode = 0;
    kx_SensorMap not_ours;
    kx_SyncedMaps out;
    out.maps.assign(4, &not_ours);
    testing::internal::CaptureStderr();
    const bool ok = kx_sync(out.maps, configs_of(d), maps_of(d));
    testing::internal::GetCapturedStderr();
    for (kx_SensorMap*& m : out.maps) {
        if (m == &not_ours) m = nullptr;  // keep the cleanup away from it whatever happened
    }
    ASSERT_TRUE(ok);
    ASSERT_EQ(out.maps.size(), 2u);
    EXPECT_NE(out.maps[0], &not_ours);
    EXPECT_NE(out.maps[1], &not_ours);
}

}  // namespace
