#include "RequestLog.h"

#include <chrono>

namespace qnv::devsim {

void RequestLog::Append(LoggedRequest request) {
  {
    std::lock_guard lock(m_mutex);
    m_entries.push_back(std::move(request));
    if (m_maxEntries != 0 && m_entries.size() > m_maxEntries) m_entries.pop_front();
    ++m_appended;
  }
  m_cv.notify_all();
}

std::vector<LoggedRequest> RequestLog::Snapshot() const {
  std::lock_guard lock(m_mutex);
  return {m_entries.begin(), m_entries.end()};
}

void RequestLog::Clear() {
  std::lock_guard lock(m_mutex);
  m_entries.clear();
  m_appended = 0;
}

bool RequestLog::WaitFor(size_t count, int timeoutMs) {
  std::unique_lock lock(m_mutex);
  return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
                       [&] { return m_appended >= count; });
}

}  // namespace qnv::devsim
