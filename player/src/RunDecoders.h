// RunDecoders: decoding of runs of frames that the caller holds
// (QnvPlayer_CaptureRun), and the decoders kept warm between such calls so
// that the next call of the same caller decodes only the frames that came
// since. A kept decoder costs memory only (about 6 MiB at 720p: its
// reference pictures), never CPU: nothing is fed to it between calls. Each
// is freed once unused for the time its last call asked for, by a thread of
// this class that runs only while decoders are kept, by Release, or by
// Shutdown. Handles are distinct and nonzero.
//
// Any thread. Calls with different decoders run concurrently; calls with the
// same decoder one after another. The registry's mutex is held only to find,
// add or drop a decoder, never while one decodes or an image is written.
#ifndef QNVPLAYER_RUNDECODERS_H
#define QNVPLAYER_RUNDECODERS_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "H264Decoder.h"

namespace qnv::player {

class RunDecoders {
 public:
  static RunDecoders& Instance();
  RunDecoders(const RunDecoders&) = delete;
  RunDecoders& operator=(const RunDecoders&) = delete;
  ~RunDecoders();

  // QnvPlayer_CaptureRun.
  int Capture(uint32_t* decoder, uint32_t keepMs, const uint8_t* records, uint32_t count,
              const uint8_t* data, uint64_t dataLength, const char* path);
  // QnvPlayer_ReleaseDecoder.
  int Release(uint32_t decoder);
  // Frees every kept decoder and stops the thread. Calls under way finish
  // with their decoder, which is then not kept.
  void Shutdown();

  // For tests and measurements: decoders kept now; pictures a kept decoder
  // has decoded so far (0 for an unknown handle).
  size_t Kept();
  uint64_t Pictures(uint32_t decoder);

 private:
  struct Entry {
    std::mutex use;  // one call at a time decodes with it
    std::unique_ptr<H264Decoder> decoder;
    int busy = 0;  // calls holding it (registry mutex)
    std::chrono::steady_clock::time_point expires;
  };

  RunDecoders() = default;
  // Frees decoders unused past their time; runs while any is kept.
  void Expire();

  std::mutex m_mutex;  // guards everything below
  std::condition_variable m_changed;
  std::map<uint32_t, std::shared_ptr<Entry>> m_kept;
  uint32_t m_lastHandle = 0;
  bool m_stopping = false;
  bool m_expiryRunning = false;
  std::thread m_expiry;  // runs Expire while decoders are kept
};

}  // namespace qnv::player

#endif  // QNVPLAYER_RUNDECODERS_H
