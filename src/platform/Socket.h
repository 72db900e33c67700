// TCP sockets over POSIX. A connect waits with poll() (never select: hosts
// routinely have descriptors above 1024) and every send uses MSG_NOSIGNAL so a
// peer that closed never raises SIGPIPE in the host. Send and receive go
// through replaceable hooks so tests can inject short sends and failures.
#ifndef QNV_PLATFORM_SOCKET_H
#define QNV_PLATFORM_SOCKET_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace qnv::platform {

constexpr int kInvalidSocket = -1;

// Prepares networking for the process; false when it cannot be done.
bool NetworkStartup();

// True when text is a dotted-decimal IPv4 address ("a.b.c.d", each 0..255,
// digits only) of at most 15 characters; stores it in network order.
bool ParseIPv4(const char* text, uint32_t* addressNetworkOrder);

// A new blocking IPv4 TCP socket, or kInvalidSocket.
int SocketCreateTcp();

// How long a connection whose peer has gone without a word (a pulled cable,
// a hung device, a switch that rebooted) can live. TCP keep-alive probes
// start after kKeepAliveIdleS seconds in which nothing arrived and follow
// every kKeepAliveIntervalS seconds; the connection is taken as broken (reads
// and sends fail with ETIMEDOUT) once kUserTimeoutMs passed without an
// acknowledgement of a probe or of data sent (TCP_USER_TIMEOUT, which
// then also ends the probing). So a silent peer is found after about 20 s
// (at most 22), whichever way the connection was used.
constexpr int kKeepAliveIdleS = 10;
constexpr int kKeepAliveIntervalS = 2;
constexpr int kKeepAliveCount = 5;  // the limit without a user time-out: 10 + 5 x 2 s
constexpr unsigned kUserTimeoutMs = 20000;

// Connects fd to ip:port, waiting at most timeoutMs for the handshake. A
// refused attempt fails at once. The socket is blocking again afterwards,
// with TCP_NODELAY and the keep-alive settings above.
bool SocketConnect(int fd, const char* ip, uint16_t port, int timeoutMs);

// One send call (MSG_NOSIGNAL, EINTR retried): bytes sent, or -1.
ssize_t SocketSend(int fd, const void* data, size_t length);
// Sends every byte unless the connection fails; false on failure.
bool SocketSendAll(int fd, const void* data, size_t length);
// The same, but gives up once the monotonic clock (MonotonicMs) reaches
// deadlineMs while the peer does not take the bytes: *timedOut is then set
// and some bytes may have gone out. Never blocks past the deadline.
bool SocketSendAllBefore(int fd, const void* data, size_t length, uint64_t deadlineMs,
                         bool* timedOut);
// One send call that never waits (MSG_DONTWAIT): bytes sent, or -1 (errno
// EAGAIN when the socket buffer has no room).
ssize_t SocketSendNow(int fd, const void* data, size_t length);
// One receive call (EINTR retried): bytes read, 0 on orderly close, -1 error.
ssize_t SocketRecv(int fd, void* data, size_t length);
// Waits, without a time-out, until fd's queued bytes reach its wake threshold
// (SocketSetReceiveLowWater) or the connection ends, then reads what is queued
// without blocking: bytes read, 0 on orderly close (or SocketShutdown), -1 on
// error. A blocking recv() with a threshold counts only bytes that arrive
// during the call, so bytes queued before it could leave a whole frame in the
// socket until more came; poll() compares every unread byte with it. The
// receive hook, when set, does the read.
ssize_t SocketRecvWhenReady(int fd, void* data, size_t length);
// Waits until fd is readable: 1 readable (or closed), 0 time-out, -1 error.
int SocketWaitReadable(int fd, int timeoutMs);
// Reads and drops whatever is pending without waiting; returns the count.
size_t SocketDiscardPending(int fd);
// Copies up to length pending bytes without consuming them and without
// waiting: bytes copied, 0 when the peer closed, -1 when none pending or error
// (errno EAGAIN for "none pending").
ssize_t SocketPeek(int fd, void* data, size_t length);
// Bytes queued for reading (0 on error).
size_t SocketAvailable(int fd);
// Ends both directions; a thread blocked in recv on fd returns at once.
void SocketShutdown(int fd);
void SocketClose(int fd);
// Asks the kernel to wake a blocked recv only once at least bytes are queued.
void SocketSetReceiveLowWater(int fd, int bytes);

struct SocketHooks {
  ssize_t (*send)(int fd, const void* data, size_t length);
  ssize_t (*recv)(int fd, void* data, size_t length);
};
// Replaces send/recv for tests; null restores the system calls.
void SetSocketHooksForTesting(const SocketHooks* hooks);

}  // namespace qnv::platform

#endif  // QNV_PLATFORM_SOCKET_H
