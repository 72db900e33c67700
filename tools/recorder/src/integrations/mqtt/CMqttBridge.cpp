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
// for its clip to open, so it can name it.
constexpr int64_t kClipWaitMs = 2000;
// What is left to send at the stop gets this long.
constexpr int64_t kStopFlushMs = 2000;
constexpr int kIdlePollMs = 1000;
// Commands waiting for the worker thread beyond this are refused: a flood of
// them cannot grow memory or hold up snapshots for long.
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
    : cameras_(cameras), wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  std::call_once(gLibraryOnce, [] { mosquitto_lib_init(); });
}

CMqttBridge::~CMqttBridge() { Stop(); }

void CMqttBridge::Configure(const SConfig& config) {
  bool start = false, stop = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::map<std::string, SCameraConfig> next;
    for (const SCameraConfig& c : config.cameras) next[c.name] = c;
    if (running_) {
      for (const auto& [name, c] : configured_) {
        if (!next.count(name) && config.mqtt.enabled) leaving_.insert(name);
      }
    }
    for (const auto& [name, c] : next) leaving_.erase(name);
    if (running_ && !(config.mqtt == config_)) reconnect_ = true;
    configured_ = std::move(next);
    storageEnabled_ = config.storage.enabled;
    camerasChanged_ = true;
    config_ = config.mqtt;
    start = config.mqtt.enabled && !running_;
    stop = !config.mqtt.enabled && running_;
  }
  if (stop) Stop();
  if (start) Start();
  Wake();
}

void CMqttBridge::SetStorage(const CStorageRoot* storage) {
  std::lock_guard<std::mutex> lock(storeMutex_);
  store_ = std::make_unique<CSnapshotStore>(storage);
}

void CMqttBridge::Start() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = true;
    stopping_ = false;
    reconnect_ = true;
  }
  {
    std::lock_guard<std::mutex> lock(storeMutex_);
    if (!store_) store_ = std::make_unique<CSnapshotStore>(nullptr);
  }
  thread_ = std::thread([this] { Run(); });
  workerThread_ = std::thread([this] { RunJobs(); });
}

void CMqttBridge::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) return;
    stopping_ = true;
  }
  jobWake_.notify_all();
  Wake();
  if (workerThread_.joinable()) workerThread_.join();
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  running_ = false;
  alarms_.clear();
  states_.clear();
  segments_.clear();
  jobs_.clear();
  snapshotsDone_.clear();
}

SMqttCounters CMqttBridge::Counters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  SMqttCounters c = counters_;
  c.running = running_;
  return c;
}

void CMqttBridge::Wake() {
  if (!wakeFd_.Valid()) return;
  const uint64_t one = 1;
  (void)!::write(wakeFd_.Get(), &one, sizeof one);
}

// ---- the recorder's threads: hand over, nothing else ----

void CMqttBridge::SegmentOpened(const SSegment& segment, bool) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) return;
    segments_.push_back({segment, false, UnixMs()});
  }
  Wake();
}

void CMqttBridge::SegmentClosed(const SSegment& segment) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) return;
    segments_.push_back({segment, true, UnixMs()});
  }
  Wake();
}

void CMqttBridge::AlarmEvent(const SAlarmEvent& event) {
  QueueAlarm(event.camera, event.alarm, event.arrivedUnixMs, event.eventId);
}

void CMqttBridge::QueueAlarm(const std::string& camera, const qnvnet_alarm& alarm,
                             int64_t arrivedUnixMs, int64_t eventId) {
  bool snapshot = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) return;
    SPendingEvent e;
    e.note.camera = camera;
    e.note.alarm = alarm;
    e.note.arrivedUnixMs = arrivedUnixMs;
    if (eventId != 0) e.note.eventId = eventId;  // the catalogue's, when one is kept
    alarms_.push_back(std::move(e));
    if (alarms_.size() > kOutboxMessages) {
      alarms_.pop_front();  // an alarm storm while the MQTT thread is held up
      ++counters_.dropped;
    }
    auto it = configured_.find(camera);
    if (it != configured_.end() && it->second.snapshots &&
        std::none_of(jobs_.begin(), jobs_.end(),
                     [&](const SJob& j) { return j.camera == camera && !j.command; })) {
      jobs_.push_back({camera, arrivedUnixMs, std::nullopt});
      snapshot = true;
    }
  }
  if (snapshot) jobWake_.notify_one();
  Wake();
}

