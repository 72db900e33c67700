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

static_assert(QNVNetFrameHeader::kMaxFrameSize >= CFrameAssembler::kInitialCapacity);
static_assert(CFrameAssembler::kMinArea <= CFrameAssembler::kInitialCapacity / 2);
// Growth rounds up to a power of two; the limit is one, so it is never exceeded.
static_assert((QNVNetFrameHeader::kMaxFrameSize & (QNVNetFrameHeader::kMaxFrameSize - 1)) == 0);

// Length of the extension block (its 4-byte length field and the bytes it
// counts) of a header whose extFlag is set, else 0.
inline uint64_t ExtensionLength(const uint8_t* frame) {
  if (frame[kFrameExtFlagOffset] == 0) return 0;
  return kFrameExtLengthSize + uint64_t(platform::LoadLe32(frame + kFrameHeaderSize));
}

uint32_t GrownCapacity(uint64_t need) {
  uint64_t capacity = CFrameAssembler::kInitialCapacity;
  while (capacity < need) capacity <<= 1;
  return uint32_t(std::min<uint64_t>(capacity, QNVNetFrameHeader::kMaxFrameSize));
}

}  // namespace

CFrameAssembler::CFrameAssembler()
    : m_buffer(std::make_unique_for_overwrite<uint8_t[]>(kInitialCapacity)),
      m_capacity(kInitialCapacity) {}

void CFrameAssembler::Reset() {
  m_begin = m_end = 0;
  m_skip = 0;
  m_areaGiven = false;
}

uint64_t CFrameAssembler::Wanted() const {
  if (m_skip > 0) return m_skip;
  const uint32_t held = Held();
  // No frame is shorter than its header, so a header's worth is the least
  // that can complete one.
  if (held < kFrameHeaderSize) return kFrameHeaderSize - held;
  const SInspection in = Inspect(m_buffer.get() + m_begin, held);
  // After a read the held bytes are always an incomplete frame.
  return in.verdict == Verdict::kNeedMore && in.count > held ? in.count - held : 1;
}

