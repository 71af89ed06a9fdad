// The recording as data rather than text: the answers that go with it, its named streams for
// typed arrays, and the CSV table as columns (values and which cells are filled) over any row
// range of a prepared layout, so that a columnar file holds exactly the cells of the CSV.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "../recording/types.h"
#include "csv_rows.h"

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

// One column of the CSV table, in the table's order: Time first, then the columns of every
// stream whose names the header shows.
struct TableColumn {
    const char* name;
    const CsvStream* stream;  // nullptr for Time
    int component;
    bool single;  // float32 values: the orientation, as the filter computes it
    bool cells;   // false for a stream whose header is shown but whose rows have no cells
};
std::vector<TableColumn> table_columns(const CsvLayout& layout);

// Fills rows [cursor->row, last) of every column and advances the cursor like csv_write_rows:
// values[c] points at float (single) or double storage for last - cursor->row values, valid[c]
// at (last - cursor->row + 7) / 8 zeroed bytes, whose bit (r % 8) of byte (r / 8) is set when
// row r has a cell (least significant bit first, as columnar formats keep validity). An empty
// cell's value is 0. nulls[c] receives the count of empty cells.
void table_fill_columns(const CsvLayout& layout, const std::vector<TableColumn>& columns, CsvCursor* cursor,
                        uint64_t last, void* const* values, uint8_t* const* valid, uint64_t* nulls);
