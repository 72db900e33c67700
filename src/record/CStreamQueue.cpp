#include "record/CStreamQueue.h"

#include <algorithm>
#include <cstring>

#include "platform/File.h"

namespace qnv {

namespace {
// Records reserved at the first Append: enough for a few hundred frames, so
// steady-state appends never allocate. Eviction erases from the front, which
// keeps the reserved storage.
constexpr size_t kReservedFrames = 512;
}  // namespace

CStreamQueue::CStreamQueue() = default;

bool CStreamQueue::SetCapacity(int32_t capacity) {
  if (buffer_ || capacity < 0) return false;
  capacity_ = capacity;
  return true;
}

bool CStreamQueue::Append(const uint8_t* data, int32_t length, SFrameIndex header, bool newFrame) {
  if (length < 0 || (data == nullptr && length > 0)) return false;
  if (capacity_ < length) return false;
  if (!buffer_) {
    buffer_ = std::make_unique_for_overwrite<uint8_t[]>(size_t(capacity_));
    slices_.reserve(kReservedFrames);
    frames_.reserve(kReservedFrames);
  }

  // Evict whole frames, oldest first, until the body (and its record) fits.
  size_t evict = 0;
  int32_t total = total_;
  while (evict < slices_.size() && (int64_t(total) + length > capacity_ ||
                                    (newFrame && slices_.size() - evict >= kMaxFrames))) {
    total -= slices_[evict].length;
    ++evict;
  }
  if (evict > 0) {
    slices_.erase(slices_.begin(), slices_.begin() + ptrdiff_t(evict));
    frames_.erase(frames_.begin(), frames_.begin() + ptrdiff_t(evict));
    total_ = total;
  }
  const int32_t pos = total_;
  // Decided after eviction: a continuation whose frame was evicted starts a new one.
  const bool adds = newFrame || slices_.empty();

  // Compact: one move brings the held run back to the start of the buffer.
  if (!slices_.empty() && slices_.front().start != buffer_.get()) {
    const ptrdiff_t shift = slices_.front().start - buffer_.get();
    std::memmove(buffer_.get(), slices_.front().start, size_t(pos));
    for (SBuf& slice : slices_) slice.start -= shift;
  }
  // Rebase the records in step with the slices.
  if (!frames_.empty() && frames_.front().Offset() > 0) {
    const uint32_t first = frames_.front().Offset();
    for (SFrameIndex& frame : frames_) frame.SetOffset(frame.Offset() - first);
  }

  if (length > 0) std::memcpy(buffer_.get() + pos, data, size_t(length));
  total_ = pos + length;
  if (adds) {
    slices_.push_back(SBuf{buffer_.get() + pos, length});
    header.SetOffset(uint32_t(pos));
    frames_.push_back(header);
  } else {
    slices_.back().length += length;
  }
  return true;
}

bool CStreamQueue::WriteIndex(FILE* index) const {
  if (index == nullptr) return false;
  for (const SFrameIndex& frame : frames_) {
    if (platform::FileWrite(index, frame.bytes, sizeof frame.bytes) != sizeof frame.bytes) {
      return false;
    }
  }
  return true;
}

bool CStreamQueue::WriteTo(FILE* data, FILE* index) const {
  if (data == nullptr || index == nullptr) return false;
  if (total_ == 0) return true;
  if (platform::FileWrite(data, buffer_.get(), size_t(total_)) != size_t(total_)) return false;
  return WriteIndex(index);
}

}  // namespace qnv
