#include "transport/CommandTransaction.h"

#include <algorithm>
#include <cstring>

#include "QNVNetSdk.h"
#include "transport/CommandMessage.h"

namespace qnv {

uint32_t Transact(CTcpClient& connection, uint32_t& sessionId, uint32_t commandClass,
                  uint32_t commandCode, const void* payload, int32_t payloadLength, void* out,
                  int32_t* outLength, uint32_t timeoutMs, int32_t* replyPayload) {
  if (replyPayload) *replyPayload = 0;
  if (payloadLength < 0 || payloadLength > kMaxTransactPayload) return QNVNET_ERR_SEND;
  uint8_t area[kTransactArea] = {};
  uint32_t length = EncodeRequest(area, false, uint16_t(commandClass), uint16_t(commandCode),
                                  sessionId, payload, payloadLength);
  // A late reply to an earlier request that timed out must not be taken for
  // this request's answer; device messages queued before it are delivered.
  connection.DrainPending();
  if (!connection.Send(area, int32_t(length))) return QNVNET_ERR_SEND;

  std::memset(area, 0, sizeof area);
  int32_t d = connection.Receive(area, int32_t(kTransactArea), timeoutMs);
  if (d < int32_t(kMinReplyLength)) return QNVNET_ERR_NO_REPLY;
  ReplyView reply = DecodeReply(area, d);
  if (reply.result != 0) return reply.result;
  if (reply.commandClass == kClassLogin)
    sessionId = reply.sessionId;
  else if (reply.sessionId != sessionId)
    return QNVNET_ERR_SESSION_MISMATCH;
  int32_t p = reply.payloadLength;
  if (replyPayload) *replyPayload = std::max(p, 0);
  if (out != nullptr && outLength != nullptr && p > 0 && p <= *outLength) {
    std::memcpy(out, reply.payload, size_t(p));
    *outLength = p;
  }
  return 0;
}

uint32_t GetCommand(CTcpClient& connection, uint32_t& sessionId, uint32_t commandClass,
                    uint32_t commandCode, void* out, int32_t& length) {
  uint8_t reply[kTransactArea] = {};
  int32_t replyLength = int32_t(kTransactArea);
  int32_t payload = 0;
  uint32_t rc = Transact(connection, sessionId, commandClass, commandCode, nullptr, 0, reply,
                         &replyLength, kCommandTimeoutMs, &payload);
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
  return Transact(connection, sessionId, commandClass, commandCode, payload, length, reply,
                  &replyLength, kCommandTimeoutMs);
}

uint32_t SendOneWay(CTcpClient& connection, uint32_t sessionId, uint32_t commandClass,
                    uint32_t commandCode, const void* payload, int32_t payloadLength) {
  if (payloadLength < 0 || payloadLength > kMaxOneWayPayload) return QNVNET_ERR_NETWORK;
  uint8_t area[kOneWayArea] = {};
  uint32_t length = EncodeRequest(area, true, uint16_t(commandClass), uint16_t(commandCode),
                                  sessionId, payload, payloadLength);
  return connection.Send(area, int32_t(length)) ? 0 : QNVNET_ERR_NETWORK;
}

}  // namespace qnv
