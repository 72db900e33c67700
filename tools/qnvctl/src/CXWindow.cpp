#include "CXWindow.h"

#include <X11/Xutil.h>

#include <cstdlib>

namespace qnvctl {

CXWindow::~CXWindow() {
  if (m_display) {
    if (m_window && !m_closed) XDestroyWindow(m_display, m_window);
    XCloseDisplay(m_display);
  }
}

bool CXWindow::Create(int width, int height, const std::string& title, std::string& error) {
  m_display = XOpenDisplay(nullptr);
  if (!m_display) {
    const char* name = std::getenv("DISPLAY");
    error = name && *name ? std::string("cannot open the X display '") + name +
                                "' named by DISPLAY (no X server answers there)"
                          : "cannot open the X display: DISPLAY is not set";
    return false;
  }
  const int screen = DefaultScreen(m_display);
  m_window = XCreateSimpleWindow(m_display, RootWindow(m_display, screen), 0, 0,
                                 static_cast<unsigned>(width), static_cast<unsigned>(height), 0,
                                 BlackPixel(m_display, screen), BlackPixel(m_display, screen));
  // Ask the window manager to tell us about its close button instead of
  // killing our connection.
  m_deleteWindow = XInternAtom(m_display, "WM_DELETE_WINDOW", False);
  XSetWMProtocols(m_display, m_window, &m_deleteWindow, 1);
  XSelectInput(m_display, m_window, StructureNotifyMask | KeyPressMask);
  SetTitle(title);
  XMapWindow(m_display, m_window);
  // The player looks the window up on its own connection: make sure the
  // server has created it before its id is handed over.
  XSync(m_display, False);
  return true;
}

int CXWindow::connectionFd() const { return m_display ? ConnectionNumber(m_display) : -1; }

void CXWindow::SetTitle(const std::string& title) {
  if (!m_display) return;
  XStoreName(m_display, m_window, title.c_str());
  XFlush(m_display);
}

bool CXWindow::ProcessEvents() {
  while (!m_closed && XPending(m_display) > 0) {
    XEvent event;
    XNextEvent(m_display, &event);
    if (event.type == ClientMessage &&
        static_cast<Atom>(event.xclient.data.l[0]) == m_deleteWindow) {
      m_closed = true;
    } else if (event.type == DestroyNotify) {
      m_closed = true;
    } else if (event.type == KeyPress) {
      // q or Escape closes the view as well.
      const KeySym key = XLookupKeysym(&event.xkey, 0);
      if (key == 'q' || key == 0xff1b /* XK_Escape */) m_closed = true;
    }
  }
  return !m_closed;
}

}  // namespace qnvctl
