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
  const std::string& LastError() const { return m_error; }
  uint16_t Port() const { return m_port; }
  RequestLog& Log() { return m_log; }
  FaultTable& Faults() { return m_faults; }
  DeviceState& State() { return m_state; }
  void StreamFaultChanged();  // resumes accepting stream connections after a refusal
  void DropAllConnections();
  void Freeze(FreezeScope scope);
  void Thaw();
  size_t RaiseAlarm(uint32_t ruleId);
  void SetAlarmBeforeReply(bool on) { m_alarmBeforeReply.store(on); }
  bool AlarmBeforeReply() const { return m_alarmBeforeReply.load(); }
  uint32_t AlarmsRaised() const { return m_alarmSequence.load(); }
  // Any thread: the bytes of the next alarm (takes a sequence number).
  std::vector<uint8_t> MakeAlarm(uint32_t ruleId);
  size_t SessionCount() const { return m_sessions.load(); }
  size_t StreamCount() const { return m_attached.load(); }
  uint64_t FramesSent() const { return m_frames.load(); }

  // ---- For connections (network thread) ------------------------------------------------
  asio::io_context& Io() { return *m_io; }
  const SimulatorOptions& Options() const { return m_options; }
  const PictureSequence& Pictures() const { return *m_pictures; }
  uint32_t NewSessionId();
  void SessionStarted() { ++m_sessions; }
  void CommandClosed(CommandConnection& connection, bool wasLoggedIn);
  // Stream registry. Results are device result codes.
  uint32_t OpenStream(uint64_t owner, uint32_t& streamId);
  uint32_t CloseStream(uint32_t streamId);
  uint32_t PauseStream(uint32_t streamId, bool paused);
  // Binds an accepted stream connection to an open, unattached stream.
  bool AttachStream(uint32_t streamId, const std::shared_ptr<StreamConnection>& connection,
                    bool& paused);
  void StreamClosed(StreamConnection& connection);
  void FrameWritten() { ++m_frames; }
  bool StreamsFrozen() const { return m_streamsFrozen.load(); }
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

  const SimulatorOptions m_options;
  RequestLog m_log;
  FaultTable m_faults;
  DeviceState m_state;
  std::shared_ptr<const PictureSequence> m_pictures;
  std::string m_error;
  uint16_t m_port = 0;

  std::unique_ptr<asio::io_context> m_io;
  std::unique_ptr<asio::ip::tcp::acceptor> m_commandAcceptor, m_streamAcceptor;
  std::unique_ptr<asio::steady_timer> m_acceptRetry;
  std::unique_ptr<asio::steady_timer> m_alarmTimer;
  std::thread m_thread;
  bool m_running = false;

  // Network thread only:
  std::unordered_map<uint64_t, std::shared_ptr<CommandConnection>> m_commands;
  std::unordered_map<uint64_t, std::shared_ptr<StreamConnection>> m_streamConnections;
  std::vector<asio::ip::tcp::socket> m_parked;  // stream connections left unanswered
  std::map<uint32_t, OpenStreamEntry> m_streams;
  uint64_t m_nextConnectionId = 1;
  uint32_t m_nextStreamId = 1;
  bool m_streamAcceptIdle = false;
  bool m_closing = false;
  std::mt19937 m_random;

  std::atomic<size_t> m_sessions{0}, m_attached{0};
  std::atomic<uint64_t> m_frames{0};
  std::atomic<bool> m_alarmBeforeReply{false};
  std::atomic<bool> m_streamsFrozen{false};
  // A whole-device freeze holds the network thread in a handler until thawed.
  std::mutex m_freezeMutex;
  std::condition_variable m_thawed;
  bool m_deviceFrozen = false;  // m_freezeMutex
  std::atomic<uint32_t> m_alarmSequence{0};
};

}  // namespace qnv::devsim
