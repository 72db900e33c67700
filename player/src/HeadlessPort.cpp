#include "HeadlessPort.h"

#include <utility>

#include "FfmpegPtr.h"
#include "PictureWriter.h"
#include "QNVPlayer.h"

namespace qnvplayer {

void HeadlessPort::Input(const uint8_t* payload, size_t size) {
  bool newGeneration;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    ++framesIn_;
    const uint64_t before = store_.Generation();
    store_.Add(payload, size);
    newGeneration = store_.Generation() != before;
  }
  arrived_.notify_all();
  if (newGeneration && decoderHeld_.load(std::memory_order_relaxed)) ReleaseIdleDecoder();
}

int64_t HeadlessPort::NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void HeadlessPort::ReleaseIdleDecoder() {
  if (NowMs() - lastCaptureMs_.load() < decoderIdle_.count()) return;
  // A capture under way holds the lock: the decoder is not idle then, and
  // frame delivery must not wait for it.
  std::unique_lock capture(captureMutex_, std::try_to_lock);
  if (!capture.owns_lock() || !decoder_) return;
  picturesFreed_ += decoder_->Pictures();
  decoder_.reset();
  decodedGeneration_ = 0;
  decodedEnd_ = 0;
  decoderHeld_.store(false);
}

bool HeadlessPort::CatchUp(uint64_t* generation, size_t* frames) {
  GopStore::View view;
  {
    std::lock_guard lock(mutex_);
    view = store_.BeginRead();
  }
  *generation = view.generation;
  *frames = view.frames;
  // The store leaves the viewed bytes alone until EndRead, on every path.
  struct EndRead {
    HeadlessPort* port;
    ~EndRead() {
      std::lock_guard lock(port->mutex_);
      port->store_.EndRead();
    }
  } endRead{this};
  const size_t from = view.generation == decodedGeneration_ ? decodedEnd_ : 0;
  if (from < view.end) {
    if (!decoder_) decoder_ = H264Decoder::Create(captureThreads_.load());
    if (!decoder_) return false;
    decoderHeld_.store(true);
    // A new generation begins with its parameter sets and an IDR picture,
    // so the decoder simply carries on with it.
    GopStore::ForEachFrame(view.base, from, view.end,
                           [&](const uint8_t* data, size_t size) { decoder_->Feed(data, size); });
    decodedGeneration_ = view.generation;
    decodedEnd_ = view.end;
    if (decoder_->Threads() > 1) {
      decoder_->Drain();
      decodedEnd_ = 0;  // the drained decoder starts again at the IDR
    } else {
      decoder_->Flush();
    }
  }
  return decoder_ && decoder_->Latest() != nullptr;
}

int HeadlessPort::Capture(const char* path, std::chrono::milliseconds wait) {
  if (path == nullptr || path[0] == '\0') return QNVPLAYER_ERR_ARGUMENT;
  const auto deadline = std::chrono::steady_clock::now() + wait;
  FramePtr picture;
  {
    std::lock_guard capture(captureMutex_);
    for (;;) {
      uint64_t generation;
      size_t frames;
      if (CatchUp(&generation, &frames)) break;
      std::unique_lock lock(mutex_);
      const bool moved = arrived_.wait_until(lock, deadline, [&] {
        return closed_ || store_.Generation() != generation || store_.Frames() != frames;
      });
      if (closed_) return QNVPLAYER_ERR_HANDLE;
      if (!moved) return QNVPLAYER_ERR_NO_PICTURE;
    }
    picture.reset(av_frame_clone(decoder_->Latest()));
    lastCaptureMs_.store(NowMs());
  }
  if (!picture) return QNVPLAYER_ERR_WRITE;
  return PictureWriter::Write(*picture, path);
}

void HeadlessPort::Close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  arrived_.notify_all();
}

PortStats HeadlessPort::Stats() {
  PortStats s;
  {
    std::lock_guard lock(mutex_);
    s.framesIn = framesIn_;
    s.dropped = store_.Dropped();
  }
  std::lock_guard capture(captureMutex_);
  s.pictures = picturesFreed_ + (decoder_ ? decoder_->Pictures() : 0);
  s.decoder = decoder_ != nullptr;
  return s;
}

}  // namespace qnvplayer
