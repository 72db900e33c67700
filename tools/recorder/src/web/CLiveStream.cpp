#include "web/CLiveStream.h"

#include <cstring>
#include <utility>

#include "QNVNetSdk.h"
#include "base/FramePayload.h"
#include "base/Log.h"

namespace qnvrecorder {
namespace {

using FrameHeader = QNVNetFrameHeader;

// Gaps in capture time beyond this are not a picture's duration.
constexpr int64_t kMaxIntervalUs = 1000000;

}  // namespace

CLiveStream::CLiveStream(std::string name)
    : name_(std::move(name)), builder_([this](qnvrec::SAccessUnit& unit) {
        OnPicture(unit);
        return true;
      }) {}

CLiveStream::~CLiveStream() = default;

void CLiveStream::Push(const uint8_t* frame, size_t length) {
  FrameHeader header;
  const uint8_t* data = nullptr;
  size_t payload = 0;
  if (!FramePayload(frame, length, header, data, payload)) return;
  bytesIn_.fetch_add(payload, std::memory_order_relaxed);
  const std::vector<qnvrec::SNalRef> nals = qnvrec::SplitAnnexB(data, payload);
  bool notify = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    nextStampUs_ = header.CaptureTime();
    for (const qnvrec::SNalRef& nal : nals) {
      if (nal.Type() == qnvrec::kNalSps) sps_.assign(nal.data, nal.data + nal.size);
      if (nal.Type() == qnvrec::kNalPps) pps_.assign(nal.data, nal.data + nal.size);
      builder_.Add(nal, header.Counter(), header.CaptureTime());
    }
    notify = notifyDue_;
    notifyDue_ = false;
  }
  if (notify && notify_) notify_();
}

void CLiveStream::ResetHeld() {
  held_.clear();
  heldBytes_ = 0;
  fragments_.clear();
}

void CLiveStream::SetDown() {
  std::lock_guard<std::mutex> lock(mutex_);
  builder_.Finish();
  ResetHeld();
  muxer_.reset();
  init_.reset();
  for (auto& [id, v] : viewers_) v.needInit = true;
}

bool CLiveStream::StartMuxer() {
  if (sps_.empty() || pps_.empty() || held_.empty()) return false;
  auto muxer = std::make_unique<CFmp4Muxer>();
  std::string init, error;
  if (!muxer->Begin({sps_.data(), sps_.size()}, {pps_.data(), pps_.size()}, init, error)) {
    LOG_WARN("web %s: cannot show the live picture: %s", name_.c_str(), error.c_str());
    return false;
  }
  muxer_ = std::move(muxer);
  muxerSps_ = sps_;
  muxerPps_ = pps_;
  muxerBaseUs_ = held_.front().stampUs;
  init_ = std::make_shared<const std::string>(std::move(init));
  fragments_.clear();
  for (size_t i = 0; i < held_.size(); ++i) {
    const int64_t t = static_cast<int64_t>(held_[i].stampUs - muxerBaseUs_);
    const int64_t next = i + 1 < held_.size()
                             ? static_cast<int64_t>(held_[i + 1].stampUs - muxerBaseUs_)
                             : t + lastIntervalUs_;
    std::string fragment;
    if (!muxer_->Write(held_[i], t, next > t ? next - t : lastIntervalUs_, fragment, error)) {
      LOG_WARN("web %s: %s", name_.c_str(), error.c_str());
      muxer_.reset();
      init_.reset();
      fragments_.clear();
      return false;
    }
    fragments_.push_back(std::make_shared<const std::string>(std::move(fragment)));
  }
  return true;
}

void CLiveStream::Enqueue(SViewer& viewer, const Chunk& chunk) {
  if (viewer.queue.empty()) notifyDue_ = true;
  viewer.queue.push_back(chunk);
  viewer.queuedBytes += chunk->size();
}

void CLiveStream::Deliver(SViewer& viewer, const Chunk& chunk, bool key) {
  if (viewer.needInit) {
    if (!key || !init_) return;
    viewer.needInit = false;
    viewer.waitKey = false;
    viewer.baseUs = muxerBaseUs_;
    Enqueue(viewer, init_);
  }
  const uint64_t unconfirmed = viewer.takenBytes - viewer.ackedBytes + viewer.queuedBytes;
  if (!viewer.waitKey && unconfirmed + chunk->size() > kMaxBacklog) {
    LOG_WARN("web %s: a viewer is too slow; skipping to the next key picture", name_.c_str());
    viewer.waitKey = true;
  }
  if (viewer.waitKey) {
    if (!key || unconfirmed + chunk->size() > kMaxBacklog) return;
    viewer.waitKey = false;
  }
  Enqueue(viewer, chunk);
}

