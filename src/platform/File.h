// Buffered files for recordings and firmware images. Everything goes through
// these functions so tests can inject failures (a full disk, an I/O error).
#ifndef QNV_PLATFORM_FILE_H
#define QNV_PLATFORM_FILE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace qnv::platform {

// Opens with a stdio mode ("rb", "wb"); null on failure (errno set).
FILE* FileOpen(const char* path, const char* mode);

// Opens a regular file without ever blocking: the path is opened with
// O_NONBLOCK and checked through its descriptor, so a FIFO, a device, a
// socket or a directory is refused at once (null; *why, when given, names the
// cause, as it does for any failure). kWrite opens for reading and writing
// (the stream itself writes only), creates a missing file (0666
// less the umask) but never truncates: FileTruncate does that once the caller
// has checked the file. With noFollow a symbolic link as the last component
// is refused, and nothing is created through it.
enum class FileAccess { kRead, kWrite };
FILE* FileOpenRegular(const char* path, FileAccess access, bool noFollow, std::string* why);
// What the path names now, without following a last symbolic link and
// without opening it: "" when it is absent or a regular file, else the
// cause of a refusal ("a FIFO", "a symbolic link", ...). For a check before
// anything is created; the open checks again.
std::string PathRefusal(const char* path, bool allowLink);
// Device and inode of an open file: its identity, whatever path reached it.
struct SFileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator<(const SFileIdentity& o) const {
    return device != o.device ? device < o.device : inode < o.inode;
  }
  bool operator==(const SFileIdentity& o) const = default;
};
bool FileIdentity(FILE* f, SFileIdentity* id);
// The identity of what path names now (the link itself with followLink
// false); false when it is absent.
bool PathIdentity(const char* path, bool followLink, SFileIdentity* id);
// Sets the length of an open file through its descriptor (after fflush).
bool FileTruncate(FILE* f, int64_t length);
// Writes n bytes; returns the count written (n on success). A short count
// means the file is unusable (disk full, I/O error).
size_t FileWrite(FILE* f, const void* data, size_t n);
size_t FileRead(FILE* f, void* data, size_t n);
// Flushes and closes; false when the flush or close failed. Null is a no-op.
bool FileClose(FILE* f);
// Size of an open file in bytes, or -1.
int64_t FileSize(FILE* f);
// Reserves disk blocks for [offset, offset + length) without changing the
// file's size, so writes there cannot later fail for want of space. False
// (errno set) where the filesystem cannot reserve or the disk is full.
bool FileReserve(FILE* f, int64_t offset, int64_t length);
// Flushes f and gives back the blocks reserved past its end (also when the
// flush failed). False when either failed.
bool FileFlushAndTrim(FILE* f);

// Fault injection for tests: when set, FileWrite calls this instead of fwrite.
using FileWriteHook = size_t (*)(FILE* f, const void* data, size_t n);
void SetFileWriteHookForTesting(FileWriteHook hook);
// When set, FileReserve calls this instead of reserving.
using FileReserveHook = bool (*)(FILE* f, int64_t offset, int64_t length);
void SetFileReserveHookForTesting(FileReserveHook hook);

}  // namespace qnv::platform

#endif  // QNV_PLATFORM_FILE_H
