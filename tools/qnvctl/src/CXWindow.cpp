#include "CXWindow.h"

#include <X11/Xutil.h>

#include <cstdlib>

namespace qnvctl {

CXWindow::~CXWindow() {
  if (display_) {
    if (window_ && !closed_) XDestroyWindow(display_, window_);
    XCloseDisplay(display_);
  }
}

bool CXWindow::Create(int width, int height, const std::string& title, std::string& error) {
  display_ = XOpenDisplay(nullptr);
  if (!display_) {
    const char* name = std::getenv("DISPLAY");
    error = name && *name ? std::string("cannot open the X display '") + name +
                                "' named by DISPLAY (no X server answers there)"
                          : "cannot open the X display: DISPLAY is not set";
    return false;
  }
  const int screen = DefaultScreen(display_);
  window_ = XCreateSimpleWindow(display_, RootWindow(display_, screen), 0, 0,
                                static_cast<unsigned>(width), static_cast<unsigned>(height), 0,
                                BlackPixel(display_, screen), BlackPixel(display_, screen));
  // Ask the window manager to tell us about its close button instead of
  // killing our connection.
  deleteWindow_ = XInternAtom(display_, "WM_DELETE_WINDOW", False);
  XSetWMProtocols(display_, window_, &deleteWindow_, 1);
  XSelectInput(display_, window_, StructureNotifyMask | KeyPressMask);
  SetTitle(title);
  XMapWindow(display_, window_);
  // The player looks the window up on its own connection: make sure the
  // server has created it before its id is handed over.
  XSync(display_, False);
  return true;
}

int CXWindow::connectionFd() const { return display_ ? ConnectionNumber(display_) : -1; }

void CXWindow::SetTitle(const std::string& title) {
  if (!display_) return;
  XStoreName(display_, window_, title.c_str());
  XFlush(display_);
}

bool CXWindow::ProcessEvents() {
  while (!closed_ && XPending(display_) > 0) {
    XEvent event;
    XNextEvent(display_, &event);
    if (event.type == ClientMessage &&
        static_cast<Atom>(event.xclient.data.l[0]) == deleteWindow_) {
      closed_ = true;
    } else if (event.type == DestroyNotify) {
      closed_ = true;
    } else if (event.type == KeyPress) {
      // q or Escape closes the view as well.
      const KeySym key = XLookupKeysym(&event.xkey, 0);
      if (key == 'q' || key == 0xff1b /* XK_Escape */) closed_ = true;
    }
  }
  return !closed_;
}

}  // namespace qnvctl
