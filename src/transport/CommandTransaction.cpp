#include "transport/CommandTransaction.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "QNVNetSdk.h"
#include "platform/Clock.h"
#include "platform/FailureNote.h"
#include "platform/Socket.h"
#include "protocol/CommandMessage.h"
#include "protocol/Commands.h"

namespace qnv {

using namespace protocol;

uint32_t Transact(CTcpClient& connection, uint32_t& sessionId, const STransaction& request) {
  const uint32_t commandClass = request.commandClass;
  const uint32_t commandCode = request.commandCode;
  const uint32_t timeoutMs = request.timeoutMs;
  const int32_t payloadLength = request.payloadLength;
  if (request.replyPayload) *request.replyPayload = 0;
  if (payloadLength < 0 || payloadLength > kMaxTransactPayload) return QNVNET_ERR_SEND;
  // A late reply to an earlier request that timed out must not be taken for
  // this request's answer; device messages queued before it are delivered.
  connection.DrainPending(sessionId);
  // A keep-alive sent without waiting is answered first: one request in
  // flight at a time (a device may read two requests as one).
  connection.AwaitProbe(sessionId);
  uint8_t area[kTransactArea] = {};
  uint32_t length = EncodeRequest(area, false, uint16_t(commandClass), uint16_t(commandCode),
                                  sessionId, request.payload, payloadLength);
  // A device that stops reading must not hold the caller in send() for ever.
  if (!connection.Send(area, int32_t(length), timeoutMs)) {
    platform::NoteErrno(platform::FailureKind::kNetwork, errno, "the request could not be sent");
    return QNVNET_ERR_SEND;
  }
  const uint64_t arrivalsAtSend = connection.Arrivals();

  // A reply whose class or code is not the request's answers an earlier
  // call that gave up (it came after the discard above): it is dropped, and
  // this call waits on for its own within what a silent device is given. A
  // login-class reply is never such a late one (the login ends before the
  // session exists): it answers this call, and renews the session id.
  const uint64_t deadline = platform::MonotonicMs() + 2 * uint64_t(timeoutMs / 1000) * 1000;
  ReplyView reply;
  for (bool first = true;; first = false) {
    std::memset(area, 0, sizeof area);
    uint32_t wait = timeoutMs;
    int32_t d = -1;
    if (!first) {
      const uint64_t now = platform::MonotonicMs();
      if (now >= deadline || connection.Socket() < 0) d = 0;
      wait = now >= deadline ? 0 : uint32_t(deadline - now);
      if (d != 0 && platform::SocketWaitReadable(connection.Socket(), int(wait)) <= 0) d = 0;
    }
    if (d != 0) d = connection.Receive(area, int32_t(kTransactArea), wait);
    if (d < int32_t(kMinReplyLength)) {
      if (d < 0) {
        platform::NoteFailure(platform::FailureKind::kNetwork, 0,
                              "the device closed the connection instead of replying");
      } else {
        platform::NoteFailure(platform::FailureKind::kNoAnswer, 0,
                              "no valid reply within %u ms (class %u, code %u)", timeoutMs,
                              commandClass, commandCode);
        // Not a word since the request: a round the device left unanswered.
        if (connection.Arrivals() == arrivalsAtSend) connection.NoteSilentRound();
      }
      return QNVNET_ERR_NO_REPLY;
    }
    reply = DecodeReply(area, d);
    if (reply.commandClass == kClassLogin || (reply.commandClass == uint16_t(commandClass) &&
                                              reply.commandCode == uint16_t(commandCode)))
      break;
  }
  if (reply.result != 0) {
    platform::NoteFailure(platform::FailureKind::kDeviceRefused, int32_t(reply.result),
                          "the device refused the request (class %u, code %u) with result %d",
                          commandClass, commandCode, int32_t(reply.result));
    return reply.result;
  }
  if (reply.commandClass == kClassLogin) {
    sessionId = reply.sessionId;
  } else if (reply.sessionId != sessionId) {
    platform::NoteFailure(platform::FailureKind::kProtocol, 0,
                          "the reply carried session id %u, not %u", reply.sessionId, sessionId);
    return QNVNET_ERR_SESSION_MISMATCH;
  }
  int32_t p = reply.payloadLength;
  if (request.replyPayload) *request.replyPayload = std::max(p, 0);
  if (request.out != nullptr && request.outLength != nullptr && p > 0 && p <= *request.outLength) {
    std::memcpy(request.out, reply.payload, size_t(p));
    *request.outLength = p;
  }
  return 0;
}

uint32_t GetCommand(CTcpClient& connection, uint32_t& sessionId, uint32_t commandClass,
                    uint32_t commandCode, void* out, int32_t& length) {
  uint8_t reply[kTransactArea] = {};
  int32_t replyLength = int32_t(kTransactArea);
  int32_t payload = 0;
  uint32_t rc = Transact(connection, sessionId,
                         {.commandClass = commandClass,
                          .commandCode = commandCode,
                          .out = reply,
                          .outLength = &replyLength,
                          .replyPayload = &payload});
  if (rc != 0) {
    length = 0;
    return rc;
  }
  int32_t capacity = out == nullptr ? 0 : std::max(length, 0);
  if (capacity > 0) {
    std::memset(out, 0, size_t(capacity));
    std::memcpy(out, reply, size_t(std::min<int32_t>(capacity, int32_t(kTransactArea))));
  }
  length = payload;  // a reply without payload reports 0
  return 0;
}

uint32_t SetCommand(CTcpClient& connection, uint32_t& sessionId, uint32_t commandClass,
                    uint32_t commandCode, const void* payload, int32_t length) {
  if (length < 0 || length > kMaxTransactPayload) return QNVNET_ERR_SEND;
  uint8_t reply[kTransactArea];
  int32_t replyLength = int32_t(kTransactArea);
  return Transact(connection, sessionId,
                  {.commandClass = commandClass,
                   .commandCode = commandCode,
                   .payload = payload,
                   .payloadLength = length,
                   .out = reply,
                   .outLength = &replyLength});
}

uint32_t SendOneWay(CTcpLink& connection, uint32_t sessionId, uint32_t commandClass,
                    uint32_t commandCode, const void* payload, int32_t payloadLength) {
  if (payloadLength < 0 || payloadLength > kMaxOneWayPayload) return QNVNET_ERR_NETWORK;
  uint8_t area[kOneWayArea] = {};
  uint32_t length = EncodeRequest(area, true, uint16_t(commandClass), uint16_t(commandCode),
                                  sessionId, payload, payloadLength);
  return connection.Send(area, int32_t(length), kCommandTimeoutMs) ? QNVNET_OK : QNVNET_ERR_NETWORK;
}

}  // namespace qnv
