// CStorageRoot: the storage root and the only ways the recorder touches
// anything under it. Everything is reached from a descriptor held for ROOT,
// one level at a time, without following a symbolic link (openat with
// O_NOFOLLOW), so a link planted anywhere below ROOT leads nowhere; and only
// the recorder's exact names (SegmentNames.h) in its own cameras' folders
// are ever written, listed as segments or removed.
//
//   ROOT/.qnv-recorder/INSTANCE/   this instance's own files: lock (held while
//                                  it runs, with its pid), status.json
//   ROOT/CAMERA/                   one folder per camera, claimed by the
//                                  instance that records it (.qnv-recorder-instance)
//   ROOT/CAMERA/YYYY-MM-DD/        the segments of one UTC day
//
// Several instances may share a ROOT, each with its own cameras. Open, the
// camera and segment calls and the listings may run on any threads at once;
// the object must outlive every CSegmentFiles it made.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "qnvlocks/Locks.h"
#include "qnvtools/UniqueFd.h"
#include "storage/SegmentNames.h"

namespace qnvrecorder {

using qnvtools::UniqueFd;

inline constexpr const char* kReservedFolder = ".qnv-recorder";
inline constexpr const char* kCameraClaimFile = ".qnv-recorder-instance";
inline constexpr const char* kLockFileName = "lock";
inline constexpr const char* kStatusFileName = "status.json";

// A segment as found on disk: the recorder's files of one stem.
struct SSegment {
  std::string camera;
  std::string date;      // "YYYY-MM-DD"
  std::string stem;      // "HHMMSS" or "HHMMSS-N"
  std::string stemPath;  // ROOT/CAMERA/DATE/STEM, for messages and open-segment checks
  uint64_t bytes = 0;    // disk blocks its files take (allocated, not apparent size)
  uint64_t written = 0;  // their apparent sizes
  time_t modified = 0;   // the newest of its files
  unsigned files = 0;    // bit (1 << ESegmentFile) for each file it has
  bool Has(ESegmentFile kind) const { return files & (1u << static_cast<int>(kind)); }
};

// Oldest first: by date, stem order (SegmentNames.h), then camera.
bool SegmentBefore(const SSegment& a, const SSegment& b);

// The files of a new segment, created empty by the recorder (never through a
// link, never over an existing file) and locked (flock) while it is written.
// The recording library opens them by LibraryPath(), which reaches the day
// folder through its descriptor. Closing it (or its end) releases the lock.
// One thread at a time.
class CSegmentFiles {
 public:
  ~CSegmentFiles() = default;
  const std::string& Path() const { return m_path; }  // ROOT/CAMERA/DATE/STEM.qnv
  const std::string& LibraryPath() const { return m_libraryPath; }
  const SSegment& Segment() const { return m_segment; }
  std::string StemPath() const { return m_segment.stemPath; }
  // True when both names still lead to the files created here (nothing was
  // swapped in meanwhile).
  bool StillOurs() const;
  // Removes both files when the data file is empty (the recording ended
  // before its first key frame); true when it did.
  bool RemoveIfEmpty();
  int DayFd() const { return m_day.Get(); }
  // The data file's length now.
  uint64_t DataSize() const;

 private:
  friend class CStorageRoot;
  CSegmentFiles() = default;
  UniqueFd m_day, m_data;  // m_data: holds the lock
  dev_t m_device = 0;
  ino_t m_dataInode = 0, m_indexInode = 0;
  std::string m_path, m_libraryPath;
  SSegment m_segment;
};

class CStorageRoot {
 public:
  CStorageRoot() = default;
  CStorageRoot(const CStorageRoot&) = delete;
  CStorageRoot& operator=(const CStorageRoot&) = delete;

  // What Open will find, without changing anything: the root is a folder (or
  // can be made) this user may write, its own folders and the cameras' are
  // real folders (no links), and no camera folder belongs to another running
  // instance. warning: something to tell that does not stop a start (this
  // instance is running now). For --check-config.
  static bool Inspect(const std::string& root, const std::string& instance,
                      const std::vector<std::string>& cameras, std::string& error,
                      std::string& warning);

