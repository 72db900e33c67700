#include "platform/File.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/UniqueFd.h"

namespace qnv::platform {

namespace {
std::atomic<FileWriteHook> g_writeHook{nullptr};
std::atomic<FileReserveHook> g_reserveHook{nullptr};
}  // namespace

FILE* FileOpen(const char* path, const char* mode) {
  if (path == nullptr || mode == nullptr) return nullptr;
  return std::fopen(path, mode);
}

namespace {

const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISLNK(mode)) return "a symbolic link";
  return "not a regular file";
}

void SetWhy(std::string* why, const std::string& text) {
  if (why != nullptr) *why = text;
}

}  // namespace

FILE* FileOpenRegular(const char* path, FileAccess access, bool noFollow, std::string* why) {
  if (path == nullptr || path[0] == '\0') {
    SetWhy(why, "no path");
    errno = EINVAL;
    return nullptr;
  }
  const bool write = access == FileAccess::kWrite;
  // Written files are also readable, so a repair can check them through the
  // descriptor.
  int flags = (write ? O_RDWR | O_CREAT : O_RDONLY) | O_NONBLOCK | O_CLOEXEC;
  if (noFollow) flags |= O_NOFOLLOW;
  UniqueFd fd(::open(path, flags, 0666));
  if (!fd) {
    const int err = errno;
    // O_NOFOLLOW reports a link as ELOOP; a FIFO without a reader opened
    // for writing as ENXIO.
    SetWhy(why, noFollow && err == ELOOP ? "a symbolic link"
                : err == ENXIO           ? "a FIFO or device nobody has open"
                                         : std::strerror(err));
    errno = err;
    return nullptr;
  }
  struct stat st;
  const bool known = ::fstat(fd.get(), &st) == 0;
  if (!known || !S_ISREG(st.st_mode)) {
    SetWhy(why, known ? KindOf(st.st_mode) : std::strerror(errno));
    fd.reset();
    errno = EINVAL;
    return nullptr;
  }
  // Regular files never block; later reads and writes are ordinary.
  const int fl = ::fcntl(fd.get(), F_GETFL);
  if (fl >= 0) ::fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK);
  FILE* f = ::fdopen(fd.get(), write ? "wb" : "rb");  // "w" on a descriptor truncates nothing
  if (f == nullptr) {
    const int err = errno;
    SetWhy(why, std::strerror(err));
    fd.reset();
    errno = err;
    return nullptr;
  }
  fd.release();  // the stream owns it now
  return f;
}

std::string PathRefusal(const char* path, bool allowLink) {
  struct stat st;
  if (path == nullptr || ::lstat(path, &st) != 0) return "";
  if (S_ISLNK(st.st_mode)) {
    if (!allowLink) return KindOf(st.st_mode);
    if (::stat(path, &st) != 0) return "";  // dangling: the open decides
  }
  return S_ISREG(st.st_mode) ? "" : KindOf(st.st_mode);
}

bool FileIdentity(FILE* f, SFileIdentity* id) {
  struct stat st;
  if (f == nullptr || ::fstat(fileno(f), &st) != 0) return false;
  id->device = uint64_t(st.st_dev);
  id->inode = uint64_t(st.st_ino);
  return true;
}

bool PathIdentity(const char* path, bool followLink, SFileIdentity* id) {
  struct stat st;
  if (path == nullptr || (followLink ? ::stat(path, &st) : ::lstat(path, &st)) != 0) return false;
  id->device = uint64_t(st.st_dev);
  id->inode = uint64_t(st.st_ino);
  return true;
}

bool FileTruncate(FILE* f, int64_t length) {
  if (f == nullptr || length < 0) return false;
  return ::ftruncate(fileno(f), off_t(length)) == 0;
}

size_t FileWrite(FILE* f, const void* data, size_t n) {
  if (f == nullptr) return 0;
  if (n == 0) return 0;
  if (FileWriteHook hook = g_writeHook.load()) return hook(f, data, n);
  return std::fwrite(data, 1, n, f);
}

size_t FileRead(FILE* f, void* data, size_t n) {
  if (f == nullptr || n == 0) return 0;
  return std::fread(data, 1, n, f);
}

bool FileClose(FILE* f) {
  if (f == nullptr) return true;
  return std::fclose(f) == 0;
}

int64_t FileSize(FILE* f) {
  if (f == nullptr) return -1;
  struct stat st;
  if (fstat(fileno(f), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool FileReserve(FILE* f, int64_t offset, int64_t length) {
  if (f == nullptr || offset < 0 || length <= 0) return false;
  if (FileReserveHook hook = g_reserveHook.load()) return hook(f, offset, length);
  return ::fallocate(fileno(f), FALLOC_FL_KEEP_SIZE, off_t(offset), off_t(length)) == 0;
}

bool FileFlushAndTrim(FILE* f) {
  if (f == nullptr) return true;
  const bool flushed = std::fflush(f) == 0;
  // Truncating to the current size frees the blocks past the end, also after
  // a failed flush: the file keeps what reached it.
  struct stat st;
  const bool trimmed = fstat(fileno(f), &st) == 0 && ::ftruncate(fileno(f), st.st_size) == 0;
  return flushed && trimmed;
}

void SetFileWriteHookForTesting(FileWriteHook hook) { g_writeHook.store(hook); }

void SetFileReserveHookForTesting(FileReserveHook hook) { g_reserveHook.store(hook); }

}  // namespace qnv::platform
