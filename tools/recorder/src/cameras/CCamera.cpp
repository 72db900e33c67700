#include "cameras/CCamera.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "QNVNetSdk.h"
#include "base/FramePayload.h"
#include "base/Text.h"
#include "base/Time.h"
#include "qnvnet.h"
#include "qnvrecording/H264Nal.h"
#include "streaming/CRtspFeed.h"

namespace qnvrecorder {
namespace {

constexpr int kFirstBackoffMs = 1000;
constexpr int kMaxBackoffMs = 30000;
constexpr auto kSteadyConnection = std::chrono::seconds(30);
// A reconnect that holds less than this does not end an outage (status
// "since" keeps its start).
constexpr int64_t kBriefReconnectMs = SCameraStatus::kBriefReconnectSeconds * 1000;
// A refused password will not change by itself: the next try waits this long
// (a reload with a changed password_file tries at once).
constexpr int kCredentialsBackoffMs = 300000;
// Housekeeping pace of a camera's thread; events (a loss, a stop, a disk
// state, an alarm) wake it at once and a segment's end is waited for exactly.
constexpr int kTickMs = 1000;
// A segment whose data file stops growing this long while frames arrive has
// ended on its own (a failed write, or the library's 1 GiB limit).
constexpr int64_t kStallMs = 5000;
// Segments roll over before the library's 1 GiB limit ends them.
constexpr uint64_t kRollBytes = 960ull << 20;
constexpr int kSaveRetryMs = 5000;
// Repeated lines: alarms (a device may raise hundreds a second), failed
// connection attempts of an unchanged cause, refused segment files.
constexpr int kAlarmLinesPerWindow = 5;
constexpr auto kAlarmWindow = std::chrono::seconds(10);
constexpr auto kConnectWindow = std::chrono::minutes(10);
constexpr auto kStorageWindow = std::chrono::minutes(1);
// A device that takes the login and drops the connection at once would
// otherwise be told about every second.
constexpr int kLossLinesPerWindow = 5;
constexpr auto kLossWindow = std::chrono::minutes(10);

std::string Code(int32_t rc) {
  const char* text = qnvnet_last_error_text();
  return std::to_string(rc) + " " + qnvnet_strerror(rc) +
         (text != nullptr && *text != '\0' ? std::string(": ") + text : std::string());
}

}  // namespace

CCamera::CCamera(SCameraConfig config, SStorageConfig storageConfig, CStorageRoot* storage,
                 std::shared_ptr<CRtspFeed> feed, ICameraHost& host)
    : m_config(std::move(config)),
      m_storageConfig(std::move(storageConfig)),
      m_storage(storage),
      m_feed(std::move(feed)),
      m_host(host),
      m_sinceUnix(UnixMs() / 1000),
      m_alarmLog(kAlarmLinesPerWindow, kAlarmWindow),
      m_connectLog(1, kConnectWindow),
      m_lossLog(kLossLinesPerWindow, kLossWindow),
      m_storageLog(1, kStorageWindow) {}

CCamera::~CCamera() { Stop(); }

void CCamera::Start() {
  if (!m_thread.joinable()) m_thread = std::thread([this] { Run(); });
}

void CCamera::Stop() {
  {
    qnv::locks::CLockGuard lock(m_mutex);
    m_stopping = true;
  }
  m_wake.notify_all();
  if (m_thread.joinable()) m_thread.join();
}

void CCamera::SetDiskFull(bool full) {
  if (m_diskFull.exchange(full) != full) Wake();
}

SCameraStatus CCamera::Status() const {
  SCameraStatus s;
  s.name = m_config.name;
  s.lastFrameUnixMs = m_lastFrameUnixMs;
  s.bytesToday = m_today == UnixMs() / 86400000 ? m_bytesToday.load() : 0;
  qnv::locks::CLockGuard lock(m_mutex);
  s.state = m_state;
  s.sinceUnix = m_sinceUnix;
  s.fault = m_fault;
  s.lastError = m_lastError;
  s.segment = m_segmentPath;
  s.reconnects = m_reconnects;
  s.failedAttempts = m_state == "down" ? m_failedAttempts : 0;
  s.pictures = m_pictures;
  s.keyPictures = m_keyPictures;
  return s;
}

void CCamera::NoteSps(const uint8_t* frame, size_t length) {
  QNVNetFrameHeader header;
  const uint8_t* payload = nullptr;
  size_t size = 0;
  if (!FramePayload(frame, length, header, payload, size)) return;
  const auto nals =
      qnvrec::SplitAnnexB(payload, std::min<size_t>(size, QNVNetFrameNal::kScanBytes));
  qnvrec::SSpsInfo sps;
  if (nals.empty() || !qnvrec::ParseSps(nals.front(), sps) || sps.width > 0xFFFF ||
      sps.height > 0xFFFF) {
    return;
  }
  m_pictureSize = uint32_t(sps.width) << 16 | uint32_t(sps.height);
}

bool CCamera::PictureSize(int& width, int& height) const {
  const uint32_t size = m_pictureSize;
  width = int(size >> 16);
  height = int(size & 0xFFFF);
  return size != 0;
}

std::set<std::string> CCamera::OpenStems() const {
  qnv::locks::CLockGuard lock(m_mutex);
  std::set<std::string> open;
  if (!m_segmentStem.empty()) open.insert(m_segmentStem);
  if (!m_rolledOutStem.empty()) open.insert(m_rolledOutStem);
  return open;
}

void CCamera::OnFrame(const uint8_t* frame, int32_t length) {
  if (length < static_cast<int32_t>(QNVNET_FRAME_HEADER_SIZE)) return;
  const int64_t now = UnixMs();
  m_lastFrameUnixMs = now;
  ++m_framesSeen;
  const QNVNetFrameNal nal = QNVNetFrameNal::OfFrame(frame, static_cast<uint64_t>(length));
  if (nal.startsPicture) ++m_pictures;
  if (nal.keyPicture) ++m_keyPictures;
  // A parameter set comes once a group of pictures, alone or ahead of its key
  // picture: its first bytes are read, not the picture after it.
  if (nal.type == QNVNetFrameNal::kTypeSps) NoteSps(frame, static_cast<size_t>(length));
  if (m_recording) {
    const int64_t day = now / 86400000;
    if (m_today.exchange(day) != day) m_bytesToday = 0;
    m_bytesToday += static_cast<uint64_t>(length);
  }
  // The library ends the old recording of a hand-over where a group of
  // pictures begins (at the latest at a frame it marks as a key frame, byte
  // 35), after this callback: the next frame wakes the camera's thread to ask
  // whether it has (FinishHandover). A hint only: a key frame that came
  // while the hand-over was being asked for may have gone to the old one.
  if (m_rolloverKeySeen && !m_rolloverDone.exchange(true)) Wake();
  if (frame[QNVNET_FRAME_KIND_OFFSET] == QNVNET_FRAME_KIND_KEY && m_rolloverPending)
    m_rolloverKeySeen = true;
  if (m_feed) m_feed->Push(frame, static_cast<size_t>(length), nal);
}

void CCamera::OnDisconnect(uint16_t port) {
  qnvnet_loss loss{};
  qnvnet_disconnect_reason(&loss);
  {
    qnv::locks::CLockGuard lock(m_mutex);
    // The first report says why: a stream stall may be followed by the
    // session's loss before the camera's thread reconnects.
    if (!m_lost) {
      m_lost = true;
      m_lostPort = port;
      m_loss = loss;
    }
    m_kick = true;
  }
  m_wake.notify_all();
}

SFault CCamera::LossFault() {
  qnv::locks::CLockGuard lock(m_mutex);
  if (!m_lost) return {};
  return DisconnectFault(m_loss, m_lostPort, m_config.port, m_config.host);
}

void CCamera::OnDeviceMessage(const uint8_t* body, int32_t length) {
  qnvnet_alarm alarm{};
  if (!qnvnet_alarm_decode(body, length, &alarm)) return;
  const int64_t now = UnixMs();
  uint64_t held = 0;
  if (m_alarmLog.Allow(held)) {
    LOG_INFO("camera %s: alarm (rule %u)%s", m_config.name.c_str(), alarm.rule,
             HeldBackText(held).c_str());
  }
  // An event clip is named by the time its first alarm arrived.
  int64_t none = 0;
  m_clipAlarmUnixMs.compare_exchange_strong(none, now);
  m_lastAlarmMonoMs = MonoMs();
  m_host.Alarm(*this, alarm, now);
  Wake();
}

bool CCamera::RecordFor(double seconds) {
  if (m_config.mode != CameraMode::kEvents || m_storage == nullptr) return false;
  const int64_t until = MonoMs() + static_cast<int64_t>(seconds * 1000);
  int64_t was = m_clipUntilMonoMs;
  while (was < until && !m_clipUntilMonoMs.compare_exchange_weak(was, until)) {
  }
  int64_t none = 0;
  m_clipAlarmUnixMs.compare_exchange_strong(none, UnixMs());
  Wake();
  return true;
}

void CCamera::Wake() {
  {
    qnv::locks::CLockGuard lock(m_mutex);
    m_kick = true;
  }
  m_wake.notify_all();
}

bool CCamera::WaitMs(int ms) {
  qnv::locks::CUniqueLock lock(m_mutex);
  m_wake.wait_for(lock.Native(), std::chrono::milliseconds(ms),
                  [this]() REQUIRES(m_mutex) { return m_stopping; });
  return !m_stopping;
}

void CCamera::SetState(const char* state, const SFault& fault) {
  bool changed = false;
  {
    qnv::locks::CLockGuard lock(m_mutex);
    const int64_t nowMs = MonoMs();
    const bool down = std::strcmp(state, "down") == 0;
    const bool up =
        !down && std::strcmp(state, "stopped") != 0 && std::strcmp(state, "connecting") != 0;
    if (down && m_state != "down") {
      // An outage goes on through reason changes and through a reconnect
      // that held less than kBriefReconnect: a camera that flaps is down
      // since its first loss, not since the latest.
      const bool goesOn = m_outageSinceUnix != 0 && m_upSinceMonoMs != 0 &&
                          nowMs - m_upSinceMonoMs < kBriefReconnectMs;
      if (!goesOn) {
        m_outageSinceUnix = UnixMs() / 1000;
        m_failedAttempts = 0;
      }
      m_upSinceMonoMs = 0;
    } else if (up && m_upSinceMonoMs == 0) {
      m_upSinceMonoMs = nowMs;
    }
    if (m_state != state) m_sinceUnix = down ? m_outageSinceUnix : UnixMs() / 1000;
    changed = m_state != state || m_fault.kind != fault.kind || m_fault.text != fault.text;
    m_state = state;
    m_fault = fault;
    if (fault.kind != EFault::kNone) m_lastError = fault.text;
  }
  if (changed) m_host.StateChanged(*this, Status());
}

void CCamera::FlushHeldLines() {
  if (const uint64_t held = m_alarmLog.Flush()) {
    LOG_INFO("camera %s: %llu more alarm line(s) held back in the last %lld s",
             m_config.name.c_str(), static_cast<unsigned long long>(held),
             static_cast<long long>(kAlarmWindow.count()));
  }
}

void CCamera::LogConnectFailure(const SFault& fault, int retryMs) {
  std::string fix;
  if (fault.kind == EFault::kBadCredentials) {
    if (!m_config.passwordFile.empty()) {
      fix = "; fix the password in password_file " + m_config.passwordFile +
            " (its first line) or the user " + Quote(m_config.user) +
            ", then reload (SIGHUP) to try again at once";
    } else if (!m_config.passwordEnv.empty()) {
      fix = "; fix the password in the environment variable " + m_config.passwordEnv +
            " (password_env, set in the service's environment file) or the user " +
            Quote(m_config.user) + ", then restart the service";
    } else {
      fix = "; the camera has no password: give it password_env or password_file";
    }
  }
  uint64_t held = 0;
  if (fault.text != m_lastLoggedFault) {
    // A new cause is always told; the same cause again only now and then.
    held = m_connectLog.Flush(CLogThrottle::Clock::now() + kConnectWindow);
    m_connectLog.Allow(held);
  } else if (!m_connectLog.Allow(held)) {
    return;
  }
  m_lastLoggedFault = fault.text;
  LOG_WARN("camera %s: cannot connect: %s%s; next try in %d s%s", m_config.name.c_str(),
           fault.text.c_str(), fix.c_str(), retryMs / 1000,
           held ? (" (" + std::to_string(held) + " failed tries like it not logged)").c_str() : "");
}

void CCamera::Run() {
  int backoffMs = kFirstBackoffMs;
  bool everConnected = false;
  while (WaitMs(0)) {
    SFault fault;
    if (!Connect(fault)) {
      const int retryMs = fault.kind == EFault::kBadCredentials ? kCredentialsBackoffMs : backoffMs;
      {
        qnv::locks::CLockGuard lock(m_mutex);
        ++m_failedAttempts;
      }
      SetState("down", fault);
      LogConnectFailure(fault, retryMs);
      if (!WaitMs(retryMs)) break;
      backoffMs = std::min(backoffMs * 2, kMaxBackoffMs);
      continue;
    }
    if (everConnected) {
      qnv::locks::CLockGuard lock(m_mutex);
      ++m_reconnects;
    }
    everConnected = true;
    const Clock::time_point connectedAt = Clock::now();
    m_lastLoggedFault.clear();
    Serve();
    // A connection that held a while starts the back-off afresh; one dropped
    // at once (a device that takes the login and closes) lets it grow.
    if (Clock::now() - connectedAt >= kSteadyConnection) backoffMs = kFirstBackoffMs;
    // Serve returns when the camera stops or the library reported a loss.
    // Down is said at once, before the slow clean-up: closing the channel
    // waits for a frozen device's answer, up to the command time-out.
    const SFault why = LossFault();
    if (why.kind != EFault::kNone) SetState("down", why);
    Disconnect();
    if (!WaitMs(0)) break;
    uint64_t held = 0;
    if (m_lossLog.Allow(held)) {
      LOG_WARN("camera %s: %s; reconnecting%s", m_config.name.c_str(), why.text.c_str(),
               HeldBackText(held).c_str());
    }
    SetState("down", why);
    if (!WaitMs(backoffMs)) break;
    backoffMs = std::min(backoffMs * 2, kMaxBackoffMs);
  }
  Disconnect();
  SetState("stopped");
}

bool CCamera::Connect(SFault& fault) {
  {
    qnv::locks::CLockGuard lock(m_mutex);
    m_lost = false;
  }
  uint32_t clientId = 0;
  int32_t rc = qnvnet_login(&clientId, m_config.host.c_str(), m_config.port, m_config.user.c_str(),
                            m_config.password.c_str());
  if (rc != QNVNET_SUCCESS) {
    fault = LoginFault(rc, m_config.host, m_config.port);
    return false;
  }
  m_clientId = clientId;
  m_loggedIn = true;
  m_host.Route(m_clientId, this);
  uint32_t handle = 0;
  rc = qnvnet_live_open(&handle, m_clientId, nullptr);
  if (rc != QNVNET_SUCCESS) {
    fault = ChannelFault(rc);
    Disconnect();
    return false;
  }
  m_handle = handle;
  m_channelOpen = true;
  // The library tells of a stream that stops (a camera that hangs while its
  // session still answers, a lost encoder) after this long without a frame,
  // counted from now, so a channel that never delivers is told as well.
  const uint32_t stallMs = static_cast<uint32_t>(m_config.stallSeconds * 1000);
  rc = qnvnet_live_set_stall_timeout(m_handle, stallMs);
  if (rc != QNVNET_SUCCESS) {
    fault = {EFault::kChannel, "stall time-out not set (" + Code(rc) + ")"};
    Disconnect();
    return false;
  }
  // Event clips begin pre_seconds before their alarm; a snapshot decodes
  // from a held key frame at once when a group of pictures or more is held.
  const double holdSeconds =
      std::max(m_config.mode == CameraMode::kEvents ? m_config.preSeconds : 0,
               m_config.snapshots ? m_config.snapshotHoldSeconds : 0);
  if (holdSeconds > 0) {
    rc = qnvnet_live_set_prerecord(m_handle, static_cast<uint32_t>(holdSeconds * 1000), 0);
    if (rc != QNVNET_SUCCESS) {
      LOG_WARN("camera %s: pre-record not set (%s)", m_config.name.c_str(), Code(rc).c_str());
    }
  }
  m_liveHandle = m_handle;
  m_liveClient = m_clientId;
  fault = LossFault();
  if (fault.kind != EFault::kNone) {
    Disconnect();
    return false;
  }
  LOG_INFO("camera %s: connected to %s:%u", m_config.name.c_str(), m_config.host.c_str(),
           m_config.port);
  SetState("connected");
  m_nextSaveTry = Clock::now();
  return true;
}

void CCamera::Disconnect() {
  if (m_recording || m_rolledOut) CloseSegment(nullptr);
  m_rolloverPending = false;
  if (m_feed) m_feed->SetDown();
  if (m_loggedIn) m_host.Route(m_clientId, nullptr);
  m_liveHandle = 0;
  m_liveClient = 0;
  if (m_channelOpen) qnvnet_live_close(m_handle);
  if (m_loggedIn) qnvnet_logout(m_clientId);
  m_channelOpen = m_loggedIn = false;
}

void CCamera::Serve() {
  if (m_feed) m_feed->SetUp();
  for (;;) {
    {
      qnv::locks::CUniqueLock lock(m_mutex);
      auto until = Clock::now() + std::chrono::milliseconds(kTickMs);
      if (m_recording && !m_rolloverPending && m_segmentEnd < until) until = m_segmentEnd;
      m_wake.wait_until(lock.Native(), until,
                        [this]() REQUIRES(m_mutex) { return m_stopping || m_lost || m_kick; });
      m_kick = false;
      if (m_stopping || m_lost) return;
    }
    FlushHeldLines();
    if (m_rolledOut) FinishHandover();
    // Continuous: always; events: from an alarm until post_seconds after the last one.
    const int64_t alarm = m_lastAlarmMonoMs;
    const bool inClip =
        m_config.mode == CameraMode::kEvents &&
        ((alarm != 0 && MonoMs() < alarm + static_cast<int64_t>(m_config.postSeconds * 1000)) ||
         MonoMs() < m_clipUntilMonoMs);
    const bool want =
        m_storage != nullptr && (m_config.mode == CameraMode::kContinuous || inClip) && !m_diskFull;
    if (want && !m_recording && Clock::now() >= m_nextSaveTry) {
      const int64_t clip = m_clipAlarmUnixMs.exchange(0);
      if (!OpenSegment(m_config.mode == CameraMode::kEvents && clip != 0 ? clip : UnixMs())) {
        m_nextSaveTry = Clock::now() + std::chrono::milliseconds(kSaveRetryMs);
      }
    } else if (!want && m_recording) {
      CloseSegment(m_diskFull ? "disk full: recording stopped until space is back" : nullptr);
    } else if (m_recording) {
      CheckStall();
      if (m_recording && Clock::now() >= m_segmentEnd && !m_rolloverPending) {
        const int64_t early = m_segmentEndUnixMs - UnixMs();
        if (m_endOnClock && early > 0) {
          // The steady clock ran ahead of the wall clock: a segment starts
          // on its boundary, never before it.
          m_segmentEnd = Clock::now() + std::chrono::milliseconds(early);
        } else {
          RollOver();
        }
      }
    }
    SetState(m_storage == nullptr ? "connected"
             : m_diskFull         ? "disk full"
             : m_recording        ? "recording"
                                  : "connected");
  }
}

void CCamera::ScheduleEnd(int64_t fromUnixMs, bool onClock) {
  // The next boundary, at least half a segment away, so none is tiny.
  const int64_t length = int64_t(m_storageConfig.segmentSeconds) * 1000;
  int64_t end = NextBoundaryMs(fromUnixMs, m_storageConfig.segmentSeconds);
  if (!onClock && end - fromUnixMs < length / 2) end += length;
  m_segmentEndUnixMs = end;
  m_endOnClock = true;
  m_segmentEnd = Clock::now() + std::chrono::milliseconds(std::max<int64_t>(end - UnixMs(), 0));
}

bool CCamera::OpenSegment(int64_t nameUnixMs) {
  std::string error;
  std::unique_ptr<CSegmentFiles> files =
      m_storage->CreateSegment(m_config.name, static_cast<time_t>(nameUnixMs / 1000), error);
  uint64_t held = 0;
  if (!files) {
    if (m_storageLog.Allow(held)) {
      LOG_ERROR("camera %s: segment not opened: %s; retrying every %d s%s", m_config.name.c_str(),
                error.c_str(), kSaveRetryMs / 1000, HeldBackText(held).c_str());
    }
    return false;
  }
  uint32_t id = 0;
  const int32_t rc = qnvnet_record_open(m_handle, files->LibraryPath().c_str(), &id);
  if (rc != QNVNET_SUCCESS) {
    if (m_storageLog.Allow(held)) {
      LOG_ERROR("camera %s: segment %s not opened (%s); retrying every %d s%s",
                m_config.name.c_str(), files->Path().c_str(), Code(rc).c_str(), kSaveRetryMs / 1000,
                HeldBackText(held).c_str());
    }
    files->RemoveIfEmpty();
    return false;
  }
  if (!files->StillOurs()) {
    // Something was put in place of the files between their making and the
    // library's opening: whatever it is, it is not written.
    qnvnet_record_close(m_handle, id);
    LOG_ERROR("camera %s: %s was replaced while it was being opened; not recording into it",
              m_config.name.c_str(), files->Path().c_str());
    return false;
  }
  m_saveId = id;
  m_recording = true;
  ScheduleEnd(UnixMs(), false);
  m_stallSize = 0;
  m_stallSince = Clock::now();
  {
    qnv::locks::CLockGuard lock(m_mutex);
    m_segmentPath = files->Path();
    m_segmentStem = files->StemPath();
  }
  m_segment = std::move(files);
  LOG_INFO("camera %s: recording %s", m_config.name.c_str(), m_segment->Path().c_str());
  m_host.SegmentOpened(*this, m_segment->Segment(), false);
  return true;
}

void CCamera::RollOver() {
  // On the clock: named by the boundary the new segment begins at (its first
  // frame, at the next key frame, comes at or after it).
  const int64_t nameUnixMs = m_endOnClock ? m_segmentEndUnixMs : UnixMs();
  std::string error;
  std::unique_ptr<CSegmentFiles> files =
      m_storage->CreateSegment(m_config.name, static_cast<time_t>(nameUnixMs / 1000), error);
  if (!files) {
    uint64_t held = 0;
    if (m_storageLog.Allow(held)) {
      LOG_ERROR("camera %s: next segment not made (%s); the current one goes on%s",
                m_config.name.c_str(), error.c_str(), HeldBackText(held).c_str());
    }
    m_segmentEnd = Clock::now() + std::chrono::milliseconds(kSaveRetryMs);
    m_endOnClock = false;
    return;
  }
  uint32_t newId = 0;
  m_rolloverKeySeen = false;
  m_rolloverDone = false;
  m_rolloverPending = true;
  const int32_t rc =
      qnvnet_record_rollover(m_handle, m_saveId, files->LibraryPath().c_str(), &newId);
  if (rc != QNVNET_SUCCESS) {
    m_rolloverPending = false;
    files->RemoveIfEmpty();
    if (rc == QNVNET_E_NO_SAVE) {
      LOG_ERROR("camera %s: segment %s ended early (a write failed: disk full?)",
                m_config.name.c_str(), m_segment->Path().c_str());
      CloseSegment(nullptr);
      m_host.CheckDiskSoon();
    } else {
      LOG_ERROR("camera %s: segment %s not started (%s); the current one goes on",
                m_config.name.c_str(), files->Path().c_str(), Code(rc).c_str());
      m_segmentEnd = Clock::now() + std::chrono::milliseconds(kSaveRetryMs);
      m_endOnClock = false;
    }
    return;
  }
  if (!files->StillOurs()) {
    qnvnet_record_close(m_handle, newId);  // cancels the hand-over; the current one goes on
    m_rolloverPending = false;
    LOG_ERROR("camera %s: %s was replaced while it was being opened; the current segment goes on",
              m_config.name.c_str(), files->Path().c_str());
    m_segmentEnd = Clock::now() + std::chrono::milliseconds(kSaveRetryMs);
    m_endOnClock = false;
    return;
  }
  {
    qnv::locks::CLockGuard lock(m_mutex);
    m_rolledOutPath = m_segmentPath;
    m_rolledOutStem = m_segmentStem;
    m_segmentPath = files->Path();
    m_segmentStem = files->StemPath();
  }
  m_rolledOut = std::move(m_segment);
  m_rolledOutId = m_saveId;
  m_segment = std::move(files);
  m_saveId = newId;
  ScheduleEnd(m_endOnClock ? nameUnixMs : UnixMs(), m_endOnClock);
  m_stallSize = 0;
  m_stallSince = Clock::now();
  LOG_INFO("camera %s: recording %s (from the next key frame)", m_config.name.c_str(),
           m_segment->Path().c_str());
  m_host.SegmentOpened(*this, m_segment->Segment(), true);
}

void CCamera::FinishHandover() {
  m_rolloverKeySeen = m_rolloverDone = false;
  // Closing the old recording now would end it before its group of pictures
  // if the library has not handed it over yet, and the new one would begin
  // only at the next group: the frames between would be in neither. Asking
  // to hand it over again changes nothing and says where it stands: -74
  // while it still hands over, -73 once the library ended it, complete and
  // closed. (The id is checked before any file is opened; the path is the
  // new segment's, which the library never opens twice.)
  uint32_t unused = 0;
  const int32_t rc =
      qnvnet_record_rollover(m_handle, m_rolledOutId, m_segment->LibraryPath().c_str(), &unused);
  if (rc == QNVNET_E_ROLLOVER_PENDING) return;                      // its group has not begun yet
  if (rc == QNVNET_SUCCESS) qnvnet_record_close(m_handle, unused);  // not expected: undone
  m_rolloverPending = false;
  const SSegment closed = m_rolledOut->Segment();
  m_rolledOut.reset();  // its lock goes: it is complete
  {
    qnv::locks::CLockGuard lock(m_mutex);
    m_rolledOutPath.clear();
    m_rolledOutStem.clear();
  }
  m_host.SegmentClosed(*this, closed);
}

void CCamera::CloseSegment(const char* why) {
  if (m_rolledOut) {
    // A hand-over still waiting for its key frame: the segment handing over
    // ends now too (-73 when the key frame came meanwhile and ended it).
    qnvnet_record_close(m_handle, m_rolledOutId);
    m_rolloverPending = m_rolloverKeySeen = m_rolloverDone = false;
    const SSegment old = m_rolledOut->Segment();
    m_rolledOut.reset();
    {
      qnv::locks::CLockGuard lock(m_mutex);
      m_rolledOutPath.clear();
      m_rolledOutStem.clear();
    }
    LOG_INFO("camera %s: closed %s%s", m_config.name.c_str(), old.stemPath.c_str(),
             kSegmentExtension);
    m_host.SegmentClosed(*this, old);
  }
  if (!m_segment) {
    m_recording = false;
    return;
  }
  const int32_t rc = qnvnet_record_close(m_handle, m_saveId);
  m_recording = false;
  std::unique_ptr<CSegmentFiles> files = std::move(m_segment);
  {
    qnv::locks::CLockGuard lock(m_mutex);
    m_segmentPath.clear();
    m_segmentStem.clear();
  }
  m_clipAlarmUnixMs = 0;
  const SSegment segment = files->Segment();
  const std::string path = files->Path();
  if (files->RemoveIfEmpty()) {
    // Ended before its first key frame: nothing to keep.
    files.reset();
    if (why) {
      LOG_WARN("camera %s: %s", m_config.name.c_str(), why);
    } else {
      LOG_INFO("camera %s: closed a segment that had not begun (no key frame yet); removed it",
               m_config.name.c_str());
    }
    m_host.SegmentDiscarded(*this, segment);
    return;
  }
  files.reset();  // unlocked: complete
  if (rc == QNVNET_E_NO_SAVE) {
    LOG_ERROR("camera %s: segment %s had ended early (a write failed: disk full?)",
              m_config.name.c_str(), path.c_str());
    m_host.CheckDiskSoon();
  } else if (why) {
    LOG_WARN("camera %s: %s (closed %s)", m_config.name.c_str(), why, path.c_str());
  } else {
    LOG_INFO("camera %s: closed %s", m_config.name.c_str(), path.c_str());
  }
  m_host.SegmentClosed(*this, segment);
}

void CCamera::CheckStall() {
  const uint64_t size = m_segment ? m_segment->DataSize() : 0;
  const uint64_t frames = m_framesSeen;
  if (size != m_stallSize || size == 0 || frames == m_stallFrames) {
    m_stallSize = size;
    m_stallFrames = frames;
    m_stallSince = Clock::now();
  } else if (Clock::now() - m_stallSince > std::chrono::milliseconds(kStallMs)) {
    CloseSegment("segment stopped growing");
    return;
  }
  if (size >= kRollBytes && !m_rolloverPending) {
    m_segmentEnd = Clock::now();
    m_endOnClock = false;
  }
}

}  // namespace qnvrecorder
