#include "CStreamWatch.h"

#include <cstdio>
#include <cstring>

namespace qnvctl {

void CStreamWatch::OnDisconnect(uint16_t port, const QNVNetLoss& loss) {
  lossReason =
      loss.reason != QNVNET_LOSS_NONE ? loss.reason : uint32_t(QNVNET_LOSS_BROKEN_CONNECTION);
  lossDetail = loss.detail;
  // The command connection reports the login port, a stream the port + 2.
  if (port == m_loginPort)
    sessionLost = true;
  else
    streamLost = true;
}

std::string CStreamWatch::LossText() const {
  const bool session = sessionLost.load();
  if (!session && !streamLost.load()) return "";
  const int32_t detail = lossDetail.load();
  switch (lossReason.load()) {
    case QNVNET_LOSS_STREAM_STALLED: {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%g", detail / 1000.0);
      return std::string("the stream stalled: no frame for ") + seconds + " s";
    }
    case QNVNET_LOSS_NO_KEEPALIVE_ANSWER:
      return "the device stopped answering (no keep-alive answer)";
    case QNVNET_LOSS_MALFORMED_MESSAGE:
      return "the device sent a malformed message";
    default:
      return std::string(session ? "the connection to the device was lost"
                                 : "the stream connection was lost") +
             (detail != 0 ? std::string(" (") + std::strerror(detail) + ")" : "");
  }
}

CSdkLibrary::SHandlers CStreamWatch::Handlers() {
  CSdkLibrary::SHandlers h;
  h.frame = [this](uint32_t, const uint8_t* frame, size_t length) {
    counter.OnFrame(frame, length);
  };
  h.disconnect = [this](uint32_t, uint16_t port, const QNVNetLoss& loss) {
    OnDisconnect(port, loss);
  };
  return h;
}

CSdkLibrary::SHandlers CStreamWatch::HandlersFor(
    const std::vector<std::unique_ptr<CStreamWatch>>& watches) {
  const std::vector<CStreamWatch*> list = [&] {
    std::vector<CStreamWatch*> v;
    for (const auto& w : watches) v.push_back(w.get());
    return v;
  }();
  CSdkLibrary::SHandlers h;
  h.frame = [list](uint32_t id, const uint8_t* frame, size_t length) {
    for (CStreamWatch* w : list)
      if (w->clientId.load() == id) w->counter.OnFrame(frame, length);
  };
  h.disconnect = [list](uint32_t id, uint16_t port, const QNVNetLoss& loss) {
    for (CStreamWatch* w : list)
      if (w->clientId.load() == id) w->OnDisconnect(port, loss);
  };
  return h;
}

}  // namespace qnvctl
