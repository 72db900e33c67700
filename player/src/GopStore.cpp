#include "GopStore.h"

#include <utility>

namespace qnvplayer {

void GopStore::AddParameterSets(const CodedFramePtr& frame) {
  if (frame->nal.sps) {
    params_.clear();
    paramBytes_ = 0;
  }
  if (paramBytes_ + frame->size() > kMaxParameterBytes) return;
  paramBytes_ += frame->size();
  params_.push_back(frame);
}

void GopStore::Append(CodedFramePtr frame) {
  if (gop_.empty() || truncated_) {
    ++dropped_;
    return;
  }
  if (gopBytes_ + frame->size() > maxBytes_) {
    truncated_ = true;
    ++dropped_;
    return;
  }
  gopBytes_ += frame->size();
  gop_.push_back(std::move(frame));
}

void GopStore::Add(CodedFramePtr frame) {
  const bool paramSets = frame->nal.ParameterSets();
  if (paramSets) AddParameterSets(frame);
  if (!frame->nal.idr) {
    // Parameter sets also go into the running generation, in stream order,
    // since later pictures of it may refer to them. Before the first IDR
    // they are kept for it, so nothing is lost.
    if (paramSets && gop_.empty()) return;
    Append(std::move(frame));
    return;
  }
  // A new generation: the parameter sets, then the IDR picture (unless the
  // frame carried both and is already the last parameter-set entry).
  ++generation_;
  truncated_ = false;
  gop_.clear();
  gopBytes_ = 0;
  for (const auto& p : params_) {
    if (p != frame) {
      gop_.push_back(p);
      gopBytes_ += p->size();
    }
  }
  if (gopBytes_ + frame->size() > maxBytes_) {
    gop_.clear();
    gopBytes_ = 0;
    ++dropped_;
    return;
  }
  gopBytes_ += frame->size();
  gop_.push_back(std::move(frame));
}

std::vector<CodedFramePtr> GopStore::Slice(size_t from) const {
  if (from >= gop_.size()) return {};
  return std::vector<CodedFramePtr>(gop_.begin() + long(from), gop_.end());
}

}  // namespace qnvplayer
