// Recording reader: the functions that decode a recording file into its configuration and
// its per-sensor streams (the types themselves are in types.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <memory>
#include <unordered_map>

#include "types.h"

// Why a recording could not be decoded.
enum class kx_DecodeError {
    none,
    missing,        // no file at the path
    unreadable,     // there is one, but it cannot be opened or read (permissions, not a regular file)
    notARecording,  // no frame magic in the configuration block
    truncated,      // the file ends inside its configuration block or data
};

// Opens `path` for reading when it names a regular file (after links): a FIFO, a device or a
// directory is refused without being opened (unreadable), so that no read blocks for good.
kx_DecodeError _kx_openRecording(std::ifstream& in, const char* path);

// Decodes one header frame at `frame` (which must have `avail` readable bytes).
// Returns the frame length L + 7, or -1 when no frame starts there. Clears *known for an
// unknown frame. Never reads past `avail` bytes.
int _readHeaderFrame(kx_Config* config, bool* known, const unsigned char* frame, int avail);

// Frame scan over a 512-byte block 0; false when the block holds no magic.
bool _readConfig(kx_Config* config, const unsigned char* block);

// Reads block 0 of an open stream (a shorter file counts as zero-filled) and decodes it.
kx_DecodeError _kx_decodeConfig(kx_Config* config, std::ifstream& in);
bool _kx_readConfig(kx_Config* config, std::ifstream& in);

// Opens `path` and decodes its configuration block; false when unreadable or without magic.
template <typename CharT>
bool kx_readConfig(kx_Config* config, const CharT* path);

// Decodes a whole recording from an open stream into `config` and one stream per present
// sensor in `sensors`. A truncated recording keeps what was decoded before the end.
kx_DecodeError _kx_decode(kx_Config* config, kx_SensorMap* sensors, std::ifstream& in);

// Decodes a whole recording into `config` and one stream per present sensor in `sensors`.
bool _kx_read(kx_Config* config, kx_SensorMap* sensors, std::ifstream& in);

template <typename CharT>
bool kx_read(kx_Config* config, kx_SensorMap* sensors, const CharT* path);

// Which filter gives the orientation stream: the specified tracker (the default), or the
// error-state filter that also estimates the gyroscope's bias.
enum class kx_Orientation { specified, biasCorrected };

// The orientation filter as a running filter: samples go in, in order, a window at a time, and
// each window's orientations come out exactly as one run over the whole streams gives them.
class kx_OrientationFilter {
public:
    kx_OrientationFilter();
    ~kx_OrientationFilter();
    // Starts the filter of `mode` at the accelerometer's rate; false when it cannot be set up.
    bool start(const kx_Config& config, kx_Orientation mode = kx_Orientation::specified);
    // Filters `count` samples of accelerometer (g) and gyroscope (deg/s) windows, component-major
    // with their own lengths, into rows 0..count-1 of the 4-component window `out` (w, x, y, z),
    // whose length is out_length. Samples before the filter has started stay as `out` held them.
    void run(const kx_DataSensor& acc, const kx_DataSensor& gyro, size_t count, double* out,
             size_t out_length);
    // The filter's whole state, a plain record of state_size() bytes: copied out and back in, it
    // lets a caller go back to where the filter stood.
    size_t state_size() const;
    void save(void* state) const;
    void restore(const void* state);

private:
    struct Deleter {
        void operator()(void* p) const;
    };
    std::unique_ptr<void, Deleter> state_;
    kx_Orientation mode_ = kx_Orientation::specified;
};

// The reading of one inertial axis (g or deg/s) for a raw signed 16-bit converter value:
// ((raw x range / 32768) - offset) / gain. Every decoded sample is computed this way.
inline double kx_inertialReading(double raw, double range, double offset, double gain) {
    return ((raw * range * 3.0517578125e-5) - offset) / gain;
}

// The readings an inertial axis shows at the ends of the 16-bit converter (raw -32768 and
// 32767), computed as every sample is, so that a clipped sample equals one of them.
struct kx_FullScale {
    int32_t range = 0;  // g or deg/s
    double low[3] = {0, 0, 0};
    double high[3] = {0, 0, 0};
};
inline kx_FullScale kx_fullScale(const kx_Config::InertialConfig& ic) {
    const double offset[3] = {ic.offsetX, ic.offsetY, ic.offsetZ};
    const double gain[3] = {ic.gainX, ic.gainY, ic.gainZ};
    kx_FullScale f;
    f.range = ic.range;
    for (int k = 0; k < 3; ++k) {
        f.low[k] = kx_inertialReading(-32768.0, ic.range, offset[k], gain[k]);
        f.high[k] = kx_inertialReading(32767.0, ic.range, offset[k], gain[k]);
    }
    return f;
}

// Runs the orientation tracker over the accelerometer and gyroscope streams and stores the
// quaternion stream (w, x, y, z) under KX_QUATERNION. False when the inputs do not allow it.
bool kx_computeQuaternion(const kx_Config* config, kx_SensorMap* sensors,
                          kx_Orientation mode = kx_Orientation::specified);

// First pass over a recording without keeping its samples: the configuration, each configured
// stream's record count (one entry per stream the sensor map would hold), the tick of each
// stream's first and last record (for streams that have one) and whether every stream's ticks rise
// strictly, so that no record would be moved or dropped by ordering.
struct kx_RecordingScan {
    kx_Config config;
    std::unordered_map<int, size_t> lengths;
    std::unordered_map<int, int64_t> firstTicks;
    std::unordered_map<int, int64_t> lastTicks;  // the tick of each stream's last record
    bool inOrder = true;
};
kx_DecodeError _kx_scan(kx_RecordingScan* scan, std::ifstream& in);
kx_DecodeError kx_scanRecording(const char* path, kx_RecordingScan* scan);

// One stream of a recording read in order, a window of samples at a time, with memory
// bounded by one read buffer. Each reader has its own handle on the file, so streams stored
// far apart in the file are read side by side without holding what lies between them.
class kx_StreamReader {
public:
    kx_StreamReader();
    ~kx_StreamReader();
    // Opens the stream of sensor-map identifier sensorId (a decoded stream kind); false when
    // the file is no longer a readable recording.
    bool open(const char* path, int sensorId);
    // Decodes the next `count` samples into out (resized to them, times in seconds). False when
    // the file no longer holds them in order (it changed since its scan) or cannot be read.
    bool read(size_t count, kx_DataSensor* out);

    // Where the reader stands: the next record's data block and slot, and the last tick read.
    struct Position {
        uint64_t block = 0;
        int record = 0;
        int64_t last_tick = 0;
    };
    Position position() const;
    // Goes back (or on) to a position answered by position(); false when the file cannot be read.
    bool seek(const Position& position);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A decoded recording, as every operation and output takes it.
struct kx_Recording {
    kx_Config config;
    kx_SensorMap sensors;
    // False when the inputs did not allow an orientation stream (see kx_computeQuaternion);
    // the recording is whole without it.
    bool hasQuaternions = false;
};

// The one decode step: opens the recording at path, decodes it and adds its orientation
// stream. On an error nothing is computed; a truncated recording keeps what was decoded.
kx_DecodeError kx_decodeRecording(const char* path, kx_Recording* recording,
                                  kx_Orientation mode = kx_Orientation::specified);

// The configuration block alone (a file shorter than a block counts as zero-filled, so
// truncated is never answered).
kx_DecodeError kx_decodeConfig(const char* path, kx_Config* config);
