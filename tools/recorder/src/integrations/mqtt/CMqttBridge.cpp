#include "integrations/mqtt/CMqttBridge.h"

#include <mosquitto.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "base/Log.h"
#include "base/Text.h"
#include "base/Time.h"
#include "integrations/mqtt/CSnapshotStore.h"

namespace qnvrecorder {
namespace {

constexpr int kQos = 1;
// Messages handed to the connection and not yet acknowledged: beyond this
// they wait in the outbox, so a slow broker cannot grow the library's queue.
constexpr size_t kMaxUnacked = 100;
constexpr int kFirstBackoffMs = 1000;
constexpr int kMaxBackoffMs = 30000;
// A connection (TCP, TLS, CONNACK) not made within this long is given up.
constexpr int64_t kConnectTimeoutMs = 10000;
// An event of a camera recording clips around alarms waits at most this long
// for its clip to open, so it can name it; a camera's first event as long for
// the stream's picture size.
constexpr int64_t kClipWaitMs = 2000;
constexpr int64_t kWaitingPollMs = 100;
// What is left to send at the stop gets this long.
constexpr int64_t kStopFlushMs = 2000;
constexpr int kIdlePollMs = 1000;
// Commands waiting for the command thread beyond this are refused: a flood
// of them cannot grow memory (snapshots never wait behind them).
constexpr size_t kMaxWaitingCommands = 16;
constexpr size_t kMaxRulesPerCamera = 64;

std::once_flag gLibraryOnce;

// A segment's start from its name (ROOT/CAMERA/YYYY-MM-DD/HHMMSS[-N]).
int64_t SegmentStartMs(const SSegment& s) {
  tm t{};
  if (std::sscanf(s.date.c_str(), "%4d-%2d-%2d", &t.tm_year, &t.tm_mon, &t.tm_mday) != 3 ||
      std::sscanf(s.stem.c_str(), "%2d%2d%2d", &t.tm_hour, &t.tm_min, &t.tm_sec) != 3) {
    return 0;
  }
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  return int64_t(timegm(&t)) * 1000;
}

uint64_t FileBytes(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? uint64_t(st.st_size) : 0;
}

std::string ConnackText(int rc) {
  std::string text = mosquitto_connack_string(rc);
  if (rc == 4 || rc == 5) {
    text +=
        " (check [mqtt] user and password_env / password_file against the broker's "
        "password file and ACL)";
  }
  return text;
}

}  // namespace

CMqttBridge::CMqttBridge(ICameraAccess& cameras)
    : m_cameras(cameras), m_wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  std::call_once(gLibraryOnce, [] { mosquitto_lib_init(); });
}

CMqttBridge::~CMqttBridge() { Stop(); }

void CMqttBridge::Configure(const SConfig& config) {
  bool start = false, stop = false;
  {
    qnv::locks::CLockGuard lock(m_mutex);
    std::map<std::string, SCameraConfig> next;
    for (const SCameraConfig& c : config.cameras) next[c.name] = c;
    if (m_running) {
      for (const auto& [name, c] : m_configured) {
        if (!next.count(name) && config.mqtt.enabled) m_leaving.insert(name);
      }
    }
    for (const auto& [name, c] : next) m_leaving.erase(name);
    if (m_running && !(config.mqtt == m_config)) m_reconnect = true;
    m_configured = std::move(next);
    m_storageEnabled = config.storage.enabled;
    m_camerasChanged = true;
    m_config = config.mqtt;
    start = config.mqtt.enabled && !m_running;
    stop = !config.mqtt.enabled && m_running;
  }
  if (stop) Stop();
  if (start) Start();
  Wake();
}

void CMqttBridge::SetStorage(const CStorageRoot* storage) {
  qnv::locks::CLockGuard lock(m_storeMutex);
  m_store = std::make_unique<CSnapshotStore>(storage);
}

void CMqttBridge::Start() {
  {
    qnv::locks::CLockGuard lock(m_mutex);
    m_running = true;
    m_stopping = false;
    m_reconnect = true;
  }
  {
    qnv::locks::CLockGuard lock(m_storeMutex);
    if (!m_store) m_store = std::make_unique<CSnapshotStore>(nullptr);
  }
  m_thread = std::thread([this] { Run(); });
  m_snapshotThread = std::thread([this] { RunSnapshots(); });
  m_commandThread = std::thread([this] { RunCommands(); });
}

