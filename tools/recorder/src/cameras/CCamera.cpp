#include "cameras/CCamera.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "QNVNetSdk.h"
#include "base/Text.h"
#include "base/Time.h"
#include "qnvnet.h"
#include "streaming/CRtspFeed.h"

namespace qnvrecorder {
namespace {

constexpr int kFirstBackoffMs = 1000;
constexpr int kMaxBackoffMs = 30000;
constexpr auto kSteadyConnection = std::chrono::seconds(30);
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
    : config_(std::move(config)),
      storageConfig_(std::move(storageConfig)),
      storage_(storage),
      feed_(std::move(feed)),
      host_(host),
      sinceUnix_(UnixMs() / 1000),
      alarmLog_(kAlarmLinesPerWindow, kAlarmWindow),
      connectLog_(1, kConnectWindow),
      lossLog_(kLossLinesPerWindow, kLossWindow),
      storageLog_(1, kStorageWindow) {}

CCamera::~CCamera() { Stop(); }

void CCamera::Start() {
  if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
}

void CCamera::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void CCamera::SetDiskFull(bool full) {
  if (diskFull_.exchange(full) != full) Wake();
}

SCameraStatus CCamera::Status() const {
  SCameraStatus s;
  s.name = config_.name;
  s.lastFrameUnixMs = lastFrameUnixMs_;
  s.bytesToday = today_ == UnixMs() / 86400000 ? bytesToday_.load() : 0;
  std::lock_guard<std::mutex> lock(mutex_);
  s.state = state_;
  s.sinceUnix = sinceUnix_;
  s.fault = fault_;
  s.lastError = lastError_;
  s.segment = segmentPath_;
  s.reconnects = reconnects_;
  s.pictures = pictures_;
  s.keyPictures = keyPictures_;
  return s;
}

std::set<std::string> CCamera::OpenStems() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::set<std::string> open;
  if (!segmentStem_.empty()) open.insert(segmentStem_);
  if (!rolledOutStem_.empty()) open.insert(rolledOutStem_);
  return open;
}

void CCamera::OnFrame(const uint8_t* frame, int32_t length) {
  if (length < static_cast<int32_t>(QNVNET_FRAME_HEADER_SIZE)) return;
  const int64_t now = UnixMs();
  lastFrameUnixMs_ = now;
  ++framesSeen_;
  const QNVNetFrameNal nal = QNVNetFrameNal::OfFrame(frame, static_cast<uint64_t>(length));
  if (nal.startsPicture) ++pictures_;
  if (nal.keyPicture) ++keyPictures_;
  if (recording_) {
    const int64_t day = now / 86400000;
    if (today_.exchange(day) != day) bytesToday_ = 0;
    bytesToday_ += static_cast<uint64_t>(length);
  }
  // The library ends the old recording of a hand-over where a group of
  // pictures begins (at the latest at a frame it marks as a key frame, byte
  // 35), after this callback: the next frame wakes the camera's thread to ask
  // whether it has (FinishHandover). A hint only: a key frame that came
  // while the hand-over was being asked for may have gone to the old one.
  if (rolloverKeySeen_ && !rolloverDone_.exchange(true)) Wake();
  if (frame[QNVNET_FRAME_KIND_OFFSET] == QNVNET_FRAME_KIND_KEY && rolloverPending_)
    rolloverKeySeen_ = true;
  if (feed_) feed_->Push(frame, static_cast<size_t>(length), nal);
}

void CCamera::OnDisconnect(uint16_t port) {
  qnvnet_loss loss{};
  qnvnet_disconnect_reason(&loss);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // The first report says why: a stream stall may be followed by the
    // session's loss before the camera's thread reconnects.
    if (!lost_) {
      lost_ = true;
      lostPort_ = port;
      loss_ = loss;
    }
    kick_ = true;
  }
  wake_.notify_all();
}

SFault CCamera::LossFault() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!lost_) return {};
  return DisconnectFault(loss_, lostPort_, config_.port, config_.host);
}

void CCamera::OnDeviceMessage(const uint8_t* body, int32_t length) {
  qnvnet_alarm alarm{};
  if (!qnvnet_alarm_decode(body, length, &alarm)) return;
  const int64_t now = UnixMs();
  uint64_t held = 0;
  if (alarmLog_.Allow(held)) {
    LOG_INFO("camera %s: alarm (rule %u)%s", config_.name.c_str(), alarm.rule,
             HeldBackText(held).c_str());
  }
  // An event clip is named by the time its first alarm arrived.
  int64_t none = 0;
  clipAlarmUnixMs_.compare_exchange_strong(none, now);
  lastAlarmMonoMs_ = MonoMs();
  host_.Alarm(*this, alarm, now);
  Wake();
}

