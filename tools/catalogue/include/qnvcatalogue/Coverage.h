// What a camera's segments cover: spans of recorded time and the gaps
// between them, from the rows a Segments query returns. Plain functions; any thread.
#ifndef QNVCATALOGUE_COVERAGE_H
#define QNVCATALOGUE_COVERAGE_H

#include <cstdint>
#include <vector>

#include "qnvcatalogue/Rows.h"

namespace qnvcat {

struct SSpan {
  int64_t fromUs = 0;
  int64_t toUs = 0;
  uint64_t segments = 0;  // segments in it
  bool open = false;      // it ends in a segment being written
};

// Joins segments (oldest first) whose pictures are less than toleranceUs
// apart into spans, clipped to [fromUs, toUs). An open segment reaches nowUs.
std::vector<SSpan> CoverageOf(const std::vector<SSegmentRow>& rows, int64_t fromUs, int64_t toUs,
                              int64_t toleranceUs, int64_t nowUs);

// The parts of [fromUs, min(toUs, nowUs)) no span covers, at least minUs long.
std::vector<SSpan> GapsOf(const std::vector<SSpan>& coverage, int64_t fromUs, int64_t toUs,
                          int64_t minUs, int64_t nowUs);

}  // namespace qnvcat

#endif  // QNVCATALOGUE_COVERAGE_H
