// The synchronisation stage of a set of in-order recordings, found from their scans.
#pragma once

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "pipeline.h"

// What a member of a set takes into its table: per sensor-map identifier, the samples kept
// (lengths, as a scan's, the orientation included) and the first one kept (skips).
struct kx_MemberPlan {
    std::unordered_map<int, size_t> lengths;
    std::unordered_map<int, size_t> skips;
    double shift_s = 0.0;
    std::unordered_map<int, double> shifts_s;  // each kind's shift onto the common time base
    // Each kind's first and last kept sample time (seconds, on the common time base).
    std::unordered_map<int, std::pair<double, double>> spans_s;
};

// The plans of a set whose scans every recording passed (in order, with orientations): the
// synchronisation's shifts and common window, as it computes them over the decoded recordings.
// Answers setSync on its refusals (its messages written) and setRead when a file changed.
kx_SourceError kx_plan_set(const std::vector<std::string>& paths, std::vector<kx_RecordingScan>& scans,
                           std::vector<kx_MemberPlan>* plans);
