#include "service/CRecorder.h"

#include <malloc.h>
#include <sys/resource.h>
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
#include "qnvtools/ProcessStats.h"
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
constexpr auto kStatusEvery = std::chrono::seconds(2);
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
  m_integrations.push_back(integration);
}

bool CRecorder::OpenStorage(std::string& error) {
  m_storage.reset();
  if (!m_config.storage.enabled) return true;
  auto storage = std::make_unique<CStorageRoot>();
  if (!storage->Open(m_config.storage.root, m_config.storage.instance, error)) return false;
  m_storage = std::move(storage);
  {
    qnv::locks::CLockGuard lock(m_mutex);
    m_repairDue = true;
    m_diskSummary = {};
    m_diskSummary.storage = true;
    m_diskSummary.root = m_config.storage.root;
    m_diskSummary.instance = m_config.storage.instance;
  }
  return true;
}

bool CRecorder::StartCatalogue(std::string& error) {
  if (!m_config.catalogue.enabled || !m_storage) return true;
  auto catalogue =
      std::make_unique<CRecorderCatalogue>(m_config.storage, m_config.catalogue, *m_storage);
  if (!catalogue->Start(error)) return false;
  m_catalogue = std::move(catalogue);
  m_integrations.insert(m_integrations.begin(), m_catalogue.get());
  // The repair pass at start tells it when to heal its open rows.
  qnv::locks::CLockGuard lock(m_mutex);
  m_repairDue = true;
  return true;
}

void CRecorder::StopCatalogue() {
  if (!m_catalogue) return;
  m_integrations.erase(std::remove(m_integrations.begin(), m_integrations.end(),
                                   static_cast<IRecorderEvents*>(m_catalogue.get())),
                       m_integrations.end());
  m_catalogue->Stop();
  m_catalogue.reset();
}

bool CRecorder::Start(const SConfig& config, std::string& error) {
  m_config = config;
  if (!OpenStorage(error)) return false;
  // Recording comes first: without its own folders the catalogue is not kept.
  if (!StartCatalogue(error))
    LOG_ERROR("%s; no catalogue is kept, recording goes on", error.c_str());
  if (m_config.rtsp.enabled && !StartRtsp(error)) return false;
  if (m_config.web.enabled && !StartWeb(error)) return false;
  av_log_set_level(AV_LOG_ERROR);
  qnvnet_set_message_callback(&OnDeviceMessage, this);
  qnvnet_set_stream_callback(&OnStreamFrame, this);
  qnvnet_set_disconnect_callback(&OnDisconnected, this);
  const int32_t rc = qnvnet_init();
  if (rc != QNVNET_SUCCESS) {
    error = std::string("the SDK did not start: ") + qnvnet_strerror(rc);
    return false;
  }
  m_libraryStarted = true;
  m_mqtt = std::make_unique<CMqttBridge>(*this);
  m_integrations.push_back(m_mqtt.get());
  m_mqtt->SetStorage(m_storage.get());
  m_mqtt->Configure(m_config);
  for (const SCameraConfig& camera : m_config.cameras) StartCamera(camera);
  StartBackground();
  LOG_INFO("started: %zu camera(s)%s%s%s%s", m_config.cameras.size(),
           m_config.storage.enabled ? ", recording to " : "",
           m_config.storage.enabled ? m_config.storage.root.c_str() : "",
           m_config.storage.enabled ? " as instance " : "",
           m_config.storage.enabled ? m_config.storage.instance.c_str() : "");
  return true;
}

bool CRecorder::StartRtsp(std::string& error) {
  m_rtsp = std::make_unique<CRtspServer>();
  if (!m_rtsp->Start(error)) {
    m_rtsp.reset();
    return false;
  }
  m_gate = std::make_unique<CRtspGate>(*m_rtsp, m_config.rtsp);
  if (!m_gate->Start(error)) {
    StopRtsp();
    return false;
  }
  return true;
}

