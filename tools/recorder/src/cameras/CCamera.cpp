#include "cameras/CCamera.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "QNVNetAlarm.h"
#include "QNVNetSdk.h"
#include "base/Log.h"
#include "storage/Storage.h"
#include "streaming/CRtspFeed.h"

namespace qnvrecorder {
namespace {

constexpr int kFirstBackoffMs = 1000;
constexpr int kMaxBackoffMs = 30000;
// Housekeeping pace of a camera's thread; events (a loss, a stop, a disk
// state, an alarm) wake it at once and a segment's end is waited for exactly.
constexpr int kTickMs = 1000;
// A channel that delivers nothing this long is treated as lost.
constexpr int64_t kSilenceMs = 10000;
// A segment whose data file stops growing this long while frames arrive has
// ended on its own (a failed write, or the library's 1 GiB limit).
constexpr int64_t kStallMs = 5000;
// Segments roll over before the library's 1 GiB limit ends them.
constexpr uint64_t kRollBytes = 960ull << 20;
constexpr int kSaveRetryMs = 5000;
// A rolled-out segment ends at the next key frame; its MP4 copy waits a little
// longer so the library has surely closed it.
constexpr int kClosedDelayMs = 1000;

int64_t UnixMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}
int64_t MonoMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
std::string Stem(const std::string& dataPath) {
  const size_t dot = dataPath.rfind('.');
  return dot == std::string::npos ? dataPath : dataPath.substr(0, dot);
}
std::string Code(uint32_t code) {
  return std::to_string(static_cast<int32_t>(code)) + " " + QnvResultText(code);
}

}  // namespace

CCamera::CCamera(SCameraConfig config, SStorageConfig storage, std::shared_ptr<CRtspFeed> feed,
                 ICameraHost& host)
    : config_(std::move(config)),
      storage_(std::move(storage)),
      feed_(std::move(feed)),
      host_(host) {}

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
  s.segment = segmentPath_;
  s.reconnects = reconnects_;
  return s;
}

std::set<std::string> CCamera::OpenStems() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::set<std::string> open;
  if (!segmentPath_.empty()) open.insert(Stem(segmentPath_));
  if (!rolledOutPath_.empty()) open.insert(Stem(rolledOutPath_));
  return open;
}

void CCamera::OnFrame(const uint8_t* frame, int32_t length) {
  if (length < static_cast<int32_t>(QNVNetFrameHeader::kSize)) return;
  const int64_t now = UnixMs();
  lastFrameUnixMs_ = now;
  lastFrameMonoMs_ = MonoMs();
  ++framesSeen_;
  if (recording_) {
    const int64_t day = now / 86400000;
    if (today_.exchange(day) != day) bytesToday_ = 0;
    bytesToday_ += static_cast<uint64_t>(length);
  }
  if (frame[QNVNetFrameHeader::kKindOffset] == QNVNetFrameHeader::kKindKey && rolloverPending_)
    rolloverKeySeen_ = true;
  if (feed_) feed_->Push(frame, static_cast<size_t>(length));
}

void CCamera::OnDisconnect(uint16_t port) {
  if (!lost_.exchange(true)) {
    LOG_WARN("camera %s: connection to %s:%u lost (%s)", config_.name.c_str(), config_.host.c_str(),
             port, port == config_.port ? "commands" : "stream");
  }
  Wake();
}

void CCamera::OnDeviceMessage(const uint8_t* body, int32_t length) {
  qnvnet_alarm alarm{};
  if (!qnvnet_alarm_decode(body, length, &alarm)) return;
  LOG_INFO("camera %s: alarm (rule %u)", config_.name.c_str(), alarm.rule);
  lastAlarmMonoMs_ = MonoMs();
  Wake();
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

void CCamera::SetState(const char* state) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_ = state;
}

void CCamera::Run() {
  int backoffMs = kFirstBackoffMs;
  bool everConnected = false;
  while (WaitMs(0)) {
    std::string why;
    if (!Connect(why)) {
      LOG_WARN("camera %s: cannot connect to %s:%u: %s; next try in %d s", config_.name.c_str(),
               config_.host.c_str(), config_.port, why.c_str(), backoffMs / 1000);
      SetState("down");
      if (!WaitMs(backoffMs)) break;
      backoffMs = std::min(backoffMs * 2, kMaxBackoffMs);
      continue;
    }
    if (everConnected) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++reconnects_;
    }
    everConnected = true;
    backoffMs = kFirstBackoffMs;
    Serve();
    Disconnect();
    if (!WaitMs(0)) break;
    SetState("down");
    if (!WaitMs(backoffMs)) break;
    backoffMs = std::min(backoffMs * 2, kMaxBackoffMs);
  }
  Disconnect();
  SetState("stopped");
}

