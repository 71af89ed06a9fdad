// CSV export of one recording's streams: seven header lines, then one row per base tick with
// each stream placed by its rate and events placed by time. The table of stream kinds below
// drives both the header and the cells.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "../common/fixed_format.h"
#include "../common/output_file.h"
#include "../common/text.h"
#include "binreader2.h"
#include "../pipeline/rows.h"
#include "csv_rows.h"


namespace {

// Room for one value and its comma.
constexpr size_t kCellRoom = kx_fixed::kMaxChars + 1;

void append_int(std::string& out, int64_t v) {
    char buf[24];
    char* p = buf;
    uint64_t u = static_cast<uint64_t>(v);
    if (v < 0) {
        *p++ = '-';
        u = 0 - u;
    }
    p = kx_fixed::format_uint(p, u);
    out.append(buf, static_cast<size_t>(p - buf));
}

// One value with its comma, with the decimals of its column.
inline char* put_value(char* p, double v, int decimals) {
    switch (decimals) {
        case 5:
            p = kx_fixed::format_fixed<5>(p, v);
            break;
        case 3:
            p = kx_fixed::format_fixed<3>(p, v);
            break;
        case 1:
            p = kx_fixed::format_fixed<1>(p, v);
            break;
        default:
            p = kx_fixed::format_fixed_slow(p, v, decimals);
            break;
    }
    *p++ = ',';
    return p;
}

// A stream's state inside one call of the row writer.
struct Lane {
    const double* column[4];  // of the window
    const double* time;       // sample times of the window, for a time-placed stream
    size_t length;            // samples of the whole stream
    size_t first;             // the stream's sample at index 0 of the window
    uint64_t factor;          // 0: placed by time
    size_t position;          // next sample
    uint64_t next_row;        // row of the next sample, for a spaced stream
    int columns;
    const int* decimals;
};

}  // namespace

std::string csv_header(const CsvLayout& layout) {
    std::string labels = "\nTime [", names = "\nTime,", units = "\n[s],";
    append_int(labels, layout.base_hz);
    labels += " hz],";
    for (const CsvStream& s : layout.streams) {
        const CsvStreamKind& k = *s.kind;
        if (s.labelled) {
            labels += k.label;
            labels += " [";
            append_int(labels, s.rate_hz);
            labels += " hz]";
            labels.append(static_cast<size_t>(k.columns), ',');
        }
        if (!s.named) continue;
        for (int i = 0; i < k.columns; ++i) {
            names += k.name[i];
            names += ',';
            units += k.unit[i];
            units += ',';
        }
    }
    std::string header = "Korvel - Tarvex data export\nCreated on: ";
    header += _date_to_string(layout.createdAt);
    header += "\nTotal data points: ";
    append_int(header, static_cast<int64_t>(layout.rows));
    header += '\n';
    header += labels;
    header += names;
    header += units;
    header += '\n';
    return header;
}

size_t csv_write_rows(const CsvLayout& layout, CsvCursor* cursor, uint64_t last, char* out, size_t fill) {
    return csv_write_rows(layout, csv_whole_windows(layout).data(), cursor, last, out, fill);
}

size_t csv_write_rows(const CsvLayout& layout, const CsvWindow* windows, CsvCursor* cursor, uint64_t last,
                      char* out, size_t fill) {
    Lane lanes[8];
    size_t n = 0;
    for (size_t i = 0; i < layout.streams.size(); ++i) {
        const CsvStream& s = layout.streams[i];
        if (!s.cells) continue;
        const kx_DataSensor& w = *windows[i].sensor;
        Lane& l = lanes[n++];
        l.columns = s.kind->columns;
        l.decimals = s.kind->decimals;
        l.length = s.length;
        l.first = windows[i].first;
        for (int k = 0; k < l.columns; ++k) l.column[k] = w.data.data() + k * w.length;
        l.time = w.time.data();
        l.factor = s.factor;
        if (l.factor != 0) {
            // The first sample at or after the first row: ceil(row / factor).
            l.position = static_cast<size_t>((cursor->row + l.factor - 1) / l.factor);
            l.next_row = l.position * l.factor;
        } else {
            l.position = cursor->timed_position;
            l.next_row = 0;
        }
    }

    const double step = 1.0 / layout.base_hz;
    double time = cursor->time_s;
    char* p = out;
    uint64_t r = cursor->row;
    for (; r < last; ++r) {
        // Row times are accumulated, not multiplied, so that they match a running clock.
        time += step;
        p = put_value(p, time, 5);
        for (size_t j = 0; j < n; ++j) {
            Lane& l = lanes[j];
            const bool due = l.position < l.length &&
                             (l.factor != 0 ? r == l.next_row : time >= l.time[l.position - l.first]);
            if (due) {
                const size_t at = l.position - l.first;
                for (int k = 0; k < l.columns; ++k) p = put_value(p, l.column[k][at], l.decimals[k]);
                ++l.position;
                l.next_row += l.factor;
            } else {
                // Empty cells: as many commas as columns (the copy may run past; the row room allows it).
                std::memcpy(p, ",,,,", 4);
                p += l.columns;
            }
        }
        *p++ = '\n';
        if (static_cast<size_t>(p - out) >= fill) {
            ++r;
            break;
        }
    }

    cursor->row = r;
    cursor->time_s = time;
    for (size_t j = 0; j < n; ++j) {
        if (lanes[j].factor == 0) cursor->timed_position = lanes[j].position;
    }
    return static_cast<size_t>(p - out);
}

bool BinReader2::exportCSV(const char* path, const kx_Config* config, const kx_SensorMap* sensors) {
    if (path == nullptr) return false;
    OutputFile file;
    // The file replaces its target only once complete and closed without error.
    return file.open(path) && _write_csv(&file, config, sensors) && file.commit();
}

bool _write_csv(OutputFile* file, const kx_Config* config, const kx_SensorMap* sensors) {
    if (file == nullptr || config == nullptr || sensors == nullptr) return false;
    const CsvLayout layout = csv_prepare_layout(*config, *sensors);
    return csv_write_table(file, layout, kx_whole_rows(layout).get(), -1);
}

bool _write_csv_streamed(OutputFile* file, const char* path, const kx_RecordingScan& scan, int helpers) {
    if (file == nullptr || path == nullptr || !scan.inOrder) return false;
    const CsvLayout layout = csv_prepare_layout(scan.config, scan.lengths);
    const std::unique_ptr<CsvRowSource> rows = kx_streamed_rows(layout, scan.config, path, {});
    return rows && csv_write_table(file, layout, rows.get(), helpers);
}

bool _write_member_csv(OutputFile* file, kx_SourceMember& member, int helpers) {
    return file != nullptr && member.rows && csv_write_table(file, member.layout, member.rows.get(), helpers);
}
