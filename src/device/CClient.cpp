#include "device/CClient.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "QNVNetSdk.h"
#include "device/CSessionWatcher.h"
#include "platform/ByteOrder.h"
#include "platform/Clock.h"
#include "platform/FailureNote.h"
#include "platform/Socket.h"
#include "protocol/CommandMessage.h"
#include "protocol/Commands.h"
#include "transport/CommandTransaction.h"

namespace qnv {

using namespace protocol;

void CClient::BuildLoginPayload(uint8_t* payload, const char* user, const char* password) {
  std::memset(payload, 0, kLoginPayloadSize);
  if (user) std::memcpy(payload + kLoginUserOffset, user, strnlen(user, kLoginNameField));
  if (password)
    std::memcpy(payload + kLoginPasswordOffset, password, strnlen(password, kLoginNameField));
}

uint32_t CClient::Login(const char* address, uint16_t port, const char* user,
                        const char* password) {
  if (!platform::ParseIPv4(address, nullptr)) {
    platform::NoteFailure(platform::FailureKind::kBadAddress, 0,
                          "\"%.40s\" is not a dotted IPv4 address", address ? address : "(null)");
    return QNVNET_ERR_NO_SESSION;
  }
  if (!m_command.Connect(address, port, this)) return QNVNET_ERR_NO_SESSION;
  uint8_t payload[kLoginPayloadSize];
  BuildLoginPayload(payload, user, password);
  uint8_t reply[kReplyCapacity] = {};
  int32_t replyLength = kReplyCapacity;
  // The session is nobody else's yet: the lock is never waited for, and it
  // is the one every exchange runs under.
  platform::CLockGuard call(m_callLock);
  uint32_t rc = Transact({.commandClass = kLogin.commandClass,
                          .commandCode = kLogin.code,
                          .payload = payload,
                          .payloadLength = int32_t(sizeof payload),
                          .out = reply,
                          .outLength = &replyLength});
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

CClient::Tick CClient::KeepAliveTick(uint64_t nowMs, uint32_t answerMs, bool send) {
  if (!m_callLock.TryLock()) {
    // The tick never waits for a call; the call's end sends what it owes, so
    // a device whose host keeps it busy is still pinged every period.
    if (send) m_keepAliveOwedAnswerMs.store(answerMs);
    return Tick::kBusy;
  }
  Call call(*this, std::adopt_lock);  // its end checks the silent rounds
  if (send) m_keepAliveOwedAnswerMs.store(0);
  if (m_closed.load() || m_sessionId == 0 || m_command.IsBroken()) return Tick::kDone;
  // What arrived is read here too, so a watcher held up by a slow host
  // callback never makes an answered keep-alive look unanswered.
  switch (m_command.DrainPending(m_sessionId)) {
    case CTcpClient::Drained::kClosed:
      m_command.Break(QNVNET_LOSS_BROKEN_CONNECTION);  // the device closed it
      return Tick::kDone;
    case CTcpClient::Drained::kFailed:
      return Tick::kDone;  // failed, and noted as such
    default:
      break;
  }
  KeepAliveRound(nowMs, answerMs, send);
  return Tick::kDone;
}

void CClient::KeepAliveRound(uint64_t nowMs, uint32_t answerMs, bool send) {
  if (m_keepAliveOut) {
    if (m_command.Arrivals() == m_arrivalsAtKeepAlive) {
      // A call's end may have sent it after the tick read its clock: a
      // keep-alive sent "later" than nowMs has all its time still.
      if (nowMs < m_keepAliveSentMs || nowMs - m_keepAliveSentMs < answerMs) return;
      m_command.NoteSilentRound();
    }
    m_keepAliveOut = false;
  }
  if (!send || m_command.SilentRounds() >= kMaxSilentRounds) return;
  uint8_t request[kRequestHeaderSize];
  const uint32_t length = EncodeRequest(request, false, kKeepAlive.commandClass, kKeepAlive.code,
                                        m_sessionId, nullptr, 0);
  m_arrivalsAtKeepAlive = m_command.Arrivals();
  m_keepAliveSentMs = nowMs;
  if (m_command.SendProbe(request, int32_t(length), kKeepAlive.commandClass, kKeepAlive.code,
                          nowMs + answerMs))
    m_keepAliveOut = true;
  else if (!m_command.IsBroken())
    m_command.NoteSilentRound();  // no room for 20 bytes: the device reads nothing
}

QNVNetLoss CClient::Loss() const {
  QNVNetLoss loss{0, m_clientId.load(), 0, 0};
  m_loss.Get(loss.reason, loss.detail);
  return loss;
}

void CClient::NoteLoss(uint32_t reason, int32_t detail) { m_loss.Set(reason, detail); }

void CClient::Logout() {
  Unwatch();
  m_closed.store(true);
  m_command.Close();
  m_clientId = 0;
  m_sessionId = 0;
}

void CClient::Shutdown() {
  m_closed.store(true);
  m_command.Abort();
}

void CClient::Register(uint32_t clientId, CSessionWatcher* watcher, uint64_t token) {
  {
    bool wantsKeepAlive = false;
    {
      // The watcher may already be draining the connection, which can renew
      // the session id (a late login reply): read it under the call lock.
      platform::CLockGuard call(m_callLock);
      wantsKeepAlive = m_sessionId != 0;
    }
    platform::CLockGuard lock(m_heldMutex);
    m_clientId = clientId;
    m_watcher = watcher;
    m_token = token;
    m_watchedFd = m_command.Socket();
    m_wantsKeepAlive.store(wantsKeepAlive);
    m_registered.store(true);
    if (m_watcher) {
      m_watcher->AddDropped(m_token, m_heldDropped);
      for (auto& body : m_held)
        m_watcher->Post(m_token, clientId, m_command.PeerAddress(), m_command.PeerPort(),
                        body.data(), int32_t(body.size()));
    }
    m_held.clear();
  }
  // The watcher may have looked before the token was known.
  RearmWatch();
}

void CClient::Unwatch() {
  platform::CLockGuard lock(m_heldMutex);
  if (m_watcher && m_token != 0) {
    m_droppedAtUnwatch = m_watcher->Dropped(m_token);
    m_watcher->Remove(m_token, m_watchedFd);
  }
  m_token = 0;
}

uint64_t CClient::DroppedMessages() {
  platform::CLockGuard lock(m_heldMutex);
  if (!m_registered.load()) return m_heldDropped;
  return m_watcher && m_token != 0 ? m_watcher->Dropped(m_token) : m_droppedAtUnwatch;
}

void CClient::RearmWatch() {
  platform::CLockGuard lock(m_heldMutex);
  // Unwatch cleared the token before the socket could close, so the number
  // is still this connection's.
  if (m_watcher && m_token != 0 && !m_closed.load() && !m_command.IsBroken())
    m_watcher->Rearm(m_token, m_watchedFd);
}

void CClient::EndCall() {
  if (const uint32_t answerMs = m_keepAliveOwedAnswerMs.exchange(0);
      answerMs != 0 && !m_closed.load() && m_sessionId != 0 && !m_command.IsBroken())
    KeepAliveRound(platform::MonotonicMs(), answerMs, true);
  // A registered session whose device stayed silent round after round is
  // lost like one whose connection broke (the watcher's own reads take the
  // lock without a Call and never get here).
  if (m_registered.load() && !m_closed.load() && !m_command.IsBroken() &&
      m_command.SilentRounds() >= kMaxSilentRounds) {
    NoteLoss(QNVNET_LOSS_NO_KEEPALIVE_ANSWER, 0);
    m_command.Break(QNVNET_LOSS_NO_KEEPALIVE_ANSWER);  // reports through OnDisconnect
  }
  m_callLock.Unlock();
  // After the unlock: the watcher, woken by the re-arm, must find the lock free.
  RearmWatch();
}

CClient::Idle CClient::PollIdle() {
  if (!m_callLock.TryLock()) return Idle::kBusy;  // the call re-arms when it ends
  CTcpClient::Drained drained = CTcpClient::Drained::kClosed;
  if (!m_closed.load()) drained = m_command.DrainPending(m_sessionId);
  m_callLock.Unlock();
  switch (drained) {
    case CTcpClient::Drained::kEmpty:
      RearmWatch();
      return Idle::kRead;
    case CTcpClient::Drained::kPartial:
      return Idle::kPartial;
    case CTcpClient::Drained::kFailed:
      return Idle::kLost;
    default:
      // The peer closed: the next exchange meets it and reports it.
      return Idle::kClosed;
  }
}

bool CClient::TakeLoss() {
  if (!m_registered.load() || m_closed.load()) return false;
  return m_lost.exchange(false);
}

uint32_t CClient::Transact(const STransaction& request) {
  return qnv::Transact(m_command, m_sessionId, request);
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
  uint32_t rc = Transact({.commandClass = kOpenStream.commandClass,
                          .commandCode = kOpenStream.code,
                          .out = reply,
                          .outLength = &replyLength});
  if (rc != 0) return rc;
  // A reply without payload leaves the cleared area, so the stream id is 0.
  streamId = platform::LoadLe32(reply);
  return 0;
}

uint32_t CClient::StreamRequest(SCommand command, uint32_t streamId) {
  uint8_t payload[4];
  platform::StoreLe32(payload, streamId);
  uint8_t reply[kReplyCapacity] = {};
  int32_t replyLength = kReplyCapacity;
  return Transact({.commandClass = command.commandClass,
                   .commandCode = command.code,
                   .payload = payload,
                   .payloadLength = int32_t(sizeof payload),
                   .out = reply,
                   .outLength = &replyLength});
}

void CClient::DeviceMessage(const uint8_t* block, int32_t length) {
  // The connection hands over whole device-message blocks only.
  if (length < int32_t(kDeviceMessageMinLength)) return;
  if (std::memcmp(block, kDeviceMessageTag, sizeof kDeviceMessageTag) != 0) return;
  const uint8_t* body = block + kDeviceMessageDeliveredOffset;
  int32_t bodyLength = length - int32_t(kDeviceMessageDeliveredOffset);
  platform::CLockGuard lock(m_heldMutex);
  // During login the session has no client id yet: keep the message until
  // it is registered (a failed login drops them).
  if (!m_registered.load()) {
    // Bounded as the watcher's queue is, for a device that floods a login.
    if (m_held.size() >= CSessionWatcher::kMaxQueuedMessages) {
      m_held.pop_front();
      ++m_heldDropped;
    }
    m_held.emplace_back(body, body + bodyLength);
  } else if (m_watcher) {
    m_watcher->Post(m_token, m_clientId.load(), m_command.PeerAddress(), m_command.PeerPort(), body,
                    bodyLength);
  }
}

void CClient::Disconnected() {
  // Runs inside the failing exchange, under the call lock: the loss is only
  // noted here and reported (callback, then logout) by whoever ran the
  // exchange once the lock is released, so no host code runs under it.
  NoteLoss(m_command.FailureReason(), m_command.FailureError());
  m_lost.store(true);
}

}  // namespace qnv
