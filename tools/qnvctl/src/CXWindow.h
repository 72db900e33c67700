// CXWindow: a top-level X11 window for live video, with its own display
// connection. The SDK's player draws into it over a connection of its own;
// this class only creates the window, notices when the user closes it, and
// destroys it. Host thread only; close the live channel before destroying it.
#ifndef QNVCTL_CXWINDOW_H
#define QNVCTL_CXWINDOW_H

#include <X11/Xlib.h>

#include <string>

namespace qnvctl {

class CXWindow {
 public:
  CXWindow() = default;
  ~CXWindow();
  CXWindow(const CXWindow&) = delete;
  CXWindow& operator=(const CXWindow&) = delete;

  // False with a message when there is no display.
  bool Create(int width, int height, const std::string& title, std::string& error);
  Window id() const { return m_window; }
  int connectionFd() const;  // readable when events are pending
  void SetTitle(const std::string& title);
  // Handles pending events; false once the window was closed.
  bool ProcessEvents();

 private:
  Display* m_display = nullptr;
  Window m_window = 0;
  Atom m_deleteWindow = 0;
  bool m_closed = false;
};

}  // namespace qnvctl

#endif  // QNVCTL_CXWINDOW_H
