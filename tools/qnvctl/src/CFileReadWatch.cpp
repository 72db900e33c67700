#include "CFileReadWatch.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace qnvctl {

CFileReadWatch::CFileReadWatch(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    m_valid = true;
    m_device = st.st_dev;
    m_inode = st.st_ino;
  }
}

bool CFileReadWatch::IsOurFile(int fd) const {
  // stat through the /proc link reaches the open file itself, whatever name
  // it was opened by.
  struct stat st;
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  return stat(link.c_str(), &st) == 0 && st.st_dev == m_device && st.st_ino == m_inode;
}

std::optional<uint64_t> CFileReadWatch::ReadPosition(int fd) const {
  const std::string info = "/proc/self/fdinfo/" + std::to_string(fd);
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(info.c_str(), "r"), &std::fclose);
  if (!f) return std::nullopt;
  char line[128];
  while (std::fgets(line, sizeof line, f.get())) {
    if (std::strncmp(line, "pos:", 4) == 0) return std::strtoull(line + 4, nullptr, 10);
  }
  return std::nullopt;
}

std::optional<uint64_t> CFileReadWatch::Position() {
  if (!m_valid) return std::nullopt;
  if (m_fd >= 0 && IsOurFile(m_fd)) {
    if (auto pos = ReadPosition(m_fd)) return pos;
  }
  m_fd = -1;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir("/proc/self/fd"), &closedir);
  if (!dir) return std::nullopt;
  while (dirent* e = readdir(dir.get())) {
    char* end = nullptr;
    const long fd = std::strtol(e->d_name, &end, 10);
    if (*end != '\0' || e->d_name[0] == '.' || fd == dirfd(dir.get())) continue;
    if (IsOurFile(static_cast<int>(fd))) {
      if (auto pos = ReadPosition(static_cast<int>(fd))) {
        m_fd = static_cast<int>(fd);
        return pos;
      }
    }
  }
  return std::nullopt;
}

}  // namespace qnvctl
