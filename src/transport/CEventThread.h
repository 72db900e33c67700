// CEventThread: runs one work routine over and over on a thread of its own,
// from Start until asked to stop or until the routine returns false. Owns the
// thread. Start and Stop are called by the owner's thread (Stop may also come
// from the thread itself, through a notification).
//
// There is no forced termination. Stop asks the thread to end, calls the wake
// procedure (the connection shuts its socket down so a blocked read returns)
// and waits the grace period. A thread still busy after that (typically inside
// a host callback) is left to finish on its own: it keeps the object that
// keepAlive names alive until it ends, and it calls the routine no more. Stop
// reached from the thread itself does not wait for itself.
#ifndef QNV_TRANSPORT_CEVENTTHREAD_H
#define QNV_TRANSPORT_CEVENTTHREAD_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/ThreadAnnotations.h"

namespace qnv {

class CEventThread {
 public:
  // One turn of work; false ends the thread.
  using Routine = std::function<bool()>;

  CEventThread() = default;
  ~CEventThread();
  CEventThread(const CEventThread&) = delete;
  CEventThread& operator=(const CEventThread&) = delete;

  // Starts the thread, which calls routine at once and again after every
  // turn. keepAlive, when given, is held by the thread until it ends. False
  // when a thread already runs or cannot be created.
  bool Start(Routine routine, std::shared_ptr<void> keepAlive = nullptr);
  // True from Start until Stop, or until the thread ended by itself.
  bool IsRunning() const;
  // True when called on this object's thread.
  bool IsCurrentThread() const;
  // Asks the thread to end and waits up to timeoutMs. Returns true when the
  // thread has ended and been joined; false when it was left to finish (time
  // out, or a call from the thread itself). Either way, once Stop returns the
  // routine is not called again.
  bool Stop(uint32_t timeoutMs);

 private:
  struct State {
    platform::CMutex mutex;
    std::condition_variable changed;
    Routine routine;                // called by the thread only
    std::atomic<bool> stop{false};  // read after every turn, without the mutex
    bool ended GUARDED_BY(mutex) = false;
  };
  static void ThreadMain(std::shared_ptr<State> state, std::shared_ptr<void> keepAlive);

  std::shared_ptr<State> m_state;
  std::thread m_thread;
  std::thread::id m_threadId;
};

}  // namespace qnv

#endif  // QNV_TRANSPORT_CEVENTTHREAD_H
