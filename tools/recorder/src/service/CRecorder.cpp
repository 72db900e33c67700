#include "service/CRecorder.h"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <set>
#include <utility>

#include "base/Log.h"
#include "integrations/StatusFile.h"
#include "integrations/catalogue/CRecorderCatalogue.h"
#include "integrations/mqtt/CMqttBridge.h"
#include "qnvnet.h"
#include "storage/DiskSpace.h"
#include "storage/Mp4Copy.h"
#include "storage/Retention.h"
#include "storage/SegmentRepair.h"
#include "streaming/CRtspFeed.h"
#include "streaming/CRtspGate.h"
#include "streaming/CRtspServer.h"
#include "web/CWebServer.h"

extern "C" {
#include <libavutil/log.h>
}

namespace qnvrecorder {
namespace {

// The free space is looked at every tick: a camera writes a few hundred
// kilobytes between two.
constexpr int kHousekeepingTickMs = 250;
constexpr int kRetentionEveryTicks = 40;  // 10 s
constexpr int kStatusEveryTicks = 8;      // 2 s
// Memory freed by RTSP clients' pipelines (many short-lived threads, each
// with its allocations) goes back to the system now and then, so the
// resident size of a long run reflects what is in use.
constexpr int kTrimEveryTicks = 240;  // 60 s
// A crash leaves at most a camera's segment being written and the one handing
// over to it unclosed: the newest few of each camera are looked at at start.
constexpr size_t kRepairNewest = 3;

uint64_t MiB(double mb) { return static_cast<uint64_t>(mb * 1048576.0); }
double InMiB(uint64_t bytes) { return double(bytes) / 1048576.0; }

// When a segment began, from its date folder and stem (UTC); 0 if unreadable.
int64_t SegmentStartUnix(const SSegment& s) {
  struct tm t {};
  if (std::sscanf(s.date.c_str(), "%4d-%2d-%2d", &t.tm_year, &t.tm_mon, &t.tm_mday) != 3 ||
      std::sscanf(s.stem.c_str(), "%2d%2d%2d", &t.tm_hour, &t.tm_min, &t.tm_sec) != 3) {
    return 0;
  }
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  return static_cast<int64_t>(timegm(&t));
}

// The library's callbacks reach the recorder through their user pointer.
void OnStreamFrame(void* user, uint32_t clientId, const char*, uint16_t, const uint8_t* frame,
                   int32_t length) {
  static_cast<CRecorder*>(user)->DispatchFrame(clientId, frame, length);
}

void OnDeviceMessage(void* user, uint32_t clientId, const char*, uint16_t, uint16_t,
                     const uint8_t* body, int32_t length) {
  static_cast<CRecorder*>(user)->DispatchMessage(clientId, body, length);
}

void OnDisconnected(void* user, uint32_t clientId, const char*, uint16_t port) {
  static_cast<CRecorder*>(user)->DispatchDisconnect(clientId, port);
}

}  // namespace

CRecorder::CRecorder() = default;

CRecorder::~CRecorder() { Stop(); }

void CRecorder::AddIntegration(IRecorderEvents* integration) {
  integrations_.push_back(integration);
}

bool CRecorder::OpenStorage(std::string& error) {
  storage_.reset();
  if (!config_.storage.enabled) return true;
  auto storage = std::make_unique<CStorageRoot>();
  if (!storage->Open(config_.storage.root, config_.storage.instance, error)) return false;
  storage_ = std::move(storage);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    repairDue_ = true;
    diskSummary_ = {};
    diskSummary_.storage = true;
    diskSummary_.root = config_.storage.root;
    diskSummary_.instance = config_.storage.instance;
  }
  return true;
}

bool CRecorder::StartCatalogue(std::string& error) {
  if (!config_.catalogue.enabled || !storage_) return true;
  auto catalogue =
      std::make_unique<CRecorderCatalogue>(config_.storage, config_.catalogue, *storage_);
  if (!catalogue->Start(error)) return false;
  catalogue_ = std::move(catalogue);
  integrations_.insert(integrations_.begin(), catalogue_.get());
  // The repair pass at start tells it when to heal its open rows.
  std::lock_guard<std::mutex> lock(mutex_);
  repairDue_ = true;
  return true;
}

