#include "record/CStreamQueue.h"

#include <algorithm>
#include <cstring>

#include "platform/Clock.h"
#include "platform/File.h"
#include "platform/StreamCopy.h"

namespace qnv {

using namespace protocol;

namespace {
// Records reserved at the first Append: enough for a few hundred frames, so
// steady-state appends never allocate. Evicted records are dropped before the
// reserve would have to grow.
constexpr size_t kReservedFrames = 512;

// A ring that takes longer than this to come round has left the cache by the
// time it is written again (a camera channel takes about 0.3 s); one that comes
// round faster (a burst, a test) still has its lines in the cache.
constexpr uint64_t kColdRoundMs = 5;

void CachedCopy(uint8_t* dst, const uint8_t* src, size_t n) { std::memcpy(dst, src, n); }
}  // namespace

CStreamQueue::CStreamQueue() = default;

bool CStreamQueue::SetCapacity(int32_t capacity) {
  if (buffer_ || capacity < 0) return false;
  capacity_ = capacity;
  SetMaxFrames();
  return true;
}

void CStreamQueue::SetMaxFrames() {
  maxFrames_ = std::clamp(size_t(capacity_) / kFrameCostBytes, kMinFrames, kMaxFrames);
}

bool CStreamQueue::Reconfigure(int32_t capacity, uint32_t spanMs) {
  if (capacity < 0) return false;
  Clear();
  buffer_.reset();
  capacity_ = capacity;
  spanMs_ = spanMs;
  groupStart_.Reset();
  SetMaxFrames();
  lastRoundMs_ = 0;
  coldRing_ = false;
  return true;
}

size_t CStreamQueue::Wrap(size_t at) const {
  const size_t capacity = size_t(capacity_);
  return capacity == 0 ? 0 : (at >= capacity ? at - capacity : at);
}

uint8_t* CStreamQueue::GetBuffer() const {
  Linearize();
  return buffer_.get();
}

const CStreamQueue::SBuf& CStreamQueue::Slice(size_t i) const {
  Linearize();
  return slices_[first_ + i];
}

const SFrameIndex& CStreamQueue::Frame(size_t i) const {
  Linearize();
  return frames_[first_ + i];
}

void CStreamQueue::DropEvictedRecords() const {
  if (first_ == 0) return;
  slices_.erase(slices_.begin(), slices_.begin() + ptrdiff_t(first_));
  frames_.erase(frames_.begin(), frames_.begin() + ptrdiff_t(first_));
  if (!arrivals_.empty()) {
    arrivals_.erase(arrivals_.begin(), arrivals_.begin() + ptrdiff_t(first_));
    starts_.erase(starts_.begin(), starts_.begin() + ptrdiff_t(first_));
  }
  if (secondGroup_ != 0) secondGroup_ -= first_;
  first_ = 0;
}

void CStreamQueue::EvictOldest() {
  total_ -= slices_[first_].length;
  head_ = Wrap(head_ + size_t(slices_[first_].length));
  ++first_;
  moved_ = true;
}

void CStreamQueue::FindSecondGroup() {
  secondGroup_ = 0;
  for (size_t i = first_ + 1; i < frames_.size(); ++i) {
    if (BeginsGroup(i)) {
      secondGroup_ = i;
      return;
    }
  }
}

void CStreamQueue::DropNewestGroup() {
  size_t start = frames_.size();
  while (start > first_ && !BeginsGroup(start - 1)) --start;
  if (start <= first_ + 1) {
    Clear();
    return;
  }
  --start;  // the newest group's first record
  while (frames_.size() > start) {
    total_ -= slices_.back().length;
    slices_.pop_back();
    frames_.pop_back();
    arrivals_.pop_back();
    starts_.pop_back();
  }
  if (secondGroup_ >= start) secondGroup_ = 0;
}

bool CStreamQueue::EvictOldestGroup() {
  if (secondGroup_ == 0) return false;
  while (first_ < secondGroup_) EvictOldest();
  // Each record is looked at once here as the search moves on.
  FindSecondGroup();
  return true;
}

void CStreamQueue::Linearize() const {
  DropEvictedRecords();
  if (!moved_) return;
  uint8_t* buffer = buffer_.get();
  const size_t total = size_t(total_);
  if (head_ == 0) {
    // Already one run from the start; only the numbers need renewing.
  } else if (head_ + total <= size_t(capacity_)) {
    std::memmove(buffer, buffer + head_, total);
  } else {
    // The run wraps: turning the whole buffer left by head_ puts its first
    // part at the start and the wrapped rest right behind it.
    std::rotate(buffer, buffer + head_, buffer + capacity_);
  }
  head_ = 0;
  moved_ = false;
  uint32_t offset = 0;
  for (size_t i = 0; i < slices_.size(); ++i) {
    slices_[i].start = buffer + offset;
    frames_[i].SetOffset(offset);
    offset += uint32_t(slices_[i].length);
  }
}

bool CStreamQueue::Append(const uint8_t* data, int32_t length, SFrameIndex header, bool newFrame) {
  return Append(data, length, header, newFrame, 0);
}

bool CStreamQueue::Append(const uint8_t* data, int32_t length, SFrameIndex header, bool newFrame,
                          uint64_t nowMs) {
  if (length < 0 || (data == nullptr && length > 0)) return false;
  const bool timed = spanMs_ != 0;
  bool beginsGroup = false;
  if (timed) {
    newFrame = true;
    beginsGroup = groupStart_.Next(header, data, size_t(length));
    // The rest of a group that could not be held whole is passed over, and
    // nothing is held before a group begins.
    if (skipping_ && !beginsGroup) return false;
    skipping_ = false;
    if (Count() == 0 && !beginsGroup) return false;
    if (capacity_ < length) {
      if (!beginsGroup) DropNewestGroup();
      skipping_ = true;
      return false;
    }
    // Make room by whole groups. When only the newest group is held and it
    // cannot grow, it goes, and with it the rest of that group.
    while (Count() > 0 && (int64_t(total_) + length > capacity_ || Count() >= maxFrames_)) {
      if (EvictOldestGroup()) continue;
      Clear();
      if (!beginsGroup) {
        skipping_ = true;
        return false;
      }
    }
  }
  if (capacity_ < length) return false;
  if (!buffer_) {
    buffer_ = std::make_unique_for_overwrite<uint8_t[]>(size_t(capacity_));
    // Filled once and emptied, so the pages of the reserve are touched now
    // rather than one by one as frames arrive (a page fault every few seconds
    // per channel).
    slices_.resize(kReservedFrames);
    slices_.clear();
    frames_.resize(kReservedFrames);
    frames_.clear();
    if (timed) {
      arrivals_.resize(kReservedFrames);
      arrivals_.clear();
      starts_.resize(kReservedFrames);
      starts_.clear();
    }
  }

  // Evict whole frames, oldest first, until the body (and its record) fits.
  // Only the start moves; the bytes and records of the frames that stay do not.
  while (Count() > 0 &&
         (int64_t(total_) + length > capacity_ || (newFrame && Count() >= maxFrames_))) {
    EvictOldest();
  }
  // Nothing held: start over at the start of the buffer, the one-run layout.
  if (Count() == 0) Clear();
  // Decided after eviction: a continuation whose frame was evicted starts a new one.
  const bool adds = newFrame || Count() == 0;

  // The body goes behind the newest one, wrapping at the end of the buffer. An
  // empty body may sit right at the end (position capacity), where the
  // one-run layout has it when the queue is full.
  const size_t capacity = size_t(capacity_);
  size_t at = head_ + size_t(total_);
  if (at > capacity || (at == capacity && length > 0)) at -= capacity;
  if (length > 0) {
    const size_t first = std::min(size_t(length), capacity - at);
    if (first < size_t(length)) {
      // The ring comes round: judge from its pace whether its lines are cold.
      const uint64_t now = platform::MonotonicMs();
      coldRing_ = lastRoundMs_ != 0 && now - lastRoundMs_ > kColdRoundMs;
      lastRoundMs_ = now;
    }
    void (*copy)(uint8_t*, const uint8_t*, size_t) =
        coldRing_ ? &platform::StreamCopy : &CachedCopy;
    copy(buffer_.get() + at, data, first);
    if (first < size_t(length)) copy(buffer_.get(), data + first, size_t(length) - first);
  }
  total_ += length;
  if (adds) {
    // Evicted records make room before the reserve grows, once they are at
    // least half of it: a move of the held records per that many appends.
    if (frames_.size() == frames_.capacity() && first_ >= frames_.size() / 2) DropEvictedRecords();
    slices_.push_back(SBuf{buffer_.get() + at, length});
    header.SetOffset(uint32_t(at));
    frames_.push_back(header);
    if (timed) {
      arrivals_.push_back(nowMs);
      starts_.push_back(beginsGroup ? 1 : 0);
      if (beginsGroup && secondGroup_ == 0 && Count() > 1) secondGroup_ = frames_.size() - 1;
      // Older groups go once the newer ones alone hold the span.
      while (secondGroup_ != 0 && nowMs - arrivals_[secondGroup_] >= spanMs_) EvictOldestGroup();
    }
  } else {
    slices_.back().length += length;
  }
  return true;
}

void CStreamQueue::Clear() {
  total_ = 0;
  first_ = 0;
  slices_.clear();
  frames_.clear();
  arrivals_.clear();
  starts_.clear();
  secondGroup_ = 0;
  skipping_ = false;
  head_ = 0;
  moved_ = false;
}

bool CStreamQueue::WriteIndex(FILE* index) const {
  if (index == nullptr) return false;
  Linearize();
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
  Linearize();
  if (platform::FileWrite(data, buffer_.get(), size_t(total_)) != size_t(total_)) return false;
  return WriteIndex(index);
}

}  // namespace qnv
