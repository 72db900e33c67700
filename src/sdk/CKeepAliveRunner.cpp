#include "sdk/CKeepAliveRunner.h"

#include <system_error>

namespace qnv {

void CKeepAliveRunner::CQueue::Push(const std::shared_ptr<CClient>& session) {
  if (m_head > 0 && m_items.size() == m_items.capacity()) {
    // Reuse the slots already taken rather than grow.
    m_items.erase(m_items.begin(), m_items.begin() + ptrdiff_t(m_head));
    m_head = 0;
  }
  m_items.push_back(session);
}

std::shared_ptr<CClient> CKeepAliveRunner::CQueue::Pop() {
  std::shared_ptr<CClient> session = std::move(m_items[m_head++]);
  if (Empty()) {
    m_items.clear();  // keeps the capacity
    m_head = 0;
  }
  return session;
}

void CKeepAliveRunner::CQueue::Drop() {
  for (size_t i = m_head; i < m_items.size(); ++i) m_items[i]->KeepAliveQueued().store(false);
  m_items.clear();
  m_head = 0;
}

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
    m_fast.Drop();
    m_slow.Drop();
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
    (s->KeepAliveSlow() ? m_slow : m_fast).Push(s);
  }
  // Grow while every worker is taken and work waits.
  const size_t wanted = m_busy + m_fast.Size() + m_slow.Size();
  while (m_workers.size() < wanted && m_workers.size() < kMaxWorkers)
    if (!StartWorker()) break;
  m_work.notify_all();
}

void CKeepAliveRunner::PostAndWait(const std::vector<std::shared_ptr<CClient>>& sessions) {
  Post(sessions);
  std::unique_lock<std::mutex> lock(m_mutex);
  m_idle.wait(lock, [this] {
    return !m_running || m_stop || (m_fast.Empty() && m_slow.Empty() && m_busy == 0);
  });
}

void CKeepAliveRunner::Work() {
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    const size_t slowLimit = kMaxWorkers - kFastReserve;
    m_work.wait(lock, [&] {
      return m_stop || !m_fast.Empty() || (!m_slow.Empty() && m_busySlow < slowLimit);
    });
    if (m_stop) return;
    bool slow = m_fast.Empty();
    std::shared_ptr<CClient> session;
    if (slow) {
      session = m_slow.Pop();
      ++m_busySlow;
    } else {
      session = m_fast.Pop();
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
    if (m_fast.Empty() && m_slow.Empty() && m_busy == 0) m_idle.notify_all();
    m_work.notify_one();
  }
}

}  // namespace qnv
