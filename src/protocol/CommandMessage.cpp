#include "protocol/CommandMessage.h"

#include <cstring>

#include "platform/ByteOrder.h"

namespace qnv::protocol {

uint32_t EncodeRequest(uint8_t* area, bool oneWay, uint16_t commandClass, uint16_t commandCode,
                       uint32_t sessionId, const void* payload, int32_t payloadLength) {
  if (payloadLength < 0) payloadLength = 0;
  uint32_t length = uint32_t(payloadLength) + kRequestHeaderSize;
  EncodeLengthPrefix(area, length);
  std::memcpy(area + kReqHeaderWordOffset, oneWay ? kHeaderWordOneWay : kHeaderWordTransaction, 4);
  std::memcpy(area + kReqMagicOffset, kCommandMagic, 4);
  area[kReqClassOffset] = uint8_t(commandClass);
  area[kReqClassOffset + 1] = uint8_t(commandClass >> 8);
  area[kReqCodeOffset] = uint8_t(commandCode);
  area[kReqCodeOffset + 1] = uint8_t(commandCode >> 8);
  platform::StoreLe32(area + kReqSessionOffset, sessionId);
  if (payload != nullptr && payloadLength > 0)
    std::memcpy(area + kReqPayloadOffset, payload, size_t(payloadLength));
  return length;
}

ReplyView DecodeReply(const uint8_t* area, int32_t length) {
  ReplyView v;
  v.commandClass = platform::LoadLe16(area + kRepClassOffset);
  v.commandCode = platform::LoadLe16(area + kRepCodeOffset);
  v.result = platform::LoadLe32(area + kRepResultOffset);
  v.sessionId = platform::LoadLe32(area + kRepSessionOffset);
  v.payloadLength = length - int32_t(kRepPayloadOffset);
  v.payload = area + kRepPayloadOffset;
  return v;
}

}  // namespace qnv::protocol
