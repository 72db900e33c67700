// CSdkLibrary: the SDK's initialisation for this process. Registers the
// callbacks and calls QNVNet_InitLib in Start; the destructor calls
// QNVNet_UnInitLib, which closes whatever sessions and channels are still
// open and stops the SDK's threads, and unregisters the callbacks.
//
// The SDK has one set of callbacks per process, so at most one CSdkLibrary
// may exist at a time. The handlers run on SDK threads (a channel's receive
// thread, a keep-alive thread, the watcher thread); they must be thread-safe and must stay
// valid until the destructor has returned. Create, start and destroy it on
// the host thread; destroy it after every session and channel object.
#ifndef QNVCTL_CSDKLIBRARY_H
#define QNVCTL_CSDKLIBRARY_H

#include <cstddef>
#include <cstdint>
#include <functional>

#include "QNVNetSdk.h"

namespace qnvctl {

class CSdkLibrary {
 public:
  struct SHandlers {
    // One complete frame: the 40-byte header, the extension block if any, the
    // payload. The bytes are valid only during the call.
    std::function<void(uint32_t clientId, const uint8_t* frame, size_t length)> frame;
    // A session or a stream was lost. port is the login port for the
    // session (the SDK logs it out right after) or login port + 2 for a
    // channel's stream (the channel stays open but silent); loss says why
    // (QNVNet_GetDisconnectReason).
    std::function<void(uint32_t clientId, uint16_t port, const QNVNetLoss& loss)> disconnect;
    // A device message: the block from its byte 8 on (bytes valid only during
    // the call). Runs on the SDK's watcher thread.
    std::function<void(uint32_t clientId, const uint8_t* body, size_t length)> message;
  };

  explicit CSdkLibrary(SHandlers handlers = {});
  ~CSdkLibrary();
  CSdkLibrary(const CSdkLibrary&) = delete;
  CSdkLibrary& operator=(const CSdkLibrary&) = delete;

  uint32_t Start();  // QNVNet_InitLib's result

 private:
  static bool OnFrame(uint32_t clientId, char* deviceIp, uint16_t port, char* frame, int32_t length,
                      uint32_t user);
  static bool OnDisconnect(uint32_t clientId, char* deviceIp, uint16_t port, uint32_t user);
  static bool OnMessage(uint32_t clientId, char* deviceIp, uint16_t port, uint16_t value,
                        char* body, int32_t length, uint32_t user);

  SHandlers m_handlers;
  bool m_started = false;
};

}  // namespace qnvctl

#endif  // QNVCTL_CSDKLIBRARY_H
