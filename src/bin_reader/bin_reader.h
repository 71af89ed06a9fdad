// Older single-file reader: module-wide state, its own header-frame decoding, configuration
// JSON and writer, and its CSV export of one recording.
#pragma once

#include <cstdint>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "../common/output_file.h"
#include "../recording/types.h"

// The operations of the older reader. All working state is module-wide (namespace
// bin_reader below), so only one operation may run at a time; each one starts with reset().
class BinReader {
public:
    BinReader() {}

    // Configuration of the recording at path as JSON. A file that cannot be opened or holds
    // no frames answers with the empty state.
    std::string readConfig(const char* path);

    // Builds header frames from the configuration text and writes them to path. Malformed
    // text writes nothing (any old file is kept); nothing is reported.
    void writeConfig(const char* path, const char* config);

    // Exports the recording at path to csvPath in this reader's CSV layout and answers a
    // JSON summary (dates, base frequency, firmware version).
    std::string read(const char* path, const char* csvPath);
};

namespace bin_reader {

using DateStruct = kx_Config::DateStruct;

// Device and firmware identity; `present` is set by the device frame only.
struct DeviceConfig {
    int32_t deviceId = 0;
    int32_t deviceType = 0;
    int32_t bodyLocation = 0;
    bool present = false;
    int32_t version = 0;
    int32_t majorVersion = 0;
    int32_t minorVersion = 0;
    int32_t radioMode = 0;
    int32_t radioChannel = 0;
};

struct MeasureConfig {
    int32_t measureNumber = 0;
    int32_t measureParam1 = 0;
    int32_t measureParam2 = 0;  // tag byte every data block must carry
    int32_t measureParam3 = 0;
};

// Sensor records shared with the recording reader's configuration (the `extra` members stay 0
// here: this reader decodes no extra frames). For the position receiver, `param` is the byte
// count of a multi-record package.
using InertialSensor = kx_Config::InertialConfig;
using SimpleSensor = kx_Config::SensorConfig;

struct Point {
    bool valid = false;
    double x = 0, y = 0, z = 0;
};
struct PointBaro {
    bool valid = false;
    double pressure = 0;     // mBar
    double temperature = 0;  // degree C
};
struct PointGps {
    bool valid = false;
    double value = 0;
};

struct PrevBufStruct {
    int64_t base = 0;        // base tick of the last block processed
    int32_t lastOffset = 0;  // tick offset of that block's last record
};

// The multi-record package being assembled; remaining is -1 when none is open.
struct BigPackageBufStruct {
    int32_t sensorId = 0;
    int32_t remaining = -1;
    std::vector<unsigned char> bytes;  // bytes 1..7 of every package record, in order
};

// Identifier byte of a continuation record of a multi-record package.
constexpr int kPackageRecordId = 23;

extern std::ifstream infile;
extern OutputFile outfile;  // the CSV table being written
extern DeviceConfig Config;
extern MeasureConfig Measure;
extern DateStruct StartDate;
extern DateStruct EndDate;
extern InertialSensor Accel;
extern InertialSensor Gyro;
extern SimpleSensor Baro;
extern SimpleSensor Gps;
extern int32_t Frequency;  // base tick rate, Hz
extern bool frameIsKnown;
extern std::vector<unsigned char> unknownHeaderFrames;  // raw undecoded frames, file order

extern int64_t DataPointNum;  // CSV rows written so far
extern PrevBufStruct PrevBuf;
extern BigPackageBufStruct BigPackageBuf;
extern std::set<uint8_t> timeSet;  // tick offsets of the rows not yet written
extern std::map<uint8_t, Point> accelMap;
extern std::map<uint8_t, Point> gyroMap;
extern std::map<uint8_t, PointBaro> baroMap;
extern std::map<uint8_t, PointGps> gpsMap;

// Empties every variable above except the two file streams.
void reset();

// Decodes the frame at `frame`, of which `avail` bytes lie inside the block. Returns its
// length L + 7, or -1 when no frame starts there or the frame would run past `avail`.
int parseHeaderFrame(const unsigned char* frame, int avail);

// Frame decoders by frame type (1, 2, 3). `lengthByte` points at the frame's length byte
// with at least 1 + 30 readable bytes after it; they return the payload length L.
int parseDeviceConfig(const unsigned char* lengthByte, int subtype);
int parseSensorConfig(const unsigned char* lengthByte, int subtype);
int parseMeasurementConfig(const unsigned char* lengthByte, int subtype);

// Frame loop over the first `avail` bytes of block 0 (at most 512), then the base frequency
// fallback to the accelerometer's.
void parseHeader(const unsigned char* block, int avail);

// The readConfig answer built from the state.
std::string configToJSON();

// Writes the CSV header to outfile; returns the file offset of the data-point placeholder.
std::streamoff headerToCSV();

// One 512-byte data block: tag check, same-instant and package continuation, the pending
// rows of the previous block, then this block's records.
void parseDataPackage(const unsigned char* block);

// One 8-byte record of the accelerometer, gyroscope or barometer.
void parseMeasurementPackage(const unsigned char* record);

// Adds one record to the open multi-record package (the position receiver's).
void parseExtendedMeasurementPackage(const unsigned char* record);

// Appends the pending rows, times taken from `base` plus each tick offset, and empties them.
void writeCSVDatapoint(int64_t base);

// The read answer built from the state.
std::string infoToJSON();

// An unsigned 16-bit value read as signed: value - 65536 from 32768 on.
double formatValue(double value);

}  // namespace bin_reader
