// CFrameCounter: statistics of one live stream, fed from the stream callback:
// frames, pictures, bytes, key frames (pictures a decoder can start at, as
// QNVNetFrameNal tells), their spacing, and gaps in the device's frame
// counter (header bytes 0..3). OnFrame runs on
// the channel's receive thread; every other method may be called from any
// thread at the same time.
#ifndef QNVCTL_CFRAMECOUNTER_H
#define QNVCTL_CFRAMECOUNTER_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace qnvctl {

struct SFrameTotals {
  uint64_t frames = 0;
  uint64_t bytes = 0;              // whole frames, headers included
  uint64_t keyFrames = 0;          // key pictures
  uint64_t pictures = 0;           // frames that begin a picture (parameter sets and SEI are not)
  uint64_t gaps = 0;               // places where the frame counter did not go up by one
  uint64_t missing = 0;            // frames the counter skipped over (forward jumps only)
  uint64_t keyIntervalFrames = 0;  // frames from the previous key frame to the latest one
  double keyIntervalSeconds = 0;   // arrival time between those two key frames
};

class CFrameCounter {
 public:
  CFrameCounter() = default;
  CFrameCounter(const CFrameCounter&) = delete;
  CFrameCounter& operator=(const CFrameCounter&) = delete;

  void OnFrame(const uint8_t* frame, size_t length);
  SFrameTotals Totals() const;
  // True once a key frame has arrived (at any time), false after timeoutMs.
  bool WaitForKeyFrame(int timeoutMs) const;

 private:
  using Clock = std::chrono::steady_clock;
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_keyArrived;
  SFrameTotals m_totals;
  bool m_haveCounter = false;
  uint32_t m_lastCounter = 0;
  bool m_haveKey = false;
  uint64_t m_lastKeyFrameNumber = 0;
  Clock::time_point m_lastKeyTime;
};

}  // namespace qnvctl

#endif  // QNVCTL_CFRAMECOUNTER_H