bool CCamera::RecordFor(double seconds) {
  if (config_.mode != CameraMode::kEvents || storage_ == nullptr) return false;
  const int64_t until = MonoMs() + static_cast<int64_t>(seconds * 1000);
  int64_t was = clipUntilMonoMs_;
  while (was < until && !clipUntilMonoMs_.compare_exchange_weak(was, until)) {
  }
  int64_t none = 0;
  clipAlarmUnixMs_.compare_exchange_strong(none, UnixMs());
  Wake();
  return true;
}

void CCamera::Wake() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    kick_ = true;
  }
  wake_.notify_all();
}

bool CCamera::WaitMs(int ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
  return !stopping_;
}

void CCamera::SetState(const char* state, const SFault& fault) {
  bool changed = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != state) sinceUnix_ = UnixMs() / 1000;
    changed = state_ != state || fault_.kind != fault.kind || fault_.text != fault.text;
    state_ = state;
    fault_ = fault;
    if (fault.kind != EFault::kNone) lastError_ = fault.text;
  }
  if (changed) host_.StateChanged(*this, Status());
}

void CCamera::FlushHeldLines() {
  if (const uint64_t held = alarmLog_.Flush()) {
    LOG_INFO("camera %s: %llu more alarm line(s) held back in the last %lld s",
             config_.name.c_str(), static_cast<unsigned long long>(held),
             static_cast<long long>(kAlarmWindow.count()));
  }
}

void CCamera::LogConnectFailure(const SFault& fault, int retryMs) {
  std::string fix;
  if (fault.kind == EFault::kBadCredentials) {
    if (!config_.passwordFile.empty()) {
      fix = "; fix the password in password_file " + config_.passwordFile +
            " (its first line) or the user " + Quote(config_.user) +
            ", then reload (SIGHUP) to try again at once";
    } else if (!config_.passwordEnv.empty()) {
      fix = "; fix the password in the environment variable " + config_.passwordEnv +
            " (password_env, set in the service's environment file) or the user " +
            Quote(config_.user) + ", then restart the service";
    } else {
      fix = "; the camera has no password: give it password_env or password_file";
    }
  }
  uint64_t held = 0;
  if (fault.text != lastLoggedFault_) {
    // A new cause is always told; the same cause again only now and then.
    held = connectLog_.Flush(CLogThrottle::Clock::now() + kConnectWindow);
    connectLog_.Allow(held);
  } else if (!connectLog_.Allow(held)) {
    return;
  }
  lastLoggedFault_ = fault.text;
  LOG_WARN("camera %s: cannot connect: %s%s; next try in %d s%s", config_.name.c_str(),
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
      SetState("down", fault);
      LogConnectFailure(fault, retryMs);
      if (!WaitMs(retryMs)) break;
      backoffMs = std::min(backoffMs * 2, kMaxBackoffMs);
      continue;
    }
    if (everConnected) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++reconnects_;
    }
    everConnected = true;
    const Clock::time_point connectedAt = Clock::now();
    lastLoggedFault_.clear();
    Serve();
    // A connection that held a while starts the back-off afresh; one dropped
    // at once (a device that takes the login and closes) lets it grow.
    if (Clock::now() - connectedAt >= kSteadyConnection) backoffMs = kFirstBackoffMs;
    // Serve returns when the camera stops or the library reported a loss.
    const SFault why = LossFault();
    Disconnect();
    if (!WaitMs(0)) break;
    uint64_t held = 0;
    if (lossLog_.Allow(held)) {
      LOG_WARN("camera %s: %s; reconnecting%s", config_.name.c_str(), why.text.c_str(),
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
    std::lock_guard<std::mutex> lock(mutex_);
    lost_ = false;
  }
  uint32_t clientId = 0;
  int32_t rc = qnvnet_login(&clientId, config_.host.c_str(), config_.port, config_.user.c_str(),
                            config_.password.c_str());
  if (rc != QNVNET_SUCCESS) {
    fault = LoginFault(rc, config_.host, config_.port);
    return false;
  }
  clientId_ = clientId;
  loggedIn_ = true;
  host_.Route(clientId_, this);
  uint32_t handle = 0;
  rc = qnvnet_live_open(&handle, clientId_, nullptr);
  if (rc != QNVNET_SUCCESS) {
    fault = ChannelFault(rc);
    Disconnect();
    return false;
  }
  handle_ = handle;
  channelOpen_ = true;
  // The library tells of a stream that stops (a camera that hangs while its
  // session still answers, a lost encoder) after this long without a frame,
  // counted from now, so a channel that never delivers is told as well.
  const uint32_t stallMs = static_cast<uint32_t>(config_.stallSeconds * 1000);
  rc = qnvnet_live_set_stall_timeout(handle_, stallMs);
  if (rc != QNVNET_SUCCESS) {
    fault = {EFault::kChannel, "stall time-out not set (" + Code(rc) + ")"};
    Disconnect();
    return false;
  }
  // Event clips begin pre_seconds before their alarm; a snapshot decodes
  // from a held key frame at once when a group of pictures or more is held.
  const double holdSeconds = std::max(config_.mode == CameraMode::kEvents ? config_.preSeconds : 0,
                                      config_.snapshots ? config_.snapshotHoldSeconds : 0);
  if (holdSeconds > 0) {
    rc = qnvnet_live_set_prerecord(handle_, static_cast<uint32_t>(holdSeconds * 1000), 0);
    if (rc != QNVNET_SUCCESS) {
      LOG_WARN("camera %s: pre-record not set (%s)", config_.name.c_str(), Code(rc).c_str());
    }
  }
  liveHandle_ = handle_;
  liveClient_ = clientId_;
  fault = LossFault();
  if (fault.kind != EFault::kNone) {
    Disconnect();
    return false;
  }
  LOG_INFO("camera %s: connected to %s:%u", config_.name.c_str(), config_.host.c_str(),
           config_.port);
  SetState("connected");
  nextSaveTry_ = Clock::now();
  return true;
}

