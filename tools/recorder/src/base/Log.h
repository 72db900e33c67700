// Log: one line per event on stderr. Under systemd (JOURNAL_STREAM set) each
// line starts with its syslog priority ("<3>") so the journal files it at the
// right level and adds the time itself; elsewhere each line starts with the
// UTC time and the level word. Line breaks and other control characters in a
// line are escaped, so one event stays one line. Any thread may call it.
//
// CLogThrottle keeps a line that may repeat (alarms, reconnect attempts,
// rejected logins) from flooding the log: a few per window pass, the rest are
// counted, and the count is told with the next line that passes or by Flush.
#pragma once

#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <string>

#include "qnvlocks/Locks.h"

namespace qnvrecorder {

enum class LogLevel { kError = 3, kWarning = 4, kInfo = 6 };

void Log(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

#define LOG_ERROR(...) ::qnvrecorder::Log(::qnvrecorder::LogLevel::kError, __VA_ARGS__)
#define LOG_WARN(...) ::qnvrecorder::Log(::qnvrecorder::LogLevel::kWarning, __VA_ARGS__)
#define LOG_INFO(...) ::qnvrecorder::Log(::qnvrecorder::LogLevel::kInfo, __VA_ARGS__)

// Lets `burst` lines through per `window`; any thread.
class CLogThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  CLogThrottle(int burst, std::chrono::milliseconds window) : m_burst(burst), m_window(window) {}

  // True when the line may be logged now; then `held` is how many like it
  // were held back since the last one logged (0: none), to say so in it.
  bool Allow(uint64_t& held, Clock::time_point now = Clock::now());
  // Lines held back in a window that has ended and not told yet (the caller
  // logs one line with the count); 0 when there are none.
  uint64_t Flush(Clock::time_point now = Clock::now());

 private:
  const int m_burst;
  const std::chrono::milliseconds m_window;
  qnv::locks::CMutex m_mutex;
  Clock::time_point m_windowStart GUARDED_BY(m_mutex){};
  int m_passed GUARDED_BY(m_mutex) = 0;
  uint64_t m_held GUARDED_BY(m_mutex) = 0;
};

// " (N more held back)" for a held count above 0, else "".
std::string HeldBackText(uint64_t held);

}  // namespace qnvrecorder
