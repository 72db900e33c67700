#include "base/Log.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>

namespace qnvrecorder {

void Log(LogLevel level, const char* format, ...) {
  static const bool journal = std::getenv("JOURNAL_STREAM") != nullptr;
  static std::mutex mutex;
  char text[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  // One line per event: embedded line breaks would split it in the journal.
  for (char* p = text; *p; ++p) {
    if (*p == '\n' || *p == '\r') *p = ' ';
  }
  std::string line;
  if (journal) {
    line = "<" + std::to_string(static_cast<int>(level)) + ">" + text + "\n";
  } else {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  now.tv_nsec / 1000000);
    const char* word = level == LogLevel::kError     ? "error: "
                       : level == LogLevel::kWarning ? "warning: "
                                                     : "";
    line = std::string(stamp) + word + text + "\n";
  }
  std::lock_guard<std::mutex> lock(mutex);
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

}  // namespace qnvrecorder
