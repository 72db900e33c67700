// GopStore: what a headless port keeps so that a capture can decode the
// current picture on demand: the frames since the last IDR picture, preceded
// by the parameter sets it needs. A new IDR starts a new generation; the
// store is bounded and drops (and counts) what does not fit, and everything
// after a dropped frame up to the next IDR, since it could not be decoded.
// Not synchronised: the owning port guards it with its own mutex.
#ifndef QNVPLAYER_GOPSTORE_H
#define QNVPLAYER_GOPSTORE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "CodedFrame.h"

namespace qnvplayer {

class GopStore {
 public:
  explicit GopStore(size_t maxBytes) : maxBytes_(maxBytes) {}
  GopStore(const GopStore&) = delete;
  GopStore& operator=(const GopStore&) = delete;

  void Add(CodedFramePtr frame);

  // Bumped at every IDR picture; 0 until the first one.
  uint64_t Generation() const { return generation_; }
  // Frames of the current generation, parameter sets first.
  size_t Size() const { return gop_.size(); }
  size_t Bytes() const { return gopBytes_; }
  // The current generation's frames from index `from` on.
  std::vector<CodedFramePtr> Slice(size_t from) const;
  // Frames thrown away: beyond the bound, or with no IDR to decode from.
  uint64_t Dropped() const { return dropped_; }

 private:
  static constexpr size_t kMaxParameterBytes = 64 * 1024;

  void AddParameterSets(const CodedFramePtr& frame);
  void Append(CodedFramePtr frame);

  size_t maxBytes_;
  std::vector<CodedFramePtr> params_;  // the latest SPS and the PPSs after it
  size_t paramBytes_ = 0;
  std::vector<CodedFramePtr> gop_;
  size_t gopBytes_ = 0;
  bool truncated_ = false;  // a frame of this generation was dropped
  uint64_t generation_ = 0;
  uint64_t dropped_ = 0;
};

}  // namespace qnvplayer

#endif  // QNVPLAYER_GOPSTORE_H
