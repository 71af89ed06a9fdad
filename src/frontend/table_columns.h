// The recording as data rather than text: the answers that go with it and its named streams
// for typed arrays (the table's columns are in the table room).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "../recording/types.h"
#include "../table/table.h"

// The readConfig answer of a decoded configuration.
std::string _generate_config_JSON(const kx_Config& config);

// A stream as JavaScript gets it: its name, the sensor it comes from and its components.
struct DataStreamKind {
    const char* name;
    int sensor;  // kx_SensorId
    int components;
    const char* component[4];
};

// Every stream that can be answered, in answer order.
constexpr size_t kDataStreamCount = 8;
extern const DataStreamKind kDataStreams[kDataStreamCount];

// The rate a stream is configured at (Hz); the orientation runs at the gyroscope's.
int32_t data_stream_rate(const kx_Config& config, int sensor);


// The stream of a JavaScript name ("accel", "mag", "radioTime"...), or nullptr.
const DataStreamKind* data_stream_kind(const std::string& name);

// A stream of samples handed to JavaScript: time holds `length` times, data `length` values of
// each component, one component after the other.
struct DataStreamView {
    const DataStreamKind* kind;
    int32_t rate;
    size_t length;
    std::vector<double>* time;
    std::vector<double>* data;
};
// Every stream of sensors with samples, in answer order, trimmed to what it holds; a stream that
// does not hold what its counts claim is left out.
std::vector<DataStreamView> data_streams(const kx_Config& config, kx_SensorMap* sensors);

class kx_Source;
enum class kx_SourceError;
// What JavaScript learns of an opened source, as JSON text: { members: [{ file, config, summary,
// frequency, rows, firstTick, shift, rowZeroTime, magnetometer ({ rate, samples } or null),
// columns: [{ name, single, cells, stream, component }], streams: { <stream>: { samples, rate,
// carried, first, last } }, fullScale: { accel, gyro } }], seekable, method (a set's) }; or, when
// error is not none, { code, path, status (a set's, or one opened from several paths), rows (a
// refused table's) }.
std::string kx_describeSource(kx_Source& source, kx_SourceError error, bool as_set, size_t paths);