void CMqttBridge::Stop() {
  {
    qnv::locks::CLockGuard lock(m_mutex);
    if (!m_running) return;
    m_stopping = true;
  }
  m_snapshotWake.notify_all();
  m_commandWake.notify_all();
  Wake();
  if (m_snapshotThread.joinable()) m_snapshotThread.join();
  if (m_commandThread.joinable()) m_commandThread.join();
  if (m_thread.joinable()) m_thread.join();
  qnv::locks::CLockGuard lock(m_mutex);
  m_running = false;
  m_alarms.clear();
  m_states.clear();
  m_segments.clear();
  m_snapshotJobs.clear();
  m_commandJobs.clear();
  m_snapshotsDone.clear();
}

SMqttCounters CMqttBridge::Counters() const {
  qnv::locks::CLockGuard lock(m_mutex);
  SMqttCounters c = m_counters;
  c.running = m_running;
  c.queued = m_queued.load();
  return c;
}

void CMqttBridge::Wake() {
  if (!m_wakeFd.Valid()) return;
  const uint64_t one = 1;
  (void)!::write(m_wakeFd.Get(), &one, sizeof one);
}

// ---- the recorder's threads: hand over, nothing else ----

void CMqttBridge::SegmentOpened(const SSegment& segment, bool) {
  {
    qnv::locks::CLockGuard lock(m_mutex);
    if (!m_running) return;
    m_segments.push_back({segment, false, UnixMs()});
  }
  Wake();
}

void CMqttBridge::SegmentClosed(const SSegment& segment) {
  {
    qnv::locks::CLockGuard lock(m_mutex);
    if (!m_running) return;
    m_segments.push_back({segment, true, UnixMs()});
  }
  Wake();
}

void CMqttBridge::AlarmEvent(const SAlarmEvent& event) {
  const std::string& camera = event.camera;
  bool snapshot = false;
  {
    qnv::locks::CLockGuard lock(m_mutex);
    if (!m_running) return;
    SPendingEvent e;
    e.note.camera = camera;
    e.note.alarm = event.alarm;
    e.note.arrivedUnixMs = event.arrivedUnixMs;
    if (event.eventId != 0) e.note.eventId = event.eventId;  // the catalogue's, when one is kept
    m_alarms.push_back(std::move(e));
    if (m_alarms.size() > kOutboxMessages) {
      m_alarms.pop_front();  // an alarm storm while the MQTT thread is held up
      ++m_counters.dropped;
    }
    auto it = m_configured.find(camera);
    if (it != m_configured.end() && it->second.snapshots &&
        std::none_of(m_snapshotJobs.begin(), m_snapshotJobs.end(),
                     [&](const SJob& j) { return j.camera == camera; })) {
      m_snapshotJobs.push_back({camera, event.arrivedUnixMs, std::nullopt});
      snapshot = true;
    }
  }
  if (snapshot) m_snapshotWake.notify_one();
  Wake();
}

void CMqttBridge::CameraState(const SCameraStatus& status) {
  {
    qnv::locks::CLockGuard lock(m_mutex);
    if (!m_running) return;
    // since is the camera's: while down, when the outage began, kept through
    // reason changes and brief reconnects (not when this message was made).
    m_states.emplace_back(status.name, UpDownOf(status));
  }
  Wake();
}

// ---- the snapshot and command threads ----

void CMqttBridge::RunSnapshots() {
  std::map<std::string, int64_t> lastMono;
  for (;;) {
    SJob job;
    {
      qnv::locks::CUniqueLock lock(m_mutex);
      m_snapshotWake.wait(lock.Native(), [this]() REQUIRES(m_mutex) {
        return m_stopping || !m_snapshotJobs.empty();
      });
      if (m_stopping) return;
      job = std::move(m_snapshotJobs.front());
      m_snapshotJobs.pop_front();
    }
    Snapshot(job, lastMono);
  }
}

void CMqttBridge::RunCommands() {
  for (;;) {
    SJob job;
    {
      qnv::locks::CUniqueLock lock(m_mutex);
      m_commandWake.wait(lock.Native(), [this]() REQUIRES(m_mutex) {
        return m_stopping || !m_commandJobs.empty();
      });
      if (m_stopping) return;
      job = std::move(m_commandJobs.front());
      m_commandJobs.pop_front();
    }
    Command(job);
  }
}

