// Every command the library sends, by class and code, and the selector
// tables through which several exports pick a code. This is the one place
// that knows the numbers: callers name a command, never a literal.
//
// The catalogue exports map a caller's selector to a code through a table;
// a selector the table does not list still reaches the device, as code 0,
// and the device's reply decides the result. The meaning of the selectors
// and of the data blocks is the device's.
#ifndef QNV_PROTOCOL_COMMANDS_H
#define QNV_PROTOCOL_COMMANDS_H

#include <cstddef>
#include <cstdint>

namespace qnv::protocol {

// Command classes.
constexpr uint16_t kClassLogin = 1;
constexpr uint16_t kClassSystem = 2;
constexpr uint16_t kClassLive = 3;
constexpr uint16_t kClassRules = 4;
constexpr uint16_t kClassPtz = 5;
constexpr uint16_t kClassAlgorithm = 7;

// A command word: the class and code of a request.
struct SCommand {
  uint16_t commandClass;
  uint16_t code;
};

// The fixed commands.
constexpr SCommand kLogin{kClassLogin, 1};
constexpr SCommand kKeepAlive{kClassSystem, 1};
constexpr SCommand kFirmwareChunk{kClassSystem, 5};  // payload: FirmwareChunk.h
constexpr SCommand kFirmwareStart{kClassSystem, 6};
constexpr SCommand kOpenStream{kClassLive, 1};   // reply: the 32-bit stream id
constexpr SCommand kCloseStream{kClassLive, 2};  // payload: the 32-bit stream id
constexpr SCommand kPauseStream{kClassLive, 3};  // payload: the 32-bit stream id
constexpr SCommand kPlayStream{kClassLive, 4};   // payload: the 32-bit stream id
// One-way, the first message on a new stream connection; payload: stream id.
constexpr SCommand kAttachStream{kClassLive, 5};
constexpr SCommand kRuleDownload{kClassRules, 1};
constexpr SCommand kRuleUpload{kClassRules, 2};
constexpr SCommand kRuleOn{kClassRules, 3};
constexpr SCommand kRuleOff{kClassRules, 4};
constexpr SCommand kRuleState{kClassRules, 5};  // reply: the 32-bit state
constexpr SCommand kPtzControl{kClassPtz, 1};   // payload: kPtzControlValues values
constexpr SCommand kPtzPreset{kClassPtz, 2};    // payload: kPtzPresetValues values

// PTZ payloads: the caller's values in order, each 32-bit little-endian.
constexpr size_t kPtzControlValues = 4;
constexpr size_t kPtzPresetValues = 2;

// Login payload: the user name and the password, each in a zero-padded field
// of 16 bytes (cut at 16).
constexpr size_t kLoginNameField = 16;
constexpr size_t kLoginUserOffset = 0;
constexpr size_t kLoginPasswordOffset = kLoginUserOffset + kLoginNameField;
constexpr size_t kLoginPayloadSize = kLoginPasswordOffset + kLoginNameField;
static_assert(kLoginPayloadSize == 32);

// The result with which devices refuse a wrong user name or password.
constexpr uint32_t kResultBadCredentials = 1;

// A device's stream connection listens on its command port plus this.
constexpr uint16_t kStreamPortOffset = 2;

// Time-outs of the command transactions, in milliseconds.
constexpr uint32_t kCommandTimeoutMs = 3000;
constexpr uint32_t kFirmwareStartTimeoutMs = 180000;

// A row of a selector table.
struct SSelectorCodes {
  uint32_t selector;
  uint16_t get;  // 0: the selector cannot be read
  uint16_t set;  // 0: the selector cannot be written
};

// Configuration items, class 2. 13 and 24 are read-only; for 71 the set code
// is the lower one.
constexpr SSelectorCodes kSysConfigCodes[] = {
    {13, 4, 0},   {24, 20, 0},  {31, 33, 34}, {32, 35, 36}, {33, 37, 38},  {34, 49, 50},
    {35, 51, 52}, {36, 53, 54}, {37, 65, 66}, {38, 67, 68}, {39, 69, 70},  {40, 81, 82},
    {41, 83, 84}, {42, 85, 86}, {43, 97, 98}, {44, 71, 72}, {71, 100, 99},
};

// System commands, class 2, sent as a set. Selector 10 shares its code with
// the keep-alive but carries the caller's payload.
constexpr SSelectorCodes kSysCommandCodes[] = {
    {10, 0, 1},  {11, 0, 2},  {12, 0, 3},  {14, 0, 7},  {15, 0, 8},
    {21, 0, 17}, {22, 0, 18}, {23, 0, 19}, {70, 0, 21},
};

// Algorithm parameters, class 7. 67 is in neither table; 68 and 69 can only
// be set.
constexpr SSelectorCodes kAlgorithmCodes[] = {
    {50, 1, 2},   {51, 3, 4},   {52, 5, 6},   {53, 7, 8},   {54, 9, 10},
    {55, 17, 18}, {56, 19, 20}, {57, 21, 22}, {58, 23, 24}, {59, 25, 26},
    {60, 33, 34}, {61, 35, 36}, {62, 37, 38}, {63, 39, 40}, {64, 41, 42},
    {65, 49, 50}, {66, 51, 52}, {68, 0, 54},  {69, 0, 55},
};

// PTZ parameter reads, class 5, by type.
constexpr SSelectorCodes kPtzParamCodes[] = {{0, 17, 0}, {1, 18, 0}, {2, 19, 0}};

// The get or set code of a selector; 0 for one the table does not list.
template <size_t N>
constexpr uint16_t LookupCode(const SSelectorCodes (&table)[N], uint32_t selector,
                              uint16_t SSelectorCodes::*code) {
  for (const SSelectorCodes& row : table)
    if (row.selector == selector) return row.*code;
  return 0;
}

constexpr uint16_t SysConfigGetCode(uint32_t s) {
  return LookupCode(kSysConfigCodes, s, &SSelectorCodes::get);
}
constexpr uint16_t SysConfigSetCode(uint32_t s) {
  return LookupCode(kSysConfigCodes, s, &SSelectorCodes::set);
}
constexpr uint16_t SysCommandCode(uint32_t s) {
  return LookupCode(kSysCommandCodes, s, &SSelectorCodes::set);
}
constexpr uint16_t AlgorithmGetCode(uint32_t s) {
  return LookupCode(kAlgorithmCodes, s, &SSelectorCodes::get);
}
constexpr uint16_t AlgorithmSetCode(uint32_t s) {
  return LookupCode(kAlgorithmCodes, s, &SSelectorCodes::set);
}
constexpr uint16_t PtzParamCode(uint32_t type) {
  return LookupCode(kPtzParamCodes, type, &SSelectorCodes::get);
}

}  // namespace qnv::protocol

#endif  // QNV_PROTOCOL_COMMANDS_H
