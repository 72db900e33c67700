// PortRegistry: the process-wide table of open ports behind the C functions.
// Hands out handles from a counter that only grows, so a handle is never
// reused within the process; 0 is never a handle. Every member may be called
// from any thread. A handle names a fixed slot (handle % kSlots), so finding
// a port, once per frame on every receive thread, takes no shared lock and
// walks no tree: it takes only that slot's lock. The mutex is held only to
// add or remove a port, never while a port decodes, draws or writes.
#ifndef QNVPLAYER_PORTREGISTRY_H
#define QNVPLAYER_PORTREGISTRY_H

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "Port.h"

namespace qnv::player {

class PortRegistry {
 public:
  // Ports open at once, at most (the SDK opens at most 64).
  static constexpr uint32_t kSlots = 1024;
  static constexpr std::chrono::milliseconds kDefaultCaptureWait{2000};

  static PortRegistry& Instance();
  PortRegistry(const PortRegistry&) = delete;
  PortRegistry& operator=(const PortRegistry&) = delete;
  ~PortRegistry();

  int Init();
  // Closes every port and joins their threads.
  int Shutdown();
  int Open(uint32_t* handle, void* window);
  int Close(uint32_t handle);
  int Input(uint32_t handle, const uint8_t* frame, int32_t length);
  int Capture(uint32_t handle, const char* path);

  // How long a capture waits for a first picture.
  void SetCaptureWait(std::chrono::milliseconds wait) { m_captureWaitMs.store(wait.count()); }
  std::optional<PortStats> Stats(uint32_t handle);
  size_t OpenPorts();

 private:
  PortRegistry() = default;
  std::shared_ptr<Port> Find(uint32_t handle);

  // Each slot has a lock of its own, taken by the one receive thread that
  // feeds its port and, rarely, by a capture, open or close.
  struct alignas(64) Slot {
    std::mutex mutex;
    uint32_t handle = 0;  // 0: free
    std::shared_ptr<Port> port;
  };
  Slot& SlotOf(uint32_t handle) { return m_slots[handle % kSlots]; }

  std::mutex m_mutex;  // serialises Open, Close and Shutdown
  std::array<Slot, kSlots> m_slots;
  size_t m_open = 0;
  uint32_t m_lastHandle = 0;
  std::atomic<int64_t> m_captureWaitMs{kDefaultCaptureWait.count()};
};

}  // namespace qnv::player

#endif  // QNVPLAYER_PORTREGISTRY_H
