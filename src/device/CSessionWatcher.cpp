#include "device/CSessionWatcher.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "device/CClient.h"
#include "platform/Clock.h"
#include "transport/HostCallbacks.h"

namespace qnv {

namespace {
// A connection holding part of a message is looked at again after this long,
// rather than at once, so a slow sender costs no busy loop.
constexpr uint64_t kPartialRetryMs = 10;
constexpr int kReadyBatch = 64;
}  // namespace

bool CSessionWatcher::Start(LossHandler onLoss, void* context) {
  if (m_thread.joinable()) return true;
  if (!m_poller.Open()) return false;
  m_onLoss = onLoss;
  m_context = context;
  m_stop.store(false);
  {
    platform::CLockGuard lock(m_mutex);
    m_running = true;
  }
  try {
    m_thread = std::thread(&CSessionWatcher::Run, this);
    m_messageThread = std::thread(&CSessionWatcher::Deliver, this);
  } catch (const std::system_error&) {
    Stop();
    return false;
  }
  return true;
}

void CSessionWatcher::Stop() {
  {
    platform::CLockGuard lock(m_mutex);
    m_running = false;
    m_stop.store(true);
  }
  m_queued.notify_all();
  if (m_thread.joinable()) {
    m_poller.Wake();
    m_thread.join();
  }
  if (m_messageThread.joinable()) m_messageThread.join();
  m_poller.Close();
  platform::CLockGuard lock(m_mutex);
  m_sessions.clear();
  m_queues.clear();
  m_turns.clear();
  m_retries.clear();
}

uint64_t CSessionWatcher::Add(const std::shared_ptr<CClient>& session, int fd) {
  platform::CLockGuard lock(m_mutex);
  if (!m_running) return 0;
  uint64_t token = m_nextToken++;
  m_sessions[token] = session;
  if (!m_poller.Arm(fd, token)) {
    m_sessions.erase(token);
    return 0;
  }
  return token;
}

void CSessionWatcher::Remove(uint64_t token, int fd) {
  if (token == 0) return;
  platform::CLockGuard lock(m_mutex);
  m_poller.Remove(fd);
  m_sessions.erase(token);
  auto it = m_queues.find(token);
  if (it == m_queues.end()) return;
  // Messages already read are still delivered.
  if (it->second.messages.empty())
    m_queues.erase(it);
  else
    it->second.removed = true;
}

void CSessionWatcher::Rearm(uint64_t token, int fd) {
  if (token != 0) m_poller.Rearm(fd, token);
}

void CSessionWatcher::Post(uint64_t token, uint32_t clientId, const char* address, uint16_t port,
                           const uint8_t* body, int32_t length) {
  Message m{clientId, {}, port, std::vector<uint8_t>(body, body + std::max(length, 0))};
  std::snprintf(m.address, sizeof m.address, "%s", address ? address : "");
  {
    platform::CLockGuard lock(m_mutex);
    if (!m_running) return;
    Queue& queue = m_queues[token];
    if (queue.messages.size() >= kMaxQueuedMessages) {
      // The session keeps its turn: its queue stays non-empty.
      queue.messages.pop_front();
      ++queue.dropped;
    } else if (queue.messages.empty()) {
      m_turns.push_back(token);
    }
    queue.messages.push_back(std::move(m));
  }
  m_queued.notify_one();
}

void CSessionWatcher::AddDropped(uint64_t token, uint64_t count) {
  if (count == 0) return;
  platform::CLockGuard lock(m_mutex);
  if (m_running) m_queues[token].dropped += count;
}

uint64_t CSessionWatcher::Dropped(uint64_t token) {
  platform::CLockGuard lock(m_mutex);
  auto it = m_queues.find(token);
  return it == m_queues.end() ? 0 : it->second.dropped;
}

std::shared_ptr<CClient> CSessionWatcher::Find(uint64_t token) {
  platform::CLockGuard lock(m_mutex);
  auto it = m_sessions.find(token);
  return it == m_sessions.end() ? nullptr : it->second.lock();
}

void CSessionWatcher::Run() {
  uint64_t ready[kReadyBatch];
  while (!m_stop.load()) {
    int timeout = -1;
    if (!m_retries.empty()) {
      uint64_t due = m_retries.front().dueMs;
      for (const Retry& r : m_retries) due = std::min(due, r.dueMs);
      uint64_t now = platform::MonotonicMs();
      timeout = due <= now ? 0 : int(due - now);
    }
    int n = m_poller.Wait(ready, kReadyBatch, timeout);
    for (int i = 0; i < n && !m_stop.load(); ++i) {
      std::shared_ptr<CClient> session = Find(ready[i]);
      if (!session) continue;
      switch (session->PollIdle()) {
        case CClient::Idle::kPartial:
          m_retries.push_back({platform::MonotonicMs() + kPartialRetryMs, ready[i]});
          break;
        case CClient::Idle::kLost:
          if (m_onLoss) m_onLoss(m_context, session);
          break;
        default:
          break;
      }
    }
    uint64_t now = platform::MonotonicMs();
    for (size_t i = 0; i < m_retries.size();) {
      if (m_retries[i].dueMs > now) {
        ++i;
        continue;
      }
      if (std::shared_ptr<CClient> session = Find(m_retries[i].token)) session->RearmWatch();
      m_retries[i] = m_retries.back();
      m_retries.pop_back();
    }
  }
}

void CSessionWatcher::Deliver() {
  for (;;) {
    Message m;
    {
      platform::CUniqueLock lock(m_mutex);
      m_queued.wait(lock.Native(),
                    [this]() REQUIRES(m_mutex) { return m_stop.load() || !m_turns.empty(); });
      if (m_stop.load()) return;
      const uint64_t token = m_turns.front();
      m_turns.pop_front();
      auto it = m_queues.find(token);
      if (it == m_queues.end() || it->second.messages.empty()) continue;
      Queue& queue = it->second;
      m = std::move(queue.messages.front());
      queue.messages.pop_front();
      if (!queue.messages.empty())
        m_turns.push_back(token);
      else if (queue.removed)
        m_queues.erase(it);
    }
    // Read at the moment of the call; without a callback the message is dropped.
    if (QNVNetMessageCallback cb = Callbacks().message.load()) {
      CCallbackScope scope;
      if (scope.Entered())
        cb(m.clientId, m.address, m.port, 0, reinterpret_cast<char*>(m.body.data()),
           int32_t(m.body.size()), Callbacks().user.load());
    }
  }
}

}  // namespace qnv
