// FrameQueue: the bounded queue between a windowed port's input calls and
// its decoding thread. When the decoder falls behind, frames are dropped
// whole up to the next key frame instead of holding up the stream; parameter
// sets are kept because the pictures after them cannot be decoded without.
// Frames ahead of the stream's first key frame are dropped as well.
// Not synchronised: the owning port guards it with its own mutex.
#ifndef QNVPLAYER_FRAMEQUEUE_H
#define QNVPLAYER_FRAMEQUEUE_H

#include <cstddef>
#include <cstdint>
#include <deque>

#include "CodedFrame.h"

namespace qnv::player {

class FrameQueue {
 public:
  struct Limits {
    size_t maxFrames;
    size_t maxBytes;
  };

  explicit FrameQueue(Limits limits) : m_limits(limits) {}
  FrameQueue(const FrameQueue&) = delete;
  FrameQueue& operator=(const FrameQueue&) = delete;

  // Offers one frame; false when it was dropped.
  bool Push(CodedFramePtr frame);
  // The oldest frame, or null when empty.
  CodedFramePtr Pop();

  bool Empty() const { return m_frames.empty(); }
  size_t Size() const { return m_frames.size(); }
  size_t Bytes() const { return m_bytes; }
  // Frames thrown away so far, incoming and queued ones alike.
  uint64_t Dropped() const { return m_dropped; }
  // True from an overflow until the next key frame.
  bool Dropping() const { return m_dropping; }

 private:
  static bool ParameterSetsOnly(const CodedFrame& f) {
    return f.nal.ParameterSets() && !f.nal.Picture();
  }
  bool Fits(const CodedFrame& f) const;
  // Parameter sets may exceed the limits, but only up to twice them.
  bool FitsHard(const CodedFrame& f) const;
  void Enqueue(CodedFramePtr frame);
  // Drops the queued pictures, keeping the newest parameter sets (from the
  // last SPS on), so decoding resumes cleanly at the next key frame.
  void DiscardBacklog();

  Limits m_limits;
  std::deque<CodedFramePtr> m_frames;
  size_t m_bytes = 0;
  bool m_synced = false;  // a key frame has arrived
  bool m_dropping = false;
  uint64_t m_dropped = 0;
};

}  // namespace qnv::player

#endif  // QNVPLAYER_FRAMEQUEUE_H
