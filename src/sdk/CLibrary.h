// CLibrary: the library-wide state. Owns the recursive library-wide lock, the
// session registry (at most 500), the channel registry (at most 64) and the
// keep-alive thread. One instance lives as long as the process. Registries
// are touched only under the lock; both keep their order and are searched
// from the front, first match wins.
#ifndef QNV_SDK_CLIBRARY_H
#define QNV_SDK_CLIBRARY_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "device/CClient.h"
#include "live/CChannel.h"
#include "platform/CPeriodicTimer.h"

namespace qnv {

class CLibrary {
 public:
  static constexpr size_t kMaxSessions = 500;
  static constexpr size_t kMaxChannels = 64;
  static constexpr uint32_t kKeepAlivePeriodMs = 5000;

  static CLibrary& Instance();

  std::recursive_mutex& Lock() { return m_lock; }

  uint32_t Init();
  uint32_t UnInit();

  // Look-ups; each takes the lock for its scan.
  std::shared_ptr<CClient> FindClient(uint32_t clientId);
  std::shared_ptr<CChannel> FindChannel(uint32_t handle);
  std::shared_ptr<CClient> FindChannelClient(uint32_t handle);

  uint32_t Login(uint32_t* clientId, const char* ip, uint16_t port, const char* user,
                 const char* password);
  void Logout(uint32_t clientId);
  uint32_t LiveOpen(uint32_t* handle, CClient& client, HWND window);
  uint32_t LiveClose(CClient& client, uint32_t handle);

  // Logs out every session whose command connection failed during the
  // operation that just returned (its disconnect callback already ran).
  void FinishPendingLogouts();
  // One keep-alive to every logged-in session, each under the lock.
  void KeepAlivePass();

  size_t SessionCount();
  size_t ChannelCount();
  // Interval of the keep-alive tick; for tests.
  static void SetKeepAlivePeriodForTesting(uint32_t ms);

 private:
  CLibrary() = default;
  void RemoveChannelsOf(uint32_t clientId);
  uint32_t UniqueHandle();

  std::recursive_mutex m_lock;
  std::vector<std::shared_ptr<CClient>> m_sessions;
  std::vector<std::shared_ptr<CChannel>> m_channels;
  platform::CPeriodicTimer m_keepAlive;
  bool m_initialised = false;
  uint32_t m_nextHandle = 0;
};

}  // namespace qnv

#endif  // QNV_SDK_CLIBRARY_H
