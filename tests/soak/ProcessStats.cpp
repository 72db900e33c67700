#include "ProcessStats.h"

#include <dirent.h>
#include <malloc.h>

#include <cstdio>
#include <cstring>

namespace qnv::soak {

namespace {

int CountEntries(const char* path) {
  DIR* d = ::opendir(path);
  if (d == nullptr) return -1;
  int n = 0;
  while (dirent* e = ::readdir(d))
    if (e->d_name[0] != '.') ++n;
  ::closedir(d);
  return n;
}

}  // namespace

SProcessStats ReadProcessStats() {
  SProcessStats s;
  if (FILE* f = std::fopen("/proc/self/status", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, f) != nullptr) {
      unsigned long long kib;
      if (std::sscanf(line, "VmRSS: %llu kB", &kib) == 1) s.rssKiB = kib;
    }
    std::fclose(f);
  }
  const struct mallinfo2 heap = ::mallinfo2();
  s.heapKiB = (heap.uordblks + heap.hblkhd) / 1024;
  s.threads = CountEntries("/proc/self/task");
  s.descriptors = CountEntries("/proc/self/fd") - 1;  // the one reading the folder
  return s;
}

void TrimHeap() { ::malloc_trim(0); }

std::string Describe(const SProcessStats& s) {
  char buf[160];
  std::snprintf(buf, sizeof buf, "RSS %.1f MiB, heap %.1f MiB, %d threads, %d descriptors",
                s.rssKiB / 1024.0, s.heapKiB / 1024.0, s.threads, s.descriptors);
  return buf;
}

}  // namespace qnv::soak
