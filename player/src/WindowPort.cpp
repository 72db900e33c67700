#include "WindowPort.h"

#include <utility>

#include "H264Decoder.h"
#include "PictureWriter.h"
#include "QNVPlayer.h"
#include "WindowRenderer.h"

namespace qnvplayer {

WindowPort::WindowPort(Window window) : window_(window), picture_(av_frame_alloc()) {
  if (!picture_) throw std::bad_alloc();
  thread_ = std::thread(&WindowPort::Run, this);
}

WindowPort::~WindowPort() { Close(); }

void WindowPort::Input(const uint8_t* payload, size_t size) {
  CodedFramePtr frame = CodedFrame::FromPayload(payload, size);
  {
    std::lock_guard lock(mutex_);
    if (stop_) return;
    ++framesIn_;
    queue_.Push(std::move(frame));
  }
  wake_.notify_one();
}

void WindowPort::Publish(const AVFrame& picture) {
  {
    std::lock_guard lock(pictureMutex_);
    av_frame_unref(picture_.get());
    hasPicture_ = av_frame_ref(picture_.get(), &picture) == 0;
  }
  pictureReady_.notify_all();
}

void WindowPort::Run() {
  std::unique_ptr<H264Decoder> decoder = H264Decoder::Create(decodeThreads_.load());
  // The display connection is opened here rather than in the host's call,
  // so a slow or absent X server never holds up the host.
  std::unique_ptr<WindowRenderer> renderer = WindowRenderer::Open(window_);
  rendering_.store(renderer != nullptr);
  for (;;) {
    CodedFramePtr frame;
    {
      std::unique_lock lock(mutex_);
      const bool idleWake = renderer != nullptr || (decoder && decoder->Pending());
      if (idleWake) {
        wake_.wait_for(lock, kIdleFlush, [&] { return stop_ || !queue_.Empty(); });
      } else {
        wake_.wait(lock, [&] { return stop_ || !queue_.Empty(); });
      }
      if (stop_) break;
      frame = queue_.Pop();
    }
    if (renderer && !renderer->ProcessEvents()) {
      renderer.reset();
      rendering_.store(false);
    }
    if (!decoder) continue;
    const int pictures = frame ? decoder->Feed(frame->data(), frame->size()) : decoder->Flush();
    if (pictures <= 0) continue;
    pictures_.fetch_add(uint64_t(pictures));
    const AVFrame* latest = decoder->Latest();
    Publish(*latest);
    if (renderer) {
      if (renderer->Draw(*latest)) {
        drawn_.fetch_add(1);
        sharedMemory_.store(renderer->shared());
      } else {
        renderer.reset();
        rendering_.store(false);
      }
    }
  }
  renderer.reset();
  rendering_.store(false);
}

int WindowPort::Capture(const char* path, std::chrono::milliseconds wait) {
  if (path == nullptr || path[0] == '\0') return QNVPLAYER_ERR_ARGUMENT;
  FramePtr picture;
  {
    std::unique_lock lock(pictureMutex_);
    pictureReady_.wait_for(lock, wait, [&] { return closed_ || hasPicture_; });
    if (!hasPicture_) return closed_ ? QNVPLAYER_ERR_HANDLE : QNVPLAYER_ERR_NO_PICTURE;
    picture.reset(av_frame_clone(picture_.get()));
  }
  if (!picture) return QNVPLAYER_ERR_WRITE;
  return PictureWriter::Write(*picture, path);
}

void WindowPort::Close() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  {
    std::lock_guard lock(pictureMutex_);
    closed_ = true;
  }
  pictureReady_.notify_all();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

PortStats WindowPort::Stats() {
  PortStats s;
  {
    std::lock_guard lock(mutex_);
    s.framesIn = framesIn_;
    s.dropped = queue_.Dropped();
  }
  s.pictures = pictures_.load();
  s.drawn = drawn_.load();
  s.windowed = true;
  s.rendering = rendering_.load();
  s.sharedMemory = s.rendering && sharedMemory_.load();
  return s;
}

}  // namespace qnvplayer