void CRecorder::StopCatalogue() {
  if (!catalogue_) return;
  integrations_.erase(std::remove(integrations_.begin(), integrations_.end(),
                                  static_cast<IRecorderEvents*>(catalogue_.get())),
                      integrations_.end());
  catalogue_->Stop();
  catalogue_.reset();
}

bool CRecorder::Start(const SConfig& config, std::string& error) {
  config_ = config;
  if (!OpenStorage(error)) return false;
  // Recording comes first: without its own folders the catalogue is not kept.
  if (!StartCatalogue(error))
    LOG_ERROR("%s; no catalogue is kept, recording goes on", error.c_str());
  if (config_.rtsp.enabled && !StartRtsp(error)) return false;
  if (config_.web.enabled && !StartWeb(error)) return false;
  av_log_set_level(AV_LOG_ERROR);
  qnvnet_set_message_callback(&OnDeviceMessage, this);
  qnvnet_set_stream_callback(&OnStreamFrame, this);
  qnvnet_set_disconnect_callback(&OnDisconnected, this);
  const int32_t rc = qnvnet_init();
  if (rc != QNVNET_SUCCESS) {
    error = std::string("the SDK did not start: ") + qnvnet_strerror(rc);
    return false;
  }
  libraryStarted_ = true;
  mqtt_ = std::make_unique<CMqttBridge>(*this);
  integrations_.push_back(mqtt_.get());
  mqtt_->SetStorage(storage_.get());
  mqtt_->Configure(config_);
  for (const SCameraConfig& camera : config_.cameras) StartCamera(camera);
  housekeeping_ = std::thread([this] { Housekeeping(); });
  LOG_INFO("started: %zu camera(s)%s%s%s%s", config_.cameras.size(),
           config_.storage.enabled ? ", recording to " : "",
           config_.storage.enabled ? config_.storage.root.c_str() : "",
           config_.storage.enabled ? " as instance " : "",
           config_.storage.enabled ? config_.storage.instance.c_str() : "");
  return true;
}

bool CRecorder::StartRtsp(std::string& error) {
  rtsp_ = std::make_unique<CRtspServer>();
  if (!rtsp_->Start(error)) {
    rtsp_.reset();
    return false;
  }
  gate_ = std::make_unique<CRtspGate>(*rtsp_, config_.rtsp);
  if (!gate_->Start(error)) {
    StopRtsp();
    return false;
  }
  return true;
}

void CRecorder::StopRtsp() {
  gate_.reset();  // no connection reaches the server any more
  rtsp_.reset();
}

std::vector<std::string> CRecorder::CameraNames() const {
  std::vector<std::string> names;
  std::lock_guard<std::mutex> lock(camerasMutex_);
  for (const auto& [name, cam] : cameras_) names.push_back(name);
  return names;
}

bool CRecorder::StartWeb(std::string& error) {
  auto web = std::make_unique<CWebServer>(
      config_.web, *this, QNV_TOOLS_VERSION,
      CRecordings(config_.storage.enabled ? config_.storage.root : "", config_.storage.instance));
  if (!web->Start(error)) return false;
  // It follows the alarms like any integration; no camera runs meanwhile.
  integrations_.push_back(web.get());
  std::unique_lock<std::shared_mutex> lock(routeMutex_);
  web_ = std::move(web);
  return true;
}

void CRecorder::StopWeb() {
  std::unique_ptr<CWebServer> web;
  {
    std::unique_lock<std::shared_mutex> lock(routeMutex_);
    web = std::move(web_);
    liveRoutes_.clear();
  }
  if (!web) return;
  integrations_.erase(std::remove(integrations_.begin(), integrations_.end(),
                                  static_cast<IRecorderEvents*>(web.get())),
                      integrations_.end());
  web->Stop();
}

