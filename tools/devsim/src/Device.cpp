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
    : m_options(std::move(options)),
      m_log(m_options.maxLoggedRequests),
      m_random(std::random_device{}()) {}

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
  if (m_running) return true;
  m_error.clear();
  if (m_options.clipPath.empty()) {
    m_pictures = PictureSequence::Synthetic(m_options);
  } else {
    m_pictures = PictureSequence::FromClip(m_options.clipPath, m_error);
    if (!m_pictures) return false;
  }
  if (!(m_options.fps > 0 && m_options.fps <= 1000)) {
    m_error = "frame rate must be above 0 and at most 1000";
    return false;
  }
  m_io = std::make_unique<asio::io_context>(1);
  m_commandAcceptor = std::make_unique<asio::ip::tcp::acceptor>(*m_io);
  m_streamAcceptor = std::make_unique<asio::ip::tcp::acceptor>(*m_io);
  bool bound = false;
  if (m_options.port != 0) {
    if (m_options.port > 65533) {
      m_error = "the port must leave room for the stream port (port + 2)";
    } else {
      bound = Bind(*m_commandAcceptor, m_options.port, m_error) &&
              Bind(*m_streamAcceptor, static_cast<uint16_t>(m_options.port + 2), m_error);
    }
  } else {
    // An ephemeral command port whose neighbour two above is free as well.
    for (int attempt = 0; attempt < kEphemeralAttempts && !bound; ++attempt) {
      if (!Bind(*m_commandAcceptor, 0, m_error)) break;
      const uint16_t p = m_commandAcceptor->local_endpoint().port();
      std::string ignored;
      bound = p <= 65533 && Bind(*m_streamAcceptor, static_cast<uint16_t>(p + 2), ignored);
    }
    if (!bound && m_error.empty()) m_error = "no free pair of ports P and P+2 on 127.0.0.1";
  }
  if (!bound) {
    m_commandAcceptor.reset();
    m_streamAcceptor.reset();
    m_io.reset();
    return false;
  }
  m_error.clear();
  m_port = m_commandAcceptor->local_endpoint().port();
  m_state.SetCommandPort(m_port);
  m_closing = false;
  m_alarmBeforeReply.store(m_options.alarmBeforeReply);
  AcceptCommand();
  AcceptStream();
  if (m_options.alarmIntervalMs > 0) {
    m_state.SetRulesEnabled(true);
    m_alarmTimer = std::make_unique<asio::steady_timer>(*m_io);
    ArmAlarmTimer();
  }
  m_running = true;
  m_thread = std::thread([this] {
    auto guard = asio::make_work_guard(*m_io);
    m_io->run();
  });
  Note("listening on 127.0.0.1:" + std::to_string(m_port) + ", streams on " +
       std::to_string(m_port + 2));
  return true;
}

void Device::Stop() {
  if (!m_running) return;
  Thaw();
  RunOnNetwork([this] { CloseEverything(); });
  m_io->stop();
  m_thread.join();
  m_running = false;
  // Handlers still queued hold the last references to closed connections; destroying the
  // context releases them while the acceptors and the context still exist.
  m_commands.clear();
  m_streamConnections.clear();
  m_streams.clear();
  m_parked.clear();
  m_acceptRetry.reset();
  m_alarmTimer.reset();
  m_io.reset();
  m_commandAcceptor.reset();
  m_streamAcceptor.reset();
  m_sessions = 0;
  m_attached = 0;
}

void Device::RunOnNetwork(const std::function<void()>& fn) {
  if (!m_running || m_io->get_executor().running_in_this_thread()) {
    fn();
    return;
  }
  std::promise<void> done;
  asio::post(*m_io, [&] {
    fn();
    done.set_value();
  });
  done.get_future().wait();
}

void Device::CloseEverything() {
  m_closing = true;
  std::error_code ec;
  m_commandAcceptor->close(ec);
  m_streamAcceptor->close(ec);
  if (m_acceptRetry) m_acceptRetry->cancel();
  if (m_alarmTimer) m_alarmTimer->cancel();
  DropAll();
}

void Device::ArmAlarmTimer() {
  m_alarmTimer->expires_after(std::chrono::milliseconds(m_options.alarmIntervalMs));
  m_alarmTimer->async_wait([this](std::error_code ec) {
    if (ec || m_closing) return;
    if (m_state.RulesEnabled())
      for (uint32_t i = 0; i < m_options.alarmBurst; ++i) SendAlarmToAll(1);
    ArmAlarmTimer();
  });
}

