#include "platform/CPeriodicTimer.h"

#include <chrono>
#include <system_error>

namespace qnv::platform {

bool CPeriodicTimer::Start(uint32_t periodMs, Procedure procedure, void* context) {
  if (m_thread.joinable() || procedure == nullptr) return false;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = false;
  }
  try {
    m_thread = std::thread(&CPeriodicTimer::Run, this, periodMs, procedure, context);
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void CPeriodicTimer::Stop() {
  if (!m_thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
  }
  m_wake.notify_all();
  m_thread.join();
}

void CPeriodicTimer::Run(uint32_t periodMs, Procedure procedure, void* context) {
  auto next = std::chrono::steady_clock::now() + std::chrono::milliseconds(periodMs);
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    if (m_wake.wait_until(lock, next, [this] { return m_stop; })) return;
    lock.unlock();
    procedure(context);
    lock.lock();
    // The period counts from the planned tick, not from the end of the run,
    // so a slow pass does not push every later pass back.
    next += std::chrono::milliseconds(periodMs);
    auto now = std::chrono::steady_clock::now();
    if (next < now) next = now + std::chrono::milliseconds(periodMs);
  }
}

}  // namespace qnv::platform
