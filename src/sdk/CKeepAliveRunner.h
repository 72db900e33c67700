// CKeepAliveRunner: sends the keep-alives of each tick on a small pool of
// worker threads (started with the first keep-alives, grown while every
// worker is busy, at most 16, joined by Stop), so a device
// that does not answer holds up one worker for its own time-out and nothing
// else. Two lanes: sessions whose last keep-alive was answered go first; those
// that went unanswered wait in a slow lane that may never take the last two
// workers, so answering devices keep theirs even when many are silent. A
// session has at most one keep-alive queued or running.
//
// Owned by the library. Start/Stop on the InitLib/UnInitLib thread (Stop joins
// the workers; shut the sessions down first so none waits out a time-out);
// Post and PostAndWait from any thread (the tick, tests, benchmarks).
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

namespace qnv {

class CKeepAliveRunner {
 public:
  static constexpr size_t kMaxWorkers = 16;
  static constexpr size_t kFastReserve = 2;
  // How long a keep-alive waits for a call in progress on its session.
  static constexpr uint32_t kBusyWaitMs = 1000;

  // Runs on the worker after each keep-alive (the library reports a loss).
  using Done = void (*)(void* context, const std::shared_ptr<CClient>& session);

  CKeepAliveRunner() = default;
  ~CKeepAliveRunner() { Stop(); }
  CKeepAliveRunner(const CKeepAliveRunner&) = delete;
  CKeepAliveRunner& operator=(const CKeepAliveRunner&) = delete;

  bool Start(Done done, void* context);
  // Drops queued keep-alives and joins the workers.
  void Stop();
  // Queues one keep-alive per session that is not already queued or running.
  void Post(const std::vector<std::shared_ptr<CClient>>& sessions);
  // Post, then waits until every keep-alive posted so far has run.
  void PostAndWait(const std::vector<std::shared_ptr<CClient>>& sessions);

 private:
  // A first-in first-out queue over one vector whose capacity is kept, so a
  // tick that queues as many sessions as the last one allocates nothing.
  class CQueue {
   public:
    bool Empty() const { return m_head == m_items.size(); }
    size_t Size() const { return m_items.size() - m_head; }
    void Push(const std::shared_ptr<CClient>& session);
    std::shared_ptr<CClient> Pop();
    // Clears the queued flag of each session and drops them all.
    void Drop();

   private:
    std::vector<std::shared_ptr<CClient>> m_items;
    size_t m_head = 0;  // m_items before it were taken
  };

  void Work();
  bool StartWorker();  // m_mutex held

  std::mutex m_mutex;  // guards everything below
  std::condition_variable m_work;
  std::condition_variable m_idle;
  CQueue m_fast;
  CQueue m_slow;
  std::vector<std::thread> m_workers;
  size_t m_busy = 0;
  size_t m_busySlow = 0;
  bool m_stop = false;
  bool m_running = false;
  Done m_done = nullptr;
  void* m_context = nullptr;
};

}  // namespace qnv

#endif  // QNV_SDK_CKEEPALIVERUNNER_H
