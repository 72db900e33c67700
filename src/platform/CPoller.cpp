#include "platform/CPoller.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

#include "platform/UniqueFd.h"

namespace qnv::platform {

namespace {
// The wake-up descriptor's token; socket tokens never reach it.
constexpr uint64_t kWakeToken = ~uint64_t(0);
}  // namespace

bool CPoller::Open() {
  if (m_epoll.load() >= 0) return true;
  UniqueFd ep(::epoll_create1(EPOLL_CLOEXEC));
  if (!ep) return false;
  UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake) return false;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kWakeToken;
  if (::epoll_ctl(ep.get(), EPOLL_CTL_ADD, wake.get(), &ev) != 0) return false;
  m_wake.store(wake.release());
  m_epoll.store(ep.release());
  return true;
}

void CPoller::Close() {
  int ep = m_epoll.exchange(-1);
  int wake = m_wake.exchange(-1);
  if (ep >= 0) ::close(ep);
  if (wake >= 0) ::close(wake);
}

bool CPoller::Arm(int fd, uint64_t token) {
  int ep = m_epoll.load();
  if (ep < 0 || fd < 0) return false;
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
  ev.data.u64 = token;
  return ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) == 0;
}

bool CPoller::Rearm(int fd, uint64_t token) {
  int ep = m_epoll.load();
  if (ep < 0 || fd < 0) return false;
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
  ev.data.u64 = token;
  return ::epoll_ctl(ep, EPOLL_CTL_MOD, fd, &ev) == 0;
}

void CPoller::Remove(int fd) {
  int ep = m_epoll.load();
  if (ep >= 0 && fd >= 0) ::epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
}

void CPoller::Wake() {
  int wake = m_wake.load();
  if (wake < 0) return;
  uint64_t one = 1;
  ssize_t n = ::write(wake, &one, sizeof one);
  (void)n;  // a full counter already wakes the waiter
}

int CPoller::Wait(uint64_t* tokens, int capacity, int timeoutMs) {
  int ep = m_epoll.load();
  if (ep < 0 || capacity <= 0) return 0;
  constexpr int kBatch = 64;
  epoll_event events[kBatch];
  int n = ::epoll_wait(ep, events, capacity < kBatch ? capacity : kBatch, timeoutMs);
  if (n <= 0) return 0;
  int count = 0;
  for (int i = 0; i < n; ++i) {
    if (events[i].data.u64 == kWakeToken) {
      uint64_t value;
      ssize_t r = ::read(m_wake.load(), &value, sizeof value);
      (void)r;
      continue;
    }
    tokens[count++] = events[i].data.u64;
  }
  return count;
}

}  // namespace qnv::platform
