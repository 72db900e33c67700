// UniqueFd: owns one file descriptor and closes it when it goes. The tools'
// one descriptor owner (the recorder, the catalogue, the exporter, the
// benchmarks); the library keeps its own in src/platform. Move-only; one
// thread at a time.
#ifndef QNVTOOLS_UNIQUEFD_H
#define QNVTOOLS_UNIQUEFD_H

#include <unistd.h>

#include <utility>

namespace qnvtools {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : m_fd(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int Get() const { return m_fd; }
  bool Valid() const { return m_fd >= 0; }
  // Gives the descriptor up without closing it (-1 when there is none).
  int Release() { return std::exchange(m_fd, -1); }
  // Closes the descriptor held, if any, and holds fd instead.
  void Reset(int fd = -1) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
  }

 private:
  int m_fd = -1;
};

}  // namespace qnvtools

#endif  // QNVTOOLS_UNIQUEFD_H
