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
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_totals.frames;
    if (picture) ++m_totals.pictures;
    m_totals.bytes += length;
    if (m_haveCounter && counter != m_lastCounter + 1) {
      ++m_totals.gaps;
      // A counter that went back (a restarted stream) starts afresh; only
      // forward jumps say how many frames were lost.
      if (counter > m_lastCounter) m_totals.missing += counter - m_lastCounter - 1;
    }
    m_haveCounter = true;
    m_lastCounter = counter;
    if (key) {
      ++m_totals.keyFrames;
      if (m_haveKey) {
        m_totals.keyIntervalFrames = m_totals.frames - m_lastKeyFrameNumber;
        m_totals.keyIntervalSeconds = std::chrono::duration<double>(now - m_lastKeyTime).count();
      }
      m_haveKey = true;
      m_lastKeyFrameNumber = m_totals.frames;
      m_lastKeyTime = now;
    }
  }
  if (key) m_keyArrived.notify_all();
}

SFrameTotals CFrameCounter::Totals() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_totals;
}

bool CFrameCounter::WaitForKeyFrame(int timeoutMs) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_keyArrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [this] { return m_totals.keyFrames > 0; });
}

}  // namespace qnvctl
