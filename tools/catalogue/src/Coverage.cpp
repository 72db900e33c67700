#include "qnvcatalogue/Coverage.h"

#include <algorithm>

namespace qnvcat {

std::vector<SSpan> CoverageOf(const std::vector<SSegmentRow>& rows, int64_t fromUs, int64_t toUs,
                              int64_t toleranceUs, int64_t nowUs) {
  std::vector<SSpan> spans;
  for (const SSegmentRow& r : rows) {
    if (r.state == ESegmentState::kDeleted) continue;
    const bool open = r.state == ESegmentState::kOpen;
    const int64_t first = std::max(r.firstUs, fromUs);
    const int64_t last = std::min(open ? std::max(r.lastUs, nowUs) : r.lastUs, toUs);
    if (last < first) continue;
    if (!spans.empty() && first <= spans.back().toUs + toleranceUs) {
      SSpan& s = spans.back();
      s.toUs = std::max(s.toUs, last);
      ++s.segments;
      s.open = s.open || open;
    } else {
      spans.push_back(SSpan{first, last, 1, open});
    }
  }
  return spans;
}

std::vector<SSpan> GapsOf(const std::vector<SSpan>& coverage, int64_t fromUs, int64_t toUs,
                          int64_t minUs, int64_t nowUs) {
  std::vector<SSpan> gaps;
  const int64_t end = std::min(toUs, nowUs);
  int64_t at = fromUs;
  for (const SSpan& s : coverage) {
    if (s.fromUs - at >= std::max<int64_t>(minUs, 1)) gaps.push_back(SSpan{at, s.fromUs, 0, false});
    at = std::max(at, s.toUs);
  }
  if (end - at >= std::max<int64_t>(minUs, 1)) gaps.push_back(SSpan{at, end, 0, false});
  return gaps;
}

}  // namespace qnvcat
