// CKeepAliveRunner: runs each keep-alive tick and reports the sessions it
// finds lost. A tick visits every session due a keep-alive on the calling
// thread (the timer) and never waits on a device: each keep-alive is sent
// without waiting for its reply (CClient::KeepAliveTick; the session watcher
// or the session's next call reads the reply) and judged by a later tick, so
// however many devices are silent, every session is visited within the
// tick. A session busy with a
// call is tried once more at the end of the tick, then left for the next one.
// Sessions found lost (a device silent for 3 rounds, a send that failed) go
// to one reporting thread (started with the first loss, joined by Stop),
// which runs the library's report (disconnect callback, then logout) one
// session after another, so a host callback that takes its time holds up no
// keep-alive.
//
// Owned by the library. Start/Stop on the InitLib/UnInitLib thread (shut
// the sessions down before Stop so no report waits on a device); Tick and
// TickAndWait from any thread (the timer; tests and benchmarks), one tick at
// a time.
#ifndef QNV_SDK_CKEEPALIVERUNNER_H
#define QNV_SDK_CKEEPALIVERUNNER_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "device/CClient.h"
#include "platform/ThreadAnnotations.h"

namespace qnv {

class CKeepAliveRunner {
 public:
  // A keep-alive's reply is due within this time; one still unanswered then
  // (and at the next tick) is a silent round.
  static constexpr uint32_t kAnswerMs = 3000;

  // Reports a lost session (on the reporting thread).
  using Report = void (*)(void* context, const std::shared_ptr<CClient>& session);

  CKeepAliveRunner() = default;
  ~CKeepAliveRunner() { Stop(); }
  CKeepAliveRunner(const CKeepAliveRunner&) = delete;
  CKeepAliveRunner& operator=(const CKeepAliveRunner&) = delete;

  bool Start(Report report, void* context);
  // Drops losses not yet reported and joins the reporting thread.
  void Stop();
  // One tick over sessions at time nowMs, on the calling thread: judges the
  // keep-alives out and, with send, sends the next ones. The library sends
  // at every tick and judges again AnswerMs() after it.
  void Tick(const std::vector<std::shared_ptr<CClient>>& sessions, uint64_t nowMs,
            bool send = true);
  // Tick, then waits until every loss found so far has been reported.
  void TickAndWait(const std::vector<std::shared_ptr<CClient>>& sessions, uint64_t nowMs);
  // The answer time of keep-alives (kAnswerMs, or what a test set).
  static uint32_t AnswerMs();
  static void SetAnswerMsForTesting(uint32_t ms);

 private:
  void Queue(const std::shared_ptr<CClient>& session);
  void Work();

  platform::CMutex m_mutex;
  std::condition_variable m_work;
  std::condition_variable m_idle;
  // Losses to report, first in first out over one vector whose capacity is
  // kept; m_head counts the taken ones.
  std::vector<std::shared_ptr<CClient>> m_losses GUARDED_BY(m_mutex);
  size_t m_head GUARDED_BY(m_mutex) = 0;
  bool m_reporting GUARDED_BY(m_mutex) = false;  // the reporting thread is inside a report
  std::thread m_reporter GUARDED_BY(m_mutex);
  bool m_stop GUARDED_BY(m_mutex) = false;
  bool m_running GUARDED_BY(m_mutex) = false;
  // Set by Start under m_mutex before the reporting thread exists, which
  // reads them without it.
  Report m_report = nullptr;
  void* m_context = nullptr;
  platform::CMutex m_tickMutex;  // one tick at a time
  // Sessions a call held, tried again at the end of the tick; reused so a
  // tick allocates nothing.
  std::vector<std::shared_ptr<CClient>> m_busy GUARDED_BY(m_tickMutex);
};

}  // namespace qnv

#endif  // QNV_SDK_CKEEPALIVERUNNER_H
