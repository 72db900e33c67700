// XvfbServer: a private virtual X server for one test, started as a child
// process on a display number it picks itself, and stopped (and reaped) when
// the object goes; it is also killed if the test process dies first. Owned
// by the test's main thread, which must be the one that starts it.
#ifndef QNV_TESTS_PLAYER_XVFBSERVER_H
#define QNV_TESTS_PLAYER_XVFBSERVER_H

#include <sys/types.h>

#include <string>

namespace qnvtest {

class XvfbServer {
 public:
  // True when the Xvfb binary can be found on PATH.
  static bool Available();

  XvfbServer() = default;
  ~XvfbServer() { Stop(); }
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  // Starts the server (screen "WxHxDEPTH", by default 800x600, 24-bit; no
  // TCP) and waits until it accepts connections. Returns false, with a
  // reason in error(), when it does not.
  bool Start(const std::string& screen = "800x600x24");
  // Terminates the server and waits for it; safe to call twice.
  void Stop();
  // ":N", for DISPLAY.
  const std::string& display() const { return m_display; }
  pid_t pid() const { return m_pid; }
  const std::string& error() const { return m_error; }

 private:
  pid_t m_pid = -1;
  std::string m_display;
  std::string m_error;
};

}  // namespace qnvtest

#endif  // QNV_TESTS_PLAYER_XVFBSERVER_H
