#include "ProcessStats.h"

#include <malloc.h>

#include <cstdio>
#include <cstring>

#include "qnvtools/ProcessStats.h"

namespace qnv::soak {

SProcessStats ReadProcessStats() {
  const qnvtools::SProcessStats process = qnvtools::ReadProcessStats();
  SProcessStats s;
  s.rssKiB = process.rssKiB;
  s.threads = process.threads;
  s.descriptors = process.descriptors;
  const struct mallinfo2 heap = ::mallinfo2();
  s.heapKiB = (heap.uordblks + heap.hblkhd) / 1024;
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
