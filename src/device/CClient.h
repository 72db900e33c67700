// CClient: one logged-in device session. Owns its command connection (a
// request/response CTcpClient), its call lock and the device messages that
// arrived before it was registered; carries the client id by which the host
// names it and the session id the device assigned at login.
//
// Threads: every operation that uses the connection (commands, firmware,
// live requests, keep-alive, the idle watcher's reads, logout's close) runs
// under the call lock (a Call), so one session's exchanges run one at a time
// in the order they took the lock, while other sessions run in parallel.
// When a call ends, the session checks its liveness: a device silent for
// kMaxSilentRounds rounds in a row (keep-alives unanswered, calls timed out)
// is taken as lost (QNVNET_LOSS_NO_KEEPALIVE_ANSWER). The
// lock is recursive: a streaming connection that fails while live open sends
// its attach request reports on the opening thread, inside the call, and the
// host's disconnect callback may call exports on this session from there.
// Shutdown may come from any thread.
// Held by shared_ptr: the registry, the watcher's look-ups and every call in
// progress; channels refer to it by client id.
#ifndef QNV_DEVICE_CCLIENT_H
#define QNV_DEVICE_CCLIENT_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "QNVNetSdk.h"
#include "platform/ThreadAnnotations.h"
#include "protocol/Commands.h"
#include "transport/CLossRecord.h"
#include "transport/CTcpClient.h"
#include "transport/CommandTransaction.h"

namespace qnv {

class CSessionWatcher;

class CClient final : private ICommandSink {
 public:
  // Holds the call lock for one operation; when it ends, the idle watcher is
  // asked to look at the connection again (bytes may have come meanwhile).
  class SCOPED_CAPABILITY Call {
   public:
    explicit Call(CClient& client) ACQUIRE(client.m_callLock) : m_client(client) {
      client.m_callLock.Lock();
    }
    Call(CClient& client, std::adopt_lock_t) REQUIRES(client.m_callLock) : m_client(client) {}
    ~Call() RELEASE() { m_client.EndCall(); }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

   private:
    CClient& m_client;
  };
  enum class Idle { kRead, kBusy, kPartial, kLost, kClosed };

  static constexpr int32_t kReplyCapacity = 1024;

  CClient() = default;
  ~CClient() = default;
  CClient(const CClient&) = delete;
  CClient& operator=(const CClient&) = delete;

  // Connects and logs in. Returns 0, -30 (bad address text, no connection),
  // or the login transaction's code. Nothing is sent for a bad address.
  uint32_t Login(const char* address, uint16_t port, const char* user, const char* password);
  // The socket number of the command connection.
  uint32_t GetClientId() const { return uint32_t(m_command.Socket()); }

  // Rounds in a row without a word from the device after which the session
  // is lost.
  static constexpr uint32_t kMaxSilentRounds = 3;
  enum class Tick { kDone, kBusy };
  // One keep-alive tick, never waiting: kBusy when a call holds the
  // session (with send, the call's end sends the keep-alive instead).
  // Otherwise what arrived is read, the keep-alive out is judged once
  // answerMs passed since it went out (anything that arrived since answers
  // it; nothing is a silent round) and, with send and unless the session is
  // lost by now, a new one goes out without waiting for its reply (the
  // watcher or the next call reads it) when none is out. Nothing for a
  // closed session or one without session id.
  Tick KeepAliveTick(uint64_t nowMs, uint32_t answerMs, bool send);
  // Why the session was lost (QNVNET_LOSS_*, 0 while it is not) and the
  // errno that came with a broken connection.
  QNVNetLoss Loss() const;
  // Closes the command connection (sending nothing) and clears the ids. The
  // caller holds a Call (or the session was never registered) and has
  // already closed the session's channels.
  void Logout() NO_THREAD_SAFETY_ANALYSIS;
  // Any thread, no lock: marks the session closed and shuts its connection
  // down so a call in progress on it ends at once, without reporting it.
  void Shutdown();
  bool IsClosed() const { return m_closed.load(); }

