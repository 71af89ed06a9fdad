// Data reader: decodes the records of a recording's data blocks into one time-ordered stream
// per sensor, in physical units, in the recording's sensor map.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "../common/output_file.h"
#include "bytes.h"
#include "recording.h"

namespace {

// The streams the data blocks can carry, in the order they are handed to the sensor map.
enum Stream : uint8_t { kAccel, kGyro, kBaro, kMag, kEvent, kRadio, kEvent2, kStreamCount, kSkip, kNone };

struct StreamInfo {
    int id;         // sensor-map identifier
    int dimension;  // values per sample
};
constexpr StreamInfo kStreams[kStreamCount] = {
    {KX_ACCEL, 3}, {KX_GYRO, 3}, {KX_BARO, 2}, {KX_MAG, 3}, {KX_EVENT, 1}, {KX_RADIO_TIME, 1}, {KX_EVENT2, 1},
};

// One record as found in the file: its tick and its six sample bytes, decoded only once the
// stream is ordered. 16 bytes a sample, in one contiguous vector per sensor.
struct RawSample {
    int64_t tick;
    unsigned char bytes[6];  // record bytes 2..7
};

// Reads with one buffer of this many whole blocks at a time.
constexpr size_t kBlocksPerRead = 512;

// Most samples reserved for one stream before any is seen (64 MiB of records): the file size
// only bounds what a recording may hold, and a large file of empty or foreign blocks must not
// claim memory in proportion to its size.
constexpr double kMaxReservedSamples = 4 << 20;

// Maps each record identifier byte to its stream. Identifiers are tested in a fixed order and
// the first present sensor wins, so a later sensor sharing an identifier never gets records;
// the position receiver and the auxiliary sensors take their records but are not decoded.
void build_dispatch(const kx_Config& c, Stream table[256]) {
    for (int i = 0; i < 256; ++i) table[i] = kNone;
    const auto claim = [&](bool present, int32_t id, Stream s) {
        if (present && id >= 0 && id < 256 && table[id] == kNone) table[id] = s;
    };
    claim(c.accel.present, c.accel.id, kAccel);
    claim(c.gyro.present, c.gyro.id, kGyro);
    claim(c.baro.present, c.baro.id, kBaro);
    claim(c.gps.present, c.gps.id, kSkip);
    claim(c.mag.present, c.mag.id, kMag);
    claim(c.event.present, c.event.id, kEvent);
    claim(c.radioSensor.present, c.radioSensor.id, kRadio);
    claim(c.sensor19.present, c.sensor19.id, kSkip);
    claim(c.sensor20.present, c.sensor20.id, kSkip);
    claim(c.event2.present, c.event2.id, kEvent2);
}

// Whether a stream's sensor is configured, and its configured rate in Hz.
struct StreamConfig {
    bool present;
    int32_t frequency;
};

StreamConfig stream_config(const kx_Config& c, int s) {
    switch (s) {
        case kAccel:
            return {c.accel.present, c.accel.frequency};
        case kGyro:
            return {c.gyro.present, c.gyro.frequency};
        case kBaro:
            return {c.baro.present, c.baro.frequency};
        case kMag:
            return {c.mag.present, c.mag.frequency};
        case kEvent:
            return {c.event.present, c.event.frequency};
        case kRadio:
            return {c.radioSensor.present, c.radioSensor.frequency};
        case kEvent2:
            return {c.event2.present, c.event2.frequency};
        default:
            return {false, 0};
    }
}

// Every sample's three axes as readings, into the three component rows.
void decode_inertial(const kx_Config::InertialConfig& ic, const RawSample* in, size_t n, double* out) {
    const double range = ic.range;
    const double offset[3] = {ic.offsetX, ic.offsetY, ic.offsetZ};
    const double gain[3] = {ic.gainX, ic.gainY, ic.gainZ};
    for (size_t i = 0; i < n; ++i) {
        for (int k = 0; k < 3; ++k) {
            const double raw = read_sbe16(in[i].bytes + 2 * k);
            out[k * n + i] = kx_inertialReading(raw, range, offset[k], gain[k]);
        }
    }
}

void decode(const kx_Config& c, int s, const RawSample* in, size_t n, double* out) {
    switch (s) {
        case kAccel:
            decode_inertial(c.accel, in, n, out);
            break;
        case kGyro:
            decode_inertial(c.gyro, in, n, out);
            break;
        case kBaro:
            // Pressure: unsigned 24-bit little-endian / 4096 (mBar); temperature: signed 16-bit
            // little-endian / 100 (degree C). The one little-endian record of the format.
            for (size_t i = 0; i < n; ++i) {
                out[i] = read_le24(in[i].bytes) * 0.000244140625;
                out[n + i] = read_sle16(in[i].bytes + 3) / 100.0;
            }
            break;
        case kMag:
            for (size_t i = 0; i < n; ++i) {
                for (int k = 0; k < 3; ++k) out[k * n + i] = read_sbe16(in[i].bytes + 2 * k);
            }
            break;
        case kEvent:
            for (size_t i = 0; i < n; ++i) out[i] = in[i].bytes[0];
            break;
        case kRadio: {
            // Radio tick count in seconds, on the same divisor as every time stamp.
            const double divisor = c.frequency;
            for (size_t i = 0; i < n; ++i) out[i] = read_sbe32(in[i].bytes) / divisor;
            break;
        }
        case kEvent2:
            for (size_t i = 0; i < n; ++i) out[i] = in[i].bytes[5];
            break;
        default:
            break;
    }
}

// Orders a stream's records by tick and drops repeated ticks. The first record at a tick wins:
// later ones at the same tick are retransmissions. Recordings are almost always in order
// already, which one pass confirms.
void order_by_tick(std::vector<RawSample>& v) {
    bool ordered = true;
    for (size_t i = 1; i < v.size(); ++i) {
        if (v[i].tick <= v[i - 1].tick) {
            ordered = false;
            break;
        }
    }
    if (ordered) return;
    std::stable_sort(v.begin(), v.end(),
                     [](const RawSample& a, const RawSample& b) { return a.tick < b.tick; });
    const auto last = std::unique(v.begin(), v.end(),
                                  [](const RawSample& a, const RawSample& b) { return a.tick == b.tick; });
    v.erase(last, v.end());
}

// Orders one sensor's collected records, decodes them into a new stream under the stream's
// identifier (replacing any stream of that identifier) and releases the collected records.
void _transfertData(kx_SensorMap* sensors, const kx_Config* config, int stream,
                    std::vector<RawSample>* samples) {
    order_by_tick(*samples);
    const size_t n = samples->size();
    const int dimension = kStreams[stream].dimension;
    kx_DataSensor sensor(static_cast<size_t>(dimension), n);
    const double divisor = config->frequency;
    for (size_t i = 0; i < n; ++i) sensor.time[i] = static_cast<double>((*samples)[i].tick) / divisor;
    decode(*config, stream, samples->data(), n, sensor.data.data());
    std::vector<RawSample>().swap(*samples);
    (*sensors)[kStreams[stream].id] = std::move(sensor);
}

// Opens the data of a recording: reads and decodes block 0 into *config and leaves `in` at
// block 1, with the number of whole data blocks in *data_blocks. A refused recording leaves
// *config as it was.
kx_DecodeError open_data(kx_Config* config, std::ifstream& in, uint64_t* data_blocks) {
    if (!in.is_open()) return kx_DecodeError::unreadable;

    unsigned char first[kBlockSize];
    std::memset(first, 0, sizeof first);
    in.read(reinterpret_cast<char*>(first), kBlockSize);
    if (in.bad()) return kx_DecodeError::unreadable;  // a directory, an I/O error
    if (!in.good()) {
        // Shorter than one block: a recording cut inside its configuration, or no recording.
        kx_Config ignored;
        return _readConfig(&ignored, first) ? kx_DecodeError::truncated : kx_DecodeError::notARecording;
    }

    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (!in.good() || size < kBlockSize) return kx_DecodeError::unreadable;
    in.seekg(kBlockSize, std::ios::beg);
    if (!in.good()) return kx_DecodeError::unreadable;

    // Decode into a copy so that a recording refused below leaves the caller's record as it was.
    kx_Config decoded = *config;
    if (!_readConfig(&decoded, first)) {
        in.close();
        return kx_DecodeError::notARecording;
    }
    *config = decoded;
    // Block 0 is the configuration block: its bytes are frames, not records. Data starts at
    // block 1. A trailing partial block is never read.
    *data_blocks = static_cast<uint64_t>(size) / kBlockSize - 1;
    return kx_DecodeError::none;
}

// Reads the data blocks of an open recording in buffers of whole blocks and hands each block
// to `visit`. Answers truncated or unreadable when the file ends early or fails; the blocks
// before that were visited.
template <typename Visit>
kx_DecodeError for_each_block(std::ifstream& in, uint64_t data_blocks, Visit visit) {
    const size_t chunk_blocks =
        static_cast<size_t>(std::min<uint64_t>(kBlocksPerRead, std::max<uint64_t>(data_blocks, 1)));
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[chunk_blocks * kBlockSize]);
    uint64_t done = 0;
    while (done < data_blocks) {
        if (_outputs_stopped()) return kx_DecodeError::unreadable;  // the process is exiting
        const size_t want = static_cast<size_t>(std::min<uint64_t>(chunk_blocks, data_blocks - done));
        in.read(reinterpret_cast<char*>(buffer.get()), static_cast<std::streamsize>(want * kBlockSize));
        const size_t got = static_cast<size_t>(in.gcount()) / kBlockSize;  // whole blocks only
        for (size_t b = 0; b < got; ++b) visit(buffer.get() + b * kBlockSize);
        done += got;
        // The file ended early or could not be read: keep what was decoded, report failure.
        if (got < want) return in.bad() ? kx_DecodeError::unreadable : kx_DecodeError::truncated;
    }
    return kx_DecodeError::none;
}

