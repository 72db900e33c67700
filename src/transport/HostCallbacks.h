// The host's three callbacks and user value, set by QNVNet_SetCallback without
// a lock and read afresh at the moment of each call, from any thread. And the
// one way the disconnect callback is called: with the loss it reports kept
// for the calling thread (QNVNet_GetDisconnectReason) while it runs.
#ifndef QNV_TRANSPORT_HOSTCALLBACKS_H
#define QNV_TRANSPORT_HOSTCALLBACKS_H

#include <atomic>
#include <cstdint>

#include "QNVNetSdk.h"

namespace qnv {

struct HostCallbacks {
  std::atomic<QNVNetMessageCallback> message{nullptr};
  std::atomic<QNVNetStreamCallback> stream{nullptr};
  std::atomic<QNVNetDisconnectCallback> disconnect{nullptr};
  std::atomic<uint32_t> user{0};
};

HostCallbacks& Callbacks();

// Calls the disconnect callback, when one is registered, with loss as this
// thread's current loss for the time of the call (a loss reported from
// inside it, by an export it calls, nests). False when none is registered.
bool CallDisconnect(uint32_t clientId, char* address, uint16_t port, const QNVNetLoss& loss);
// The loss the disconnect callback running on this thread reports; reason
// QNVNET_LOSS_NONE and zeros outside one.
const QNVNetLoss& CurrentLoss();

}  // namespace qnv

#endif  // QNV_TRANSPORT_HOSTCALLBACKS_H
