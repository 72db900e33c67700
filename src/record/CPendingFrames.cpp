#include "record/CPendingFrames.h"

namespace qnv {

using namespace protocol;

void CPendingFrames::PopOldest() {
  SEntry& e = At(0);
  if (Appendable(e)) {
    m_appendableBytes -= e.length;
    --m_appendableCount;
  }
  m_first = (m_first + 1) % kMaxPending;
  --m_count;
}

void CPendingFrames::SpillOldest() {
  SEntry& e = At(0);
  if (m_clearQueue) {
    m_queue.Clear();
    m_clearQueue = false;
  }
  // A body longer than the queue is refused there, as it would have been on arrival.
  if (m_queue.Append(e.body, e.length, e.header, true)) m_spilledBytes += uint64_t(e.length);
  PopOldest();
}

void CPendingFrames::Trim() {
  // The queue keeps the longest run of newest frames that fits its capacity
  // and frame count. An entry outside that run for the frames listed after it
  // stays outside however many follow; one the queue would refuse anyway
  // changes nothing.
  while (m_count > 0) {
    const SEntry& e = At(0);
    if (!Appendable(e)) {
      PopOldest();
      continue;
    }
    if (m_appendableBytes <= m_queue.GetCapacity() && m_appendableCount <= m_queue.MaxFrames())
      return;
    PopOldest();
    m_clearQueue = true;
    ++m_droppedFrames;
  }
}

void CPendingFrames::Add(const uint8_t* body, int32_t length, const SFrameIndex& header) {
  if (length < 0) return;
  if (m_count == kMaxPending) SpillOldest();
  m_entries[(m_first + m_count) % kMaxPending] = SEntry{body, length, header};
  ++m_count;
  if (Appendable(At(m_count - 1))) {
    m_appendableBytes += length;
    ++m_appendableCount;
  }
  Trim();
}

void CPendingFrames::Forget(const uint8_t* from, const uint8_t* to) {
  // Bodies are listed in the order they arrived, which is not always their
  // order in memory: spill through the newest one that lies in the range.
  size_t through = 0;
  for (size_t i = 0; i < m_count; ++i) {
    const SEntry& e = At(i);
    if (e.length > 0 && e.body < to && e.body + e.length > from) through = i + 1;
  }
  while (through-- > 0) SpillOldest();
}

void CPendingFrames::Flush() {
  // A drop always leaves a newer entry listed, so the spills below also
  // clear the queue when a drop asked for that.
  while (m_count > 0) SpillOldest();
}

}  // namespace qnv
