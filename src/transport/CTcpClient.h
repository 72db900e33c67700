// CTcpClient: one TCP connection to a device, in one of two modes.
//  - Mode 1 (request/response): no thread; Send, Receive and DrainPending run
//    on the caller's thread, which serialises its own use (the session's call
//    lock). Device messages met there go to onData, whole, on that thread.
//    Abort may come from any other thread.
//  - Mode 2 (streaming): a receive thread reads continuously and hands every
//    block, as it arrived, to onData; the owner may Send and Close meanwhile.
// A broken link is reported through onDisconnect. Owns its socket and thread.
// In mode 2 the owner passes a keepAlive reference at Connect: the receive
// thread holds it, so an owner that Close left running (inside a host
// callback) stays alive until that thread ends.
#ifndef QNV_TRANSPORT_CTCPCLIENT_H
#define QNV_TRANSPORT_CTCPCLIENT_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "transport/CEventThread.h"

namespace qnv {

class CTcpClient {
 public:
  static constexpr int kModeCommand = 1;
  static constexpr int kModeStream = 2;
  static constexpr int32_t kRecvBufferSize = 65536;
  static constexpr int32_t kMaxMessage = 65536;
  static constexpr int kConnectTimeoutMs = 5000;
  static constexpr uint32_t kStopGraceMs = 30;

  using DataNotify = bool (*)(int socket, char* peerAddress, uint16_t peerPort, uint8_t* data,
                              int32_t length, void* userObject);
  using DisconnectNotify = bool (*)(int socket, char* peerAddress, uint16_t peerPort,
                                    void* userObject);
  // Mode 2: where the next read goes and how many bytes fit (at least one),
  // so an owner can take the bytes where it keeps them; onData then receives
  // that area. Null (or no area given) reads into the connection's own buffer.
  using AreaNotify = uint8_t* (*)(void* userObject, int32_t* capacity);

  CTcpClient();
  ~CTcpClient();
  CTcpClient(const CTcpClient&) = delete;
  CTcpClient& operator=(const CTcpClient&) = delete;

  // Connects within 5 s; in mode 2 also starts the receive thread. The
  // notifications are made only while userObject is set (non-null).
  bool Connect(int mode, const char* address, uint16_t port, DataNotify onData,
               DisconnectNotify onDisconnect, void* userObject,
               std::shared_ptr<void> keepAlive = nullptr);
  // Before Connect: the owner's receive area for mode 2 (see AreaNotify).
  void SetAreaNotify(AreaNotify onArea) { m_onArea = onArea; }
  // Sends every byte; on failure calls onDisconnect (once per connection, as
  // every failure below) and returns false. The socket stays as it is (the
  // owner decides).
  bool Send(const void* data, int32_t length);
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
  // Mode 1, from any thread: detaches the notifications and shuts the socket
  // down, so an exchange in progress ends at once. Close still closes it.
  void Abort();
  // One turn of the receive thread: one read, delivered to onData.
  bool ReceiveStream();
  // Detaches the notifications, stops the thread, closes the socket.
  void Close();

  int Socket() const { return m_socket; }
  int Mode() const { return m_mode; }
  char* PeerAddress() { return m_peerAddress; }
  uint16_t PeerPort() const { return m_peerPort; }
  bool IsBroken() const { return m_broken; }

 private:
  static bool StreamRoutine(void* self);
  bool ReadExact(uint8_t* dst, int32_t length, uint64_t deadlineMs, int32_t* failure);
  void ReportDisconnect();
  int32_t ReadFailed(int32_t failure);
  void DeliverDeviceMessage(uint8_t* block, int32_t length);

  int m_socket = -1;
  int m_mode = 0;
  char m_peerAddress[16] = {};
  uint16_t m_peerPort = 0;
  std::atomic<bool> m_broken{false};  // the peer closed or the link failed
  CEventThread m_thread;
  std::atomic<DataNotify> m_onData{nullptr};
  std::atomic<DisconnectNotify> m_onDisconnect{nullptr};
  std::atomic<void*> m_userObject{nullptr};
  AreaNotify m_onArea = nullptr;                  // set before the receive thread starts
  std::atomic<bool> m_disconnectReported{false};  // onDisconnect ran for this connection
  // The socket is closed once: by Close, or (when the receive thread was left
  // running) by the destructor, which runs after that thread let go.
  bool m_closePending = false;
  uint8_t m_recvBuffer[kRecvBufferSize];
};

}  // namespace qnv

#endif  // QNV_TRANSPORT_CTCPCLIENT_H