void CRecorder::StopRtsp() {
  m_gate.reset();  // no connection reaches the server any more
  m_rtsp.reset();
}

std::vector<std::string> CRecorder::CameraNames() const {
  std::vector<std::string> names;
  qnv::locks::CLockGuard lock(m_camerasMutex);
  for (const auto& [name, cam] : m_cameras) names.push_back(name);
  return names;
}

bool CRecorder::StartWeb(std::string& error) {
  CRecordings recordings(m_config.storage.enabled ? m_config.storage.root : "",
                         m_config.storage.instance);
  // The page reads the catalogue the recorder writes, PostgreSQL too.
  if (m_config.storage.enabled && m_config.catalogue.enabled) {
    const SCatalogueSetup setup = CatalogueSetup(m_config.storage, m_config.catalogue);
    recordings.SetCatalogue(setup.target, setup.recorder);
  }
  auto web = std::make_unique<CWebServer>(m_config.web, *this, QNV_TOOLS_VERSION,
                                          std::move(recordings));
  if (!web->Start(error)) return false;
  // It follows the alarms like any integration; no camera runs meanwhile.
  m_integrations.push_back(web.get());
  qnv::locks::CLockGuard lock(m_routeMutex);
  m_web = std::move(web);
  return true;
}

CWebServer* CRecorder::WebServer() {
  qnv::locks::CSharedLock lock(m_routeMutex);
  return m_web.get();
}

void CRecorder::StopWeb() {
  std::unique_ptr<CWebServer> web;
  {
    qnv::locks::CLockGuard lock(m_routeMutex);
    web = std::move(m_web);
    m_liveRoutes.clear();
  }
  if (!web) return;
  m_integrations.erase(std::remove(m_integrations.begin(), m_integrations.end(),
                                   static_cast<IRecorderEvents*>(web.get())),
                       m_integrations.end());
  web->Stop();
}

void CRecorder::StartCamera(const SCameraConfig& camera) {
  std::shared_ptr<CRtspFeed> feed = m_rtsp ? m_rtsp->Mount(camera.name) : nullptr;
  CStorageRoot* storage = m_storage.get();
  if (storage) {
    std::string error, note;
    if (!storage->ClaimCamera(camera.name, error, note)) {
      LOG_ERROR("camera %s: not recording: %s", camera.name.c_str(), error.c_str());
      storage = nullptr;  // it is still served over RTSP
    } else if (!note.empty()) {
      LOG_WARN("camera %s: %s", camera.name.c_str(), note.c_str());
    }
  }
  auto cam = std::make_unique<CCamera>(camera, m_config.storage, storage, feed, *this);
  cam->SetDiskFull(m_diskFull);
  cam->Start();
  qnv::locks::CLockGuard lock(m_camerasMutex);
  m_cameras[camera.name] = std::move(cam);
}

void CRecorder::StopAllCameras() {
  // Each camera's stop waits for its thread; asking them all at once lets
  // them wind down side by side. The cameras stay listed until then, so the
  // last status written shows them stopped.
  std::vector<std::thread> stoppers;
  {
    qnv::locks::CLockGuard lock(m_camerasMutex);
    for (auto& [name, cam] : m_cameras) stoppers.emplace_back([c = cam.get()] { c->Stop(); });
  }
  for (std::thread& t : stoppers) t.join();
  if (m_storage) WriteStatus();
  qnv::locks::CLockGuard lock(m_camerasMutex);
  m_cameras.clear();
}