void CMqttBridge::Snapshot(const SJob& job, std::map<std::string, int64_t>& lastMono) {
  {
    qnv::locks::CLockGuard lock(m_mutex);
    auto it = m_configured.find(job.camera);
    if (it == m_configured.end() || !it->second.snapshots) return;
    const int64_t now = MonoMs();
    auto last = lastMono.find(job.camera);
    if (last != lastMono.end() && now - last->second < int64_t(m_config.snapshotSeconds * 1000)) {
      return;
    }
    lastMono[job.camera] = now;
  }
  std::vector<uint8_t> jpeg;
  std::string error;
  bool ok = false;
  {
    qnv::locks::CLockGuard lock(m_storeMutex);
    ok = m_store && m_store->Take(
                        job.camera, job.alarmUnixMs,
                        [&](const std::string& path, std::string& why) {
                          return m_cameras.Capture(job.camera, path, why);
                        },
                        jpeg, error);
  }
  {
    qnv::locks::CLockGuard lock(m_mutex);
    if (!ok) {
      ++m_counters.snapshotFailures;
    } else {
      ++m_counters.snapshots;
      if (auto size = JpegSize(jpeg)) m_pictures[job.camera] = *size;
      m_snapshotsDone.emplace_back(job.camera, std::move(jpeg));
    }
  }
  if (!ok) {
    static CLogThrottle log(5, std::chrono::minutes(1));
    uint64_t held = 0;
    if (log.Allow(held)) {
      LOG_WARN("mqtt: camera %s: no snapshot of the alarm at %s: %s%s", job.camera.c_str(),
               IsoTimeMs(job.alarmUnixMs).c_str(), error.c_str(), HeldBackText(held).c_str());
    }
  }
  Wake();
}

void CMqttBridge::Command(const SJob& job) {
  const SCameraCommand& c = *job.command;
  uint32_t moveCommand = 0, recallAction = 0;
  {
    qnv::locks::CLockGuard lock(m_mutex);
    moveCommand = m_config.ptzMoveCommand;
    recallAction = m_config.ptzRecallAction;
  }
  std::string error, what;
  bool ok = false;
  switch (c.kind) {
    case SCameraCommand::EKind::kPtzMove: {
      const uint32_t values[4] = {moveCommand, c.pan, c.tilt, c.zoom};
      what = "PTZ to pan " + std::to_string(c.pan) + ", tilt " + std::to_string(c.tilt) +
             ", zoom " + std::to_string(c.zoom);
      ok = m_cameras.PtzMove(job.camera, values, error);
      break;
    }
    case SCameraCommand::EKind::kPtzPreset:
      what = "PTZ to preset " + std::to_string(c.preset);
      ok = m_cameras.PtzPreset(job.camera, recallAction, c.preset, error);
      break;
    case SCameraCommand::EKind::kRecord:
      what = "a clip of " + std::to_string(c.seconds) + " s";
      ok = m_cameras.RecordClip(job.camera, c.seconds, error);
      break;
  }
  if (ok) {
    LOG_INFO("mqtt: camera %s: command: %s", job.camera.c_str(), what.c_str());
  } else {
    LOG_WARN("mqtt: camera %s: command %s not done: %s", job.camera.c_str(), what.c_str(),
             error.c_str());
  }
}

// ---- the MQTT thread ----