void CMqttBridge::CameraState(const SCameraStatus& status) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) return;
    SUpDown s = UpDownOf(status);
    s.sinceUnixMs = UnixMs();
    states_.emplace_back(status.name, s);
  }
  Wake();
}

// ---- the worker thread ----

void CMqttBridge::RunJobs() {
  std::map<std::string, int64_t> lastMono;
  for (;;) {
    SJob job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      jobWake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    if (job.command) {
      Command(job);
    } else {
      Snapshot(job, lastMono);
    }
  }
}

void CMqttBridge::Snapshot(const SJob& job, std::map<std::string, int64_t>& lastMono) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = configured_.find(job.camera);
    if (it == configured_.end() || !it->second.snapshots) return;
    const int64_t now = MonoMs();
    auto last = lastMono.find(job.camera);
    if (last != lastMono.end() && now - last->second < int64_t(config_.snapshotSeconds * 1000)) {
      return;
    }
    lastMono[job.camera] = now;
  }
  std::vector<uint8_t> jpeg;
  std::string error;
  bool ok = false;
  {
    std::lock_guard<std::mutex> lock(storeMutex_);
    ok = store_ && store_->Take(
                       job.camera, job.alarmUnixMs,
                       [&](const std::string& path, std::string& why) {
                         return cameras_.Capture(job.camera, path, why);
                       },
                       jpeg, error);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ok) {
      ++counters_.snapshotFailures;
    } else {
      ++counters_.snapshots;
      if (auto size = JpegSize(jpeg)) pictures_[job.camera] = *size;
      snapshotsDone_.emplace_back(job.camera, std::move(jpeg));
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
    std::lock_guard<std::mutex> lock(mutex_);
    moveCommand = config_.ptzMoveCommand;
    recallAction = config_.ptzRecallAction;
  }
  std::string error, what;
  bool ok = false;
  switch (c.kind) {
    case SCameraCommand::EKind::kPtzMove: {
      const uint32_t values[4] = {moveCommand, c.pan, c.tilt, c.zoom};
      what = "PTZ to pan " + std::to_string(c.pan) + ", tilt " + std::to_string(c.tilt) +
             ", zoom " + std::to_string(c.zoom);
      ok = cameras_.PtzMove(job.camera, values, error);
      break;
    }
    case SCameraCommand::EKind::kPtzPreset:
      what = "PTZ to preset " + std::to_string(c.preset);
      ok = cameras_.PtzPreset(job.camera, recallAction, c.preset, error);
      break;
    case SCameraCommand::EKind::kRecord:
      what = "a clip of " + std::to_string(c.seconds) + " s";
      ok = cameras_.RecordClip(job.camera, c.seconds, error);
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
      std::lock_guard<std::mutex> lock(mutex_);
      stopping = stopping_;
      reconnect = std::exchange(reconnect_, false);
      if (reconnect) settings_ = config_;
    }
    if (reconnect) {
      if (mosq_) DropConnection(nullptr);
      // Everything retained is told afresh under the (possibly new) topics:
      // discovery as the camera list is taken again, and the states known.
      topics_ = std::make_unique<CTopics>(settings_.prefix, settings_.discoveryPrefix);
      retained_.clear();
      retainedDirty_.clear();
      cameraList_.clear();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        camerasChanged_ = true;
      }
      SetRetained(topics_->Available(), "online");
      for (auto& [camera, info] : info_) {
        info.rulesSeen.clear();
        info.ruleOffMonoMs.clear();
        if (info.state) SetRetained(topics_->State(camera), StateJson(*info.state));
      }
      backoffMs_ = 0;
      nextConnectMono_ = MonoMs();
    }
    TakeInbox();
    if (stopping) break;
    const int64_t now = MonoMs();
    TurnRulesOff(now);
    if (!mosq_ && now >= nextConnectMono_) Connect();
    if (mosq_ && !connected_ && now - connectStartedMono_ > kConnectTimeoutMs) {
      DropConnection("no connection within 10 s");
    }
    PublishPending();
    Service(NextTimerMs(MonoMs()));
  }
  // Stopping: what the cameras' stop said goes out, rules go off, then
  // "offline" and a clean disconnect (which withholds the will).
  for (auto& [camera, info] : info_) {
    for (const auto& [rule, off] : info.ruleOffMonoMs)
      SetRetained(topics_->Rule(camera, rule), "OFF");
    info.ruleOffMonoMs.clear();
  }
  for (SPendingEvent& e : waiting_) {
    e.clipDeadlineMonoMs = 0;
    HandleEvent(e);
  }
  waiting_.clear();
  const int64_t until = MonoMs() + kStopFlushMs;
  auto flush = [&] {
    while (mosq_ && connected_ && MonoMs() < until &&
           (!outbox_.empty() || !retainedDirty_.empty() || !unacked_.empty())) {
      PublishPending();
      Service(50);
    }
  };
  flush();
  if (topics_) SetRetained(topics_->Available(), "offline");
  flush();
  if (!outbox_.empty() || !unacked_.empty()) {
    LOG_WARN("mqtt: stopped with %zu message(s) not delivered (broker %s)",
             outbox_.size() + unacked_.size(), connected_ ? "slow" : "not connected");
  }
  if (mosq_) {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_write(mosq_, 1);
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
  }
  connected_ = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    counters_.connected = false;
  }
  outbox_.clear();
  outboxBytes_ = 0;
  unacked_.clear();
  waiting_.clear();
}

