// What a process holds right now, read from /proc: resident memory, threads
// and open descriptors. The recorder watches itself with it and the soaks
// watch their processes with it. Header-only; any thread.
#ifndef QNVTOOLS_PROCESSSTATS_H
#define QNVTOOLS_PROCESSSTATS_H

#include <dirent.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace qnvtools {

struct SProcessStats {
  uint64_t rssKiB = 0;
  int threads = 0;
  int descriptors = 0;
};

namespace processstats_detail {

inline int CountEntries(const std::string& path) {
  DIR* d = ::opendir(path.c_str());
  if (d == nullptr) return -1;
  int n = 0;
  while (dirent* e = ::readdir(d))
    if (e->d_name[0] != '.') ++n;
  ::closedir(d);
  return n;
}

}  // namespace processstats_detail

// pid 0: this process. Fields that cannot be read stay 0 (-1 for counts).
inline SProcessStats ReadProcessStats(pid_t pid = 0) {
  const std::string proc = pid == 0 ? std::string("/proc/self") : "/proc/" + std::to_string(pid);
  SProcessStats s;
  if (FILE* f = std::fopen((proc + "/status").c_str(), "re")) {
    char line[256];
    while (std::fgets(line, sizeof line, f) != nullptr) {
      unsigned long long kib;
      if (std::sscanf(line, "VmRSS: %llu kB", &kib) == 1) s.rssKiB = kib;
    }
    std::fclose(f);
  }
  s.threads = processstats_detail::CountEntries(proc + "/task");
  s.descriptors = processstats_detail::CountEntries(proc + "/fd");
  if (pid == 0 && s.descriptors > 0) --s.descriptors;  // the one reading the folder
  return s;
}

}  // namespace qnvtools

#endif  // QNVTOOLS_PROCESSSTATS_H
