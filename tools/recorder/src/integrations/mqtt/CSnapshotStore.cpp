#include "integrations/mqtt/CSnapshotStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "qnvtools/SafeFile.h"
#include "storage/CStorageRoot.h"

namespace qnvrecorder {
namespace {

constexpr size_t kStampDigits = 13;

std::string PartName(int64_t unixMs) { return "." + CSnapshotStore::FileName(unixMs) + ".part"; }

bool IsPartName(const std::string& name) {
  return name.size() > 6 && name[0] == '.' && name.compare(name.size() - 5, 5, ".part") == 0 &&
         CSnapshotStore::IsSnapshotName(name.substr(1, name.size() - 6));
}

// Reads a regular file below dirFd (never through a link) of at most max bytes.
bool ReadAt(int dirFd, const std::string& name, size_t max, std::vector<uint8_t>& out,
            std::string& error) {
  const UniqueFd fd = qnvtools::OpenRegularAt(dirFd, name, O_RDONLY);
  struct stat st {};
  if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0) {
    error = "the capture left no file";
    return false;
  }
  if (st.st_size <= 0 || static_cast<uint64_t>(st.st_size) > max) {
    error = "the capture is " + std::to_string(st.st_size) + " bytes (at most " +
            std::to_string(max) + " are published)";
    return false;
  }
  out.resize(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < out.size()) {
    const ssize_t n = ::read(fd.Get(), out.data() + got, out.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error =
          std::string("the capture cannot be read: ") + (n < 0 ? std::strerror(errno) : "short");
      return false;
    }
    got += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

CSnapshotStore::CSnapshotStore(const CStorageRoot* storage) : m_storage(storage) {}

CSnapshotStore::~CSnapshotStore() {
  if (m_tempFolder.empty()) return;
  for (auto& [name, fd] : m_cameras) {
    // Without a storage root nothing is kept: a capture's file is gone
    // already; only the folders remain.
    ::unlinkat(m_snapshotsFd.Get(), name.c_str(), AT_REMOVEDIR);
  }
  m_cameras.clear();
  m_snapshotsFd.Reset();
  ::rmdir(m_tempFolder.c_str());
}

std::string CSnapshotStore::FileName(int64_t unixMs) {
  char name[32];
  std::snprintf(name, sizeof name, "%013lld.jpg", static_cast<long long>(unixMs));
  return name;
}

bool CSnapshotStore::IsSnapshotName(const std::string& name) {
  if (name.size() != kStampDigits + 4 || name.compare(kStampDigits, 4, ".jpg") != 0) return false;
  return std::all_of(name.begin(), name.begin() + kStampDigits,
                     [](char c) { return c >= '0' && c <= '9'; });
}

int CSnapshotStore::CameraFolder(const std::string& camera, std::string& error) {
  if (auto it = m_cameras.find(camera); it != m_cameras.end()) return it->second.Get();
  if (!m_snapshotsFd.Valid()) {
    if (m_storage) {
      m_snapshotsFd = m_storage->MakeOwnFolder(kSnapshotFolder, error);
    } else {
      const char* tmp = std::getenv("TMPDIR");
      std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/qnv-snapshots-XXXXXX";
      if (::mkdtemp(templ.data()) == nullptr) {
        error = "no temporary folder for snapshots: " + std::string(std::strerror(errno));
        return -1;
      }
      m_tempFolder = templ;
      m_snapshotsFd.Reset(::open(templ.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    if (!m_snapshotsFd.Valid()) {
      if (error.empty()) error = "the snapshot folder cannot be opened";
      return -1;
    }
  }
  UniqueFd fd;
  if (m_storage) {
    fd = m_storage->MakeOwnFolder(camera, error, m_snapshotsFd.Get());
  } else {
    ::mkdirat(m_snapshotsFd.Get(), camera.c_str(), 0700);
    fd.Reset(::openat(m_snapshotsFd.Get(), camera.c_str(),
                      O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.Valid()) error = "the snapshot folder of " + camera + " cannot be made";
  }
  if (!fd.Valid()) return -1;
  const int raw = fd.Get();
  m_cameras[camera] = std::move(fd);
  return raw;
}

bool CSnapshotStore::Take(
    const std::string& camera, int64_t unixMs,
    const std::function<bool(const std::string& path, std::string& error)>& capture,
    std::vector<uint8_t>& jpeg, std::string& error) {
  const int folder = CameraFolder(camera, error);
  if (folder < 0) return false;
  const std::string part = PartName(unixMs), name = FileName(unixMs);
  const std::string path =
      m_storage ? m_storage->FdPath(folder, part) : m_tempFolder + "/" + camera + "/" + part;
  if (path.empty()) {
    error = "no path reaches the snapshot folder without a link (/proc/self/fd is missing)";
    return false;
  }
  ::unlinkat(folder, part.c_str(), 0);  // a crash's leftover of the same name
  bool ok = capture(path, error) && ReadAt(folder, part, kMaxSnapshotBytes, jpeg, error);
  if (ok && !m_tempFolder.empty()) {
    ::unlinkat(folder, part.c_str(), 0);  // nothing is kept without a storage root
    return true;
  }
  if (ok && ::renameat(folder, part.c_str(), folder, name.c_str()) != 0) {
    error = "the snapshot cannot be kept: " + std::string(std::strerror(errno));
    ok = false;
  }
  if (!ok) {
    ::unlinkat(folder, part.c_str(), 0);
    return false;
  }
  Prune(folder);
  return true;
}

void CSnapshotStore::Prune(int folderFd) {
  UniqueFd listFd(::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  DIR* dir = listFd.Valid() ? ::fdopendir(listFd.Release()) : nullptr;
  if (!dir) return;
  std::vector<std::string> kept, parts;
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (IsSnapshotName(name)) kept.push_back(name);
    if (IsPartName(name)) parts.push_back(name);
  }
  ::closedir(dir);
  std::sort(kept.begin(), kept.end());
  const size_t extra = kept.size() > kSnapshotsKept ? kept.size() - kSnapshotsKept : 0;
  for (size_t i = 0; i < extra; ++i) parts.push_back(kept[i]);
  for (const std::string& name : parts) {
    struct stat st {};
    // Only regular files of this user: what the recorder wrote.
    if (::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
        st.st_uid == ::geteuid()) {
      ::unlinkat(folderFd, name.c_str(), 0);
    }
  }
}

}  // namespace qnvrecorder
