// The one way the tools open a file in a folder someone else may write to
// (a storage root, a catalogue's journal, a snapshot folder): never through a
// symbolic link, never waiting on a FIFO or a device, and only a regular
// file. A planted link, FIFO, socket or device fails the open at once
// instead of leading elsewhere or blocking the caller (and with it a stop).
//
//   OpenRegularAt(dirFd, "cam/2026-12-09/x.dat", flags)   every component of
//       the relative path below dirFd is taken without following a link;
//       "", ".", ".." and an absolute path are refused (EINVAL)
//   OpenRegular("/var/lib/x/journal/today.jsonl", flags)  the folders above
//       are the caller's (links allowed there); the file itself is not
//       followed if it is a link
//   OpenFolderAt(dirFd, "cam/2026-12-09")   a folder below dirFd, read-only,
//       no link followed on the way (to list it, or open files in it)
//
// Both return an invalid UniqueFd with errno set on failure: ELOOP for a
// link as the last name, ENOTDIR for a folder on the way that is a link or
// no folder at all, ENXIO when the last name
// is a FIFO or other special file (kNotRegular says so in words), or what
// open(2) said. The descriptor comes back blocking, with O_CLOEXEC. Header-
// only; any thread.
#ifndef QNVTOOLS_SAFEFILE_H
#define QNVTOOLS_SAFEFILE_H

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "qnvtools/UniqueFd.h"

namespace qnvtools {

inline constexpr const char* kNotRegular = "not a regular file (a FIFO, device or socket)";

namespace safefile_detail {

inline UniqueFd OpenLast(int dirFd, const char* name, int flags, mode_t mode) {
  UniqueFd fd(::openat(dirFd, name, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode));
  if (!fd.Valid()) {
    // A FIFO opened for writing without a reader says ENXIO already.
    return fd;
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) return UniqueFd();
  if (!S_ISREG(st.st_mode)) {
    errno = ENXIO;
    return UniqueFd();
  }
  if ((flags & O_NONBLOCK) == 0) {
    const int now = ::fcntl(fd.Get(), F_GETFL);
    if (now >= 0) ::fcntl(fd.Get(), F_SETFL, now & ~O_NONBLOCK);
  }
  return fd;
}

}  // namespace safefile_detail

// A folder at relative below dirFd, no link followed on the way.
inline UniqueFd OpenFolderAt(int dirFd, const std::string& relative) {
  if (relative.empty() || relative.front() == '/') {
    errno = EINVAL;
    return UniqueFd();
  }
  UniqueFd folder;
  size_t from = 0;
  for (;;) {
    const size_t slash = relative.find('/', from);
    const std::string name = relative.substr(from, slash - from);
    if (name.empty() || name == "." || name == "..") {
      errno = EINVAL;
      return UniqueFd();
    }
    UniqueFd next(::openat(folder.Valid() ? folder.Get() : dirFd, name.c_str(),
                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.Valid() || slash == std::string::npos) return next;
    folder = std::move(next);
    from = slash + 1;
  }
}

// A regular file at relative below dirFd, no link followed on the way.
inline UniqueFd OpenRegularAt(int dirFd, const std::string& relative, int flags,
                              mode_t mode = 0666) {
  const size_t slash = relative.rfind('/');
  const std::string name = slash == std::string::npos ? relative : relative.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") {
    errno = EINVAL;
    return UniqueFd();
  }
  if (slash == std::string::npos)
    return safefile_detail::OpenLast(dirFd, name.c_str(), flags, mode);
  const UniqueFd folder = OpenFolderAt(dirFd, relative.substr(0, slash));
  if (!folder.Valid()) return UniqueFd();
  return safefile_detail::OpenLast(folder.Get(), name.c_str(), flags, mode);
}

// A regular file at path; only its last component is refused as a link.
inline UniqueFd OpenRegular(const std::string& path, int flags, mode_t mode = 0666) {
  if (path.empty()) {
    errno = ENOENT;
    return UniqueFd();
  }
  return safefile_detail::OpenLast(AT_FDCWD, path.c_str(), flags, mode);
}

}  // namespace qnvtools

#endif  // QNVTOOLS_SAFEFILE_H
