// The host's three callbacks and user value, set by QNVNet_SetCallback without
// a lock and read afresh at the moment of each call, from any thread. And the
// one way the disconnect callback is called: with the loss it reports kept
// for the calling thread (QNVNet_GetDisconnectReason) while it runs.
//
// Every call into the host passes the callback gate (CCallbackScope), so
// QNVNet_UnInitLib can close it and wait until no library thread is inside a
// host callback, and a thread can tell whether it is inside one.
#ifndef QNV_TRANSPORT_HOSTCALLBACKS_H
#define QNV_TRANSPORT_HOSTCALLBACKS_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "QNVNetSdk.h"
#include "platform/ThreadAnnotations.h"

namespace qnv {

struct HostCallbacks {
  std::atomic<QNVNetMessageCallback> message{nullptr};
  std::atomic<QNVNetStreamCallback> stream{nullptr};
  std::atomic<QNVNetDisconnectCallback> disconnect{nullptr};
  std::atomic<uint32_t> user{0};
};

HostCallbacks& Callbacks();

// The gate every host callback passes. Any thread. Open while the library
// runs; Close lets no callback begin, WaitIdle then waits for those in
// progress to return.
class CCallbackGate {
 public:
  // False (the callback is skipped) while the gate is closed.
  bool Enter();
  void Leave();
  void Open();
  void Close();
  // Returns once no callback is in progress (the gate closed first, or more
  // may begin meanwhile).
  void WaitIdle();
  // True on a thread that is inside a host callback right now.
  static bool InsideCallback();

 private:
  platform::CMutex m_mutex;
  std::condition_variable m_idle;
  bool m_open GUARDED_BY(m_mutex) = true;
  uint32_t m_inside GUARDED_BY(m_mutex) = 0;
};
CCallbackGate& CallbackGate();

// One passage through the gate: Entered() says whether the callback may run.
class CCallbackScope {
 public:
  CCallbackScope() : m_entered(CallbackGate().Enter()) {}
  ~CCallbackScope() {
    if (m_entered) CallbackGate().Leave();
  }
  CCallbackScope(const CCallbackScope&) = delete;
  CCallbackScope& operator=(const CCallbackScope&) = delete;
  bool Entered() const { return m_entered; }

 private:
  bool m_entered;
};

// Calls the disconnect callback, when one is registered, with loss as this
// thread's current loss for the time of the call (a loss reported from
// inside it, by an export it calls, nests). False when none is registered.
bool CallDisconnect(uint32_t clientId, char* address, uint16_t port, const QNVNetLoss& loss);
// The loss the disconnect callback running on this thread reports; reason
// QNVNET_LOSS_NONE and zeros outside one.
const QNVNetLoss& CurrentLoss();

}  // namespace qnv

#endif  // QNV_TRANSPORT_HOSTCALLBACKS_H
