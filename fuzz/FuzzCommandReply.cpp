// Fuzzes the command connection's receive path: CTcpClient::Receive and the
// transaction built on it (Transact, GetCommand, SetCommand) read device
// bytes served in arbitrary pieces, split or several replies coalesced, and
// every result is checked against an independent model of the exchange.
//
// The connection is a real loopback TCP connection whose peer has shut down
// its sending side at once, so every wait for readability returns at once;
// the bytes themselves come from the socket hooks, which serve the input.
//
// Input: records of
//   op (1 byte)     0 login transaction, 1 transaction, 2 get, 3 set, 4 raw receive
//   flags (1 byte)  bit 0: the request's send fails; bit 1: the device's bytes
//                   end in a reset instead of a close; bits 2..7: capacity choice
//   chunk (1 byte)  largest piece one read returns (0: no limit)
//   length (u16 LE) and that many bytes: what the device sends after the request
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "FuzzInput.h"
#include "QNVNetSdk.h"
#include "platform/Socket.h"
#include "protocol/CommandMessage.h"
#include "protocol/Commands.h"
#include "transport/CTcpClient.h"
#include "transport/CommandTransaction.h"

namespace qnv::fuzz {

using namespace protocol;
namespace {

enum Op : uint8_t { kLogin, kTransact, kGet, kSet, kReceive, kOpCount };

// What the device side serves for the current request.
struct SDevice {
  const uint8_t* bytes = nullptr;
  size_t size = 0;
  size_t pos = 0;
  size_t chunk = 0;         // largest piece per read; 0: no limit
  bool resetAtEnd = false;  // end of the bytes reads as an error, not a close
  bool failSend = false;
  bool broken = false;  // a read or send already failed: the link is gone
  int failures = 0;     // reads and sends that returned <= 0
  int sends = 0;
};
SDevice g_device;
int g_disconnects = 0;
// The model met a whole device-message header that is malformed: the
// connection loses its framing and fails as a broken link.
bool g_framingLost = false;

ssize_t HookSend(int, const void* data, size_t length) {
  ++g_device.sends;
  if (g_device.failSend || g_device.broken) {
    g_device.broken = true;
    ++g_device.failures;
    errno = EPIPE;
    return -1;
  }
  // The request must be one whole, well-formed message.
  const auto* p = static_cast<const uint8_t*>(data);
  QNV_FUZZ_CHECK(length >= kRequestHeaderSize && length <= kTransactArea);
  QNV_FUZZ_CHECK(DecodeLengthPrefix(p) == int32_t(length));
  QNV_FUZZ_CHECK(std::memcmp(p + kReqMagicOffset, kCommandMagic, 4) == 0);
  return ssize_t(length);
}

ssize_t HookRecv(int, void* data, size_t length) {
  QNV_FUZZ_CHECK(length > 0);
  if (g_device.broken || g_device.pos >= g_device.size) {
    g_device.broken = true;
    ++g_device.failures;
    if (g_device.resetAtEnd) {
      errno = ECONNRESET;
      return -1;
    }
    return 0;
  }
  size_t n = std::min(length, g_device.size - g_device.pos);
  if (g_device.chunk != 0) n = std::min(n, g_device.chunk);
  std::memcpy(data, g_device.bytes + g_device.pos, n);
  g_device.pos += n;
  return ssize_t(n);
}

const platform::SocketHooks kHooks = {&HookSend, &HookRecv};

// Counts the connection's failures; device messages are the model's to check.
struct SFailureCount final : ICommandSink {
  void DeviceMessage(const uint8_t*, int32_t) override {}
  void Disconnected() override { ++g_disconnects; }
} g_failureCount;

// The loopback listener, made once.
int Listener(uint16_t* port) {
  static int fd = -1;
  static uint16_t listenPort = 0;
  if (fd < 0) {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(fd, 16) != 0)
      Fail("no loopback listener");
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    listenPort = ntohs(a.sin_port);
  }
  *port = listenPort;
  return fd;
}

// Device messages at the front of the bytes from *pos are passed over, as
// the connection does while it waits for a reply; false when one is cut
// short or its header is malformed (the link fails).
bool SkipDeviceMessages(const SDevice& d, size_t* pos) {
  while (d.size - *pos >= kPrefixSize &&
         std::memcmp(d.bytes + *pos, kDeviceMessageTag, kPrefixSize) == 0) {
    if (d.size - *pos < kDeviceMessageHeaderSize) return false;
    const uint8_t* h = d.bytes + *pos;
    const uint8_t* b = h + kDeviceMessageLengthOffset;
    const uint32_t length =
        uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    if (std::memcmp(h, kDeviceMessageTag, sizeof kDeviceMessageTag) != 0 ||
        length < kDeviceMessageMinLength || length > kDeviceMessageMaxLength) {
      g_framingLost = true;
      return false;
    }
    if (d.size - *pos < length) return false;
    *pos += length;
  }
  return true;
}

// The reply the device bytes from *pos amount to, read the way the contract
// says: device messages are passed over; a message of L bytes
// (4 <= L <= capacity) is taken whole; an invalid prefix gives nothing; a
// longer message is consumed and gives nothing; a stream that ends first is
// a failed link. *pos moves past what was read.
struct SModelReply {
  int32_t length = 0;  // > 0: message length; 0: none; < 0: the link failed
  const uint8_t* message = nullptr;
};

SModelReply ModelReceive(const SDevice& d, int32_t capacity, size_t* pos) {
  if (!SkipDeviceMessages(d, pos)) return {-1, nullptr};
  const size_t left = d.size - *pos;
  if (left < kPrefixSize) return {-1, nullptr};
  const uint8_t* at = d.bytes + *pos;
  int32_t length = DecodeLengthPrefix(at);
  if (length < int32_t(kPrefixSize) || length > kMaxMessageLength) return {0, nullptr};
  if (size_t(length) > left) return {-1, nullptr};
  *pos += size_t(length);
  if (length > capacity) return {0, nullptr};
  return {length, at};
}

uint32_t ReadLe32Clipped(const uint8_t* m, int32_t length, size_t offset) {
  uint8_t b[4] = {};
  for (size_t i = 0; i < 4; ++i)
    if (offset + i < size_t(length)) b[i] = m[offset + i];
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

struct SModelResult {
  uint32_t rc;
  uint32_t sessionId;
  int32_t payload;  // reply payload length on success
  const uint8_t* payloadBytes;
};

// A reply with another class or code is a late answer to an earlier call:
// it is dropped and the next one read, as long as the call's time-out gives
// a second wait (one of at least a second). A login-class reply is never
// late: it answers whatever call it meets, and renews the session id.
SModelResult ModelTransact(const SDevice& d, uint32_t sessionId, uint16_t cls, uint16_t code,
                           uint32_t timeoutMs) {
  if (d.failSend) return {QNVNET_ERR_SEND, sessionId, 0, nullptr};
  size_t pos = 0;
  SModelReply r;
  for (bool first = true;; first = false) {
    if (!first && timeoutMs < 1000) return {QNVNET_ERR_NO_REPLY, sessionId, 0, nullptr};
    r = ModelReceive(d, int32_t(kTransactArea), &pos);
    if (r.length < int32_t(kMinReplyLength)) return {QNVNET_ERR_NO_REPLY, sessionId, 0, nullptr};
    const uint16_t replyClass =
        uint16_t(r.message[kRepClassOffset] | r.message[kRepClassOffset + 1] << 8);
    const uint16_t replyCode =
        uint16_t(r.message[kRepCodeOffset] | r.message[kRepCodeOffset + 1] << 8);
    if (replyClass == kClassLogin || (replyClass == cls && replyCode == code)) break;
  }
  uint32_t result = ReadLe32Clipped(r.message, r.length, kRepResultOffset);
  if (result != 0) return {result, sessionId, 0, nullptr};
  uint32_t replySession = ReadLe32Clipped(r.message, r.length, kRepSessionOffset);
  const uint16_t replyClass =
      uint16_t(r.message[kRepClassOffset] | r.message[kRepClassOffset + 1] << 8);
  if (replyClass == kClassLogin)
    sessionId = replySession;
  else if (replySession != sessionId)
    return {QNVNET_ERR_SESSION_MISMATCH, sessionId, 0, nullptr};
  int32_t payload = std::max(r.length - int32_t(kReplyHeaderSize), 0);
  return {0, sessionId, payload, r.message + kReplyHeaderSize};
}

int32_t Capacity(uint8_t choice) {
  static const int32_t kTable[] = {0,   1,    4,    15,   16,   23,   24,  25,
                                   100, 4071, 4072, 4095, 4096, 4097, 8192};
  constexpr size_t kCount = sizeof kTable / sizeof kTable[0];
  return choice < kCount ? kTable[choice] : int32_t(choice) * 67;
}

}  // namespace
}  // namespace qnv::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qnv::platform::SetSocketHooksForTesting(&qnv::fuzz::kHooks);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qnv;
  using namespace qnv::fuzz;
  CFuzzInput in(data, size);
  uint16_t port;
  int listener = Listener(&port);

  CTcpClient connection;
  // A sink must be given: a connection without one reports nothing.
  if (!connection.Connect("127.0.0.1", port, &g_failureCount)) Fail("loopback connect failed");
  int peer = ::accept(listener, nullptr, nullptr);
  if (peer < 0) Fail("accept failed");
  // Closing with a reset leaves no TIME_WAIT behind, so millions of runs
  // never run out of local ports.
  linger abort{1, 0};
  ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  ::shutdown(peer, SHUT_WR);

  g_device = SDevice{};
  g_disconnects = 0;
  g_framingLost = false;
  uint32_t sessionId = 0;
  for (int ops = 0; !in.Empty() && ops < 16; ++ops) {
    const Op op = Op(in.U8() % kOpCount);
    const uint8_t flags = in.U8();
    const uint8_t chunk = in.U8();
    size_t got;
    const uint8_t* bytes = in.Bytes(in.U16(), &got);
    const bool wasBroken = g_device.broken;
    g_device.bytes = bytes;
    g_device.size = got;
    g_device.pos = 0;
    g_device.chunk = chunk;
    g_device.failSend = (flags & 1) != 0;
    g_device.resetAtEnd = (flags & 2) != 0;
    const int32_t capacity = Capacity(uint8_t(flags >> 2));
    // Once the link failed, nothing more arrives on it.
    SDevice model = g_device;
    if (wasBroken) {
      model.size = 0;
      model.failSend = true;
    }
    const int failuresBefore = g_device.failures;

    if (op == kReceive) {
      std::unique_ptr<uint8_t[]> buffer(new uint8_t[size_t(capacity)]);
      int32_t n = connection.Receive(buffer.get(), capacity, 0);
      size_t pos = 0;
      SModelReply expect = ModelReceive(model, capacity, &pos);
      if (expect.length > 0) {
        QNV_FUZZ_CHECK(n == expect.length);
        QNV_FUZZ_CHECK(std::memcmp(buffer.get(), expect.message, size_t(n)) == 0);
      } else if (expect.length == 0) {
        QNV_FUZZ_CHECK(n == 0);
      } else {
        QNV_FUZZ_CHECK(n <= 0);
      }
    } else if (op == kGet) {
      std::unique_ptr<uint8_t[]> buffer(new uint8_t[size_t(capacity)]);
      std::memset(buffer.get(), 0xA5, size_t(capacity));
      int32_t length = capacity;
      uint32_t rc = GetCommand(connection, sessionId, kClassSystem, 4, buffer.get(), length);
      SModelResult expect = ModelTransact(model, sessionId, kClassSystem, 4, kCommandTimeoutMs);
      QNV_FUZZ_CHECK(rc == expect.rc && sessionId == expect.sessionId);
      if (rc != 0) {
        QNV_FUZZ_CHECK(length == 0);
        for (int32_t i = 0; i < capacity; ++i) QNV_FUZZ_CHECK(buffer[size_t(i)] == 0xA5);
      } else {
        QNV_FUZZ_CHECK(length == expect.payload);
        int32_t copied = std::min(expect.payload, capacity);
        QNV_FUZZ_CHECK(std::memcmp(buffer.get(), expect.payloadBytes, size_t(copied)) == 0);
        for (int32_t i = copied; i < capacity; ++i) QNV_FUZZ_CHECK(buffer[size_t(i)] == 0);
      }
    } else if (op == kSet) {
      std::vector<uint8_t> payload(size_t(std::min(capacity, 5000)), 0x3C);
      uint32_t rc = SetCommand(connection, sessionId, kClassRules, 2, payload.data(),
                               int32_t(payload.size()));
      if (payload.size() > size_t(kMaxTransactPayload)) {
        QNV_FUZZ_CHECK(rc == QNVNET_ERR_SEND);
        continue;  // nothing was sent, nothing read
      }
      SModelResult expect = ModelTransact(model, sessionId, kClassRules, 2, kCommandTimeoutMs);
      QNV_FUZZ_CHECK(rc == expect.rc && sessionId == expect.sessionId);
    } else {
      const uint32_t cls = op == Op::kLogin ? kClassLogin : kClassPtz;
      std::unique_ptr<uint8_t[]> out(new uint8_t[size_t(capacity)]);
      int32_t outLength = capacity;
      int32_t replyPayload = -1;
      uint32_t before = sessionId;
      const uint32_t timeoutMs = uint32_t(chunk) * 4;
      uint32_t rc = Transact(connection, sessionId,
                             {.commandClass = cls,
                              .commandCode = 1,
                              .out = out.get(),
                              .outLength = &outLength,
                              .timeoutMs = timeoutMs,
                              .replyPayload = &replyPayload});
      SModelResult expect = ModelTransact(model, before, uint16_t(cls), 1, timeoutMs);
      QNV_FUZZ_CHECK(rc == expect.rc && sessionId == expect.sessionId);
      if (rc == 0) {
        QNV_FUZZ_CHECK(replyPayload == expect.payload);
        if (expect.payload > 0 && expect.payload <= capacity) {
          QNV_FUZZ_CHECK(outLength == expect.payload);
          QNV_FUZZ_CHECK(std::memcmp(out.get(), expect.payloadBytes, size_t(outLength)) == 0);
        } else {
          QNV_FUZZ_CHECK(outLength == capacity);
        }
      } else {
        QNV_FUZZ_CHECK(replyPayload == 0 && outLength == capacity);
      }
    }
    if (g_framingLost && !g_device.broken) {
      // From here on the link behaves as a broken one.
      g_device.broken = true;
      ++g_device.failures;
    }
    g_framingLost = false;
    // A failed link is reported exactly once, whatever meets it afterwards,
    // and nothing else is reported.
    QNV_FUZZ_CHECK(g_disconnects == (g_device.failures > 0 ? 1 : 0));
    QNV_FUZZ_CHECK(g_device.failures - failuresBefore <= 1);
  }

  ::close(peer);
  connection.Close();
  return 0;
}
