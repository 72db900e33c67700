// The exports: the 27 and the extensions. Each one that reaches a session
// finds it under the registry lock, then runs on it holding that session's
// call lock only, and lets no exception escape.
#include <exception>
#include <mutex>
#include <new>
#include <utility>

#include "QNVNetSdk.h"
#include "device/CommandCatalogue.h"
#include "device/FirmwareUpload.h"
#include "platform/FailureNote.h"
#include "player/PlayerApi.h"
#include "protocol/Commands.h"
#include "sdk/CLibrary.h"
#include "transport/HostCallbacks.h"

using qnv::CChannel;
using qnv::CClient;
using qnv::CLibrary;

namespace {

constexpr uint32_t kSdkVersion = 0x01000000;

// A failure that is no device's fault (out of memory, a thread that could not
// start) reaches the host as a failed send rather than as an exception.
constexpr uint32_t kInternalFailure = QNVNET_ERR_SEND;

template <typename Op>
uint32_t Guarded(Op&& op, uint32_t onException = kInternalFailure) noexcept {
  // The thread's failure note describes this call only.
  qnv::platform::ClearFailure();
  try {
    return op();
  } catch (...) {
    return onException;
  }
}

// Runs op on the session with this client id under its call lock; once the
// lock is released, reports a loss of its connection met meanwhile.
template <typename Op>
uint32_t WithClient(uint32_t clientId, Op&& op) noexcept {
  return Guarded([&]() -> uint32_t {
    CLibrary& lib = CLibrary::Instance();
    std::shared_ptr<CClient> client = lib.FindClient(clientId);
    if (!client) return QNVNET_ERR_NO_SESSION;
    uint32_t rc;
    {
      CClient::Call call(*client);
      // Logged out while this call waited for the lock.
      if (client->IsClosed()) return QNVNET_ERR_NO_SESSION;
      rc = op(*client);
    }
    lib.ReportLoss(client);
    return rc;
  });
}

// Runs op on the channel with this handle and its session, likewise.
template <typename Op>
uint32_t WithChannel(uint32_t handle, Op&& op) noexcept {
  return Guarded([&]() -> uint32_t {
    CLibrary& lib = CLibrary::Instance();
    auto [client, channel] = lib.FindChannelClient(handle);
    if (!client) return QNVNET_ERR_NO_SESSION;
    uint32_t rc;
    {
      CClient::Call call(*client);
      if (client->IsClosed()) return QNVNET_ERR_NO_SESSION;
      rc = op(*client, *channel);
    }
    lib.ReportLoss(client);
    return rc;
  });
}

// Runs a command of the catalogue on the session with this client id, under
// its Call as WithClient does. The command REQUIRES the session's call lock:
// clang cannot name a lambda parameter's lock, so the command is called
// through a pointer here, where the Call holds the lock by construction.
template <typename... Params, typename... Args>
uint32_t WithCommand(uint32_t clientId, uint32_t (*command)(CClient&, Params...),
                     Args&&... args) noexcept {
  return WithClient(clientId,
                    [&](CClient& client) { return command(client, std::forward<Args>(args)...); });
}

// A buffer that must hold `length` bytes but is null: the call fails at
// once and sends nothing (a null buffer with length 0 is no buffer at all).
bool Missing(const void* buffer, int32_t length) { return buffer == nullptr && length > 0; }

}  // namespace

uint32_t QNVNet_GetSdkVersion(uint32_t* version) {
  if (version == nullptr) return QNVNET_ERR_ARGUMENT;
  *version = kSdkVersion;
  return 0;
}

uint32_t QNVNet_SetCallback(QNVNetMessageCallback message, QNVNetStreamCallback stream,
                            QNVNetDisconnectCallback disconnect, uint32_t user) {
  qnv::HostCallbacks& cb = qnv::Callbacks();
  cb.user.store(user);
  cb.message.store(message);
  cb.stream.store(stream);
  cb.disconnect.store(disconnect);
  return 0;
}

namespace {
// InitLib and UnInitLib from inside a callback: UnInitLib would wait for the
// very callback that calls it.
uint32_t RefusedInCallback(const char* name) {
  qnv::platform::NoteFailure(qnv::platform::FailureKind::kInCallback, 0,
                             "%s was called from inside a callback; call it from a host thread "
                             "once the callback returned",
                             name);
  return QNVNET_ERR_IN_CALLBACK;
}
}  // namespace

uint32_t QNVNet_InitLib() {
  return Guarded(
      []() -> uint32_t {
        if (qnv::CCallbackGate::InsideCallback()) return RefusedInCallback("QNVNet_InitLib");
        return CLibrary::Instance().Init();
      },
      QNVNET_ERR_NETWORK);
}

uint32_t QNVNet_UnInitLib() {
  return Guarded(
      []() -> uint32_t {
        if (qnv::CCallbackGate::InsideCallback()) return RefusedInCallback("QNVNet_UnInitLib");
        return CLibrary::Instance().UnInit();
      },
      0);
}

