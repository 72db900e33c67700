// UniqueFd: owns one file descriptor and closes it once. Close() reports
// whether the close succeeded, which matters for files being written.
#ifndef QNVPLAYER_UNIQUEFD_H
#define QNVPLAYER_UNIQUEFD_H

#include <unistd.h>

#include <utility>

namespace qnvplayer {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) {
      Close();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Close(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now; false when close failed (the data may not have been stored).
  bool Close() {
    if (fd_ < 0) return true;
    const int rc = ::close(std::exchange(fd_, -1));
    return rc == 0;
  }

 private:
  int fd_ = -1;
};

}  // namespace qnvplayer

#endif  // QNVPLAYER_UNIQUEFD_H
