// The simulated device as a whole: listening sockets, the network thread, the registries of
// connections and open streams, and the shared state that connections serve from.
#pragma once

#include <asio.hpp>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>

#include "DeviceState.h"
#include "FaultTable.h"
#include "PictureSequence.h"
#include "RequestLog.h"
#include "devsim/Simulator.h"

namespace qnv::devsim {

class CommandConnection;
class StreamConnection;

// Owns everything of one simulated device. The public part behind Simulator may be called
// from any thread but the network thread; the part for connections runs on the network
// thread only. Connections hold a reference to it: they are all closed and released by
// Stop(), which the destructor calls.
class Device {
 public:
  explicit Device(SimulatorOptions options);
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // ---- Simulator API -------------------------------------------------------------------
  bool Start();
  void Stop();
  const std::string& LastError() const { return error_; }
  uint16_t Port() const { return port_; }
  RequestLog& Log() { return log_; }
  FaultTable& Faults() { return faults_; }
  DeviceState& State() { return state_; }
  void StreamFaultChanged();  // resumes accepting stream connections after a refusal
  void DropAllConnections();
  void Freeze(FreezeScope scope);
  void Thaw();
  size_t RaiseAlarm(uint32_t ruleId);
  void SetAlarmBeforeReply(bool on) { alarmBeforeReply_.store(on); }
  bool AlarmBeforeReply() const { return alarmBeforeReply_.load(); }
  uint32_t AlarmsRaised() const { return alarmSequence_.load(); }
  // Any thread: the bytes of the next alarm (takes a sequence number).
  std::vector<uint8_t> MakeAlarm(uint32_t ruleId);
  size_t SessionCount() const { return sessions_.load(); }
  size_t StreamCount() const { return attached_.load(); }
  uint64_t FramesSent() const { return frames_.load(); }

  // ---- For connections (network thread) ------------------------------------------------
  asio::io_context& Io() { return *io_; }
  const SimulatorOptions& Options() const { return options_; }
  const PictureSequence& Pictures() const { return *pictures_; }
  uint32_t NewSessionId();
  void SessionStarted() { ++sessions_; }
  void CommandClosed(CommandConnection& connection, bool wasLoggedIn);
  // Stream registry. Results are device result codes.
  uint32_t OpenStream(uint64_t owner, uint32_t& streamId);
  uint32_t CloseStream(uint32_t streamId);
  uint32_t PauseStream(uint32_t streamId, bool paused);
  // Binds an accepted stream connection to an open, unattached stream.
  bool AttachStream(uint32_t streamId, const std::shared_ptr<StreamConnection>& connection,
                    bool& paused);
  void StreamClosed(StreamConnection& connection);
  void FrameWritten() { ++frames_; }
  bool StreamsFrozen() const { return streamsFrozen_.load(); }
  void DropAll();                            // network thread: what the reboot command does
  void Note(const std::string& line) const;  // one line to stderr when verbose

 private:
  struct OpenStreamEntry {
    uint64_t owner = 0;  // command connection that opened it
    bool paused = false;
    std::shared_ptr<StreamConnection> connection;  // attached stream connection, if any
  };

  bool Bind(asio::ip::tcp::acceptor& acceptor, uint16_t port, std::string& error);
  void AcceptCommand();
  void AcceptStream();
  void RunOnNetwork(const std::function<void()>& fn);
  void CloseEverything();
  void ArmAlarmTimer();
  size_t SendAlarmToAll(uint32_t ruleId);  // network thread

  const SimulatorOptions options_;
  RequestLog log_;
  FaultTable faults_;
  DeviceState state_;
  std::shared_ptr<const PictureSequence> pictures_;
  std::string error_;
  uint16_t port_ = 0;

  std::unique_ptr<asio::io_context> io_;
  std::unique_ptr<asio::ip::tcp::acceptor> commandAcceptor_, streamAcceptor_;
  std::unique_ptr<asio::steady_timer> acceptRetry_;
  std::unique_ptr<asio::steady_timer> alarmTimer_;
  std::thread thread_;
  bool running_ = false;

  // Network thread only:
  std::unordered_map<uint64_t, std::shared_ptr<CommandConnection>> commands_;
  std::unordered_map<uint64_t, std::shared_ptr<StreamConnection>> streamConnections_;
  std::vector<asio::ip::tcp::socket> parked_;  // stream connections left unanswered
  std::map<uint32_t, OpenStreamEntry> streams_;
  uint64_t nextConnectionId_ = 1;
  uint32_t nextStreamId_ = 1;
  bool streamAcceptIdle_ = false;
  bool closing_ = false;
  std::mt19937 random_;

  std::atomic<size_t> sessions_{0}, attached_{0};
  std::atomic<uint64_t> frames_{0};
  std::atomic<bool> alarmBeforeReply_{false};
  std::atomic<bool> streamsFrozen_{false};
  // A whole-device freeze holds the network thread in a handler until thawed.
  std::mutex freezeMutex_;
  std::condition_variable thawed_;
  bool deviceFrozen_ = false;  // freezeMutex_
  std::atomic<uint32_t> alarmSequence_{0};
};

}  // namespace qnv::devsim
