// CTcpLink: the part both kinds of device connection share: one connected
// TCP socket, the peer's address and port, sending, and the failure report
// made once per connection. Owns the socket (closed by Close or, at the
// latest, by the destructor). The derived connection says how a failure is
// reported (ReportFailure) and which threads may call what.
#ifndef QNV_TRANSPORT_CTCPLINK_H
#define QNV_TRANSPORT_CTCPLINK_H

#include <atomic>
#include <cstdint>

#include "transport/CLossRecord.h"

namespace qnv {

class CTcpLink {
 public:
  static constexpr int kConnectTimeoutMs = 5000;
  static constexpr uint32_t kNoSendTimeout = UINT32_MAX;

  CTcpLink(const CTcpLink&) = delete;
  CTcpLink& operator=(const CTcpLink&) = delete;

  // Sends every byte; on failure reports it (once per connection, as every
  // failure) and returns false. The socket stays as it is (the owner
  // decides). With a time-out, a peer that does not take the bytes within it
  // fails the send the same way, and since part of the message may have gone
  // out the connection is shut down (its number kept until Close).
  bool Send(const void* data, int32_t length, uint32_t timeoutMs = kNoSendTimeout);

  int Socket() const { return m_socket; }
  char* PeerAddress() { return m_peerAddress; }
  uint16_t PeerPort() const { return m_peerPort; }
  bool IsBroken() const { return m_broken; }
  // Why the link failed (a QNVNET_LOSS_* reason; 0 while it has not) and the
  // system's errno that came with it (0 for a close by the peer). Set before
  // the failure is reported, so the report's receiver can read them.
  uint32_t FailureReason() const { return m_failure.Reason(); }
  int32_t FailureError() const { return m_failure.Detail(); }

 protected:
  CTcpLink() = default;
  ~CTcpLink();

  // Connects within 5 s; false (nothing kept) when no socket is connected.
  bool Open(const char* address, uint16_t port);
  // Marks the link failed and reports it, once per connection; the first
  // failure's reason (QNVNET_LOSS_*) and errno are kept.
  void Fail(uint32_t reason, int32_t error);
  // Reports a failure without marking the link failed (a send that failed).
  void ReportOnce(uint32_t reason, int32_t error);
  // Closes the socket, once.
  void CloseSocket();
  // How a failure reaches the owner (called at most once per connection).
  virtual void ReportFailure() = 0;

  int m_socket = -1;
  char m_peerAddress[16] = {};
  uint16_t m_peerPort = 0;
  std::atomic<bool> m_broken{false};  // the peer closed or the link failed

 private:
  std::atomic<bool> m_failureReported{false};
  CLossRecord m_failure;
};

}  // namespace qnv

#endif  // QNV_TRANSPORT_CTCPLINK_H