void CLiveStream::OnPicture(qnvrec::SAccessUnit& unit) {
  if (unit.key) {
    ResetHeld();
    if (muxer_ && (sps_ != muxerSps_ || pps_ != muxerPps_)) {
      // New parameter sets (another picture size): a new stream for everyone.
      muxer_.reset();
      init_.reset();
      for (auto& [id, v] : viewers_) v.needInit = true;
    }
  }
  if (held_.empty() && !unit.key) return;  // no start point yet
  int64_t interval = static_cast<int64_t>(nextStampUs_ - unit.stampUs);
  if (interval > 0 && interval < kMaxIntervalUs) lastIntervalUs_ = interval;
  if (heldBytes_ + unit.annexB.size() > kMaxHeldBytes) {
    ResetHeld();
    return;
  }
  heldBytes_ += unit.annexB.size();
  held_.push_back(std::move(unit));
  if (viewers_.empty()) return;
  if (!muxer_) {
    if (!StartMuxer()) return;
    // The muxer's first stretch is this picture alone (it is a key one):
    // every viewer waiting starts here.
    for (auto& [id, v] : viewers_) Deliver(v, fragments_.back(), true);
    return;
  }
  const qnvrec::SAccessUnit& last = held_.back();
  std::string fragment, error;
  const int64_t t = static_cast<int64_t>(last.stampUs - muxerBaseUs_);
  if (!muxer_->Write(last, t, lastIntervalUs_, fragment, error)) {
    LOG_WARN("web %s: %s", name_.c_str(), error.c_str());
    return;
  }
  Chunk chunk = std::make_shared<const std::string>(std::move(fragment));
  fragments_.push_back(chunk);
  for (auto& [id, v] : viewers_) Deliver(v, chunk, last.key);
}

uint64_t CLiveStream::AddViewer() {
  std::lock_guard<std::mutex> lock(mutex_);
  const uint64_t id = nextViewer_++;
  SViewer& v = viewers_[id];
  v.lastProgress = Clock::now();
  if (!muxer_) StartMuxer();
  if (muxer_ && init_) {
    v.needInit = false;
    v.baseUs = muxerBaseUs_;
    Enqueue(v, init_);
    for (const Chunk& c : fragments_) Enqueue(v, c);
  }
  notifyDue_ = false;  // the caller takes at once
  return id;
}

void CLiveStream::RemoveViewer(uint64_t viewer) {
  std::lock_guard<std::mutex> lock(mutex_);
  viewers_.erase(viewer);
  if (viewers_.empty()) {
    muxer_.reset();
    init_.reset();
    fragments_.clear();
  }
}

bool CLiveStream::Take(uint64_t viewer, std::vector<Chunk>& chunks, Clock::time_point now,
                       uint64_t& baseUs) {
  baseUs = 0;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = viewers_.find(viewer);
  if (it == viewers_.end()) return false;
  SViewer& v = it->second;
  if (v.takenBytes > v.ackedBytes && now - v.lastProgress > kStallCutOff) return false;
  if (v.takenBytes == v.ackedBytes) v.lastProgress = now;
  baseUs = std::exchange(v.baseUs, 0);
  for (Chunk& c : v.queue) chunks.push_back(std::move(c));
  v.queue.clear();
  v.takenBytes += v.queuedBytes;
  v.queuedBytes = 0;
  return true;
}

void CLiveStream::Ack(uint64_t viewer, uint64_t bytes, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = viewers_.find(viewer);
  if (it == viewers_.end()) return;
  SViewer& v = it->second;
  if (bytes > v.ackedBytes && bytes <= v.takenBytes) {
    v.ackedBytes = bytes;
    v.lastProgress = now;
  }
}

size_t CLiveStream::ViewerCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return viewers_.size();
}

std::string CLiveStream::MimeType() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return muxer_ ? muxer_->MimeType() : "";
}

}  // namespace qnvrecorder
