// HeadlessPort: a port without a window. Input only stores the frames since
// the last IDR picture (GopStore), so an idle port costs no decoding; a
// capture decodes what it has not decoded yet, on the capturing thread, and
// writes the newest picture. Input, Capture and Close may be called from any
// threads; captures of one port run one at a time.
#ifndef QNVPLAYER_HEADLESSPORT_H
#define QNVPLAYER_HEADLESSPORT_H

#include <condition_variable>
#include <memory>
#include <mutex>

#include "GopStore.h"
#include "H264Decoder.h"
#include "Port.h"

namespace qnvplayer {

class HeadlessPort final : public Port {
 public:
  static constexpr size_t kMaxStoreBytes = 8 * 1024 * 1024;

  HeadlessPort() : store_(kMaxStoreBytes) {}
  HeadlessPort(const HeadlessPort&) = delete;
  HeadlessPort& operator=(const HeadlessPort&) = delete;

  void Input(CodedFramePtr frame) override;
  int Capture(const char* path, std::chrono::milliseconds wait) override;
  void Close() override;
  PortStats Stats() override;

 private:
  // Decodes the stored frames not decoded yet; true when a picture is there.
  // Called with captureMutex_ held.
  bool CatchUp(uint64_t* generation, size_t* size);

  std::mutex mutex_;  // guards store_, closed_, framesIn_
  std::condition_variable arrived_;
  GopStore store_;
  bool closed_ = false;
  uint64_t framesIn_ = 0;

  std::mutex captureMutex_;  // guards the decoder and its position
  std::unique_ptr<H264Decoder> decoder_;
  uint64_t decodedGeneration_ = 0;
  size_t decodedCount_ = 0;
};

}  // namespace qnvplayer

#endif  // QNVPLAYER_HEADLESSPORT_H
