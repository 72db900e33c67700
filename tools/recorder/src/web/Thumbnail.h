// Thumbnail: a small JPEG of an event. The snapshot the recorder took of the
// alarm where its snapshot store has one (ROOT/.qnv-recorder/INSTANCE/
// snapshots/CAMERA/UNIXMS.jpg, named by the alarm's arrival), else the
// picture at that time decoded from an MP4 of the recording (libavcodec)
// and made JPEG. Plain functions; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace qnvrecorder {

inline constexpr int kThumbnailWidth = 320;
inline constexpr int64_t kSnapshotToleranceMs = 3000;

// The stored snapshot of camera nearest to unixMs within the tolerance.
bool FindSnapshot(const std::string& root, const std::string& instance, const std::string& camera,
                  int64_t unixMs, std::string& jpeg);
// The first picture shown by the MP4 at mp4Path, as a JPEG kThumbnailWidth wide.
bool DecodeThumbnail(const std::string& mp4Path, std::string& jpeg, std::string& error);

}  // namespace qnvrecorder