void CCamera::Disconnect() {
  if (recording_ || rolledOut_) CloseSegment(nullptr);
  rolloverPending_ = false;
  if (feed_) feed_->SetDown();
  if (loggedIn_) host_.Route(clientId_, nullptr);
  liveHandle_ = 0;
  liveClient_ = 0;
  if (channelOpen_) qnvnet_live_close(handle_);
  if (loggedIn_) qnvnet_logout(clientId_);
  channelOpen_ = loggedIn_ = false;
}

void CCamera::Serve() {
  if (feed_) feed_->SetUp();
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      auto until = Clock::now() + std::chrono::milliseconds(kTickMs);
      if (recording_ && !rolloverPending_ && segmentEnd_ < until) until = segmentEnd_;
      wake_.wait_until(lock, until, [this] { return stopping_ || lost_ || kick_; });
      kick_ = false;
      if (stopping_ || lost_) return;
    }
    FlushHeldLines();
    if (rolledOut_) FinishHandover();
    // Continuous: always; events: from an alarm until post_seconds after the last one.
    const int64_t alarm = lastAlarmMonoMs_;
    const bool inClip =
        config_.mode == CameraMode::kEvents &&
        ((alarm != 0 && MonoMs() < alarm + static_cast<int64_t>(config_.postSeconds * 1000)) ||
         MonoMs() < clipUntilMonoMs_);
    const bool want =
        storage_ != nullptr && (config_.mode == CameraMode::kContinuous || inClip) && !diskFull_;
    if (want && !recording_ && Clock::now() >= nextSaveTry_) {
      const int64_t clip = clipAlarmUnixMs_.exchange(0);
      if (!OpenSegment(config_.mode == CameraMode::kEvents && clip != 0 ? clip : UnixMs())) {
        nextSaveTry_ = Clock::now() + std::chrono::milliseconds(kSaveRetryMs);
      }
    } else if (!want && recording_) {
      CloseSegment(diskFull_ ? "disk full: recording stopped until space is back" : nullptr);
    } else if (recording_) {
      CheckStall();
      if (recording_ && Clock::now() >= segmentEnd_ && !rolloverPending_) {
        const int64_t early = segmentEndUnixMs_ - UnixMs();
        if (endOnClock_ && early > 0) {
          // The steady clock ran ahead of the wall clock: a segment starts
          // on its boundary, never before it.
          segmentEnd_ = Clock::now() + std::chrono::milliseconds(early);
        } else {
          RollOver();
        }
      }
    }
    SetState(storage_ == nullptr ? "connected"
             : diskFull_         ? "disk full"
             : recording_        ? "recording"
                                 : "connected");
  }
}

void CCamera::ScheduleEnd(int64_t fromUnixMs, bool onClock) {
  // The next boundary, at least half a segment away, so none is tiny.
  const int64_t length = int64_t(storageConfig_.segmentSeconds) * 1000;
  int64_t end = NextBoundaryMs(fromUnixMs, storageConfig_.segmentSeconds);
  if (!onClock && end - fromUnixMs < length / 2) end += length;
  segmentEndUnixMs_ = end;
  endOnClock_ = true;
  segmentEnd_ = Clock::now() + std::chrono::milliseconds(std::max<int64_t>(end - UnixMs(), 0));
}

