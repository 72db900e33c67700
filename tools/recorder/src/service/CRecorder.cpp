#include "service/CRecorder.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <set>
#include <utility>

#include "base/Log.h"
#include "qnvnet.h"
#include "qnvrecording/CExporter.h"
#include "qnvrecording/CMp4Writer.h"
#include "qnvrecording/CRecordingReader.h"
#include "storage/Storage.h"
#include "streaming/CRtspFeed.h"
#include "streaming/CRtspServer.h"

extern "C" {
#include <libavutil/log.h>
}

namespace qnvrecorder {
namespace {

constexpr int kHousekeepingTickMs = 1000;
constexpr int kRetentionEveryTicks = 10;
constexpr int kStatusEveryTicks = 2;

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

uint64_t MiB(double mb) { return static_cast<uint64_t>(mb * 1048576.0); }

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char b[8];
      std::snprintf(b, sizeof b, "\\u%04x", c);
      out += b;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

}  // namespace

CRecorder::CRecorder() = default;

CRecorder::~CRecorder() { Stop(); }

bool CRecorder::Start(const SConfig& config, std::string& error) {
  config_ = config;
  if (config_.storage.enabled) {
    std::error_code ec;
    std::filesystem::create_directories(config_.storage.root, ec);
    if (ec) {
      error = "storage root " + config_.storage.root + " cannot be created: " + ec.message();
      return false;
    }
    if (::access(config_.storage.root.c_str(), W_OK) != 0) {
      error = "storage root " + config_.storage.root + " is not writable";
      return false;
    }
  }
  if (config_.rtsp.enabled && !StartRtsp(error)) return false;
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
  for (const SCameraConfig& camera : config_.cameras) StartCamera(camera);
  housekeeping_ = std::thread([this] { Housekeeping(); });
  LOG_INFO("started: %zu camera(s)%s%s", config_.cameras.size(),
           config_.storage.enabled ? ", recording to " : "",
           config_.storage.enabled ? config_.storage.root.c_str() : "");
  return true;
}

bool CRecorder::StartRtsp(std::string& error) {
  rtsp_ = std::make_unique<CRtspServer>();
  if (!rtsp_->Start(config_.rtsp, error)) {
    rtsp_.reset();
    return false;
  }
  return true;
}

void CRecorder::StartCamera(const SCameraConfig& camera) {
  std::shared_ptr<CRtspFeed> feed = rtsp_ ? rtsp_->Mount(camera.name) : nullptr;
  auto cam = std::make_unique<CCamera>(camera, config_.storage, feed, *this);
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
  if (config_.storage.enabled) WriteStatus();
  std::lock_guard<std::mutex> lock(camerasMutex_);
  cameras_.clear();
}

bool CRecorder::Reload(const SConfig& config, std::string& error) {
  const bool rtspChanged = !(config.rtsp == config_.rtsp);
  const bool storageChanged = !(config.storage == config_.storage);
  if (rtspChanged || storageChanged) {
    LOG_INFO("reload: %s changed; restarting every camera",
             storageChanged ? "[storage]" : "[rtsp]");
    StopAllCameras();
    if (rtspChanged) {
      rtsp_.reset();
      config_.rtsp = config.rtsp;
      if (config_.rtsp.enabled && !StartRtsp(error)) {
        LOG_ERROR("reload: %s; re-streaming is off", error.c_str());
      }
    }
    config_ = config;
    if (config_.storage.enabled) {
      std::error_code ec;
      std::filesystem::create_directories(config_.storage.root, ec);
    }
    for (const SCameraConfig& camera : config_.cameras) StartCamera(camera);
    return true;
  }
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
  config_ = config;
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
  for (const SMp4Job& job : jobs) MakeMp4(job.dataPath);
  if (libraryStarted_) {
    qnvnet_uninit();
    qnvnet_set_message_callback(nullptr, nullptr);
    qnvnet_set_stream_callback(nullptr, nullptr);
    qnvnet_set_disconnect_callback(nullptr, nullptr);
    libraryStarted_ = false;
  }
  rtsp_.reset();
}

void CRecorder::Route(uint32_t clientId, CCamera* camera) {
  std::unique_lock<std::shared_mutex> lock(routeMutex_);
  if (camera) {
    routes_[clientId] = camera;
  } else {
    routes_.erase(clientId);
  }
}

void CRecorder::DispatchFrame(uint32_t clientId, const uint8_t* frame, int32_t length) {
  std::shared_lock<std::shared_mutex> lock(routeMutex_);
  auto it = routes_.find(clientId);
  if (it != routes_.end()) it->second->OnFrame(frame, length);
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

void CRecorder::SegmentClosed(const std::string& dataPath, int delayMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  retentionDue_ = true;  // a segment more may put a camera over its limit
  if (!config_.storage.mp4 || dataPath.empty()) return;
  mp4Jobs_.push_back(
      {dataPath, std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs)});
  wake_.notify_all();
}

void CRecorder::CheckDiskSoon() {
  std::lock_guard<std::mutex> lock(mutex_);
  checkDisk_ = true;
  wake_.notify_all();
}

void CRecorder::Housekeeping() {
  for (uint64_t tick = 0;; ++tick) {
    std::deque<SMp4Job> due;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait_for(lock, std::chrono::milliseconds(kHousekeepingTickMs),
                     [this] { return stopping_ || checkDisk_; });
      if (stopping_) return;
      checkDisk_ = false;
      const auto now = std::chrono::steady_clock::now();
      while (!mp4Jobs_.empty() && mp4Jobs_.front().due <= now) {
        due.push_back(mp4Jobs_.front());
        mp4Jobs_.pop_front();
      }
    }
    if (!config_.storage.enabled) continue;
    bool retention = tick % kRetentionEveryTicks == 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      retention = retention || std::exchange(retentionDue_, false);
    }
    if (retention) ApplyRetention();
    CheckDisk();
    if (tick % kStatusEveryTicks == 0) WriteStatus();
    for (const SMp4Job& job : due) MakeMp4(job.dataPath);
  }
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
  const std::vector<SSegment> segments = ListSegments(config_.storage.root);
  const SRetentionPlan plan =
      PlanRetention(segments, perCamera, {config_.storage.keepDays, 0},
                    MiB(config_.storage.keepGb * 1024), open, time(nullptr));
  for (const SSegment* s : plan.remove) {
    const uint64_t freed = RemoveSegment(*s);
    LOG_INFO("retention: removed %s (%.1f MiB)", s->stemPath.c_str(), double(freed) / 1048576.0);
  }
}

