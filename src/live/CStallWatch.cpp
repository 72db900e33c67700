#include "live/CStallWatch.h"

#include <chrono>
#include <system_error>

#include "live/CChannel.h"
#include "platform/Clock.h"

namespace qnv {

bool CStallWatch::Watch(const std::shared_ptr<CChannel>& channel) {
  {
    platform::CLockGuard lock(m_mutex);
    bool listed = false;
    for (const auto& c : m_channels)
      listed = listed || (!c.owner_before(channel) && !channel.owner_before(c));
    if (!listed) m_channels.push_back(channel);
    if (!m_thread.joinable()) {
      m_stop = false;
      try {
        m_thread = std::thread(&CStallWatch::Run, this);
      } catch (const std::system_error&) {
        m_channels.pop_back();
        return false;
      }
    }
  }
  m_wake.notify_one();
  return true;
}

void CStallWatch::Stop() {
  std::thread thread;
  {
    platform::CLockGuard lock(m_mutex);
    m_stop = true;
    thread.swap(m_thread);
  }
  m_wake.notify_one();
  if (thread.joinable()) thread.join();
  platform::CLockGuard lock(m_mutex);
  m_channels.clear();
}

void CStallWatch::Run() {
  platform::CUniqueLock lock(m_mutex);
  while (!m_stop) {
    if (m_channels.empty())
      m_wake.wait(lock.Native());
    else
      m_wake.wait_for(lock.Native(), std::chrono::milliseconds(kCheckMs));
    if (m_stop) break;
    const uint64_t now = platform::MonotonicMs();
    for (size_t i = 0; i < m_channels.size();) {
      // A stall is reported by shutting the stream down, which never blocks,
      // so it is done right here, under the lock.
      std::shared_ptr<CChannel> channel = m_channels[i].lock();
      if (channel && channel->CheckStall(now)) {
        ++i;
        continue;
      }
      m_channels[i] = std::move(m_channels.back());
      m_channels.pop_back();
    }
  }
}

}  // namespace qnv
