// CStreamQueue: the pre-record stretch of one live channel. It owns one byte
// buffer of fixed capacity, allocated at the first Append, holding the bodies
// of the most recent whole frames (extension block + payload), oldest first,
// and one frame record per held frame. Seen through its interface the held
// bytes always lie back to back from the start of the buffer and each
// record's offset field is its body's offset from there, so a recording
// writes the held bytes as the head of its data file and the records as the
// head of its index, and the offsets are already data-file offsets.
//
// Inside, the buffer is used as a ring: Append copies each body behind the
// newest one, wrapping at the end, and eviction only advances the start, so a
// steady stream of frames costs one copy per byte and never a move of the
// held bytes. The one-run layout is restored only when it is looked at
// (GetBuffer, Slice, Frame, WriteIndex, WriteTo): that is why those const
// calls may move the bytes and renumber the records. A ring that comes round
// slowly (a live camera's) is filled with streaming stores past the cache.
//
// Two ways of keeping the stretch. By default it is simply the newest frames
// whose bodies fit the capacity. With a time span set (Reconfigure) it is kept
// in whole groups of pictures, each beginning with the frame of its sequence
// parameter set (or its IDR picture, when no parameter sets come before it):
// it always begins with one, holds at least the span of arrival time when the
// bytes allow, and the oldest whole group goes first when they do not.
//
// No lock of its own: the channel's save mutex serialises every call, the
// const ones included.
#ifndef QNV_RECORD_CSTREAMQUEUE_H
#define QNV_RECORD_CSTREAMQUEUE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "protocol/FrameHeader.h"
#include "record/FrameBody.h"
#include "record/GroupStart.h"

namespace qnv {

class CStreamQueue {
 public:
  static constexpr int32_t kDefaultCapacity = 32768;
  // Frames held at most: one per kFrameCostBytes of capacity, within these
  // bounds. Every frame whose body has at least that many bytes is kept while
  // the bytes fit; bodies can be empty, and the count keeps their records
  // bounded.
  static constexpr size_t kFrameCostBytes = 8;
  static constexpr size_t kMinFrames = 4096;
  static constexpr size_t kMaxFrames = 65536;

  // One held frame body inside the buffer, with the number its owner gave
  // the frame (see Append).
  struct SBuf {
    uint8_t* start;
    int32_t length;
    uint32_t sequence = 0;
  };

  CStreamQueue();
  CStreamQueue(const CStreamQueue&) = delete;
  CStreamQueue& operator=(const CStreamQueue&) = delete;

  // Only before the buffer exists and only for capacity >= 0; false otherwise,
  // and nothing changes.
  bool SetCapacity(int32_t capacity);
  int32_t GetCapacity() const { return m_capacity; }
  size_t MaxFrames() const { return m_maxFrames; }

  // Drops everything held and the buffer, then keeps the stretch by time
  // (spanMs > 0, whole groups of pictures) or as the newest frames that fit
  // (spanMs 0) in a buffer of `capacity` bytes, allocated at the next Append.
  // False (nothing changes) for a negative capacity.
  bool Reconfigure(int32_t capacity, uint32_t spanMs);
  uint32_t TimeSpanMs() const { return m_spanMs; }
  uint8_t* GetBuffer() const;                   // null before the first Append
  int32_t GetTotal() const { return m_total; }  // body bytes held, one run from GetBuffer()

  // Adds a frame body with a copy of its header; its offset field is rewritten.
  // Evicts the oldest whole frames until it fits. newFrame false with a frame
  // held extends the last frame's body instead. False (and nothing changes)
  // when the body is longer than the capacity or the arguments are bad.
  // With a time span: `nowMs` is the frame's arrival time on a monotonic
  // clock (the span is measured in it). False also when the frame cannot
  // begin or continue a whole group (then nothing is held until the next
  // group begins). `sequence` is kept with the frame for its owner, who
  // numbers the frames it delivers so that it can tell which ones are held
  // and whether they follow each other.
  bool Append(const uint8_t* data, int32_t length, protocol::SFrameIndex header, bool newFrame,
              uint64_t nowMs = 0, uint32_t sequence = 0);

  // Drops every held frame; the buffer stays.
  void Clear();

  // Writes every frame record, oldest first, 40 raw bytes each. False for a
  // null file or a short write (the index is then unusable).
  bool WriteIndex(FILE* index) const;
  // The read-out for a new recording: the held bytes in one write to the data
  // file, then the records to the index file. Nothing is written when the
  // queue is empty. False for a null file or a short write.
  bool WriteTo(FILE* data, FILE* index) const;

  size_t Count() const { return m_frames.size() - m_first; }
  const protocol::SFrameIndex& Frame(size_t i) const;  // i < Count()
  const SBuf& Slice(size_t i) const;                   // i < Count()

  // Held frame i (i < Count()) where it lies now, without bringing the held
  // bytes back to one run as Frame and Slice do: a capture reads a few
  // frames, and a timed stretch may be megabytes. The header's offset field
  // is not meaningful here.
  struct SHeld {
    const protocol::SFrameIndex* header;
    SBodyView body;
    uint32_t sequence;
  };
  SHeld Held(size_t i) const;

 private:
  // Buffer position of the logical offset `at` from the oldest held byte.
  size_t Wrap(size_t at) const;
  // Brings the held bytes back to one run from the start of the buffer and
  // renumbers slices and records to match; drops the evicted records.
  void Linearize() const;
  void DropEvictedRecords() const;
  // Evicts the oldest held frame (only the start moves).
  void EvictOldest();
  void SetMaxFrames();
  // Time span only: the frame at record position i (of m_frames) begins a group.
  bool BeginsGroup(size_t i) const { return m_starts[i] != 0; }
  // Time span only: evicts the oldest whole group; false (nothing evicted)
  // when no second group is held.
  bool EvictOldestGroup();
  void FindSecondGroup();
  // Time span only: removes the newest group's records (it cannot be held whole).
  void DropNewestGroup();

  std::unique_ptr<uint8_t[]> m_buffer;
  int32_t m_capacity = kDefaultCapacity;
  size_t m_maxFrames = kMinFrames;
  int32_t m_total = 0;
  uint32_t m_spanMs = 0;  // 0: no time span
  // Time span only: arrival time of each record in m_frames (same positions),
  // and the position in m_frames of the second group's first record (0: none,
  // as the first held record can never be it).
  mutable std::vector<uint64_t> m_arrivals;
  mutable std::vector<uint8_t> m_starts;  // 1 where a group begins
  CGroupStart m_groupStart;
  mutable size_t m_secondGroup = 0;
  bool m_skipping = false;  // passing over the rest of a group that was dropped
  // Buffer position of the oldest held byte. Slice starts point at the
  // bodies' buffer positions (a body may wrap past the end) and the records'
  // offset fields hold those positions; they are the one-run layout's numbers
  // until a frame is evicted (m_moved), and again after Linearize.
  mutable size_t m_head = 0;
  mutable bool m_moved = false;
  // Entries before m_first belong to evicted frames; they are dropped lazily,
  // so eviction does not move the records of the frames that stay.
  mutable size_t m_first = 0;
  mutable std::vector<SBuf> m_slices;
  mutable std::vector<protocol::SFrameIndex> m_frames;
  // When the ring last came round, and whether it came round so slowly that
  // its lines are out of the cache: then bodies are copied in with streaming
  // stores that bypass it.
  uint64_t m_lastRoundMs = 0;  // platform::MonotonicMs, 0 before the first round
  bool m_coldRing = false;
};

}  // namespace qnv

#endif  // QNV_RECORD_CSTREAMQUEUE_H
