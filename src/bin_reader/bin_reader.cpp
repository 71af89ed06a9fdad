// Older single-file reader: header frames, configuration JSON and writer, and the CSV export
// that keys samples by their tick offset inside a block.
#include "bin_reader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iostream>
#include <string>

#include "../base64/base64.h"
#include "../common/config_text.h"
#include "../common/platform.h"
#include "../common/fixed_format.h"
#include "../common/json_builder.h"
#include "../common/text.h"
#include "../recording/bytes.h"

namespace bin_reader {

std::ifstream infile;
OutputFile outfile;
DeviceConfig Config;
MeasureConfig Measure;
DateStruct StartDate;
DateStruct EndDate;
InertialSensor Accel;
InertialSensor Gyro;
SimpleSensor Baro;
SimpleSensor Gps;
int32_t Frequency = 0;
bool frameIsKnown = false;
std::vector<unsigned char> unknownHeaderFrames;

int64_t DataPointNum = 0;
PrevBufStruct PrevBuf;
BigPackageBufStruct BigPackageBuf;
std::set<uint8_t> timeSet;
std::map<uint8_t, Point> accelMap;
std::map<uint8_t, Point> gyroMap;
std::map<uint8_t, PointBaro> baroMap;
std::map<uint8_t, PointGps> gpsMap;

namespace {

// Magic, type, subtype, length byte; the trailer adds two more bytes after the payload.
constexpr int kFrameHeaderSize = 5;
constexpr int kFrameOverhead = 7;
// A whole frame of the largest payload: room for every fixed field offset of any frame kind.
constexpr int kMaxFrameSize = kFrameOverhead + 255;
constexpr int kRecordSize = 8;
constexpr int kFirstRecord = 8;
constexpr int kLastRecord = kBlockSize - kRecordSize;  // offset 504
constexpr int kBaseTickOffset = 4;
// Package bytes kept at most: the largest package a 16-bit byte count announces, 7 per record.
constexpr size_t kMaxPackageBytes = 7 * ((0xFFFF + 1) / 7 + 1);

const char kBanner[] = "Korvel - Tarvex data export\n";
const char kCountLabel[] = "Total data points: ";
constexpr int kCountPlaceholder = 20;

// Full scale for the range codes of the current sensor frames; a code outside the table is
// itself taken as the range.
int32_t accelRange(int32_t code) {
    static const int32_t kTable[] = {2, 16, 4, 8};
    return code >= 0 && code < 4 ? kTable[code] : code;
}

int32_t gyroRange(int32_t code) {
    static const int32_t kTable[] = {245, 500, 1000, 2000, 125};
    return code >= 0 && code < 5 ? kTable[code] : code;
}

// Legacy sensor frame: 8-bit frequency and range, offsets and gains unscaled.
void decodeLegacyInertial(InertialSensor& s, const unsigned char* payload) {
    s.id = payload[0];
    s.frequency = payload[1];
    s.range = payload[2];
    s.offsetX = read_sbe32(payload + 3);
    s.offsetY = read_sbe32(payload + 7);
    s.offsetZ = read_sbe32(payload + 11);
    s.gainX = read_sbe32(payload + 15);
    s.gainY = read_sbe32(payload + 19);
    s.gainZ = read_sbe32(payload + 23);
    s.present = true;
}

// Current sensor frame: 16-bit frequency, range code, offsets and gains in 1/10000.
void decodeInertial(InertialSensor& s, const unsigned char* payload, int32_t (*range)(int32_t)) {
    s.id = payload[0];
    s.frequency = static_cast<int32_t>(read_be16(payload + 1));
    s.range = range(static_cast<int8_t>(payload[3]));
    s.offsetX = read_sbe32(payload + 4) / 10000.0;
    s.offsetY = read_sbe32(payload + 8) / 10000.0;
    s.offsetZ = read_sbe32(payload + 12) / 10000.0;
    s.gainX = read_sbe32(payload + 16) / 10000.0;
    s.gainY = read_sbe32(payload + 20) / 10000.0;
    s.gainZ = read_sbe32(payload + 24) / 10000.0;
    s.param = static_cast<int32_t>(read_be16(payload + 28));
    s.present = true;
}

// Id, 16-bit frequency, 16-bit parameter.
void decodeSimple(SimpleSensor& s, const unsigned char* payload) {
    s.id = payload[0];
    s.frequency = static_cast<int32_t>(read_be16(payload + 1));
    s.param = static_cast<int32_t>(read_be16(payload + 3));
    s.present = true;
}

void decodeDate(DateStruct& d, const unsigned char* payload) {
    d.second = payload[0];
    d.minute = payload[1];
    d.hour = payload[2];
    d.day = payload[3];
    d.month = payload[4];
    d.year = static_cast<int32_t>(read_be16(payload + 5));
}

// Three signed 16-bit axes scaled to physical units: (raw * range / 2^15 - offset) / gain.
Point decodeAxes(const InertialSensor& s, const unsigned char* record) {
    const double scale = s.range * (1.0 / 32768.0);
    Point p;
    p.valid = true;
    p.x = (formatValue(read_be16(record + 2)) * scale - s.offsetX) / s.gainX;
    p.y = (formatValue(read_be16(record + 4)) * scale - s.offsetY) / s.gainY;
    p.z = (formatValue(read_be16(record + 6)) * scale - s.offsetZ) / s.gainZ;
    return p;
}

template <int Decimals>
void appendFixed(std::string& out, double value) {
    char buf[kx_fixed::kMaxChars];
    out.append(buf, kx_fixed::format_fixed<Decimals>(buf, value));
    out += ',';
}

// The three cells of an accelerometer or gyroscope sample, empty when the tick has none.
void appendPoint(std::string& out, const std::map<uint8_t, Point>& samples, uint8_t t) {
    const auto it = samples.find(t);
    if (it == samples.end()) {
        out += ",,,";
        return;
    }
    appendFixed<5>(out, it->second.x);
    appendFixed<5>(out, it->second.y);
    appendFixed<5>(out, it->second.z);
}

// Reads block 0 into a cleared buffer and decodes its frames. Only the bytes actually read
// are decoded: a short or unopened file leaves the rest of the block untouched.
void readHeaderBlock() {
    std::array<unsigned char, kBlockSize> block{};
    infile.read(reinterpret_cast<char*>(block.data()), kBlockSize);
    parseHeader(block.data(), static_cast<int>(infile.gcount()));
}

}  // namespace

void reset() {
    Config = DeviceConfig();
    Measure = MeasureConfig();
    StartDate = DateStruct();
    EndDate = DateStruct();
    Accel = InertialSensor();
    Gyro = InertialSensor();
    Baro = SimpleSensor();
    Gps = SimpleSensor();
    Frequency = 0;
    frameIsKnown = false;
    unknownHeaderFrames.clear();
    DataPointNum = 0;
    PrevBuf = PrevBufStruct();
    BigPackageBuf = BigPackageBufStruct();
    timeSet.clear();
    accelMap.clear();
    gyroMap.clear();
    baroMap.clear();
    gpsMap.clear();
}

int parseDeviceConfig(const unsigned char* lengthByte, int subtype) {
    const int length = lengthByte[0];
    const unsigned char* payload = lengthByte + 1;
    switch (subtype) {
        case 0:
            break;  // known, carries nothing this reader keeps
        case 1:
            Config.deviceId = read_sbe32(payload);
            Config.deviceType = payload[4];
            Config.bodyLocation = payload[5];
            Config.present = true;
            break;
        case 2:
            // The 4-byte firmware form is not decoded by this reader.
            Config.version = length == 4 ? 0 : static_cast<int32_t>(read_be16(payload));
            Config.majorVersion = length == 4 ? 0 : static_cast<int32_t>(read_be16(payload + 2));
            Config.minorVersion = length == 4 ? 0 : static_cast<int32_t>(read_be16(payload + 4));
            break;
        case 5:
            Config.radioMode = payload[0];
            Config.radioChannel = payload[1];
            break;
        default:
            frameIsKnown = false;
    }
    return length;
}

int parseSensorConfig(const unsigned char* lengthByte, int subtype) {
    const unsigned char* payload = lengthByte + 1;
    switch (subtype) {
        case 0:
            decodeLegacyInertial(Accel, payload);
            break;
        case 1:
            decodeLegacyInertial(Gyro, payload);
            break;
        case 2:
            Baro.id = payload[0];
            Baro.frequency = payload[1];
            Baro.present = true;
            break;
        default:
            frameIsKnown = false;
    }
    return lengthByte[0];
}

int parseMeasurementConfig(const unsigned char* lengthByte, int subtype) {
    const unsigned char* payload = lengthByte + 1;
    switch (subtype) {
        case 0:
            decodeDate(StartDate, payload);
            break;
        case 1:
            Measure.measureParam1 = static_cast<int32_t>(read_be16(payload));
            Measure.measureParam2 = payload[2];
            Measure.measureParam3 = payload[3];
            break;
        case 2:
            decodeInertial(Accel, payload, accelRange);
            break;
        case 3:
            decodeInertial(Gyro, payload, gyroRange);
            break;
        case 4:
            decodeSimple(Baro, payload);
            break;
        case 5:
            Measure.measureNumber = read_sbe32(payload);
            break;
        case 6:
            decodeDate(EndDate, payload);
            break;
        case 7:
            decodeSimple(Gps, payload);
            break;
        case 8:
            Frequency = static_cast<int32_t>(read_be16(payload));
            break;
        default:
            frameIsKnown = false;
    }
    return lengthByte[0];
}

int parseHeaderFrame(const unsigned char* frame, int avail) {
    if (avail < kFrameHeaderSize || frame[0] != 'K' || frame[1] != 'X') return -1;
    const int length = frame[4] + kFrameOverhead;
    // A frame that would run past the block ends the frame sequence undecoded.
    if (length > avail) return -1;

    // This reader decodes every field at its fixed offset whatever the length byte says, so
    // a short frame reads on into the bytes after it. It reads them from a copy in which
    // everything past the block is zero, never from beyond the block itself.
    unsigned char f[kMaxFrameSize] = {};
    std::memcpy(f, frame, static_cast<size_t>(std::min(avail, kMaxFrameSize)));
    switch (f[2]) {
        case 1:
            parseDeviceConfig(f + 4, f[3]);
            break;
        case 2:
            parseSensorConfig(f + 4, f[3]);
            break;
        case 3:
            parseMeasurementConfig(f + 4, f[3]);
            break;
        default:
            frameIsKnown = false;
    }
    return length;
}

void parseHeader(const unsigned char* block, int avail) {
    avail = std::clamp(avail, 0, kBlockSize);
    // The sequence starts at the first "K" of the block; if no "X" follows it, no frame is read.
    const unsigned char* first = std::find(block, block + avail, 'K');
    for (int pos = static_cast<int>(first - block); pos < avail;) {
        frameIsKnown = true;
        const int length = parseHeaderFrame(block + pos, avail - pos);
        if (length < 0) break;
        if (!frameIsKnown)
            unknownHeaderFrames.insert(unknownHeaderFrames.end(), block + pos, block + pos + length);
        pos += length;
    }
    if (Frequency == 0) Frequency = Accel.frequency;
}

std::string configToJSON() {
    // The answer is the front end's configuration members, with the device frame's flag in
    // place of the device-information flag.
    kx_Config c;
    c.unknownFrames = unknownHeaderFrames;
    c.gyro = Gyro;
    c.accel = Accel;
    c.baro = Baro;
    c.gps.frequency = Gps.frequency;
    c.gps.present = Gps.present;
    c.hasDeviceInfo = Config.present;
    c.deviceId = Config.deviceId;
    c.deviceType = Config.deviceType;
    c.bodyLocation = Config.bodyLocation;
    c.version = Config.version;
    c.majorVersion = Config.majorVersion;
    c.minorVersion = Config.minorVersion;
    c.radioMode = Config.radioMode;
    c.radioChannel = Config.radioChannel;
    JsonObject o;
    _config_members_JSON(&o, c);
    return o.close();
}

std::string infoToJSON() {
    JsonObject o;
    o.string("createdAt", _date_to_string(StartDate));
    o.string("endDate", _date_to_string(EndDate));
    o.number("frequency", Frequency);
    o.string("version", std::to_string(Config.version));
    o.string("minorVersion", std::to_string(Config.minorVersion));
    o.string("majorVersion", std::to_string(Config.majorVersion));
    return o.close();
}

std::streamoff headerToCSV() {
    std::string h = kBanner;
    h += "Created on: " + _date_to_string(StartDate) + "\n";
    h += kCountLabel;
    const std::streamoff countPos = static_cast<std::streamoff>(h.size());
    h.append(kCountPlaceholder, ' ');
    h += "\n\n";

    // Column groups in their fixed order; each takes as many cells as it has columns.
    struct Group {
        bool present;
        const char* label;
        int32_t frequency;
        const char* rateTail;
        const char* names;
        const char* units;
    };
    const Group groups[] = {
        {Gyro.present, "Gyro [", Gyro.frequency, " hz],,,", "Gyro X,Gyro Y,Gyro Z,",
         "[deg/s],[deg/s],[deg/s],"},
        {Accel.present, "Accel [", Accel.frequency, " hz],,,", "Accel X,Accel Y,Accel Z,", "[g],[g],[g],"},
        {Baro.present, "Baro [", Baro.frequency, " hz],,", "Pressure,Temperature,", "[mBar],[degree C],"},
        {Gps.present, "GPS [", Gps.frequency, " hz],", "GPS,", ","},
    };
    std::string rates = "Time [" + std::to_string(Frequency) + " hz],";
    std::string names = "Time,";
    std::string units = "[s],";
    for (const Group& g : groups) {
        if (!g.present) continue;
        rates += g.label + std::to_string(g.frequency) + g.rateTail;
        names += g.names;
        units += g.units;
    }
    h += rates + "\n" + names + "\n" + units + "\n";
    outfile.write(h.data(), h.size());
    return countPos;
}

double formatValue(double value) {
    return value >= 32768 ? value - 65536 : value;
}

void parseMeasurementPackage(const unsigned char* record) {
    const uint8_t t = record[1];
    // Every record makes a row at its offset, whether or not a configured sensor carries it.
    timeSet.insert(t);
    const int id = record[0];
    if (id == Accel.id) accelMap[t] = decodeAxes(Accel, record);
    if (id == Gyro.id) gyroMap[t] = decodeAxes(Gyro, record);
    if (id == Baro.id) {
        int32_t rawPressure = static_cast<int32_t>(read_le24(record + 2));
        if (rawPressure >= 0x800000) rawPressure -= 0x1000000;  // signed 24-bit
        PointBaro b;
        b.valid = true;
        b.pressure = rawPressure / 4096.0;
        if (b.pressure == 0) b.pressure = 1.0;
        b.temperature = read_sle16(record + 5) / 100.0;
        baroMap[t] = b;
    }
}

void parseExtendedMeasurementPackage(const unsigned char* record) {
    BigPackageBufStruct& pkg = BigPackageBuf;
    if (pkg.remaining != -1) --pkg.remaining;
    pkg.sensorId = record[0];
    // A run of continuation records that no package claims would otherwise grow with the
    // file; no package the position receiver can announce is longer than this.
    if (pkg.bytes.size() < kMaxPackageBytes)
        pkg.bytes.insert(pkg.bytes.end(), record + 1, record + kRecordSize);
    if (record[0] != Gps.id) return;  // only the position receiver's package is decoded

    if (pkg.remaining == -1) pkg.remaining = (Gps.param + 1) / 7;
    if (pkg.remaining == 0) {
        // bytes[0] is the first record's tick offset, bytes[2] its value byte.
        const uint8_t t = pkg.bytes[0];
        timeSet.insert(t);
        PointGps g;
        g.valid = true;
        g.value = pkg.bytes[2];
        gpsMap[t] = g;
        pkg = BigPackageBufStruct();
    }
}

void writeCSVDatapoint(int64_t base) {
    std::string rows;
    for (const uint8_t t : timeSet) {
        ++DataPointNum;
        // Time in single precision, as exports of this layout always had it. Without a base
        // frequency there is no time to give: the cell stays empty rather than "inf" or "nan".
        if (Frequency != 0) {
            appendFixed<5>(rows, static_cast<float>(base + t) / static_cast<float>(Frequency));
        } else {
            rows += ',';
        }
        if (Gyro.present) appendPoint(rows, gyroMap, t);
        if (Accel.present) appendPoint(rows, accelMap, t);
        if (Baro.present) {
            const auto it = baroMap.find(t);
            if (it != baroMap.end()) {
                appendFixed<3>(rows, it->second.pressure);
                appendFixed<1>(rows, it->second.temperature);
            } else {
                rows += ",,";
            }
        }
        if (Gps.present) {
            const auto it = gpsMap.find(t);
            if (it != gpsMap.end()) {
                appendFixed<5>(rows, it->second.value);
            } else {
                rows += ',';
            }
        }
        rows += '\n';
    }
    outfile.write(rows.data(), rows.size());
    timeSet.clear();
    accelMap.clear();
    gyroMap.clear();
    baroMap.clear();
    gpsMap.clear();
}

void parseDataPackage(const unsigned char* block) {
    if (block[0] != Measure.measureParam2) {
        std::cout << "Bad sector: " << static_cast<int>(block[0]) << "\n";
        return;
    }
    const int64_t base = read_sbe32(block + kBaseTickOffset);
    int pos = kFirstRecord;

    // Same-instant continuation: the block starts at the instant of the previous block's
    // last record, so its leading offset-0 records join that pending row. Kept exactly as
    // exports of this layout were made: it also fires for a first data block with base tick
    // 0 (the reset state is base 0, offset 0), and offset-0 records further into a continued
    // block still add that instant again at offset 0, so one instant can take two rows.
    if (PrevBuf.base + PrevBuf.lastOffset == base) {
        BigPackageBuf = BigPackageBufStruct();
        for (; pos <= kLastRecord && block[pos + 1] == 0; pos += kRecordSize) {
            // The offset is rewritten in a copy: the block's own last offset must stay as read.
            unsigned char record[kRecordSize];
            std::memcpy(record, block + pos, kRecordSize);
            record[1] = static_cast<unsigned char>(PrevBuf.lastOffset);
            parseMeasurementPackage(record);
        }
    }

    // A package still open from the previous block takes the next records, whatever their id.
    for (; pos <= kLastRecord && BigPackageBuf.remaining >= 1; pos += kRecordSize) {
        parseExtendedMeasurementPackage(block + pos);
    }

    writeCSVDatapoint(PrevBuf.base);

    for (; pos <= kLastRecord; pos += kRecordSize) {
        if (block[pos] == kPackageRecordId) {
            parseExtendedMeasurementPackage(block + pos);
        } else {
            BigPackageBuf = BigPackageBufStruct();
            parseMeasurementPackage(block + pos);
        }
    }

    PrevBuf.base = base;
    PrevBuf.lastOffset = block[kLastRecord + 1];
}

}  // namespace bin_reader

