// UniqueFd: owns one file descriptor and closes it when it goes (-1: none).
// Moves, never copies. Any thread, one at a time per object.
#ifndef QNV_PLATFORM_UNIQUEFD_H
#define QNV_PLATFORM_UNIQUEFD_H

#include <unistd.h>

#include <utility>

namespace qnv::platform {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : m_fd(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return m_fd; }
  explicit operator bool() const { return m_fd >= 0; }
  // Gives the descriptor up without closing it.
  int release() { return std::exchange(m_fd, -1); }
  // Closes the descriptor held, if any, and holds fd instead.
  void reset(int fd = -1) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
  }

 private:
  int m_fd = -1;
};

}  // namespace qnv::platform

#endif  // QNV_PLATFORM_UNIQUEFD_H
