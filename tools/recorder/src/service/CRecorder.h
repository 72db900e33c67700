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
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "cameras/CCamera.h"
#include "config/Config.h"
#include "integrations/ICameraAccess.h"
#include "integrations/IRecorderEvents.h"
#include "integrations/StatusFile.h"
#include "qnvlocks/Locks.h"
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
  SProcessStatus WebProcess() override { return ProcessFigures(); }
  // ICameraAccess
  bool Capture(const std::string& camera, const std::string& path, std::string& error) override;
  bool PtzMove(const std::string& camera, const uint32_t (&values)[4], std::string& error) override;
  bool PtzPreset(const std::string& camera, uint32_t action, uint32_t number,
                 std::string& error) override;
  bool RecordClip(const std::string& camera, double seconds, std::string& error) override;
  bool PictureSize(const std::string& camera, int& width, int& height) override;

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
  // The status file's thread: rewrites it every 2 s and at once after a
  // camera's state changed (RequestStatus), so a loss shows without waiting
  // for housekeeping (retention may take a while).
  void StatusLoop();
  void RequestStatus();
  SProcessStatus ProcessFigures();
  // The housekeeping and status threads, which work on the storage: stopped
  // while it is replaced and at Stop.
  void StartBackground();
  void StopBackground();
  void MakeMp4(const SSegment& segment);
  std::vector<std::string> CameraNames() const;
  // The web server now, or null (control thread: it alone replaces it).
  CWebServer* WebServer();
  // The camera's client id and live handle now; false with error when it is
  // unknown or not connected.
  bool Connected(const std::string& camera, uint32_t& clientId, uint32_t& handle,
                 std::string& error) const;

  SConfig m_config;
  std::unique_ptr<CStorageRoot> m_storage;
  std::unique_ptr<CRtspServer> m_rtsp;
  std::unique_ptr<CRtspGate> m_gate;
  std::unique_ptr<CMqttBridge> m_mqtt;  // made at Start; also in m_integrations
  // The followers of events (the catalogue first, when kept). Changed only
  // while no camera runs.
  std::vector<IRecorderEvents*> m_integrations;
  std::unique_ptr<CRecorderCatalogue> m_catalogue;
  // Changed by the control thread; read by it and the housekeeping thread.
  mutable qnv::locks::CMutex m_camerasMutex;
  std::map<std::string, std::unique_ptr<CCamera>> m_cameras GUARDED_BY(m_camerasMutex);

  qnv::locks::CSharedMutex m_routeMutex;
  std::unordered_map<uint32_t, CCamera*> m_routes GUARDED_BY(m_routeMutex);
  std::unordered_map<uint32_t, std::shared_ptr<CLiveStream>> m_liveRoutes GUARDED_BY(m_routeMutex);
  // Replaced by the control thread only; read through WebServer() or under the lock.
  std::unique_ptr<CWebServer> m_web GUARDED_BY(m_routeMutex);

  std::thread m_housekeeping;
  std::thread m_statusThread;
  qnv::locks::CMutex m_statusMutex;
  std::condition_variable m_statusWake;
  bool m_statusDue GUARDED_BY(m_statusMutex) = false;
  bool m_statusStopping GUARDED_BY(m_statusMutex) = false;
  CLogThrottle m_processLog{1, std::chrono::minutes(10)};
  qnv::locks::CMutex m_mutex;  // guards the fields below
  std::condition_variable m_wake;
  bool m_stopping GUARDED_BY(m_mutex) = false;
  bool m_checkDisk GUARDED_BY(m_mutex) = false;
  bool m_retentionDue GUARDED_BY(m_mutex) = false;
  bool m_repairDue GUARDED_BY(m_mutex) = false;
  std::optional<std::chrono::steady_clock::time_point> m_repairRetry GUARDED_BY(m_mutex);
  uint64_t m_mp4Skipped GUARDED_BY(m_mutex) = 0;
  std::deque<SMp4Job> m_mp4Jobs GUARDED_BY(m_mutex);
  std::atomic<bool> m_diskFull{false};         // written by the housekeeping thread
  std::atomic<uint64_t> m_freeBytes{0};        // likewise
  SWebDisk m_diskSummary GUARDED_BY(m_mutex);  // taken with each retention pass
  bool m_libraryStarted = false;
  std::set<std::string> m_repairBusy;  // housekeeping thread: stems a reader held
  bool m_stopped = false;              // control thread only
};

}  // namespace qnvrecorder
