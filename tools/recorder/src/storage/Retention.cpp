#include "storage/Retention.h"

#include <algorithm>

namespace qnvrecorder {

SRetentionPlan PlanRetention(const std::vector<SSegment>& segments,
                             const std::map<std::string, SRetentionLimits>& perCamera,
                             const SRetentionLimits& defaults, uint64_t overallBytes,
                             const std::set<std::string>& open, time_t now) {
  std::vector<bool> removed(segments.size(), false);
  std::map<std::string, uint64_t> cameraBytes;
  uint64_t total = 0;
  for (const SSegment& s : segments) {
    const uint64_t bytes = open.count(s.stemPath) ? std::min(s.bytes, s.written) : s.bytes;
    cameraBytes[s.camera] += bytes;
    total += bytes;
  }
  auto limits = [&](const std::string& camera) -> const SRetentionLimits& {
    auto it = perCamera.find(camera);
    return it == perCamera.end() ? defaults : it->second;
  };
  auto remove = [&](size_t i) {
    removed[i] = true;
    cameraBytes[segments[i].camera] -= segments[i].bytes;
    total -= segments[i].bytes;
  };
  for (size_t i = 0; i < segments.size(); ++i) {
    const SSegment& s = segments[i];
    if (open.count(s.stemPath)) continue;
    const double days = limits(s.camera).keepDays;
    if (days > 0 && static_cast<double>(now - s.modified) > days * 86400.0) remove(i);
  }
  for (size_t i = 0; i < segments.size(); ++i) {
    const SSegment& s = segments[i];
    const uint64_t budget = limits(s.camera).keepBytes;
    if (!removed[i] && !open.count(s.stemPath) && budget > 0 && cameraBytes[s.camera] > budget) {
      remove(i);
    }
  }
  for (size_t i = 0; i < segments.size() && overallBytes > 0 && total > overallBytes; ++i) {
    if (!removed[i] && !open.count(segments[i].stemPath)) remove(i);
  }
  SRetentionPlan plan;
  for (size_t i = 0; i < segments.size(); ++i) {
    if (removed[i]) plan.remove.push_back(&segments[i]);
  }
  return plan;
}

}  // namespace qnvrecorder
