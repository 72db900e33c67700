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
  if (m_buffer || capacity < 0) return false;
  m_capacity = capacity;
  SetMaxFrames();
  return true;
}

void CStreamQueue::SetMaxFrames() {
  m_maxFrames = std::clamp(size_t(m_capacity) / kFrameCostBytes, kMinFrames, kMaxFrames);
}

bool CStreamQueue::Reconfigure(int32_t capacity, uint32_t spanMs) {
  if (capacity < 0) return false;
  Clear();
  m_buffer.reset();
  m_capacity = capacity;
  m_spanMs = spanMs;
  // The group tracker follows the stream, not the queue: the stream goes on,
  // so parameter sets dropped with the old contents still lead up to the
  // next picture, which then begins no stretch of its own.
  SetMaxFrames();
  m_lastRoundMs = 0;
  m_coldRing = false;
  return true;
}

size_t CStreamQueue::Wrap(size_t at) const {
  const size_t capacity = size_t(m_capacity);
  return capacity == 0 ? 0 : (at >= capacity ? at - capacity : at);
}

uint8_t* CStreamQueue::GetBuffer() const {
  Linearize();
  return m_buffer.get();
}

const CStreamQueue::SBuf& CStreamQueue::Slice(size_t i) const {
  Linearize();
  return m_slices[m_first + i];
}

const SFrameIndex& CStreamQueue::Frame(size_t i) const {
  Linearize();
  return m_frames[m_first + i];
}

void CStreamQueue::DropEvictedRecords() const {
  if (m_first == 0) return;
  m_slices.erase(m_slices.begin(), m_slices.begin() + ptrdiff_t(m_first));
  m_frames.erase(m_frames.begin(), m_frames.begin() + ptrdiff_t(m_first));
  if (!m_arrivals.empty()) {
    m_arrivals.erase(m_arrivals.begin(), m_arrivals.begin() + ptrdiff_t(m_first));
    m_starts.erase(m_starts.begin(), m_starts.begin() + ptrdiff_t(m_first));
  }
  if (m_secondGroup != 0) m_secondGroup -= m_first;
  m_first = 0;
}

void CStreamQueue::EvictOldest() {
  m_total -= m_slices[m_first].length;
  m_head = Wrap(m_head + size_t(m_slices[m_first].length));
  ++m_first;
  m_moved = true;
}

void CStreamQueue::FindSecondGroup() {
  m_secondGroup = 0;
  for (size_t i = m_first + 1; i < m_frames.size(); ++i) {
    if (BeginsGroup(i)) {
      m_secondGroup = i;
      return;
    }
  }
}

void CStreamQueue::DropNewestGroup() {
  size_t start = m_frames.size();
  while (start > m_first && !BeginsGroup(start - 1)) --start;
  if (start <= m_first + 1) {
    Clear();
    return;
  }
  --start;  // the newest group's first record
  while (m_frames.size() > start) {
    m_total -= m_slices.back().length;
    m_slices.pop_back();
    m_frames.pop_back();
    m_arrivals.pop_back();
    m_starts.pop_back();
  }
  if (m_secondGroup >= start) m_secondGroup = 0;
}

bool CStreamQueue::EvictOldestGroup() {
  if (m_secondGroup == 0) return false;
  while (m_first < m_secondGroup) EvictOldest();
  // Each record is looked at once here as the search moves on.
  FindSecondGroup();
  return true;
}

void CStreamQueue::Linearize() const {
  DropEvictedRecords();
  if (!m_moved) return;
  uint8_t* buffer = m_buffer.get();
  const size_t total = size_t(m_total);
  if (m_head == 0) {
    // Already one run from the start; only the numbers need renewing.
  } else if (m_head + total <= size_t(m_capacity)) {
    std::memmove(buffer, buffer + m_head, total);
  } else {
    // The run wraps: turning the whole buffer left by m_head puts its first
    // part at the start and the wrapped rest right behind it.
    std::rotate(buffer, buffer + m_head, buffer + m_capacity);
  }
  m_head = 0;
  m_moved = false;
  uint32_t offset = 0;
  for (size_t i = 0; i < m_slices.size(); ++i) {
    m_slices[i].start = buffer + offset;
    m_frames[i].SetOffset(offset);
    offset += uint32_t(m_slices[i].length);
  }
}

CStreamQueue::SHeld CStreamQueue::Held(size_t i) const {
  const SBuf& slice = m_slices[m_first + i];
  const size_t at = size_t(slice.start - m_buffer.get());
  const size_t length = size_t(slice.length);
  SHeld held{&m_frames[m_first + i], SBodyView{slice.start, length}, slice.sequence};
  // An empty body may sit at the very end; a body that wraps goes on at the start.
  if (at + length > size_t(m_capacity)) {
    held.body.firstLength = size_t(m_capacity) - at;
    held.body.second = m_buffer.get();
    held.body.secondLength = length - held.body.firstLength;
  }
  return held;
}