bool CRecorder::Reload(const SConfig& config, std::string& error) {
  const bool rtspChanged = !(config.rtsp == m_config.rtsp);
  const bool storageChanged = !(config.storage == m_config.storage);
  const bool webChanged = !(config.web == m_config.web);
  const bool catalogueChanged = !(config.catalogue == m_config.catalogue);
  if (rtspChanged || storageChanged || catalogueChanged || webChanged) {
    LOG_INFO("reload: %s changed; restarting every camera", storageChanged     ? "[storage]"
                                                            : catalogueChanged ? "[catalogue]"
                                                            : rtspChanged      ? "[rtsp]"
                                                                               : "[web]");
    // The housekeeping and status threads work on the storage: they wait
    // meanwhile.
    StopBackground();
    StopAllCameras();
    if (storageChanged || catalogueChanged) StopCatalogue();
    if (rtspChanged) {
      StopRtsp();
      m_config.rtsp = config.rtsp;
      if (m_config.rtsp.enabled && !StartRtsp(error)) {
        LOG_ERROR("reload: %s; re-streaming is off", error.c_str());
      }
    }
    // The page reads the storage root and the catalogue: it follows them.
    const bool webRestarts = webChanged || storageChanged || catalogueChanged;
    if (webRestarts) StopWeb();
    m_config = config;
    if (storageChanged) {
      std::deque<SMp4Job> dropped;
      {
        qnv::locks::CLockGuard lock(m_mutex);
        dropped.swap(m_mp4Jobs);
      }
      for (const SMp4Job& job : dropped) MakeMp4(job.segment);
      m_mqtt->SetStorage(nullptr);  // it lets go of the old root before it closes
      if (!OpenStorage(error)) {
        LOG_ERROR("reload: %s; nothing is recorded until the storage is usable", error.c_str());
      }
      m_mqtt->SetStorage(m_storage.get());
    }
    if ((storageChanged || catalogueChanged) && !StartCatalogue(error)) {
      LOG_ERROR("reload: %s; no catalogue is kept", error.c_str());
    }
    if (webRestarts && m_config.web.enabled && !StartWeb(error)) {
      LOG_ERROR("reload: %s; the web page is off", error.c_str());
    }
    m_mqtt->Configure(m_config);
    for (const SCameraConfig& camera : m_config.cameras) StartCamera(camera);
    StartBackground();
    return true;
  }
  // The MQTT part learns the new list first: a camera added is known when
  // its first event comes, one removed is forgotten (its topics cleared).
  m_config.mqtt = config.mqtt;
  m_mqtt->Configure(config);
  std::map<std::string, const SCameraConfig*> wanted;
  for (const SCameraConfig& c : config.cameras) wanted[c.name] = &c;
  int stopped = 0, started = 0, restarted = 0;
  std::vector<std::unique_ptr<CCamera>> toStop;
  {
    qnv::locks::CLockGuard lock(m_camerasMutex);
    for (auto it = m_cameras.begin(); it != m_cameras.end();) {
      auto w = wanted.find(it->first);
      if (w == wanted.end() || !(*w->second == it->second->Config())) {
        (w == wanted.end() ? stopped : restarted)++;
        toStop.push_back(std::move(it->second));
        it = m_cameras.erase(it);
      } else {
        wanted.erase(w);
        ++it;
      }
    }
  }
  for (auto& cam : toStop) {
    const std::string name = cam->Config().name;
    cam->Stop();
    if (m_rtsp && !wanted.count(name)) m_rtsp->Unmount(name);
  }
  for (auto& [name, camera] : wanted) {
    StartCamera(*camera);
    ++started;
  }
  started -= restarted;
  m_config.cameras = config.cameras;  // the housekeeping thread reads the rest
  if (CWebServer* web = WebServer()) web->KeepStreams(CameraNames());
  LOG_INFO("reload: %d camera(s) started, %d stopped, %d restarted", started, stopped, restarted);
  return true;
}

