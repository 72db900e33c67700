#include "PortRegistry.h"

#include <new>
#include <system_error>
#include <utility>
#include <vector>

#include "LibavLog.h"
#include "QNVPlayer.h"
#include "WindowPort.h"

namespace qnv::player {

PortRegistry& PortRegistry::Instance() {
  static PortRegistry registry;
  return registry;
}

// When the library is unloaded or the process ends without a shutdown, the
// ports' threads must not outlive the code they run.
// The libav log handler is this library's code: it goes with it.
PortRegistry::~PortRegistry() {
  Shutdown();
  LibavLog::Uninstall();
}

int PortRegistry::Init() {
  LibavLog::Install();
  return QNVPLAYER_OK;
}

int PortRegistry::Shutdown() {
  std::vector<std::shared_ptr<Port>> ports;
  {
    std::lock_guard lock(m_mutex);
    for (Slot& slot : m_slots) {
      std::lock_guard slotLock(slot.mutex);
      if (slot.port) ports.push_back(std::move(slot.port));
      slot.port.reset();
      slot.handle = 0;
    }
    m_open = 0;
  }
  for (auto& port : ports) port->Close();
  return QNVPLAYER_OK;
}

std::shared_ptr<Port> PortRegistry::Find(uint32_t handle) {
  if (handle == 0) return nullptr;
  Slot& slot = SlotOf(handle);
  std::lock_guard lock(slot.mutex);
  return slot.handle == handle ? slot.port : nullptr;
}

int PortRegistry::Open(uint32_t* handle, void* window) {
  if (handle == nullptr) return QNVPLAYER_ERR_ARGUMENT;
  *handle = 0;
  // A picture without a window is decoded from frames the caller holds
  // (QnvPlayer_CaptureRun); a port exists only to draw.
  if (window == nullptr) return QNVPLAYER_ERR_ARGUMENT;
  LibavLog::Install();
  std::shared_ptr<Port> port;
  try {
    port = std::make_shared<WindowPort>(static_cast<Window>(reinterpret_cast<uintptr_t>(window)));
  } catch (const std::bad_alloc&) {
    return QNVPLAYER_ERR_RESOURCE;
  } catch (const std::system_error&) {
    return QNVPLAYER_ERR_RESOURCE;
  }
  {
    std::lock_guard lock(m_mutex);
    // The next number whose slot is free; 2^32 - 1 opens in one process, or
    // every slot taken: refuse rather than hand out a used handle.
    if (m_open < kSlots) {
      for (uint32_t h = m_lastHandle; h != UINT32_MAX;) {
        Slot& slot = SlotOf(++h);
        std::lock_guard slotLock(slot.mutex);
        if (slot.handle != 0) continue;
        slot.handle = h;
        slot.port = port;
        m_lastHandle = h;
        ++m_open;
        *handle = h;
        return QNVPLAYER_OK;
      }
    }
  }
  port->Close();
  return QNVPLAYER_ERR_RESOURCE;
}

int PortRegistry::Close(uint32_t handle) {
  std::shared_ptr<Port> port;
  {
    std::lock_guard lock(m_mutex);
    if (handle == 0) return QNVPLAYER_ERR_HANDLE;
    Slot& slot = SlotOf(handle);
    std::lock_guard slotLock(slot.mutex);
    if (slot.handle != handle) return QNVPLAYER_ERR_HANDLE;
    port = std::move(slot.port);
    slot.port.reset();
    slot.handle = 0;
    --m_open;
  }
  port->Close();
  return QNVPLAYER_OK;
}

int PortRegistry::Input(uint32_t handle, const uint8_t* frame, int32_t length) {
  std::shared_ptr<Port> port = Find(handle);
  if (!port) return QNVPLAYER_ERR_HANDLE;
  if (frame == nullptr || length <= 0) return QNVPLAYER_ERR_ARGUMENT;
  const auto payload = FindPayload(frame, size_t(length));
  if (!payload) return QNVPLAYER_ERR_ARGUMENT;
  if (payload->size == 0) return QNVPLAYER_OK;
  try {
    port->Input(payload->data, payload->size);
  } catch (const std::bad_alloc&) {
    return QNVPLAYER_ERR_RESOURCE;
  }
  return QNVPLAYER_OK;
}

int PortRegistry::Capture(uint32_t handle, const char* path) {
  std::shared_ptr<Port> port = Find(handle);
  if (!port) return QNVPLAYER_ERR_HANDLE;
  if (path == nullptr || path[0] == '\0') return QNVPLAYER_ERR_ARGUMENT;
  try {
    return port->Capture(path, std::chrono::milliseconds(m_captureWaitMs.load()));
  } catch (const std::bad_alloc&) {
    return QNVPLAYER_ERR_RESOURCE;
  }
}

std::optional<PortStats> PortRegistry::Stats(uint32_t handle) {
  std::shared_ptr<Port> port = Find(handle);
  if (!port) return std::nullopt;
  return port->Stats();
}

size_t PortRegistry::OpenPorts() {
  std::lock_guard lock(m_mutex);
  return m_open;
}

}  // namespace qnv::player
