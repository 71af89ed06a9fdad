// CSV export: the exact bytes of a table, the placement of every stream, and write failures.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "frontend/binreader2.h"
#include "frontend/csv_rows.h"
#include "frontend/table_columns.h"
#include "support/recording_builder.h"

namespace {

class TempDir {
public:
    TempDir() : path_(kxtest::temp_dir()) {}
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A stream from per-component value lists (all of one length) and optional times.
kx_DataSensor stream(const std::vector<std::vector<double>>& components,
                     const std::vector<double>& times = {}) {
    const size_t n = components.empty() ? 0 : components[0].size();
    kx_DataSensor s(components.size(), n);
    for (size_t k = 0; k < components.size(); ++k) {
        for (size_t i = 0; i < n; ++i) s.data[k * n + i] = components[k][i];
    }
    for (size_t i = 0; i < n; ++i) s.time[i] = i < times.size() ? times[i] : (i + 1) * 0.01;
    return s;
}

kx_DataSensor constant_stream(size_t dimension, size_t n, double value) {
    kx_DataSensor s(dimension, n);
    for (double& v : s.data) v = value;
    return s;
}

std::string export_text(const kx_Config& c, const kx_SensorMap& m) {
    TempDir dir;
    const std::string path = dir.file("out.csv");
    BinReader2 reader;
    EXPECT_TRUE(reader.exportCSV(path.c_str(), &c, &m));
    return kxtest::read_file(path);
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        out.push_back(text.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return out;
}

TEST(CsvExport, WritesTheExactBytesOfAFullTable) {
    kx_Config c;
    c.frequency = 100;
    c.createdAt = {9, 8, 7, 5, 3, 2024};
    c.gyro.present = true;
    c.gyro.frequency = 100;
    c.accel.present = true;
    c.accel.frequency = 50;
    c.baro.present = true;
    c.baro.frequency = 25;
    c.event.present = true;
    c.event.frequency = 7;  // the event cell shows the base frequency, not this
    kx_SensorMap m;
    m[KX_GYRO] =
        stream({{0, 0.5, 1, 1.5, 2}, {-1.25, -1.25, -1.25, -1.25, -1.25}, {1e-6, 1e-6, 1e-6, 1e-6, 1e-6}});
    m[KX_ACCEL] = stream({{1, 2, 3}, {0, 0, 0}, {-4e-6, -4e-6, -4e-6}});
    // 1000.0625 and 21.25 are exact binary ties at 3 and 1 decimals: printf rounds them to even.
    m[KX_BARO] = stream({{1013.25, 1000.0625}, {21.25, -10}});
    // Two events before the first row's time, one between rows 3 and 4.
    m[KX_EVENT] = stream({{1, 2, 3}}, {0.005, 0.006, 0.045});
    m[KX_QUATERNION] = stream({{1, 0.75, 0.5, 0.25, 0},
                               {0.125, 0.125, 0.125, 0.125, 0.125},
                               {-0.5, -0.5, -0.5, -0.5, -0.5},
                               {0, 0.1, 0.2, 0.1 + 0.2, 0.4}});
    const std::string expected =
        "Korvel - Tarvex data export\n"
        "Created on: 2024-03-05 07:08:09\n"
        "Total data points: 5\n"
        "\n"
        "Time [100 hz],Gyro [100 hz],,,Accel [50 hz],,,Baro [25 hz],,Event [100 hz],Quaternion [100 hz],,,,\n"
        "Time,Gyro X,Gyro Y,Gyro Z,Accel X,Accel Y,Accel Z,Pressure,Temperature,Event,Quat W,Quat X,Quat "
        "Y,Quat Z,\n"
        "[s],[deg/s],[deg/s],[deg/s],[g],[g],[g],[mBar],[degree C],[],[],[],[],[],\n"
        "0.01000,0.00000,-1.25000,0.00000,1.00000,0.00000,-0.00000,1013.250,21.2,1.000,1.00000,0.12500,-0."
        "50000,0.00000,\n"
        "0.02000,0.50000,-1.25000,0.00000,,,,,,2.000,0.75000,0.12500,-0.50000,0.10000,\n"
        "0.03000,1.00000,-1.25000,0.00000,2.00000,0.00000,-0.00000,,,,0.50000,0.12500,-0.50000,0.20000,\n"
        "0.04000,1.50000,-1.25000,0.00000,,,,,,,0.25000,0.12500,-0.50000,0.30000,\n"
        "0.05000,2.00000,-1.25000,0.00000,3.00000,0.00000,-0.00000,1000.062,-10.0,3.000,0.00000,0.12500,-0."
        "50000,0.40000,\n";
    EXPECT_EQ(export_text(c, m), expected);
}

// One layout case: a configuration, a map, and what the lines must show.
struct LayoutCase {
    const char* what;
    kx_Config config;
    kx_SensorMap sensors;
    std::vector<std::string> header;                   // lines 3 to 7 (total, empty, frequency, names, units)
    std::vector<std::pair<size_t, std::string>> rows;  // data row index, its exact text
    size_t row_count;
};

kx_Config base_config(int hz) {
    kx_Config c;
    c.frequency = hz;
    return c;
}

std::vector<LayoutCase> layout_cases() {
    std::vector<LayoutCase> cases;
    {
        // 1000 Hz ticks with 100 Hz sensors: every sample reaches the table, ten rows apart.
        LayoutCase t{"slow sensors on a fast clock", base_config(1000), {}, {}, {}, 31};
        t.config.gyro = {1, 100, 245, 0, 0, 0, 1, 1, 1, 0, 0, true};
        t.config.accel = t.config.gyro;
        t.sensors[KX_GYRO] = stream({{1, 2, 3, 4}, {0, 0, 0, 0}, {0, 0, 0, 0}});
        t.sensors[KX_ACCEL] = stream({{5, 6, 7, 8}, {0, 0, 0, 0}, {0, 0, 0, 0}});
        t.header = {"Total data points: 31", "", "Time [1000 hz],Gyro [100 hz],,,Accel [100 hz],,,",
                    "Time,Gyro X,Gyro Y,Gyro Z,Accel X,Accel Y,Accel Z,",
                    "[s],[deg/s],[deg/s],[deg/s],[g],[g],[g],"};
        t.rows = {{0, "0.00100,1.00000,0.00000,0.00000,5.00000,0.00000,0.00000,"},
                  {1, "0.00200,,,,,,,"},
                  {10, "0.01100,2.00000,0.00000,0.00000,6.00000,0.00000,0.00000,"},
                  {30, "0.03100,4.00000,0.00000,0.00000,8.00000,0.00000,0.00000,"}};
        cases.push_back(t);
    }
    {
        // A half-rate accelerometer as long as the gyroscope: the table grows to hold it all.
        LayoutCase t{"half-rate stream of full length", base_config(100), {}, {}, {}, 5};
        t.config.gyro = {1, 100, 245, 0, 0, 0, 1, 1, 1, 0, 0, true};
        t.config.accel = t.config.gyro;
        t.config.accel.frequency = 50;
        t.sensors[KX_GYRO] = constant_stream(3, 3, 1);
        t.sensors[KX_ACCEL] = stream({{1, 2, 3}, {0, 0, 0}, {0, 0, 0}});
        t.rows = {{0, "0.01000,1.00000,1.00000,1.00000,1.00000,0.00000,0.00000,"},
                  {1, "0.02000,1.00000,1.00000,1.00000,,,,"},
                  {2, "0.03000,1.00000,1.00000,1.00000,2.00000,0.00000,0.00000,"},
                  {3, "0.04000,,,,,,,"},
                  {4, "0.05000,,,,3.00000,0.00000,0.00000,"}};
        cases.push_back(t);
    }
    {
        // Configured streams that are missing or empty keep their header cells only.
        LayoutCase t{"configured but missing streams", base_config(100), {}, {}, {}, 2};
        t.config.gyro = {1, 100, 245, 0, 0, 0, 1, 1, 1, 0, 0, true};
        t.config.accel = t.config.gyro;
        t.config.baro = {3, 25, 0, 0, true};
        t.config.event.present = true;
        t.sensors[KX_GYRO] = constant_stream(3, 2, -2);
        t.sensors[KX_BARO] = kx_DataSensor(2, 0);
        t.sensors[KX_EVENT] = kx_DataSensor(1, 0);
        t.header = {"Total data points: 2", "",
                    "Time [100 hz],Gyro [100 hz],,,Accel [100 hz],,,Baro [25 hz],,Event [100 hz],",
                    "Time,Gyro X,Gyro Y,Gyro Z,Accel X,Accel Y,Accel Z,Pressure,Temperature,",
                    "[s],[deg/s],[deg/s],[deg/s],[g],[g],[g],[mBar],[degree C],"};
        t.rows = {{1, "0.02000,-2.00000,-2.00000,-2.00000,"}};
        cases.push_back(t);
    }
    {
        // A stream shorter than the table leaves empty cells once its samples are used up.
        LayoutCase t{"stream shorter than the table", base_config(100), {}, {}, {}, 4};
        t.config.gyro = {1, 100, 245, 0, 0, 0, 1, 1, 1, 0, 0, true};
        t.config.accel = t.config.gyro;
        t.sensors[KX_GYRO] = constant_stream(3, 4, 0.5);
        t.sensors[KX_ACCEL] = constant_stream(3, 2, 0.25);
        t.rows = {{1, "0.02000,0.50000,0.50000,0.50000,0.25000,0.25000,0.25000,"},
                  {2, "0.03000,0.50000,0.50000,0.50000,,,,"},
                  {3, "0.04000,0.50000,0.50000,0.50000,,,,"}};
        cases.push_back(t);
    }
    {
        // Rates that give no row spacing: 0 Hz, faster than the base clock. Such streams are
        // left out of the rows and the count; their header cells stay.
        LayoutCase t{"streams without a row spacing", base_config(100), {}, {}, {}, 3};
        t.config.gyro = {1, 0, 245, 0, 0, 0, 1, 1, 1, 0, 0, true};
        t.config.accel = t.config.gyro;
        t.config.accel.frequency = 200;
        t.config.baro = {3, 100, 0, 0, true};
        t.sensors[KX_GYRO] = constant_stream(3, 10, 1);
        t.sensors[KX_ACCEL] = constant_stream(3, 10, 1);
        t.sensors[KX_BARO] = constant_stream(2, 3, 1);
        t.sensors[KX_QUATERNION] = constant_stream(4, 10, 1);  // no gyroscope stream: left out
        t.header = {"Total data points: 3", "",
                    "Time [100 hz],Gyro [0 hz],,,Accel [200 hz],,,Baro [100 hz],,",
                    "Time,Gyro X,Gyro Y,Gyro Z,Accel X,Accel Y,Accel Z,Pressure,Temperature,",
                    "[s],[deg/s],[deg/s],[deg/s],[g],[g],[g],[mBar],[degree C],"};
        t.rows = {{2, "0.03000,1.000,1.0,"}};
        cases.push_back(t);
    }
    {
        // No base frequency: nothing can be placed, only the header is written.
        LayoutCase t{"no base frequency", base_config(0), {}, {}, {}, 0};
        t.config.gyro = {1, 100, 245, 0, 0, 0, 1, 1, 1, 0, 0, true};
        t.config.event.present = true;
        t.sensors[KX_GYRO] = constant_stream(3, 10, 1);
        t.sensors[KX_EVENT] = constant_stream(1, 10, 1);
        t.sensors[KX_QUATERNION] = constant_stream(4, 10, 1);
        t.header = {"Total data points: 0", "", "Time [0 hz],Gyro [100 hz],,,Event [0 hz],",
                    "Time,Gyro X,Gyro Y,Gyro Z,", "[s],[deg/s],[deg/s],[deg/s],"};
        cases.push_back(t);
    }
    {
        // The second event channel is chosen over the first; the frequency cell follows the
        // first channel's flag alone. Events are placed by time, one per row at most.
        LayoutCase t{"second event channel", base_config(10), {}, {}, {}, 4};
        t.config.event2.present = true;
        t.sensors[KX_EVENT] = stream({{9, 9, 9, 9, 9}});
        t.sensors[KX_EVENT2] = stream({{4, 5, 6, 7}}, {0.0, 0.05, 0.25, 0.25});
        t.header = {"Total data points: 4", "", "Time [10 hz],", "Time,Event,", "[s],[],"};
        t.rows = {{0, "0.10000,4.000,"}, {1, "0.20000,5.000,"}, {2, "0.30000,6.000,"}, {3, "0.40000,7.000,"}};
        cases.push_back(t);
    }
    {
        // Events later than the rows their count opens stay out; nothing is invented.
        LayoutCase t{"late events", base_config(10), {}, {}, {}, 2};
        t.config.event.present = true;
        t.sensors[KX_EVENT] = stream({{1, 2}}, {0.15, 5.0});
        t.rows = {{0, "0.10000,,"}, {1, "0.20000,1.000,"}};
        cases.push_back(t);
    }
    {
        // An event exactly on a row's running time belongs to that row, not the next one.
        LayoutCase t{"event on a row's time", base_config(10), {}, {}, {}, 4};
        t.config.event.present = true;
        const double row1 = 0.1 + 0.1, row2 = row1 + 0.1;  // the running clock of rows 1 and 2
        t.sensors[KX_EVENT] = stream({{1, 2, 3, 4}}, {row1, row2, 5.0, 6.0});
        t.rows = {{0, "0.10000,,"}, {1, "0.20000,1.000,"}, {2, "0.30000,2.000,"}, {3, "0.40000,,"}};
        cases.push_back(t);
    }
    return cases;
}

TEST(CsvExport, PlacesEveryStreamByItsRate) {
    for (const LayoutCase& t : layout_cases()) {
        SCOPED_TRACE(t.what);
        const std::vector<std::string> lines = lines_of(export_text(t.config, t.sensors));
        ASSERT_EQ(lines.size(), 7 + t.row_count);
        EXPECT_EQ(lines[0], "Korvel - Tarvex data export");
        for (size_t i = 0; i < t.header.size(); ++i) EXPECT_EQ(lines[2 + i], t.header[i]) << i;
        for (const auto& [row, text] : t.rows) {
            ASSERT_LT(7 + row, lines.size());
            EXPECT_EQ(lines[7 + row], text) << row;
        }
    }
}

TEST(CsvExport, RowRangesJoinToTheWholeTable) {
    // Rows written in pieces, each started from a cursor moved to its first row, give the
    // bytes of the whole table: the seam that chunked, parallel and streamed output rely on.
    for (const LayoutCase& t : layout_cases()) {
        SCOPED_TRACE(t.what);
        const std::string whole = export_text(t.config, t.sensors);
        const CsvLayout layout = csv_prepare_layout(t.config, t.sensors);
        ASSERT_EQ(layout.rows, t.row_count);
        const std::string header = csv_header(layout);
        ASSERT_EQ(whole.substr(0, header.size()), header);
        for (uint64_t piece : {1, 2, 3, 7}) {
            std::string rows;
            for (uint64_t first = 0; first < layout.rows; first += piece) {
                CsvCursor cursor;
                csv_skip_rows(layout, &cursor, first);
                const uint64_t last = std::min<uint64_t>(first + piece, layout.rows);
                std::vector<char> buf(piece * layout.row_room + 1);
                const size_t n = csv_write_rows(layout, &cursor, last, buf.data(), buf.size());
                EXPECT_EQ(cursor.row, last);
                rows.append(buf.data(), n);
            }
            EXPECT_EQ(header + rows, whole) << "pieces of " << piece;
        }
    }
}

TEST(CsvExport, ColumnsInAnyRowRangesHoldTheCellsOfTheTable) {
    // The table as columns (for columnar files), filled in pieces from cursors moved to their
    // first row, printed back with printf's digits: the rows of the CSV, empty cells where a
    // column has no value, and the columns of a stream without cells left out of the rows.
    for (const LayoutCase& t : layout_cases()) {
        SCOPED_TRACE(t.what);
        const std::vector<std::string> lines = lines_of(export_text(t.config, t.sensors));
        const CsvLayout layout = csv_prepare_layout(t.config, t.sensors);
        const std::vector<TableColumn> columns = table_columns(layout);
        ASSERT_EQ(std::string(columns[0].name), "Time");
        for (uint64_t piece : {1, 3, 7, 1000}) {
            for (uint64_t first = 0; first < layout.rows; first += piece) {
                const uint64_t last = std::min<uint64_t>(first + piece, layout.rows);
                const size_t n = static_cast<size_t>(last - first);
                std::vector<std::vector<double>> doubles(columns.size(), std::vector<double>(n, -1));
                std::vector<std::vector<float>> floats(columns.size(), std::vector<float>(n, -1));
                std::vector<std::vector<uint8_t>> valid(columns.size(), std::vector<uint8_t>((n + 7) / 8, 0));
                std::vector<void*> values;
                std::vector<uint8_t*> bits;
                for (size_t c = 0; c < columns.size(); ++c) {
                    values.push_back(columns[c].single ? static_cast<void*>(floats[c].data())
                                                       : doubles[c].data());
                    bits.push_back(valid[c].data());
                }
                std::vector<uint64_t> nulls(columns.size());
                CsvCursor cursor;
                csv_skip_rows(layout, &cursor, first);
                table_fill_columns(layout, columns, &cursor, last, values.data(), bits.data(), nulls.data());
                EXPECT_EQ(cursor.row, last);
                for (size_t i = 0; i < n; ++i) {
                    std::string row;
                    for (size_t c = 0; c < columns.size(); ++c) {
                        const bool has = (valid[c][i / 8] >> (i % 8)) & 1;
                        if (!columns[c].cells) {
                            EXPECT_FALSE(has);
                            continue;
                        }
                        if (has) {
                            const int decimals =
                                columns[c].stream == nullptr
                                    ? 5
                                    : columns[c].stream->kind->decimals[columns[c].component];
                            const double v = columns[c].single ? floats[c][i] : doubles[c][i];
                            char cell[64];
                            std::snprintf(cell, sizeof cell, "%.*f", decimals, v);
                            row += cell;
                        }
                        row += ',';
                    }
                    ASSERT_LT(7 + first + i, lines.size());
                    EXPECT_EQ(row, lines[7 + first + i]) << "row " << first + i << ", pieces of " << piece;
                }
                for (size_t c = 0; c < columns.size(); ++c) {
                    uint64_t empty = 0;
                    for (size_t i = 0; i < n; ++i) empty += !((valid[c][i / 8] >> (i % 8)) & 1);
                    EXPECT_EQ(nulls[c], empty) << columns[c].name;
                }
            }
        }
    }
}

TEST(CsvExport, LongTablesMatchARunningClockAndPrintfDigits) {
    // More than one write buffer of rows: every row's time is the running sum of the steps
    // and every value printf's digits.
    kx_Config c = base_config(100);
    c.gyro = {1, 100, 245, 0, 0, 0, 1, 1, 1, 0, 0, true};
    const size_t n = 40000;
    kx_DataSensor g(3, n);
    for (size_t i = 0; i < 3 * n; ++i) g.data[i] = std::sin(static_cast<double>(i)) * 300;
    kx_SensorMap m;
    m[KX_GYRO] = g;
    const std::vector<std::string> lines = lines_of(export_text(c, m));
    ASSERT_EQ(lines.size(), 7 + n);
    double t = 0;
    char expected[256];
    int bad = 0;
    for (size_t r = 0; r < n; ++r) {
        t += 0.01;
        std::snprintf(expected, sizeof expected, "%.5f,%.5f,%.5f,%.5f,", t, g.data[r], g.data[n + r],
                      g.data[2 * n + r]);
        if (lines[7 + r] != expected && ++bad < 5)
            ADD_FAILURE() << r << ": " << lines[7 + r] << " vs " << expected;
    }
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(lines[7 + 99].substr(0, 8), "1.00000,");  // the hundredth row
}

TEST(CsvExport, FailuresAnswerFalseAndLeaveNoFile) {
    kx_Config c = base_config(100);
    c.gyro = {1, 100, 245, 0, 0, 0, 1, 1, 1, 0, 0, true};
    kx_SensorMap m;
    m[KX_GYRO] = constant_stream(3, 200000, 123.456);  // about 20 MB of rows
    BinReader2 reader;
    TempDir dir;

    const std::string missing_dir = dir.file("no/such/dir/out.csv");
    EXPECT_FALSE(reader.exportCSV(missing_dir.c_str(), &c, &m));
    EXPECT_FALSE(std::filesystem::exists(dir.file("no")));

    // A full disk: every write after the open fails.
    if (std::filesystem::exists("/dev/full")) {
        EXPECT_FALSE(reader.exportCSV("/dev/full", &c, &m));
    }

    // A file-size limit cuts the table short: the old file stays as it was and no temporary
    // file is left behind.
    const std::string target = dir.file("old.csv");
    kxtest::write_file(target, {'o', 'l', 'd'});
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    void (*previous)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = saved;
    limited.rlim_cur = 1 << 20;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const bool written = reader.exportCSV(target.c_str(), &c, &m);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    EXPECT_FALSE(written);
    EXPECT_EQ(kxtest::read_file(target), "old");
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, 1u);

    // Complete: the target is replaced.
    ASSERT_TRUE(reader.exportCSV(target.c_str(), &c, &m));
    EXPECT_EQ(kxtest::read_file(target).substr(0, 11), "Korvel - Ta");
}

}  // namespace