void CRecorder::CheckDisk() {
  const uint64_t minFree = MiB(config_.storage.minFreeMb);
  uint64_t free = FreeBytes(config_.storage.root);
  bool full = diskFull_;
  if (!full && free < minFree) {
    ApplyRetention();
    free = FreeBytes(config_.storage.root);
    if (free < minFree) {
      full = true;
      LOG_ERROR(
          "disk full: %.1f MiB free in %s, below min_free_mb (%.0f) after retention; "
          "recording paused until space is back",
          double(free) / 1048576.0, config_.storage.root.c_str(), config_.storage.minFreeMb);
    }
  } else if (full && free >= minFree + std::max<uint64_t>(minFree / 4, 1u << 20)) {
    full = false;
    LOG_INFO("disk space is back: %.1f MiB free; recording resumes", double(free) / 1048576.0);
  }
  if (full == diskFull_) return;
  diskFull_ = full;
  std::lock_guard<std::mutex> lock(camerasMutex_);
  for (auto& [name, cam] : cameras_) cam->SetDiskFull(full);
}

void CRecorder::WriteStatus() {
  std::string json = "{\"pid\": " + std::to_string(::getpid()) +
                     ", \"written\": " + std::to_string(time(nullptr)) +
                     ", \"disk_full\": " + (diskFull_ ? "true" : "false") + ", \"cameras\": [\n";
  {
    std::lock_guard<std::mutex> lock(camerasMutex_);
    bool first = true;
    for (auto& [name, cam] : cameras_) {
      const SCameraStatus s = cam->Status();
      json += std::string(first ? "" : ",\n") + "  {\"name\": " + JsonString(s.name) +
              ", \"state\": " + JsonString(s.state) +
              ", \"last_frame_ms\": " + std::to_string(s.lastFrameUnixMs) +
              ", \"bytes_today\": " + std::to_string(s.bytesToday) +
              ", \"reconnects\": " + std::to_string(s.reconnects) +
              ", \"segment\": " + JsonString(s.segment) + "}";
      first = false;
    }
  }
  json += "\n]}\n";
  const std::string path = config_.storage.root + "/" + kStatusFileName;
  const std::string temp = path + ".tmp";
  FILE* f = std::fopen(temp.c_str(), "w");
  if (!f) return;
  const bool ok = std::fwrite(json.data(), 1, json.size(), f) == json.size();
  if (std::fclose(f) == 0 && ok) {
    std::rename(temp.c_str(), path.c_str());
  } else {
    std::remove(temp.c_str());
  }
}

void CRecorder::MakeMp4(const std::string& dataPath) {
  const size_t dot = dataPath.rfind('.');
  const std::string mp4 = dataPath.substr(0, dot) + kMp4Extension;
  qnvrec::CRecordingReader reader;
  std::string error;
  if (!reader.Open(dataPath, qnvrec::IndexPathFor(dataPath), error)) {
    LOG_ERROR("mp4: %s not made: %s", mp4.c_str(), error.c_str());
    return;
  }
  if (reader.FrameCount() == 0) return;  // an empty segment (ended before a key frame)
  qnvrec::CMp4Writer writer(mp4);        // timed by the frames' capture times
  qnvrec::CExporter exporter(reader, writer);
  qnvrec::SExportResult result;
  if (!exporter.Run(result, error)) {
    LOG_ERROR("mp4: %s not made: %s", mp4.c_str(), error.c_str());
  }
}

}  // namespace qnvrecorder
