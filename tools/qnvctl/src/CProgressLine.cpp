#include "CProgressLine.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>

namespace qnvctl {

CProgressLine::CProgressLine(double logIntervalSeconds, double quietSeconds)
    : m_tty(isatty(STDERR_FILENO) == 1),
      m_interval(logIntervalSeconds),
      m_quiet(quietSeconds),
      m_created(std::chrono::steady_clock::now()) {}

void CProgressLine::Update(const std::string& text) {
  if (m_quiet > 0 &&
      std::chrono::duration<double>(std::chrono::steady_clock::now() - m_created).count() < m_quiet)
    return;
  if (m_tty) {
    // Pad over what the previous line left behind.
    std::string line = text;
    if (line.size() < m_lastWidth) line.append(m_lastWidth - line.size(), ' ');
    m_lastWidth = text.size();
    std::fprintf(stderr, "\r%s", line.c_str());
    std::fflush(stderr);
    m_open = true;
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  if (m_logged && std::chrono::duration<double>(now - m_lastLog).count() < m_interval) return;
  m_logged = true;
  m_lastLog = now;
  std::fprintf(stderr, "%s\n", text.c_str());
}

void CProgressLine::Finish(const std::string& text) {
  if (m_tty) {
    Update(text);
    Finish();
  } else {
    std::fprintf(stderr, "%s\n", text.c_str());
  }
}

void CProgressLine::Finish() {
  if (m_open) std::fputc('\n', stderr);
  m_open = false;
  m_lastWidth = 0;
}

std::string CProgressLine::Bar(double fraction, int width) {
  if (fraction < 0) fraction = 0;
  if (fraction > 1) fraction = 1;
  const int filled = static_cast<int>(fraction * width + 0.5);
  char percent[16];
  std::snprintf(percent, sizeof percent, "] %3d%%", static_cast<int>(fraction * 100));
  return "[" + std::string(filled, '#') + std::string(width - filled, '-') + percent;
}

std::string CProgressLine::Bytes(uint64_t bytes) {
  char text[32];
  if (bytes >= (1u << 20))
    std::snprintf(text, sizeof text, "%.1f MiB", bytes / 1048576.0);
  else if (bytes >= 1024)
    std::snprintf(text, sizeof text, "%.0f KiB", bytes / 1024.0);
  else
    std::snprintf(text, sizeof text, "%u B", static_cast<unsigned>(bytes));
  return text;
}

std::string CProgressLine::Clock(double seconds) {
  if (seconds < 0) seconds = 0;
  const int minutes = static_cast<int>(seconds / 60);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%04.1f", minutes, seconds - minutes * 60);
  return text;
}

}  // namespace qnvctl