void CRecorder::StartCamera(const SCameraConfig& camera) {
  std::shared_ptr<CRtspFeed> feed = rtsp_ ? rtsp_->Mount(camera.name) : nullptr;
  CStorageRoot* storage = storage_.get();
  if (storage) {
    std::string error, note;
    if (!storage->ClaimCamera(camera.name, error, note)) {
      LOG_ERROR("camera %s: not recording: %s", camera.name.c_str(), error.c_str());
      storage = nullptr;  // it is still served over RTSP
    } else if (!note.empty()) {
      LOG_WARN("camera %s: %s", camera.name.c_str(), note.c_str());
    }
  }
  auto cam = std::make_unique<CCamera>(camera, config_.storage, storage, feed, *this);
  cam->SetDiskFull(diskFull_);
  cam->Start();
  std::lock_guard<std::mutex> lock(camerasMutex_);
  cameras_[camera.name] = std::move(cam);
}

void CRecorder::StopAllCameras() {
  // Each camera's stop waits for its thread; asking them all at once lets
  // them wind down side by side. The cameras stay listed until then, so the
  // last status written shows them stopped.
  std::vector<std::thread> stoppers;
  {
    std::lock_guard<std::mutex> lock(camerasMutex_);
    for (auto& [name, cam] : cameras_) stoppers.emplace_back([c = cam.get()] { c->Stop(); });
  }
  for (std::thread& t : stoppers) t.join();
  if (storage_) WriteStatus();
  std::lock_guard<std::mutex> lock(camerasMutex_);
  cameras_.clear();
}

bool CRecorder::Reload(const SConfig& config, std::string& error) {
  const bool rtspChanged = !(config.rtsp == config_.rtsp);
  const bool storageChanged = !(config.storage == config_.storage);
  const bool webChanged = !(config.web == config_.web);
  const bool catalogueChanged = !(config.catalogue == config_.catalogue);
  if (rtspChanged || storageChanged || catalogueChanged || webChanged) {
    LOG_INFO("reload: %s changed; restarting every camera", storageChanged     ? "[storage]"
                                                            : catalogueChanged ? "[catalogue]"
                                                            : rtspChanged      ? "[rtsp]"
                                                                               : "[web]");
    // The housekeeping thread works on the storage: it waits meanwhile.
    if (housekeeping_.joinable()) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
      }
      wake_.notify_all();
      housekeeping_.join();
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = false;
    }
    StopAllCameras();
    if (storageChanged || catalogueChanged) StopCatalogue();
    if (rtspChanged) {
      StopRtsp();
      config_.rtsp = config.rtsp;
      if (config_.rtsp.enabled && !StartRtsp(error)) {
        LOG_ERROR("reload: %s; re-streaming is off", error.c_str());
      }
    }
    if (webChanged) {
      StopWeb();
      config_.web = config.web;
      if (config_.web.enabled && !StartWeb(error)) {
        LOG_ERROR("reload: %s; the web page is off", error.c_str());
      }
    }
    config_ = config;
    if (storageChanged) {
      std::deque<SMp4Job> dropped;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        dropped.swap(mp4Jobs_);
      }
      for (const SMp4Job& job : dropped) MakeMp4(job.segment);
      mqtt_->SetStorage(nullptr);  // it lets go of the old root before it closes
      if (!OpenStorage(error)) {
        LOG_ERROR("reload: %s; nothing is recorded until the storage is usable", error.c_str());
      }
      mqtt_->SetStorage(storage_.get());
    }
    if ((storageChanged || catalogueChanged) && !StartCatalogue(error)) {
      LOG_ERROR("reload: %s; no catalogue is kept", error.c_str());
    }
    mqtt_->Configure(config_);
    for (const SCameraConfig& camera : config_.cameras) StartCamera(camera);
    housekeeping_ = std::thread([this] { Housekeeping(); });
    return true;
  }
  // The MQTT part learns the new list first: a camera added is known when
  // its first event comes, one removed is forgotten (its topics cleared).
  config_.mqtt = config.mqtt;
  mqtt_->Configure(config);
  std::map<std::string, const SCameraConfig*> wanted;
  for (const SCameraConfig& c : config.cameras) wanted[c.name] = &c;
  int stopped = 0, started = 0, restarted = 0;
  std::vector<std::unique_ptr<CCamera>> toStop;
  {
    std::lock_guard<std::mutex> lock(camerasMutex_);
    for (auto it = cameras_.begin(); it != cameras_.end();) {
      auto w = wanted.find(it->first);
      if (w == wanted.end() || !(*w->second == it->second->Config())) {
        (w == wanted.end() ? stopped : restarted)++;
        toStop.push_back(std::move(it->second));
        it = cameras_.erase(it);
      } else {
        wanted.erase(w);
        ++it;
      }
    }
  }
  for (auto& cam : toStop) {
    const std::string name = cam->Config().name;
    cam->Stop();
    if (rtsp_ && !wanted.count(name)) rtsp_->Unmount(name);
  }
  for (auto& [name, camera] : wanted) {
    StartCamera(*camera);
    ++started;
  }
  started -= restarted;
  config_.cameras = config.cameras;  // the housekeeping thread reads the rest
  if (web_) web_->KeepStreams(CameraNames());
  LOG_INFO("reload: %d camera(s) started, %d stopped, %d restarted", started, stopped, restarted);
  return true;
}

