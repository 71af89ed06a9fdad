// The decoded recording as plain values: the configuration, the per-sensor streams, the sensor
// map and its identifiers, and the block sizes of the file format. No file reading here, so the
// synchronisation and the writers can take these types alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

// Size of every block of a recording file; block 0 holds the header frames.
constexpr int kBlockSize = 512;
// Number of 8-byte data records in a block (the first 8 bytes are the block header).
constexpr int kRecordsPerBlock = 63;

// Configuration of one recording, filled from the header frames of block 0.
struct kx_Config {
    struct DateStruct {
        int32_t second = 0;
        int32_t minute = 0;
        int32_t hour = 0;
        int32_t day = 0;
        int32_t month = 0;
        int32_t year = 0;
    };
    struct InertialConfig {
        int32_t id = 0;
        int32_t frequency = 0;  // Hz
        int32_t range = 0;      // full scale: g or deg/s
        double offsetX = 0, offsetY = 0, offsetZ = 0;
        double gainX = 0, gainY = 0, gainZ = 0;
        int32_t param = 0;
        int32_t extra = 0;
        bool present = false;
    };
    struct SensorConfig {
        int32_t id = 0;
        int32_t frequency = 0;  // Hz
        int32_t param = 0;
        int32_t extra = 0;
        bool present = false;
    };
    struct GpsConfig {
        int32_t id = 0;
        int32_t frequency = 0;  // Hz
        int32_t param = 0;
        int32_t param2 = 0;  // byte count of a multi-record package
        int32_t extra = 0;
        bool present = false;
    };
    struct ChannelConfig {
        int32_t id = 0;
        int32_t frequency = 0;  // Hz
        bool present = false;
    };
    struct RadioSensorConfig {
        int32_t id = 0;
        int32_t frequency = 0;  // Hz
        int32_t mode = 2;       // 2: no radio channel sensor frame was read
        int32_t channel = 0;
        bool present = false;
    };
    struct Settings18 {
        int32_t value1 = 0;
        int32_t value2 = -1;
        int32_t value3 = 0, value4 = 0;
        int32_t value5 = 0;  // first mark, seconds
        int32_t value6 = 0;  // first mark, milliseconds
        int32_t value7 = 0;  // first mark, local tick
        int32_t value8 = 0, value9 = 0;
        int32_t value10 = 0;  // second mark, seconds
        int32_t value11 = 0;  // second mark, milliseconds
        int32_t value12 = 0;  // second mark, local tick
        bool present = false;
    };
    struct AuxSensorConfig {
        int32_t id = 0;
        int32_t frequency = 0;
        int32_t param = 0;
        bool present = false;
    };

    bool frameError = false;
    std::vector<unsigned char> unknownFrames;  // raw bytes of undecoded frames, in file order
    int32_t frequency = 0;                     // base tick rate, Hz
    int32_t deviceId = -1;
    int32_t deviceType = -1;
    int32_t bodyLocation = -1;
    bool hasDeviceInfo = false;
    int32_t version = 0;
    int32_t majorVersion = 0;
    int32_t minorVersion = 0;
    int32_t radioMode = 0;  // 0 marks the radio master
    int32_t radioChannel = 0;
    uint32_t radioValue1 = 0;
    uint32_t radioValue2 = 0;
    int32_t measureParam1 = 0;
    int32_t measureParam2 = 0;  // tag byte of the data blocks
    int32_t measureParam3 = 0;
    DateStruct createdAt;
    DateStruct endDate;
    InertialConfig accel;
    InertialConfig gyro;
    SensorConfig baro;
    GpsConfig gps;
    SensorConfig mag;
    ChannelConfig event;
    RadioSensorConfig radioSensor;
    int32_t measureId = -1;
    Settings18 settings18;
    AuxSensorConfig sensor19;
    AuxSensorConfig sensor20;
    ChannelConfig event2;
};

// One sensor's stream. Values are component-major: value k of sample i is data[k * length + i].
struct kx_DataSensor {
    size_t dimension = 0;
    size_t length = 0;
    std::vector<double> data;
    std::vector<double> time;  // seconds, ascending

    kx_DataSensor() = default;
    kx_DataSensor(size_t dimension_, size_t length_)
        : dimension(dimension_), length(length_), data(dimension_ * length_, 0.0), time(length_, 0.0) {}
};

// Sensor identifiers of the sensor map.
enum kx_SensorId : int {
    KX_ACCEL = 1,
    KX_GYRO = 2,
    KX_BARO = 3,
    KX_MAG = 5,
    KX_EVENT = 6,
    KX_RADIO_TIME = 7,
    KX_QUATERNION = 10,
    KX_EVENT2 = 11,
};

using kx_SensorMap = std::unordered_map<int, kx_DataSensor>;
