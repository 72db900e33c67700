#include "storage/CStorageRoot.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>

#include "base/Text.h"
#include "config/Config.h"
#include "qnvrecording/RecordingState.h"
#include "qnvtools/SafeFile.h"

namespace qnvrecorder {
namespace {

constexpr mode_t kFolderMode = 0777;  // the umask narrows it (the unit's UMask=0027)
constexpr mode_t kFileMode = 0666;

std::string Errno() { return std::strerror(errno); }

// A folder below dirFd, never through a link.
using qnvtools::OpenFolderAt;

// Why name below dirFd is not a folder the recorder may use, or "" when it is
// one (or is missing, when missingOk).
std::string FolderProblem(int dirFd, const std::string& name, const std::string& shown,
                          bool missingOk) {
  struct stat st {};
  if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT && missingOk) return "";
    return shown + ": " + Errno();
  }
  if (S_ISLNK(st.st_mode)) {
    return shown +
           " is a symbolic link; the recorder writes only into folders it made itself: "
           "remove the link (or point the storage root at the other place)";
  }
  if (!S_ISDIR(st.st_mode)) return shown + " is not a folder; remove or rename it";
  return "";
}

// A folder below dirFd, made when missing; invalid with error set otherwise.
UniqueFd MakeFolderAt(int dirFd, const std::string& name, const std::string& shown,
                      std::string& error, bool* made = nullptr) {
  if (made) *made = false;
  if (::mkdirat(dirFd, name.c_str(), kFolderMode) == 0) {
    if (made) *made = true;
  } else if (errno != EEXIST) {
    error = shown + " cannot be made: " + Errno();
    return UniqueFd();
  }
  UniqueFd fd = OpenFolderAt(dirFd, name);
  if (!fd.Valid()) error = FolderProblem(dirFd, name, shown, false);
  return fd;
}

// A regular file of this user: the only kind the recorder removes or counts.
bool OwnFile(int dirFd, const std::string& name, struct stat& st) {
  return ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
         st.st_uid == ::geteuid();
}

// The first line of a small regular file below dirFd (never through a link).
std::string ReadSmallFile(int dirFd, const std::string& name) {
  UniqueFd fd = qnvtools::OpenRegularAt(dirFd, name, O_RDONLY);
  if (!fd.Valid()) return "";
  char buffer[256];
  const ssize_t n = ::pread(fd.Get(), buffer, sizeof buffer, 0);
  if (n <= 0) return "";
  std::string text(buffer, static_cast<size_t>(n));
  return text.substr(0, text.find('\n'));
}

// Whether the instance `name` runs now on the root behind rootFd (its lock is
// held), with the pid it wrote.
bool InstanceRunning(int rootFd, const std::string& name, long& pid) {
  pid = 0;
  UniqueFd reserved = OpenFolderAt(rootFd, kReservedFolder);
  if (!reserved.Valid()) return false;
  UniqueFd folder = OpenFolderAt(reserved.Get(), name);
  if (!folder.Valid()) return false;
  UniqueFd lock = qnvtools::OpenRegularAt(folder.Get(), kLockFileName, O_RDONLY);
  if (!lock.Valid()) return false;
  pid = std::atol(ReadSmallFile(folder.Get(), kLockFileName).c_str());
  if (::flock(lock.Get(), LOCK_SH | LOCK_NB) == 0) return false;
  return errno == EWOULDBLOCK;
}

// Another instance's running claim on a camera folder blocks; a claim of an
// instance that does not run may be taken over (note says so).
bool CheckClaim(int rootFd, int cameraFd, const std::string& instance, const std::string& shown,
                std::string& owner, std::string& error, std::string& note) {
  owner = ReadSmallFile(cameraFd, kCameraClaimFile);
  if (owner.empty() || owner == instance) return true;
  long pid = 0;
  if (InstanceRunning(rootFd, owner, pid)) {
    error = shown + " belongs to the recorder instance " + Quote(owner) + " (pid " +
            std::to_string(pid) +
            "), which records a camera of this name on the same root: give one of them "
            "another name, or another root";
    return false;
  }
  note = shown + " was claimed by the recorder instance " + Quote(owner) +
         ", which does not run now; this instance takes it over";
  return true;
}

