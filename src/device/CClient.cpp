#include "device/CClient.h"

#include <cstdio>
#include <cstring>

#include "QNVNetSdk.h"
#include "platform/ByteOrder.h"
#include "platform/FailureNote.h"
#include "platform/Socket.h"
#include "transport/CommandMessage.h"
#include "transport/CommandTransaction.h"
#include "transport/HostCallbacks.h"

namespace qnv {

namespace {
constexpr uint16_t kCodeLogin = 1;
constexpr uint16_t kCodeKeepAlive = 1;
constexpr uint16_t kCodeOpenStream = 1;
// The devices answer a login with a wrong user name or password with result 1.
constexpr uint32_t kResultBadCredentials = 1;
// The device-message block that OnMessage recognises.
constexpr size_t kDeviceMessageMin = 48;
constexpr uint8_t kDeviceMessageTag[8] = {0x56, 0x76, 0x45, 0x65, 0x4D, 0x6D, 0x53, 0x73};
}  // namespace

void CClient::BuildLoginPayload(uint8_t* payload, const char* user, const char* password) {
  std::memset(payload, 0, kLoginPayloadSize);
  if (user) std::memcpy(payload, user, strnlen(user, kNameField));
  if (password) std::memcpy(payload + kNameField, password, strnlen(password, kNameField));
}

uint32_t CClient::Login(const char* address, uint16_t port, const char* user,
                        const char* password) {
  if (!platform::ParseIPv4(address, nullptr)) {
    platform::NoteFailure(platform::FailureKind::kBadAddress, 0,
                          "\"%.40s\" is not a dotted IPv4 address", address ? address : "(null)");
    return QNVNET_ERR_NO_SESSION;
  }
  if (!m_command.Connect(CTcpClient::kModeCommand, address, port, &CClient::OnMessage,
                         &CClient::OnDisconnect, this))
    return QNVNET_ERR_NO_SESSION;
  uint8_t payload[kLoginPayloadSize];
  BuildLoginPayload(payload, user, password);
  uint8_t reply[kReplyCapacity] = {};
  int32_t replyLength = kReplyCapacity;
  uint32_t rc = Transact(kClassLogin, kCodeLogin, payload, int32_t(sizeof payload), reply,
                         &replyLength, kCommandTimeoutMs);
  if (rc == kResultBadCredentials) {
    platform::ClearFailure();
    platform::NoteFailure(platform::FailureKind::kBadCredentials, int32_t(rc),
                          "the device refused the user name or password (result %u)", rc);
  }
  if (rc != 0) return rc;
  m_devicePort = port;
  std::memset(m_deviceAddress, 0, sizeof m_deviceAddress);
  std::snprintf(m_deviceAddress, sizeof m_deviceAddress, "%s", address);
  return 0;
}

uint32_t CClient::KeepAlive() {
  uint8_t reply[kReplyCapacity] = {};
  int32_t replyLength = kReplyCapacity;
  return Transact(kClassSystem, kCodeKeepAlive, nullptr, 0, reply, &replyLength, kCommandTimeoutMs);
}

void CClient::Logout() {
  m_command.Close();
  m_clientId = 0;
  m_sessionId = 0;
  m_logoutPending = false;
}

uint32_t CClient::Transact(uint32_t commandClass, uint32_t commandCode, const void* payload,
                           int32_t payloadLength, void* out, int32_t* outLength,
                           uint32_t timeoutMs) {
  return qnv::Transact(m_command, m_sessionId, commandClass, commandCode, payload, payloadLength,
                       out, outLength, timeoutMs);
}

uint32_t CClient::GetCommand(uint32_t commandClass, uint32_t commandCode, void* out,
                             int32_t& length) {
  return qnv::GetCommand(m_command, m_sessionId, commandClass, commandCode, out, length);
}

uint32_t CClient::SetCommand(uint32_t commandClass, uint32_t commandCode, const void* payload,
                             int32_t length) {
  return qnv::SetCommand(m_command, m_sessionId, commandClass, commandCode, payload, length);
}

uint32_t CClient::OpenStream(uint32_t& streamId) {
  uint8_t reply[kReplyCapacity] = {};
  int32_t replyLength = kReplyCapacity;
  uint32_t rc =
      Transact(kClassLive, kCodeOpenStream, nullptr, 0, reply, &replyLength, kCommandTimeoutMs);
  if (rc != 0) return rc;
  // A reply without payload leaves the cleared area, so the stream id is 0.
  streamId = LoadLe32(reply);
  return 0;
}

uint32_t CClient::StreamRequest(uint16_t code, uint32_t streamId) {
  uint8_t payload[4];
  StoreLe32(payload, streamId);
  uint8_t reply[kReplyCapacity] = {};
  int32_t replyLength = kReplyCapacity;
  return Transact(kClassLive, code, payload, int32_t(sizeof payload), reply, &replyLength,
                  kCommandTimeoutMs);
}

bool CClient::OnMessage(int socket, char* peerAddress, uint16_t peerPort, uint8_t* data,
                        int32_t length, void* self) {
  // A request/response connection delivers no unsolicited data, so this is
  // never reached today; it stays ready for a device-message path.
  if (length < int32_t(kDeviceMessageMin)) return true;
  if (std::memcmp(data, kDeviceMessageTag, sizeof kDeviceMessageTag) != 0) return false;
  if (QNVNetMessageCallback cb = Callbacks().message.load())
    cb(uint32_t(socket), peerAddress, peerPort, 0, reinterpret_cast<char*>(data + 8), length - 8,
       Callbacks().user.load());
  return true;
}

bool CClient::OnDisconnect(int socket, char* peerAddress, uint16_t peerPort, void* self) {
  auto* client = static_cast<CClient*>(self);
  // Client id 0 is a login still in progress: it names no session, so the
  // host hears nothing and the login simply fails.
  if (client == nullptr || client->m_clientId == 0) return false;
  // Reported once: an export that the callback runs on this session fails
  // again and must not call back into the host a second time.
  if (client->m_logoutPending) return false;
  if (QNVNetDisconnectCallback cb = Callbacks().disconnect.load()) {
    client->m_logoutPending = true;
    cb(client->m_clientId, peerAddress, peerPort, Callbacks().user.load());
  }
  return false;
}

}  // namespace qnv
