// Collects the frames that reach the host's stream callback, per channel
// port, for end-to-end live tests.
#ifndef QNV_TESTS_STREAMCAPTURE_H
#define QNV_TESTS_STREAMCAPTURE_H

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "QNVNetSdk.h"

namespace qnv::test {

struct DeliveredFrame {
  uint32_t clientId;
  uint16_t port;
  std::vector<uint8_t> bytes;  // header first
};

class StreamCapture {
 public:
  static StreamCapture& Instance() {
    static StreamCapture c;
    return c;
  }
  static bool Callback(uint32_t clientId, char*, uint16_t port, char* frame, int32_t length,
                       uint32_t) {
    auto& c = Instance();
    std::lock_guard<std::mutex> lock(c.m_mutex);
    if (c.m_keep)
      c.m_frames.push_back({clientId, port, std::vector<uint8_t>(frame, frame + length)});
    ++c.m_count;
    return true;
  }
  void Clear(bool keep = true) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_frames.clear();
    m_keep = keep;
    m_count = 0;
  }
  std::vector<DeliveredFrame> Frames() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frames;
  }
  uint64_t Count() const { return m_count.load(); }

 private:
  std::mutex m_mutex;
  std::vector<DeliveredFrame> m_frames;
  bool m_keep = true;
  std::atomic<uint64_t> m_count{0};
};

inline uint32_t Le32At(const std::vector<uint8_t>& b, size_t off) {
  return uint32_t(b[off]) | uint32_t(b[off + 1]) << 8 | uint32_t(b[off + 2]) << 16 |
         uint32_t(b[off + 3]) << 24;
}

}  // namespace qnv::test

#endif  // QNV_TESTS_STREAMCAPTURE_H