void CRecorder::Stop() {
  if (m_stopped) return;
  m_stopped = true;
  StopBackground();
  StopAllCameras();
  // Segments closed on the way out still get their MP4 copies.
  std::deque<SMp4Job> jobs;
  {
    qnv::locks::CLockGuard lock(m_mutex);
    jobs.swap(m_mp4Jobs);
  }
  for (const SMp4Job& job : jobs) MakeMp4(job.segment);
  StopWeb();  // its viewers go before the library they watch
  StopCatalogue();
  // What the cameras' stop said is published before "offline"; no capture
  // runs once it returns.
  if (m_mqtt) m_mqtt->Stop();
  if (m_libraryStarted) {
    qnvnet_uninit();
    qnvnet_set_message_callback(nullptr, nullptr);
    qnvnet_set_stream_callback(nullptr, nullptr);
    qnvnet_set_disconnect_callback(nullptr, nullptr);
    m_libraryStarted = false;
  }
  StopRtsp();
  StopWeb();
  m_storage.reset();
}

void CRecorder::Route(uint32_t clientId, CCamera* camera) {
  qnv::locks::CLockGuard lock(m_routeMutex);
  if (camera) {
    m_routes[clientId] = camera;
    if (m_web) m_liveRoutes[clientId] = m_web->Stream(camera->Name());
  } else {
    m_routes.erase(clientId);
    m_liveRoutes.erase(clientId);
  }
}

void CRecorder::DispatchFrame(uint32_t clientId, const uint8_t* frame, int32_t length) {
  qnv::locks::CSharedLock lock(m_routeMutex);
  auto it = m_routes.find(clientId);
  if (it != m_routes.end()) it->second->OnFrame(frame, length);
  if (m_liveRoutes.empty() || length <= 0) return;
  auto live = m_liveRoutes.find(clientId);
  if (live != m_liveRoutes.end()) live->second->Push(frame, static_cast<size_t>(length));
}

void CRecorder::DispatchMessage(uint32_t clientId, const uint8_t* body, int32_t length) {
  qnv::locks::CSharedLock lock(m_routeMutex);
  auto it = m_routes.find(clientId);
  if (it != m_routes.end()) it->second->OnDeviceMessage(body, length);
}

void CRecorder::DispatchDisconnect(uint32_t clientId, uint16_t port) {
  qnv::locks::CSharedLock lock(m_routeMutex);
  auto it = m_routes.find(clientId);
  if (it != m_routes.end()) it->second->OnDisconnect(port);
}

void CRecorder::SegmentOpened(const CCamera&, const SSegment& segment, bool handover) {
  for (IRecorderEvents* i : m_integrations) i->SegmentOpened(segment, handover);
}

void CRecorder::SegmentClosed(const CCamera&, const SSegment& segment) {
  for (IRecorderEvents* i : m_integrations) i->SegmentClosed(segment);
  qnv::locks::CLockGuard lock(m_mutex);
  m_retentionDue = true;  // a segment more may put a camera over its limit
  if (!m_config.storage.mp4) return;
  m_mp4Jobs.push_back({segment, std::chrono::steady_clock::now()});
  m_wake.notify_all();
}

void CRecorder::SegmentDiscarded(const CCamera&, const SSegment& segment) {
  for (IRecorderEvents* i : m_integrations) i->SegmentDeleted(segment, "empty");
}

void CRecorder::Alarm(const CCamera& camera, const qnvnet_alarm& alarm, int64_t arrivedUnixMs) {
  SAlarmEvent event;
  event.camera = camera.Name();
  event.alarm = alarm;
  event.arrivedUnixMs = arrivedUnixMs;
  // The id is known before anyone hears of the event, so every follower
  // (the catalogue's row, a message about it) names the same one.
  if (m_catalogue) event.eventId = m_catalogue->NextEventId();
  event.segment = camera.Status().segment;
  event.clip = m_storage != nullptr && camera.Config().mode == CameraMode::kEvents;
  for (IRecorderEvents* i : m_integrations) i->AlarmEvent(event);
}

void CRecorder::StateChanged(const CCamera&, const SCameraStatus& status) {
  if (status.state == "down" || status.state == "stopped") {
    qnv::locks::CSharedLock lock(m_routeMutex);
    if (m_web) m_web->Stream(status.name)->SetDown();
  }
  for (IRecorderEvents* i : m_integrations) i->CameraState(status);
  RequestStatus();
}