void CMqttBridge::Run() {
  for (;;) {
    bool reconnect = false, stopping = false;
    {
      qnv::locks::CLockGuard lock(m_mutex);
      stopping = m_stopping;
      reconnect = std::exchange(m_reconnect, false);
      if (reconnect) m_settings = m_config;
    }
    if (reconnect) {
      if (m_mosq) DropConnection(nullptr);
      // Everything retained is told afresh under the (possibly new) topics:
      // discovery as the camera list is taken again, and the states known.
      m_topics = std::make_unique<CTopics>(m_settings.prefix, m_settings.discoveryPrefix);
      m_retained.clear();
      m_retainedDirty.clear();
      m_cameraList.clear();
      {
        qnv::locks::CLockGuard lock(m_mutex);
        m_camerasChanged = true;
      }
      SetRetained(m_topics->Available(), "online");
      for (auto& [camera, info] : m_info) {
        info.rulesSeen.clear();
        info.ruleOffMonoMs.clear();
        if (info.state) SetRetained(m_topics->State(camera), StateJson(*info.state));
      }
      m_backoffMs = 0;
      m_nextConnectMono = MonoMs();
    }
    TakeInbox();
    if (stopping) break;
    const int64_t now = MonoMs();
    TurnRulesOff(now);
    if (!m_mosq && now >= m_nextConnectMono) Connect();
    if (m_mosq && !m_connected && now - m_connectStartedMono > kConnectTimeoutMs) {
      DropConnection("no connection within 10 s");
    }
    PublishPending();
    m_queued = m_outbox.size();
    Service(NextTimerMs(MonoMs()));
  }
  // Stopping: what the cameras' stop said goes out, rules go off, then
  // "offline" and a clean disconnect (which withholds the will).
  for (auto& [camera, info] : m_info) {
    for (const auto& [rule, off] : info.ruleOffMonoMs)
      SetRetained(m_topics->Rule(camera, rule), "OFF");
    info.ruleOffMonoMs.clear();
  }
  for (SPendingEvent& e : m_waiting) {
    e.clipDeadlineMonoMs = 0;
    HandleEvent(e);
  }
  m_waiting.clear();
  const int64_t until = MonoMs() + kStopFlushMs;
  auto flush = [&] {
    while (m_mosq && m_connected && MonoMs() < until &&
           (!m_outbox.empty() || !m_retainedDirty.empty() || !m_unacked.empty())) {
      PublishPending();
      Service(50);
    }
  };
  flush();
  if (m_topics) SetRetained(m_topics->Available(), "offline");
  flush();
  if (!m_outbox.empty() || !m_unacked.empty()) {
    LOG_WARN("mqtt: stopped with %zu message(s) not delivered (broker %s)",
             m_outbox.size() + m_unacked.size(), m_connected ? "slow" : "not connected");
  }
  if (m_mosq) {
    mosquitto_disconnect(m_mosq);
    mosquitto_loop_write(m_mosq, 1);
    mosquitto_destroy(m_mosq);
    m_mosq = nullptr;
  }
  m_connected = false;
  {
    qnv::locks::CLockGuard lock(m_mutex);
    m_counters.connected = false;
  }
  m_outbox.clear();
  m_outboxBytes = 0;
  m_unacked.clear();
  m_waiting.clear();
}

int CMqttBridge::NextTimerMs(int64_t now) const {
  int64_t next = now + kIdlePollMs;
  if (!m_mosq) next = std::min(next, m_nextConnectMono);
  for (const auto& [camera, info] : m_info) {
    for (const auto& [rule, off] : info.ruleOffMonoMs) next = std::min(next, off);
  }
  for (const SPendingEvent& e : m_waiting) next = std::min(next, e.clipDeadlineMonoMs);
  // Waiting events look again for what they wait for (a clip, the picture).
  if (!m_waiting.empty()) next = std::min(next, now + kWaitingPollMs);
  return static_cast<int>(std::clamp<int64_t>(next - now, 0, kIdlePollMs));
}

