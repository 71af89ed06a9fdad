// A CSV table written in ranges of rows: filled in order, formatted side by side on the threads
// of one call, written in order, so that memory stays bounded by the ranges in flight.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../common/output_file.h"
#include "csv_rows.h"

namespace {

// Rows of one range: about 4 MB of text at 100-odd bytes a row, large enough that handing a
// range over costs nothing beside formatting it.
constexpr uint64_t kRangeRows = 32768;

// Tables being written in this process. A batch runs several reads at once on worker threads;
// helpers are only worth starting on cores those reads leave free.
std::atomic<int> running_tables{0};

int cores() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : static_cast<int>(n);
}

// One range of rows and its text, in one of the slots that go round.
struct Range {
    enum State { kFree, kReady, kFormatting, kDone };
    State state = kFree;
    uint64_t index = 0;  // position of the range in the table
    uint64_t last = 0;
    CsvCursor cursor;  // at the range's first row
    std::vector<CsvWindow> windows;
    std::unique_ptr<char[]> text;
    size_t capacity = 0;
    size_t size = 0;
};

class Table {
public:
    Table(OutputFile* file, const CsvLayout& layout, size_t slots)
        : file_(file), layout_(layout), ranges_(slots) {
        for (Range& r : ranges_) r.windows.resize(layout.streams.size());
    }

    bool run(CsvRowSource* source, int helpers);

private:
    // Formats one claimed range (outside the lock), then writes whatever is next in order.
    void format(Range* r) {
        const size_t need = static_cast<size_t>(r->last - r->cursor.row) * layout_.row_room;
        if (r->capacity < need) {
            r->text.reset(new char[need]);  // left uninitialised: only the written part is touched
            r->capacity = need;
        }
        CsvCursor cursor = r->cursor;
        r->size = csv_write_rows(layout_, r->windows.data(), &cursor, r->last, r->text.get(), need);
    }

    // Under the lock: a range that is ready and not yet claimed, or nullptr.
    Range* claim_locked() {
        Range* best = nullptr;
        for (Range& r : ranges_) {
            if (r.state == Range::kReady && (best == nullptr || r.index < best->index)) best = &r;
        }
        if (best != nullptr) best->state = Range::kFormatting;
        return best;
    }

    // Formats a claimed range, then writes every range that is next in order and done. One
    // thread writes at a time; the file sees the ranges in order.
    void finish(Range* r, std::unique_lock<std::mutex>& lock) {
        lock.unlock();
        format(r);
        lock.lock();
        r->state = Range::kDone;
        while (!writing_) {
            Range& next = ranges_[next_write_ % ranges_.size()];
            if (next.state != Range::kDone || next.index != next_write_) break;
            writing_ = true;
            lock.unlock();
            const bool ok = failed_ || file_->write(next.text.get(), next.size);
            lock.lock();
            writing_ = false;
            if (!ok) failed_ = true;
            next.state = Range::kFree;
            ++next_write_;
        }
        changed_.notify_all();
    }

    void helper(int rank) {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            // A helper stands down once reads started since would leave it no core.
            if (stop_ || rank >= cores() - running_tables.load()) return;
            Range* r = claim_locked();
            if (r == nullptr) {
                changed_.wait(lock);
                continue;
            }
            finish(r, lock);
        }
    }

    OutputFile* file_;
    const CsvLayout& layout_;
    std::vector<Range> ranges_;
    std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t next_write_ = 0;
    bool writing_ = false;
    bool failed_ = false;
    bool stop_ = false;
};

bool Table::run(CsvRowSource* source, int helpers) {
    std::vector<std::thread> threads;
    for (int i = 0; i < helpers; ++i) threads.emplace_back([this, i] { helper(i); });
    // Joins the helpers on every way out.
    struct Joiner {
        Table* table;
        std::vector<std::thread>* threads;
        ~Joiner() {
            {
                std::lock_guard<std::mutex> guard(table->mutex_);
                table->stop_ = true;
            }
            table->changed_.notify_all();
            for (std::thread& t : *threads) t.join();
        }
    } joiner{this, &threads};

    CsvCursor cursor;
    const uint64_t count = (layout_.rows + kRangeRows - 1) / kRangeRows;
    std::unique_lock<std::mutex> lock(mutex_);
    for (uint64_t k = 0; k < count && !failed_; ++k) {
        Range& r = ranges_[k % ranges_.size()];
        // Wait for the slot, formatting ranges meanwhile rather than idling.
        while (r.state != Range::kFree && !failed_) {
            Range* ready = claim_locked();
            if (ready != nullptr) {
                finish(ready, lock);
            } else {
                changed_.wait(lock);
            }
        }
        if (failed_) break;
        lock.unlock();
        const uint64_t first = k * kRangeRows;
        const uint64_t last = std::min(layout_.rows, first + kRangeRows);
        if (!source->fill(k % ranges_.size(), first, last, cursor, r.windows.data())) {
            lock.lock();
            failed_ = true;
            break;
        }
        r.index = k;
        r.last = last;
        r.cursor = cursor;
        // Row times are a running sum: carried in order here, before the range is formatted.
        csv_skip_rows(layout_, r.windows.data(), &cursor, last);
        lock.lock();
        r.state = Range::kReady;
        changed_.notify_all();
    }
    // Format and write what is left.
    while (!failed_ && next_write_ < count) {
        Range* ready = claim_locked();
        if (ready != nullptr) {
            finish(ready, lock);
        } else {
            changed_.wait(lock);
        }
    }
    return !failed_;
}

}  // namespace

int csv_helper_threads() {
    return std::clamp(cores() - running_tables.load(), 0, 3);
}

bool csv_write_table(OutputFile* file, const CsvLayout& layout, CsvRowSource* source, int helpers) {
    if (file == nullptr || source == nullptr) return false;
    const std::string header = csv_header(layout);
    if (!file->write(header.data(), header.size())) return false;
    ++running_tables;
    struct Leave {
        ~Leave() { --running_tables; }
    } leave;
    if (helpers < 0) helpers = csv_helper_threads();
    // Two ranges in flight a thread: one being formatted, one filled or waiting to be written.
    Table table(file, layout, 2 * static_cast<size_t>(helpers + 1) + 1);
    return table.run(source, helpers);
}
