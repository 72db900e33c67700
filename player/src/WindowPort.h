// WindowPort: a port with a host window. Input copies each frame into a
// bounded FrameQueue and returns; the port's own thread decodes every frame
// and draws every picture into the window (WindowRenderer). Without a usable
// display or window, or once the window is gone, the thread goes on decoding
// only, so captures keep working. Input, Capture and Close may be called from
// any threads; Close joins the thread.
#ifndef QNVPLAYER_WINDOWPORT_H
#define QNVPLAYER_WINDOWPORT_H

#include <X11/Xlib.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "FfmpegPtr.h"
#include "FrameQueue.h"
#include "Port.h"

namespace qnv::player {

class H264Decoder;

class WindowPort final : public Port {
 public:
  static constexpr FrameQueue::Limits kQueueLimits{100, 4 * 1024 * 1024};
  // With no frame for this long the picture the parser still holds is
  // decoded and drawn, so a stalled stream shows its last picture.
  static constexpr std::chrono::milliseconds kIdleFlush{60};

  // libavcodec frame threads of the ports opened from now on (1: none).
  // For measurements; the default is the one that measured best.
  static void SetDecodeThreads(int threads) { m_decodeThreads.store(threads); }

  // Starts the thread; throws std::system_error when it cannot.
  explicit WindowPort(Window window);
  WindowPort(const WindowPort&) = delete;
  WindowPort& operator=(const WindowPort&) = delete;
  ~WindowPort() override;

  void Input(const uint8_t* payload, size_t size) override;
  int Capture(const char* path, std::chrono::milliseconds wait) override;
  void Close() override;
  PortStats Stats() override;

 private:
  void Run();
  void Publish(const AVFrame& picture);

  static inline std::atomic<int> m_decodeThreads{1};

  const Window m_window;

  std::mutex m_mutex;  // guards m_queue, m_stop, m_framesIn
  std::condition_variable m_wake;
  FrameQueue m_queue{kQueueLimits};
  bool m_stop = false;
  uint64_t m_framesIn = 0;

  std::mutex m_pictureMutex;  // guards m_picture, m_closed
  std::condition_variable m_pictureReady;
  FramePtr m_picture;  // newest decoded picture, shared with captures
  bool m_hasPicture = false;
  bool m_closed = false;

  std::atomic<uint64_t> m_pictures{0};
  std::atomic<uint64_t> m_drawn{0};
  std::atomic<bool> m_rendering{false};
  std::atomic<bool> m_sharedMemory{false};

  std::thread m_thread;  // last: started once everything above exists
};

}  // namespace qnv::player

#endif  // QNVPLAYER_WINDOWPORT_H