int CMqttBridge::NextTimerMs(int64_t now) const {
  int64_t next = now + kIdlePollMs;
  if (!mosq_) next = std::min(next, nextConnectMono_);
  for (const auto& [camera, info] : info_) {
    for (const auto& [rule, off] : info.ruleOffMonoMs) next = std::min(next, off);
  }
  for (const SPendingEvent& e : waiting_) next = std::min(next, e.clipDeadlineMonoMs);
  return static_cast<int>(std::clamp<int64_t>(next - now, 0, kIdlePollMs));
}

void CMqttBridge::Connect() {
  const SMqttConfig& c = settings_;
  refused_ = established_ = false;
  mosq_ = mosquitto_new(c.clientId.c_str(), true, this);
  if (!mosq_) {
    DropConnection("out of memory for the MQTT client");
    return;
  }
  mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  mosquitto_connect_callback_set(mosq_, &CMqttBridge::OnConnect);
  mosquitto_disconnect_callback_set(mosq_, &CMqttBridge::OnDisconnect);
  mosquitto_publish_callback_set(mosq_, &CMqttBridge::OnPublish);
  mosquitto_message_callback_set(mosq_, &CMqttBridge::OnMessage);
  int rc = MOSQ_ERR_SUCCESS;
  if (!c.user.empty()) {
    rc = mosquitto_username_pw_set(mosq_, c.user.c_str(),
                                   c.password.empty() ? nullptr : c.password.c_str());
  }
  if (rc == MOSQ_ERR_SUCCESS && !c.caFile.empty()) {
    rc = mosquitto_tls_set(mosq_, c.caFile.c_str(), nullptr,
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
    rc = mosquitto_will_set(mosq_, topics_->Available().c_str(), int(offline.size()),
                            offline.data(), kQos, true);
  }
  if (rc == MOSQ_ERR_SUCCESS) {
    rc = mosquitto_connect_async(mosq_, c.host.c_str(), c.port, c.keepAliveSeconds);
  }
  connectStartedMono_ = MonoMs();
  if (rc != MOSQ_ERR_SUCCESS) {
    const std::string why = std::string("cannot connect: ") +
                            (rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
    DropConnection(why.c_str());
  }
}

void CMqttBridge::DropConnection(const char* why) {
  if (mosq_ && connected_ && why == nullptr) {
    // A new connection of our own choosing: a clean end, so no will.
    mosquitto_disconnect(mosq_);
    mosquitto_loop_write(mosq_, 1);
  }
  if (mosq_) {
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
  }
  connected_ = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    counters_.connected = false;
  }
  const bool was = std::exchange(established_, false);
  // What the broker had not acknowledged goes again, first (at least once).
  for (auto it = unacked_.rbegin(); it != unacked_.rend(); ++it) {
    outboxBytes_ += it->second.topic.size() + it->second.payload.size();
    outbox_.push_front(std::move(it->second));
  }
  unacked_.clear();
  for (const auto& [topic, payload] : retained_) retainedDirty_.insert(topic);
  if (why == nullptr) return;
  backoffMs_ = backoffMs_ == 0 ? kFirstBackoffMs : std::min(backoffMs_ * 2, kMaxBackoffMs);
  nextConnectMono_ = MonoMs() + backoffMs_;
  static CLogThrottle log(3, std::chrono::minutes(5));
  uint64_t held = 0;
  if (was || log.Allow(held)) {
    LOG_WARN("mqtt: %s:%u: %s%s; %zu message(s) wait; next try in %d s%s", settings_.host.c_str(),
             settings_.port, was ? "connection lost: " : "", why, outbox_.size(), backoffMs_ / 1000,
             HeldBackText(held).c_str());
  }
}

void CMqttBridge::Service(int timeoutMs) {
  pollfd fds[2] = {{wakeFd_.Get(), POLLIN, 0}, {-1, 0, 0}};
  const int sock = mosq_ ? mosquitto_socket(mosq_) : -1;
  if (sock >= 0) fds[1] = {sock, short(POLLIN | (mosquitto_want_write(mosq_) ? POLLOUT : 0)), 0};
  const int n = ::poll(fds, sock >= 0 ? 2 : 1, timeoutMs);
  if (n > 0 && (fds[0].revents & POLLIN)) {
    uint64_t count = 0;
    (void)!::read(wakeFd_.Get(), &count, sizeof count);
  }
  if (!mosq_) return;
  int rc = MOSQ_ERR_SUCCESS;
  if (sock >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
    rc = mosquitto_loop_read(mosq_, 1);
  if (rc == MOSQ_ERR_SUCCESS && mosq_ && (sock < 0 || mosquitto_want_write(mosq_))) {
    rc = mosquitto_loop_write(mosq_, 1);
  }
  if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_misc(mosq_);
  // Before the broker's answer "no connection" means still connecting (the
  // time-out in Run ends that); after it, the connection is gone.
  if (rc == MOSQ_ERR_NO_CONN && !established_ && !refused_) rc = MOSQ_ERR_SUCCESS;
  if (refused_) {
    DropConnection("the broker refused the connection");
  } else if (rc != MOSQ_ERR_SUCCESS) {
    const std::string why = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
    DropConnection(why.c_str());
  }
}

void CMqttBridge::OnConnect(mosquitto*, void* self, int rc) {
  auto* b = static_cast<CMqttBridge*>(self);
  if (rc != 0) {
    LOG_ERROR("mqtt: %s:%u refused the connection: %s", b->settings_.host.c_str(),
              b->settings_.port, ConnackText(rc).c_str());
    b->refused_ = true;
    return;
  }
  b->connected_ = b->established_ = true;
  b->backoffMs_ = 0;
  {
    std::lock_guard<std::mutex> lock(b->mutex_);
    ++b->counters_.connects;
    b->counters_.connected = true;
  }
  LOG_INFO("mqtt: connected to %s:%u%s as %s, topics under %s/", b->settings_.host.c_str(),
           b->settings_.port, b->settings_.caFile.empty() ? "" : " (TLS)",
           b->settings_.clientId.c_str(), b->settings_.prefix.c_str());
  for (const auto& [topic, payload] : b->retained_) b->retainedDirty_.insert(topic);
  if (b->settings_.commands) {
    for (const std::string& filter : {b->topics_->PtzCommands(), b->topics_->RecordCommands()}) {
      mosquitto_subscribe(b->mosq_, nullptr, filter.c_str(), kQos);
    }
  }
}

void CMqttBridge::OnMessage(mosquitto*, void* self, const mosquitto_message* m) {
  auto* b = static_cast<CMqttBridge*>(self);
  if (!b->settings_.commands || m->topic == nullptr) return;
  static CLogThrottle log(5, std::chrono::minutes(1));
  uint64_t held = 0;
  std::string camera, command, error;
  const std::string topic = m->topic;
  if (!b->topics_->ParseCommandTopic(topic, camera, command)) return;
  std::optional<SCameraCommand> parsed;
  if (m->retain) {
    // A command left on the broker would run again at every connection.
    error = "a retained command is not run (publish commands without the retain flag)";
  } else if (!b->cameraList_.count(camera)) {
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
    std::lock_guard<std::mutex> lock(b->mutex_);
    const size_t commands = std::count_if(b->jobs_.begin(), b->jobs_.end(),
                                          [](const SJob& j) { return j.command.has_value(); });
    if (commands >= kMaxWaitingCommands) {
      error = "too many commands wait";
    } else {
      b->jobs_.push_back({camera, 0, parsed});
    }
  }
  if (!error.empty()) {
    if (log.Allow(held)) {
      LOG_WARN("mqtt: refused a command on %s: %s%s", Quote(topic).c_str(), error.c_str(),
               HeldBackText(held).c_str());
    }
    return;
  }
  b->jobWake_.notify_one();
}

void CMqttBridge::OnDisconnect(mosquitto*, void* self, int) {
  static_cast<CMqttBridge*>(self)->connected_ = false;
}

void CMqttBridge::OnPublish(mosquitto*, void* self, int mid) {
  static_cast<CMqttBridge*>(self)->unacked_.erase(mid);
}

void CMqttBridge::SetRetained(const std::string& topic, std::string payload) {
  auto it = retained_.find(topic);
  if (it != retained_.end() && it->second == payload) return;
  retained_[topic] = std::move(payload);
  retainedDirty_.insert(topic);
}

void CMqttBridge::Queue(std::string topic, std::string payload) {
  outboxBytes_ += topic.size() + payload.size();
  outbox_.push_back({std::move(topic), std::move(payload)});
  uint64_t dropped = 0;
  while (outbox_.size() > kOutboxMessages || outboxBytes_ > kOutboxBytes) {
    outboxBytes_ -= outbox_.front().topic.size() + outbox_.front().payload.size();
    outbox_.pop_front();
    ++dropped;
  }
  if (dropped == 0) return;
  uint64_t total = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    total = counters_.dropped += dropped;
  }
  // One line per hundred dropped: a long outage does not flood the log.
  if (total / 100 != droppedLogged_ / 100 || droppedLogged_ == 0) {
    LOG_WARN("mqtt: the broker is away and %zu messages wait: dropped the oldest (%llu so far)",
             outbox_.size(), static_cast<unsigned long long>(total));
    droppedLogged_ = total;
  }
}

void CMqttBridge::PublishPending() {
  if (!mosq_ || !connected_) return;
  auto publish = [&](const std::string& topic, const std::string& payload, bool retain) {
    int mid = 0;
    const int rc = mosquitto_publish(mosq_, &mid, topic.c_str(), int(payload.size()),
                                     payload.data(), kQos, retain);
    if (rc == MOSQ_ERR_SUCCESS) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++counters_.published;
    }
    return rc == MOSQ_ERR_SUCCESS ? mid : -1;
  };
  // Availability first, so a subscriber sees the recorder online before its news.
  std::vector<std::string> order(retainedDirty_.begin(), retainedDirty_.end());
  std::stable_partition(order.begin(), order.end(),
                        [&](const std::string& t) { return t == topics_->Available(); });
  for (const std::string& topic : order) {
    if (publish(topic, retained_[topic], true) < 0) return;
    retainedDirty_.erase(topic);
  }
  while (!outbox_.empty() && unacked_.size() < kMaxUnacked) {
    SMessage& m = outbox_.front();
    const int mid = publish(m.topic, m.payload, false);
    if (mid < 0) return;
    outboxBytes_ -= m.topic.size() + m.payload.size();
    unacked_[mid] = std::move(m);
    outbox_.pop_front();
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
    std::lock_guard<std::mutex> lock(mutex_);
    alarms.swap(alarms_);
    states.swap(states_);
    segments.swap(segments_);
    snapshots.swap(snapshotsDone_);
    leaving.swap(leaving_);
    pictures = pictures_;
    if (std::exchange(camerasChanged_, false)) cameras = configured_;
    storageEnabled = storageEnabled_;
  }
  if (!topics_) return;
  for (const std::string& camera : leaving) ForgetCamera(camera);
  if (cameras) {
    for (const auto& [name, c] : *cameras) {
      SCameraInfo& info = info_[name];
      info.eventsMode = c.mode == CameraMode::kEvents && storageEnabled;
      info.snapshots = c.snapshots;
      auto old = cameraList_.find(name);
      if (old == cameraList_.end() || old->second.snapshots != c.snapshots) {
        PublishCameraDiscovery(name, c.snapshots);
      }
    }
    cameraList_ = std::move(*cameras);
  }
  for (const auto& [name, size] : pictures) {
    if (auto it = info_.find(name); it != info_.end()) it->second.picture = size;
  }
  for (const SSegmentNote& n : segments) {
    SCameraInfo& info = info_[n.segment.camera];
    if (!n.closed) {
      info.openSegment = n.segment.stemPath;
      continue;
    }
    if (info.openSegment == n.segment.stemPath) info.openSegment.clear();
    const uint64_t bytes = FileBytes(n.segment.stemPath + kSegmentExtension) +
                           FileBytes(n.segment.stemPath + kIndexExtension);
    const int64_t start = SegmentStartMs(n.segment);
    Queue(topics_->Segment(n.segment.camera),
          SegmentJson(n.segment, start ? start : n.atUnixMs, n.atUnixMs, bytes));
  }
  for (const auto& [camera, state] : states) {
    if (!cameraList_.count(camera)) continue;  // a camera stopping as it leaves
    SCameraInfo& info = info_[camera];
    if (info.state && info.state->up == state.up && info.state->reason == state.reason) continue;
    info.state = state;
    SetRetained(topics_->State(camera), StateJson(state));
  }
  for (auto& [camera, jpeg] : snapshots) {
    if (!cameraList_.count(camera)) continue;
    SetRetained(topics_->Snapshot(camera), std::string(jpeg.begin(), jpeg.end()));
  }
  const int64_t now = MonoMs();
  // Events that waited for their clip go first, in order.
  std::deque<SPendingEvent> waiting;
  waiting.swap(waiting_);
  for (SPendingEvent& e : alarms) {
    e.clipDeadlineMonoMs = now + kClipWaitMs;
    waiting.push_back(std::move(e));
  }
  for (SPendingEvent& e : waiting) HandleEvent(e);
}

