// UniqueFd: owns one file descriptor and closes it once. Close() reports
// whether the close succeeded, which matters for files being written.
// The player's own: it builds on the public headers only, so neither the
// library's platform one nor the tools' one (a tool's part) is in its reach.
#ifndef QNVPLAYER_UNIQUEFD_H
#define QNVPLAYER_UNIQUEFD_H

#include <unistd.h>

#include <utility>

namespace qnv::player {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : m_fd(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : m_fd(std::exchange(o.m_fd, -1)) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) {
      Close();
      m_fd = std::exchange(o.m_fd, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Close(); }

  int get() const { return m_fd; }
  bool valid() const { return m_fd >= 0; }
  // Closes now; false when close failed (the data may not have been stored).
  bool Close() {
    if (m_fd < 0) return true;
    const int rc = ::close(std::exchange(m_fd, -1));
    return rc == 0;
  }

 private:
  int m_fd = -1;
};

}  // namespace qnv::player

#endif  // QNVPLAYER_UNIQUEFD_H
