#include "GopStore.h"

#include <algorithm>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/StreamCopy.h"

namespace qnvplayer {
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

GopStore::GopStore(Limits limits) : limits_(limits), params_(new uint8_t[kMaxParameterBytes]) {
  arenas_[0] = std::make_unique<PageArena>(limits_.maxBytes);
}

PageArena* GopStore::Arena(int i) {
  if (!arenas_[i]) arenas_[i] = std::make_unique<PageArena>(limits_.maxBytes);
  return arenas_[i].get();
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
  recent_[recentNext_] = endedBytes;
  recentNext_ = (recentNext_ + 1) % kRecentGenerations;
  const size_t largest =
      std::max(*std::max_element(std::begin(recent_), std::end(recent_)), kMinKeptBytes);
  if (arena->touched() > 2 * largest) arena->Trim(largest);
}

void GopStore::KeepParameterSets(const uint8_t* bytes, size_t size, bool sps) {
  if (sps) {
    paramsEnd_ = 0;
    paramsFrames_ = 0;
  }
  if (size == 0 || paramsEnd_ + RecordBytes(size) > kMaxParameterBytes) return;
  paramsEnd_ += WriteRecord(params_.get() + paramsEnd_, bytes, size);
  ++paramsFrames_;
}

void GopStore::Append(const uint8_t* payload, size_t size) {
  if (!started_ || truncated_) {
    ++dropped_;
    return;
  }
  const size_t need = RecordBytes(size);
  if (end_ + need > limits_.maxBytes || frames_ + 1 > limits_.maxFrames) {
    truncated_ = true;
    ++dropped_;
    return;
  }
  PageArena* arena = arenas_[current_].get();
  end_ += WriteRecord(arena->data() + end_, payload, size);
  arena->Touched(end_);
  ++frames_;
}

void GopStore::StartGeneration(const uint8_t* payload, size_t size, const NalSummary& nal) {
  ++generation_;
  started_ = true;
  truncated_ = false;
  const size_t previousEnd = end_;
  end_ = 0;
  frames_ = 0;
  // A reader still decodes the generation that just ended: leave its pages
  // alone and use the other set.
  if (reading_ == current_) current_ ^= 1;
  PageArena* arena;
  try {
    arena = Arena(current_);
  } catch (const std::bad_alloc&) {
    truncated_ = true;
    ++dropped_;
    return;
  }
  TrimAfter(arena, previousEnd);
  // Unless the frame brings its own SPS, the stored parameter sets go first.
  const size_t params = nal.sps ? 0 : paramsEnd_;
  const size_t paramFrames = nal.sps ? 0 : paramsFrames_;
  const size_t need = params + RecordBytes(size);
  if (need > limits_.maxBytes || paramFrames + 1 > limits_.maxFrames) {
    truncated_ = true;
    ++dropped_;
    return;
  }
  qnv::platform::StreamCopy(arena->data(), params_.get(), params);
  end_ = params + WriteRecord(arena->data() + params, payload, size);
  frames_ = paramFrames + 1;
  arena->Touched(end_);
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
    if (!started_) return;
  }
  Append(payload, size);
}

GopStore::View GopStore::BeginRead() {
  reading_ = current_;
  const PageArena* arena = arenas_[current_].get();
  return View{arena != nullptr ? arena->data() : nullptr, arena != nullptr ? end_ : 0, generation_,
              frames_};
}

size_t GopStore::ResidentBound() const {
  size_t bytes = kMaxParameterBytes;
  for (const auto& a : arenas_) bytes += a ? a->touched() : 0;
  return bytes;
}

}  // namespace qnvplayer
