// What the process holds right now: resident memory, threads, descriptors.
// Read from /proc/self; any thread may call it.
#ifndef QNV_SOAK_PROCESSSTATS_H
#define QNV_SOAK_PROCESSSTATS_H

#include <cstdint>
#include <string>

namespace qnv::soak {

struct SProcessStats {
  uint64_t rssKiB = 0;
  int threads = 0;
  int descriptors = 0;
};

SProcessStats ReadProcessStats();
std::string Describe(const SProcessStats& s);

}  // namespace qnv::soak

#endif  // QNV_SOAK_PROCESSSTATS_H
