#include "Device.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>

#include "CommandConnection.h"
#include "QNVNetAlarm.h"
#include "StreamConnection.h"

namespace qnv::devsim {
namespace {

constexpr int kEphemeralAttempts = 200;
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(50);
const asio::ip::address kLoopback = asio::ip::address_v4::loopback();

}  // namespace

Device::Device(SimulatorOptions options)
    : options_(std::move(options)),
      log_(options_.maxLoggedRequests),
      random_(std::random_device{}()) {}

Device::~Device() { Stop(); }

bool Device::Bind(asio::ip::tcp::acceptor& acceptor, uint16_t port, std::string& error) {
  std::error_code ec;
  if (acceptor.is_open()) acceptor.close(ec);
  acceptor.open(asio::ip::tcp::v4(), ec);
  if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor.bind(asio::ip::tcp::endpoint(kLoopback, port), ec);
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + ec.message();
    acceptor.close(ec);
    return false;
  }
  return true;
}

bool Device::Start() {
  if (running_) return true;
  error_.clear();
  if (options_.clipPath.empty()) {
    pictures_ = PictureSequence::Synthetic(options_);
  } else {
    pictures_ = PictureSequence::FromClip(options_.clipPath, error_);
    if (!pictures_) return false;
  }
  if (!(options_.fps > 0 && options_.fps <= 1000)) {
    error_ = "frame rate must be above 0 and at most 1000";
    return false;
  }
  io_ = std::make_unique<asio::io_context>(1);
  commandAcceptor_ = std::make_unique<asio::ip::tcp::acceptor>(*io_);
  streamAcceptor_ = std::make_unique<asio::ip::tcp::acceptor>(*io_);
  bool bound = false;
  if (options_.port != 0) {
    if (options_.port > 65533) {
      error_ = "the port must leave room for the stream port (port + 2)";
    } else {
      bound = Bind(*commandAcceptor_, options_.port, error_) &&
              Bind(*streamAcceptor_, static_cast<uint16_t>(options_.port + 2), error_);
    }
  } else {
    // An ephemeral command port whose neighbour two above is free as well.
    for (int attempt = 0; attempt < kEphemeralAttempts && !bound; ++attempt) {
      if (!Bind(*commandAcceptor_, 0, error_)) break;
      const uint16_t p = commandAcceptor_->local_endpoint().port();
      std::string ignored;
      bound = p <= 65533 && Bind(*streamAcceptor_, static_cast<uint16_t>(p + 2), ignored);
    }
    if (!bound && error_.empty()) error_ = "no free pair of ports P and P+2 on 127.0.0.1";
  }
  if (!bound) {
    commandAcceptor_.reset();
    streamAcceptor_.reset();
    io_.reset();
    return false;
  }
  error_.clear();
  port_ = commandAcceptor_->local_endpoint().port();
  state_.SetCommandPort(port_);
  closing_ = false;
  alarmBeforeReply_.store(options_.alarmBeforeReply);
  AcceptCommand();
  AcceptStream();
  if (options_.alarmIntervalMs > 0) {
    state_.SetRulesEnabled(true);
    alarmTimer_ = std::make_unique<asio::steady_timer>(*io_);
    ArmAlarmTimer();
  }
  running_ = true;
  thread_ = std::thread([this] {
    auto guard = asio::make_work_guard(*io_);
    io_->run();
  });
  Note("listening on 127.0.0.1:" + std::to_string(port_) + ", streams on " +
       std::to_string(port_ + 2));
  return true;
}

void Device::Stop() {
  if (!running_) return;
  Thaw();
  RunOnNetwork([this] { CloseEverything(); });
  io_->stop();
  thread_.join();
  running_ = false;
  // Handlers still queued hold the last references to closed connections; destroying the
  // context releases them while the acceptors and the context still exist.
  commands_.clear();
  streamConnections_.clear();
  streams_.clear();
  parked_.clear();
  acceptRetry_.reset();
  alarmTimer_.reset();
  io_.reset();
  commandAcceptor_.reset();
  streamAcceptor_.reset();
  sessions_ = 0;
  attached_ = 0;
}

void Device::RunOnNetwork(const std::function<void()>& fn) {
  if (!running_ || io_->get_executor().running_in_this_thread()) {
    fn();
    return;
  }
  std::promise<void> done;
  asio::post(*io_, [&] {
    fn();
    done.set_value();
  });
  done.get_future().wait();
}

void Device::CloseEverything() {
  closing_ = true;
  std::error_code ec;
  commandAcceptor_->close(ec);
  streamAcceptor_->close(ec);
  if (acceptRetry_) acceptRetry_->cancel();
  if (alarmTimer_) alarmTimer_->cancel();
  DropAll();
}

void Device::ArmAlarmTimer() {
  alarmTimer_->expires_after(std::chrono::milliseconds(options_.alarmIntervalMs));
  alarmTimer_->async_wait([this](std::error_code ec) {
    if (ec || closing_) return;
    if (state_.RulesEnabled())
      for (uint32_t i = 0; i < options_.alarmBurst; ++i) SendAlarmToAll(1);
    ArmAlarmTimer();
  });
}