void CRecorder::StartBackground() {
  {
    qnv::locks::CLockGuard lock(m_mutex);
    m_stopping = false;
  }
  {
    qnv::locks::CLockGuard lock(m_statusMutex);
    m_statusStopping = false;
    m_statusDue = true;
  }
  m_housekeeping = std::thread([this] { Housekeeping(); });
  if (m_storage) m_statusThread = std::thread([this] { StatusLoop(); });
}

void CRecorder::StopBackground() {
  {
    qnv::locks::CLockGuard lock(m_mutex);
    m_stopping = true;
  }
  m_wake.notify_all();
  if (m_housekeeping.joinable()) m_housekeeping.join();
  {
    qnv::locks::CLockGuard lock(m_statusMutex);
    m_statusStopping = true;
  }
  m_statusWake.notify_all();
  if (m_statusThread.joinable()) m_statusThread.join();
}

void CRecorder::RequestStatus() {
  {
    qnv::locks::CLockGuard lock(m_statusMutex);
    m_statusDue = true;
  }
  m_statusWake.notify_all();
}

void CRecorder::StatusLoop() {
  qnv::locks::CUniqueLock lock(m_statusMutex);
  for (;;) {
    m_statusWake.wait_for(lock.Native(), kStatusEvery, [this]() REQUIRES(m_statusMutex) {
      return m_statusStopping || m_statusDue;
    });
    if (m_statusStopping) return;
    m_statusDue = false;
    lock.Unlock();
    WriteStatus();
    lock.Lock();
  }
}

SProcessStatus CRecorder::ProcessFigures() {
  const qnvtools::SProcessStats self = qnvtools::ReadProcessStats();
  SProcessStatus p;
  p.fds = uint64_t(std::max(self.descriptors, 0));
  p.threads = uint64_t(std::max(self.threads, 0));
  p.rssKiB = self.rssKiB;
  if (m_gate) p.rtspClients = m_gate->Connections();
  {
    qnv::locks::CSharedLock lock(m_routeMutex);
    if (m_web) p.webConnections = m_web->Connections();
  }
  if (m_mqtt) p.mqttQueue = m_mqtt->Counters().queued;
  return p;
}