std::vector<uint8_t> Device::MakeAlarm(uint32_t ruleId) {
  // Zeros after the layout when the options ask for larger alarms.
  std::vector<uint8_t> a(std::max<size_t>(QNVNET_ALARM_SIZE, m_options.alarmSize), 0);
  std::memcpy(a.data(), "VvEeMmSs", 8);
  const uint32_t sequence = ++m_alarmSequence;
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
  // An object box that wanders over the picture the streams send (a clip's,
  // else the synthetic one's), so successive alarms differ and each fits.
  uint32_t width = m_options.syntheticWidth, height = m_options.syntheticHeight;
  if (m_pictures && m_pictures->Width() >= 8 && m_pictures->Height() >= 4) {
    width = m_pictures->Width();
    height = m_pictures->Height();
  }
  const uint32_t w = width / 8, h = height / 4;
  wire::PutU32(a.data() + QNVNET_ALARM_BOX_OFFSET, (sequence * 37) % (width - w));
  wire::PutU32(a.data() + QNVNET_ALARM_BOX_OFFSET + 4, (sequence * 23) % (height - h));
  wire::PutU32(a.data() + QNVNET_ALARM_BOX_OFFSET + 8, w);
  wire::PutU32(a.data() + QNVNET_ALARM_BOX_OFFSET + 12, h);
  wire::PutU32(a.data() + QNVNET_ALARM_SEQUENCE_OFFSET, sequence);
  return a;
}

size_t Device::SendAlarmToAll(uint32_t ruleId) {
  size_t sent = 0;
  for (auto& [id, c] : m_commands) {
    if (!c->LoggedIn()) continue;
    c->SendUnasked(MakeAlarm(ruleId));
    ++sent;
  }
  return sent;
}

size_t Device::RaiseAlarm(uint32_t ruleId) {
  size_t sent = 0;
  RunOnNetwork([&] { sent = m_closing ? 0 : SendAlarmToAll(ruleId); });
  return sent;
}

void Device::DropAllConnections() {
  RunOnNetwork([this] { DropAll(); });
}

void Device::Freeze(FreezeScope scope) {
  if (!m_running) return;
  if (scope == FreezeScope::kStream) {
    m_streamsFrozen = true;
    Note("streams frozen");
    return;
  }
  std::lock_guard<std::mutex> lock(m_freezeMutex);
  if (m_deviceFrozen) return;
  m_deviceFrozen = true;
  Note("device frozen");
  asio::post(*m_io, [this] {
    std::unique_lock<std::mutex> held(m_freezeMutex);
    m_thawed.wait(held, [this] { return !m_deviceFrozen; });
  });
}

void Device::Thaw() {
  {
    std::lock_guard<std::mutex> lock(m_freezeMutex);
    m_deviceFrozen = false;
  }
  m_thawed.notify_all();
  if (!m_streamsFrozen.exchange(false) || !m_running) return;
  Note("streams thawed");
  // An unpaced stream stopped writing when it found nothing to send.
  asio::post(*m_io, [this] {
    for (auto& [id, s] : m_streamConnections) s->Resume();
  });
}

void Device::DropAll() {
  Note("dropping every connection");
  std::vector<std::shared_ptr<CommandConnection>> commands;
  for (auto& [id, c] : m_commands) commands.push_back(c);
  std::vector<std::shared_ptr<StreamConnection>> streams;
  for (auto& [id, s] : m_streamConnections) streams.push_back(s);
  for (auto& c : commands) c->Close();
  for (auto& s : streams) s->Close();
  m_streams.clear();
  std::error_code ec;
  for (auto& s : m_parked) s.close(ec);
  m_parked.clear();
}

void Device::StreamFaultChanged() {
  if (!m_running) return;
  asio::post(*m_io, [this] {
    if (m_closing) return;
    const StreamFault refusal = m_faults.Refusal();
    const bool holding = refusal.kind == StreamFault::kRefuse && refusal.value == 1;
    if (holding) return;
    // Connections left waiting are taken up now, as a device that starts accepting again
    // would take them from its backlog.
    std::vector<asio::ip::tcp::socket> waiting = std::move(m_parked);
    m_parked.clear();
    for (auto& socket : waiting) {
      if (refusal.kind == StreamFault::kRefuse) {
        std::error_code ec;
        socket.close(ec);
        continue;
      }
      const uint64_t id = m_nextConnectionId++;
      auto conn = std::make_shared<StreamConnection>(*this, std::move(socket), id);
      m_streamConnections[id] = conn;
      conn->Start();
    }
    if (m_streamAcceptIdle) {
      m_streamAcceptIdle = false;
      AcceptStream();
    }
  });
}

