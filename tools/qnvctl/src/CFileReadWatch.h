// CFileReadWatch: how far this process has read a file that another part of
// it opened, found through /proc/self/fd and /proc/self/fdinfo. The firmware
// upload export reads its image in order, chunk by chunk, so its read
// position is the upload's progress. Owns nothing but what it found; one
// thread (the one drawing the progress).
#ifndef QNVCTL_CFILEREADWATCH_H
#define QNVCTL_CFILEREADWATCH_H

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace qnvctl {

class CFileReadWatch {
 public:
  explicit CFileReadWatch(const std::string& path);
  CFileReadWatch(const CFileReadWatch&) = delete;
  CFileReadWatch& operator=(const CFileReadWatch&) = delete;

  // The read position of the descriptor open on the file; nullopt while none
  // is (yet, or any more) open.
  std::optional<uint64_t> Position();

 private:
  bool IsOurFile(int fd) const;
  std::optional<uint64_t> ReadPosition(int fd) const;

  bool m_valid = false;
  dev_t m_device = 0;
  ino_t m_inode = 0;
  int m_fd = -1;  // the descriptor found last time
};

}  // namespace qnvctl

#endif  // QNVCTL_CFILEREADWATCH_H
