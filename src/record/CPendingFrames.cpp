#include "record/CPendingFrames.h"

namespace qnv {

using namespace protocol;

void CPendingFrames::PopOldest() {
  SEntry& e = At(0);
  if (Appendable(e)) {
    appendableBytes_ -= e.length;
    --appendableCount_;
  }
  first_ = (first_ + 1) % kMaxPending;
  --count_;
}

void CPendingFrames::SpillOldest() {
  SEntry& e = At(0);
  if (clearQueue_) {
    queue_.Clear();
    clearQueue_ = false;
  }
  // A body longer than the queue is refused there, as it would have been on arrival.
  if (queue_.Append(e.body, e.length, e.header, true)) spilledBytes_ += uint64_t(e.length);
  PopOldest();
}

void CPendingFrames::Trim() {
  // The queue keeps the longest run of newest frames that fits its capacity
  // and frame count. An entry outside that run for the frames listed after it
  // stays outside however many follow; one the queue would refuse anyway
  // changes nothing.
  while (count_ > 0) {
    const SEntry& e = At(0);
    if (!Appendable(e)) {
      PopOldest();
      continue;
    }
    if (appendableBytes_ <= queue_.GetCapacity() && appendableCount_ <= queue_.MaxFrames()) return;
    PopOldest();
    clearQueue_ = true;
    ++droppedFrames_;
  }
}

void CPendingFrames::Add(const uint8_t* body, int32_t length, const SFrameIndex& header) {
  if (length < 0) return;
  if (count_ == kMaxPending) SpillOldest();
  entries_[(first_ + count_) % kMaxPending] = SEntry{body, length, header};
  ++count_;
  if (Appendable(At(count_ - 1))) {
    appendableBytes_ += length;
    ++appendableCount_;
  }
  Trim();
}

void CPendingFrames::Forget(const uint8_t* from, const uint8_t* to) {
  // Bodies are listed in the order they arrived, which is not always their
  // order in memory: spill through the newest one that lies in the range.
  size_t through = 0;
  for (size_t i = 0; i < count_; ++i) {
    const SEntry& e = At(i);
    if (e.length > 0 && e.body < to && e.body + e.length > from) through = i + 1;
  }
  while (through-- > 0) SpillOldest();
}

void CPendingFrames::Flush() {
  // A drop always leaves a newer entry listed, so the spills below also
  // clear the queue when a drop asked for that.
  while (count_ > 0) SpillOldest();
}

}  // namespace qnv
