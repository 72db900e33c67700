// CUniqueFd: owns one file descriptor and closes it once. Movable, not
// copyable. Any thread may use it; the owner serialises its own calls.
#ifndef QNV_BENCH_UNIQUEFD_H
#define QNV_BENCH_UNIQUEFD_H

namespace qnv::bench {

class CUniqueFd {
 public:
  CUniqueFd() = default;
  explicit CUniqueFd(int fd) : fd_(fd) {}
  ~CUniqueFd();
  CUniqueFd(CUniqueFd&& other) noexcept : fd_(other.Release()) {}
  CUniqueFd& operator=(CUniqueFd&& other) noexcept;
  CUniqueFd(const CUniqueFd&) = delete;
  CUniqueFd& operator=(const CUniqueFd&) = delete;

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release();
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

}  // namespace qnv::bench

#endif  // QNV_BENCH_UNIQUEFD_H
