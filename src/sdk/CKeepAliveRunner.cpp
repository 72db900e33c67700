#include "sdk/CKeepAliveRunner.h"

#include <system_error>

namespace qnv {

bool CKeepAliveRunner::Start(Done done, void* context) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_running) return true;
  m_done = done;
  m_context = context;
  m_stop = false;
  m_running = true;
  return true;  // workers start with the first keep-alives
}

bool CKeepAliveRunner::StartWorker() {
  try {
    m_workers.emplace_back(&CKeepAliveRunner::Work, this);
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void CKeepAliveRunner::Stop() {
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_running) return;
    m_stop = true;
    for (auto& s : m_fast) s->KeepAliveQueued().store(false);
    for (auto& s : m_slow) s->KeepAliveQueued().store(false);
    m_fast.clear();
    m_slow.clear();
    workers.swap(m_workers);
  }
  m_work.notify_all();
  for (auto& t : workers) t.join();
  std::lock_guard<std::mutex> lock(m_mutex);
  m_running = false;
  m_idle.notify_all();
}

void CKeepAliveRunner::Post(const std::vector<std::shared_ptr<CClient>>& sessions) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_running || m_stop) return;
  for (const auto& s : sessions) {
    if (s->KeepAliveQueued().exchange(true)) continue;
    (s->KeepAliveSlow() ? m_slow : m_fast).push_back(s);
  }
  // Grow while every worker is taken and work waits.
  const size_t wanted = m_busy + m_fast.size() + m_slow.size();
  while (m_workers.size() < wanted && m_workers.size() < kMaxWorkers)
    if (!StartWorker()) break;
  m_work.notify_all();
}

void CKeepAliveRunner::PostAndWait(const std::vector<std::shared_ptr<CClient>>& sessions) {
  Post(sessions);
  std::unique_lock<std::mutex> lock(m_mutex);
  m_idle.wait(lock, [this] {
    return !m_running || m_stop || (m_fast.empty() && m_slow.empty() && m_busy == 0);
  });
}

void CKeepAliveRunner::Work() {
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    const size_t slowLimit = kMaxWorkers - kFastReserve;
    m_work.wait(lock, [&] {
      return m_stop || !m_fast.empty() || (!m_slow.empty() && m_busySlow < slowLimit);
    });
    if (m_stop) return;
    bool slow = m_fast.empty();
    std::shared_ptr<CClient> session;
    if (slow) {
      session = std::move(m_slow.front());
      m_slow.pop_front();
      ++m_busySlow;
    } else {
      session = std::move(m_fast.front());
      m_fast.pop_front();
    }
    ++m_busy;
    lock.unlock();
    session->KeepAliveWhenFree(kBusyWaitMs);
    session->KeepAliveQueued().store(false);
    if (m_done) m_done(m_context, session);
    session.reset();
    lock.lock();
    --m_busy;
    if (slow) --m_busySlow;
    if (m_fast.empty() && m_slow.empty() && m_busy == 0) m_idle.notify_all();
    m_work.notify_one();
  }
}

}  // namespace qnv