void CMqttBridge::HandleEvent(SPendingEvent& e) {
  const std::string& camera = e.note.camera;
  if (!cameraList_.count(camera)) return;
  SCameraInfo& info = info_[camera];
  const int64_t now = MonoMs();
  // A camera's events keep their order: one waiting holds back the later ones.
  const bool held = std::any_of(waiting_.begin(), waiting_.end(),
                                [&](const SPendingEvent& w) { return w.note.camera == camera; });
  // A camera recording clips around alarms opens the clip on its own thread
  // a moment after the alarm: the event waits for it, so it can name it.
  if (held || (info.openSegment.empty() && info.eventsMode && now < e.clipDeadlineMonoMs)) {
    waiting_.push_back(std::move(e));
    return;
  }
  if (!info.openSegment.empty()) e.note.clip = info.openSegment + kSegmentExtension;
  e.note.picture = info.picture;
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
    if (topics_->Discovery() && info.rulesSeen.insert(rule).second) {
      SetRetained(topics_->RuleConfig(camera, rule),
                  RuleConfigJson(*topics_, camera, rule, settings_.offSeconds));
    }
    info.rulesSeen.insert(rule);
    info.ruleOffMonoMs[rule] = now + int64_t(settings_.offSeconds * 1000);
    SetRetained(topics_->Rule(camera, rule), "ON");
  }
  Queue(topics_->Event(camera), EventJson(e.note));
}