void CRecorder::Stop() {
  if (stopped_) return;
  stopped_ = true;
  if (housekeeping_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    housekeeping_.join();
  }
  StopAllCameras();
  // Segments closed on the way out still get their MP4 copies.
  std::deque<SMp4Job> jobs;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs.swap(mp4Jobs_);
  }
  for (const SMp4Job& job : jobs) MakeMp4(job.segment);
  StopWeb();  // its viewers go before the library they watch
  StopCatalogue();
  // What the cameras' stop said is published before "offline"; no capture
  // runs once it returns.
  if (mqtt_) mqtt_->Stop();
  if (libraryStarted_) {
    qnvnet_uninit();
    qnvnet_set_message_callback(nullptr, nullptr);
    qnvnet_set_stream_callback(nullptr, nullptr);
    qnvnet_set_disconnect_callback(nullptr, nullptr);
    libraryStarted_ = false;
  }
  StopRtsp();
  StopWeb();
  storage_.reset();
}

void CRecorder::Route(uint32_t clientId, CCamera* camera) {
  std::unique_lock<std::shared_mutex> lock(routeMutex_);
  if (camera) {
    routes_[clientId] = camera;
    if (web_) liveRoutes_[clientId] = web_->Stream(camera->Name());
  } else {
    routes_.erase(clientId);
    liveRoutes_.erase(clientId);
  }
}

void CRecorder::DispatchFrame(uint32_t clientId, const uint8_t* frame, int32_t length) {
  std::shared_lock<std::shared_mutex> lock(routeMutex_);
  auto it = routes_.find(clientId);
  if (it != routes_.end()) it->second->OnFrame(frame, length);
  if (liveRoutes_.empty() || length <= 0) return;
  auto live = liveRoutes_.find(clientId);
  if (live != liveRoutes_.end()) live->second->Push(frame, static_cast<size_t>(length));
}

void CRecorder::DispatchMessage(uint32_t clientId, const uint8_t* body, int32_t length) {
  std::shared_lock<std::shared_mutex> lock(routeMutex_);
  auto it = routes_.find(clientId);
  if (it != routes_.end()) it->second->OnDeviceMessage(body, length);
}

void CRecorder::DispatchDisconnect(uint32_t clientId, uint16_t port) {
  std::shared_lock<std::shared_mutex> lock(routeMutex_);
  auto it = routes_.find(clientId);
  if (it != routes_.end()) it->second->OnDisconnect(port);
}

void CRecorder::SegmentOpened(const CCamera&, const SSegment& segment, bool handover) {
  for (IRecorderEvents* i : integrations_) i->SegmentOpened(segment, handover);
}

void CRecorder::SegmentClosed(const CCamera&, const SSegment& segment) {
  for (IRecorderEvents* i : integrations_) i->SegmentClosed(segment);
  std::lock_guard<std::mutex> lock(mutex_);
  retentionDue_ = true;  // a segment more may put a camera over its limit
  if (!config_.storage.mp4) return;
  mp4Jobs_.push_back({segment, std::chrono::steady_clock::now()});
  wake_.notify_all();
}

