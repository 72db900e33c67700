// CStallWatch: the one thread that finds stalled channels. Every channel
// given a stall time-out (CChannel::SetStallTimeout) is listed here and
// looked at every kCheckMs: the channel compares its count of delivered
// frames with the last look (nothing per frame beyond that count), and one
// that delivered none for its time-out reports itself (CChannel::CheckStall).
// The thread starts with the first listed channel and sleeps while none is
// listed; a channel leaves the list once it no longer needs looking at.
//
// Owned by the library. Watch from any thread; Stop on the UnInitLib thread.
// Holds the channels weakly, so it keeps none alive.
#ifndef QNV_LIVE_CSTALLWATCH_H
#define QNV_LIVE_CSTALLWATCH_H

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/ThreadAnnotations.h"

namespace qnv {

class CChannel;

class CStallWatch {
 public:
  // A stall is reported between its time-out and twice this later.
  static constexpr uint32_t kCheckMs = 50;

  CStallWatch() = default;
  ~CStallWatch() { Stop(); }
  CStallWatch(const CStallWatch&) = delete;
  CStallWatch& operator=(const CStallWatch&) = delete;

  // Lists the channel (once); false when the thread could not be started.
  bool Watch(const std::shared_ptr<CChannel>& channel);
  // Joins the thread and forgets every channel.
  void Stop();

 private:
  void Run();

  platform::CMutex m_mutex;
  std::condition_variable m_wake;
  std::vector<std::weak_ptr<CChannel>> m_channels GUARDED_BY(m_mutex);
  std::thread m_thread GUARDED_BY(m_mutex);
  bool m_stop GUARDED_BY(m_mutex) = false;
};

}  // namespace qnv

#endif  // QNV_LIVE_CSTALLWATCH_H