bool CRecorder::Connected(const std::string& camera, uint32_t& clientId, uint32_t& handle,
                          std::string& error) const {
  qnv::locks::CLockGuard lock(m_camerasMutex);
  auto it = m_cameras.find(camera);
  if (it == m_cameras.end()) {
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
  qnv::locks::CLockGuard lock(m_camerasMutex);
  auto it = m_cameras.find(camera);
  if (it == m_cameras.end()) {
    error = "the camera is not configured";
    return false;
  }
  if (!it->second->RecordFor(seconds)) {
    error = "the camera records no clips (mode is continuous, or there is no [storage])";
    return false;
  }
  return true;
}

bool CRecorder::PictureSize(const std::string& camera, int& width, int& height) {
  qnv::locks::CLockGuard lock(m_camerasMutex);
  auto it = m_cameras.find(camera);
  return it != m_cameras.end() && it->second->PictureSize(width, height);
}

void CRecorder::CheckDiskSoon() {
  qnv::locks::CLockGuard lock(m_mutex);
  m_checkDisk = true;
  m_wake.notify_all();
}

void CRecorder::Housekeeping() {
  for (uint64_t tick = 0;; ++tick) {
    std::deque<SMp4Job> due;
    bool repair = false;
    {
      qnv::locks::CUniqueLock lock(m_mutex);
      if (tick > 0) {
        m_wake.wait_for(lock.Native(), std::chrono::milliseconds(kHousekeepingTickMs),
                        [this]() REQUIRES(m_mutex) { return m_stopping || m_checkDisk; });
      }
      if (m_stopping) return;
      m_checkDisk = false;
      repair = std::exchange(m_repairDue, false);
      if (m_repairRetry && *m_repairRetry <= std::chrono::steady_clock::now()) {
        m_repairRetry.reset();
        repair = true;
      }
      const auto now = std::chrono::steady_clock::now();
      while (!m_mp4Jobs.empty() && m_mp4Jobs.front().due <= now) {
        due.push_back(m_mp4Jobs.front());
        m_mp4Jobs.pop_front();
      }
    }
    if (tick % kTrimEveryTicks == kTrimEveryTicks - 1) ::malloc_trim(0);
    if (!m_storage) continue;
    if (repair) RepairLeftovers();
    bool retention = tick % kRetentionEveryTicks == 0;
    {
      qnv::locks::CLockGuard lock(m_mutex);
      retention = retention || std::exchange(m_retentionDue, false);
    }
    if (retention) ApplyRetention();
    CheckDisk();
    for (const SMp4Job& job : due) MakeMp4(job.segment);
  }
}

void CRecorder::RepairLeftovers() {
  std::set<std::string> open;
  {
    qnv::locks::CLockGuard lock(m_camerasMutex);
    for (auto& [name, cam] : m_cameras) {
      for (const std::string& stem : cam->OpenStems()) open.insert(stem);
    }
  }
  const std::vector<SSegment> segments = m_storage->ListSegments(CameraNames());
  std::map<std::string, size_t> seen;  // per camera, from the newest
  for (auto it = segments.rbegin(); it != segments.rend(); ++it) {
    const SSegment& s = *it;
    // An MP4 copy being made when the earlier run ended is made again.
    if (s.Has(ESegmentFile::kMp4Part)) m_storage->RemoveMp4Parts(s);
    // A segment a reader held at the last pass is looked at again however
    // many newer ones came meanwhile.
    const bool newest = seen[s.camera]++ < kRepairNewest;
    if ((!newest && !m_repairBusy.count(s.stemPath)) || open.count(s.stemPath) ||
        !s.Has(ESegmentFile::kData)) {
      continue;
    }
    m_repairBusy.erase(s.stemPath);
    const SRepairOutcome outcome = RepairSegment(*m_storage, s);
    switch (outcome.result) {
      case ERepair::kIntact:
        // Its row may not have been written before the earlier run ended.
        if (m_catalogue) m_catalogue->SegmentFound(s);
        break;
      case ERepair::kBusy: {
        // A reader (qnv-export, a copy) holds it now: looked at again soon.
        m_repairBusy.insert(s.stemPath);
        qnv::locks::CLockGuard lock(m_mutex);
        m_repairRetry = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        break;
      }
      case ERepair::kFailed:
        LOG_ERROR("repair: %s", outcome.error.c_str());
        break;
      case ERepair::kRemoved:
        LOG_WARN("repair: %s%s was left unclosed and holds no whole frame (%s); removed it",
                 s.stemPath.c_str(), kSegmentExtension, outcome.note.reason.c_str());
        for (IRecorderEvents* i : m_integrations) i->SegmentDeleted(s, "nothing left to repair");
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
        for (IRecorderEvents* i : m_integrations) i->SegmentRepaired(s, n);
        if (m_config.storage.mp4) {
          qnv::locks::CLockGuard lock(m_mutex);
          m_mp4Jobs.push_back({s, std::chrono::steady_clock::now()});
        }
        break;
      }
    }
  }
  // The catalogue heals the rows a crash left open once the files are.
  if (m_catalogue) m_catalogue->RepairsDone();
}