void CMqttBridge::Connect() {
  const SMqttConfig& c = m_settings;
  m_refused = m_established = false;
  m_mosq = mosquitto_new(c.clientId.c_str(), true, this);
  if (!m_mosq) {
    DropConnection("out of memory for the MQTT client");
    return;
  }
  mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  mosquitto_connect_callback_set(m_mosq, &CMqttBridge::OnConnect);
  mosquitto_disconnect_callback_set(m_mosq, &CMqttBridge::OnDisconnect);
  mosquitto_publish_callback_set(m_mosq, &CMqttBridge::OnPublish);
  mosquitto_message_callback_set(m_mosq, &CMqttBridge::OnMessage);
  int rc = MOSQ_ERR_SUCCESS;
  if (!c.user.empty()) {
    rc = mosquitto_username_pw_set(m_mosq, c.user.c_str(),
                                   c.password.empty() ? nullptr : c.password.c_str());
  }
  if (rc == MOSQ_ERR_SUCCESS && !c.caFile.empty()) {
    rc = mosquitto_tls_set(m_mosq, c.caFile.c_str(), nullptr,
                           c.certFile.empty() ? nullptr : c.certFile.c_str(),
                           c.keyFile.empty() ? nullptr : c.keyFile.c_str(), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      const std::string why = std::string("TLS files not usable (ca_file ") + c.caFile +
                              (c.certFile.empty() ? "" : ", cert_file " + c.certFile) +
                              "): " + mosquitto_strerror(rc);
      DropConnection(why.c_str());
      return;
    }
  }
  const std::string offline = "offline";
  if (rc == MOSQ_ERR_SUCCESS) {
    rc = mosquitto_will_set(m_mosq, m_topics->Available().c_str(), int(offline.size()),
                            offline.data(), kQos, true);
  }
  if (rc == MOSQ_ERR_SUCCESS) {
    rc = mosquitto_connect_async(m_mosq, c.host.c_str(), c.port, c.keepAliveSeconds);
  }
  m_connectStartedMono = MonoMs();
  if (rc != MOSQ_ERR_SUCCESS) {
    const std::string why = std::string("cannot connect: ") +
                            (rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
    DropConnection(why.c_str());
  }
}

void CMqttBridge::DropConnection(const char* why) {
  if (m_mosq && m_connected && why == nullptr) {
    // A new connection of our own choosing: a clean end, so no will.
    mosquitto_disconnect(m_mosq);
    mosquitto_loop_write(m_mosq, 1);
  }
  if (m_mosq) {
    mosquitto_destroy(m_mosq);
    m_mosq = nullptr;
  }
  m_connected = false;
  {
    qnv::locks::CLockGuard lock(m_mutex);
    m_counters.connected = false;
  }
  const bool was = std::exchange(m_established, false);
  // What the broker had not acknowledged goes again, first (at least once).
  for (auto it = m_unacked.rbegin(); it != m_unacked.rend(); ++it) {
    m_outboxBytes += it->second.topic.size() + it->second.payload.size();
    m_outbox.push_front(std::move(it->second));
  }
  m_unacked.clear();
  for (const auto& [topic, payload] : m_retained) m_retainedDirty.insert(topic);
  if (why == nullptr) return;
  m_backoffMs = m_backoffMs == 0 ? kFirstBackoffMs : std::min(m_backoffMs * 2, kMaxBackoffMs);
  m_nextConnectMono = MonoMs() + m_backoffMs;
  static CLogThrottle log(3, std::chrono::minutes(5));
  uint64_t held = 0;
  if (was || log.Allow(held)) {
    LOG_WARN("mqtt: %s:%u: %s%s; %zu message(s) wait; next try in %d s%s", m_settings.host.c_str(),
             m_settings.port, was ? "connection lost: " : "", why, m_outbox.size(),
             m_backoffMs / 1000, HeldBackText(held).c_str());
  }
}

void CMqttBridge::Service(int timeoutMs) {
  pollfd fds[2] = {{m_wakeFd.Get(), POLLIN, 0}, {-1, 0, 0}};
  const int sock = m_mosq ? mosquitto_socket(m_mosq) : -1;
  if (sock >= 0) fds[1] = {sock, short(POLLIN | (mosquitto_want_write(m_mosq) ? POLLOUT : 0)), 0};
  const int n = ::poll(fds, sock >= 0 ? 2 : 1, timeoutMs);
  if (n > 0 && (fds[0].revents & POLLIN)) {
    uint64_t count = 0;
    (void)!::read(m_wakeFd.Get(), &count, sizeof count);
  }
  if (!m_mosq) return;
  int rc = MOSQ_ERR_SUCCESS;
  if (sock >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
    rc = mosquitto_loop_read(m_mosq, 1);
  if (rc == MOSQ_ERR_SUCCESS && m_mosq && (sock < 0 || mosquitto_want_write(m_mosq))) {
    rc = mosquitto_loop_write(m_mosq, 1);
  }
  if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_misc(m_mosq);
  // Before the broker's answer "no connection" means still connecting (the
  // time-out in Run ends that); after it, the connection is gone.
  if (rc == MOSQ_ERR_NO_CONN && !m_established && !m_refused) rc = MOSQ_ERR_SUCCESS;
  if (m_refused) {
    DropConnection("the broker refused the connection");
  } else if (rc != MOSQ_ERR_SUCCESS) {
    const std::string why = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
    DropConnection(why.c_str());
  }
}

void CMqttBridge::OnConnect(mosquitto*, void* self, int rc) {
  auto* b = static_cast<CMqttBridge*>(self);
  if (rc != 0) {
    LOG_ERROR("mqtt: %s:%u refused the connection: %s", b->m_settings.host.c_str(),
              b->m_settings.port, ConnackText(rc).c_str());
    b->m_refused = true;
    return;
  }
  b->m_connected = b->m_established = true;
  b->m_backoffMs = 0;
  {
    qnv::locks::CLockGuard lock(b->m_mutex);
    ++b->m_counters.connects;
    b->m_counters.connected = true;
  }
  LOG_INFO("mqtt: connected to %s:%u%s as %s, topics under %s/", b->m_settings.host.c_str(),
           b->m_settings.port, b->m_settings.caFile.empty() ? "" : " (TLS)",
           b->m_settings.clientId.c_str(), b->m_settings.prefix.c_str());
  for (const auto& [topic, payload] : b->m_retained) b->m_retainedDirty.insert(topic);
  if (b->m_settings.commands) {
    for (const std::string& filter : {b->m_topics->PtzCommands(), b->m_topics->RecordCommands()}) {
      mosquitto_subscribe(b->m_mosq, nullptr, filter.c_str(), kQos);
    }
  }
}

void CMqttBridge::OnMessage(mosquitto*, void* self, const mosquitto_message* m) {
  auto* b = static_cast<CMqttBridge*>(self);
  if (!b->m_settings.commands || m->topic == nullptr) return;
  static CLogThrottle log(5, std::chrono::minutes(1));
  uint64_t held = 0;
  std::string camera, command, error;
  const std::string topic = m->topic;
  if (!b->m_topics->ParseCommandTopic(topic, camera, command)) return;
  std::optional<SCameraCommand> parsed;
  if (m->retain) {
    // A command left on the broker would run again at every connection.
    error = "a retained command is not run (publish commands without the retain flag)";
  } else if (!b->m_cameraList.count(camera)) {
    error = "no camera of this name is configured";
  } else {
    parsed = ParseCommand(
        command,
        std::string(static_cast<const char*>(m->payload), size_t(std::max(m->payloadlen, 0))),
        error);
  }
  if (!parsed) {
    if (log.Allow(held)) {
      LOG_WARN("mqtt: refused a command on %s: %s%s", Quote(topic).c_str(), error.c_str(),
               HeldBackText(held).c_str());
    }
    return;
  }
  {
    qnv::locks::CLockGuard lock(b->m_mutex);
    if (b->m_commandJobs.size() >= kMaxWaitingCommands) {
      error = "too many commands wait";
    } else {
      b->m_commandJobs.push_back({camera, 0, parsed});
    }
  }
  if (!error.empty()) {
    if (log.Allow(held)) {
      LOG_WARN("mqtt: refused a command on %s: %s%s", Quote(topic).c_str(), error.c_str(),
               HeldBackText(held).c_str());
    }
    return;
  }
  b->m_commandWake.notify_one();
}

void CMqttBridge::OnDisconnect(mosquitto*, void* self, int) {
  static_cast<CMqttBridge*>(self)->m_connected = false;
}

void CMqttBridge::OnPublish(mosquitto*, void* self, int mid) {
  static_cast<CMqttBridge*>(self)->m_unacked.erase(mid);
}

void CMqttBridge::SetRetained(const std::string& topic, std::string payload) {
  auto it = m_retained.find(topic);
  if (it != m_retained.end() && it->second == payload) return;
  m_retained[topic] = std::move(payload);
  m_retainedDirty.insert(topic);
}

void CMqttBridge::Queue(std::string topic, std::string payload) {
  m_outboxBytes += topic.size() + payload.size();
  m_outbox.push_back({std::move(topic), std::move(payload)});
  uint64_t dropped = 0;
  while (m_outbox.size() > kOutboxMessages || m_outboxBytes > kOutboxBytes) {
    m_outboxBytes -= m_outbox.front().topic.size() + m_outbox.front().payload.size();
    m_outbox.pop_front();
    ++dropped;
  }
  if (dropped == 0) return;
  uint64_t total = 0;
  {
    qnv::locks::CLockGuard lock(m_mutex);
    total = m_counters.dropped += dropped;
  }
  // One line per hundred dropped: a long outage does not flood the log.
  if (total / 100 != m_droppedLogged / 100 || m_droppedLogged == 0) {
    LOG_WARN("mqtt: the broker is away and %zu messages wait: dropped the oldest (%llu so far)",
             m_outbox.size(), static_cast<unsigned long long>(total));
    m_droppedLogged = total;
  }
}

void CMqttBridge::PublishPending() {
  if (!m_mosq || !m_connected) return;
  auto publish = [&](const std::string& topic, const std::string& payload, bool retain) {
    int mid = 0;
    const int rc = mosquitto_publish(m_mosq, &mid, topic.c_str(), int(payload.size()),
                                     payload.data(), kQos, retain);
    if (rc == MOSQ_ERR_SUCCESS) {
      qnv::locks::CLockGuard lock(m_mutex);
      ++m_counters.published;
    }
    return rc == MOSQ_ERR_SUCCESS ? mid : -1;
  };
  // Availability first, so a subscriber sees the recorder online before its news.
  std::vector<std::string> order(m_retainedDirty.begin(), m_retainedDirty.end());
  std::stable_partition(order.begin(), order.end(),
                        [&](const std::string& t) { return t == m_topics->Available(); });
  for (const std::string& topic : order) {
    if (publish(topic, m_retained[topic], true) < 0) return;
    m_retainedDirty.erase(topic);
  }
  while (!m_outbox.empty() && m_unacked.size() < kMaxUnacked) {
    SMessage& m = m_outbox.front();
    const int mid = publish(m.topic, m.payload, false);
    if (mid < 0) return;
    m_outboxBytes -= m.topic.size() + m.payload.size();
    m_unacked[mid] = std::move(m);
    m_outbox.pop_front();
  }
}

void CMqttBridge::TakeInbox() {
  std::deque<SPendingEvent> alarms;
  std::deque<std::pair<std::string, SUpDown>> states;
  std::deque<SSegmentNote> segments;
  std::deque<std::pair<std::string, std::vector<uint8_t>>> snapshots;
  std::set<std::string> leaving;
  std::map<std::string, SPictureSize> pictures;
  std::optional<std::map<std::string, SCameraConfig>> cameras;
  bool storageEnabled = false;
  {
    qnv::locks::CLockGuard lock(m_mutex);
    alarms.swap(m_alarms);
    states.swap(m_states);
    segments.swap(m_segments);
    snapshots.swap(m_snapshotsDone);
    leaving.swap(m_leaving);
    pictures = m_pictures;
    if (std::exchange(m_camerasChanged, false)) cameras = m_configured;
    storageEnabled = m_storageEnabled;
  }
  if (!m_topics) return;
  for (const std::string& camera : leaving) ForgetCamera(camera);
  if (cameras) {
    for (const auto& [name, c] : *cameras) {
      SCameraInfo& info = m_info[name];
      info.eventsMode = c.mode == CameraMode::kEvents && storageEnabled;
      info.snapshots = c.snapshots;
      auto old = m_cameraList.find(name);
      if (old == m_cameraList.end() || old->second.snapshots != c.snapshots) {
        PublishCameraDiscovery(name, c.snapshots);
      }
    }
    m_cameraList = std::move(*cameras);
  }
  for (const auto& [name, size] : pictures) {
    if (auto it = m_info.find(name); it != m_info.end()) it->second.picture = size;
  }
  for (const SSegmentNote& n : segments) {
    SCameraInfo& info = m_info[n.segment.camera];
    if (!n.closed) {
      info.openSegment = n.segment.stemPath;
      continue;
    }
    if (info.openSegment == n.segment.stemPath) info.openSegment.clear();
    const uint64_t bytes = FileBytes(n.segment.stemPath + kSegmentExtension) +
                           FileBytes(n.segment.stemPath + kIndexExtension);
    const int64_t start = SegmentStartMs(n.segment);
    Queue(m_topics->Segment(n.segment.camera),
          SegmentJson(n.segment, start ? start : n.atUnixMs, n.atUnixMs, bytes));
  }
  for (const auto& [camera, state] : states) {
    if (!m_cameraList.count(camera)) continue;  // a camera stopping as it leaves
    SCameraInfo& info = m_info[camera];
    if (info.state && info.state->up == state.up && info.state->reason == state.reason) continue;
    info.state = state;
    SetRetained(m_topics->State(camera), StateJson(state));
  }
  for (auto& [camera, jpeg] : snapshots) {
    if (!m_cameraList.count(camera)) continue;
    SetRetained(m_topics->Snapshot(camera), std::string(jpeg.begin(), jpeg.end()));
  }
  const int64_t now = MonoMs();
  // Events that waited for their clip go first, in order.
  std::deque<SPendingEvent> waiting;
  waiting.swap(m_waiting);
  for (SPendingEvent& e : alarms) {
    e.clipDeadlineMonoMs = now + kClipWaitMs;
    waiting.push_back(std::move(e));
  }
  for (SPendingEvent& e : waiting) HandleEvent(e);
}

void CMqttBridge::HandleEvent(SPendingEvent& e) {
  const std::string& camera = e.note.camera;
  if (!m_cameraList.count(camera)) return;
  SCameraInfo& info = m_info[camera];
  const int64_t now = MonoMs();
  // A camera's events keep their order: one waiting holds back the later ones.
  const bool held = std::any_of(m_waiting.begin(), m_waiting.end(),
                                [&](const SPendingEvent& w) { return w.note.camera == camera; });
  // The picture's size is the stream's (its SPS), which a snapshot's would
  // only tell after the event.
  SPictureSize size;
  if (m_cameras.PictureSize(camera, size.width, size.height)) info.picture = size;
  // A camera recording clips around alarms opens the clip on its own thread
  // a moment after the alarm: the event waits for it, so it can name it. An
  // alarm that comes as the camera connects, ahead of the stream's first
  // parameter set, waits for that as long.
  if (held || (info.openSegment.empty() && info.eventsMode && now < e.clipDeadlineMonoMs) ||
      (!info.picture && !info.pictureMissed && now < e.clipDeadlineMonoMs)) {
    m_waiting.push_back(std::move(e));
    return;
  }
  if (!info.openSegment.empty()) e.note.clip = info.openSegment + kSegmentExtension;
  e.note.picture = info.picture;
  // A stream whose size cannot be read holds up one event, not every one.
  if (!info.picture) info.pictureMissed = true;
  if (info.picture && RelativeBox(e.note.alarm.box, *info.picture).clamped &&
      !std::exchange(info.boxOutsideLogged, true)) {
    const uint32_t* b = e.note.alarm.box;
    LOG_WARN(
        "mqtt: camera %s: a box (x %u, y %u, %u x %u) reaches outside the %dx%d picture; "
        "box_relative is cut to it (said once per camera)",
        camera.c_str(), b[0], b[1], b[2], b[3], info.picture->width, info.picture->height);
  }
  const uint32_t rule = e.note.alarm.rule;
  // A device's rule ids are its own: past kMaxRulesPerCamera of them the
  // events still go out, but no more sensors are made (memory and discovery
  // stay bounded whatever the device sends).
  if (!info.rulesSeen.count(rule) && info.rulesSeen.size() >= kMaxRulesPerCamera) {
    if (!std::exchange(info.rulesCapped, true)) {
      LOG_WARN(
          "mqtt: camera %s: more than %zu rules raise alarms; rule %u and later ones get "
          "no sensor of their own",
          camera.c_str(), kMaxRulesPerCamera, rule);
    }
  } else {
    if (m_topics->Discovery() && info.rulesSeen.insert(rule).second) {
      SetRetained(m_topics->RuleConfig(camera, rule),
                  RuleConfigJson(*m_topics, camera, rule, m_settings.offSeconds));
    }
    info.rulesSeen.insert(rule);
    info.ruleOffMonoMs[rule] = now + int64_t(m_settings.offSeconds * 1000);
    SetRetained(m_topics->Rule(camera, rule), "ON");
  }
  Queue(m_topics->Event(camera), EventJson(e.note));
}

void CMqttBridge::TurnRulesOff(int64_t now) {
  for (auto& [camera, info] : m_info) {
    for (auto it = info.ruleOffMonoMs.begin(); it != info.ruleOffMonoMs.end();) {
      if (it->second > now) {
        ++it;
        continue;
      }
      SetRetained(m_topics->Rule(camera, it->first), "OFF");
      it = info.ruleOffMonoMs.erase(it);
    }
  }
  // Events whose clip did not come in time go without it.
  if (m_waiting.empty()) return;
  std::deque<SPendingEvent> waiting;
  waiting.swap(m_waiting);
  for (SPendingEvent& e : waiting) HandleEvent(e);
}

void CMqttBridge::PublishCameraDiscovery(const std::string& camera, bool snapshots) {
  if (!m_topics->Discovery()) return;
  SetRetained(m_topics->StateConfig(camera), StateConfigJson(*m_topics, camera));
  // The camera entity shows the snapshots: none without them.
  SetRetained(m_topics->CameraConfig(camera), snapshots ? CameraConfigJson(*m_topics, camera) : "");
}

void CMqttBridge::ForgetCamera(const std::string& camera) {
  // An empty retained message removes a retained topic (and, for discovery,
  // the entity).
  auto clear = [&](const std::string& topic) { SetRetained(topic, ""); };
  SCameraInfo& info = m_info[camera];
  clear(m_topics->State(camera));
  clear(m_topics->Snapshot(camera));
  if (m_topics->Discovery()) {
    clear(m_topics->StateConfig(camera));
    clear(m_topics->CameraConfig(camera));
  }
  for (uint32_t rule : info.rulesSeen) {
    clear(m_topics->Rule(camera, rule));
    if (m_topics->Discovery()) clear(m_topics->RuleConfig(camera, rule));
  }
  m_info.erase(camera);
  m_cameraList.erase(camera);
  std::erase_if(m_waiting, [&](const SPendingEvent& e) { return e.note.camera == camera; });
}

}  // namespace qnvrecorder
