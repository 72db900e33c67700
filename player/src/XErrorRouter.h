// XErrorRouter: opens and closes the player's own X display connections and
// owns Xlib's process-wide error handlers while any of them is open. Errors
// and lost connections on the player's connections are recorded in the
// connection's XErrorState and never end the process; those on the host's
// own connections go to whatever handlers were installed before. The
// handlers are put back when the last player connection closes.
// Any thread. A process-wide singleton with nothing to destroy (its list
// lives in the connections' XErrorState), so it stays usable until the very
// end of the process and never leaks when the library is unloaded.
#ifndef QNVPLAYER_XERRORROUTER_H
#define QNVPLAYER_XERRORROUTER_H

#include <X11/Xlib.h>

#include <atomic>
#include <mutex>

namespace qnv::player {

// What went wrong on one connection; written by the error handlers (on
// whichever thread Xlib runs them), read by the connection's owner.
struct XErrorState {
  std::atomic<unsigned> errors{0};
  std::atomic<int> lastCode{0};  // X error code of the latest error
  std::atomic<bool> connectionLost{false};

  // The router's list of open connections; touched only under its mutex.
  Display* display = nullptr;
  XErrorState* next = nullptr;
};

class XErrorRouter {
 public:
  static XErrorRouter& Instance();
  XErrorRouter(const XErrorRouter&) = delete;
  XErrorRouter& operator=(const XErrorRouter&) = delete;

  // Connects to the display named by DISPLAY; null when that fails. state
  // must outlive the connection.
  Display* Open(XErrorState* state);
  // Closes a connection from Open.
  void Close(Display* display);

 private:
  constexpr XErrorRouter() = default;
  static int OnError(Display* display, XErrorEvent* event);
  static int OnIoError(Display* display);
  static void OnIoExit(Display* display, void* user);
  XErrorState* Find(Display* display);

  // Held across XOpenDisplay/XCloseDisplay, so no connection address is
  // reused while the old one is still registered.
  std::mutex m_lifecycleMutex;
  // Guards the fields below; never held while calling into Xlib.
  std::mutex m_mutex;
  XErrorState* m_head = nullptr;
  XErrorHandler m_previous = nullptr;
  XIOErrorHandler m_previousIo = nullptr;
};

}  // namespace qnv::player

#endif  // QNVPLAYER_XERRORROUTER_H