bool WriteClaim(int cameraFd, const std::string& instance, const std::string& shown,
                std::string& error) {
  UniqueFd fd =
      qnvtools::OpenRegularAt(cameraFd, kCameraClaimFile, O_WRONLY | O_CREAT | O_TRUNC, kFileMode);
  const std::string text = instance + "\n";
  if (!fd.Valid() || ::write(fd.Get(), text.data(), text.size()) != ssize_t(text.size())) {
    error = shown + "/" + kCameraClaimFile + " cannot be written: " + Errno();
    return false;
  }
  return true;
}

// Reads the names in a folder (through a duplicate of its descriptor).
std::vector<std::string> FolderNames(int dirFd) {
  std::vector<std::string> names;
  const int dup = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
  if (dup < 0) return names;
  DIR* dir = ::fdopendir(dup);
  if (dir == nullptr) {
    ::close(dup);
    return names;
  }
  ::rewinddir(dir);
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names.emplace_back(entry->d_name);
    }
  }
  ::closedir(dir);
  return names;
}

}  // namespace

bool SegmentBefore(const SSegment& a, const SSegment& b) {
  if (a.date != b.date) return a.date < b.date;
  const uint64_t oa = StemOrder(a.stem), ob = StemOrder(b.stem);
  if (oa != ob) return oa < ob;
  return a.camera < b.camera;
}

bool CSegmentFiles::StillOurs() const {
  struct stat data {
  }, index{};
  const std::string stem = m_segment.stem;
  return ::fstatat(m_day.Get(), (stem + kSegmentExtension).c_str(), &data, AT_SYMLINK_NOFOLLOW) ==
             0 &&
         ::fstatat(m_day.Get(), (stem + kIndexExtension).c_str(), &index, AT_SYMLINK_NOFOLLOW) ==
             0 &&
         data.st_dev == m_device && data.st_ino == m_dataInode && index.st_dev == m_device &&
         index.st_ino == m_indexInode;
}

