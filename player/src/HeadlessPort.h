// HeadlessPort: a port without a window. Input only copies the frame into
// the port's GopStore (no allocation once its pages are warm, no decoding),
// so an idle port costs a copy per frame; a capture decodes, on the
// capturing thread, what it has not decoded yet of the current generation
// and writes the newest picture. The capture decodes outside the lock that
// Input takes, which it holds only to look at the store, so frame delivery
// never waits for decoding. The decoder is made by the first capture and,
// being several pictures large, given back at the first IDR after it has
// gone unused for decoderIdle (the next capture then decodes its generation
// from the start). Input, Capture and Close may be called from any threads;
// captures of one port run one at a time.
#ifndef QNVPLAYER_HEADLESSPORT_H
#define QNVPLAYER_HEADLESSPORT_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "GopStore.h"
#include "H264Decoder.h"
#include "Port.h"

namespace qnv::player {

class HeadlessPort final : public Port {
 public:
  // One generation's bounds: the bytes cover an 8 Mbit/s GOP of 8 s; the
  // frames bound what one capture may have to decode.
  static constexpr GopStore::Limits kStoreLimits{8 * 1024 * 1024, 8192};

  static constexpr std::chrono::milliseconds kDecoderIdle{10000};

  explicit HeadlessPort(std::chrono::milliseconds decoderIdle = kDecoderIdle)
      : m_store(kStoreLimits), m_decoderIdle(decoderIdle) {}
  HeadlessPort(const HeadlessPort&) = delete;
  // libavcodec frame threads a capture decodes with, for ports whose decoder
  // is made from now on (1, the default: incremental decoding on the
  // capturing thread). With more, a capture also waits for the pictures held
  // in the threads, which empties the decoder, so every capture decodes its
  // GOP from the IDR. Any thread.
  static void SetCaptureThreads(int threads) { m_captureThreads.store(threads); }
  HeadlessPort& operator=(const HeadlessPort&) = delete;

  void Input(const uint8_t* payload, size_t size) override;
  int Capture(const char* path, std::chrono::milliseconds wait) override;
  void Close() override;
  PortStats Stats() override;

 private:
  // Decodes the stored frames not decoded yet; true when a picture is there.
  // Called with m_captureMutex held.
  bool CatchUp(uint64_t* generation, size_t* frames);
  // Frees the decoder when no capture has used it for m_decoderIdle and none
  // is under way. Called by Input at an IDR.
  void ReleaseIdleDecoder();
  static int64_t NowMs();

  std::mutex m_mutex;  // guards m_store, m_closed, m_framesIn
  std::condition_variable m_arrived;
  GopStore m_store;
  bool m_closed = false;
  uint64_t m_framesIn = 0;

  static inline std::atomic<int> m_captureThreads{1};
  const std::chrono::milliseconds m_decoderIdle;
  std::atomic<bool> m_decoderHeld{false};
  std::atomic<int64_t> m_lastCaptureMs{0};

  std::mutex m_captureMutex;  // guards the decoder, its position and count
  std::unique_ptr<H264Decoder> m_decoder;
  uint64_t m_picturesFreed = 0;  // pictures of decoders already freed
  uint64_t m_decodedGeneration = 0;
  size_t m_decodedEnd = 0;  // bytes of that generation's records decoded
};

}  // namespace qnv::player

#endif  // QNVPLAYER_HEADLESSPORT_H
