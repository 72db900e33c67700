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
  try {
    m_thread = std::thread(&CSessionWatcher::Run, this);
  } catch (const std::system_error&) {
    m_poller.Close();
    return false;
  }
  return true;
}

void CSessionWatcher::Stop() {
  if (m_thread.joinable()) {
    m_stop.store(true);
    m_poller.Wake();
    m_thread.join();
  }
  m_poller.Close();
  std::lock_guard<std::mutex> lock(m_mutex);
  m_sessions.clear();
  m_queue.clear();
  m_retries.clear();
}

uint64_t CSessionWatcher::Add(const std::shared_ptr<CClient>& session, int fd) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_thread.joinable()) return 0;
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
  std::lock_guard<std::mutex> lock(m_mutex);
  m_poller.Remove(fd);
  m_sessions.erase(token);
}

void CSessionWatcher::Rearm(uint64_t token, int fd) {
  if (token != 0) m_poller.Rearm(fd, token);
}

void CSessionWatcher::Post(uint32_t clientId, const char* address, uint16_t port,
                           const uint8_t* body, int32_t length) {
  Message m{clientId, {}, port, std::vector<uint8_t>(body, body + std::max(length, 0))};
  std::snprintf(m.address, sizeof m.address, "%s", address ? address : "");
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_thread.joinable()) return;
    m_queue.push_back(std::move(m));
  }
  if (!IsWatcherThread()) m_poller.Wake();
}

std::shared_ptr<CClient> CSessionWatcher::Find(uint64_t token) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_sessions.find(token);
  return it == m_sessions.end() ? nullptr : it->second.lock();
}

void CSessionWatcher::Run() {
  m_threadId.store(std::this_thread::get_id());
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
    Deliver();
  }
  m_threadId.store(std::thread::id{});
}

void CSessionWatcher::Deliver() {
  for (;;) {
    Message m;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_queue.empty() || m_stop.load()) return;
      m = std::move(m_queue.front());
      m_queue.pop_front();
    }
    // Read at the moment of the call; without a callback the message is dropped.
    if (QNVNetMessageCallback cb = Callbacks().message.load())
      cb(m.clientId, m.address, m.port, 0, reinterpret_cast<char*>(m.body.data()),
         int32_t(m.body.size()), Callbacks().user.load());
  }
}

}  // namespace qnv
