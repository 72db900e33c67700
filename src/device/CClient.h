// CClient: one logged-in device session. Owns its command connection (a
// request/response CTcpClient) and carries the client id by which the host
// names it and the session id the device assigned at login. Every operation
// runs on a host thread (or the keep-alive thread) holding the library-wide
// lock, so a session runs one transaction at a time; it has no lock or thread
// of its own. The session registry owns it; channels refer to it by client id.
#ifndef QNV_DEVICE_CCLIENT_H
#define QNV_DEVICE_CCLIENT_H

#include <cstdint>

#include "transport/CTcpClient.h"

namespace qnv {

class CClient {
 public:
  static constexpr size_t kNameField = 16;
  static constexpr size_t kLoginPayloadSize = 32;
  static constexpr int32_t kReplyCapacity = 1024;

  CClient() = default;
  ~CClient() = default;
  CClient(const CClient&) = delete;
  CClient& operator=(const CClient&) = delete;

  // Connects and logs in. Returns 0, -30 (bad address text, no connection),
  // or the login transaction's code. Nothing is sent for a bad address.
  uint32_t Login(const char* address, uint16_t port, const char* user, const char* password);
  // The socket number of the command connection.
  uint32_t GetClientId() const { return uint32_t(m_command.Socket()); }
  uint32_t KeepAlive();
  // Closes the command connection (sending nothing) and clears the ids. The
  // caller has already closed the session's channels.
  void Logout();

  // Transactions on the command connection, carrying the session id.
  uint32_t Transact(uint32_t commandClass, uint32_t commandCode, const void* payload,
                    int32_t payloadLength, void* out, int32_t* outLength, uint32_t timeoutMs);
  uint32_t GetCommand(uint32_t commandClass, uint32_t commandCode, void* out, int32_t& length);
  uint32_t SetCommand(uint32_t commandClass, uint32_t commandCode, const void* payload,
                      int32_t length);

  // Live-stream requests of this session.
  uint32_t OpenStream(uint32_t& streamId);
  uint32_t StreamRequest(uint16_t code, uint32_t streamId);  // close, pause, play

  void SetClientId(uint32_t id) { m_clientId = id; }
  uint32_t ClientId() const { return m_clientId; }
  uint32_t SessionId() const { return m_sessionId; }
  const char* DeviceAddress() const { return m_deviceAddress; }
  uint16_t DevicePort() const { return m_devicePort; }
  // Set when the command connection failed while a disconnect callback was
  // registered: the session is to be logged out once the failing operation
  // has returned.
  bool LogoutPending() const { return m_logoutPending; }

  // Builds the 32-byte login payload: two zero-padded 16-byte fields; a text
  // of 16 characters or more is cut and has no terminating zero.
  static void BuildLoginPayload(uint8_t* payload, const char* user, const char* password);

 private:
  static bool OnMessage(int socket, char* peerAddress, uint16_t peerPort, uint8_t* data,
                        int32_t length, void* self);
  static bool OnDisconnect(int socket, char* peerAddress, uint16_t peerPort, void* self);

  char m_deviceAddress[16] = {};
  uint16_t m_devicePort = 0;
  uint32_t m_clientId = 0;
  uint32_t m_sessionId = 0;
  bool m_logoutPending = false;
  CTcpClient m_command;
};

}  // namespace qnv

#endif  // QNV_DEVICE_CCLIENT_H
