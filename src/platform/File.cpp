#include "platform/File.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

namespace qnv::platform {

namespace {
std::atomic<FileWriteHook> g_writeHook{nullptr};
std::atomic<FileReserveHook> g_reserveHook{nullptr};
}  // namespace

FILE* FileOpen(const char* path, const char* mode) {
  if (path == nullptr || mode == nullptr) return nullptr;
  return std::fopen(path, mode);
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
