// PortRegistry: the process-wide table of open ports behind the C functions.
// Hands out handles from a counter that only grows, so a handle is never
// reused within the process; 0 is never a handle. Every member may be called
// from any thread: the table is guarded by a mutex that is held only to find,
// add or remove a port, never while a port decodes, draws or writes.
#ifndef QNVPLAYER_PORTREGISTRY_H
#define QNVPLAYER_PORTREGISTRY_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "Port.h"

namespace qnvplayer {

class PortRegistry {
 public:
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
  void SetCaptureWait(std::chrono::milliseconds wait) { captureWaitMs_.store(wait.count()); }
  std::optional<PortStats> Stats(uint32_t handle);
  size_t OpenPorts();

 private:
  PortRegistry() = default;
  std::shared_ptr<Port> Find(uint32_t handle);

  std::mutex mutex_;
  std::map<uint32_t, std::shared_ptr<Port>> ports_;
  uint32_t lastHandle_ = 0;
  std::atomic<int64_t> captureWaitMs_{kDefaultCaptureWait.count()};
};

}  // namespace qnvplayer

#endif  // QNVPLAYER_PORTREGISTRY_H