// Visits every record of a sensor the dispatch table knows, in file order, with its stream and
// tick (the block's base tick plus the record's offset).
template <typename Visit>
kx_DecodeError for_each_record(std::ifstream& in, uint64_t data_blocks, const Stream dispatch[256],
                               Visit visit) {
    return for_each_block(in, data_blocks, [&](const unsigned char* block) {
        const int64_t base = read_be32(block + 4);
        for (int r = 1; r <= kRecordsPerBlock; ++r) {
            const unsigned char* record = block + 8 * r;
            const Stream s = dispatch[record[0]];
            if (s < kStreamCount) visit(s, base + record[1], record);
        }
    });
}

}  // namespace

kx_DecodeError _kx_decode(kx_Config* config, kx_SensorMap* sensors, std::ifstream& in) {
    uint64_t data_blocks = 0;
    const kx_DecodeError opened = open_data(config, in, &data_blocks);
    if (opened != kx_DecodeError::none) return opened;
    const kx_Config& c = *config;

    Stream dispatch[256];
    build_dispatch(c, dispatch);

    // Reserve each stream its share of the records by configured rate, so that the vectors
    // rarely grow; an estimate off the mark only costs a reallocation.
    std::vector<RawSample> collected[kStreamCount];
    {
        double rate_sum = 0;
        for (int s = 0; s < kStreamCount; ++s) {
            const StreamConfig sc = stream_config(c, s);
            if (sc.present && sc.frequency > 0) rate_sum += sc.frequency;
        }
        const double records = static_cast<double>(data_blocks) * kRecordsPerBlock;
        for (int s = 0; s < kStreamCount; ++s) {
            const StreamConfig sc = stream_config(c, s);
            if (!sc.present || sc.frequency <= 0 || rate_sum <= 0) continue;
            const double share = records * sc.frequency / rate_sum;
            collected[s].reserve(
                static_cast<size_t>(std::min({share * 1.01 + 64, records, kMaxReservedSamples})));
        }
    }

    const kx_DecodeError result =
        for_each_record(in, data_blocks, dispatch, [&](Stream s, int64_t tick, const unsigned char* record) {
            RawSample sample;
            sample.tick = tick;
            std::memcpy(sample.bytes, record + 2, sizeof sample.bytes);
            collected[s].push_back(sample);
        });
    if (_outputs_stopped()) return kx_DecodeError::unreadable;  // nothing of it will be used

    for (int s = 0; s < kStreamCount; ++s) {
        if (stream_config(c, s).present) _transfertData(sensors, config, s, &collected[s]);
    }

    in.close();
    return result;
}

