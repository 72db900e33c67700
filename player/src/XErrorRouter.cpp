#include "XErrorRouter.h"

#include <type_traits>

namespace qnvplayer {

XErrorRouter& XErrorRouter::Instance() {
  static XErrorRouter router;
  static_assert(std::is_trivially_destructible_v<XErrorRouter>);
  return router;
}

XErrorState* XErrorRouter::Find(Display* display) {
  for (XErrorState* s = head_; s != nullptr; s = s->next) {
    if (s->display == display) return s;
  }
  return nullptr;
}

int XErrorRouter::OnError(Display* display, XErrorEvent* event) {
  XErrorRouter& r = Instance();
  XErrorHandler previous;
  {
    std::lock_guard lock(r.mutex_);
    if (XErrorState* s = r.Find(display)) {
      s->lastCode.store(event->error_code);
      s->errors.fetch_add(1);
      return 0;
    }
    previous = r.previous_;
  }
  return previous != nullptr ? previous(display, event) : 0;
}

int XErrorRouter::OnIoError(Display* display) {
  XErrorRouter& r = Instance();
  XIOErrorHandler previous;
  {
    std::lock_guard lock(r.mutex_);
    if (XErrorState* s = r.Find(display)) {
      s->connectionLost.store(true);
      return 0;
    }
    previous = r.previousIo_;
  }
  return previous != nullptr ? previous(display) : 0;
}

void XErrorRouter::OnIoExit(Display*, void*) {
  // Returning instead of exiting leaves the connection marked dead: every
  // later call on it fails at once and the owner closes it.
}

Display* XErrorRouter::Open(XErrorState* state) {
  static std::once_flag threads;
  std::call_once(threads, [] { XInitThreads(); });
  std::lock_guard life(lifecycleMutex_);
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return nullptr;
  XSetIOErrorExitHandler(display, &XErrorRouter::OnIoExit, nullptr);
  bool install;
  {
    std::lock_guard lock(mutex_);
    install = head_ == nullptr;
    state->display = display;
    state->next = head_;
    head_ = state;
  }
  if (install) {
    XErrorHandler previous = XSetErrorHandler(&XErrorRouter::OnError);
    XIOErrorHandler previousIo = XSetIOErrorHandler(&XErrorRouter::OnIoError);
    std::lock_guard lock(mutex_);
    previous_ = previous == &XErrorRouter::OnError ? nullptr : previous;
    previousIo_ = previousIo == &XErrorRouter::OnIoError ? nullptr : previousIo;
  }
  return display;
}

void XErrorRouter::Close(Display* display) {
  if (display == nullptr) return;
  std::lock_guard life(lifecycleMutex_);
  XCloseDisplay(display);
  bool restore;
  XErrorHandler previous;
  XIOErrorHandler previousIo;
  {
    std::lock_guard lock(mutex_);
    for (XErrorState** link = &head_; *link != nullptr; link = &(*link)->next) {
      if ((*link)->display == display) {
        XErrorState* gone = *link;
        *link = gone->next;
        gone->next = nullptr;
        gone->display = nullptr;
        break;
      }
    }
    restore = head_ == nullptr;
    previous = previous_;
    previousIo = previousIo_;
  }
  if (restore) {
    // Put the earlier handlers back, unless someone replaced ours meanwhile.
    XErrorHandler mine = XSetErrorHandler(previous);
    if (mine != &XErrorRouter::OnError) XSetErrorHandler(mine);
    XIOErrorHandler mineIo = XSetIOErrorHandler(previousIo);
    if (mineIo != &XErrorRouter::OnIoError) XSetIOErrorHandler(mineIo);
  }
}

}  // namespace qnvplayer
