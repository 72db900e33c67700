#include "transport/HostCallbacks.h"

namespace qnv {

namespace {
thread_local QNVNetLoss t_loss{};
}

HostCallbacks& Callbacks() {
  static HostCallbacks callbacks;
  return callbacks;
}

bool CallDisconnect(uint32_t clientId, char* address, uint16_t port, const QNVNetLoss& loss) {
  QNVNetDisconnectCallback cb = Callbacks().disconnect.load();
  if (cb == nullptr) return false;
  // Restored on every path, also when the host's callback throws.
  struct SRestore {
    QNVNetLoss outer = t_loss;
    ~SRestore() { t_loss = outer; }
  } restore;
  t_loss = loss;
  cb(clientId, address, port, Callbacks().user.load());
  return true;
}

const QNVNetLoss& CurrentLoss() { return t_loss; }

}  // namespace qnv
