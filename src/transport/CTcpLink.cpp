#include "transport/CTcpLink.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "QNVNetSdk.h"
#include "platform/Clock.h"
#include "platform/Socket.h"

namespace qnv {

using namespace platform;

CTcpLink::~CTcpLink() { CloseSocket(); }

bool CTcpLink::Open(const char* address, uint16_t port) {
  if (m_socket >= 0) return false;
  int fd = SocketCreateTcp();
  if (fd < 0) return false;
  if (!SocketConnect(fd, address, port, kConnectTimeoutMs)) {
    SocketClose(fd);
    return false;
  }
  m_socket = fd;
  m_broken = false;
  m_failureReported.store(false);
  m_failure.Clear();
  std::memset(m_peerAddress, 0, sizeof m_peerAddress);
  // The address was validated as at most 15 characters, so it always ends
  // with a zero byte here.
  std::snprintf(m_peerAddress, sizeof m_peerAddress, "%s", address);
  m_peerPort = port;
  return true;
}

void CTcpLink::Fail(uint32_t reason, int32_t error) {
  m_broken = true;
  ReportOnce(reason, error);
}

void CTcpLink::ReportOnce(uint32_t reason, int32_t error) {
  m_failure.Set(reason, error);
  // Once, however many operations meet the failure (the attach send and the
  // receive thread of a stream may both fail).
  if (!m_failureReported.exchange(true)) ReportFailure();
}

void CTcpLink::CloseSocket() {
  if (m_socket >= 0) SocketClose(m_socket);
  m_socket = -1;
}

bool CTcpLink::Send(const void* data, int32_t length, uint32_t timeoutMs) {
  if (m_socket < 0 || length < 0) return false;
  if (timeoutMs == kNoSendTimeout) {
    if (SocketSendAll(m_socket, data, size_t(length))) return true;
    ReportOnce(QNVNET_LOSS_BROKEN_CONNECTION, errno);
    return false;
  }
  bool timedOut = false;
  if (SocketSendAllBefore(m_socket, data, size_t(length), MonotonicMs() + timeoutMs, &timedOut))
    return true;
  const int32_t error = timedOut ? ETIMEDOUT : errno;
  if (timedOut) {
    m_broken = true;
    SocketShutdown(m_socket);
  }
  ReportOnce(QNVNET_LOSS_BROKEN_CONNECTION, error);
  return false;
}

}  // namespace qnv