void CRecorder::ApplyRetention() {
  std::set<std::string> open;
  std::map<std::string, SRetentionLimits> perCamera;
  {
    qnv::locks::CLockGuard lock(m_camerasMutex);
    for (auto& [name, cam] : m_cameras) {
      for (const std::string& stem : cam->OpenStems()) open.insert(stem);
      const SCameraConfig& c = cam->Config();
      perCamera[name] = {c.keepDays >= 0 ? c.keepDays : m_config.storage.keepDays,
                         MiB(c.keepGb * 1024)};
    }
  }
  // The web page's disk summary needs the folders listed; without a page,
  // retention through the catalogue lists nothing.
  std::vector<SSegment> segments;
  const bool listed = m_config.web.enabled;
  if (listed) {
    segments = m_storage->ListSegments(CameraNames());
    SummariseDisk(segments, perCamera);
  }
  if (ApplyRetentionFromCatalogue(perCamera, open)) return;
  if (!listed) segments = m_storage->ListSegments(CameraNames());
  const SRetentionPlan plan =
      PlanRetention(segments, perCamera, {m_config.storage.keepDays, 0},
                    MiB(m_config.storage.keepGb * 1024), open, time(nullptr));
  for (const SSegment* s : plan.remove) {
    const uint64_t freed = m_storage->RemoveSegment(*s);
    LOG_INFO("retention: removed %s (%.1f MiB)", s->stemPath.c_str(), InMiB(freed));
    for (IRecorderEvents* i : m_integrations) i->SegmentDeleted(*s, "retention");
  }
}

void CRecorder::SummariseDisk(const std::vector<SSegment>& segments,
                              const std::map<std::string, SRetentionLimits>& limits) {
  SWebDisk disk;
  disk.storage = true;
  disk.root = m_config.storage.root;
  disk.instance = m_config.storage.instance;
  disk.keepDays = m_config.storage.keepDays;
  disk.keepGb = m_config.storage.keepGb;
  disk.minFreeMb = m_config.storage.minFreeMb;
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
  qnv::locks::CLockGuard lock(m_mutex);
  m_diskSummary = std::move(disk);
}

std::vector<SCameraStatus> CRecorder::WebCameras() {
  std::vector<SCameraStatus> list;
  qnv::locks::CLockGuard lock(m_camerasMutex);
  for (auto& [name, cam] : m_cameras) list.push_back(cam->Status());
  return list;
}

SWebDisk CRecorder::WebDisk() {
  SWebDisk disk;
  {
    qnv::locks::CLockGuard lock(m_mutex);
    disk = m_diskSummary;
  }
  disk.full = m_diskFull;
  disk.freeBytes = m_freeBytes;
  return disk;
}

bool CRecorder::ApplyRetentionFromCatalogue(
    const std::map<std::string, SRetentionLimits>& perCamera, const std::set<std::string>& open) {
  if (!m_catalogue) return false;
  const time_t now = time(nullptr);
  m_catalogue->PruneHistory(now);
  std::vector<std::string> paths;
  if (!m_catalogue->PlanRetention(perCamera, {m_config.storage.keepDays, 0},
                                  MiB(m_config.storage.keepGb * 1024), open, now, paths)) {
    return false;
  }
  for (const std::string& path : paths) {
    SSegment s;
    if (m_storage->FindSegment(path, s)) {
      const uint64_t freed = m_storage->RemoveSegment(s);
      LOG_INFO("retention: removed %s (%.1f MiB)", s.stemPath.c_str(), InMiB(freed));
    } else {
      // Gone already: its row says so from now on.
      s.camera = path.substr(0, path.rfind('/'));
      s.camera = s.camera.substr(0, s.camera.rfind('/'));
      s.camera = s.camera.substr(s.camera.rfind('/') + 1);
      s.stemPath = path.substr(0, path.size() - std::strlen(kSegmentExtension));
    }
    for (IRecorderEvents* i : m_integrations) i->SegmentDeleted(s, "retention");
  }
  return true;
}

