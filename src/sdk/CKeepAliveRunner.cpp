#include "sdk/CKeepAliveRunner.h"

#include <atomic>
#include <system_error>

namespace qnv {

namespace {
std::atomic<uint32_t> g_answerMs{CKeepAliveRunner::kAnswerMs};
}

uint32_t CKeepAliveRunner::AnswerMs() { return g_answerMs.load(); }
void CKeepAliveRunner::SetAnswerMsForTesting(uint32_t ms) { g_answerMs.store(ms); }

bool CKeepAliveRunner::Start(Report report, void* context) {
  platform::CLockGuard lock(m_mutex);
  if (m_running) return true;
  m_report = report;
  m_context = context;
  m_stop = false;
  m_running = true;
  return true;  // the reporting thread starts with the first loss
}

void CKeepAliveRunner::Stop() {
  std::thread reporter;
  {
    platform::CLockGuard lock(m_mutex);
    if (!m_running) return;
    m_stop = true;
    m_losses.clear();
    m_head = 0;
    reporter.swap(m_reporter);
  }
  m_work.notify_all();
  if (reporter.joinable()) reporter.join();
  platform::CLockGuard lock(m_mutex);
  m_running = false;
  m_idle.notify_all();
}

void CKeepAliveRunner::Tick(const std::vector<std::shared_ptr<CClient>>& sessions, uint64_t nowMs,
                            bool send) {
  const uint32_t answerMs = g_answerMs.load();
  platform::CLockGuard lock(m_tickMutex);
  m_busy.clear();
  m_busy.reserve(sessions.size());  // grows with the sessions only, never in a steady tick
  auto visit = [&](const std::shared_ptr<CClient>& session, bool again) REQUIRES(m_tickMutex) {
    if (session->KeepAliveTick(nowMs, answerMs, send) == CClient::Tick::kBusy) {
      if (!again) m_busy.push_back(session);
    } else if (session->LossPending()) {
      Queue(session);
    }
  };
  for (const auto& session : sessions) visit(session, false);
  // A call, or the watcher reading a reply, held these for a moment.
  for (const auto& session : m_busy) visit(session, true);
  m_busy.clear();  // holds no session past the tick
}

void CKeepAliveRunner::TickAndWait(const std::vector<std::shared_ptr<CClient>>& sessions,
                                   uint64_t nowMs) {
  Tick(sessions, nowMs);
  platform::CUniqueLock lock(m_mutex);
  m_idle.wait(lock.Native(), [this]() REQUIRES(m_mutex) {
    return !m_running || m_stop || (m_head == m_losses.size() && !m_reporting);
  });
}

void CKeepAliveRunner::Queue(const std::shared_ptr<CClient>& session) {
  if (session->LossQueued().exchange(true)) return;  // reported once, queued once
  {
    platform::CLockGuard lock(m_mutex);
    if (!m_running || m_stop) return;
    if (m_head > 0 && m_losses.size() == m_losses.capacity()) {
      // Reuse the slots already taken rather than grow.
      m_losses.erase(m_losses.begin(), m_losses.begin() + ptrdiff_t(m_head));
      m_head = 0;
    }
    m_losses.push_back(session);
    if (!m_reporter.joinable()) {
      try {
        m_reporter = std::thread(&CKeepAliveRunner::Work, this);
      } catch (const std::system_error&) {
        // No thread: the loss waits for the next tick to try again; the
        // session's own calls meet and report it meanwhile.
        m_losses.pop_back();
        session->LossQueued().store(false);
        return;
      }
    }
  }
  m_work.notify_one();
}

void CKeepAliveRunner::Work() {
  platform::CUniqueLock lock(m_mutex);
  for (;;) {
    m_work.wait(lock.Native(),
                [&]() REQUIRES(m_mutex) { return m_stop || m_head < m_losses.size(); });
    if (m_stop) return;
    std::shared_ptr<CClient> session = std::move(m_losses[m_head++]);
    if (m_head == m_losses.size()) {
      m_losses.clear();  // keeps the capacity
      m_head = 0;
    }
    m_reporting = true;
    lock.Unlock();
    session->LossQueued().store(false);
    if (m_report) m_report(m_context, session);
    session.reset();
    lock.Lock();
    m_reporting = false;
    if (m_head == m_losses.size()) m_idle.notify_all();
  }
}

}  // namespace qnv