void CRecorder::SegmentDiscarded(const CCamera&, const SSegment& segment) {
  for (IRecorderEvents* i : integrations_) i->SegmentDeleted(segment, "empty");
}

void CRecorder::Alarm(const CCamera& camera, const qnvnet_alarm& alarm, int64_t arrivedUnixMs) {
  SAlarmEvent event;
  event.camera = camera.Name();
  event.alarm = alarm;
  event.arrivedUnixMs = arrivedUnixMs;
  // The id is known before anyone hears of the event, so every follower
  // (the catalogue's row, a message about it) names the same one.
  if (catalogue_) event.eventId = catalogue_->NextEventId();
  event.segment = camera.Status().segment;
  event.clip = storage_ != nullptr && camera.Config().mode == CameraMode::kEvents;
  for (IRecorderEvents* i : integrations_) i->AlarmEvent(event);
}

void CRecorder::StateChanged(const CCamera&, const SCameraStatus& status) {
  if (status.state == "down" || status.state == "stopped") {
    std::shared_lock<std::shared_mutex> lock(routeMutex_);
    if (web_) web_->Stream(status.name)->SetDown();
  }
  for (IRecorderEvents* i : integrations_) i->CameraState(status);
}

bool CRecorder::Connected(const std::string& camera, uint32_t& clientId, uint32_t& handle,
                          std::string& error) const {
  std::lock_guard<std::mutex> lock(camerasMutex_);
  auto it = cameras_.find(camera);
  if (it == cameras_.end()) {
    error = "the camera is not configured";
    return false;
  }
  clientId = it->second->ClientId();
  handle = it->second->LiveHandle();
  if (clientId == 0 || handle == 0) {
    error = "the camera is not connected";
    return false;
  }
  return true;
}

namespace {

bool Succeeded(int32_t rc, const char* what, std::string& error) {
  if (rc == QNVNET_SUCCESS) return true;
  const char* text = qnvnet_last_error_text();
  error = std::string(what) + " failed: " + std::to_string(rc) + " " + qnvnet_strerror(rc) +
          (text != nullptr && *text != '\0' ? std::string(": ") + text : std::string());
  return false;
}

}  // namespace

// The library's calls below run outside every lock of the recorder: a capture
// may decode for a while and a PTZ command waits for the device; a channel or
// session closed meanwhile makes them fail, nothing worse.
bool CRecorder::Capture(const std::string& camera, const std::string& path, std::string& error) {
  uint32_t clientId = 0, handle = 0;
  return Connected(camera, clientId, handle, error) &&
         Succeeded(qnvnet_live_capture(handle, path.c_str()), "capture", error);
}

bool CRecorder::PtzMove(const std::string& camera, const uint32_t (&v)[4], std::string& error) {
  uint32_t clientId = 0, handle = 0;
  return Connected(camera, clientId, handle, error) &&
         Succeeded(qnvnet_ptz_move(clientId, v[0], v[1], v[2], v[3]), "PTZ move", error);
}

bool CRecorder::PtzPreset(const std::string& camera, uint32_t action, uint32_t number,
                          std::string& error) {
  uint32_t clientId = 0, handle = 0;
  return Connected(camera, clientId, handle, error) &&
         Succeeded(qnvnet_ptz_preset(clientId, action, number), "PTZ preset", error);
}

bool CRecorder::RecordClip(const std::string& camera, double seconds, std::string& error) {
  std::lock_guard<std::mutex> lock(camerasMutex_);
  auto it = cameras_.find(camera);
  if (it == cameras_.end()) {
    error = "the camera is not configured";
    return false;
  }
  if (!it->second->RecordFor(seconds)) {
    error = "the camera records no clips (mode is continuous, or there is no [storage])";
    return false;
  }
  return true;
}

void CRecorder::CheckDiskSoon() {
  std::lock_guard<std::mutex> lock(mutex_);
  checkDisk_ = true;
  wake_.notify_all();
}

