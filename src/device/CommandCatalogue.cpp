#include "device/CommandCatalogue.h"

#include "platform/ByteOrder.h"
#include "transport/CommandMessage.h"

namespace qnv {

namespace {

struct SelectorCodes {
  uint32_t selector;
  uint16_t get;
  uint16_t set;
};

// Configuration items (class 2). 13 and 24 are read-only; for 71 the set
// code is the lower one.
constexpr SelectorCodes kSysConfig[] = {
    {13, 4, 0},   {24, 20, 0},  {31, 33, 34}, {32, 35, 36}, {33, 37, 38},  {34, 49, 50},
    {35, 51, 52}, {36, 53, 54}, {37, 65, 66}, {38, 67, 68}, {39, 69, 70},  {40, 81, 82},
    {41, 83, 84}, {42, 85, 86}, {43, 97, 98}, {44, 71, 72}, {71, 100, 99},
};

// System commands (class 2), sent as a set. Selector 10 shares its code with
// the keep-alive but carries the caller's payload.
constexpr SelectorCodes kSysCommand[] = {
    {10, 0, 1},  {11, 0, 2},  {12, 0, 3},  {14, 0, 7},  {15, 0, 8},
    {21, 0, 17}, {22, 0, 18}, {23, 0, 19}, {70, 0, 21},
};

// Algorithm parameters (class 7). 67 is in neither table; 68 and 69 can only
// be set.
constexpr SelectorCodes kAlgorithm[] = {
    {50, 1, 2},   {51, 3, 4},   {52, 5, 6},   {53, 7, 8},   {54, 9, 10},
    {55, 17, 18}, {56, 19, 20}, {57, 21, 22}, {58, 23, 24}, {59, 25, 26},
    {60, 33, 34}, {61, 35, 36}, {62, 37, 38}, {63, 39, 40}, {64, 41, 42},
    {65, 49, 50}, {66, 51, 52}, {68, 0, 54},  {69, 0, 55},
};

// PTZ parameter reads (class 5).
constexpr SelectorCodes kPtzParam[] = {{0, 17, 0}, {1, 18, 0}, {2, 19, 0}};

// The get or set code of a selector; 0 for one the table does not list.
template <size_t N>
uint16_t Lookup(const SelectorCodes (&table)[N], uint32_t selector, uint16_t SelectorCodes::*code) {
  for (const SelectorCodes& row : table)
    if (row.selector == selector) return row.*code;
  return 0;
}

constexpr uint16_t kCodePtzControl = 1;
constexpr uint16_t kCodePtzPreset = 2;
constexpr uint16_t kCodeRuleDownload = 1;
constexpr uint16_t kCodeRuleUpload = 2;
constexpr uint16_t kCodeRuleOn = 3;
constexpr uint16_t kCodeRuleOff = 4;
constexpr uint16_t kCodeRuleState = 5;

uint32_t TransactNoData(CClient& client, uint16_t cls, uint16_t code, const void* payload,
                        int32_t length) {
  uint8_t reply[CClient::kReplyCapacity] = {};
  int32_t replyLength = CClient::kReplyCapacity;
  return client.Transact(cls, code, payload, length, reply, &replyLength, kCommandTimeoutMs);
}

}  // namespace

uint16_t SysConfigGetCode(uint32_t s) { return Lookup(kSysConfig, s, &SelectorCodes::get); }
uint16_t SysConfigSetCode(uint32_t s) { return Lookup(kSysConfig, s, &SelectorCodes::set); }
uint16_t SysCommandCode(uint32_t s) { return Lookup(kSysCommand, s, &SelectorCodes::set); }
uint16_t AlgorithmGetCode(uint32_t s) { return Lookup(kAlgorithm, s, &SelectorCodes::get); }
uint16_t AlgorithmSetCode(uint32_t s) { return Lookup(kAlgorithm, s, &SelectorCodes::set); }
uint16_t PtzParamCode(uint32_t t) { return Lookup(kPtzParam, t, &SelectorCodes::get); }

uint32_t PtzControl(CClient& client, uint32_t v1, uint32_t v2, uint32_t v3, uint32_t v4) {
  uint8_t payload[16];
  StoreLe32(payload, v1);
  StoreLe32(payload + 4, v2);
  StoreLe32(payload + 8, v3);
  StoreLe32(payload + 12, v4);
  return TransactNoData(client, kClassPtz, kCodePtzControl, payload, 16);
}

uint32_t PtzPreset(CClient& client, uint32_t v1, uint32_t v2) {
  uint8_t payload[8];
  StoreLe32(payload, v1);
  StoreLe32(payload + 4, v2);
  return TransactNoData(client, kClassPtz, kCodePtzPreset, payload, 8);
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
  return client.GetCommand(kClassRules, kCodeRuleDownload, buffer, length);
}

uint32_t RuleUpload(CClient& client, const void* data, int32_t length) {
  return client.SetCommand(kClassRules, kCodeRuleUpload, data, length);
}

uint32_t RuleEnable(CClient& client, int32_t on) {
  if (on != 0 && on != 1) return 0;  // neither switch: nothing to send
  return TransactNoData(client, kClassRules, on == 1 ? kCodeRuleOn : kCodeRuleOff, nullptr, 0);
}

uint32_t RuleState(CClient& client, int32_t& state) {
  uint8_t reply[CClient::kReplyCapacity] = {};
  int32_t replyLength = CClient::kReplyCapacity;
  uint32_t rc = client.Transact(kClassRules, kCodeRuleState, nullptr, 0, reply, &replyLength,
                                kCommandTimeoutMs);
  if (rc == 0) state = int32_t(LoadLe32(reply));
  return rc;
}

uint32_t AlgorithmGet(CClient& client, uint32_t selector, void* buffer, int32_t& length) {
  return client.GetCommand(kClassAlgorithm, AlgorithmGetCode(selector), buffer, length);
}

uint32_t AlgorithmSet(CClient& client, uint32_t selector, const void* data, int32_t length) {
  return client.SetCommand(kClassAlgorithm, AlgorithmSetCode(selector), data, length);
}

}  // namespace qnv
