// The one door from recordings to rows: a source is one recording or a synchronised set, each
// member a prepared table whose row ranges come from stream readers, the orientation filter and
// the synchronisation's shifts and window, in memory bounded by the range. Every output (CSV,
// columns, typed arrays) draws on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "../recording/recording.h"
#include "../sync/sync.h"
#include "../table/table.h"

struct kx_SourceOptions {
    // The filter that computes every member's orientation stream.
    kx_Orientation orientation = kx_Orientation::specified;
    // Most rows a member's table may have; 0: the default rule (see kx_row_limit).
    uint64_t max_rows = 0;
};

// Why a source could not be opened. The first four are the decode errors of one recording;
// a set answers the stage that failed, as readAndSync2's statuses do.
enum class kx_SourceError {
    none,
    missing,
    unreadable,
    notARecording,
    truncated,
    setRead,          // a recording of a set could not be read in full
    setOrientation,   // a recording of a set has no orientation stream
    setSync,          // the set could not be synchronised
    tooManyRows,      // a table would be implausibly large for its recording
};

// The code of an error, as the module's callers name it: ENOENT, KX_NOT_A_RECORDING,
// KX_TRUNCATED, KX_SYNC (any stage of a set; see _sync_status), KX_TOO_MANY_ROWS, or
// "unreadable", whose own reason (EACCES, EISDIR...) the caller finds from the file system.
const char* kx_sourceErrorCode(kx_SourceError e);

// The default limit on a table's rows for a recording of `records` data records: 1024 rows a
// record, and never less than 65536. A table row is a base tick; the bundled simulator keeps
// every stream at 1 Hz or more on a base of at most 1000 Hz, so its tables stay within 1000
// rows a record, while a few records claiming a fast base and slow streams would ask for far more.
uint64_t kx_row_limit(uint64_t records);

// One member of a source: the recording, its table's layout and where its rows come from.
struct kx_SourceMember {
    std::string path;
    kx_Config config;
    CsvLayout layout;
    double shift_s = 0.0;  // the accelerometer's shift onto the set's time base; 0 alone
    // Per sensor-map identifier, the shift a streamed member's samples take onto the set's time
    // base (a set held whole has its streams moved already): empty alone.
    std::unordered_map<int, double> shifts_s;
    // Per sensor-map identifier, the samples the recording holds (its scan's counts).
    std::unordered_map<int, size_t> recorded;
    // First and last sample time (seconds) of each stream with samples: a single recording's
    // every stream on its own clock; a set member's synchronised streams (the table's, event
    // channels aside) on the set's time base.
    std::unordered_map<int, std::pair<double, double>> spans_s;
    std::unique_ptr<CsvRowSource> rows;
    CsvCursor cursor;  // where fill_columns stands
    // Where the rows stood every kx_checkpoint_rows rows or more, from row 0: a range that goes
    // back starts from the last one before it.
    struct Checkpoint {
        CsvCursor cursor;
        std::string state;
    };
    std::vector<Checkpoint> checkpoints;
    // The recording's own clock (seconds) at row 0: the time of the first sample of the first
    // stream spaced on the rows; a set's rows are on the common base, own time + shift_s.
    double row_zero_s = 0.0;
    // The magnetometer, which the table does not show: its samples (0 in a set, whose maps carry
    // none), read through stream_samples for outputs that add its columns.
    size_t magnetometer_samples = 0;
};

// What a member holds of one stream: its samples (those its table places on its rows when
// carried, else those its recording holds) and, for a single recording, its first and last
// sample times (seconds).
struct kx_MemberStream {
    size_t samples = 0;
    bool carried = false;
    bool spanned = false;
    double first_s = 0.0;
    double last_s = 0.0;
};

// The stream of sensor-map identifier `sensor` of member into *out; false when it has none.
bool kx_memberStream(const kx_SourceMember& member, int sensor, kx_MemberStream* out);

