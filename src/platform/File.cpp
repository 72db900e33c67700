#include "platform/File.h"

#include <sys/stat.h>

#include <atomic>

namespace qnv::platform {

namespace {
std::atomic<FileWriteHook> g_writeHook{nullptr};
}

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

void SetFileWriteHookForTesting(FileWriteHook hook) { g_writeHook.store(hook); }

}  // namespace qnv::platform
