#include "transport/CTcpStream.h"

#include <algorithm>
#include <cerrno>

#include "QNVNetSdk.h"
#include "platform/Socket.h"

namespace qnv {

using namespace platform;

CTcpStream::~CTcpStream() {
  // Stops a thread that is still running (the owner normally called Close).
  m_sink.store(nullptr);
  if (m_thread.IsRunning() && !m_thread.IsCurrentThread()) {
    SocketShutdown(m_socket);
    m_thread.Stop(100);
  }
}

bool CTcpStream::Connect(const char* address, uint16_t port, IStreamSink& sink,
                         std::shared_ptr<void> keepAlive) {
  if (!Open(address, port)) return false;
  {
    platform::CLockGuard lock(m_closeMutex);
    m_closeBegun = false;
  }
  m_wakeThreshold = 1;
  m_sink.store(&sink);
  if (!m_thread.Start([this] { return ReceiveOnce(); }, std::move(keepAlive))) {
    Close();
    return false;
  }
  return true;
}

void CTcpStream::ReportFailure() {
  if (IStreamSink* sink = m_sink.load()) sink->Closed();
}

bool CTcpStream::ReceiveOnce() {
  // Every read goes into the sink's area (the connection has no buffer of its
  // own). Without a sink Close has begun, and the thread ends.
  IStreamSink* sink = m_sink.load();
  if (sink == nullptr) return false;
  const SReceiveArea area = sink->ReceiveArea();
  // Waits with poll and then reads without blocking: a blocking recv under a
  // wake threshold would not count bytes already queued when it began, and
  // could leave a complete frame in the socket (see SocketRecvWhenReady).
  const ssize_t n = SocketRecvWhenReady(m_socket, area.data, area.capacity);
  if (n <= 0) {
    // The socket is closed on the owner's side (Close or the destructor), so
    // it is closed exactly once.
    Fail(QNVNET_LOSS_BROKEN_CONNECTION, n < 0 ? errno : 0);
    return false;
  }
  // The sink outlives this thread (keepAlive), so its area is still there even
  // when Close detached it meanwhile.
  if (m_sink.load() == nullptr) return true;
  const uint64_t wanted = sink->Received(uint32_t(n));
  if (wanted == 0) return true;
  // Wake the thread only once what the sink waits for can be complete: a frame
  // arriving in several pieces would otherwise cost a wake-up (some 11 us)
  // per piece, which adds up over 64 channels.
  const uint32_t threshold = uint32_t(std::min<uint64_t>(wanted, kMaxWakeThreshold));
  if (threshold != m_wakeThreshold) {
    m_wakeThreshold = threshold;
    SocketSetReceiveLowWater(m_socket, int(threshold));
  }
  return true;
}

void CTcpStream::Abort() {
  platform::CLockGuard lock(m_closeMutex);
  if (!m_closeBegun && m_socket >= 0) SocketShutdown(m_socket);
}

void CTcpStream::Close() {
  {
    platform::CLockGuard lock(m_closeMutex);
    m_closeBegun = true;
  }
  m_sink.store(nullptr);
  if (m_socket >= 0) SocketShutdown(m_socket);  // a blocked read returns at once
  // Still running (inside a host callback, or this is its own thread): the
  // socket is closed by the destructor once the thread let go.
  if (!m_thread.Stop(kStopGraceMs)) return;
  CloseSocket();
}

}  // namespace qnv
