// CFrameAssembler cuts a live channel's byte stream, received in chunks of any
// size, into whole frames (40-byte header, optional extension block, payload),
// marks each with its frame kind from the slice-type probe and hands it to a
// sink. It owns its reassembly buffer: 256 KiB at construction, grown once to
// fit when a larger frame first arrives (at most 16 MiB), never per frame.
// Bytes that are not a frame header are skipped up to the next place a header
// may begin. A header announcing more than 16 MiB (payload or extension
// length) is no frame: the search for the next header starts right behind it
// (behind its extension length when it has one), so one corrupted length
// never blinds the channel. A command message
// (valid length prefix, "QNVV" at bytes 8..11, not at 4..7: a device's reply
// on the stream connection) is passed over whole. Where bytes 4..7 hold the
// magic the bytes are always a frame header, whatever bytes 0..3 hold; only
// while searching through garbage can a valid-looking prefix 4 bytes before a
// header (a chance of about 1 in 65,536) make it taken for a command.
// Bytes come in one way: read straight into the area the assembler hands out
// (ReceiveArea, then Received), so frames are delivered where they arrived;
// Feed does the same for bytes that lie elsewhere, copying them in.
// One thread at a time (the channel's receive thread; open/teardown while that
// thread is stopped). The sink is called during Received or Feed only.
#ifndef QNV_LIVE_CFRAMEASSEMBLER_H
#define QNV_LIVE_CFRAMEASSEMBLER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "QNVNetSdk.h"

namespace qnv {

// Where whole frames go (a live channel). Frame is called once per whole
// frame, frameKind (byte 35) already set by the probe; frame points into the
// assembler's buffer and stays there until a later area overwrites it (see
// PlanArea). Return false to stop feeding at once (the channel was
// closed from inside a callback): the feeding call then returns false without
// touching the assembler or the chunk after the call.
class IFrameSink {
 public:
  virtual bool Frame(uint8_t* frame, uint32_t length) = 0;

 protected:
  ~IFrameSink() = default;
};

class CFrameAssembler {
 public:
  static constexpr uint32_t kInitialCapacity = 262144;
  // ReceiveArea moves an unfinished frame to the start of the buffer rather
  // than offer less than this behind it: reads stay large.
  static constexpr uint32_t kMinArea = 65536;

  CFrameAssembler();  // takes the initial 262,144 bytes
  CFrameAssembler(const CFrameAssembler&) = delete;
  CFrameAssembler& operator=(const CFrameAssembler&) = delete;

  // Consumes the whole chunk, as reads of it into receive areas would: every
  // byte is copied once into the buffer, and frames are delivered from there.
  // Returns as Received.
  bool Feed(const uint8_t* chunk, size_t length, IFrameSink* sink);

  // Before use, with nothing held: a buffer of at least `capacity` bytes, so
  // delivered frames stay where they are for longer. False if memory is short.
  bool Reserve(uint32_t capacity);
  // How the next read area is made, planned before anything changes so that
  // an owner keeping pointers to delivered frames can save what lies in
  // [overwriteFrom, overwriteTo): every byte the area, a move or a growth
  // overwrites or frees.
  struct SAreaPlan {
    enum class Step : uint8_t { kStay, kRestart, kMove, kGrow };
    Step step = Step::kStay;
    uint32_t most = 0;  // the area's largest size
    uint64_t need = 0;  // kMove, kGrow: the length of the unfinished frame
    const uint8_t* overwriteFrom = nullptr;
    const uint8_t* overwriteTo = nullptr;
  };
  // For a reader that reads straight into the assembler (the streaming
  // connection): where the next read goes is right behind the held bytes, at
  // most `most` bytes. Frames are then delivered where they arrived, and the
  // only bytes ever moved are those of an unfinished frame, to the start of
  // the buffer, when the space behind it runs short (below kMinArea) or cannot
  // hold the rest of it.
  SAreaPlan PlanArea(uint32_t most = UINT32_MAX) const;
  // Carries out the plan PlanArea just made (nothing fed in between) and
  // returns the area, with how many bytes fit there (at least one).
  uint8_t* TakeArea(const SAreaPlan& plan, uint32_t* capacity);
  // Both at once, for a reader that keeps no pointers to delivered frames.
  uint8_t* ReceiveArea(uint32_t* capacity, uint32_t most = UINT32_MAX) {
    return TakeArea(PlanArea(most), capacity);
  }
  // A read put `length` bytes into the area ReceiveArea gave last: every frame
  // now whole is delivered where it lies. Without such an area (none given,
  // or taken already) nothing is taken. False: the sink refused a frame, and
  // the assembler was not touched after that call (the sink may have
  // destroyed it).
  bool Received(size_t length, IFrameSink* sink);

