#include "FrameQueue.h"

#include <utility>

namespace qnvplayer {

bool FrameQueue::Fits(const CodedFrame& f) const {
  return frames_.size() < limits_.maxFrames && bytes_ + f.size() <= limits_.maxBytes;
}

bool FrameQueue::FitsHard(const CodedFrame& f) const {
  return frames_.size() < 2 * limits_.maxFrames && bytes_ + f.size() <= 2 * limits_.maxBytes;
}

void FrameQueue::Enqueue(CodedFramePtr frame) {
  bytes_ += frame->size();
  frames_.push_back(std::move(frame));
}

CodedFramePtr FrameQueue::Pop() {
  if (frames_.empty()) return nullptr;
  CodedFramePtr f = std::move(frames_.front());
  frames_.pop_front();
  bytes_ -= f->size();
  return f;
}

void FrameQueue::DiscardBacklog() {
  // Without an SPS in the backlog, every parameter set in it may still be needed.
  size_t lastSps = 0;
  for (size_t i = frames_.size(); i-- > 0;) {
    if (ParameterSetsOnly(*frames_[i]) && frames_[i]->nal.sps) {
      lastSps = i;
      break;
    }
  }
  std::deque<CodedFramePtr> kept;
  for (size_t i = 0; i < frames_.size(); ++i) {
    if (i >= lastSps && ParameterSetsOnly(*frames_[i])) {
      kept.push_back(std::move(frames_[i]));
    } else {
      ++dropped_;
    }
  }
  frames_ = std::move(kept);
  bytes_ = 0;
  for (const auto& f : frames_) bytes_ += f->size();
}

bool FrameQueue::Push(CodedFramePtr frame) {
  const CodedFrame& f = *frame;
  // Until the first key frame there is nothing to decode from.
  if (!synced_) {
    if (!f.nal.KeyStart()) {
      ++dropped_;
      return false;
    }
    synced_ = true;
  }
  if (ParameterSetsOnly(f)) {
    // A new SPS is a key frame: after an overflow it replaces the backlog.
    if (f.nal.sps && (dropping_ || !Fits(f))) {
      DiscardBacklog();
      dropping_ = false;
    }
    if (!FitsHard(f)) {
      ++dropped_;
      return false;
    }
    Enqueue(std::move(frame));
    return true;
  }
  if (f.nal.KeyStart()) {
    if (dropping_ || !Fits(f)) DiscardBacklog();
    dropping_ = false;
  } else if (dropping_) {
    ++dropped_;
    return false;
  }
  if (!Fits(f)) {
    // Either the queue is full or this one frame is larger than the whole
    // budget: everything up to the next key frame goes.
    dropping_ = true;
    ++dropped_;
    return false;
  }
  Enqueue(std::move(frame));
  return true;
}

}  // namespace qnvplayer
