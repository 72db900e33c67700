#include "UniqueFd.h"

#include <unistd.h>

namespace qnv::bench {

CUniqueFd::~CUniqueFd() { Reset(); }

CUniqueFd& CUniqueFd::operator=(CUniqueFd&& other) noexcept {
  if (this != &other) Reset(other.Release());
  return *this;
}

int CUniqueFd::Release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void CUniqueFd::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

}  // namespace qnv::bench