std::vector<uint8_t> Device::MakeAlarm(uint32_t ruleId) {
  // Zeros after the layout when the options ask for larger alarms.
  std::vector<uint8_t> a(std::max<size_t>(QNVNET_ALARM_SIZE, options_.alarmSize), 0);
  std::memcpy(a.data(), "VvEeMmSs", 8);
  const uint32_t sequence = ++alarmSequence_;
  wire::PutU32(a.data() + QNVNET_ALARM_LENGTH_OFFSET, static_cast<uint32_t>(a.size()));
  wire::PutU32(a.data() + QNVNET_ALARM_TYPE_OFFSET, QNVNET_ALARM_TYPE_RULE);
  wire::PutU32(a.data() + QNVNET_ALARM_RULE_OFFSET, ruleId);
  wire::PutU32(a.data() + QNVNET_ALARM_CHANNEL_OFFSET, 1);
  const uint64_t now =
      static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count());
  wire::PutU32(a.data() + QNVNET_ALARM_TIME_OFFSET, static_cast<uint32_t>(now));
  wire::PutU32(a.data() + QNVNET_ALARM_TIME_OFFSET + 4, static_cast<uint32_t>(now >> 32));
  // An object box that wanders over the picture, so successive alarms differ.
  const uint32_t w = options_.syntheticWidth / 8, h = options_.syntheticHeight / 4;
  wire::PutU32(a.data() + QNVNET_ALARM_BOX_OFFSET, (sequence * 37) % (options_.syntheticWidth - w));
  wire::PutU32(a.data() + QNVNET_ALARM_BOX_OFFSET + 4,
               (sequence * 23) % (options_.syntheticHeight - h));
  wire::PutU32(a.data() + QNVNET_ALARM_BOX_OFFSET + 8, w);
  wire::PutU32(a.data() + QNVNET_ALARM_BOX_OFFSET + 12, h);
  wire::PutU32(a.data() + QNVNET_ALARM_SEQUENCE_OFFSET, sequence);
  return a;
}

size_t Device::SendAlarmToAll(uint32_t ruleId) {
  size_t sent = 0;
  for (auto& [id, c] : commands_) {
    if (!c->LoggedIn()) continue;
    c->SendUnasked(MakeAlarm(ruleId));
    ++sent;
  }
  return sent;
}

size_t Device::RaiseAlarm(uint32_t ruleId) {
  size_t sent = 0;
  RunOnNetwork([&] { sent = closing_ ? 0 : SendAlarmToAll(ruleId); });
  return sent;
}

void Device::DropAllConnections() {
  RunOnNetwork([this] { DropAll(); });
}

void Device::Freeze(FreezeScope scope) {
  if (!running_) return;
  if (scope == FreezeScope::kStream) {
    streamsFrozen_ = true;
    Note("streams frozen");
    return;
  }
  std::lock_guard<std::mutex> lock(freezeMutex_);
  if (deviceFrozen_) return;
  deviceFrozen_ = true;
  Note("device frozen");
  asio::post(*io_, [this] {
    std::unique_lock<std::mutex> held(freezeMutex_);
    thawed_.wait(held, [this] { return !deviceFrozen_; });
  });
}

void Device::Thaw() {
  {
    std::lock_guard<std::mutex> lock(freezeMutex_);
    deviceFrozen_ = false;
  }
  thawed_.notify_all();
  if (!streamsFrozen_.exchange(false) || !running_) return;
  Note("streams thawed");
  // An unpaced stream stopped writing when it found nothing to send.
  asio::post(*io_, [this] {
    for (auto& [id, s] : streamConnections_) s->Resume();
  });
}

void Device::DropAll() {
  Note("dropping every connection");
  std::vector<std::shared_ptr<CommandConnection>> commands;
  for (auto& [id, c] : commands_) commands.push_back(c);
  std::vector<std::shared_ptr<StreamConnection>> streams;
  for (auto& [id, s] : streamConnections_) streams.push_back(s);
  for (auto& c : commands) c->Close();
  for (auto& s : streams) s->Close();
  streams_.clear();
  std::error_code ec;
  for (auto& s : parked_) s.close(ec);
  parked_.clear();
}

void Device::StreamFaultChanged() {
  if (!running_) return;
  asio::post(*io_, [this] {
    if (closing_) return;
    const StreamFault refusal = faults_.Refusal();
    const bool holding = refusal.kind == StreamFault::kRefuse && refusal.value == 1;
    if (holding) return;
    // Connections left waiting are taken up now, as a device that starts accepting again
    // would take them from its backlog.
    std::vector<asio::ip::tcp::socket> waiting = std::move(parked_);
    parked_.clear();
    for (auto& socket : waiting) {
      if (refusal.kind == StreamFault::kRefuse) {
        std::error_code ec;
        socket.close(ec);
        continue;
      }
      const uint64_t id = nextConnectionId_++;
      auto conn = std::make_shared<StreamConnection>(*this, std::move(socket), id);
      streamConnections_[id] = conn;
      conn->Start();
    }
    if (streamAcceptIdle_) {
      streamAcceptIdle_ = false;
      AcceptStream();
    }
  });
}