bool CCamera::Connect(std::string& why) {
  lost_ = false;
  uint32_t clientId = 0;
  uint32_t rc = QNVNet_DevLogin(&clientId, config_.host.c_str(), config_.port, config_.user.c_str(),
                                config_.password.c_str());
  if (rc != QNVNET_OK) {
    why = "login failed (" + Code(rc) + ")";
    return false;
  }
  clientId_ = clientId;
  loggedIn_ = true;
  host_.Route(clientId_, this);
  lastFrameMonoMs_ = MonoMs();
  uint32_t handle = 0;
  rc = QNVNet_LiveOpen(&handle, clientId_, nullptr);
  if (rc != QNVNET_OK) {
    why = "live channel not opened (" + Code(rc) + ")";
    Disconnect();
    return false;
  }
  handle_ = handle;
  channelOpen_ = true;
  if (config_.mode == CameraMode::kEvents) {
    // Event clips begin this long before their alarm.
    rc = QNVNet_LiveSetPreRecord(handle_, static_cast<uint32_t>(config_.preSeconds * 1000), 0);
    if (rc != QNVNET_OK) {
      LOG_WARN("camera %s: pre-record not set (%s)", config_.name.c_str(), Code(rc).c_str());
    }
  }
  if (lost_) {
    why = "connection lost while opening the channel";
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
  if (recording_) CloseSegment(nullptr);
  rolloverPending_ = false;
  if (feed_) feed_->SetDown();
  if (loggedIn_) host_.Route(clientId_, nullptr);
  if (channelOpen_) QNVNet_LiveClose(handle_);
  if (loggedIn_) QNVNet_DevLogout(clientId_);
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
      if (stopping_) return;
    }
    if (lost_) return;
    if (MonoMs() - lastFrameMonoMs_ > kSilenceMs) {
      LOG_WARN("camera %s: no frames for %lld s; reconnecting", config_.name.c_str(),
               static_cast<long long>(kSilenceMs / 1000));
      return;
    }
    if (rolloverKeySeen_) {
      rolloverPending_ = rolloverKeySeen_ = false;
      std::string closed;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        closed.swap(rolledOutPath_);
      }
      host_.SegmentClosed(closed, kClosedDelayMs);
    }
    // Continuous: always; events: from an alarm until post_seconds after the last one.
    const int64_t alarm = lastAlarmMonoMs_;
    const bool inClip = config_.mode == CameraMode::kEvents && alarm != 0 &&
                        MonoMs() < alarm + static_cast<int64_t>(config_.postSeconds * 1000);
    const bool want =
        storage_.enabled && (config_.mode == CameraMode::kContinuous || inClip) && !diskFull_;
    if (want && !recording_ && Clock::now() >= nextSaveTry_) {
      if (!OpenSegment()) nextSaveTry_ = Clock::now() + std::chrono::milliseconds(kSaveRetryMs);
    } else if (!want && recording_) {
      CloseSegment(diskFull_ ? "disk full: recording stopped until space is back" : nullptr);
    } else if (recording_) {
      CheckStall();
      if (recording_ && Clock::now() >= segmentEnd_ && !rolloverPending_) RollOver();
    }
    const bool records = storage_.enabled;
    SetState(!records     ? "connected"
             : diskFull_  ? "disk full"
             : recording_ ? "recording"
                          : "connected");
  }
}

namespace {
// The next multiple of the segment length after now, at least half a segment
// away: segments start on the clock (10:00, 10:10, ...) and none is tiny.
std::chrono::steady_clock::time_point SegmentEnd(int segmentSeconds) {
  const int64_t now = UnixMs();
  const int64_t length = int64_t(segmentSeconds) * 1000;
  int64_t end = (now / length + 1) * length;
  if (end - now < length / 2) end += length;
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(end - now);
}
}  // namespace

bool CCamera::OpenSegment() {
  const std::string path = NewSegmentPath(storage_.root, config_.name, time(nullptr));
  uint32_t id = 0;
  const uint32_t rc = QNVNet_LiveSaveOpen(handle_, path.c_str(), id);
  if (rc != QNVNET_OK) {
    LOG_ERROR("camera %s: segment %s not opened (%s); retrying in %d s", config_.name.c_str(),
              path.c_str(), Code(rc).c_str(), kSaveRetryMs / 1000);
    return false;
  }
  saveId_ = id;
  recording_ = true;
  segmentEnd_ = SegmentEnd(storage_.segmentSeconds);
  stallSize_ = 0;
  stallSince_ = Clock::now();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    segmentPath_ = path;
  }
  LOG_INFO("camera %s: recording %s", config_.name.c_str(), path.c_str());
  return true;
}

