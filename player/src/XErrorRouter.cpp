#include "XErrorRouter.h"

#include <type_traits>

namespace qnv::player {

XErrorRouter& XErrorRouter::Instance() {
  static XErrorRouter router;
  static_assert(std::is_trivially_destructible_v<XErrorRouter>);
  return router;
}

XErrorState* XErrorRouter::Find(Display* display) {
  for (XErrorState* s = m_head; s != nullptr; s = s->next) {
    if (s->display == display) return s;
  }
  return nullptr;
}

int XErrorRouter::OnError(Display* display, XErrorEvent* event) {
  XErrorRouter& r = Instance();
  XErrorHandler previous;
  {
    std::lock_guard lock(r.m_mutex);
    if (XErrorState* s = r.Find(display)) {
      s->lastCode.store(event->error_code);
      s->errors.fetch_add(1);
      return 0;
    }
    previous = r.m_previous;
  }
  return previous != nullptr ? previous(display, event) : 0;
}

int XErrorRouter::OnIoError(Display* display) {
  XErrorRouter& r = Instance();
  XIOErrorHandler previous;
  {
    std::lock_guard lock(r.m_mutex);
    if (XErrorState* s = r.Find(display)) {
      s->connectionLost.store(true);
      return 0;
    }
    previous = r.m_previousIo;
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
  std::lock_guard life(m_lifecycleMutex);
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return nullptr;
  XSetIOErrorExitHandler(display, &XErrorRouter::OnIoExit, nullptr);
  bool install;
  {
    std::lock_guard lock(m_mutex);
    install = m_head == nullptr;
    state->display = display;
    state->next = m_head;
    m_head = state;
  }
  if (install) {
    XErrorHandler previous = XSetErrorHandler(&XErrorRouter::OnError);
    XIOErrorHandler previousIo = XSetIOErrorHandler(&XErrorRouter::OnIoError);
    std::lock_guard lock(m_mutex);
    m_previous = previous == &XErrorRouter::OnError ? nullptr : previous;
    m_previousIo = previousIo == &XErrorRouter::OnIoError ? nullptr : previousIo;
  }
  return display;
}

void XErrorRouter::Close(Display* display) {
  if (display == nullptr) return;
  std::lock_guard life(m_lifecycleMutex);
  XCloseDisplay(display);
  bool restore;
  XErrorHandler previous;
  XIOErrorHandler previousIo;
  {
    std::lock_guard lock(m_mutex);
    for (XErrorState** link = &m_head; *link != nullptr; link = &(*link)->next) {
      if ((*link)->display == display) {
        XErrorState* gone = *link;
        *link = gone->next;
        gone->next = nullptr;
        gone->display = nullptr;
        break;
      }
    }
    restore = m_head == nullptr;
    previous = m_previous;
    previousIo = m_previousIo;
  }
  if (restore) {
    // Put the earlier handlers back, unless someone replaced ours meanwhile.
    XErrorHandler mine = XSetErrorHandler(previous);
    if (mine != &XErrorRouter::OnError) XSetErrorHandler(mine);
    XIOErrorHandler mineIo = XSetIOErrorHandler(previousIo);
    if (mineIo != &XErrorRouter::OnIoError) XSetIOErrorHandler(mineIo);
  }
}

}  // namespace qnv::player
