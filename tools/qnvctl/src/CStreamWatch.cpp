#include "CStreamWatch.h"

namespace qnvctl {

void CStreamWatch::OnDisconnect(uint16_t port) {
  // The command connection reports the login port, a stream the port + 2.
  if (port == loginPort_)
    sessionLost = true;
  else
    streamLost = true;
}

CSdkLibrary::SHandlers CStreamWatch::Handlers() {
  CSdkLibrary::SHandlers h;
  h.frame = [this](uint32_t, const uint8_t* frame, size_t length) {
    counter.OnFrame(frame, length);
  };
  h.disconnect = [this](uint32_t, uint16_t port) { OnDisconnect(port); };
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
  h.disconnect = [list](uint32_t id, uint16_t port) {
    for (CStreamWatch* w : list)
      if (w->clientId.load() == id) w->OnDisconnect(port);
  };
  return h;
}

}  // namespace qnvctl
