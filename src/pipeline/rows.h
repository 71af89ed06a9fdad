// The row sources of the pipeline: a recording streamed from its file, or streams held whole.
#pragma once

#include <cstddef>
#include <memory>
#include <unordered_map>

#include "../recording/recording.h"
#include "../table/table.h"

// Rows of an in-order recording read from its file by one reader per stream. skips: per
// sensor-map identifier, the stream's sample at the table's sample 0 (a synchronised member
// starts inside its streams); the orientation is filtered from the first inertial sample on.
// nullptr when the file no longer holds what its scan found, or the inertial streams would
// start at different samples. layout and config must outlive the source. mode: the filter.
std::unique_ptr<CsvRowSource> kx_streamed_rows(const CsvLayout& layout, const kx_Config& config, const char* path,
                                               const std::unordered_map<int, size_t>& skips,
                                               kx_Orientation mode = kx_Orientation::specified);

// Rows of a layout whose streams are held whole (by the caller, for the source's life).
std::unique_ptr<CsvRowSource> kx_whole_rows(const CsvLayout& layout);

// Samples [first, first + count) of a stream spaced `factor` rows apart, of `length` samples,
// that rows [r0, r1) hold: sample i sits on row i x factor.
void kx_spaced_range(uint64_t factor, size_t length, uint64_t r0, uint64_t r1, size_t* first, size_t* count);
