// Every request the device received, in arrival order, for tests to inspect and wait on.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "devsim/Simulator.h"

namespace qnv::devsim {

// Thread-safe: the network thread appends, any thread reads, clears and waits.
class RequestLog {
 public:
  explicit RequestLog(size_t maxEntries) : m_maxEntries(maxEntries) {}
  RequestLog(const RequestLog&) = delete;
  RequestLog& operator=(const RequestLog&) = delete;

  void Append(LoggedRequest request);
  std::vector<LoggedRequest> Snapshot() const;
  void Clear();
  // True once at least `count` requests were appended since the last Clear.
  bool WaitFor(size_t count, int timeoutMs);

 private:
  const size_t m_maxEntries;  // 0: unlimited
  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  std::deque<LoggedRequest> m_entries;
  size_t m_appended = 0;  // since the last Clear, including entries dropped for the cap
};

}  // namespace qnv::devsim
