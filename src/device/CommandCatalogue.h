// The command catalogue: maps the control exports onto device commands. Each
// operation runs one transaction on the session, under its Call (REQUIRES
// its call lock). Selectors missing from their table still reach the device,
// as code 0. The data blocks are the device's; nothing here interprets them.
#ifndef QNV_DEVICE_COMMANDCATALOGUE_H
#define QNV_DEVICE_COMMANDCATALOGUE_H

#include <cstdint>

#include "device/CClient.h"

namespace qnv {

uint32_t PtzControl(CClient& client, uint32_t v1, uint32_t v2, uint32_t v3, uint32_t v4)
    REQUIRES(client.CallLock());
uint32_t PtzPreset(CClient& client, uint32_t v1, uint32_t v2) REQUIRES(client.CallLock());
uint32_t PtzGetParam(CClient& client, uint32_t type, void* buffer, int32_t& length)
    REQUIRES(client.CallLock());
uint32_t GetSysConfig(CClient& client, uint32_t selector, void* buffer, int32_t& length)
    REQUIRES(client.CallLock());
uint32_t SetSysConfig(CClient& client, uint32_t selector, const void* data, int32_t length)
    REQUIRES(client.CallLock());
uint32_t SendSysCommand(CClient& client, uint32_t selector, const void* data, int32_t length)
    REQUIRES(client.CallLock());
uint32_t RuleDownload(CClient& client, void* buffer, int32_t& length) REQUIRES(client.CallLock());
uint32_t RuleUpload(CClient& client, const void* data, int32_t length) REQUIRES(client.CallLock());
uint32_t RuleEnable(CClient& client, int32_t on) REQUIRES(client.CallLock());
uint32_t RuleState(CClient& client, int32_t& state) REQUIRES(client.CallLock());
uint32_t AlgorithmGet(CClient& client, uint32_t selector, void* buffer, int32_t& length)
    REQUIRES(client.CallLock());
uint32_t AlgorithmSet(CClient& client, uint32_t selector, const void* data, int32_t length)
    REQUIRES(client.CallLock());

}  // namespace qnv

#endif  // QNV_DEVICE_COMMANDCATALOGUE_H
