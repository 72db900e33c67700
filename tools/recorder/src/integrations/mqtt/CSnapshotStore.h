// CSnapshotStore: the last snapshots of each camera, kept in the recorder's
// own folder, where the web page finds its event thumbnails. The layout, which
// readers may rely on:
//
//   ROOT/.qnv-recorder/INSTANCE/snapshots/CAMERA/UNIXMS.jpg
//       one JPEG per snapshot, named by the arrival time of the alarm it shows
//       (milliseconds since 1970 UTC, 13 digits: names sort by time, and an
//       event message's "time" names its snapshot); complete when it appears
//       (written beside, then renamed)
//   ROOT/.qnv-recorder/INSTANCE/snapshots/CAMERA/.UNIXMS.jpg.part
//       a snapshot being written (left behind only by a crash; removed at the
//       camera's next snapshot)
//
// At most kSnapshotsKept per camera: the oldest go when a new one is stored.
// Only names of exactly these two forms are written or removed; everything
// is reached through descriptors, never through a link. Without a storage
// root the snapshots go to a private temporary folder and none is kept.
// One thread at a time (the MQTT part's snapshot thread); the storage root
// must outlive it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "qnvtools/UniqueFd.h"

namespace qnvrecorder {

using qnvtools::UniqueFd;

class CStorageRoot;

inline constexpr size_t kSnapshotsKept = 50;
inline constexpr const char* kSnapshotFolder = "snapshots";
// A capture larger than this is not published (a broker's message limit
// and the queue's memory): pictures of 4K cameras are far smaller.
inline constexpr size_t kMaxSnapshotBytes = 4u << 20;

class CSnapshotStore {
 public:
  explicit CSnapshotStore(const CStorageRoot* storage);
  ~CSnapshotStore();
  CSnapshotStore(const CSnapshotStore&) = delete;
  CSnapshotStore& operator=(const CSnapshotStore&) = delete;

  // capture(path) writes the picture to path (the library's capture); the
  // file is then read into jpeg, kept as CAMERA/UNIXMS.jpg and the oldest
  // beyond kSnapshotsKept removed. False with error when nothing was kept.
  bool Take(const std::string& camera, int64_t unixMs,
            const std::function<bool(const std::string& path, std::string& error)>& capture,
            std::vector<uint8_t>& jpeg, std::string& error);

  // The file name of a snapshot taken at unixMs.
  static std::string FileName(int64_t unixMs);
  // True for a kept snapshot's exact name (UNIXMS.jpg).
  static bool IsSnapshotName(const std::string& name);

 private:
  int CameraFolder(const std::string& camera, std::string& error);
  void Prune(int folderFd);

  const CStorageRoot* const m_storage;
  UniqueFd m_snapshotsFd;                     // snapshots/ (or the temporary folder)
  std::string m_tempFolder;                   // without a storage root
  std::map<std::string, UniqueFd> m_cameras;  // their folders
};

}  // namespace qnvrecorder
