#include "platform/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/Clock.h"
#include "platform/FailureNote.h"

namespace qnv::platform {

namespace {

std::atomic<const SocketHooks*> g_hooks{nullptr};

bool SetNonBlocking(int fd, bool on) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) return false;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return fcntl(fd, F_SETFL, flags) == 0;
}

}  // namespace

bool NetworkStartup() {
  // Probe that the process can create sockets at all.
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno == EMFILE || errno == ENFILE;  // busy, not broken
  ::close(fd);
  return true;
}

bool ParseIPv4(const char* text, uint32_t* out) {
  if (text == nullptr) return false;
  size_t len = std::strlen(text);
  if (len == 0 || len > 15) return false;
  uint32_t parts[4];
  int part = 0;
  uint32_t value = 0;
  int digits = 0;
  for (size_t i = 0; i <= len; ++i) {
    char c = text[i];
    if (c >= '0' && c <= '9') {
      value = value * 10 + uint32_t(c - '0');
      if (++digits > 3 || value > 255) return false;
    } else if (c == '.' || c == '\0') {
      if (digits == 0 || part >= 4) return false;
      parts[part++] = value;
      value = 0;
      digits = 0;
    } else {
      return false;
    }
  }
  if (part != 4) return false;
  if (out) *out = htonl(parts[0] << 24 | parts[1] << 16 | parts[2] << 8 | parts[3]);
  return true;
}

int SocketCreateTcp() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  return fd < 0 ? kInvalidSocket : fd;
}

bool SocketConnect(int fd, const char* ip, uint16_t port, int timeoutMs) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (!ParseIPv4(ip, &addr.sin_addr.s_addr)) {
    NoteFailure(FailureKind::kBadAddress, 0, "not a dotted IPv4 address");
    return false;
  }
  if (!SetNonBlocking(fd, true)) return false;
  int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  int err = rc == 0 ? 0 : errno;
  if (rc != 0 && err == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    uint64_t deadline = MonotonicMs() + uint64_t(timeoutMs);
    for (;;) {
      uint64_t now = MonotonicMs();
      int wait = now >= deadline ? 0 : int(deadline - now);
      rc = ::poll(&p, 1, wait);
      if (rc < 0 && errno == EINTR) continue;
      break;
    }
    if (rc == 0) {
      NoteFailure(FailureKind::kNoAnswer, 0, "no answer to the connection attempt within %d ms",
                  timeoutMs);
      return false;
    }
    socklen_t errLen = sizeof err;
    if (rc < 0)
      err = errno;
    else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &errLen) != 0)
      err = errno;
  }
  if (err != 0) {
    NoteErrno(err == ECONNREFUSED ? FailureKind::kConnectionRefused : FailureKind::kNetwork, err,
              "connection failed");
    return false;
  }
  if (!SetNonBlocking(fd, false)) return false;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  // Without these a half-open connection lives for ever (nothing to read)
  // or for some 15 minutes of retransmissions (data sent).
  const int idle = kKeepAliveIdleS, interval = kKeepAliveIntervalS, count = kKeepAliveCount;
  const unsigned userTimeout = kUserTimeoutMs;
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
  return true;
}

ssize_t SocketSend(int fd, const void* data, size_t length) {
  if (const SocketHooks* h = g_hooks.load(); h && h->send) return h->send(fd, data, length);
  for (;;) {
    ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

bool SocketSendAll(int fd, const void* data, size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    ssize_t n = SocketSend(fd, p, length);
    if (n <= 0) return false;
    p += n;
    length -= size_t(n);
  }
  return true;
}

bool SocketSendAllBefore(int fd, const void* data, size_t length, uint64_t deadlineMs,
                         bool* timedOut) {
  *timedOut = false;
  const SocketHooks* h = g_hooks.load();
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    ssize_t n =
        h && h->send ? h->send(fd, p, length) : ::send(fd, p, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The socket buffer is full: wait for room, but not past the deadline.
      const uint64_t now = MonotonicMs();
      if (now >= deadlineMs) {
        *timedOut = true;
        return false;
      }
      pollfd w{fd, POLLOUT, 0};
      if (::poll(&w, 1, int(std::min<uint64_t>(deadlineMs - now, INT32_MAX))) < 0 && errno != EINTR)
        return false;
      continue;
    }
    if (n <= 0) return false;
    p += n;
    length -= size_t(n);
  }
  return true;
}

ssize_t SocketSendNow(int fd, const void* data, size_t length) {
  const SocketHooks* h = g_hooks.load();
  for (;;) {
    ssize_t n = h && h->send ? h->send(fd, data, length)
                             : ::send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

ssize_t SocketRecv(int fd, void* data, size_t length) {
  if (const SocketHooks* h = g_hooks.load(); h && h->recv) return h->recv(fd, data, length);
  for (;;) {
    ssize_t n = ::recv(fd, data, length, 0);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

ssize_t SocketRecvWhenReady(int fd, void* data, size_t length) {
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const int rc = ::poll(&p, 1, -1);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return -1;
    if ((p.revents & POLLNVAL) != 0) {
      errno = EBADF;
      return -1;
    }
    if (const SocketHooks* h = g_hooks.load(); h && h->recv) return h->recv(fd, data, length);
    const ssize_t n = ::recv(fd, data, length, MSG_DONTWAIT);
    // EAGAIN: woken with nothing to read after all (another reader, or a
    // spurious wake-up); wait again.
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    return n;
  }
}

int SocketWaitReadable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  uint64_t deadline = MonotonicMs() + uint64_t(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    uint64_t now = MonotonicMs();
    int wait = now >= deadline ? 0 : int(deadline - now);
    int rc = ::poll(&p, 1, wait);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return -1;
    return rc > 0 ? 1 : 0;
  }
}

size_t SocketDiscardPending(int fd) {
  size_t total = 0;
  char scratch[4096];
  for (;;) {
    ssize_t n = ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    total += size_t(n);
  }
  return total;
}

ssize_t SocketPeek(int fd, void* data, size_t length) {
  for (;;) {
    ssize_t n = ::recv(fd, data, length, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

size_t SocketAvailable(int fd) {
  int n = 0;
  if (::ioctl(fd, FIONREAD, &n) != 0 || n < 0) return 0;
  return size_t(n);
}

void SocketShutdown(int fd) {
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void SocketClose(int fd) {
  if (fd >= 0) ::close(fd);
}

void SocketSetReceiveLowWater(int fd, int bytes) {
  if (bytes < 1) bytes = 1;
  setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes);
}

void SetSocketHooksForTesting(const SocketHooks* hooks) { g_hooks.store(hooks); }

}  // namespace qnv::platform