void CMqttBridge::TurnRulesOff(int64_t now) {
  for (auto& [camera, info] : info_) {
    for (auto it = info.ruleOffMonoMs.begin(); it != info.ruleOffMonoMs.end();) {
      if (it->second > now) {
        ++it;
        continue;
      }
      SetRetained(topics_->Rule(camera, it->first), "OFF");
      it = info.ruleOffMonoMs.erase(it);
    }
  }
  // Events whose clip did not come in time go without it.
  if (waiting_.empty()) return;
  std::deque<SPendingEvent> waiting;
  waiting.swap(waiting_);
  for (SPendingEvent& e : waiting) HandleEvent(e);
}

void CMqttBridge::PublishCameraDiscovery(const std::string& camera, bool snapshots) {
  if (!topics_->Discovery()) return;
  SetRetained(topics_->StateConfig(camera), StateConfigJson(*topics_, camera));
  // The camera entity shows the snapshots: none without them.
  SetRetained(topics_->CameraConfig(camera), snapshots ? CameraConfigJson(*topics_, camera) : "");
}

void CMqttBridge::ForgetCamera(const std::string& camera) {
  // An empty retained message removes a retained topic (and, for discovery,
  // the entity).
  auto clear = [&](const std::string& topic) { SetRetained(topic, ""); };
  SCameraInfo& info = info_[camera];
  clear(topics_->State(camera));
  clear(topics_->Snapshot(camera));
  if (topics_->Discovery()) {
    clear(topics_->StateConfig(camera));
    clear(topics_->CameraConfig(camera));
  }
  for (uint32_t rule : info.rulesSeen) {
    clear(topics_->Rule(camera, rule));
    if (topics_->Discovery()) clear(topics_->RuleConfig(camera, rule));
  }
  info_.erase(camera);
  cameraList_.erase(camera);
  std::erase_if(waiting_, [&](const SPendingEvent& e) { return e.note.camera == camera; });
}

}  // namespace qnvrecorder