bool CStreamQueue::Append(const uint8_t* data, int32_t length, SFrameIndex header, bool newFrame,
                          uint64_t nowMs, uint32_t sequence) {
  if (length < 0 || (data == nullptr && length > 0)) return false;
  const bool timed = m_spanMs != 0;
  bool beginsGroup = false;
  if (timed) {
    newFrame = true;
    beginsGroup = m_groupStart.Next(header, data, size_t(length));
    // The rest of a group that could not be held whole is passed over, and
    // nothing is held before a group begins.
    if (m_skipping && !beginsGroup) return false;
    m_skipping = false;
    if (Count() == 0 && !beginsGroup) return false;
    if (m_capacity < length) {
      if (!beginsGroup) DropNewestGroup();
      m_skipping = true;
      return false;
    }
    // Make room by whole groups. When only the newest group is held and it
    // cannot grow, it goes, and with it the rest of that group.
    while (Count() > 0 && (int64_t(m_total) + length > m_capacity || Count() >= m_maxFrames)) {
      if (EvictOldestGroup()) continue;
      Clear();
      if (!beginsGroup) {
        m_skipping = true;
        return false;
      }
    }
  }
  if (m_capacity < length) return false;
  if (!m_buffer) {
    m_buffer = std::make_unique_for_overwrite<uint8_t[]>(size_t(m_capacity));
    // Filled once and emptied, so the pages of the reserve are touched now
    // rather than one by one as frames arrive (a page fault every few seconds
    // per channel).
    m_slices.resize(kReservedFrames);
    m_slices.clear();
    m_frames.resize(kReservedFrames);
    m_frames.clear();
    if (timed) {
      m_arrivals.resize(kReservedFrames);
      m_arrivals.clear();
      m_starts.resize(kReservedFrames);
      m_starts.clear();
    }
  }

  // Evict whole frames, oldest first, until the body (and its record) fits.
  // Only the start moves; the bytes and records of the frames that stay do not.
  while (Count() > 0 &&
         (int64_t(m_total) + length > m_capacity || (newFrame && Count() >= m_maxFrames))) {
    EvictOldest();
  }
  // Nothing held: start over at the start of the buffer, the one-run layout.
  if (Count() == 0) Clear();
  // Decided after eviction: a continuation whose frame was evicted starts a new one.
  const bool adds = newFrame || Count() == 0;

  // The body goes behind the newest one, wrapping at the end of the buffer. An
  // empty body may sit right at the end (position capacity), where the
  // one-run layout has it when the queue is full.
  const size_t capacity = size_t(m_capacity);
  size_t at = m_head + size_t(m_total);
  if (at > capacity || (at == capacity && length > 0)) at -= capacity;
  if (length > 0) {
    const size_t first = std::min(size_t(length), capacity - at);
    if (first < size_t(length)) {
      // The ring comes round: judge from its pace whether its lines are cold.
      const uint64_t now = platform::MonotonicMs();
      m_coldRing = m_lastRoundMs != 0 && now - m_lastRoundMs > kColdRoundMs;
      m_lastRoundMs = now;
    }
    void (*copy)(uint8_t*, const uint8_t*, size_t) =
        m_coldRing ? &platform::StreamCopy : &CachedCopy;
    copy(m_buffer.get() + at, data, first);
    if (first < size_t(length)) copy(m_buffer.get(), data + first, size_t(length) - first);
  }
  m_total += length;
  if (adds) {
    // Evicted records make room before the reserve grows, once they are at
    // least half of it: a move of the held records per that many appends.
    if (m_frames.size() == m_frames.capacity() && m_first >= m_frames.size() / 2)
      DropEvictedRecords();
    m_slices.push_back(SBuf{m_buffer.get() + at, length, sequence});
    header.SetOffset(uint32_t(at));
    m_frames.push_back(header);
    if (timed) {
      m_arrivals.push_back(nowMs);
      m_starts.push_back(beginsGroup ? 1 : 0);
      if (beginsGroup && m_secondGroup == 0 && Count() > 1) m_secondGroup = m_frames.size() - 1;
      // Older groups go once the newer ones alone hold the span.
      while (m_secondGroup != 0 && nowMs - m_arrivals[m_secondGroup] >= m_spanMs)
        EvictOldestGroup();
    }
  } else {
    m_slices.back().length += length;
  }
  return true;
}

void CStreamQueue::Clear() {
  m_total = 0;
  m_first = 0;
  m_slices.clear();
  m_frames.clear();
  m_arrivals.clear();
  m_starts.clear();
  m_secondGroup = 0;
  m_skipping = false;
  m_head = 0;
  m_moved = false;
}

bool CStreamQueue::WriteIndex(FILE* index) const {
  if (index == nullptr) return false;
  Linearize();
  for (const SFrameIndex& frame : m_frames) {
    if (platform::FileWrite(index, frame.bytes, sizeof frame.bytes) != sizeof frame.bytes) {
      return false;
    }
  }
  return true;
}

bool CStreamQueue::WriteTo(FILE* data, FILE* index) const {
  if (data == nullptr || index == nullptr) return false;
  if (m_total == 0) return true;
  Linearize();
  if (platform::FileWrite(data, m_buffer.get(), size_t(m_total)) != size_t(m_total)) return false;
  return WriteIndex(index);
}

}  // namespace qnv
