#include "HeadlessPort.h"

#include <utility>

#include "FfmpegPtr.h"
#include "PictureWriter.h"
#include "QNVPlayer.h"

namespace qnv::player {

void HeadlessPort::Input(const uint8_t* payload, size_t size) {
  bool newGeneration;
  {
    std::lock_guard lock(m_mutex);
    if (m_closed) return;
    ++m_framesIn;
    const uint64_t before = m_store.Generation();
    m_store.Add(payload, size);
    newGeneration = m_store.Generation() != before;
  }
  m_arrived.notify_all();
  if (newGeneration && m_decoderHeld.load(std::memory_order_relaxed)) ReleaseIdleDecoder();
}

int64_t HeadlessPort::NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void HeadlessPort::ReleaseIdleDecoder() {
  if (NowMs() - m_lastCaptureMs.load() < m_decoderIdle.count()) return;
  // A capture under way holds the lock: the decoder is not idle then, and
  // frame delivery must not wait for it.
  std::unique_lock capture(m_captureMutex, std::try_to_lock);
  if (!capture.owns_lock() || !m_decoder) return;
  m_picturesFreed += m_decoder->Pictures();
  m_decoder.reset();
  m_decodedGeneration = 0;
  m_decodedEnd = 0;
  m_decoderHeld.store(false);
}

bool HeadlessPort::CatchUp(uint64_t* generation, size_t* frames) {
  GopStore::View view;
  {
    std::lock_guard lock(m_mutex);
    view = m_store.BeginRead();
  }
  *generation = view.generation;
  *frames = view.frames;
  // The store leaves the viewed bytes alone until EndRead, on every path.
  struct EndRead {
    HeadlessPort* port;
    ~EndRead() {
      std::lock_guard lock(port->m_mutex);
      port->m_store.EndRead();
    }
  } endRead{this};
  const size_t from = view.generation == m_decodedGeneration ? m_decodedEnd : 0;
  if (from < view.end) {
    if (!m_decoder) m_decoder = H264Decoder::Create(m_captureThreads.load());
    if (!m_decoder) return false;
    m_decoderHeld.store(true);
    // A new generation begins with its parameter sets and an IDR picture,
    // so the decoder simply carries on with it.
    GopStore::ForEachFrame(view.base, from, view.end,
                           [&](const uint8_t* data, size_t size) { m_decoder->Feed(data, size); });
    m_decodedGeneration = view.generation;
    m_decodedEnd = view.end;
    if (m_decoder->Threads() > 1) {
      m_decoder->Drain();
      m_decodedEnd = 0;  // the drained decoder starts again at the IDR
    } else {
      m_decoder->Flush();
    }
  }
  return m_decoder && m_decoder->Latest() != nullptr;
}

int HeadlessPort::Capture(const char* path, std::chrono::milliseconds wait) {
  if (path == nullptr || path[0] == '\0') return QNVPLAYER_ERR_ARGUMENT;
  const auto deadline = std::chrono::steady_clock::now() + wait;
  FramePtr picture;
  {
    std::lock_guard capture(m_captureMutex);
    for (;;) {
      uint64_t generation;
      size_t frames;
      if (CatchUp(&generation, &frames)) break;
      std::unique_lock lock(m_mutex);
      const bool moved = m_arrived.wait_until(lock, deadline, [&] {
        return m_closed || m_store.Generation() != generation || m_store.Frames() != frames;
      });
      if (m_closed) return QNVPLAYER_ERR_HANDLE;
      if (!moved) return QNVPLAYER_ERR_NO_PICTURE;
    }
    picture.reset(av_frame_clone(m_decoder->Latest()));
    m_lastCaptureMs.store(NowMs());
  }
  if (!picture) return QNVPLAYER_ERR_WRITE;
  return PictureWriter::Write(*picture, path);
}

void HeadlessPort::Close() {
  {
    std::lock_guard lock(m_mutex);
    m_closed = true;
  }
  m_arrived.notify_all();
}

PortStats HeadlessPort::Stats() {
  PortStats s;
  {
    std::lock_guard lock(m_mutex);
    s.framesIn = m_framesIn;
    s.dropped = m_store.Dropped();
  }
  std::lock_guard capture(m_captureMutex);
  s.pictures = m_picturesFreed + (m_decoder ? m_decoder->Pictures() : 0);
  s.decoder = m_decoder != nullptr;
  return s;
}

}  // namespace qnv::player