uint32_t QNVNet_DevLogin(uint32_t* clientId, const char* ip, uint16_t port, const char* user,
                         const char* password) {
  return Guarded([&] { return CLibrary::Instance().Login(clientId, ip, port, user, password); },
                 QNVNET_ERR_NO_SESSION);
}

uint32_t QNVNet_DevLogout(uint32_t clientId) {
  return Guarded(
      [&]() -> uint32_t {
        CLibrary::Instance().Logout(clientId);
        return 0;
      },
      0);
}

uint32_t QNVNet_LiveOpen(uint32_t* handle, uint32_t clientId, HWND window) {
  if (handle == nullptr) return QNVNET_ERR_ARGUMENT;  // a channel nobody could name
  // Under WithClient's Call; clang cannot name a lambda parameter's lock.
  return WithClient(clientId, [&](CClient& client) NO_THREAD_SAFETY_ANALYSIS {
    return CLibrary::Instance().LiveOpen(handle, client, window);
  });
}

uint32_t QNVNet_LiveClose(uint32_t handle) {
  // Under WithChannel's Call; clang cannot name a lambda parameter's lock.
  return WithChannel(handle, [&](CClient& client, CChannel&) NO_THREAD_SAFETY_ANALYSIS {
    return CLibrary::Instance().LiveClose(client, handle);
  });
}

uint32_t QNVNet_LivePause(uint32_t handle) {
  // Under WithChannel's Call; clang cannot name a lambda parameter's lock.
  return WithChannel(handle, [&](CClient& client, CChannel& channel) NO_THREAD_SAFETY_ANALYSIS {
    // Before the request: frames may stop as soon as the device has it.
    channel.SetPaused(true);
    uint32_t rc = client.StreamRequest(qnv::protocol::kPauseStream, channel.StreamId());
    if (rc != QNVNET_OK) channel.SetPaused(false);  // frames go on
    return rc;
  });
}

uint32_t QNVNet_LivePlay(uint32_t handle) {
  // Under WithChannel's Call; clang cannot name a lambda parameter's lock.
  return WithChannel(handle, [&](CClient& client, CChannel& channel) NO_THREAD_SAFETY_ANALYSIS {
    uint32_t rc = client.StreamRequest(qnv::protocol::kPlayStream, channel.StreamId());
    // Whatever the answer: the host wants frames now, and none is a stall.
    channel.SetPaused(false);
    return rc;
  });
}

uint32_t QNVNet_LiveCapture(uint32_t handle, const char* path) {
  // No session lock: a capture may wait for a key frame and decode for a
  // while, and the session's keep-alives and other calls go on meanwhile.
  // The channel stays alive through the shared pointer even if it closes.
  return Guarded([&]() -> uint32_t {
    auto [client, channel] = CLibrary::Instance().FindChannelClient(handle);
    if (!client) return QNVNET_ERR_NO_SESSION;
    return channel->Capture(path);
  });
}

uint32_t QNVNet_LiveSaveOpen(uint32_t handle, const char* path, uint32_t& id) {
  return WithChannel(handle,
                     [&](CClient&, CChannel& channel) { return channel.SaveOpen(path, id); });
}

uint32_t QNVNet_LiveSaveClose(uint32_t handle, uint32_t id) {
  return WithChannel(handle, [&](CClient&, CChannel& channel) { return channel.SaveClose(id); });
}

uint32_t QNVNet_LiveSaveRollover(uint32_t handle, uint32_t id, const char* newPath,
                                 uint32_t* newId) {
  if (newId == nullptr) return QNVNET_ERR_ARGUMENT;
  return WithChannel(handle, [&](CClient&, CChannel& channel) {
    uint32_t opened = 0;
    uint32_t rc = channel.SaveRollover(id, newPath, opened);
    if (rc == QNVNET_OK) *newId = opened;
    return rc;
  });
}

uint32_t QNVNet_LiveSetPreRecord(uint32_t handle, uint32_t milliseconds, uint32_t maxBytes) {
  return WithChannel(handle, [&](CClient&, CChannel& channel) {
    return channel.SetPreRecord(milliseconds, maxBytes);
  });
}

uint32_t QNVNet_LiveSetStallTimeout(uint32_t handle, uint32_t milliseconds) {
  return Guarded([&]() -> uint32_t {
    CLibrary& lib = CLibrary::Instance();
    // Needs no exchange with the device, so it does not wait for the
    // session's call lock.
    std::shared_ptr<CChannel> channel = lib.FindChannelClient(handle).second;
    if (!channel) return QNVNET_ERR_NO_SESSION;
    uint32_t rc = channel->SetStallTimeout(milliseconds);
    if (rc == QNVNET_OK && milliseconds != 0 && !lib.WatchStalls(channel)) rc = kInternalFailure;
    return rc;
  });
}

uint32_t QNVNet_GetDisconnectReason(QNVNetLoss* loss) {
  if (loss == nullptr) return QNVNET_ERR_ARGUMENT;
  *loss = qnv::CurrentLoss();
  return 0;
}