void CRecorder::Housekeeping() {
  for (uint64_t tick = 0;; ++tick) {
    std::deque<SMp4Job> due;
    bool repair = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (tick > 0) {
        wake_.wait_for(lock, std::chrono::milliseconds(kHousekeepingTickMs),
                       [this] { return stopping_ || checkDisk_; });
      }
      if (stopping_) return;
      checkDisk_ = false;
      repair = std::exchange(repairDue_, false);
      if (repairRetry_ && *repairRetry_ <= std::chrono::steady_clock::now()) {
        repairRetry_.reset();
        repair = true;
      }
      const auto now = std::chrono::steady_clock::now();
      while (!mp4Jobs_.empty() && mp4Jobs_.front().due <= now) {
        due.push_back(mp4Jobs_.front());
        mp4Jobs_.pop_front();
      }
    }
    if (tick % kTrimEveryTicks == kTrimEveryTicks - 1) ::malloc_trim(0);
    if (!storage_) continue;
    if (repair) RepairLeftovers();
    bool retention = tick % kRetentionEveryTicks == 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      retention = retention || std::exchange(retentionDue_, false);
    }
    if (retention) ApplyRetention();
    CheckDisk();
    if (tick % kStatusEveryTicks == 0) WriteStatus();
    for (const SMp4Job& job : due) MakeMp4(job.segment);
  }
}

void CRecorder::RepairLeftovers() {
  std::set<std::string> open;
  {
    std::lock_guard<std::mutex> lock(camerasMutex_);
    for (auto& [name, cam] : cameras_) {
      for (const std::string& stem : cam->OpenStems()) open.insert(stem);
    }
  }
  const std::vector<SSegment> segments = storage_->ListSegments(CameraNames());
  std::map<std::string, size_t> seen;  // per camera, from the newest
  for (auto it = segments.rbegin(); it != segments.rend(); ++it) {
    const SSegment& s = *it;
    // An MP4 copy being made when the earlier run ended is made again.
    if (s.Has(ESegmentFile::kMp4Part)) storage_->RemoveMp4Parts(s);
    // A segment a reader held at the last pass is looked at again however
    // many newer ones came meanwhile.
    const bool newest = seen[s.camera]++ < kRepairNewest;
    if ((!newest && !repairBusy_.count(s.stemPath)) || open.count(s.stemPath) ||
        !s.Has(ESegmentFile::kData)) {
      continue;
    }
    repairBusy_.erase(s.stemPath);
    const SRepairOutcome outcome = RepairSegment(*storage_, s);
    switch (outcome.result) {
      case ERepair::kIntact:
        // Its row may not have been written before the earlier run ended.
        if (catalogue_) catalogue_->SegmentFound(s);
        break;
      case ERepair::kBusy: {
        // A reader (qnv-export, a copy) holds it now: looked at again soon.
        repairBusy_.insert(s.stemPath);
        std::lock_guard<std::mutex> lock(mutex_);
        repairRetry_ = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        break;
      }
      case ERepair::kFailed:
        LOG_ERROR("repair: %s", outcome.error.c_str());
        break;
      case ERepair::kRemoved:
        LOG_WARN("repair: %s%s was left unclosed and holds no whole frame (%s); removed it",
                 s.stemPath.c_str(), kSegmentExtension, outcome.note.reason.c_str());
        for (IRecorderEvents* i : integrations_) i->SegmentDeleted(s, "nothing left to repair");
        break;
      case ERepair::kRepaired: {
        const qnvrec::SRepairNote& n = outcome.note;
        LOG_WARN(
            "repair: %s%s was left unclosed by an earlier run (%s): kept %llu frames, "
            "dropped %llu frames (%llu data bytes), released %.1f MiB of reserved blocks",
            s.stemPath.c_str(), kSegmentExtension, n.reason.c_str(),
            static_cast<unsigned long long>(n.frames),
            static_cast<unsigned long long>(n.droppedFrames),
            static_cast<unsigned long long>(n.droppedDataBytes), InMiB(n.releasedBytes));
        for (IRecorderEvents* i : integrations_) i->SegmentRepaired(s, n);
        if (config_.storage.mp4) {
          std::lock_guard<std::mutex> lock(mutex_);
          mp4Jobs_.push_back({s, std::chrono::steady_clock::now()});
        }
        break;
      }
    }
  }
  // The catalogue heals the rows a crash left open once the files are.
  if (catalogue_) catalogue_->RepairsDone();
}

