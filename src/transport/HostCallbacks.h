// The host's three callbacks and user value, set by QNVNet_SetCallback without
// a lock and read afresh at the moment of each call, from any thread.
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

}  // namespace qnv

#endif  // QNV_TRANSPORT_HOSTCALLBACKS_H