bool CFrameAssembler::Feed(const uint8_t* chunk, size_t length, IFrameSink* sink) {
  if (chunk == nullptr) return true;
  for (size_t pos = 0; pos < length;) {
    uint32_t capacity = 0;
    uint8_t* area = ReceiveArea(&capacity);
    const size_t n = std::min<size_t>(capacity, length - pos);
    std::memcpy(area, chunk + pos, n);
    pos += n;
    if (!Received(n, sink)) return false;
  }
  return true;
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
        kFrameHeaderSize + ExtensionLength(p) + platform::LoadLe32(p + kFramePayloadLengthOffset);
    // A header announcing more than any frame may hold is a corrupted or
    // false one: skipping its length would blind the channel for gigabytes.
    // The search for the next header starts right behind this one.
    if (total > QNVNetFrameHeader::kMaxFrameSize) {
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

bool CFrameAssembler::Deliver(uint8_t* frame, uint32_t length, IFrameSink* sink) {
  // One writer: a plain add, no locked instruction per frame.
  m_deliveredFrames.store(m_deliveredFrames.load(std::memory_order_relaxed) + 1,
                          std::memory_order_relaxed);
  Mark(frame);
  return sink == nullptr || sink->Frame(frame, length);
}

void CFrameAssembler::Mark(uint8_t* frame) {
  const uint8_t* payload = frame + kFrameHeaderSize + ExtensionLength(frame);
  // A whole frame is at most QNVNetFrameHeader::kMaxFrameSize bytes, so the length fits.
  const int32_t payloadLength = int32_t(platform::LoadLe32(frame + kFramePayloadLengthOffset));
  frame[kFrameKindOffset] = uint8_t(ProbeSliceType(payload, payloadLength));
}

bool CFrameAssembler::MakeRoom(uint64_t need) {
  const uint32_t held = Held();
  if (need <= m_capacity) {
    std::memmove(m_buffer.get(), m_buffer.get() + m_begin, held);
  } else {
    const uint32_t capacity = GrownCapacity(need);
    std::unique_ptr<uint8_t[]> grown(new (std::nothrow) uint8_t[capacity]);
    if (!grown) return false;
    std::memcpy(grown.get(), m_buffer.get() + m_begin, held);
    m_buffer = std::move(grown);
    m_capacity = capacity;
    ++m_growths;
  }
  m_begin = 0;
  m_end = held;
  return true;
}

void CFrameAssembler::PassOver(const SInspection& in) {
  if (in.verdict == Verdict::kOversize) ++m_oversizeFrames;
  if (in.verdict == Verdict::kCommand) ++m_commandMessages;
  // Garbage and false headers lie within the held bytes; a command message
  // may go on beyond them, and the rest is skipped as it arrives.
  const uint32_t n = uint32_t(std::min<uint64_t>(in.count, Held()));
  m_droppedBytes += n;
  m_begin += n;
  m_skip = in.count - n;
}

void CFrameAssembler::SkipFrame(uint64_t length) {
  ++m_oversizeFrames;
  m_droppedBytes += Held();
  m_skip = length - Held();
  m_begin = m_end = 0;
}

bool CFrameAssembler::Reserve(uint32_t capacity) {
  capacity = std::min(capacity, QNVNetFrameHeader::kMaxFrameSize);
  if (capacity <= m_capacity) return true;
  if (Held() != 0 || m_skip != 0) return false;
  std::unique_ptr<uint8_t[]> reserved(new (std::nothrow) uint8_t[capacity]);
  if (!reserved) return false;
  // Touched now: reads go round the whole buffer, and a page first reached
  // in steady state would cost a fault there.
  std::memset(reserved.get(), 0, capacity);
  m_buffer = std::move(reserved);
  m_capacity = capacity;
  m_begin = m_end = 0;
  m_areaGiven = false;
  return true;
}

CFrameAssembler::SAreaPlan CFrameAssembler::PlanArea(uint32_t most) const {
  using Step = SAreaPlan::Step;
  const uint8_t* buffer = m_buffer.get();
  SAreaPlan plan;
  plan.most = std::max<uint32_t>(most, 1);
  if (m_begin == m_end) {
    // Nothing held: reading goes on behind the last frame (so delivered
    // frames stay intact for as long as possible) until the end is near.
    if (m_capacity - m_end < kMinArea) plan.step = Step::kRestart;
  } else {
    // After a delivery the held bytes are always one unfinished frame; once
    // its header is in, its whole length is known and gets room up front.
    const uint32_t held = Held();
    const SInspection in = Inspect(buffer + m_begin, held);
    plan.need = in.verdict == Verdict::kNeedMore ? std::max<uint64_t>(in.count, held) : held;
    if (plan.need > m_capacity) {
      plan.step = Step::kGrow;
    } else if (plan.need > m_capacity - m_begin || (m_capacity - m_end < kMinArea && m_begin > 0)) {
      plan.step = Step::kMove;
    }
  }
  switch (plan.step) {
    case Step::kStay:
      plan.overwriteFrom = buffer + m_end;
      plan.overwriteTo = buffer + m_end + std::min(plan.most, m_capacity - m_end);
      break;
    case Step::kRestart:
      plan.overwriteFrom = buffer;
      plan.overwriteTo = buffer + std::min(plan.most, m_capacity);
      break;
    case Step::kMove:
      // The held bytes go to the start and the area follows them, no further
      // than the rest of their frame: the bytes beyond hold frames an owner
      // may still be keeping.
      if (plan.need > Held())
        plan.most = uint32_t(std::min<uint64_t>(plan.most, plan.need - Held()));
      plan.overwriteFrom = buffer;
      plan.overwriteTo = buffer + std::min<uint64_t>(m_capacity, uint64_t(Held()) + plan.most);
      break;
    case Step::kGrow:  // the whole buffer is freed
      plan.overwriteFrom = buffer;
      plan.overwriteTo = buffer + m_capacity;
      break;
  }
  return plan;
}

uint8_t* CFrameAssembler::TakeArea(const SAreaPlan& plan, uint32_t* capacity) {
  using Step = SAreaPlan::Step;
  switch (plan.step) {
    case Step::kStay:
      break;
    case Step::kRestart:
      m_begin = m_end = 0;
      break;
    case Step::kMove:
      MakeRoom(plan.need);  // a move, never a growth
      break;
    case Step::kGrow:
      if (!MakeRoom(plan.need)) SkipFrame(plan.need);  // memory is short: the frame cannot be held
      break;
  }
  *capacity = std::min(plan.most, m_capacity - m_end);
  m_areaGiven = true;
  return m_buffer.get() + m_end;
}

bool CFrameAssembler::Received(size_t length, IFrameSink* sink) {
  if (!m_areaGiven || length > m_capacity - m_end) return true;
  m_areaGiven = false;
  if (m_skip > 0) {
    // Nothing is held while a frame is skipped: the area began at m_end.
    const uint32_t n = uint32_t(std::min<uint64_t>(m_skip, length));
    m_skip -= n;
    m_droppedBytes += n;
    m_begin = m_end + n;
  }
  m_end += uint32_t(length);
  for (;;) {
    const uint32_t held = Held();
    if (held == 0) return true;  // the next area follows on from here
    const SInspection in = Inspect(m_buffer.get() + m_begin, held);
    switch (in.verdict) {
      case Verdict::kFrame: {
        uint8_t* frame = m_buffer.get() + m_begin;
        m_begin += uint32_t(in.count);
        if (!Deliver(frame, uint32_t(in.count), sink)) return false;
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

}  // namespace qnv
