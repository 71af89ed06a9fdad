// The table of a recording as data: a prepared layout of the streams in use, the cursor that
// walks its rows, the windows of samples a row range needs, and its columns (values and
// validity bits) over any row range, so that every output holds exactly the cells of the CSV.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "../recording/types.h"

// What a stream kind looks like in the table: its label, its columns with their names, units
// and decimals.
struct CsvStreamKind {
    const char* label;  // label row: "<label> [<rate> hz]"
    int columns;        // 1..4
    const char* name[4];
    const char* unit[4];
    int decimals[4];  // fixed-point decimals of each column's cells
};

// One stream of a prepared layout, in column order.
struct CsvStream {
    const CsvStreamKind* kind = nullptr;
    int32_t rate_hz = 0;    // shown in the label row
    bool labelled = false;  // has a label in the label row
    bool named = false;     // has its column names and units in the two rows below
    // The samples that fill its cells; nullptr when it has no cells (a configured stream whose
    // samples are missing or unusable keeps its header columns).
    const kx_DataSensor* sensor = nullptr;
    // Whether it fills cells, and from how many samples. A layout prepared from stream lengths
    // alone has cells without a sensor: its samples come in windows.
    bool cells = false;
    size_t length = 0;
    int sensor_id = 0;  // the stream's sensor-map identifier, when it has cells
    // Sample i sits on row i x factor. 0: placed by time instead, at most one a row, on the
    // first row whose time reaches the sample's (later samples move to the following rows).
    uint64_t factor = 0;
};

// Everything the header and the rows need, prepared once per export.
struct CsvLayout {
    int32_t base_hz = 0;  // one row per base tick
    kx_Config::DateStruct createdAt;
    uint64_t rows = 0;    // enough to place every sample of every stream with cells
    size_t row_room = 0;  // the most bytes one row can take
    std::vector<CsvStream> streams;
};

// Where the writer stands: the next row, the running time of the row before it (the sum of
// one 1 / base_hz step per row written so far, never a product, so that it matches a running
// clock to the last bit) and the next time-placed sample.
struct CsvCursor {
    uint64_t row = 0;
    double time_s = 0.0;
    size_t timed_position = 0;
};

// The layout of a recording's table: which streams are used, at which spacing.
CsvLayout csv_prepare_layout(const kx_Config& config, const kx_SensorMap& sensors);

// The same layout from each configured stream's sample count (one entry per stream the sensor
// map would hold), for a recording streamed in windows rather than held whole. The
// orientation stream is counted as the decode step would compute it, unless a count is given.
CsvLayout csv_prepare_layout(const kx_Config& config, const std::unordered_map<int, size_t>& lengths);

// The samples of one stream that a row range needs: `sensor` holds samples first, first + 1, ...
// of the stream (component-major in its own length). One window per stream of the layout.
struct CsvWindow {
    const kx_DataSensor* sensor = nullptr;
    size_t first = 0;
};

// Moves the cursor forward to row `row` without writing anything: the running time and the
// position of the time-placed stream are carried row by row, exactly as the writer does.
// Spaced streams need no carrying: at row r their next sample is ceil(r / factor).
void csv_skip_rows(const CsvLayout& layout, CsvCursor* cursor, uint64_t row);

// The same over windows: a spaced stream's window must hold the samples of rows
// [cursor->row, row), a time-placed stream's the samples from cursor->timed_position on, as many
// as rows are skipped (or to its end).
void csv_skip_rows(const CsvLayout& layout, const CsvWindow* windows, CsvCursor* cursor, uint64_t row);

// The windows of a layout whose streams are held whole (every sensor of the layout).
std::vector<CsvWindow> csv_whole_windows(const CsvLayout& layout);

// Gives the samples of a table's row ranges, asked in row order on one thread: fill() makes the
// windows of rows [first, last) starting at cursor, in storage it owns until the next call with
// the same slot (slots go round, so a window stays put while its range is being formatted).
class CsvRowSource {
public:
    virtual ~CsvRowSource() = default;
    // False when the samples cannot be had (the recording changed or cannot be read).
    virtual bool fill(size_t slot, uint64_t first, uint64_t last, const CsvCursor& cursor,
                      CsvWindow* windows) = 0;
    // Where the source stands after the rows it has given, up to cursor (where those rows leave
    // the table), as bytes: restored, the next fill from cursor goes on from there. A caller
    // keeps copies to go back. False when it cannot be taken or given.
    virtual bool save(const CsvCursor& cursor, std::string* state) const = 0;
    virtual bool restore(const std::string& state) = 0;
};

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

// Fills rows [cursor->row, last) of every column from windows (see csv_skip_rows over windows)
// and advances the cursor like csv_write_rows:
// values[c] points at float (single) or double storage for last - cursor->row values, valid[c]
// at (last - cursor->row + 7) / 8 zeroed bytes, whose bit (r % 8) of byte (r / 8) is set when
// row r has a cell (least significant bit first, as columnar formats keep validity). An empty
// cell's value is 0. nulls[c] receives the count of empty cells.
void table_fill_columns(const CsvLayout& layout, const std::vector<TableColumn>& columns,
                        const CsvWindow* windows, CsvCursor* cursor, uint64_t last, void* const* values,
                        uint8_t* const* valid, uint64_t* nulls);
// The same over a layout whose streams are held whole.
void table_fill_columns(const CsvLayout& layout, const std::vector<TableColumn>& columns, CsvCursor* cursor,
                        uint64_t last, void* const* values, uint8_t* const* valid, uint64_t* nulls);
