// CTcpClient: the command connection to a device: request/response, no
// thread of its own. Send, Receive, DrainPending and the probe calls run on
// the caller's thread, which serialises its own use (the session's call
// lock). Device messages met there go to its sink (ICommandSink), whole, on
// that thread; a broken link is reported to the sink, once. Abort may come from any
// other thread. It also keeps the connection's liveness: what arrived, how
// many rounds in a row went unanswered, and the one request sent without
// waiting (the probe, a keep-alive) whose reply whoever reads next takes.
// Owns its socket (see CTcpLink). The stream connection, read by a receive
// thread, is CTcpStream.
#ifndef QNV_TRANSPORT_CTCPCLIENT_H
#define QNV_TRANSPORT_CTCPCLIENT_H

#include <atomic>
#include <cstdint>

#include "protocol/CommandMessage.h"
#include "transport/CTcpLink.h"
#include "transport/ICommandSink.h"

namespace qnv {

class CTcpClient final : public CTcpLink {
 public:
  // Skipped bytes are read a message's worth at a time.
  static constexpr int32_t kDiscardSize = protocol::kMaxMessageLength;

  CTcpClient() = default;
  ~CTcpClient() = default;

  // Connects within 5 s. sink (may be null: nothing is told) must outlive
  // the connection, or its Abort or Close.
  bool Connect(const char* address, uint16_t port, ICommandSink* sink);
  // Reads one length-prefixed message into buffer. Returns its length (4 to
  // kMaxMessageLength), 0 when none valid arrived (time-out, bad prefix, longer than
  // capacity: such a message is consumed whole and dropped), or the 0 or
  // negative result of a failed read (peer closed, or a device message with a
  // block length outside 48..4,096: the sink was told and the socket
  // shut down, its number kept until Close). Device messages that come first
  // go to the sink and the wait goes on within the same time-out.
  int32_t Receive(void* buffer, int32_t capacity, uint32_t timeoutMs);
  enum class Drained { kEmpty, kPartial, kClosed, kFailed };
  // Without waiting: hands every complete device message pending to the sink,
  // takes complete command messages as stray replies (TakeStrayReply) and
  // drops unframed bytes. kPartial: a unit has begun but not all of it is
  // here yet. kClosed: the peer closed (left for the next exchange to meet).
  // kFailed: the connection failed (reset, timed out) or a device message's
  // block length is out of range (QNVNET_LOSS_MALFORMED_MESSAGE); reported
  // as a failed read.
  Drained DrainPending(uint32_t& sessionId);
  // A reply that answers no call in progress: the probe's reply, a late one,
  // or a login-class reply, which only ever renews the session id (the login
  // itself ends before the session exists), so its id is taken when its
  // result is 0.
  void TakeStrayReply(const uint8_t* message, int32_t length, uint32_t& sessionId);

  // Sends a request without waiting for its reply (the probe; one at a time:
  // a new one replaces the last) and never waits for room in the socket.
  // True when it went out whole; false when there was no room (nothing sent)
  // or the send failed (reported as any failed send, the connection shut
  // down). Its reply is due by answerByMs.
  bool SendProbe(const uint8_t* message, int32_t length, uint16_t commandClass,
                 uint16_t commandCode, uint64_t answerByMs);
  // The probe's reply has not been read yet.
  bool ProbePending() const { return m_probe.pending; }
  // Reads until the probe's reply came (stray replies and device messages
  // on the way are taken as DrainPending takes them), its answer time is up
  // or the link fails. Returns at once without a pending probe.
  void AwaitProbe(uint32_t& sessionId);

  // Reads that brought bytes of any kind, since Connect.
  uint64_t Arrivals() const { return m_arrivals.load(std::memory_order_relaxed); }
  // Rounds in a row in which nothing at all arrived: a call that timed out, a
  // probe unanswered (noted by the caller). Back to 0 when anything arrives.
  uint32_t SilentRounds() const { return m_silentRounds.load(std::memory_order_relaxed); }
  void NoteSilentRound() { m_silentRounds.fetch_add(1, std::memory_order_relaxed); }
  // Takes the connection as failed now (the owner's thread, holding it):
  // shut down, reported once with this reason.
  void Break(uint32_t reason);
  // From any thread: detaches the sink and shuts the socket down, so an
  // exchange in progress ends at once. Close still closes it.
  void Abort();
  // Detaches the sink and closes the socket.
  void Close();

 private:
  struct SProbe {
    bool pending = false;
    uint16_t commandClass = 0;
    uint16_t commandCode = 0;
    uint64_t answerByMs = 0;
  };

  void ReportFailure() override;
  bool ReadExact(uint8_t* dst, int32_t length, uint64_t deadlineMs, int32_t* failure);
  // failure: a read's result (0 closed, negative with errno) or, for
  // malformed input, the reason to report.
  int32_t ReadFailed(int32_t failure, uint32_t reason = 0);
  void DeliverDeviceMessage(const uint8_t* block, int32_t length);
  // Something arrived from the device.
  void Heard();
  // A whole command message was read: the probe's reply ends the probe.
  void NoteReply(const uint8_t* message, int32_t length);

  SProbe m_probe;  // the caller's thread
  std::atomic<uint64_t> m_arrivals{0};
  std::atomic<uint32_t> m_silentRounds{0};
  std::atomic<ICommandSink*> m_sink{nullptr};
  uint8_t m_recvBuffer[kDiscardSize];  // where skipped bytes are read and dropped
};

}  // namespace qnv

#endif  // QNV_TRANSPORT_CTCPCLIENT_H