// Rows between two checkpoints of a member at least: a week at 100 Hz keeps about 1,800 of a
// few kilobytes each, and going back runs through fewer than this many rows.
constexpr uint64_t kx_checkpoint_rows = 32768;

class kx_Source {
public:
    kx_Source();
    ~kx_Source();
    kx_Source(const kx_Source&) = delete;
    kx_Source& operator=(const kx_Source&) = delete;

    // Opens one recording (one path) or a synchronised set (two or more). On an error,
    // error_path() names the recording it is about and error_rows() the refused row count.
    kx_SourceError open(const std::vector<std::string>& paths, const kx_SourceOptions& options);
    // Opens paths as a set whatever their number (a set of one is refused by the synchronisation).
    kx_SourceError open_set(const std::vector<std::string>& paths, const kx_SourceOptions& options);

    size_t size() const { return members_.size(); }
    kx_SourceMember& member(size_t m) { return *members_[m]; }
    const std::string& error_path() const { return error_path_; }
    uint64_t error_rows() const { return error_rows_; }

    // Fills rows [first, last) of member m's columns (see table_fill_columns; values and valid
    // sized for last - first rows, valid zeroed). Any range may be asked: rows skipped are run
    // through, and a range that goes back starts from the checkpoint before it. False when the
    // recording no longer holds the rows.
    bool fill_columns(size_t m, uint64_t first, uint64_t last, void* const* values, uint8_t* const* valid,
                      uint64_t* nulls);
    // Whether the source is a synchronised set (of any number of recordings).
    bool is_set() const { return set_; }
    // The samples each stream with cells places on rows [first, last) of member m, by sensor-map
    // identifier, with their times (seconds, on the set's time base for a set member; the
    // orientation at its inertial samples' times). Same ordering rules as fill_columns.
    bool samples(size_t m, uint64_t first, uint64_t last, kx_SensorMap* out);
    // Samples [first, first + count) (or to its end) of a whole stream, read forward from the
    // file; going back opens the stream again. A single recording answers any stream (the
    // magnetometer, the event channel the table leaves out, radio time...); a set member its
    // event channels, uncut, moved onto the set's time base by its shift. False for another
    // stream of a set member or when the file no longer holds them.
    bool stream_samples(size_t m, int sensor_id, size_t first, size_t count, kx_DataSensor* out);
    // Bytes the source holds while open: its members' stream readers and those stream_samples
    // opened, for a caller that reports memory held outside its own heap.
    size_t bytes() const;

private:
    kx_SourceError open_one(const std::string& path, const kx_SourceOptions& options);
    bool advance(kx_SourceMember& member, uint64_t row);
    bool reach(kx_SourceMember& member, uint64_t row);
    void checkpoint(kx_SourceMember& member);
    bool find_row_zero(kx_SourceMember& member, bool held_set);

    struct Held;  // what whole-recording members keep alive
    struct Extra {  // a reader of a stream outside the table, and the sample it stands at
        std::unique_ptr<kx_StreamReader> reader;
        size_t next = 0;
    };
    // By member and sensor-map identifier (see stream_samples).
    std::unordered_map<uint64_t, Extra> extras_;
    std::unique_ptr<Held> held_;
    std::vector<std::unique_ptr<kx_SourceMember>> members_;
    std::string error_path_;
    uint64_t error_rows_ = 0;
    bool set_ = false;
};

// A synchronised set held whole: the decoded recordings and their maps on the common time base.
// The recordings are declared last so that they are freed before the maps.
struct kx_SyncedSet {
    kx_SyncedMaps synced;
    std::vector<std::unique_ptr<kx_Recording>> recordings;
};

// The stages of readAndSync2 on whole recordings: reads, adds orientation and synchronises the
// recordings at paths into set. Answers the stage that failed; an empty list is none.
kx_SourceError kx_syncRecordings(const std::vector<std::string>& paths, kx_SyncedSet* set,
                                 kx_Orientation mode = kx_Orientation::specified);