void CRecorder::CheckDisk() {
  const SDiskPolicy policy = DiskPolicy(m_config.storage.minFreeMb, CameraNames().size());
  uint64_t free = m_storage->FreeBytes();
  m_freeBytes = free;
  bool full = m_diskFull;
  if (!full && free < policy.stopBelow) {
    ApplyRetention();
    free = m_storage->FreeBytes();
    if (free < policy.stopBelow) {
      full = true;
      LOG_ERROR(
          "disk full: %.1f MiB free in %s, below min_free_mb (%.0f) after retention; "
          "recording paused until %.1f MiB are free",
          InMiB(free), m_storage->Path().c_str(), m_config.storage.minFreeMb,
          InMiB(policy.resumeAt));
    }
  } else if (full && free >= policy.resumeAt) {
    full = false;
    LOG_INFO("disk space is back: %.1f MiB free; recording resumes", InMiB(free));
  }
  if (full == m_diskFull) return;
  m_diskFull = full;
  qnv::locks::CLockGuard lock(m_camerasMutex);
  for (auto& [name, cam] : m_cameras) cam->SetDiskFull(full);
}

void CRecorder::WriteStatus() {
  SStatusHeader header;
  header.pid = ::getpid();
  header.instance = m_config.storage.instance;
  header.writtenUnix = time(nullptr);
  header.diskFull = m_diskFull;
  header.diskFreeBytes = m_storage->FreeBytes();
  std::vector<SCameraStatus> cameras;
  {
    qnv::locks::CLockGuard lock(m_mutex);
    header.mp4Skipped = m_mp4Skipped;
  }
  if (m_mqtt) {
    const SMqttCounters mqtt = m_mqtt->Counters();
    if (mqtt.running) header.mqtt = mqtt.connected ? "connected" : "disconnected";
    header.mqttDropped = mqtt.dropped;
  }
  {
    qnv::locks::CLockGuard lock(m_camerasMutex);
    for (auto& [name, cam] : m_cameras) cameras.push_back(cam->Status());
  }
  header.process = ProcessFigures();
  rlimit files{};
  const uint64_t fileLimit = ::getrlimit(RLIMIT_NOFILE, &files) == 0 ? files.rlim_cur : 0;
  const std::vector<std::string> over = OverBounds(
      header.process, ProcessBoundsFor(cameras.size(), fileLimit, CWebServer::kMaxConnections,
                                       kMaxRtspConnections, kOutboxMessages));
  uint64_t held = 0;
  if (!over.empty() && m_processLog.Allow(held)) {
    std::string text;
    for (const std::string& o : over) text += (text.empty() ? "" : ", ") + o;
    LOG_WARN(
        "the recorder holds more than it should: %s; a leak? (qnv-recorder --status shows "
        "the figures)%s",
        text.c_str(), HeldBackText(held).c_str());
  }
  m_storage->WriteStatus(StatusJson(header, cameras));
  for (IRecorderEvents* i : m_integrations) i->StatusTick(cameras);
}

void CRecorder::MakeMp4(const SSegment& segment) {
  if (!m_storage) return;
  const std::string mp4 = segment.stemPath + kMp4Extension;
  // The copy counts against min_free_mb like the recordings: it is skipped
  // when it would leave less.
  const SDiskPolicy policy = DiskPolicy(m_config.storage.minFreeMb, CameraNames().size());
  const uint64_t need = Mp4CopyBytes(*m_storage, segment);
  if (need == 0) return;  // removed meanwhile (retention)
  const uint64_t free = m_storage->FreeBytes();
  if (m_diskFull || free < policy.stopBelow + need) {
    {
      qnv::locks::CLockGuard lock(m_mutex);
      ++m_mp4Skipped;
    }
    LOG_WARN(
        "mp4: %s skipped: it needs about %.1f MiB and %.1f MiB are free, which would "
        "leave less than min_free_mb (%.0f)",
        mp4.c_str(), InMiB(need), InMiB(free), m_config.storage.minFreeMb);
    return;
  }
  std::string error;
  switch (MakeMp4Copy(*m_storage, segment, error)) {
    case EMp4Copy::kMade:
      for (IRecorderEvents* i : m_integrations) i->Mp4Made(segment);
      break;
    case EMp4Copy::kNothing:
      break;
    case EMp4Copy::kFailed:
      LOG_ERROR("mp4: %s not made: %s", mp4.c_str(), error.c_str());
      break;
  }
}

}  // namespace qnvrecorder