uint64_t CSegmentFiles::DataSize() const {
  struct stat st {};
  return ::fstat(m_data.Get(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

bool CSegmentFiles::RemoveIfEmpty() {
  struct stat st {};
  if (::fstat(m_data.Get(), &st) != 0 || st.st_size != 0 || !StillOurs()) return false;
  ::unlinkat(m_day.Get(), (m_segment.stem + kIndexExtension).c_str(), 0);
  ::unlinkat(m_day.Get(), (m_segment.stem + kSegmentExtension).c_str(), 0);
  return true;
}

bool CStorageRoot::Inspect(const std::string& root, const std::string& instance,
                           const std::vector<std::string>& cameras, std::string& error,
                           std::string& warning) {
  namespace fs = std::filesystem;
  struct stat st {};
  if (::stat(root.c_str(), &st) != 0) {
    if (errno != ENOENT) {
      error = "storage root " + root + ": " + Errno();
      return false;
    }
    // Missing: the start makes it, so the nearest existing folder above must
    // let this user do that.
    fs::path up = fs::path(root).parent_path();
    while (!up.empty() && ::stat(up.c_str(), &st) != 0) up = up.parent_path();
    if (up.empty()) up = ".";
    if (!S_ISDIR(st.st_mode) || ::faccessat(AT_FDCWD, up.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
      error = "storage root " + root + " does not exist and cannot be made: " + up.string() +
              " is not a folder this user may write";
      return false;
    }
    return true;
  }
  if (!S_ISDIR(st.st_mode)) {
    error = "storage root " + root + " is not a folder";
    return false;
  }
  if (::faccessat(AT_FDCWD, root.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    error = "storage root " + root + " is not writable by this user (uid " +
            std::to_string(::geteuid()) + ")";
    return false;
  }
  UniqueFd rootFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!rootFd.Valid()) {
    error = "storage root " + root + ": " + Errno();
    return false;
  }
  const std::string reservedShown = root + "/" + kReservedFolder;
  if (std::string p = FolderProblem(rootFd.Get(), kReservedFolder, reservedShown, true);
      !p.empty()) {
    error = p;
    return false;
  }
  if (UniqueFd reserved = OpenFolderAt(rootFd.Get(), kReservedFolder); reserved.Valid()) {
    if (std::string p =
            FolderProblem(reserved.Get(), instance, reservedShown + "/" + instance, true);
        !p.empty()) {
      error = p;
      return false;
    }
  }
  long pid = 0;
  if (InstanceRunning(rootFd.Get(), instance, pid)) {
    warning = "the instance " + Quote(instance) + " runs now on " + root + " (pid " +
              std::to_string(pid) + "); a second one would be refused";
  }
  for (const std::string& camera : cameras) {
    const std::string shown = root + "/" + camera;
    if (std::string p = FolderProblem(rootFd.Get(), camera, shown, true); !p.empty()) {
      error = p;
      return false;
    }
    UniqueFd fd = OpenFolderAt(rootFd.Get(), camera);
    std::string owner, note;
    if (fd.Valid() && !CheckClaim(rootFd.Get(), fd.Get(), instance, shown, owner, error, note)) {
      return false;
    }
  }
  return true;
}

bool CStorageRoot::Open(const std::string& root, const std::string& instance, std::string& error) {
  m_root = root;
  m_instance = instance;
  std::error_code ec;
  std::filesystem::create_directories(root, ec);
  if (ec) {
    error = "storage root " + root + " cannot be made: " + ec.message();
    return false;
  }
  // The root's own path is the administrator's: it may be a link. Below it
  // nothing is followed.
  m_rootFd.Reset(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!m_rootFd.Valid()) {
    error = "storage root " + root + " cannot be opened: " + Errno() +
            (errno == ENOTDIR ? " (it is not a folder)" : "");
    return false;
  }
  if (::faccessat(m_rootFd.Get(), ".", W_OK | X_OK, AT_EACCESS) != 0) {
    error = "storage root " + root + " is not writable by this user (uid " +
            std::to_string(::geteuid()) + ")";
    return false;
  }
  const std::string reservedShown = root + "/" + kReservedFolder;
  UniqueFd reserved = MakeFolderAt(m_rootFd.Get(), kReservedFolder, reservedShown, error);
  if (!reserved.Valid()) return false;
  m_reservedFd = MakeFolderAt(reserved.Get(), instance, reservedShown + "/" + instance, error);
  if (!m_reservedFd.Valid()) return false;
  m_lockFd =
      qnvtools::OpenRegularAt(m_reservedFd.Get(), kLockFileName, O_RDWR | O_CREAT, kFileMode);
  if (!m_lockFd.Valid()) {
    error = reservedShown + "/" + instance + "/" + kLockFileName + " cannot be opened: " + Errno();
    return false;
  }
  if (::flock(m_lockFd.Get(), LOCK_EX | LOCK_NB) != 0) {
    error = "the recorder instance " + Quote(instance) + " already runs on " + root + " (pid " +
            ReadSmallFile(m_reservedFd.Get(), kLockFileName) +
            "); give this one another instance name ([storage] instance) or another root";
    m_lockFd.Reset();
    return false;
  }
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(m_lockFd.Get(), 0) != 0 ||
      ::pwrite(m_lockFd.Get(), pid.data(), pid.size(), 0) != ssize_t(pid.size())) {
    error = "the lock file in " + reservedShown + "/" + instance + " cannot be written: " + Errno();
    return false;
  }
  // Folders are handed to the recording library through /proc/self/fd, so the
  // path it opens resolves no name above the segment; without /proc the
  // checked path is given instead.
  struct stat viaProc {
  }, direct{};
  const std::string probe = "/proc/self/fd/" + std::to_string(m_rootFd.Get()) + "/.";
  m_procFd = ::stat(probe.c_str(), &viaProc) == 0 && ::fstat(m_rootFd.Get(), &direct) == 0 &&
             viaProc.st_ino == direct.st_ino && viaProc.st_dev == direct.st_dev;
  return true;
}

std::string CStorageRoot::FdPath(int fd, const std::string& name) const {
  return m_procFd ? "/proc/self/fd/" + std::to_string(fd) + "/" + name : std::string();
}

std::string CStorageRoot::ReopenPath(int fd, const std::string& fallback) const {
  return m_procFd ? "/proc/self/fd/" + std::to_string(fd) : fallback;
}

UniqueFd CStorageRoot::OpenCameraFolder(const std::string& camera) const {
  if (!ValidCameraName(camera)) return UniqueFd();
  return OpenFolderAt(m_rootFd.Get(), camera);
}

bool CStorageRoot::ClaimCamera(const std::string& camera, std::string& error, std::string& note) {
  note.clear();
  if (!ValidCameraName(camera)) {
    error = "camera name " + Quote(camera) + " cannot name a folder";
    return false;
  }
  const std::string shown = m_root + "/" + camera;
  UniqueFd fd = MakeFolderAt(m_rootFd.Get(), camera, shown, error);
  if (!fd.Valid()) return false;
  qnv::locks::CLockGuard lock(m_mutex);
  std::string owner;
  if (!CheckClaim(m_rootFd.Get(), fd.Get(), m_instance, shown, owner, error, note)) return false;
  if (owner != m_instance && !WriteClaim(fd.Get(), m_instance, shown, error)) return false;
  m_claimed.insert(camera);
  return true;
}

std::unique_ptr<CSegmentFiles> CStorageRoot::CreateSegment(const std::string& camera, time_t start,
                                                           std::string& error) {
  {
    qnv::locks::CLockGuard lock(m_mutex);
    if (!m_claimed.count(camera)) {
      error = "camera " + Quote(camera) + " has no folder claimed";
      return nullptr;
    }
  }
  const std::string cameraShown = m_root + "/" + camera;
  bool made = false;
  // A folder removed meanwhile (by hand) is made and claimed again.
  UniqueFd cameraFd = MakeFolderAt(m_rootFd.Get(), camera, cameraShown, error, &made);
  if (!cameraFd.Valid() || (made && !WriteClaim(cameraFd.Get(), m_instance, cameraShown, error)))
    return nullptr;
  const std::string date = DateFolderName(start);
  const std::string dayShown = cameraShown + "/" + date;
  std::unique_ptr<CSegmentFiles> files(new CSegmentFiles());
  files->m_day = MakeFolderAt(cameraFd.Get(), date, dayShown, error);
  if (!files->m_day.Valid()) return nullptr;
  const int day = files->m_day.Get();
  for (unsigned suffix = 0; suffix <= kMaxStemSuffix; ++suffix) {
    const std::string stem = StemName(start, suffix);
    // Every name of the stem must be free: a link or a foreign file there is
    // never written through or over.
    bool taken = false;
    for (ESegmentFile kind : {ESegmentFile::kData, ESegmentFile::kIndex, ESegmentFile::kMp4,
                              ESegmentFile::kRepairNote}) {
      struct stat st {};
      taken = taken ||
              ::fstatat(day, SegmentFileName(stem, kind).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ||
              errno != ENOENT;
    }
    if (taken) continue;
    const std::string dataName = stem + kSegmentExtension, indexName = stem + kIndexExtension;
    UniqueFd data = qnvtools::OpenRegularAt(day, dataName, O_RDWR | O_CREAT | O_EXCL, kFileMode);
    if (!data.Valid()) {
      if (errno == EEXIST) continue;
      error = dayShown + "/" + dataName + " cannot be made: " + Errno();
      return nullptr;
    }
    UniqueFd index = qnvtools::OpenRegularAt(day, indexName, O_RDWR | O_CREAT | O_EXCL, kFileMode);
    if (!index.Valid()) {
      const int err = errno;
      ::unlinkat(day, dataName.c_str(), 0);
      if (err == EEXIST) continue;
      error = dayShown + "/" + indexName + " cannot be made: " + std::strerror(err);
      return nullptr;
    }
    struct stat dataSt {
    }, indexSt{};
    if (!qnvrec::TakeWriterLock(data.Get()) || ::fstat(data.Get(), &dataSt) != 0 ||
        ::fstat(index.Get(), &indexSt) != 0) {
      error = dayShown + "/" + dataName + " cannot be locked: " + Errno();
      ::unlinkat(day, indexName.c_str(), 0);
      ::unlinkat(day, dataName.c_str(), 0);
      return nullptr;
    }
    files->m_data = std::move(data);
    files->m_device = dataSt.st_dev;
    files->m_dataInode = dataSt.st_ino;
    files->m_indexInode = indexSt.st_ino;
    files->m_path = dayShown + "/" + dataName;
    files->m_libraryPath = m_procFd ? FdPath(day, dataName) : files->m_path;
    files->m_segment.camera = camera;
    files->m_segment.date = date;
    files->m_segment.stem = stem;
    files->m_segment.stemPath = dayShown + "/" + stem;
    files->m_segment.modified = start;
    files->m_segment.files = 1u << int(ESegmentFile::kData) | 1u << int(ESegmentFile::kIndex);
    return files;
  }
  error = "no free segment name in " + dayShown + " for " + StemName(start);
  return nullptr;
}

std::vector<SSegment> CStorageRoot::ListSegments(const std::vector<std::string>& cameras) const {
  std::vector<std::string> claimed;
  {
    qnv::locks::CLockGuard lock(m_mutex);
    for (const std::string& c : cameras) {
      if (m_claimed.count(c)) claimed.push_back(c);
    }
  }
  std::vector<SSegment> list;
  for (const std::string& camera : claimed) {
    UniqueFd cameraFd = OpenCameraFolder(camera);
    if (!cameraFd.Valid()) continue;
    for (const std::string& date : FolderNames(cameraFd.Get())) {
      if (!IsDateFolderName(date)) continue;
      UniqueFd day = OpenFolderAt(cameraFd.Get(), date);
      if (!day.Valid()) continue;  // a link or a file with a date's name: not ours
      std::map<std::string, SSegment> byStem;
      for (const std::string& name : FolderNames(day.Get())) {
        std::string stem;
        ESegmentFile kind;
        struct stat st {};
        if (!ParseSegmentFileName(name, stem, kind) || !OwnFile(day.Get(), name, st)) continue;
        SSegment& s = byStem[stem];
        s.camera = camera;
        s.date = date;
        s.stem = stem;
        s.stemPath = m_root + "/" + camera + "/" + date + "/" + stem;
        s.bytes += uint64_t(st.st_blocks) * 512;
        s.written += uint64_t(st.st_size);
        s.modified = std::max(s.modified, st.st_mtime);
        s.files |= 1u << static_cast<int>(kind);
      }
      for (auto& [stem, s] : byStem) list.push_back(std::move(s));
    }
  }
  std::sort(list.begin(), list.end(), SegmentBefore);
  return list;
}

bool CStorageRoot::FindSegment(const std::string& dataPath, SSegment& out) const {
  // ROOT/CAMERA/DATE/STEM.qnv, exactly.
  const std::string prefix = m_root + "/";
  if (dataPath.compare(0, prefix.size(), prefix) != 0) return false;
  const std::string rest = dataPath.substr(prefix.size());
  const size_t a = rest.find('/');
  const size_t b = a == std::string::npos ? a : rest.find('/', a + 1);
  if (b == std::string::npos || rest.find('/', b + 1) != std::string::npos) return false;
  const std::string camera = rest.substr(0, a), date = rest.substr(a + 1, b - a - 1);
  std::string stem;
  ESegmentFile kind;
  if (!ParseSegmentFileName(rest.substr(b + 1), stem, kind) || kind != ESegmentFile::kData) {
    return false;
  }
  {
    qnv::locks::CLockGuard lock(m_mutex);
    if (!m_claimed.count(camera)) return false;
  }
  UniqueFd day = OpenDay(camera, date);
  if (!day.Valid()) return false;
  SSegment s;
  s.camera = camera;
  s.date = date;
  s.stem = stem;
  s.stemPath = m_root + "/" + camera + "/" + date + "/" + stem;
  for (ESegmentFile k :
       {ESegmentFile::kData, ESegmentFile::kIndex, ESegmentFile::kMp4, ESegmentFile::kRepairNote}) {
    struct stat st {};
    if (!OwnFile(day.Get(), SegmentFileName(stem, k), st)) continue;
    s.bytes += uint64_t(st.st_blocks) * 512;
    s.written += uint64_t(st.st_size);
    s.modified = std::max(s.modified, st.st_mtime);
    s.files |= 1u << static_cast<int>(k);
  }
  if (s.files == 0) return false;
  out = std::move(s);
  return true;
}

UniqueFd CStorageRoot::OpenDay(const std::string& camera, const std::string& date) const {
  UniqueFd cameraFd = OpenCameraFolder(camera);
  if (!cameraFd.Valid() || !IsDateFolderName(date)) return UniqueFd();
  return OpenFolderAt(cameraFd.Get(), date);
}

bool CStorageRoot::RemoveFile(int dayFd, const std::string& name) const {
  std::string stem;
  ESegmentFile kind;
  struct stat st {};
  return ParseSegmentFileName(name, stem, kind) && OwnFile(dayFd, name, st) &&
         ::unlinkat(dayFd, name.c_str(), 0) == 0;
}

namespace {

uint64_t RemoveNames(const CStorageRoot& storage, int dayFd,
                     const std::vector<std::string>& names) {
  uint64_t freed = 0;
  for (const std::string& name : names) {
    struct stat st {};
    if (OwnFile(dayFd, name, st) && storage.RemoveFile(dayFd, name)) {
      freed += uint64_t(st.st_blocks) * 512;
    }
  }
  return freed;
}

std::vector<std::string> PartNames(int dayFd, const std::string& stem) {
  std::vector<std::string> names;
  for (const std::string& name : FolderNames(dayFd)) {
    std::string s;
    ESegmentFile kind;
    if (ParseSegmentFileName(name, s, kind) && kind == ESegmentFile::kMp4Part && s == stem) {
      names.push_back(name);
    }
  }
  return names;
}

}  // namespace

uint64_t CStorageRoot::RemoveMp4Parts(const SSegment& segment) const {
  UniqueFd day = OpenDay(segment.camera, segment.date);
  return day.Valid() ? RemoveNames(*this, day.Get(), PartNames(day.Get(), segment.stem)) : 0;
}

uint64_t CStorageRoot::RemoveSegment(const SSegment& segment) const {
  UniqueFd cameraFd = OpenCameraFolder(segment.camera);
  if (!cameraFd.Valid()) return 0;
  UniqueFd day = OpenFolderAt(cameraFd.Get(), segment.date);
  if (!day.Valid()) return 0;
  std::vector<std::string> names;
  for (ESegmentFile kind :
       {ESegmentFile::kMp4, ESegmentFile::kRepairNote, ESegmentFile::kData, ESegmentFile::kIndex}) {
    if (segment.Has(kind)) names.push_back(SegmentFileName(segment.stem, kind));
  }
  if (segment.Has(ESegmentFile::kMp4Part)) {
    for (std::string& name : PartNames(day.Get(), segment.stem)) names.push_back(std::move(name));
  }
  const uint64_t freed = RemoveNames(*this, day.Get(), names);
  // The date folder goes with its last file; a failure means it is not empty.
  ::unlinkat(cameraFd.Get(), segment.date.c_str(), AT_REMOVEDIR);
  return freed;
}

uint64_t CStorageRoot::FreeBytes() const {
  struct statvfs st {};
  if (::fstatvfs(m_rootFd.Get(), &st) != 0) return UINT64_MAX;
  return static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
}

UniqueFd CStorageRoot::MakeOwnFolder(const std::string& name, std::string& error,
                                     int parentFd) const {
  return MakeFolderAt(parentFd < 0 ? m_reservedFd.Get() : parentFd, name, OwnPath() + "/" + name,
                      error);
}

std::string CStorageRoot::OwnPath() const {
  return m_root + "/" + kReservedFolder + "/" + m_instance;
}

bool CStorageRoot::WriteStatus(const std::string& text) const {
  const std::string temp = std::string(kStatusFileName) + ".tmp";
  // Whatever holds the temporary name (a crash's leftover, a planted link)
  // goes first, so the status is never stuck nor written through it.
  ::unlinkat(m_reservedFd.Get(), temp.c_str(), 0);
  UniqueFd fd =
      qnvtools::OpenRegularAt(m_reservedFd.Get(), temp, O_WRONLY | O_CREAT | O_EXCL, kFileMode);
  if (!fd.Valid()) return false;
  const bool ok = ::write(fd.Get(), text.data(), text.size()) == ssize_t(text.size());
  fd.Reset();
  if (!ok ||
      ::renameat(m_reservedFd.Get(), temp.c_str(), m_reservedFd.Get(), kStatusFileName) != 0) {
    ::unlinkat(m_reservedFd.Get(), temp.c_str(), 0);
    return false;
  }
  return true;
}

std::vector<SInstanceInfo> FindInstances(const std::string& root) {
  std::vector<SInstanceInfo> found;
  UniqueFd rootFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!rootFd.Valid()) return found;
  UniqueFd reserved = OpenFolderAt(rootFd.Get(), kReservedFolder);
  if (!reserved.Valid()) return found;
  std::vector<std::string> names = FolderNames(reserved.Get());
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (!ValidCameraName(name) || !OpenFolderAt(reserved.Get(), name).Valid()) continue;
    SInstanceInfo info;
    info.name = name;
    info.statusPath = root + "/" + kReservedFolder + "/" + name + "/" + kStatusFileName;
    info.running = InstanceRunning(rootFd.Get(), name, info.pid);
    found.push_back(std::move(info));
  }
  return found;
}

UniqueFd OpenOwnFolder(const std::string& root, const std::string& instance, std::string& error) {
  const std::string reservedShown = root + "/" + kReservedFolder;
  UniqueFd rootFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  UniqueFd reserved, own;
  if (rootFd.Valid()) reserved = OpenFolderAt(rootFd.Get(), kReservedFolder);
  if (reserved.Valid()) own = OpenFolderAt(reserved.Get(), instance);
  if (!own.Valid()) {
    const int why = errno;
    error = reservedShown + "/" + instance + " cannot be opened: " + std::strerror(why) +
            (why == ELOOP || why == ENOTDIR ? " (a link or no folder, which is not followed)" : "");
  }
  return own;
}

}  // namespace qnvrecorder
