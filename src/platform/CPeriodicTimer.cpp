#include "platform/CPeriodicTimer.h"

#include <chrono>
#include <system_error>

namespace qnv::platform {

bool CPeriodicTimer::Start(uint32_t periodMs, Procedure procedure, void* context, uint32_t afterMs,
                           Procedure after) {
  if (m_thread.joinable() || procedure == nullptr) return false;
  {
    CLockGuard lock(m_mutex);
    m_stop = false;
  }
  if (afterMs >= periodMs) after = nullptr;
  try {
    m_thread = std::thread(&CPeriodicTimer::Run, this,
                           SPlan{periodMs, procedure, context, afterMs, after});
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void CPeriodicTimer::Stop() {
  if (!m_thread.joinable()) return;
  {
    CLockGuard lock(m_mutex);
    m_stop = true;
  }
  m_wake.notify_all();
  m_thread.join();
}

void CPeriodicTimer::Run(SPlan plan) {
  const auto period = std::chrono::milliseconds(plan.periodMs);
  auto next = std::chrono::steady_clock::now() + period;
  CUniqueLock lock(m_mutex);
  for (;;) {
    if (m_wake.wait_until(lock.Native(), next, [this]() REQUIRES(m_mutex) { return m_stop; }))
      return;
    lock.Unlock();
    plan.procedure(plan.context);
    lock.Lock();
    if (plan.after != nullptr) {
      const auto at = next + std::chrono::milliseconds(plan.afterMs);
      if (m_wake.wait_until(lock.Native(), at, [this]() REQUIRES(m_mutex) { return m_stop; }))
        return;
      lock.Unlock();
      plan.after(plan.context);
      lock.Lock();
    }
    // The period counts from the planned tick, not from the end of the run,
    // so a slow pass does not push every later pass back.
    next += period;
    auto now = std::chrono::steady_clock::now();
    if (next < now) next = now + period;
  }
}

}  // namespace qnv::platform
