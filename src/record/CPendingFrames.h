// CPendingFrames: the newest frames of a live channel that belong in its
// pre-record queue but have not been copied there. A frame's body stays where
// it arrived (the channel's reassembly buffer) and is listed here; it is
// copied into the queue ("spilled") only when its bytes are about to be
// overwritten while it may still be part of the stretch, or when the queue is
// read (a recording opens). A frame that newer ones have pushed out of the
// stretch is dropped unseen, so a reassembly buffer that holds more than the
// stretch keeps a steady stream from ever being copied.
//
// The queue read after Flush is exactly what appending every frame in order
// would have made of it: a frame is dropped only when the newer frames alone
// fill the queue, and the queue's older contents go with it.
//
// Owns a fixed list of kMaxPending entries; refers to, but does not own, the
// bodies and the queue. No lock of its own: the channel's save mutex
// serialises every call but MayHold. A listed body must not change until it
// is spilled, dropped or forgotten. Entries are added by one thread only (the
// channel's receive thread); any thread may remove them.
#ifndef QNV_RECORD_CPENDINGFRAMES_H
#define QNV_RECORD_CPENDINGFRAMES_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "protocol/FrameHeader.h"
#include "record/CStreamQueue.h"

namespace qnv {

class CPendingFrames {
 public:
  // A reassembly buffer holds a few dozen camera frames; more than this are
  // spilled, oldest first, to make room.
  static constexpr size_t kMaxPending = 256;

  explicit CPendingFrames(CStreamQueue& queue) : m_queue(queue) {}
  CPendingFrames(const CPendingFrames&) = delete;
  CPendingFrames& operator=(const CPendingFrames&) = delete;

  // Lists a frame's body (as CStreamQueue::Append with newFrame true would
  // take it, with its sequence number).
  void Add(const uint8_t* body, int32_t length, const protocol::SFrameIndex& header,
           uint32_t sequence = 0);
  // The bytes [from, to) are about to be overwritten or freed: every listed
  // body that lies there is spilled first (with every older one, keeping the
  // order).
  void Forget(const uint8_t* from, const uint8_t* to);
  // Spills everything listed, so the queue holds the whole stretch.
  void Flush();
  // False only when no listed body lies in [from, to), so Forget would do
  // nothing. Needs no lock, but only the thread that adds entries may call
  // it: other threads only ever remove entries, so however late it sees
  // their removals it can only list more than there are, never less.
  bool MayHold(const uint8_t* from, const uint8_t* to) const;

  size_t Count() const { return size_t(m_end - m_begin.load()); }
  uint64_t SpilledBytes() const { return m_spilledBytes; }  // copied into the queue so far
  uint64_t DroppedFrames() const { return m_droppedFrames; }

 private:
  struct SEntry {
    const uint8_t* body;
    int32_t length;
    protocol::SFrameIndex header;
    uint32_t sequence;
  };

  SEntry& At(uint64_t i) { return m_entries[(m_begin.load() + i) % kMaxPending]; }
  static bool Overlaps(const SEntry& e, const uint8_t* from, const uint8_t* to) {
    return e.length > 0 && e.body < to && e.body + e.length > from;
  }
  bool Appendable(const SEntry& e) const { return e.length <= m_queue.GetCapacity(); }
  void PopOldest();
  void SpillOldest();
  // Drops the oldest entries that can no longer be part of the stretch.
  void Trim();

  CStreamQueue& m_queue;
  SEntry m_entries[kMaxPending];
  // Entries ever removed and ever added: the listed ones are [m_begin, m_end),
  // at those positions modulo kMaxPending. m_end changes only in Add.
  std::atomic<uint64_t> m_begin{0};
  uint64_t m_end = 0;
  // Over the listed entries the queue would take (not longer than its capacity).
  int64_t m_appendableBytes = 0;
  size_t m_appendableCount = 0;
  // A listed frame was dropped as pushed out of the stretch: what the queue
  // holds is older still, so it is cleared before the next spill.
  bool m_clearQueue = false;
  uint64_t m_spilledBytes = 0;
  uint64_t m_droppedFrames = 0;
};

}  // namespace qnv

#endif  // QNV_RECORD_CPENDINGFRAMES_H