void CRecorder::ApplyRetention() {
  std::set<std::string> open;
  std::map<std::string, SRetentionLimits> perCamera;
  {
    std::lock_guard<std::mutex> lock(camerasMutex_);
    for (auto& [name, cam] : cameras_) {
      for (const std::string& stem : cam->OpenStems()) open.insert(stem);
      const SCameraConfig& c = cam->Config();
      perCamera[name] = {c.keepDays >= 0 ? c.keepDays : config_.storage.keepDays,
                         MiB(c.keepGb * 1024)};
    }
  }
  // The web page's disk summary needs the folders listed; without a page,
  // retention through the catalogue lists nothing.
  std::vector<SSegment> segments;
  const bool listed = config_.web.enabled;
  if (listed) {
    segments = storage_->ListSegments(CameraNames());
    SummariseDisk(segments, perCamera);
  }
  if (ApplyRetentionFromCatalogue(perCamera, open)) return;
  if (!listed) segments = storage_->ListSegments(CameraNames());
  const SRetentionPlan plan =
      PlanRetention(segments, perCamera, {config_.storage.keepDays, 0},
                    MiB(config_.storage.keepGb * 1024), open, time(nullptr));
  for (const SSegment* s : plan.remove) {
    const uint64_t freed = storage_->RemoveSegment(*s);
    LOG_INFO("retention: removed %s (%.1f MiB)", s->stemPath.c_str(), InMiB(freed));
    for (IRecorderEvents* i : integrations_) i->SegmentDeleted(*s, "retention");
  }
}

void CRecorder::SummariseDisk(const std::vector<SSegment>& segments,
                              const std::map<std::string, SRetentionLimits>& limits) {
  SWebDisk disk;
  disk.storage = true;
  disk.root = config_.storage.root;
  disk.instance = config_.storage.instance;
  disk.keepDays = config_.storage.keepDays;
  disk.keepGb = config_.storage.keepGb;
  disk.minFreeMb = config_.storage.minFreeMb;
  disk.measuredUnix = time(nullptr);
  std::map<std::string, SWebCameraDisk> cameras;
  for (const auto& [name, limit] : limits) {
    SWebCameraDisk& c = cameras[name];
    c.camera = name;
    c.keepDays = limit.keepDays;
    c.keepGb = double(limit.keepBytes) / (1024.0 * 1048576.0);
  }
  for (const SSegment& s : segments) {
    SWebCameraDisk& c = cameras[s.camera];
    c.camera = s.camera;
    c.bytes += s.bytes;
    const int64_t start = SegmentStartUnix(s);
    if (start > 0 && (c.oldestUnix == 0 || start < c.oldestUnix)) c.oldestUnix = start;
  }
  for (auto& [name, c] : cameras) disk.cameras.push_back(std::move(c));
  std::lock_guard<std::mutex> lock(mutex_);
  diskSummary_ = std::move(disk);
}

std::vector<SCameraStatus> CRecorder::WebCameras() {
  std::vector<SCameraStatus> list;
  std::lock_guard<std::mutex> lock(camerasMutex_);
  for (auto& [name, cam] : cameras_) list.push_back(cam->Status());
  return list;
}

SWebDisk CRecorder::WebDisk() {
  SWebDisk disk;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    disk = diskSummary_;
  }
  disk.full = diskFull_;
  disk.freeBytes = freeBytes_;
  return disk;
}

