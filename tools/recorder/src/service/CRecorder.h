// CRecorder: the service. Owns the library's initialisation and callbacks,
// every CCamera, the RTSP server, and one housekeeping thread that applies
// retention, watches the free space, writes the status file and makes the MP4
// copies. Start/Reload/Stop are called from the main (signal-handling) thread;
// the ICameraHost methods from the cameras' threads. One per process (the
// library has one set of callbacks); they reach it through their user pointer.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "cameras/CCamera.h"
#include "config/Config.h"

namespace qnvrecorder {

class CRtspServer;

class CRecorder : public ICameraHost {
 public:
  CRecorder();
  ~CRecorder() override;  // Stop()
  CRecorder(const CRecorder&) = delete;
  CRecorder& operator=(const CRecorder&) = delete;

  bool Start(const SConfig& config, std::string& error);
  // Applies a new configuration: added cameras start, removed ones stop,
  // changed ones restart; a changed [storage] or [rtsp] restarts every camera.
  bool Reload(const SConfig& config, std::string& error);
  // Closes every recording (complete files), channel and session.
  void Stop();

  // ICameraHost
  void Route(uint32_t clientId, CCamera* camera) override;
  void SegmentClosed(const std::string& dataPath, int delayMs) override;
  void CheckDiskSoon() override;

  // Library threads.
  void DispatchFrame(uint32_t clientId, const uint8_t* frame, int32_t length);
  void DispatchDisconnect(uint32_t clientId, uint16_t port);
  void DispatchMessage(uint32_t clientId, const uint8_t* body, int32_t length);

 private:
  struct SMp4Job {
    std::string dataPath;
    std::chrono::steady_clock::time_point due;
  };

  void StartCamera(const SCameraConfig& camera);
  void StopAllCameras();
  bool StartRtsp(std::string& error);
  void Housekeeping();
  void ApplyRetention();
  void CheckDisk();
  void WriteStatus();
  void MakeMp4(const std::string& dataPath);

  SConfig config_;
  std::unique_ptr<CRtspServer> rtsp_;
  std::map<std::string, std::unique_ptr<CCamera>> cameras_;  // control thread only...
  mutable std::mutex camerasMutex_;  // ...and the housekeeping thread, under this lock

  std::shared_mutex routeMutex_;  // guards routes_
  std::unordered_map<uint32_t, CCamera*> routes_;

  std::thread housekeeping_;
  std::mutex mutex_;  // guards the fields below
  std::condition_variable wake_;
  bool stopping_ = false;
  bool checkDisk_ = false;
  bool retentionDue_ = false;
  bool diskFull_ = false;
  std::deque<SMp4Job> mp4Jobs_;
  bool libraryStarted_ = false;
  bool stopped_ = false;  // control thread only
};

// The status file the recorder keeps in the storage root.
inline constexpr const char* kStatusFileName = "status.json";

}  // namespace qnvrecorder
