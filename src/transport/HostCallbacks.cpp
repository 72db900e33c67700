#include "transport/HostCallbacks.h"

namespace qnv {

namespace {
thread_local QNVNetLoss t_loss{};
// Callbacks this thread is inside (a callback's export may report a loss,
// which calls the disconnect callback again).
thread_local uint32_t t_depth = 0;
}  // namespace

bool CCallbackGate::Enter() {
  platform::CLockGuard lock(m_mutex);
  if (!m_open) return false;
  ++m_inside;
  ++t_depth;
  return true;
}

void CCallbackGate::Leave() {
  --t_depth;
  platform::CLockGuard lock(m_mutex);
  if (--m_inside == 0) m_idle.notify_all();
}

void CCallbackGate::Open() {
  platform::CLockGuard lock(m_mutex);
  m_open = true;
}

void CCallbackGate::Close() {
  platform::CLockGuard lock(m_mutex);
  m_open = false;
}

void CCallbackGate::WaitIdle() {
  platform::CUniqueLock lock(m_mutex);
  m_idle.wait(lock.Native(), [this]() REQUIRES(m_mutex) { return m_inside == 0; });
}

bool CCallbackGate::InsideCallback() { return t_depth != 0; }

CCallbackGate& CallbackGate() {
  static CCallbackGate gate;
  return gate;
}

HostCallbacks& Callbacks() {
  static HostCallbacks callbacks;
  return callbacks;
}

bool CallDisconnect(uint32_t clientId, char* address, uint16_t port, const QNVNetLoss& loss) {
  QNVNetDisconnectCallback cb = Callbacks().disconnect.load();
  if (cb == nullptr) return false;
  CCallbackScope scope;
  if (!scope.Entered()) return false;
  // Restored on every path, also when the host's callback throws.
  struct SRestore {
    QNVNetLoss outer = t_loss;
    ~SRestore() { t_loss = outer; }
  } restore;
  t_loss = loss;
  cb(clientId, address, port, Callbacks().user.load());
  return true;
}

const QNVNetLoss& CurrentLoss() { return t_loss; }

}  // namespace qnv
