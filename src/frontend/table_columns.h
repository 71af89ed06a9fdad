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

