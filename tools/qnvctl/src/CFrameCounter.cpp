#include "CFrameCounter.h"

#include "FrameHeader.h"

namespace qnvctl {

void CFrameCounter::OnFrame(const uint8_t* frame, size_t length) {
  if (length < FrameHeader::kSize) return;  // the SDK never delivers less than a header
  const uint32_t counter = QnvLoadLe32(frame + FrameHeader::kCounterOffset);
  const QNVNetFrameNal nal = QNVNetFrameNal::OfFrame(frame, length);
  const bool key = nal.keyPicture;
  const bool picture = nal.startsPicture;
  const auto now = Clock::now();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++totals_.frames;
    if (picture) ++totals_.pictures;
    totals_.bytes += length;
    if (haveCounter_ && counter != lastCounter_ + 1) {
      ++totals_.gaps;
      // A counter that went back (a restarted stream) starts afresh; only
      // forward jumps say how many frames were lost.
      if (counter > lastCounter_) totals_.missing += counter - lastCounter_ - 1;
    }
    haveCounter_ = true;
    lastCounter_ = counter;
    if (key) {
      ++totals_.keyFrames;
      if (haveKey_) {
        totals_.keyIntervalFrames = totals_.frames - lastKeyFrameNumber_;
        totals_.keyIntervalSeconds = std::chrono::duration<double>(now - lastKeyTime_).count();
      }
      haveKey_ = true;
      lastKeyFrameNumber_ = totals_.frames;
      lastKeyTime_ = now;
    }
  }
  if (key) keyArrived_.notify_all();
}

SFrameTotals CFrameCounter::Totals() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return totals_;
}

bool CFrameCounter::WaitForKeyFrame(int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return keyArrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [this] { return totals_.keyFrames > 0; });
}

}  // namespace qnvctl