  // Registration: the client id, and the watcher that delivers its device
  // messages; messages that came during login are passed on now.
  void Register(uint32_t clientId, CSessionWatcher* watcher, uint64_t token);
  void Unwatch();
  bool IsRegistered() const { return m_registered.load(); }
  // Device messages dropped since login because the host's callback fell
  // behind (the watcher's bound).
  uint64_t DroppedMessages();
  // Watcher thread: reads pending device messages if no call is running.
  Idle PollIdle();
  void RearmWatch();
  // True once, for a registered session whose connection failed (and that
  // was not shut down by the library); the caller then reports the loss.
  bool TakeLoss();
  // Set from the session id at registration: the session completed its
  // login with a session id other than 0 and gets keep-alives.
  bool WantsKeepAlive() const { return m_wantsKeepAlive.load(); }
  // The connection failed (or the device fell silent) and the loss waits to
  // be reported (TakeLoss).
  bool LossPending() const { return m_lost.load() && m_registered.load() && !m_closed.load(); }
  // Set while the session waits in the keep-alive runner's reports.
  std::atomic<bool>& LossQueued() { return m_lossQueued; }

  // The call lock, for naming it in REQUIRES: functions that run on a
  // session inside a Call (the command catalogue, firmware, live requests).
  platform::CRecursiveMutex& CallLock() RETURN_CAPABILITY(m_callLock) { return m_callLock; }

  // Transactions on the command connection, carrying the session id.
  uint32_t Transact(const STransaction& request) REQUIRES(m_callLock);
  uint32_t GetCommand(uint32_t commandClass, uint32_t commandCode, void* out, int32_t& length)
      REQUIRES(m_callLock);
  uint32_t SetCommand(uint32_t commandClass, uint32_t commandCode, const void* payload,
                      int32_t length) REQUIRES(m_callLock);

  // Live-stream requests of this session: open, then close, pause or play.
  uint32_t OpenStream(uint32_t& streamId) REQUIRES(m_callLock);
  uint32_t StreamRequest(protocol::SCommand command, uint32_t streamId) REQUIRES(m_callLock);

  uint32_t ClientId() const { return m_clientId.load(); }
  uint32_t SessionId() const REQUIRES(m_callLock) { return m_sessionId; }
  const char* DeviceAddress() const { return m_deviceAddress; }
  uint16_t DevicePort() const { return m_devicePort; }

  // Builds the 32-byte login payload: two zero-padded 16-byte fields; a text
  // of 16 characters or more is cut and has no terminating zero.
  static void BuildLoginPayload(uint8_t* payload, const char* user, const char* password);

 private:
  // ICommandSink, on the thread of the exchange that met them.
  void DeviceMessage(const uint8_t* block, int32_t length) override;
  void Disconnected() override;

  void EndCall() RELEASE(m_callLock);
  // Judges the keep-alive out and, with send, sends the next one.
  void KeepAliveRound(uint64_t nowMs, uint32_t answerMs, bool send) REQUIRES(m_callLock);
  // The loss's reason, kept when none was set before.
  void NoteLoss(uint32_t reason, int32_t detail);

  platform::CRecursiveMutex m_callLock;
  char m_deviceAddress[16] = {};
  uint16_t m_devicePort = 0;
  std::atomic<uint32_t> m_clientId{0};
  uint32_t m_sessionId GUARDED_BY(m_callLock) = 0;
  std::atomic<bool> m_registered{false};
  std::atomic<bool> m_closed{false};
  std::atomic<bool> m_lost{false};  // the connection failed; not yet reported
  std::atomic<bool> m_wantsKeepAlive{false};
  std::atomic<bool> m_lossQueued{false};
  CLossRecord m_loss;  // the first reason stays
  // The keep-alive out and not yet judged.
  bool m_keepAliveOut GUARDED_BY(m_callLock) = false;
  uint64_t m_keepAliveSentMs GUARDED_BY(m_callLock) = 0;
  uint64_t m_arrivalsAtKeepAlive GUARDED_BY(m_callLock) = 0;
  // The answer time of a keep-alive a tick found the session busy for, sent
  // when the call ends; 0 when none is owed.
  std::atomic<uint32_t> m_keepAliveOwedAnswerMs{0};
  platform::CMutex m_heldMutex;  // also orders registration against device messages
  // Device messages before registration.
  std::deque<std::vector<uint8_t>> m_held GUARDED_BY(m_heldMutex);
  uint64_t m_heldDropped GUARDED_BY(m_heldMutex) = 0;  // beyond the watcher's bound, before it
  CSessionWatcher* m_watcher GUARDED_BY(m_heldMutex) = nullptr;
  uint64_t m_token GUARDED_BY(m_heldMutex) = 0;
  uint64_t m_droppedAtUnwatch GUARDED_BY(m_heldMutex) = 0;
  int m_watchedFd GUARDED_BY(m_heldMutex) = -1;
  CTcpClient m_command;
};

}  // namespace qnv

#endif  // QNV_DEVICE_CCLIENT_H
