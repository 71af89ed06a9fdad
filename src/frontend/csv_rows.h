// The CSV export as data: a prepared layout of the streams in use, the header it gives, and a
// writer of any row range, so that rows can be written in one piece, in chunks or in parallel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
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

// The seven header lines, the rows count included.
std::string csv_header(const CsvLayout& layout);

// Moves the cursor forward to row `row` without writing anything: the running time and the
// position of the time-placed stream are carried row by row, exactly as the writer does.
// Spaced streams need no carrying: at row r their next sample is ceil(r / factor).
void csv_skip_rows(const CsvLayout& layout, CsvCursor* cursor, uint64_t row);

// Writes rows [cursor->row, last) at out and advances the cursor, stopping early after the
// row that takes the text to `fill` bytes or more. out must have fill + layout.row_room bytes.
// Returns the bytes written.
size_t csv_write_rows(const CsvLayout& layout, CsvCursor* cursor, uint64_t last, char* out, size_t fill);
