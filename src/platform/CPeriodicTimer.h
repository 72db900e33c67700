// CPeriodicTimer: a thread of its own that runs a procedure every period
// until stopped and, when asked, a second procedure a fixed delay after each
// run of the first (within the same period). Owns that thread. Start and
// Stop are called from one host thread at a time (InitLib / UnInitLib); Stop
// must not be called from a procedure. The procedures run on the timer
// thread, one run at a time.
#ifndef QNV_PLATFORM_CPERIODICTIMER_H
#define QNV_PLATFORM_CPERIODICTIMER_H

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/ThreadAnnotations.h"

namespace qnv::platform {

class CPeriodicTimer {
 public:
  using Procedure = void (*)(void* context);

  CPeriodicTimer() = default;
  ~CPeriodicTimer() { Stop(); }
  CPeriodicTimer(const CPeriodicTimer&) = delete;
  CPeriodicTimer& operator=(const CPeriodicTimer&) = delete;

  // Starts the thread; false when it already runs or cannot be created.
  // after, when given and afterMs is below periodMs, runs afterMs after each
  // run of procedure.
  bool Start(uint32_t periodMs, Procedure procedure, void* context, uint32_t afterMs = 0,
             Procedure after = nullptr);
  // Wakes the thread and joins it; a run in progress finishes first.
  void Stop();
  bool IsRunning() const { return m_thread.joinable(); }

 private:
  struct SPlan {
    uint32_t periodMs;
    Procedure procedure;
    void* context;
    uint32_t afterMs;
    Procedure after;
  };
  void Run(SPlan plan);

  CMutex m_mutex;
  std::condition_variable m_wake;
  bool m_stop GUARDED_BY(m_mutex) = false;
  std::thread m_thread;
};

}  // namespace qnv::platform

#endif  // QNV_PLATFORM_CPERIODICTIMER_H