void Device::AcceptCommand() {
  commandAcceptor_->async_accept([this](std::error_code ec, asio::ip::tcp::socket socket) {
    if (closing_ || ec == asio::error::operation_aborted) return;
    if (ec) {
      // Out of descriptors or similar: try again shortly instead of spinning.
      Note("accept failed: " + ec.message());
      auto timer = std::make_shared<asio::steady_timer>(*io_, kAcceptRetryDelay);
      timer->async_wait([this, timer](std::error_code e) {
        if (!e && !closing_) AcceptCommand();
      });
      return;
    }
    const uint64_t id = nextConnectionId_++;
    auto conn = std::make_shared<CommandConnection>(*this, std::move(socket), id);
    commands_[id] = conn;
    conn->Start();
    AcceptCommand();
  });
}

void Device::AcceptStream() {
  const StreamFault refusal = faults_.Refusal();
  if (refusal.kind == StreamFault::kRefuse && refusal.value == 1) {
    streamAcceptIdle_ = true;
    return;
  }
  streamAcceptor_->async_accept([this](std::error_code ec, asio::ip::tcp::socket socket) {
    if (closing_ || ec == asio::error::operation_aborted) return;
    if (ec) {
      Note("stream accept failed: " + ec.message());
      auto timer = std::make_shared<asio::steady_timer>(*io_, kAcceptRetryDelay);
      timer->async_wait([this, timer](std::error_code e) {
        if (!e && !closing_) AcceptStream();
      });
      return;
    }
    const StreamFault r = faults_.Refusal();
    if (r.kind == StreamFault::kRefuse) {
      if (r.value == 1) {
        parked_.push_back(std::move(socket));
      } else {
        Note("stream connection refused");
        std::error_code ignored;
        socket.close(ignored);
      }
    } else {
      const uint64_t id = nextConnectionId_++;
      auto conn = std::make_shared<StreamConnection>(*this, std::move(socket), id);
      streamConnections_[id] = conn;
      conn->Start();
    }
    AcceptStream();
  });
}

uint32_t Device::NewSessionId() {
  if (options_.fixedSessionId) return options_.sessionId;
  for (;;) {
    const uint32_t id = static_cast<uint32_t>(random_());
    if (id == 0) continue;
    bool used = false;
    for (auto& [cid, c] : commands_) used = used || (c->LoggedIn() && c->SessionId() == id);
    if (!used) return id;
  }
}

void Device::CommandClosed(CommandConnection& connection, bool wasLoggedIn) {
  if (wasLoggedIn) --sessions_;
  std::vector<uint32_t> owned;
  for (auto& [id, e] : streams_) {
    if (e.owner == connection.Id()) owned.push_back(id);
  }
  // A session's streams end with it.
  for (uint32_t id : owned) CloseStream(id);
  commands_.erase(connection.Id());
}

uint32_t Device::OpenStream(uint64_t owner, uint32_t& streamId) {
  do {
    streamId = nextStreamId_++;
  } while (streamId == 0 || streams_.count(streamId) != 0);
  streams_[streamId].owner = owner;
  Note("stream " + std::to_string(streamId) + " opened");
  return kResultOk;
}

uint32_t Device::CloseStream(uint32_t streamId) {
  auto it = streams_.find(streamId);
  if (it == streams_.end()) return kResultUnknownStream;
  auto conn = std::move(it->second.connection);
  streams_.erase(it);
  if (conn) conn->Close();
  Note("stream " + std::to_string(streamId) + " closed");
  return kResultOk;
}

uint32_t Device::PauseStream(uint32_t streamId, bool paused) {
  auto it = streams_.find(streamId);
  if (it == streams_.end()) return kResultUnknownStream;
  it->second.paused = paused;
  if (it->second.connection) it->second.connection->SetPaused(paused);
  return kResultOk;
}

bool Device::AttachStream(uint32_t streamId, const std::shared_ptr<StreamConnection>& connection,
                          bool& paused) {
  auto it = streams_.find(streamId);
  if (it == streams_.end() || it->second.connection) return false;
  it->second.connection = connection;
  paused = it->second.paused;
  ++attached_;
  return true;
}

void Device::StreamClosed(StreamConnection& connection) {
  if (connection.Attached()) {
    --attached_;
    // The stream stays open without a connection: the host may attach again or close it.
    auto it = streams_.find(connection.StreamId());
    if (it != streams_.end() && it->second.connection.get() == &connection) {
      it->second.connection.reset();
    }
  }
  streamConnections_.erase(connection.Id());
}

void Device::Note(const std::string& line) const {
  if (!options_.verbose) return;
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  std::fprintf(stderr, "[devsim %lld.%03lld] %s\n", static_cast<long long>(now / 1000),
               static_cast<long long>(now % 1000), line.c_str());
}

}  // namespace qnv::devsim
