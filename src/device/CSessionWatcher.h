// CSessionWatcher: the one thread that watches every registered session's
// idle command connection (one epoll set, so it costs nothing while no byte
// arrives) and delivers device messages to the host's message callback.
//
// A session's connection is armed for one report at a time: the watcher, on a
// report, takes the session's call lock without waiting (a session in a call
// reads its own connection and re-arms it when the call ends), reads whatever
// complete messages are there and re-arms. Messages read by calls on other
// threads are queued here too, so the callback always runs on this thread,
// in arrival order per session, with no lock of the library held.
//
// Owned by the library; Start/Stop on the thread that runs InitLib/UnInitLib;
// Add, Remove, Rearm and Post from any thread. Sessions must be removed
// before their connection is closed.
#ifndef QNV_DEVICE_CSESSIONWATCHER_H
#define QNV_DEVICE_CSESSIONWATCHER_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/CPoller.h"

namespace qnv {

class CClient;

class CSessionWatcher {
 public:
  // Called on the watcher thread when a session's connection failed while
  // idle (a device message with a bad block length).
  using LossHandler = void (*)(void* context, const std::shared_ptr<CClient>& session);

  CSessionWatcher() = default;
  ~CSessionWatcher() { Stop(); }
  CSessionWatcher(const CSessionWatcher&) = delete;
  CSessionWatcher& operator=(const CSessionWatcher&) = delete;

  bool Start(LossHandler onLoss, void* context);
  // Joins the thread and drops messages not yet delivered.
  void Stop();

  // Starts watching the session's connection; returns its token (0: not
  // watched, for instance when the watcher is stopped).
  uint64_t Add(const std::shared_ptr<CClient>& session, int fd);
  void Remove(uint64_t token, int fd);
  void Rearm(uint64_t token, int fd);
  // Queues one device message (copied) for the host.
  void Post(uint32_t clientId, const char* address, uint16_t port, const uint8_t* body,
            int32_t length);
  bool IsWatcherThread() const { return std::this_thread::get_id() == m_threadId.load(); }

 private:
  struct Message {
    uint32_t clientId;
    char address[16];
    uint16_t port;
    std::vector<uint8_t> body;
  };
  struct Retry {
    uint64_t dueMs;
    uint64_t token;
  };
  void Run();
  void Deliver();
  std::shared_ptr<CClient> Find(uint64_t token);

  platform::CPoller m_poller;
  std::thread m_thread;
  std::atomic<std::thread::id> m_threadId{};
  std::atomic<bool> m_stop{false};
  LossHandler m_onLoss = nullptr;
  void* m_context = nullptr;
  std::mutex m_mutex;  // guards m_sessions, m_queue, m_nextToken
  std::unordered_map<uint64_t, std::weak_ptr<CClient>> m_sessions;
  std::deque<Message> m_queue;
  uint64_t m_nextToken = 1;
  std::vector<Retry> m_retries;  // watcher thread only
};

}  // namespace qnv

#endif  // QNV_DEVICE_CSESSIONWATCHER_H
