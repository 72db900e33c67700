// Storage: where segments live and which ones retention removes.
//
// A segment is a recording named by the UTC time it was started:
// ROOT/CAMERA/YYYY-MM-DD/HHMMSS.qnv with its index HHMMSS.idx and, when MP4
// copies are made, HHMMSS.mp4 beside it ("HHMMSS-N" when a second segment
// starts within the same second). The names sort in time order, which is the
// order retention removes them in. Plain functions; any thread.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace qnvrecorder {

inline constexpr const char* kSegmentExtension = ".qnv";
inline constexpr const char* kIndexExtension = ".idx";
inline constexpr const char* kMp4Extension = ".mp4";

// A free data path for a segment of camera started at `when`; the date
// folder is not created.
std::string NewSegmentPath(const std::string& root, const std::string& camera, time_t when);

struct SSegment {
  std::string camera;
  std::string key;       // "YYYY-MM-DD/NAME": sorts in time order within and across cameras
  std::string stemPath;  // ROOT/CAMERA/YYYY-MM-DD/NAME without extension
  uint64_t bytes = 0;    // all of its files
  time_t modified = 0;   // the newest of its files
};

// Every segment under root, oldest first (by key, then camera).
std::vector<SSegment> ListSegments(const std::string& root);

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
// are never chosen. Cameras not in perCamera get `defaults`.
SRetentionPlan PlanRetention(const std::vector<SSegment>& segments,
                             const std::map<std::string, SRetentionLimits>& perCamera,
                             const SRetentionLimits& defaults, uint64_t overallBytes,
                             const std::set<std::string>& open, time_t now);

// Removes the segment's files and its date folder once empty. Returns the
// bytes freed.
uint64_t RemoveSegment(const SSegment& segment);

// Free bytes for this user on the file system holding path; UINT64_MAX when
// unknown (nothing is paused for a disk that cannot be asked).
uint64_t FreeBytes(const std::string& path);

}  // namespace qnvrecorder