void CCamera::RollOver() {
  const std::string path = NewSegmentPath(storage_.root, config_.name, time(nullptr));
  uint32_t newId = 0;
  rolloverKeySeen_ = false;
  rolloverPending_ = true;
  const uint32_t rc = QNVNet_LiveSaveRollover(handle_, saveId_, path.c_str(), &newId);
  if (rc != QNVNET_OK) {
    rolloverPending_ = false;
    if (static_cast<int32_t>(rc) == static_cast<int32_t>(QNVNET_ERR_NO_SAVE)) {
      LOG_ERROR("camera %s: segment %s ended early (a write failed: disk full?)",
                config_.name.c_str(), segmentPath_.c_str());
      recording_ = false;
      host_.SegmentClosed(segmentPath_, 0);
      std::lock_guard<std::mutex> lock(mutex_);
      segmentPath_.clear();
      host_.CheckDiskSoon();
    } else {
      LOG_ERROR("camera %s: segment %s not started (%s); the current one goes on",
                config_.name.c_str(), path.c_str(), Code(rc).c_str());
      segmentEnd_ = Clock::now() + std::chrono::milliseconds(kSaveRetryMs);
    }
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    rolledOutPath_ = segmentPath_;
    segmentPath_ = path;
  }
  rolledOutId_ = saveId_;
  saveId_ = newId;
  segmentEnd_ = SegmentEnd(storage_.segmentSeconds);
  stallSize_ = 0;
  stallSince_ = Clock::now();
  LOG_INFO("camera %s: recording %s (from the next key frame)", config_.name.c_str(), path.c_str());
}

void CCamera::CloseSegment(const char* why) {
  if (!rolledOutPath_.empty()) {
    // A hand-over still waiting for its key frame: the segment handing over
    // ends now too (-73 when the key frame came meanwhile and ended it).
    QNVNet_LiveSaveClose(handle_, rolledOutId_);
    rolloverPending_ = rolloverKeySeen_ = false;
    std::string old;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      old.swap(rolledOutPath_);
    }
    LOG_INFO("camera %s: closed %s", config_.name.c_str(), old.c_str());
    host_.SegmentClosed(old, 0);
  }
  const uint32_t rc = QNVNet_LiveSaveClose(handle_, saveId_);
  recording_ = false;
  std::string path;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    path.swap(segmentPath_);
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && st.st_size == 0) {
    // Ended before its first key frame: nothing to keep.
    std::remove(path.c_str());
    std::remove((Stem(path) + kIndexExtension).c_str());
    path.clear();
  }
  if (path.empty()) {
    if (why) {
      LOG_WARN("camera %s: %s", config_.name.c_str(), why);
    } else {
      LOG_INFO("camera %s: closed a segment that had not begun (no key frame yet); removed it",
               config_.name.c_str());
    }
    return;
  }
  if (static_cast<int32_t>(rc) == static_cast<int32_t>(QNVNET_ERR_NO_SAVE)) {
    LOG_ERROR("camera %s: segment %s had ended early (a write failed: disk full?)",
              config_.name.c_str(), path.c_str());
    host_.CheckDiskSoon();
  } else if (why) {
    LOG_WARN("camera %s: %s (closed %s)", config_.name.c_str(), why, path.c_str());
  } else {
    LOG_INFO("camera %s: closed %s", config_.name.c_str(), path.c_str());
  }
  host_.SegmentClosed(path, 0);
}

void CCamera::CheckStall() {
  struct stat st {};
  const std::string path = [this] {
    std::lock_guard<std::mutex> lock(mutex_);
    return segmentPath_;
  }();
  if (::stat(path.c_str(), &st) != 0) return;
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  const uint64_t frames = framesSeen_;
  if (size != stallSize_ || size == 0 || frames == stallFrames_) {
    stallSize_ = size;
    stallFrames_ = frames;
    stallSince_ = Clock::now();
  } else if (Clock::now() - stallSince_ > std::chrono::milliseconds(kStallMs)) {
    CloseSegment("segment stopped growing");
    return;
  }
  if (size >= kRollBytes && !rolloverPending_) segmentEnd_ = Clock::now();
}

}  // namespace qnvrecorder
