// CSessionWatcher: the thread that watches every registered session's idle
// command connection (one epoll set, so it costs nothing while no byte
// arrives), and the one message thread that delivers device messages to the
// host's message callback.
//
// A session's connection is armed for one report at a time: the watcher, on a
// report, takes the session's call lock without waiting (a session in a call
// reads its own connection and re-arms it when the call ends), reads whatever
// complete messages are there and re-arms. Messages read by calls on other
// threads are queued here too, so the callback always runs on the message
// thread, in arrival order per session, with no lock of the library held.
// Reading never waits for the callback: each session queues at most
// kMaxQueuedMessages, and a new message beyond that drops the session's
// oldest (counted, Dropped). The message thread takes the sessions with
// waiting messages in turn, one message each, so a flooding device cannot
// hold back another's messages.
//
// Owned by the library; Start/Stop on the thread that runs InitLib/UnInitLib;
// Add, Remove, Rearm, Post and Dropped from any thread. Sessions must be
// removed before their connection is closed.
#ifndef QNV_DEVICE_CSESSIONWATCHER_H
#define QNV_DEVICE_CSESSIONWATCHER_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/CPoller.h"
#include "platform/ThreadAnnotations.h"

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

  // Messages that may wait for the callback, per session.
  static constexpr size_t kMaxQueuedMessages = 1024;

  bool Start(LossHandler onLoss, void* context);
  // Joins the threads (a callback in progress is waited for) and drops
  // messages not yet delivered.
  void Stop();

  // Starts watching the session's connection; returns its token (0: not
  // watched, for instance when the watcher is stopped).
  uint64_t Add(const std::shared_ptr<CClient>& session, int fd);
  void Remove(uint64_t token, int fd);
  void Rearm(uint64_t token, int fd);
  // Queues one device message (copied) of the session watched as token for
  // the host, dropping the session's oldest one when kMaxQueuedMessages wait.
  void Post(uint64_t token, uint32_t clientId, const char* address, uint16_t port,
            const uint8_t* body, int32_t length);
  // Counts messages the session lost before they could be queued.
  void AddDropped(uint64_t token, uint64_t count);
  // Messages of the session dropped so far.
  uint64_t Dropped(uint64_t token);

 private:
  struct Message {
    uint32_t clientId;
    char address[16];
    uint16_t port;
    std::vector<uint8_t> body;
  };
  // One session's waiting messages. Kept after Remove until delivered.
  struct Queue {
    std::deque<Message> messages;
    uint64_t dropped = 0;
    bool removed = false;
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
  std::thread m_messageThread;
  std::atomic<bool> m_stop{false};
  LossHandler m_onLoss = nullptr;
  void* m_context = nullptr;
  platform::CMutex m_mutex;
  std::condition_variable m_queued;
  bool m_running GUARDED_BY(m_mutex) = false;
  std::unordered_map<uint64_t, std::weak_ptr<CClient>> m_sessions GUARDED_BY(m_mutex);
  std::unordered_map<uint64_t, Queue> m_queues GUARDED_BY(m_mutex);
  // Sessions with waiting messages, in the order served.
  std::deque<uint64_t> m_turns GUARDED_BY(m_mutex);
  uint64_t m_nextToken GUARDED_BY(m_mutex) = 1;
  std::vector<Retry> m_retries;  // watcher thread only
};

}  // namespace qnv

#endif  // QNV_DEVICE_CSESSIONWATCHER_H
