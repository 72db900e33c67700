#include "WindowPort.h"

#include <utility>

#include "H264Decoder.h"
#include "PictureWriter.h"
#include "QNVPlayer.h"
#include "WindowRenderer.h"

namespace qnv::player {

WindowPort::WindowPort(Window window) : m_window(window), m_picture(av_frame_alloc()) {
  if (!m_picture) throw std::bad_alloc();
  m_thread = std::thread(&WindowPort::Run, this);
}

WindowPort::~WindowPort() { Close(); }

void WindowPort::Input(const uint8_t* payload, size_t size) {
  CodedFramePtr frame = CodedFrame::FromPayload(payload, size);
  {
    std::lock_guard lock(m_mutex);
    if (m_stop) return;
    ++m_framesIn;
    m_queue.Push(std::move(frame));
  }
  m_wake.notify_one();
}

void WindowPort::Publish(const AVFrame& picture) {
  {
    std::lock_guard lock(m_pictureMutex);
    av_frame_unref(m_picture.get());
    m_hasPicture = av_frame_ref(m_picture.get(), &picture) == 0;
  }
  m_pictureReady.notify_all();
}

void WindowPort::Run() {
  std::unique_ptr<H264Decoder> decoder = H264Decoder::Create(m_decodeThreads.load());
  // The display connection is opened here rather than in the host's call,
  // so a slow or absent X server never holds up the host.
  std::unique_ptr<WindowRenderer> renderer = WindowRenderer::Open(m_window);
  m_rendering.store(renderer != nullptr);
  for (;;) {
    CodedFramePtr frame;
    {
      std::unique_lock lock(m_mutex);
      const bool idleWake = renderer != nullptr || (decoder && decoder->Pending());
      if (idleWake) {
        m_wake.wait_for(lock, kIdleFlush, [&] { return m_stop || !m_queue.Empty(); });
      } else {
        m_wake.wait(lock, [&] { return m_stop || !m_queue.Empty(); });
      }
      if (m_stop) break;
      frame = m_queue.Pop();
    }
    if (renderer && !renderer->ProcessEvents()) {
      renderer.reset();
      m_rendering.store(false);
    }
    if (!decoder) continue;
    const int pictures = frame ? decoder->Feed(frame->data(), frame->size()) : decoder->Flush();
    if (pictures <= 0) continue;
    m_pictures.fetch_add(uint64_t(pictures));
    const AVFrame* latest = decoder->Latest();
    Publish(*latest);
    if (renderer) {
      if (renderer->Draw(*latest)) {
        m_drawn.fetch_add(1);
        m_sharedMemory.store(renderer->shared());
      } else {
        renderer.reset();
        m_rendering.store(false);
      }
    }
  }
  renderer.reset();
  m_rendering.store(false);
}

int WindowPort::Capture(const char* path, std::chrono::milliseconds wait) {
  if (path == nullptr || path[0] == '\0') return QNVPLAYER_ERR_ARGUMENT;
  FramePtr picture;
  {
    std::unique_lock lock(m_pictureMutex);
    m_pictureReady.wait_for(lock, wait, [&] { return m_closed || m_hasPicture; });
    if (!m_hasPicture) return m_closed ? QNVPLAYER_ERR_HANDLE : QNVPLAYER_ERR_NO_PICTURE;
    picture.reset(av_frame_clone(m_picture.get()));
  }
  if (!picture) return QNVPLAYER_ERR_WRITE;
  return PictureWriter::Write(*picture, path);
}

void WindowPort::Close() {
  {
    std::lock_guard lock(m_mutex);
    m_stop = true;
  }
  m_wake.notify_all();
  {
    std::lock_guard lock(m_pictureMutex);
    m_closed = true;
  }
  m_pictureReady.notify_all();
  if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}

PortStats WindowPort::Stats() {
  PortStats s;
  {
    std::lock_guard lock(m_mutex);
    s.framesIn = m_framesIn;
    s.dropped = m_queue.Dropped();
  }
  s.pictures = m_pictures.load();
  s.drawn = m_drawn.load();
  s.windowed = true;
  s.rendering = m_rendering.load();
  s.sharedMemory = s.rendering && m_sharedMemory.load();
  return s;
}

}  // namespace qnv::player
