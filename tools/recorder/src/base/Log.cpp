#include "base/Log.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace qnvrecorder {

void Log(LogLevel level, const char* format, ...) {
  static const bool journal = std::getenv("JOURNAL_STREAM") != nullptr;
  static qnv::locks::CMutex mutex;
  char text[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::string line;
  if (journal) {
    line = "<" + std::to_string(static_cast<int>(level)) + ">";
  } else {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(now.tv_nsec / 1000000));
    line = stamp;
    line += level == LogLevel::kError ? "error: " : level == LogLevel::kWarning ? "warning: " : "";
  }
  // One line per event: a line break (or any control character) from a
  // device, a file or a client would split it or forge another.
  for (const char* p = text; *p; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      line += escaped;
    } else {
      line += static_cast<char>(c);
    }
  }
  line += '\n';
  qnv::locks::CLockGuard lock(mutex);
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

bool CLogThrottle::Allow(uint64_t& held, Clock::time_point now) {
  qnv::locks::CLockGuard lock(m_mutex);
  if (now - m_windowStart >= m_window) {
    m_windowStart = now;
    m_passed = 0;
  }
  if (m_passed >= m_burst) {
    ++m_held;
    return false;
  }
  ++m_passed;
  held = m_held;
  m_held = 0;
  return true;
}

uint64_t CLogThrottle::Flush(Clock::time_point now) {
  qnv::locks::CLockGuard lock(m_mutex);
  if (m_held == 0 || now - m_windowStart < m_window) return 0;
  const uint64_t held = m_held;
  m_held = 0;
  // The window that told the count starts now: the next line passes.
  m_windowStart = now;
  m_passed = 0;
  return held;
}

std::string HeldBackText(uint64_t held) {
  return held == 0 ? std::string() : " (" + std::to_string(held) + " more held back)";
}

}  // namespace qnvrecorder
