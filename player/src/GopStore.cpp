#include "GopStore.h"

#include <algorithm>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/StreamCopy.h"

namespace qnv::player {
namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

// Pages a store keeps at least when it trims.
constexpr size_t kMinKeptBytes = 1024 * 1024;

// Writes 16-byte blocks from src to dst (both 16-byte aligned) with
// non-temporal stores.
void StreamBlocks(uint8_t* dst, const uint8_t* src, size_t n) {
#if defined(__SSE2__)
  for (size_t i = 0; i < n; i += 16)
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i),
                     _mm_load_si128(reinterpret_cast<const __m128i*>(src + i)));
#else
  std::memcpy(dst, src, n);
#endif
}

}  // namespace

static_assert(GopStore::kRecordHeader % GopStore::kRecordAlign == 0);
static_assert(PageArena::kAlignment % GopStore::kRecordAlign == 0);
static_assert(__STDCPP_DEFAULT_NEW_ALIGNMENT__ % GopStore::kRecordAlign == 0);

GopStore::GopStore(Limits limits) : m_limits(limits), m_params(new uint8_t[kMaxParameterBytes]) {
  m_arenas[0] = std::make_unique<PageArena>(m_limits.maxBytes);
}

PageArena* GopStore::Arena(int i) {
  if (!m_arenas[i]) m_arenas[i] = std::make_unique<PageArena>(m_limits.maxBytes);
  return m_arenas[i].get();
}

size_t GopStore::WriteRecord(uint8_t* at, const uint8_t* payload, size_t size) {
  const bool prefix = !HasStartCode(payload, size);
  alignas(kRecordAlign) uint8_t header[kRecordHeader] = {};
  const uint32_t length = uint32_t(size + (prefix ? sizeof kStartCode : 0));
  const uint32_t offset = uint32_t(kRecordHeader - (prefix ? sizeof kStartCode : 0));
  std::memcpy(header, &length, sizeof length);
  std::memcpy(header + 4, &offset, sizeof offset);
  if (prefix) std::memcpy(header + offset, kStartCode, sizeof kStartCode);
  StreamBlocks(at, header, kRecordHeader);
  // Whole 64-byte runs straight from the payload; the rest and the zeros
  // behind it through a small block, so no line is written with plain stores.
  const size_t bulk = size / 64 * 64;
  qnv::platform::StreamCopy(at + kRecordHeader, payload, bulk);
  const size_t total = RecordBytes(size);
  alignas(kRecordAlign) uint8_t tail[64 + kCodedFramePadding + kRecordAlign] = {};
  std::memcpy(tail, payload + bulk, size - bulk);
  StreamBlocks(at + kRecordHeader + bulk, tail, total - kRecordHeader - bulk);
#if defined(__SSE2__)
  _mm_sfence();
#endif
  return total;
}

void GopStore::TrimAfter(PageArena* arena, size_t endedBytes) {
  m_recent[m_recentNext] = endedBytes;
  m_recentNext = (m_recentNext + 1) % kRecentGenerations;
  const size_t largest =
      std::max(*std::max_element(std::begin(m_recent), std::end(m_recent)), kMinKeptBytes);
  if (arena->touched() > 2 * largest) arena->Trim(largest);
}

void GopStore::KeepParameterSets(const uint8_t* bytes, size_t size, bool sps) {
  if (sps) {
    m_paramsEnd = 0;
    m_paramsFrames = 0;
  }
  if (size == 0 || m_paramsEnd + RecordBytes(size) > kMaxParameterBytes) return;
  m_paramsEnd += WriteRecord(m_params.get() + m_paramsEnd, bytes, size);
  ++m_paramsFrames;
}

void GopStore::Append(const uint8_t* payload, size_t size) {
  if (!m_started || m_truncated) {
    ++m_dropped;
    return;
  }
  const size_t need = RecordBytes(size);
  if (m_end + need > m_limits.maxBytes || m_frames + 1 > m_limits.maxFrames) {
    m_truncated = true;
    ++m_dropped;
    return;
  }
  PageArena* arena = m_arenas[m_current].get();
  m_end += WriteRecord(arena->data() + m_end, payload, size);
  arena->Touched(m_end);
  ++m_frames;
}

void GopStore::StartGeneration(const uint8_t* payload, size_t size, const NalSummary& nal) {
  ++m_generation;
  m_started = true;
  m_truncated = false;
  const size_t previousEnd = m_end;
  m_end = 0;
  m_frames = 0;
  // A reader still decodes the generation that just ended: leave its pages
  // alone and use the other set.
  if (m_reading == m_current) m_current ^= 1;
  PageArena* arena;
  try {
    arena = Arena(m_current);
  } catch (const std::bad_alloc&) {
    m_truncated = true;
    ++m_dropped;
    return;
  }
  TrimAfter(arena, previousEnd);
  // Unless the frame brings its own SPS, the stored parameter sets go first.
  const size_t params = nal.sps ? 0 : m_paramsEnd;
  const size_t paramFrames = nal.sps ? 0 : m_paramsFrames;
  const size_t need = params + RecordBytes(size);
  if (need > m_limits.maxBytes || paramFrames + 1 > m_limits.maxFrames) {
    m_truncated = true;
    ++m_dropped;
    return;
  }
  qnv::platform::StreamCopy(arena->data(), m_params.get(), params);
  m_end = params + WriteRecord(arena->data() + params, payload, size);
  m_frames = paramFrames + 1;
  arena->Touched(m_end);
}

void GopStore::Add(const uint8_t* payload, size_t size) {
  const NalSummary nal = ScanNalUnits(payload, size);
  if (nal.idr) {
    StartGeneration(payload, size, nal);
    // Parameter sets riding ahead of the IDR picture are kept for later IDRs.
    if (nal.ParameterSets()) KeepParameterSets(payload, nal.pictureOffset, nal.sps);
    return;
  }
  if (nal.ParameterSets()) {
    KeepParameterSets(payload, nal.Picture() ? nal.pictureOffset : size, nal.sps);
    // Before the first IDR they are only kept for it, so nothing is lost;
    // after it they also go into the running generation, in stream order,
    // since later pictures of it may refer to them.
    if (!m_started) return;
  }
  Append(payload, size);
}

GopStore::View GopStore::BeginRead() {
  m_reading = m_current;
  const PageArena* arena = m_arenas[m_current].get();
  return View{arena != nullptr ? arena->data() : nullptr, arena != nullptr ? m_end : 0,
              m_generation, m_frames};
}

size_t GopStore::ResidentBound() const {
  size_t bytes = kMaxParameterBytes;
  for (const auto& a : m_arenas) bytes += a ? a->touched() : 0;
  return bytes;
}

}  // namespace qnv::player
