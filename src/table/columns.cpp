// The CSV table as columns. Cells are placed by the same rules as csv_write_rows: a spaced
// stream's sample i on row i x factor, a time-placed stream on the first row whose running
// time reaches the sample's, at most one a row.
#include <cstring>
#include <vector>

#include "table.h"

std::vector<TableColumn> table_columns(const CsvLayout& layout) {
    std::vector<TableColumn> columns;
    columns.push_back({"Time", nullptr, 0, false, true});
    for (const CsvStream& s : layout.streams) {
        if (!s.named) continue;
        // Only the orientation is computed in single precision; every decoded value is a double.
        const bool single = std::strcmp(s.kind->label, "Quaternion") == 0;
        for (int k = 0; k < s.kind->columns; ++k)
            columns.push_back({s.kind->name[k], &s, k, single, s.cells});
    }
    return columns;
}

namespace {

inline void put(void* values, bool single, uint64_t i, double v) {
    if (single)
        static_cast<float*>(values)[i] = static_cast<float>(v);
    else
        static_cast<double*>(values)[i] = v;
}

inline void set_valid(uint8_t* valid, uint64_t i) {
    valid[i >> 3] |= static_cast<uint8_t>(1u << (i & 7));
}

}  // namespace

void table_fill_columns(const CsvLayout& layout, const std::vector<TableColumn>& columns, CsvCursor* cursor,
                        uint64_t last, void* const* values, uint8_t* const* valid, uint64_t* nulls) {
    table_fill_columns(layout, columns, csv_whole_windows(layout).data(), cursor, last, values, valid, nulls);
}

void table_fill_columns(const CsvLayout& layout, const std::vector<TableColumn>& columns,
                        const CsvWindow* windows, CsvCursor* cursor, uint64_t last, void* const* values,
                        uint8_t* const* valid, uint64_t* nulls) {
    const uint64_t first = cursor->row;
    const uint64_t n = last > first ? last - first : 0;

    // Time: a running sum, as the CSV's clock, never a product.
    const double step = 1.0 / layout.base_hz;
    double* times = static_cast<double*>(values[0]);
    double time = cursor->time_s;
    for (uint64_t i = 0; i < n; ++i) {
        time += step;
        times[i] = time;
        set_valid(valid[0], i);
    }
    nulls[0] = 0;

    size_t timed_position = cursor->timed_position;
    for (size_t c = 1; c < columns.size(); ++c) {
        const TableColumn& col = columns[c];
        void* out = values[c];
        uint64_t filled = 0;
        for (uint64_t i = 0; i < n; ++i) put(out, col.single, i, 0.0);
        if (col.cells) {
            // The window holds samples w.first, w.first + 1, ... of a stream of col.stream->length.
            const CsvWindow& w = windows[col.stream - layout.streams.data()];
            const kx_DataSensor& s = *w.sensor;
            const double* src = s.data.data() + static_cast<size_t>(col.component) * s.length;
            const double* sample_times = s.time.data();
            const size_t at = w.first;
            const size_t length = col.stream->length;
            const uint64_t factor = col.stream->factor;
            if (factor != 0) {
                // The first sample at or after the first row: ceil(first / factor).
                for (uint64_t p = (first + factor - 1) / factor; p < length; ++p) {
                    const uint64_t row = p * factor;
                    if (row >= last) break;
                    put(out, col.single, row - first, src[p - at]);
                    set_valid(valid[c], row - first);
                    ++filled;
                }
            } else {
                size_t p = cursor->timed_position;
                for (uint64_t i = 0; i < n && p < length; ++i) {
                    if (times[i] >= sample_times[p - at]) {
                        put(out, col.single, i, src[p - at]);
                        set_valid(valid[c], i);
                        ++filled;
                        ++p;
                    }
                }
                timed_position = p;
            }
        }
        nulls[c] = n - filled;
    }

    cursor->row = first + n;
    cursor->time_s = time;
    cursor->timed_position = timed_position;
}
