// CLibrary: the library-wide state. Owns the registry lock, the session
// registry (at most 500), the channel registry (at most 64), the keep-alive
// tick with its reporting thread, the session watcher and the stall watch.
// One instance lives as long as the process.
//
// Locks, in the order they may be taken (never the reverse):
//   a session's call lock  ->  the registry lock  ->  a channel's save mutex
// The registry lock guards the two registries and the slots reserved by
// logins and live opens in progress; it is held for look-ups and edits only,
// never across a device exchange, a connect or a host callback. A session's
// call lock (CClient::Call) keeps that session's exchanges one at a time.
// Host callbacks run with no library lock held.
#ifndef QNV_SDK_CLIBRARY_H
#define QNV_SDK_CLIBRARY_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "device/CClient.h"
#include "device/CSessionWatcher.h"
#include "live/CChannel.h"
#include "live/CStallWatch.h"
#include "platform/CPeriodicTimer.h"
#include "platform/ThreadAnnotations.h"
#include "sdk/CKeepAliveRunner.h"

namespace qnv {

class CLibrary {
 public:
  static constexpr size_t kMaxSessions = 500;
  static constexpr size_t kMaxChannels = 64;
  static constexpr uint32_t kKeepAlivePeriodMs = 5000;

  static CLibrary& Instance();

  // The registry lock.
  platform::CRecursiveMutex& Lock() RETURN_CAPABILITY(m_lock) { return m_lock; }

  uint32_t Init();
  uint32_t UnInit();

  // Look-ups; each takes the registry lock for its scan.
  std::shared_ptr<CClient> FindClient(uint32_t clientId);
  std::shared_ptr<CChannel> FindChannel(uint32_t handle);
  // The channel and the session that opened it (both null when either is gone).
  std::pair<std::shared_ptr<CClient>, std::shared_ptr<CChannel>> FindChannelClient(uint32_t handle);

  uint32_t Login(uint32_t* clientId, const char* ip, uint16_t port, const char* user,
                 const char* password);
  void Logout(uint32_t clientId);
  // Called with the session's call lock held.
  uint32_t LiveOpen(uint32_t* handle, CClient& client, HWND window) REQUIRES(client.CallLock());
  uint32_t LiveClose(CClient& client, uint32_t handle) REQUIRES(client.CallLock());

  // After an operation on session has let go of its call lock: if its
  // command connection failed (or its device fell silent), the disconnect
  // callback and then the logout, once per loss.
  void ReportLoss(const std::shared_ptr<CClient>& session);
  // One keep-alive tick now, on the calling thread: a keep-alive to every
  // logged-in session, sent without waiting; returns once the losses it
  // found were reported. For tests and benchmarks.
  void KeepAlivePass();
  // Lists the channel with the stall watch (after its time-out was set).
  bool WatchStalls(const std::shared_ptr<CChannel>& channel);

  size_t SessionCount();
  size_t ChannelCount();
  // Interval of the keep-alive tick; for tests.
  static void SetKeepAlivePeriodForTesting(uint32_t ms);

 private:
  CLibrary() = default;
  // Fills targets (cleared first, its capacity kept) with the sessions due a
  // keep-alive.
  void KeepAliveTargets(std::vector<std::shared_ptr<CClient>>& targets);
  // Takes the session (and its channels) out of the registries, then closes
  // them; false when it was not registered any more.
  bool RemoveSession(const std::shared_ptr<CClient>& session);
  static void CloseSession(const std::shared_ptr<CClient>& session,
                           std::vector<std::shared_ptr<CChannel>>& channels);
  uint32_t UniqueHandle() REQUIRES(m_lock);
  static void Tick(void* library);
  // AnswerMs after each tick: judges the keep-alives that went out.
  static void Judge(void* library);
  static void OnLoss(void* library, const std::shared_ptr<CClient>& session);

  platform::CRecursiveMutex m_lock;  // the registry lock
  std::vector<std::shared_ptr<CClient>> m_sessions GUARDED_BY(m_lock);
  std::vector<std::shared_ptr<CChannel>> m_channels GUARDED_BY(m_lock);
  size_t m_loginsInProgress GUARDED_BY(m_lock) = 0;
  std::vector<int32_t> m_channelNumbersReserved GUARDED_BY(m_lock);  // live opens in progress
  bool m_initialised GUARDED_BY(m_lock) = false;
  uint32_t m_nextHandle GUARDED_BY(m_lock) = 0;
  platform::CPeriodicTimer m_keepAlive;
  // Timer thread only: reused by every tick so a tick allocates nothing.
  std::vector<std::shared_ptr<CClient>> m_tickTargets;
  CKeepAliveRunner m_keepAliveRunner;
  CSessionWatcher m_watcher;
  CStallWatch m_stallWatch;
};

}  // namespace qnv

#endif  // QNV_SDK_CLIBRARY_H
