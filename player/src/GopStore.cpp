#include "GopStore.h"

#include <algorithm>
#include <new>

#include "platform/StreamCopy.h"

namespace qnvplayer {
namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

// At an IDR, pages beyond twice the generation just ended (and at least
// this much) are given back, so one huge GOP does not pin its memory.
constexpr size_t kMinKeptBytes = 1024 * 1024;

}  // namespace

GopStore::GopStore(Limits limits) : limits_(limits), params_(kMaxParameterBytes) {
  arenas_[0] = std::make_unique<PageArena>(limits_.maxBytes);
}

PageArena* GopStore::Arena(int i) {
  if (!arenas_[i]) arenas_[i] = std::make_unique<PageArena>(limits_.maxBytes);
  return arenas_[i].get();
}

size_t GopStore::AnnexBSize(const uint8_t* payload, size_t size) {
  return size + (HasStartCode(payload, size) ? 0 : sizeof kStartCode);
}

size_t GopStore::WriteRecord(uint8_t* at, const uint8_t* payload, size_t size) {
  const size_t annexB = AnnexBSize(payload, size);
  const uint32_t length = uint32_t(annexB);
  std::memset(at, 0, kRecordHeader);
  std::memcpy(at, &length, sizeof length);
  uint8_t* p = at + kRecordHeader;
  if (annexB != size) {
    std::memcpy(p, kStartCode, sizeof kStartCode);
    p += sizeof kStartCode;
  }
  qnv::platform::StreamCopy(p, payload, size);
  const size_t total = RecordBytes(annexB);
  std::memset(at + kRecordHeader + annexB, 0, total - kRecordHeader - annexB);
  return total;
}

void GopStore::KeepParameterSets(const uint8_t* bytes, size_t size, bool sps) {
  if (sps) {
    paramsEnd_ = 0;
    paramsFrames_ = 0;
  }
  if (size == 0 || paramsEnd_ + RecordBytes(AnnexBSize(bytes, size)) > params_.size()) return;
  paramsEnd_ += WriteRecord(params_.data() + paramsEnd_, bytes, size);
  ++paramsFrames_;
}

void GopStore::Append(const uint8_t* payload, size_t size) {
  if (!started_ || truncated_) {
    ++dropped_;
    return;
  }
  const size_t need = RecordBytes(AnnexBSize(payload, size));
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
  arena->Trim(std::max(2 * previousEnd, kMinKeptBytes));
  // Unless the frame brings its own SPS, the stored parameter sets go first.
  const size_t params = nal.sps ? 0 : paramsEnd_;
  const size_t paramFrames = nal.sps ? 0 : paramsFrames_;
  const size_t need = params + RecordBytes(AnnexBSize(payload, size));
  if (need > limits_.maxBytes || paramFrames + 1 > limits_.maxFrames) {
    truncated_ = true;
    ++dropped_;
    return;
  }
  std::memcpy(arena->data(), params_.data(), params);
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
  size_t bytes = params_.size();
  for (const auto& a : arenas_) bytes += a ? a->touched() : 0;
  return bytes;
}

}  // namespace qnvplayer
