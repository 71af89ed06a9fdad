// The CSV table as columns, and the named streams and answers that the typed-array and
// columnar outputs share. Cells are placed by the same rules as csv_write_rows: a spaced
// stream's sample i on row i x factor, a time-placed stream on the first row whose running
// time reaches the sample's, at most one a row.
#include "table_columns.h"

#include <cstring>

#include "../common/config_text.h"
#include "../common/json_builder.h"
#include "../common/text.h"

const DataStreamKind kDataStreams[kDataStreamCount] = {
    {"accel", KX_ACCEL, 3, {"x", "y", "z"}},
    {"gyro", KX_GYRO, 3, {"x", "y", "z"}},
    {"baro", KX_BARO, 2, {"pressure", "temperature"}},
    {"mag", KX_MAG, 3, {"x", "y", "z"}},
    {"quaternion", KX_QUATERNION, 4, {"w", "x", "y", "z"}},
    {"events", KX_EVENT, 1, {"value"}},
    {"events2", KX_EVENT2, 1, {"value"}},
    {"radioTime", KX_RADIO_TIME, 1, {"value"}},
};

int32_t data_stream_rate(const kx_Config& c, int sensor) {
    switch (sensor) {
        case KX_ACCEL:
            return c.accel.frequency;
        case KX_GYRO:
        case KX_QUATERNION:
            return c.gyro.frequency;
        case KX_BARO:
            return c.baro.frequency;
        case KX_MAG:
            return c.mag.frequency;
        case KX_EVENT:
            return c.event.frequency;
        case KX_EVENT2:
            return c.event2.frequency;
        case KX_RADIO_TIME:
            return c.radioSensor.frequency;
        default:
            return 0;
    }
}

std::string _generate_config_JSON(const kx_Config& config) {
    JsonObject o;
    _config_members_JSON(&o, config);
    o.string("createdAt", _date_to_string(config.createdAt));
    o.string("endDate", _date_to_string(config.endDate));
    o.number("frequency", config.frequency);
    o.number("measureId", config.measureId);
    return o.close();
}

std::vector<TableColumn> table_columns(const CsvLayout& layout) {
    std::vector<TableColumn> columns;
    columns.push_back({"Time", nullptr, 0, false, true});
    for (const CsvStream& s : layout.streams) {
        if (!s.named) continue;
        // Only the orientation is computed in single precision; every decoded value is a double.
        const bool single = std::strcmp(s.kind->label, "Quaternion") == 0;
        for (int k = 0; k < s.kind->columns; ++k)
            columns.push_back({s.kind->name[k], &s, k, single, s.sensor != nullptr});
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
            const kx_DataSensor& s = *col.stream->sensor;
            const double* src = s.data.data() + static_cast<size_t>(col.component) * s.length;
            const uint64_t factor = col.stream->factor;
            if (factor != 0) {
                // The first sample at or after the first row: ceil(first / factor).
                for (uint64_t p = (first + factor - 1) / factor; p < s.length; ++p) {
                    const uint64_t row = p * factor;
                    if (row >= last) break;
                    put(out, col.single, row - first, src[p]);
                    set_valid(valid[c], row - first);
                    ++filled;
                }
            } else {
                size_t p = cursor->timed_position;
                for (uint64_t i = 0; i < n && p < s.length; ++i) {
                    if (times[i] >= s.time[p]) {
                        put(out, col.single, i, src[p]);
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
