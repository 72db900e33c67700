// Retention: which segments to remove to keep each camera, and all of them
// together, within their limits of age and size. Sizes are the disk blocks
// the files take. Only what CStorageRoot listed as the recorder's own is
// ever chosen. Plain functions; any thread.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "storage/CStorageRoot.h"

namespace qnvrecorder {

struct SRetentionLimits {
  double keepDays = 0;     // 0: none
  uint64_t keepBytes = 0;  // 0: none
};

struct SRetentionPlan {
  std::vector<const SSegment*> remove;  // oldest first
};

// Chooses what to remove: every segment older than its camera's age limit,
// then the oldest of each camera over its size limit, then the oldest overall
// while the total is over the overall limit. Segments in `open` (stem paths)
// are never chosen, and count with what is written in them (the blocks the
// library reserves ahead of its writes go back when they close). Cameras not
// in perCamera get `defaults`. segments must be oldest first (as listed).
SRetentionPlan PlanRetention(const std::vector<SSegment>& segments,
                             const std::map<std::string, SRetentionLimits>& perCamera,
                             const SRetentionLimits& defaults, uint64_t overallBytes,
                             const std::set<std::string>& open, time_t now);

}  // namespace qnvrecorder
