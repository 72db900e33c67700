#include "device/CommandCatalogue.h"

#include "platform/ByteOrder.h"
#include "protocol/Commands.h"

namespace qnv {

using namespace protocol;

namespace {

uint32_t TransactNoData(CClient& client, SCommand command, const void* payload, int32_t length)
    REQUIRES(client.CallLock()) {
  uint8_t reply[CClient::kReplyCapacity] = {};
  int32_t replyLength = CClient::kReplyCapacity;
  return client.Transact({.commandClass = command.commandClass,
                          .commandCode = command.code,
                          .payload = payload,
                          .payloadLength = length,
                          .out = reply,
                          .outLength = &replyLength});
}

// The values in order, each as a 32-bit little-endian number.
template <size_t N>
uint32_t TransactValues(CClient& client, SCommand command, const uint32_t (&values)[N])
    REQUIRES(client.CallLock()) {
  uint8_t payload[N * 4];
  for (size_t i = 0; i < N; ++i) platform::StoreLe32(payload + 4 * i, values[i]);
  return TransactNoData(client, command, payload, int32_t(sizeof payload));
}

}  // namespace

uint32_t PtzControl(CClient& client, uint32_t v1, uint32_t v2, uint32_t v3, uint32_t v4) {
  const uint32_t values[kPtzControlValues] = {v1, v2, v3, v4};
  return TransactValues(client, kPtzControl, values);
}

uint32_t PtzPreset(CClient& client, uint32_t v1, uint32_t v2) {
  const uint32_t values[kPtzPresetValues] = {v1, v2};
  return TransactValues(client, kPtzPreset, values);
}

uint32_t PtzGetParam(CClient& client, uint32_t type, void* buffer, int32_t& length) {
  return client.GetCommand(kClassPtz, PtzParamCode(type), buffer, length);
}

uint32_t GetSysConfig(CClient& client, uint32_t selector, void* buffer, int32_t& length) {
  return client.GetCommand(kClassSystem, SysConfigGetCode(selector), buffer, length);
}

uint32_t SetSysConfig(CClient& client, uint32_t selector, const void* data, int32_t length) {
  return client.SetCommand(kClassSystem, SysConfigSetCode(selector), data, length);
}

uint32_t SendSysCommand(CClient& client, uint32_t selector, const void* data, int32_t length) {
  return client.SetCommand(kClassSystem, SysCommandCode(selector), data, length);
}

uint32_t RuleDownload(CClient& client, void* buffer, int32_t& length) {
  return client.GetCommand(kRuleDownload.commandClass, kRuleDownload.code, buffer, length);
}

uint32_t RuleUpload(CClient& client, const void* data, int32_t length) {
  return client.SetCommand(kRuleUpload.commandClass, kRuleUpload.code, data, length);
}

uint32_t RuleEnable(CClient& client, int32_t on) {
  if (on != 0 && on != 1) return 0;  // neither switch: nothing to send
  return TransactNoData(client, on == 1 ? kRuleOn : kRuleOff, nullptr, 0);
}

uint32_t RuleState(CClient& client, int32_t& state) {
  uint8_t reply[CClient::kReplyCapacity] = {};
  int32_t replyLength = CClient::kReplyCapacity;
  uint32_t rc = client.Transact({.commandClass = kRuleState.commandClass,
                                 .commandCode = kRuleState.code,
                                 .out = reply,
                                 .outLength = &replyLength});
  if (rc == 0) state = int32_t(platform::LoadLe32(reply));
  return rc;
}

uint32_t AlgorithmGet(CClient& client, uint32_t selector, void* buffer, int32_t& length) {
  return client.GetCommand(kClassAlgorithm, AlgorithmGetCode(selector), buffer, length);
}

uint32_t AlgorithmSet(CClient& client, uint32_t selector, const void* data, int32_t length) {
  return client.SetCommand(kClassAlgorithm, AlgorithmSetCode(selector), data, length);
}

}  // namespace qnv