bool _kx_read(kx_Config* config, kx_SensorMap* sensors, std::ifstream& in) {
    return _kx_decode(config, sensors, in) == kx_DecodeError::none;
}

template <typename CharT>
bool kx_read(kx_Config* config, kx_SensorMap* sensors, const CharT* path) {
    if (config == nullptr || sensors == nullptr || path == nullptr) return false;
    std::ifstream in;
    if (_kx_openRecording(in, path) != kx_DecodeError::none) return false;
    return _kx_read(config, sensors, in);
}

template bool kx_read<char>(kx_Config* config, kx_SensorMap* sensors, const char* path);

kx_DecodeError _kx_scan(kx_RecordingScan* scan, std::ifstream& in) {
    uint64_t data_blocks = 0;
    const kx_DecodeError opened = open_data(&scan->config, in, &data_blocks);
    if (opened != kx_DecodeError::none) return opened;
    const kx_Config& c = scan->config;
    Stream dispatch[256];
    build_dispatch(c, dispatch);

    size_t counts[kStreamCount] = {};
    int64_t first[kStreamCount] = {};
    int64_t last[kStreamCount];
    for (int64_t& t : last) t = INT64_MIN;
    bool in_order = true;
    const kx_DecodeError result =
        for_each_record(in, data_blocks, dispatch, [&](Stream s, int64_t tick, const unsigned char*) {
            // A tick at or before the last one would be moved or dropped by the ordering step.
            if (tick <= last[s]) in_order = false;
            last[s] = tick;
            if (counts[s]++ == 0) first[s] = tick;
        });
    scan->lengths.clear();
    scan->firstTicks.clear();
    scan->lastTicks.clear();
    for (int s = 0; s < kStreamCount; ++s) {
        if (!stream_config(c, s).present) continue;
        scan->lengths[kStreams[s].id] = counts[s];
        if (counts[s] == 0) continue;
        scan->firstTicks[kStreams[s].id] = first[s];
        scan->lastTicks[kStreams[s].id] = last[s];
    }
    scan->inOrder = in_order;
    in.close();
    return result;
}

