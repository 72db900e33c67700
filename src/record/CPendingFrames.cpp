#include "record/CPendingFrames.h"

namespace qnv {

using namespace protocol;

void CPendingFrames::PopOldest() {
  SEntry& e = At(0);
  if (Appendable(e)) {
    m_appendableBytes -= e.length;
    --m_appendableCount;
  }
  m_begin.store(m_begin.load() + 1);
}

void CPendingFrames::SpillOldest() {
  SEntry& e = At(0);
  if (m_clearQueue) {
    m_queue.Clear();
    m_clearQueue = false;
  }
  // A body longer than the queue is refused there, as it would have been on arrival.
  if (m_queue.Append(e.body, e.length, e.header, true, 0, e.sequence))
    m_spilledBytes += uint64_t(e.length);
  PopOldest();
}

void CPendingFrames::Trim() {
  // The queue keeps the longest run of newest frames that fits its capacity
  // and frame count. An entry outside that run for the frames listed after it
  // stays outside however many follow; one the queue would refuse anyway
  // changes nothing.
  while (Count() > 0) {
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

void CPendingFrames::Add(const uint8_t* body, int32_t length, const SFrameIndex& header,
                         uint32_t sequence) {
  if (length < 0) return;
  if (Count() == kMaxPending) SpillOldest();
  SEntry& added = m_entries[m_end % kMaxPending];
  added = SEntry{body, length, header, sequence};
  ++m_end;
  if (Appendable(added)) {
    m_appendableBytes += length;
    ++m_appendableCount;
  }
  Trim();
}

void CPendingFrames::Forget(const uint8_t* from, const uint8_t* to) {
  // Bodies are listed in the order they arrived, which is not always their
  // order in memory: spill through the newest one that lies in the range.
  size_t through = 0;
  for (size_t i = 0; i < Count(); ++i) {
    if (Overlaps(At(i), from, to)) through = i + 1;
  }
  while (through-- > 0) SpillOldest();
}

bool CPendingFrames::MayHold(const uint8_t* from, const uint8_t* to) const {
  // Every slot read here was written by this thread; a removal elsewhere
  // only moves m_begin on, so at worst this looks at entries already gone.
  for (uint64_t i = m_begin.load(); i < m_end; ++i) {
    if (Overlaps(m_entries[i % kMaxPending], from, to)) return true;
  }
  return false;
}

void CPendingFrames::Flush() {
  // A drop always leaves a newer entry listed, so the spills below also
  // clear the queue when a drop asked for that.
  while (Count() > 0) SpillOldest();
}

}  // namespace qnv
