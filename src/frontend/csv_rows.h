// The CSV export of a table: the header its layout gives and a writer of any row range, so
// that rows can be written in one piece, in chunks or in parallel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "../table/table.h"

// The seven header lines, the rows count included.
std::string csv_header(const CsvLayout& layout);

// Writes rows [cursor->row, last) at out and advances the cursor, stopping early after the
// row that takes the text to `fill` bytes or more. out must have fill + layout.row_room bytes.
// Returns the bytes written.
size_t csv_write_rows(const CsvLayout& layout, CsvCursor* cursor, uint64_t last, char* out, size_t fill);

// The same over windows, which must hold what csv_skip_rows over windows names for these rows.
size_t csv_write_rows(const CsvLayout& layout, const CsvWindow* windows, CsvCursor* cursor, uint64_t last,
                      char* out, size_t fill);

class OutputFile;
// Writes the header and rows [0, layout.rows) into file: ranges of rows are filled in order on
// the calling thread, formatted into buffers of their own by the calling thread and `helpers`
// threads of this call, and written in order. False when a fill or a write failed.
bool csv_write_table(OutputFile* file, const CsvLayout& layout, CsvRowSource* source, int helpers);

// Threads to add to a call of csv_write_table beside the caller's: the cores left over by the
// reads already running in this process (a batch's workers each run one), at most 3.
int csv_helper_threads();