bool CCamera::OpenSegment(int64_t nameUnixMs) {
  std::string error;
  std::unique_ptr<CSegmentFiles> files =
      storage_->CreateSegment(config_.name, static_cast<time_t>(nameUnixMs / 1000), error);
  uint64_t held = 0;
  if (!files) {
    if (storageLog_.Allow(held)) {
      LOG_ERROR("camera %s: segment not opened: %s; retrying every %d s%s", config_.name.c_str(),
                error.c_str(), kSaveRetryMs / 1000, HeldBackText(held).c_str());
    }
    return false;
  }
  uint32_t id = 0;
  const int32_t rc = qnvnet_record_open(handle_, files->LibraryPath().c_str(), &id);
  if (rc != QNVNET_SUCCESS) {
    if (storageLog_.Allow(held)) {
      LOG_ERROR("camera %s: segment %s not opened (%s); retrying every %d s%s",
                config_.name.c_str(), files->Path().c_str(), Code(rc).c_str(), kSaveRetryMs / 1000,
                HeldBackText(held).c_str());
    }
    files->RemoveIfEmpty();
    return false;
  }
  if (!files->StillOurs()) {
    // Something was put in place of the files between their making and the
    // library's opening: whatever it is, it is not written.
    qnvnet_record_close(handle_, id);
    LOG_ERROR("camera %s: %s was replaced while it was being opened; not recording into it",
              config_.name.c_str(), files->Path().c_str());
    return false;
  }
  saveId_ = id;
  recording_ = true;
  ScheduleEnd(UnixMs(), false);
  stallSize_ = 0;
  stallSince_ = Clock::now();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    segmentPath_ = files->Path();
    segmentStem_ = files->StemPath();
  }
  segment_ = std::move(files);
  LOG_INFO("camera %s: recording %s", config_.name.c_str(), segment_->Path().c_str());
  host_.SegmentOpened(*this, segment_->Segment(), false);
  return true;
}

void CCamera::RollOver() {
  // On the clock: named by the boundary the new segment begins at (its first
  // frame, at the next key frame, comes at or after it).
  const int64_t nameUnixMs = endOnClock_ ? segmentEndUnixMs_ : UnixMs();
  std::string error;
  std::unique_ptr<CSegmentFiles> files =
      storage_->CreateSegment(config_.name, static_cast<time_t>(nameUnixMs / 1000), error);
  if (!files) {
    uint64_t held = 0;
    if (storageLog_.Allow(held)) {
      LOG_ERROR("camera %s: next segment not made (%s); the current one goes on%s",
                config_.name.c_str(), error.c_str(), HeldBackText(held).c_str());
    }
    segmentEnd_ = Clock::now() + std::chrono::milliseconds(kSaveRetryMs);
    endOnClock_ = false;
    return;
  }
  uint32_t newId = 0;
  rolloverKeySeen_ = false;
  rolloverDone_ = false;
  rolloverPending_ = true;
  const int32_t rc = qnvnet_record_rollover(handle_, saveId_, files->LibraryPath().c_str(), &newId);
  if (rc != QNVNET_SUCCESS) {
    rolloverPending_ = false;
    files->RemoveIfEmpty();
    if (rc == QNVNET_E_NO_SAVE) {
      LOG_ERROR("camera %s: segment %s ended early (a write failed: disk full?)",
                config_.name.c_str(), segment_->Path().c_str());
      CloseSegment(nullptr);
      host_.CheckDiskSoon();
    } else {
      LOG_ERROR("camera %s: segment %s not started (%s); the current one goes on",
                config_.name.c_str(), files->Path().c_str(), Code(rc).c_str());
      segmentEnd_ = Clock::now() + std::chrono::milliseconds(kSaveRetryMs);
      endOnClock_ = false;
    }
    return;
  }
  if (!files->StillOurs()) {
    qnvnet_record_close(handle_, newId);  // cancels the hand-over; the current one goes on
    rolloverPending_ = false;
    LOG_ERROR("camera %s: %s was replaced while it was being opened; the current segment goes on",
              config_.name.c_str(), files->Path().c_str());
    segmentEnd_ = Clock::now() + std::chrono::milliseconds(kSaveRetryMs);
    endOnClock_ = false;
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    rolledOutPath_ = segmentPath_;
    rolledOutStem_ = segmentStem_;
    segmentPath_ = files->Path();
    segmentStem_ = files->StemPath();
  }
  rolledOut_ = std::move(segment_);
  rolledOutId_ = saveId_;
  segment_ = std::move(files);
  saveId_ = newId;
  ScheduleEnd(endOnClock_ ? nameUnixMs : UnixMs(), endOnClock_);
  stallSize_ = 0;
  stallSince_ = Clock::now();
  LOG_INFO("camera %s: recording %s (from the next key frame)", config_.name.c_str(),
           segment_->Path().c_str());
  host_.SegmentOpened(*this, segment_->Segment(), true);
}