// The reader's state: its own handle on the file and one buffer of whole blocks.
struct kx_StreamReader::Impl {
    std::ifstream in;
    kx_Config config;
    int stream = kNone;
    bool take[256] = {};
    uint64_t blocks_left = 0;
    uint64_t blocks = 0;      // data blocks of the file
    uint64_t next_block = 0;  // the data block the next read starts at
    std::unique_ptr<unsigned char[]> buffer;
    size_t buffer_blocks = 0;  // whole blocks in the buffer
    size_t block = 0;          // current block of the buffer
    int record = kRecordsPerBlock + 1;
    int64_t last_tick = INT64_MIN;
    std::vector<RawSample> raw;

    // Next record of this stream, or false at the end of the data or on a read failure.
    bool next(RawSample* out) {
        for (;;) {
            if (record > kRecordsPerBlock) {
                if (block + 1 < buffer_blocks) {
                    ++block;
                } else {
                    if (blocks_left == 0) return false;
                    const size_t want = static_cast<size_t>(std::min<uint64_t>(kBlocksPerRead, blocks_left));
                    in.read(reinterpret_cast<char*>(buffer.get()),
                            static_cast<std::streamsize>(want * kBlockSize));
                    buffer_blocks = static_cast<size_t>(in.gcount()) / kBlockSize;
                    next_block += buffer_blocks;
                    if (buffer_blocks < want)
                        blocks_left = 0;  // the file shrank: no more data
                    else
                        blocks_left -= want;
                    if (buffer_blocks == 0) return false;
                    block = 0;
                }
                record = 1;
            }
            const unsigned char* b = buffer.get() + block * kBlockSize;
            const unsigned char* r = b + 8 * record++;
            if (!take[r[0]]) continue;
            out->tick = static_cast<int64_t>(read_be32(b + 4)) + r[1];
            std::memcpy(out->bytes, r + 2, sizeof out->bytes);
            return true;
        }
    }
};

