// Log: one line per event on stderr. Under systemd (JOURNAL_STREAM set) each
// line starts with its syslog priority ("<3>") so the journal files it at the
// right level and adds the time itself; elsewhere each line starts with the
// UTC time and the level word. Any thread may call it.
#pragma once

#include <cstdarg>

namespace qnvrecorder {

enum class LogLevel { kError = 3, kWarning = 4, kInfo = 6 };

void Log(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

#define LOG_ERROR(...) ::qnvrecorder::Log(::qnvrecorder::LogLevel::kError, __VA_ARGS__)
#define LOG_WARN(...) ::qnvrecorder::Log(::qnvrecorder::LogLevel::kWarning, __VA_ARGS__)
#define LOG_INFO(...) ::qnvrecorder::Log(::qnvrecorder::LogLevel::kInfo, __VA_ARGS__)

}  // namespace qnvrecorder
