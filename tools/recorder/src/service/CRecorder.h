// CRecorder: the service, and the one place its parts meet. Owns the
// library's initialisation and callbacks (their user pointer is this object),
// the storage root, every CCamera, the RTSP server and its gate, the
// integrations that follow events (IRecorderEvents), and one housekeeping
// thread that repairs what an earlier run left unclosed, applies retention,
// watches the free space, writes the status file and makes the MP4 copies,
// and the web server ([web]), whose live streams it feeds.
// Start/Reload/Stop are called from the main (signal-handling) thread; the
// ICameraHost methods from the cameras' and the library's threads. One per
// process (the library has one set of callbacks).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "cameras/CCamera.h"
#include "config/Config.h"
#include "integrations/ICameraAccess.h"
#include "integrations/IRecorderEvents.h"
#include "storage/CStorageRoot.h"
#include "storage/Retention.h"
#include "web/IWebSource.h"

namespace qnvrecorder {

class CLiveStream;
class CRecorderCatalogue;
class CMqttBridge;
class CRtspGate;
class CRtspServer;
class CWebServer;

class CRecorder : public ICameraHost, public ICameraAccess, public IWebSource {
 public:
  CRecorder();
  ~CRecorder() override;  // Stop()
  CRecorder(const CRecorder&) = delete;
  CRecorder& operator=(const CRecorder&) = delete;

  // Adds a follower of events; before Start, and it must outlive the recorder.
  void AddIntegration(IRecorderEvents* integration);

  bool Start(const SConfig& config, std::string& error);
  // Applies a new configuration: added cameras start, removed ones stop,
  // changed ones restart; a changed [storage] or [rtsp] restarts every camera.
  bool Reload(const SConfig& config, std::string& error);
  // Closes every recording (complete files), channel and session.
  void Stop();

  // ICameraHost
  void Route(uint32_t clientId, CCamera* camera) override;
  void SegmentOpened(const CCamera& camera, const SSegment& segment, bool handover) override;
  void SegmentClosed(const CCamera& camera, const SSegment& segment) override;
  void SegmentDiscarded(const CCamera& camera, const SSegment& segment) override;
  void Alarm(const CCamera& camera, const qnvnet_alarm& alarm, int64_t arrivedUnixMs) override;
  void StateChanged(const CCamera& camera, const SCameraStatus& status) override;
  void CheckDiskSoon() override;

  // IWebSource (the web server's thread).
  std::vector<SCameraStatus> WebCameras() override;
  SWebDisk WebDisk() override;
  // ICameraAccess
  bool Capture(const std::string& camera, const std::string& path, std::string& error) override;
  bool PtzMove(const std::string& camera, const uint32_t (&values)[4], std::string& error) override;
  bool PtzPreset(const std::string& camera, uint32_t action, uint32_t number,
                 std::string& error) override;
  bool RecordClip(const std::string& camera, double seconds, std::string& error) override;

  // Library threads.
  void DispatchFrame(uint32_t clientId, const uint8_t* frame, int32_t length);
  void DispatchDisconnect(uint32_t clientId, uint16_t port);
  void DispatchMessage(uint32_t clientId, const uint8_t* body, int32_t length);

 private:
  struct SMp4Job {
    SSegment segment;
    std::chrono::steady_clock::time_point due;
  };

  bool OpenStorage(std::string& error);
  bool StartCatalogue(std::string& error);
  void StopCatalogue();
  void StartCamera(const SCameraConfig& camera);
  void StopAllCameras();
  bool StartRtsp(std::string& error);
  void StopRtsp();
  bool StartWeb(std::string& error);
  void StopWeb();
  void Housekeeping();
  void RepairLeftovers();
  void ApplyRetention();
  // Through the catalogue; false when it cannot answer now.
  bool ApplyRetentionFromCatalogue(const std::map<std::string, SRetentionLimits>& perCamera,
                                   const std::set<std::string>& open);
  void CheckDisk();
  void SummariseDisk(const std::vector<SSegment>& segments,
                     const std::map<std::string, struct SRetentionLimits>& limits);
  void WriteStatus();
  void MakeMp4(const SSegment& segment);
  std::vector<std::string> CameraNames() const;
  // The camera's client id and live handle now; false with error when it is
  // unknown or not connected.
  bool Connected(const std::string& camera, uint32_t& clientId, uint32_t& handle,
                 std::string& error) const;

  SConfig config_;
  std::unique_ptr<CStorageRoot> storage_;
  std::unique_ptr<CRtspServer> rtsp_;
  std::unique_ptr<CRtspGate> gate_;
  std::unique_ptr<CMqttBridge> mqtt_;  // made at Start; also in integrations_
  // The followers of events (the catalogue first, when kept). Changed only
  // while no camera runs.
  std::vector<IRecorderEvents*> integrations_;
  std::unique_ptr<CRecorderCatalogue> catalogue_;
  std::map<std::string, std::unique_ptr<CCamera>> cameras_;  // control thread only...
  mutable std::mutex camerasMutex_;  // ...and the housekeeping thread, under this lock

  std::shared_mutex routeMutex_;  // guards routes_
  std::unordered_map<uint32_t, CCamera*> routes_;
  std::unordered_map<uint32_t, std::shared_ptr<CLiveStream>> liveRoutes_;
  std::unique_ptr<CWebServer> web_;  // control thread; read under routeMutex_ elsewhere

  std::thread housekeeping_;
  std::mutex mutex_;  // guards the fields below
  std::condition_variable wake_;
  bool stopping_ = false;
  bool checkDisk_ = false;
  bool retentionDue_ = false;
  bool repairDue_ = false;
  std::optional<std::chrono::steady_clock::time_point> repairRetry_;
  uint64_t mp4Skipped_ = 0;
  std::deque<SMp4Job> mp4Jobs_;
  std::atomic<bool> diskFull_{false};   // written by the housekeeping thread
  std::atomic<uint64_t> freeBytes_{0};  // likewise
  SWebDisk diskSummary_;                // under mutex_: taken with each retention pass
  bool libraryStarted_ = false;
  std::set<std::string> repairBusy_;  // housekeeping thread: stems a reader held
  bool stopped_ = false;              // control thread only
};

}  // namespace qnvrecorder
