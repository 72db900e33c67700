// CTcpClient: the command connection to a device: request/response, no
// thread of its own. Send, Receive and DrainPending run on the caller's
// thread, which serialises its own use (the session's call lock). Device
// messages met there go to onData, whole, on that thread; a broken link is
// reported through onDisconnect, once. Abort may come from any other thread.
// Owns its socket (see CTcpLink). The stream connection, read by a receive
// thread, is CTcpStream.
#ifndef QNV_TRANSPORT_CTCPCLIENT_H
#define QNV_TRANSPORT_CTCPCLIENT_H

#include <atomic>
#include <cstdint>

#include "transport/CTcpLink.h"

namespace qnv {

class CTcpClient final : public CTcpLink {
 public:
  static constexpr int32_t kRecvBufferSize = 65536;
  static constexpr int32_t kMaxMessage = 65536;

  using DataNotify = bool (*)(int socket, char* peerAddress, uint16_t peerPort, uint8_t* data,
                              int32_t length, void* userObject);
  using DisconnectNotify = bool (*)(int socket, char* peerAddress, uint16_t peerPort,
                                    void* userObject);

  CTcpClient() = default;
  ~CTcpClient() = default;

  // Connects within 5 s. The notifications are made only while userObject is
  // set (non-null).
  bool Connect(const char* address, uint16_t port, DataNotify onData, DisconnectNotify onDisconnect,
               void* userObject);
  // Reads one length-prefixed message into buffer. Returns its length (4 to
  // 65,536), 0 when none valid arrived (time-out, bad prefix, longer than
  // capacity: such a message is consumed whole and dropped), or the 0 or
  // negative result of a failed read (peer closed, or a device message with a
  // block length outside 48..4,096: onDisconnect was called and the socket
  // shut down, its number kept until Close). Device messages that come first
  // are handed to onData and the wait goes on within the same time-out.
  int32_t Receive(void* buffer, int32_t capacity, uint32_t timeoutMs);
  enum class Drained { kEmpty, kPartial, kClosed, kFailed };
  // Without waiting: hands every complete device message pending to onData,
  // drops complete command messages (late replies) and unframed bytes.
  // kPartial: a unit has begun but not all of it is here yet. kClosed: the
  // peer closed (left for the next exchange to meet). kFailed: a device
  // message's block length is out of range; reported as a failed read.
  Drained DrainPending();
  // From any thread: detaches the notifications and shuts the socket down,
  // so an exchange in progress ends at once. Close still closes it.
  void Abort();
  // Detaches the notifications and closes the socket.
  void Close();

 private:
  void ReportFailure() override;
  bool ReadExact(uint8_t* dst, int32_t length, uint64_t deadlineMs, int32_t* failure);
  int32_t ReadFailed(int32_t failure);
  void DeliverDeviceMessage(uint8_t* block, int32_t length);

  std::atomic<DataNotify> m_onData{nullptr};
  std::atomic<DisconnectNotify> m_onDisconnect{nullptr};
  std::atomic<void*> m_userObject{nullptr};
  uint8_t m_recvBuffer[kRecvBufferSize];  // where skipped bytes are read and dropped
};

}  // namespace qnv

#endif  // QNV_TRANSPORT_CTCPCLIENT_H
