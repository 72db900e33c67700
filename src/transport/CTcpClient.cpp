#include "transport/CTcpClient.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "QNVNetSdk.h"
#include "platform/Clock.h"
#include "platform/Socket.h"
#include "protocol/CommandMessage.h"
#include "protocol/Commands.h"

namespace qnv {

using namespace protocol;

using namespace platform;

bool CTcpClient::Connect(const char* address, uint16_t port, ICommandSink* sink) {
  if (!Open(address, port)) return false;
  m_probe = SProbe{};
  m_silentRounds.store(0);
  m_sink.store(sink);
  return true;
}

void CTcpClient::ReportFailure() {
  if (ICommandSink* sink = m_sink.load()) sink->Disconnected();
}

bool CTcpClient::ReadExact(uint8_t* dst, int32_t length, uint64_t deadlineMs, int32_t* failure) {
  int32_t got = 0;
  *failure = 1;  // positive: no failure of the connection
  while (got < length) {
    uint64_t now = MonotonicMs();
    if (now >= deadlineMs) return false;
    int ready = SocketWaitReadable(m_socket, int(deadlineMs - now));
    if (ready == 0) return false;
    ssize_t n = ready < 0 ? -1
                          : SocketRecv(m_socket, dst ? dst + got : m_recvBuffer,
                                       size_t(dst ? length - got
                                                  : std::min<int32_t>(length - got, kDiscardSize)));
    if (n <= 0) {
      *failure = int32_t(n);
      return false;
    }
    Heard();
    got += int32_t(n);
  }
  return true;
}

int32_t CTcpClient::ReadFailed(int32_t failure, uint32_t reason) {
  if (failure > 0) return 0;  // time-out: not a failure of the link
  const int32_t error = failure < 0 && reason == 0 ? errno : 0;
  Fail(reason != 0 ? reason : QNVNET_LOSS_BROKEN_CONNECTION, error);
  // Shut down rather than closed: the socket number stays reserved (it is
  // the session's client id) until the owner closes the connection.
  SocketShutdown(m_socket);
  return failure;
}

void CTcpClient::Break(uint32_t reason) {
  if (m_socket < 0) return;
  Fail(reason, 0);
  SocketShutdown(m_socket);
}

void CTcpClient::Heard() {
  m_arrivals.fetch_add(1, std::memory_order_relaxed);
  m_silentRounds.store(0, std::memory_order_relaxed);
}

void CTcpClient::NoteReply(const uint8_t* message, int32_t length) {
  if (!m_probe.pending || length < int32_t(kMinReplyLength)) return;
  const ReplyView reply = DecodeReply(message, length);
  if (reply.commandClass == m_probe.commandClass && reply.commandCode == m_probe.commandCode)
    m_probe.pending = false;
}

void CTcpClient::TakeStrayReply(const uint8_t* message, int32_t length, uint32_t& sessionId) {
  NoteReply(message, length);
  if (length < int32_t(kMinReplyLength)) return;
  const ReplyView reply = DecodeReply(message, length);
  if (reply.commandClass == kClassLogin && reply.result == 0) sessionId = reply.sessionId;
}

bool CTcpClient::SendProbe(const uint8_t* message, int32_t length, uint16_t commandClass,
                           uint16_t commandCode, uint64_t answerByMs) {
  if (m_socket < 0 || m_broken || length <= 0) return false;
  const ssize_t n = SocketSendNow(m_socket, message, size_t(length));
  if (n == length) {
    m_probe = SProbe{true, commandClass, commandCode, answerByMs};
    return true;
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;  // the device reads nothing
  // Failed, or only part of it went out: the requests are no longer framed.
  const int32_t error = n < 0 ? errno : 0;
  m_broken = true;
  SocketShutdown(m_socket);
  ReportOnce(QNVNET_LOSS_BROKEN_CONNECTION, error);
  return false;
}

void CTcpClient::AwaitProbe(uint32_t& sessionId) {
  while (m_probe.pending && m_socket >= 0 && !m_broken) {
    const uint64_t now = MonotonicMs();
    if (now >= m_probe.answerByMs ||
        SocketWaitReadable(m_socket, int(m_probe.answerByMs - now)) <= 0)
      return;
    uint8_t area[kTransactArea];
    std::memset(area, 0, kReplyHeaderSize);
    const int32_t d = Receive(area, int32_t(sizeof area), 0);
    if (d < 0) return;  // the link failed, and said so
    TakeStrayReply(area, d, sessionId);
  }
}

void CTcpClient::DeliverDeviceMessage(const uint8_t* block, int32_t length) {
  if (ICommandSink* sink = m_sink.load()) sink->DeviceMessage(block, length);
}

int32_t CTcpClient::Receive(void* buffer, int32_t capacity, uint32_t timeoutMs) {
  if (m_socket < 0) return 0;
  // A time-out of T ms waits T / 1000 whole seconds, once more when nothing
  // came; below a second both waits are polls. Device messages met on the
  // way do not restart the first wait.
  const int waitMs = int(timeoutMs / 1000) * 1000;
  const uint64_t firstEnd = MonotonicMs() + uint64_t(waitMs);
  for (;;) {
    uint64_t now = MonotonicMs();
    if (SocketWaitReadable(m_socket, now >= firstEnd ? 0 : int(firstEnd - now)) <= 0) {
      SocketWaitReadable(m_socket, waitMs);
      return 0;
    }
    // Once a message has begun, its remaining bytes must arrive within the
    // caller's time-out; they are never padded.
    uint64_t deadline = MonotonicMs() + std::max<uint32_t>(timeoutMs, 500);
    uint8_t prefix[kPrefixSize];
    int32_t failure = 1;
    if (!ReadExact(prefix, kPrefixSize, deadline, &failure)) return ReadFailed(failure);
    if (StartsDeviceMessage(prefix)) {
      uint8_t block[kDeviceMessageMaxLength];
      std::memcpy(block, prefix, kPrefixSize);
      if (!ReadExact(block + kPrefixSize, int32_t(kDeviceMessageHeaderSize - kPrefixSize), deadline,
                     &failure))
        return ReadFailed(failure);
      const uint32_t blockLength = DecodeDeviceMessageLength(block);
      // A bad length leaves nothing to find the next message by.
      if (blockLength == 0) return ReadFailed(-1, QNVNET_LOSS_MALFORMED_MESSAGE);
      if (!ReadExact(block + kDeviceMessageHeaderSize,
                     int32_t(blockLength - kDeviceMessageHeaderSize), deadline, &failure))
        return ReadFailed(failure);
      DeliverDeviceMessage(block, int32_t(blockLength));
      continue;
    }
    const int32_t length = DecodeMessageLength(prefix);
    if (length < 0) {
      // No framing to go by: drop what is pending, as it cannot be trusted.
      SocketDiscardPending(m_socket);
      return 0;
    }
    // (The prefix read above already counts as a sign of the device.)
    if (length > capacity || buffer == nullptr) {
      // Consume the whole message so the next read starts at a boundary.
      if (!ReadExact(nullptr, length - int32_t(kPrefixSize), deadline, &failure))
        return ReadFailed(failure);
      return 0;
    }
    auto* out = static_cast<uint8_t*>(buffer);
    std::memcpy(out, prefix, kPrefixSize);
    if (!ReadExact(out + kPrefixSize, length - int32_t(kPrefixSize), deadline, &failure))
      return ReadFailed(failure);
    NoteReply(out, length);
    return length;
  }
}

CTcpClient::Drained CTcpClient::DrainPending(uint32_t& sessionId) {
  if (m_socket < 0 || m_broken) return Drained::kClosed;
  for (;;) {
    uint8_t head[kDeviceMessageHeaderSize];
    ssize_t n = SocketPeek(m_socket, head, sizeof head);
    if (n == 0) return Drained::kClosed;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Drained::kEmpty;
    if (n < 0) {
      ReadFailed(-1);  // reset, or timed out (TCP found the device gone)
      return Drained::kFailed;
    }
    if (size_t(n) < kPrefixSize) return Drained::kPartial;
    size_t unit;
    const bool device = StartsDeviceMessage(head);
    if (device) {
      if (size_t(n) < kDeviceMessageHeaderSize) return Drained::kPartial;
      unit = DecodeDeviceMessageLength(head);
      if (unit == 0) {
        ReadFailed(-1, QNVNET_LOSS_MALFORMED_MESSAGE);
        return Drained::kFailed;
      }
    } else {
      const int32_t length = DecodeMessageLength(head);
      if (length < 0) {
        // Unframed: nothing to keep, but the device is there.
        if (SocketDiscardPending(m_socket) > 0) Heard();
        return Drained::kEmpty;
      }
      unit = size_t(length);
    }
    if (SocketAvailable(m_socket) < unit) return Drained::kPartial;
    // The whole unit is queued, so these reads do not wait. A command
    // message is kept (whole, when it fits the area) to be looked at.
    int32_t failure = 1;
    uint64_t deadline = MonotonicMs() + 100;
    uint8_t block[kDeviceMessageMaxLength];
    static_assert(sizeof block >= kTransactArea, "a whole reply fits");
    const bool keep = device || unit <= sizeof block;
    if (!keep) std::memset(block, 0, kReplyHeaderSize);
    if (!ReadExact(keep ? block : nullptr, int32_t(unit), deadline, &failure)) {
      ReadFailed(failure);
      return failure > 0 ? Drained::kPartial : Drained::kClosed;
    }
    if (device)
      DeliverDeviceMessage(block, int32_t(unit));
    else if (keep)
      TakeStrayReply(block, int32_t(unit), sessionId);
  }
}

void CTcpClient::Abort() {
  m_sink.store(nullptr);
  SocketShutdown(m_socket);
}

void CTcpClient::Close() {
  m_sink.store(nullptr);
  CloseSocket();
}

}  // namespace qnv
