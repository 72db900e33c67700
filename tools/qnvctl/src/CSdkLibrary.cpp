#include "CSdkLibrary.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "QNVNetSdk.h"

namespace qnvctl {

namespace {
// The callbacks are plain functions; they find the handlers through this.
// It is set before QNVNet_InitLib starts any SDK thread and cleared after
// QNVNet_UnInitLib has stopped them all.
std::atomic<CSdkLibrary::SHandlers*> gHandlers{nullptr};
}  // namespace

CSdkLibrary::CSdkLibrary(SHandlers handlers) : m_handlers(std::move(handlers)) {
  SHandlers* expected = nullptr;
  if (!gHandlers.compare_exchange_strong(expected, &m_handlers)) {
    std::fprintf(stderr, "qnvctl: internal error: the SDK was initialised twice\n");
    std::abort();
  }
}

CSdkLibrary::~CSdkLibrary() {
  if (m_started) QNVNet_UnInitLib();
  QNVNet_SetCallback(nullptr, nullptr, nullptr, 0);
  gHandlers = nullptr;
}

uint32_t CSdkLibrary::Start() {
  // Callbacks first, so no frame of the first channel is missed. Device
  // messages are only asked for by a command that handles them.
  QNVNet_SetCallback(m_handlers.message ? &CSdkLibrary::OnMessage : nullptr, &CSdkLibrary::OnFrame,
                     &CSdkLibrary::OnDisconnect, 0);
  const uint32_t result = QNVNet_InitLib();
  m_started = result == QNVNET_OK;
  return result;
}

bool CSdkLibrary::OnFrame(uint32_t clientId, char*, uint16_t, char* frame, int32_t length,
                          uint32_t) {
  SHandlers* h = gHandlers.load();
  if (h && h->frame && frame && length > 0)
    h->frame(clientId, reinterpret_cast<const uint8_t*>(frame), static_cast<size_t>(length));
  return true;
}

bool CSdkLibrary::OnDisconnect(uint32_t clientId, char*, uint16_t port, uint32_t) {
  SHandlers* h = gHandlers.load();
  QNVNetLoss loss{};
  QNVNet_GetDisconnectReason(&loss);  // only here, inside the callback
  if (h && h->disconnect) h->disconnect(clientId, port, loss);
  return true;
}

bool CSdkLibrary::OnMessage(uint32_t clientId, char*, uint16_t, uint16_t, char* body,
                            int32_t length, uint32_t) {
  SHandlers* h = gHandlers.load();
  if (h && h->message && body && length > 0)
    h->message(clientId, reinterpret_cast<const uint8_t*>(body), static_cast<size_t>(length));
  return true;
}

}  // namespace qnvctl