  // Makes the root when missing, opens it and this instance's folder and
  // takes the instance's lock (another process running the same instance on
  // this root is refused with its pid).
  bool Open(const std::string& root, const std::string& instance, std::string& error);
  const std::string& Path() const { return m_root; }
  const std::string& Instance() const { return m_instance; }

  // Opens the camera's folder (made when missing) and claims it for this
  // instance; refused when it is a link or no folder, or when another
  // running instance has claimed it. note: a line to log (a claim taken over
  // from an instance that no longer runs), else empty.
  bool ClaimCamera(const std::string& camera, std::string& error, std::string& note);

  // New segment files for the camera, named by `start` (UTC seconds), with a
  // suffix -N when the name is taken. Null with a message when they cannot
  // be made.
  std::unique_ptr<CSegmentFiles> CreateSegment(const std::string& camera, time_t start,
                                               std::string& error);

  // The segments of these cameras (claimed ones only: others are skipped),
  // oldest first. Only regular files of this user with the recorder's exact
  // names, in real date folders, count.
  std::vector<SSegment> ListSegments(const std::vector<std::string>& cameras) const;
  // One segment by its data file's path (ROOT/CAMERA/DATE/STEM.qnv) as
  // ListSegments would list it, without listing a folder: false when the
  // path is not one of a claimed camera's segments or none of its files is
  // there.
  bool FindSegment(const std::string& dataPath, SSegment& out) const;
  // The day folder of a segment, for reading or writing beside it; invalid
  // when it is gone or is no real folder.
  UniqueFd OpenDay(const std::string& camera, const std::string& date) const;
  // Removes the segment's files (as listed, each checked again) and its date
  // folder once empty. Returns the bytes (blocks) freed.
  uint64_t RemoveSegment(const SSegment& segment) const;
  // Removes the unfinished MP4 copies (.STEM.mp4.part-XXXXXX) a crash left
  // beside the segment. Returns the bytes freed.
  uint64_t RemoveMp4Parts(const SSegment& segment) const;
  // Removes one of a segment's files when it is still the recorder's own.
  bool RemoveFile(int dayFd, const std::string& name) const;

  // Free bytes for this user on the root's file system; UINT64_MAX when unknown.
  uint64_t FreeBytes() const;
  // A folder of this instance's own files, ROOT/.qnv-recorder/INSTANCE/NAME
  // (or NAME below parentFd, one of those), made when missing, never reached
  // through a link; invalid with error set when it cannot be.
  UniqueFd MakeOwnFolder(const std::string& name, std::string& error, int parentFd = -1) const;
  // ROOT/.qnv-recorder/INSTANCE, for messages.
  std::string OwnPath() const;
  // Replaces the instance's status file (written beside, then renamed).
  bool WriteStatus(const std::string& text) const;
  // A path that reaches name inside the folder of fd without resolving any
  // link on the way (/proc/self/fd/N/name), or "" when there is none.
  std::string FdPath(int fd, const std::string& name) const;
  // A path that opens the file behind fd again (/proc/self/fd/N), or
  // fallback when the system has none.
  std::string ReopenPath(int fd, const std::string& fallback) const;

 private:
  UniqueFd OpenCameraFolder(const std::string& camera) const;

  std::string m_root, m_instance;
  UniqueFd m_rootFd, m_reservedFd, m_lockFd;
  bool m_procFd = false;               // /proc/self/fd reaches folders by descriptor
  mutable qnv::locks::CMutex m_mutex;  // guards m_claimed
  std::set<std::string> m_claimed GUARDED_BY(m_mutex);
};

// The folder of one instance's own files, and whether that instance runs now
// (its lock is held); pid from the lock file. For --status.
struct SInstanceInfo {
  std::string name;
  std::string statusPath;
  bool running = false;
  long pid = 0;
};
std::vector<SInstanceInfo> FindInstances(const std::string& root);

// ROOT/.qnv-recorder/INSTANCE opened for a part that holds no CStorageRoot
// (the web page's export files), reached as CStorageRoot reaches it: no link
// below ROOT followed. Invalid with error set when it is not there or not
// real folders.
UniqueFd OpenOwnFolder(const std::string& root, const std::string& instance, std::string& error);

}  // namespace qnvrecorder
