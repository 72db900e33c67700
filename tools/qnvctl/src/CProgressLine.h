// CProgressLine: one status line on stderr for long work. On a terminal it
// is redrawn in place; otherwise (a pipe, a log) a line is written at most
// once per interval, so logs stay readable. Host thread only.
#ifndef QNVCTL_CPROGRESSLINE_H
#define QNVCTL_CPROGRESSLINE_H

#include <chrono>
#include <string>

namespace qnvctl {

class CProgressLine {
 public:
  // Nothing is shown before quietSeconds have passed (for work that is
  // usually quick); then on a non-terminal a line every logIntervalSeconds.
  explicit CProgressLine(double logIntervalSeconds = 1.0, double quietSeconds = 0);
  ~CProgressLine() { Finish(); }
  CProgressLine(const CProgressLine&) = delete;
  CProgressLine& operator=(const CProgressLine&) = delete;

  void Update(const std::string& text);  // may skip the line on a non-terminal
  void Finish(const std::string& text);  // always shown, ends the line
  void Finish();                         // ends the line as it stands

  // "[#########-----------]  45%"
  static std::string Bar(double fraction, int width = 24);
  // "1.5 MiB", "812 KiB", "96 B"
  static std::string Bytes(uint64_t bytes);
  // "01:02.3"
  static std::string Clock(double seconds);

 private:
  bool m_tty;
  bool m_open = false;  // a line is drawn and not yet ended
  double m_interval;
  double m_quiet;
  std::chrono::steady_clock::time_point m_created;
  std::chrono::steady_clock::time_point m_lastLog{};
  bool m_logged = false;
  size_t m_lastWidth = 0;
};

}  // namespace qnvctl

#endif  // QNVCTL_CPROGRESSLINE_H
