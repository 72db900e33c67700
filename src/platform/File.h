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
