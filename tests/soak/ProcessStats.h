// What the process holds right now: resident memory, threads, descriptors.
// Read from /proc/self; any thread may call it.
#ifndef QNV_SOAK_PROCESSSTATS_H
#define QNV_SOAK_PROCESSSTATS_H

#include <cstdint>
#include <string>

namespace qnv::soak {

struct SProcessStats {
  uint64_t rssKiB = 0;
  uint64_t heapKiB = 0;  // allocated and not yet freed (malloc's own count)
  int threads = 0;
  int descriptors = 0;
};

SProcessStats ReadProcessStats();
// Gives memory that malloc holds free back to the system, so RSS readings
// before and after a run compare what is in use rather than what is cached.
void TrimHeap();
std::string Describe(const SProcessStats& s);

}  // namespace qnv::soak

#endif  // QNV_SOAK_PROCESSSTATS_H