kx_StreamReader::kx_StreamReader() = default;
kx_StreamReader::~kx_StreamReader() = default;

bool kx_StreamReader::open(const char* path, int sensorId) {
    impl_ = std::make_unique<Impl>();
    Impl& m = *impl_;
    if (_kx_openRecording(m.in, path) != kx_DecodeError::none) return false;
    if (open_data(&m.config, m.in, &m.blocks_left) != kx_DecodeError::none) return false;
    m.blocks = m.blocks_left;
    Stream dispatch[256];
    build_dispatch(m.config, dispatch);
    for (int s = 0; s < kStreamCount; ++s) {
        if (kStreams[s].id == sensorId) m.stream = s;
    }
    if (m.stream == kNone) return false;
    for (int i = 0; i < 256; ++i) m.take[i] = dispatch[i] == m.stream;
    m.buffer.reset(new unsigned char[kBlocksPerRead * kBlockSize]);
    return true;
}

bool kx_StreamReader::read(size_t count, kx_DataSensor* out) {
    if (!impl_ || impl_->stream == kNone || out == nullptr) return false;
    Impl& m = *impl_;
    m.raw.resize(count);
    for (size_t i = 0; i < count; ++i) {
        // A file changed since its scan (fewer records, or no longer in order) is refused.
        if (!m.next(&m.raw[i]) || m.raw[i].tick <= m.last_tick) return false;
        m.last_tick = m.raw[i].tick;
    }
    const size_t dimension = static_cast<size_t>(kStreams[m.stream].dimension);
    out->dimension = dimension;
    out->length = count;
    out->data.resize(dimension * count);
    out->time.resize(count);
    const double divisor = m.config.frequency;
    for (size_t i = 0; i < count; ++i) out->time[i] = static_cast<double>(m.raw[i].tick) / divisor;
    decode(m.config, m.stream, m.raw.data(), count, out->data.data());
    return true;
}

kx_StreamReader::Position kx_StreamReader::position() const {
    Position p;
    if (!impl_) return p;
    const Impl& m = *impl_;
    p.block = m.next_block - m.buffer_blocks + m.block;
    p.record = m.record;
    // A block read to its end, or none read yet: the next record is the first of the next block.
    if (m.buffer_blocks == 0) {
        p.block = m.next_block;
        p.record = 1;
    } else if (m.record > kRecordsPerBlock) {
        p.block += 1;
        p.record = 1;
    }
    p.last_tick = m.last_tick;
    return p;
}

bool kx_StreamReader::seek(const Position& p) {
    if (!impl_ || impl_->stream == kNone || p.block > impl_->blocks) return false;
    Impl& m = *impl_;
    m.in.clear();
    m.in.seekg(static_cast<std::streamoff>((p.block + 1) * kBlockSize), std::ios::beg);
    if (!m.in.good()) return false;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kBlocksPerRead, m.blocks - p.block));
    m.in.read(reinterpret_cast<char*>(m.buffer.get()), static_cast<std::streamsize>(want * kBlockSize));
    m.buffer_blocks = static_cast<size_t>(m.in.gcount()) / kBlockSize;
    if (m.buffer_blocks < want) return false;
    m.next_block = p.block + m.buffer_blocks;
    m.blocks_left = m.blocks - m.next_block;
    m.block = 0;
    m.record = p.record;
    m.last_tick = p.last_tick;
    // A position at the end of the data: the next read finds no block.
    if (m.buffer_blocks == 0) m.record = kRecordsPerBlock + 1;
    return true;
}
