// One command connection of the device: reads requests one at a time, answers each (or
// misbehaves as the fault table says), and carries the login session of the connection.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "FirmwareAssembler.h"
#include "MessageReader.h"
#include "devsim/WireFormat.h"

namespace qnv::devsim {

class Device;

// Lives on the network thread; owned by the device's registry and by its own pending
// handlers. The device must outlive it.
class CommandConnection : public std::enable_shared_from_this<CommandConnection> {
 public:
  CommandConnection(Device& device, asio::ip::tcp::socket socket, uint64_t id);
  CommandConnection(const CommandConnection&) = delete;
  CommandConnection& operator=(const CommandConnection&) = delete;

  void Start();
  void Close();  // idempotent; tells the device
  uint64_t Id() const { return m_id; }
  bool LoggedIn() const { return m_loggedIn; }
  // Queues bytes the device sends unasked (an alarm) after any write in progress.
  void SendUnasked(std::vector<uint8_t> bytes) { Send(std::move(bytes), nullptr); }
  uint32_t SessionId() const { return m_sessionId; }

 private:
  // What the device makes of one request.
  struct Outcome {
    bool reply = true;
    uint32_t result = 0;
    std::vector<uint8_t> payload;
    int delayMs = 0;       // answer this much later
    bool install = false;  // firmware start: install the image when answering
    bool reboot = false;   // drop every connection once the reply is out
  };

  void ReadNext();
  void OnMessage(MessageReader::Status status);
  Outcome Process(const wire::Request& request);
  void Answer(const wire::Request& request, Outcome outcome);
  // Writes go out one after another in the order queued; then runs after its bytes.
  void Send(std::vector<uint8_t> bytes, std::function<void()> then);
  void WriteNext();
  void After(int ms, std::function<void()> then);
  void Touch() { m_lastActivity = std::chrono::steady_clock::now(); }
  void ArmIdleTimer();

  Device& m_device;
  asio::ip::tcp::socket m_socket;
  asio::steady_timer m_idleTimer, m_delayTimer;
  const uint64_t m_id;
  MessageReader m_reader;
  FirmwareAssembler m_firmware;
  bool m_open = true;
  bool m_busy = false;  // a request is being answered (the idle clock does not run)
  bool m_loggedIn = false;
  struct PendingWrite {
    std::vector<uint8_t> bytes;
    std::function<void()> then;
  };
  std::deque<PendingWrite> m_writes;
  bool m_writing = false;
  uint32_t m_sessionId = 0;
  std::chrono::steady_clock::time_point m_lastActivity;
};

}  // namespace qnv::devsim