bool CRecorder::ApplyRetentionFromCatalogue(
    const std::map<std::string, SRetentionLimits>& perCamera, const std::set<std::string>& open) {
  if (!catalogue_) return false;
  const time_t now = time(nullptr);
  catalogue_->PruneHistory(now);
  std::vector<std::string> paths;
  if (!catalogue_->PlanRetention(perCamera, {config_.storage.keepDays, 0},
                                 MiB(config_.storage.keepGb * 1024), open, now, paths)) {
    return false;
  }
  for (const std::string& path : paths) {
    SSegment s;
    if (storage_->FindSegment(path, s)) {
      const uint64_t freed = storage_->RemoveSegment(s);
      LOG_INFO("retention: removed %s (%.1f MiB)", s.stemPath.c_str(), InMiB(freed));
    } else {
      // Gone already: its row says so from now on.
      s.camera = path.substr(0, path.rfind('/'));
      s.camera = s.camera.substr(0, s.camera.rfind('/'));
      s.camera = s.camera.substr(s.camera.rfind('/') + 1);
      s.stemPath = path.substr(0, path.size() - std::strlen(kSegmentExtension));
    }
    for (IRecorderEvents* i : integrations_) i->SegmentDeleted(s, "retention");
  }
  return true;
}

void CRecorder::CheckDisk() {
  const SDiskPolicy policy = DiskPolicy(config_.storage.minFreeMb, CameraNames().size());
  uint64_t free = storage_->FreeBytes();
  freeBytes_ = free;
  bool full = diskFull_;
  if (!full && free < policy.stopBelow) {
    ApplyRetention();
    free = storage_->FreeBytes();
    if (free < policy.stopBelow) {
      full = true;
      LOG_ERROR(
          "disk full: %.1f MiB free in %s, below min_free_mb (%.0f) after retention; "
          "recording paused until %.1f MiB are free",
          InMiB(free), storage_->Path().c_str(), config_.storage.minFreeMb, InMiB(policy.resumeAt));
    }
  } else if (full && free >= policy.resumeAt) {
    full = false;
    LOG_INFO("disk space is back: %.1f MiB free; recording resumes", InMiB(free));
  }
  if (full == diskFull_) return;
  diskFull_ = full;
  std::lock_guard<std::mutex> lock(camerasMutex_);
  for (auto& [name, cam] : cameras_) cam->SetDiskFull(full);
}

void CRecorder::WriteStatus() {
  SStatusHeader header;
  header.pid = ::getpid();
  header.instance = config_.storage.instance;
  header.writtenUnix = time(nullptr);
  header.diskFull = diskFull_;
  header.diskFreeBytes = storage_->FreeBytes();
  std::vector<SCameraStatus> cameras;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    header.mp4Skipped = mp4Skipped_;
  }
  if (mqtt_) {
    const SMqttCounters mqtt = mqtt_->Counters();
    if (mqtt.running) header.mqtt = mqtt.connected ? "connected" : "disconnected";
    header.mqttDropped = mqtt.dropped;
  }
  {
    std::lock_guard<std::mutex> lock(camerasMutex_);
    for (auto& [name, cam] : cameras_) cameras.push_back(cam->Status());
  }
  storage_->WriteStatus(StatusJson(header, cameras));
  for (IRecorderEvents* i : integrations_) i->StatusTick(cameras);
}

void CRecorder::MakeMp4(const SSegment& segment) {
  if (!storage_) return;
  const std::string mp4 = segment.stemPath + kMp4Extension;
  // The copy counts against min_free_mb like the recordings: it is skipped
  // when it would leave less.
  const SDiskPolicy policy = DiskPolicy(config_.storage.minFreeMb, CameraNames().size());
  const uint64_t need = Mp4CopyBytes(*storage_, segment);
  if (need == 0) return;  // removed meanwhile (retention)
  const uint64_t free = storage_->FreeBytes();
  if (diskFull_ || free < policy.stopBelow + need) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++mp4Skipped_;
    }
    LOG_WARN(
        "mp4: %s skipped: it needs about %.1f MiB and %.1f MiB are free, which would "
        "leave less than min_free_mb (%.0f)",
        mp4.c_str(), InMiB(need), InMiB(free), config_.storage.minFreeMb);
    return;
  }
  std::string error;
  switch (MakeMp4Copy(*storage_, segment, error)) {
    case EMp4Copy::kMade:
      for (IRecorderEvents* i : integrations_) i->Mp4Made(segment);
      break;
    case EMp4Copy::kNothing:
      break;
    case EMp4Copy::kFailed:
      LOG_ERROR("mp4: %s not made: %s", mp4.c_str(), error.c_str());
      break;
  }
}

}  // namespace qnvrecorder