void Device::AcceptCommand() {
  m_commandAcceptor->async_accept([this](std::error_code ec, asio::ip::tcp::socket socket) {
    if (m_closing || ec == asio::error::operation_aborted) return;
    if (ec) {
      // Out of descriptors or similar: try again shortly instead of spinning.
      Note("accept failed: " + ec.message());
      auto timer = std::make_shared<asio::steady_timer>(*m_io, kAcceptRetryDelay);
      timer->async_wait([this, timer](std::error_code e) {
        if (!e && !m_closing) AcceptCommand();
      });
      return;
    }
    const uint64_t id = m_nextConnectionId++;
    auto conn = std::make_shared<CommandConnection>(*this, std::move(socket), id);
    m_commands[id] = conn;
    conn->Start();
    AcceptCommand();
  });
}

void Device::AcceptStream() {
  const StreamFault refusal = m_faults.Refusal();
  if (refusal.kind == StreamFault::kRefuse && refusal.value == 1) {
    m_streamAcceptIdle = true;
    return;
  }
  m_streamAcceptor->async_accept([this](std::error_code ec, asio::ip::tcp::socket socket) {
    if (m_closing || ec == asio::error::operation_aborted) return;
    if (ec) {
      Note("stream accept failed: " + ec.message());
      auto timer = std::make_shared<asio::steady_timer>(*m_io, kAcceptRetryDelay);
      timer->async_wait([this, timer](std::error_code e) {
        if (!e && !m_closing) AcceptStream();
      });
      return;
    }
    const StreamFault r = m_faults.Refusal();
    if (r.kind == StreamFault::kRefuse) {
      if (r.value == 1) {
        m_parked.push_back(std::move(socket));
      } else {
        Note("stream connection refused");
        std::error_code ignored;
        socket.close(ignored);
      }
    } else {
      const uint64_t id = m_nextConnectionId++;
      auto conn = std::make_shared<StreamConnection>(*this, std::move(socket), id);
      m_streamConnections[id] = conn;
      conn->Start();
    }
    AcceptStream();
  });
}

uint32_t Device::NewSessionId() {
  if (m_options.fixedSessionId) return m_options.sessionId;
  for (;;) {
    const uint32_t id = static_cast<uint32_t>(m_random());
    if (id == 0) continue;
    bool used = false;
    for (auto& [cid, c] : m_commands) used = used || (c->LoggedIn() && c->SessionId() == id);
    if (!used) return id;
  }
}

void Device::CommandClosed(CommandConnection& connection, bool wasLoggedIn) {
  if (wasLoggedIn) --m_sessions;
  std::vector<uint32_t> owned;
  for (auto& [id, e] : m_streams) {
    if (e.owner == connection.Id()) owned.push_back(id);
  }
  // A session's streams end with it.
  for (uint32_t id : owned) CloseStream(id);
  m_commands.erase(connection.Id());
}

uint32_t Device::OpenStream(uint64_t owner, uint32_t& streamId) {
  do {
    streamId = m_nextStreamId++;
  } while (streamId == 0 || m_streams.count(streamId) != 0);
  m_streams[streamId].owner = owner;
  Note("stream " + std::to_string(streamId) + " opened");
  return kResultOk;
}

uint32_t Device::CloseStream(uint32_t streamId) {
  auto it = m_streams.find(streamId);
  if (it == m_streams.end()) return kResultUnknownStream;
  auto conn = std::move(it->second.connection);
  m_streams.erase(it);
  if (conn) conn->Close();
  Note("stream " + std::to_string(streamId) + " closed");
  return kResultOk;
}

uint32_t Device::PauseStream(uint32_t streamId, bool paused) {
  auto it = m_streams.find(streamId);
  if (it == m_streams.end()) return kResultUnknownStream;
  it->second.paused = paused;
  if (it->second.connection) it->second.connection->SetPaused(paused);
  return kResultOk;
}

bool Device::AttachStream(uint32_t streamId, const std::shared_ptr<StreamConnection>& connection,
                          bool& paused) {
  auto it = m_streams.find(streamId);
  if (it == m_streams.end() || it->second.connection) return false;
  it->second.connection = connection;
  paused = it->second.paused;
  ++m_attached;
  return true;
}

void Device::StreamClosed(StreamConnection& connection) {
  if (connection.Attached()) {
    --m_attached;
    // The stream stays open without a connection: the host may attach again or close it.
    auto it = m_streams.find(connection.StreamId());
    if (it != m_streams.end() && it->second.connection.get() == &connection) {
      it->second.connection.reset();
    }
  }
  m_streamConnections.erase(connection.Id());
}

void Device::Note(const std::string& line) const {
  if (!m_options.verbose) return;
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  std::fprintf(stderr, "[devsim %lld.%03lld] %s\n", static_cast<long long>(now / 1000),
               static_cast<long long>(now % 1000), line.c_str());
}

}  // namespace qnv::devsim