std::string BinReader::readConfig(const char* path) {
    using namespace bin_reader;
    reset();
    if (!infile.is_open()) infile.open(kx_path(path), std::ios::binary);
    readHeaderBlock();
    const std::string answer = configToJSON();
    infile.close();
    return answer;
}

void BinReader::writeConfig(const char* path, const char* config) {
    bin_reader::reset();
    // The whole text is checked before the file is touched and a failed write keeps the old
    // file; this reader reports neither.
    _write_config_file(path, config);
}

std::string BinReader::read(const char* path, const char* csvPath) {
    using namespace bin_reader;
    reset();
    if (!infile.is_open()) infile.open(kx_path(path), std::ios::binary);
    // Written like every other output (the old table kept until the new one is complete), and
    // never over its own recording. There is no answer to report a failed write in.
    if (!_output_is_input(csvPath, {path})) outfile.open(csvPath);
    readHeaderBlock();
    const std::streamoff countPos = headerToCSV();

    // Data blocks until a short read; a trailing partial block is ignored.
    std::array<unsigned char, kBlockSize> block;
    for (;;) {
        block.fill(0);
        infile.read(reinterpret_cast<char*>(block.data()), kBlockSize);
        if (infile.gcount() < kBlockSize) break;
        parseDataPackage(block.data());
    }
    writeCSVDatapoint(PrevBuf.base);

    // The count goes over the start of the placeholder; the remaining spaces stay.
    const std::string count = std::to_string(DataPointNum);
    outfile.write_at(static_cast<uint64_t>(countPos), count.data(), count.size());

    const std::string answer = infoToJSON();
    infile.close();
    outfile.commit();
    return answer;
}
