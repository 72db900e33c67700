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

namespace qnvplayer {

class H264Decoder;

class WindowPort final : public Port {
 public:
  static constexpr FrameQueue::Limits kQueueLimits{100, 4 * 1024 * 1024};
  // With no frame for this long the picture the parser still holds is
  // decoded and drawn, so a stalled stream shows its last picture.
  static constexpr std::chrono::milliseconds kIdleFlush{60};

  // libavcodec frame threads of the ports opened from now on (1: none).
  // For measurements; the default is the one that measured best.
  static void SetDecodeThreads(int threads) { decodeThreads_.store(threads); }

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

  static inline std::atomic<int> decodeThreads_{1};

  const Window window_;

  std::mutex mutex_;  // guards queue_, stop_, framesIn_
  std::condition_variable wake_;
  FrameQueue queue_{kQueueLimits};
  bool stop_ = false;
  uint64_t framesIn_ = 0;

  std::mutex pictureMutex_;  // guards picture_, closed_
  std::condition_variable pictureReady_;
  FramePtr picture_;  // newest decoded picture, shared with captures
  bool hasPicture_ = false;
  bool closed_ = false;

  std::atomic<uint64_t> pictures_{0};
  std::atomic<uint64_t> drawn_{0};
  std::atomic<bool> rendering_{false};
  std::atomic<bool> sharedMemory_{false};

  std::thread thread_;  // last: started once everything above exists
};

}  // namespace qnvplayer

#endif  // QNVPLAYER_WINDOWPORT_H