  void Reset();  // drop held bytes and any frame being skipped (channel open / teardown)

  // Bytes that must still arrive before another frame can be delivered: the
  // rest of the frame being held (of its header while that is incomplete), a
  // whole header when nothing is held, the rest of a frame being skipped.
  uint64_t Wanted() const;

  uint32_t Held() const { return m_end - m_begin; }  // bytes held
  // Skipped: garbage, false headers, command messages, frames memory could not hold.
  uint64_t DroppedBytes() const { return m_droppedBytes; }
  // Headers announcing over 16 MiB, and frames memory could not hold.
  uint64_t OversizeFrames() const { return m_oversizeFrames; }
  uint64_t CommandMessages() const { return m_commandMessages; }  // passed over
  // Any thread may read this one (a live channel's stall watch does).
  uint64_t DeliveredFrames() const { return m_deliveredFrames.load(std::memory_order_relaxed); }
  uint32_t Capacity() const { return m_capacity; }  // current buffer size
  uint32_t Growths() const { return m_growths; }    // times the buffer was enlarged

 private:
  // kOversize: a header over 16 MiB; kCommand: a command message.
  enum class Verdict { kNeedMore, kFrame, kGarbage, kOversize, kCommand };
  struct SInspection {
    Verdict verdict;
    // kNeedMore: bytes needed; kFrame: frame length; kGarbage, kOversize:
    // bytes to drop (all held); kCommand: message length (may exceed those held).
    uint64_t count;
  };

  static SInspection Inspect(const uint8_t* p, size_t avail);
  // Garbage up to the next place, at `from` or later, where a frame or a
  // command message may begin.
  static SInspection Resync(const uint8_t* p, size_t avail, size_t from);
  // Drops what a kGarbage, kOversize or kCommand verdict names from the held
  // bytes, and arranges to skip the rest of a command message.
  void PassOver(const SInspection& in);
  // Makes room behind the held bytes for a frame of `need` bytes: moves the
  // held bytes to the start, or enlarges the buffer. False if memory is short.
  bool MakeRoom(uint64_t need);
  // Discards the held bytes, which begin a frame of `length` bytes that cannot
  // be held, and the rest of that frame as it arrives.
  void SkipFrame(uint64_t length);
  // Counts and marks a whole frame and hands it to the sink; the sink's answer.
  bool Deliver(uint8_t* frame, uint32_t length, IFrameSink* sink);
  static void Mark(uint8_t* frame);

  std::unique_ptr<uint8_t[]> m_buffer;
  uint32_t m_capacity = 0;
  uint32_t m_begin = 0;  // first held byte (always the start of a frame header candidate)
  uint32_t m_end = 0;    // one past the last held byte
  uint64_t m_skip = 0;   // bytes still to discard: of a command message, or a frame not held
  uint64_t m_droppedBytes = 0;
  uint64_t m_oversizeFrames = 0;
  uint64_t m_commandMessages = 0;
  std::atomic<uint64_t> m_deliveredFrames{0};  // written by the reading thread only
  uint32_t m_growths = 0;
  bool m_areaGiven = false;  // ReceiveArea gave an area at m_end, not yet filled
};

}  // namespace qnv

#endif  // QNV_LIVE_CFRAMEASSEMBLER_H
