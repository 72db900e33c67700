#include "live/CFrameAssembler.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "live/SliceProbe.h"
#include "protocol/CommandMessage.h"
#include "protocol/FrameHeader.h"

namespace qnv {

using namespace protocol;

namespace {

// Bytes needed before anything can be decided: the magic ends at byte 7.
constexpr uint64_t kMagicEnd = kFrameMagicOffset + sizeof kFrameMagic;
constexpr uint64_t kExtHeaderEnd = kFrameHeaderSize + kFrameExtLengthSize;
// Bytes needed to tell a command message: its magic ends at byte 11.
constexpr uint64_t kCommandMagicEnd = kReqMagicOffset + sizeof kCommandMagic;
static_assert(kCommandMagicEnd > kMagicEnd);

// Whether p begins a command message's length prefix: its check byte matches
// and it declares from a bare request header (20 bytes) to the longest message.
inline bool IsCommandPrefix(const uint8_t* p) {
  const int32_t length = DecodeLengthPrefix(p);
  return length >= int32_t(kRequestHeaderSize) && length <= kMaxMessageLength;
}

static_assert(CFrameAssembler::kMaxFrame >= CFrameAssembler::kInitialCapacity);
static_assert(CFrameAssembler::kMinArea <= CFrameAssembler::kInitialCapacity / 2);
// Growth rounds up to a power of two; the limit is one, so it is never exceeded.
static_assert((CFrameAssembler::kMaxFrame & (CFrameAssembler::kMaxFrame - 1)) == 0);

// Length of the extension block (4 + N) of a header whose extFlag is set, else 0.
inline uint64_t ExtensionLength(const uint8_t* frame) {
  if (frame[kFrameExtFlagOffset] == 0) return 0;
  return kFrameExtLengthSize + uint64_t(LoadLe32(frame + kFrameHeaderSize));
}

uint32_t GrownCapacity(uint64_t need) {
  uint64_t capacity = CFrameAssembler::kInitialCapacity;
  while (capacity < need) capacity <<= 1;
  return uint32_t(std::min<uint64_t>(capacity, CFrameAssembler::kMaxFrame));
}

}  // namespace

CFrameAssembler::CFrameAssembler()
    : buffer_(std::make_unique_for_overwrite<uint8_t[]>(kInitialCapacity)),
      capacity_(kInitialCapacity) {}

void CFrameAssembler::Reset() {
  begin_ = end_ = 0;
  skip_ = 0;
  wakeThreshold_ = 1;
  area_ = nullptr;
}

uint64_t CFrameAssembler::Wanted() const {
  if (skip_ > 0) return skip_;
  const uint32_t held = Held();
  // No frame is shorter than its header, so a header's worth is the least
  // that can complete one.
  if (held < kFrameHeaderSize) return kFrameHeaderSize - held;
  const SInspection in = Inspect(buffer_.get() + begin_, held);
  // After a Feed the held bytes are always an incomplete frame.
  return in.verdict == Verdict::kNeedMore && in.count > held ? in.count - held : 1;
}

bool CFrameAssembler::NextWakeThreshold(uint32_t cap, uint32_t* threshold) {
  const uint32_t t = uint32_t(std::clamp<uint64_t>(Wanted(), 1, std::max<uint32_t>(cap, 1)));
  *threshold = t;
  if (t == wakeThreshold_) return false;
  wakeThreshold_ = t;
  return true;
}

bool CFrameAssembler::Feed(const uint8_t* chunk, size_t length, FrameSink sink, void* context) {
  return FeedImpl<false>(chunk, length, sink, context);
}

bool CFrameAssembler::FeedInPlace(uint8_t* chunk, size_t length, FrameSink sink, void* context) {
  return FeedImpl<true>(chunk, length, sink, context);
}

CFrameAssembler::SInspection CFrameAssembler::Resync(const uint8_t* p, size_t avail, size_t from) {
  // The next magic marks the first place at or after `from` where a frame (4
  // bytes before it) or a command message (8 bytes before it) may begin; the
  // command is tried first, as it begins earlier. Two magics cannot overlap,
  // so nothing in between can begin either.
  const size_t search = from + kFrameMagicOffset;
  const void* hit = avail > search
                        ? memmem(p + search, avail - search, kFrameMagic, sizeof kFrameMagic)
                        : nullptr;
  if (hit == nullptr) {
    // Only the last 11 bytes may still begin a command message (7 a frame).
    constexpr size_t kKeep = kCommandMagicEnd - 1;
    return {Verdict::kGarbage, avail > from + kKeep ? avail - kKeep : from};
  }
  const size_t magic = size_t(static_cast<const uint8_t*>(hit) - p);
  if (magic >= from + kReqMagicOffset && IsCommandPrefix(p + magic - kReqMagicOffset))
    return {Verdict::kGarbage, magic - kReqMagicOffset};
  return {Verdict::kGarbage, magic - kFrameMagicOffset};
}

CFrameAssembler::SInspection CFrameAssembler::Inspect(const uint8_t* p, size_t avail) {
  if (avail < kMagicEnd) return {Verdict::kNeedMore, kMagicEnd};
  if (std::memcmp(p + kFrameMagicOffset, kFrameMagic, sizeof kFrameMagic) == 0) {
    // A frame header: its magic decides, whatever bytes 0..3 and 8..11 hold.
    if (avail < kFrameHeaderSize) return {Verdict::kNeedMore, kFrameHeaderSize};
    if (p[kFrameExtFlagOffset] != 0 && avail < kExtHeaderEnd) {
      return {Verdict::kNeedMore, kExtHeaderEnd};
    }
    const uint64_t total =
        kFrameHeaderSize + ExtensionLength(p) + LoadLe32(p + kFramePayloadLengthOffset);
    // A header announcing more than any frame may hold is a corrupted or
    // false one: skipping its length would blind the channel for gigabytes.
    // The search for the next header starts right behind this one.
    if (total > kMaxFrame) {
      const size_t header =
          kFrameHeaderSize + (p[kFrameExtFlagOffset] != 0 ? kFrameExtLengthSize : 0);
      return {Verdict::kOversize, Resync(p, avail, header).count};
    }
    if (avail < total) return {Verdict::kNeedMore, total};
    return {Verdict::kFrame, total};
  }
  // A command message (a reply the device sends on the stream connection):
  // a valid length prefix and the magic at bytes 8..11, and no frame magic
  // at 4..7 (checked above).
  if (IsCommandPrefix(p)) {
    if (avail < kCommandMagicEnd) return {Verdict::kNeedMore, kCommandMagicEnd};
    if (std::memcmp(p + kReqMagicOffset, kCommandMagic, sizeof kCommandMagic) == 0)
      return {Verdict::kCommand, uint64_t(DecodeLengthPrefix(p))};
  }
  return Resync(p, avail, 1);
}

bool CFrameAssembler::Deliver(uint8_t* frame, uint32_t length, FrameSink sink, void* context) {
  ++deliveredFrames_;
  Mark(frame);
  return sink == nullptr || sink(context, frame, length);
}

void CFrameAssembler::Mark(uint8_t* frame) {
  const uint8_t* payload = frame + kFrameHeaderSize + ExtensionLength(frame);
  // A whole frame is at most kMaxFrame bytes, so the length fits.
  const int32_t payloadLength = int32_t(LoadLe32(frame + kFramePayloadLengthOffset));
  frame[kFrameKindOffset] = uint8_t(ProbeSliceType(payload, payloadLength));
}

bool CFrameAssembler::MakeRoom(uint64_t need) {
  const uint32_t held = Held();
  if (need <= capacity_) {
    std::memmove(buffer_.get(), buffer_.get() + begin_, held);
  } else {
    const uint32_t capacity = GrownCapacity(need);
    std::unique_ptr<uint8_t[]> grown(new (std::nothrow) uint8_t[capacity]);
    if (!grown) return false;
    std::memcpy(grown.get(), buffer_.get() + begin_, held);
    buffer_ = std::move(grown);
    capacity_ = capacity;
    ++growths_;
  }
  begin_ = 0;
  end_ = held;
  return true;
}

void CFrameAssembler::PassOver(const SInspection& in) {
  if (in.verdict == Verdict::kOversize) ++oversizeFrames_;
  if (in.verdict == Verdict::kCommand) ++commandMessages_;
  // Garbage and false headers lie within the held bytes; a command message
  // may go on beyond them, and the rest is skipped as it arrives.
  const uint32_t n = uint32_t(std::min<uint64_t>(in.count, Held()));
  droppedBytes_ += n;
  begin_ += n;
  skip_ = in.count - n;
}

void CFrameAssembler::SkipFrame(uint64_t length) {
  ++oversizeFrames_;
  droppedBytes_ += Held();
  skip_ = length - Held();
  begin_ = end_ = 0;
}

bool CFrameAssembler::Reserve(uint32_t capacity) {
  capacity = std::min(capacity, kMaxFrame);
  if (capacity <= capacity_) return true;
  if (Held() != 0 || skip_ != 0) return false;
  std::unique_ptr<uint8_t[]> reserved(new (std::nothrow) uint8_t[capacity]);
  if (!reserved) return false;
  // Touched now: reads go round the whole buffer, and a page first reached
  // in steady state would cost a fault there.
  std::memset(reserved.get(), 0, capacity);
  buffer_ = std::move(reserved);
  capacity_ = capacity;
  begin_ = end_ = 0;
  area_ = nullptr;
  return true;
}

uint8_t* CFrameAssembler::ReceiveArea(uint32_t* capacity, uint32_t most, OverwriteNotify notify,
                                      void* context) {
  most = std::max<uint32_t>(most, 1);
  const uint8_t* buffer = buffer_.get();
  uint64_t need = 0;
  enum class Plan { kStay, kMove, kGrow } plan = Plan::kStay;
  if (begin_ == end_) {
    // Nothing held: reading goes on behind the last frame (so delivered
    // frames stay intact for as long as possible) until the end is near.
    if (capacity_ - end_ < kMinArea) begin_ = end_ = 0;
  } else {
    // After a delivery the held bytes are always one unfinished frame; once
    // its header is in, its whole length is known and gets room up front.
    const uint32_t held = Held();
    const SInspection in = Inspect(buffer + begin_, held);
    need = in.verdict == Verdict::kNeedMore ? std::max<uint64_t>(in.count, held) : held;
    if (need > capacity_) {
      plan = Plan::kGrow;
    } else if (need > capacity_ - begin_ || (capacity_ - end_ < kMinArea && begin_ > 0)) {
      plan = Plan::kMove;
    }
  }
  if (plan == Plan::kGrow) {
    if (notify != nullptr) notify(context, buffer, buffer + capacity_);  // freed
    if (!MakeRoom(need)) SkipFrame(need);  // memory is short: the frame cannot be held
  } else if (plan == Plan::kMove) {
    // The held bytes go to the start and the area follows them, no further
    // than the rest of their frame: the bytes beyond hold frames an owner may
    // still be keeping.
    if (need > Held()) most = uint32_t(std::min<uint64_t>(most, need - Held()));
    if (notify != nullptr)
      notify(context, buffer, buffer + std::min<uint64_t>(capacity_, uint64_t(Held()) + most));
    MakeRoom(need);  // a move, never a growth
  } else if (notify != nullptr) {
    notify(context, buffer + end_, buffer + end_ + std::min(most, capacity_ - end_));
  }
  *capacity = std::min(most, capacity_ - end_);
  area_ = buffer_.get() + end_;
  return area_;
}

bool CFrameAssembler::Received(uint8_t* data, size_t length, FrameSink sink, void* context) {
  if (data == nullptr) return true;
  if (!IsArea(data, length)) return FeedInPlace(data, length, sink, context);
  area_ = nullptr;
  if (skip_ > 0) {
    // Nothing is held while a frame is skipped: the area began at end_.
    const uint32_t n = uint32_t(std::min<uint64_t>(skip_, length));
    skip_ -= n;
    droppedBytes_ += n;
    begin_ = end_ + n;
  }
  end_ += uint32_t(length);
  for (;;) {
    const uint32_t held = Held();
    if (held == 0) return true;  // the next area follows on from here
    const SInspection in = Inspect(buffer_.get() + begin_, held);
    switch (in.verdict) {
      case Verdict::kFrame: {
        uint8_t* frame = buffer_.get() + begin_;
        begin_ += uint32_t(in.count);
        if (!Deliver(frame, uint32_t(in.count), sink, context)) return false;
        break;
      }
      case Verdict::kGarbage:
      case Verdict::kOversize:
      case Verdict::kCommand:
        PassOver(in);
        break;
      case Verdict::kNeedMore:
        return true;
    }
  }
}

template <bool kInPlace, typename Byte>
bool CFrameAssembler::FeedImpl(Byte* chunk, size_t length, FrameSink sink, void* context) {
  area_ = nullptr;  // held bytes may move: an area given before is void
  if (chunk == nullptr) return true;
  size_t pos = 0;
  // Held bytes that were copied from this chunk. Copies append contiguously,
  // so these are the last ones held and equal chunk[pos - fromChunk, pos).
  size_t fromChunk = 0;
  for (;;) {
    if (skip_ > 0) {
      const size_t n = size_t(std::min<uint64_t>(skip_, length - pos));
      skip_ -= n;
      droppedBytes_ += n;
      pos += n;
      if (skip_ > 0) return true;
    }

    if constexpr (kInPlace) {
      if (begin_ == end_) {
        // Nothing held: cut frames straight out of the chunk.
        SInspection in{Verdict::kNeedMore, 0};
        while (pos < length) {
          in = Inspect(chunk + pos, length - pos);
          if (in.verdict != Verdict::kFrame) break;
          uint8_t* frame = chunk + pos;
          pos += in.count;
          if (!Deliver(frame, uint32_t(in.count), sink, context)) return false;
        }
        if (pos == length) return true;
        if (in.verdict != Verdict::kNeedMore) {
          // Garbage, a false header or a command message: passed over in
          // the chunk (a command message's rest as it arrives).
          if (in.verdict == Verdict::kOversize) ++oversizeFrames_;
          if (in.verdict == Verdict::kCommand) ++commandMessages_;
          const size_t n = size_t(std::min<uint64_t>(in.count, length - pos));
          droppedBytes_ += n;
          pos += n;
          skip_ = in.count - n;
          continue;
        }
        // The chunk ends inside a frame: keep its start, with room for all of it.
        if (!MakeRoom(in.count)) {
          SkipFrame(in.count);
          continue;
        }
        std::memcpy(buffer_.get(), chunk + pos, length - pos);
        end_ = uint32_t(length - pos);
        return true;
      }
    }

    const uint32_t held = Held();
    const SInspection in = Inspect(buffer_.get() + begin_, held);
    switch (in.verdict) {
      case Verdict::kFrame: {
        uint8_t* frame = buffer_.get() + begin_;
        begin_ += uint32_t(in.count);
        if (begin_ == end_) begin_ = end_ = 0;
        if (!Deliver(frame, uint32_t(in.count), sink, context)) return false;
        break;
      }
      case Verdict::kGarbage:
      case Verdict::kOversize:
      case Verdict::kCommand:
        PassOver(in);
        fromChunk = std::min<size_t>(fromChunk, Held());
        if (kInPlace && Held() == fromChunk) {
          // All that is left came from this chunk: scan for the next header
          // there instead of copying the garbage piece by piece.
          pos -= fromChunk;
          fromChunk = 0;
          begin_ = end_;
        }
        if (begin_ == end_) begin_ = end_ = 0;
        break;
      case Verdict::kNeedMore: {
        if (pos == length) return true;
        const uint64_t want = in.count - held;
        if (capacity_ - end_ < want && !MakeRoom(in.count)) {
          SkipFrame(in.count);  // memory is short: the frame cannot be held
          break;
        }
        // In place, copy only up to the end of this frame; the frames behind it
        // are then delivered from the chunk.
        const size_t n = kInPlace ? size_t(std::min<uint64_t>(want, length - pos))
                                  : std::min<size_t>(length - pos, capacity_ - end_);
        std::memcpy(buffer_.get() + end_, chunk + pos, n);
        end_ += uint32_t(n);
        pos += n;
        fromChunk += n;
        break;
      }
    }
  }
}

}  // namespace qnv
