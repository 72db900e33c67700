// CLossRecord: why a connection, a session or a channel was lost: a reason
// (QNVNET_LOSS_*, never 0 once set) and its detail (an errno, a time-out),
// set once (the first reason stays) and read whole from any thread: both lie
// in one atomic word, so no reader sees a reason without its detail.
#ifndef QNV_TRANSPORT_CLOSSRECORD_H
#define QNV_TRANSPORT_CLOSSRECORD_H

#include <atomic>
#include <cstdint>

namespace qnv {

class CLossRecord {
 public:
  // True when this was the first reason given (reason 0 sets nothing).
  bool Set(uint32_t reason, int32_t detail) {
    if (reason == 0) return false;
    uint64_t none = 0;
    return m_word.compare_exchange_strong(none, uint64_t(reason) << 32 | uint32_t(detail));
  }
  uint32_t Reason() const { return uint32_t(m_word.load() >> 32); }
  int32_t Detail() const { return int32_t(uint32_t(m_word.load())); }
  // Both, from one reading.
  void Get(uint32_t& reason, int32_t& detail) const {
    const uint64_t word = m_word.load();
    reason = uint32_t(word >> 32);
    detail = int32_t(uint32_t(word));
  }
  void Clear() { m_word.store(0); }

 private:
  std::atomic<uint64_t> m_word{0};
};

}  // namespace qnv

#endif  // QNV_TRANSPORT_CLOSSRECORD_H