void CCamera::FinishHandover() {
  rolloverKeySeen_ = rolloverDone_ = false;
  // Closing the old recording now would end it before its group of pictures
  // if the library has not handed it over yet, and the new one would begin
  // only at the next group: the frames between would be in neither. Asking
  // to hand it over again changes nothing and says where it stands: -74
  // while it still hands over, -73 once the library ended it, complete and
  // closed. (The id is checked before any file is opened; the path is the
  // new segment's, which the library never opens twice.)
  uint32_t unused = 0;
  const int32_t rc =
      qnvnet_record_rollover(handle_, rolledOutId_, segment_->LibraryPath().c_str(), &unused);
  if (rc == QNVNET_E_ROLLOVER_PENDING) return;                     // its group has not begun yet
  if (rc == QNVNET_SUCCESS) qnvnet_record_close(handle_, unused);  // not expected: undone
  rolloverPending_ = false;
  const SSegment closed = rolledOut_->Segment();
  rolledOut_.reset();  // its lock goes: it is complete
  {
    std::lock_guard<std::mutex> lock(mutex_);
    rolledOutPath_.clear();
    rolledOutStem_.clear();
  }
  host_.SegmentClosed(*this, closed);
}

void CCamera::CloseSegment(const char* why) {
  if (rolledOut_) {
    // A hand-over still waiting for its key frame: the segment handing over
    // ends now too (-73 when the key frame came meanwhile and ended it).
    qnvnet_record_close(handle_, rolledOutId_);
    rolloverPending_ = rolloverKeySeen_ = rolloverDone_ = false;
    const SSegment old = rolledOut_->Segment();
    rolledOut_.reset();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      rolledOutPath_.clear();
      rolledOutStem_.clear();
    }
    LOG_INFO("camera %s: closed %s%s", config_.name.c_str(), old.stemPath.c_str(),
             kSegmentExtension);
    host_.SegmentClosed(*this, old);
  }
  if (!segment_) {
    recording_ = false;
    return;
  }
  const int32_t rc = qnvnet_record_close(handle_, saveId_);
  recording_ = false;
  std::unique_ptr<CSegmentFiles> files = std::move(segment_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    segmentPath_.clear();
    segmentStem_.clear();
  }
  clipAlarmUnixMs_ = 0;
  const SSegment segment = files->Segment();
  const std::string path = files->Path();
  if (files->RemoveIfEmpty()) {
    // Ended before its first key frame: nothing to keep.
    files.reset();
    if (why) {
      LOG_WARN("camera %s: %s", config_.name.c_str(), why);
    } else {
      LOG_INFO("camera %s: closed a segment that had not begun (no key frame yet); removed it",
               config_.name.c_str());
    }
    host_.SegmentDiscarded(*this, segment);
    return;
  }
  files.reset();  // unlocked: complete
  if (rc == QNVNET_E_NO_SAVE) {
    LOG_ERROR("camera %s: segment %s had ended early (a write failed: disk full?)",
              config_.name.c_str(), path.c_str());
    host_.CheckDiskSoon();
  } else if (why) {
    LOG_WARN("camera %s: %s (closed %s)", config_.name.c_str(), why, path.c_str());
  } else {
    LOG_INFO("camera %s: closed %s", config_.name.c_str(), path.c_str());
  }
  host_.SegmentClosed(*this, segment);
}

void CCamera::CheckStall() {
  const uint64_t size = segment_ ? segment_->DataSize() : 0;
  const uint64_t frames = framesSeen_;
  if (size != stallSize_ || size == 0 || frames == stallFrames_) {
    stallSize_ = size;
    stallFrames_ = frames;
    stallSince_ = Clock::now();
  } else if (Clock::now() - stallSince_ > std::chrono::milliseconds(kStallMs)) {
    CloseSegment("segment stopped growing");
    return;
  }
  if (size >= kRollBytes && !rolloverPending_) {
    segmentEnd_ = Clock::now();
    endOnClock_ = false;
  }
}

}  // namespace qnvrecorder