uint32_t QNVNet_DevGetLossReason(uint32_t clientId, QNVNetLoss* loss) {
  if (loss == nullptr) return QNVNET_ERR_ARGUMENT;
  return Guarded([&]() -> uint32_t {
    std::shared_ptr<CClient> client = CLibrary::Instance().FindClient(clientId);
    if (!client) return QNVNET_ERR_NO_SESSION;
    *loss = client->Loss();
    return 0;
  });
}

uint32_t QNVNet_LiveGetLossReason(uint32_t handle, QNVNetLoss* loss) {
  if (loss == nullptr) return QNVNET_ERR_ARGUMENT;
  return Guarded([&]() -> uint32_t {
    std::shared_ptr<CChannel> channel = CLibrary::Instance().FindChannel(handle);
    if (!channel) return QNVNET_ERR_NO_SESSION;
    *loss = channel->Loss();
    return 0;
  });
}

uint32_t QNVNet_DevGetMessageDrops(uint32_t clientId, uint64_t* dropped) {
  if (dropped == nullptr) return QNVNET_ERR_ARGUMENT;
  return Guarded([&]() -> uint32_t {
    std::shared_ptr<CClient> client = CLibrary::Instance().FindClient(clientId);
    if (!client) return QNVNET_ERR_NO_SESSION;
    *dropped = client->DroppedMessages();
    return 0;
  });
}

uint32_t QNVNet_PTZCtrlSend(uint32_t clientId, uint32_t v1, uint32_t v2, uint32_t v3, uint32_t v4) {
  return WithCommand(clientId, &qnv::PtzControl, v1, v2, v3, v4);
}

uint32_t QNVNet_PTZCtrlPreset(uint32_t clientId, uint32_t v1, uint32_t v2) {
  return WithCommand(clientId, &qnv::PtzPreset, v1, v2);
}

uint32_t QNVNet_PTZGetParam(uint32_t clientId, uint32_t type, void* buffer, int32_t& length) {
  if (Missing(buffer, length)) return QNVNET_ERR_ARGUMENT;
  return WithCommand(clientId, &qnv::PtzGetParam, type, buffer, length);
}

uint32_t QNVNet_ManageGetSysConfig(uint32_t clientId, uint32_t type, void* buffer,
                                   int32_t& length) {
  if (Missing(buffer, length)) return QNVNET_ERR_ARGUMENT;
  return WithCommand(clientId, &qnv::GetSysConfig, type, buffer, length);
}

uint32_t QNVNet_ManageSetSysConfig(uint32_t clientId, uint32_t type, const void* data,
                                   int32_t length) {
  if (Missing(data, length)) return QNVNET_ERR_ARGUMENT;
  return WithCommand(clientId, &qnv::SetSysConfig, type, data, length);
}

uint32_t QNVNet_ManageSendSysCmd(uint32_t clientId, uint32_t type, const void* data,
                                 int32_t& length) {
  if (Missing(data, length)) return QNVNET_ERR_ARGUMENT;
  return WithCommand(clientId, &qnv::SendSysCommand, type, data, length);
}

uint32_t QNVNet_ManageSysUpdateData(uint32_t clientId, const char* path) {
  return WithCommand(clientId, &qnv::UploadFirmware, path);
}

uint32_t QNVNet_ManageSysUpdateStart(uint32_t clientId) {
  return WithCommand(clientId, &qnv::StartFirmwareUpdate);
}

uint32_t QNVNet_RuleDownLoad(uint32_t clientId, void* buffer, int32_t& length) {
  if (Missing(buffer, length)) return QNVNET_ERR_ARGUMENT;
  return WithCommand(clientId, &qnv::RuleDownload, buffer, length);
}

uint32_t QNVNet_RuleUpLoad(uint32_t clientId, const void* data, int32_t length) {
  if (Missing(data, length)) return QNVNET_ERR_ARGUMENT;
  return WithCommand(clientId, &qnv::RuleUpload, data, length);
}

uint32_t QNVNet_RuleEnable(uint32_t clientId, int32_t on) {
  return WithCommand(clientId, &qnv::RuleEnable, on);
}

uint32_t QNVNet_IsRuleEnable(uint32_t clientId, int32_t& state) {
  return WithCommand(clientId, &qnv::RuleState, state);
}

uint32_t QNVNet_AlgorGetParam(uint32_t clientId, uint32_t type, void* buffer, int32_t& length) {
  if (Missing(buffer, length)) return QNVNET_ERR_ARGUMENT;
  return WithCommand(clientId, &qnv::AlgorithmGet, type, buffer, length);
}

uint32_t QNVNet_AlgorSetParam(uint32_t clientId, uint32_t type, const void* data, int32_t length) {
  if (Missing(data, length)) return QNVNET_ERR_ARGUMENT;
  return WithCommand(clientId, &qnv::AlgorithmSet, type, data, length);
}

uint32_t QNVNet_DecoderAvailable(int32_t* available) {
  return Guarded([&]() -> uint32_t {
    qnv::LoadPlayer();
    if (available != nullptr) *available = qnv::PlayerIsLoaded() ? 1 : 0;
    return 0;
  });
}
