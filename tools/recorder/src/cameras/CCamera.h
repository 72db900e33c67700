// CCamera: one configured camera: its session, its live channel and its
// segment recordings, run by one supervising thread that logs in, reconnects
// with back-off after a loss, rolls segments over at key frames and stops
// writing while the disk is full. Frames and disconnects reach it from the
// library's threads through OnFrame / OnDisconnect (routed by the recorder).
// Start/Stop and the status readers may be called from any thread. The host
// and the feed must outlive it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "config/Config.h"

namespace qnvrecorder {

class CRtspFeed;

// What the camera needs from the recorder that owns it.
class ICameraHost {
 public:
  virtual ~ICameraHost() = default;
  // Routes the library's callbacks for clientId to camera (nullptr: stop routing).
  virtual void Route(uint32_t clientId, class CCamera* camera) = 0;
  // A segment is complete: make its MP4 copy (when configured) after delayMs.
  virtual void SegmentClosed(const std::string& dataPath, int delayMs) = 0;
  // A recording ended on its own (a failed write): check the disk now.
  virtual void CheckDiskSoon() = 0;
};

struct SCameraStatus {
  std::string name;
  std::string state;  // "connecting", "connected", "recording", "disk full", "down"
  std::string segment;
  int64_t lastFrameUnixMs = 0;  // 0: none yet
  uint64_t bytesToday = 0;      // written into segments since 00:00 UTC
  uint64_t reconnects = 0;
};

class CCamera {
 public:
  CCamera(SCameraConfig config, SStorageConfig storage, std::shared_ptr<CRtspFeed> feed,
          ICameraHost& host);
  ~CCamera();  // Stop()
  CCamera(const CCamera&) = delete;
  CCamera& operator=(const CCamera&) = delete;

  void Start();
  // Closes the recording (files complete), the channel and the session, and
  // joins the thread.
  void Stop();

  const SCameraConfig& Config() const { return config_; }
  void SetDiskFull(bool full);
  SCameraStatus Status() const;
  // Segments being written or about to be closed (stem paths): retention
  // leaves them alone.
  std::set<std::string> OpenStems() const;

  // Library threads.
  void OnFrame(const uint8_t* frame, int32_t length);
  void OnDisconnect(uint16_t port);
  // A device message (the block from its length field on): a rule alarm
  // starts or extends an event clip.
  void OnDeviceMessage(const uint8_t* body, int32_t length);

 private:
  using Clock = std::chrono::steady_clock;

  void Run();
  bool Connect(std::string& why);
  void Serve();
  void Disconnect();
  bool OpenSegment();
  void RollOver();
  void CloseSegment(const char* why);
  void CheckStall();
  bool WaitMs(int ms);  // false when stopping
  void Wake();          // the supervising thread looks at its state now
  void SetState(const char* state);

  const SCameraConfig config_;
  const SStorageConfig storage_;
  const std::shared_ptr<CRtspFeed> feed_;
  ICameraHost& host_;

  std::thread thread_;
  mutable std::mutex mutex_;  // guards the fields below it and the wake-ups
  std::condition_variable wake_;
  bool stopping_ = false;
  bool kick_ = false;  // Wake() was called
  std::string state_ = "connecting";
  std::string segmentPath_;
  std::string rolledOutPath_;  // ended at the next key frame after a rollover
  uint64_t reconnects_ = 0;

  std::atomic<bool> lost_{false};
  std::atomic<bool> diskFull_{false};
  std::atomic<bool> recording_{false};
  std::atomic<bool> rolloverPending_{false};
  std::atomic<bool> rolloverKeySeen_{false};
  std::atomic<int64_t> lastFrameUnixMs_{0};
  std::atomic<int64_t> lastFrameMonoMs_{0};
  std::atomic<uint64_t> framesSeen_{0};
  std::atomic<uint64_t> bytesToday_{0};
  std::atomic<int64_t> today_{0};            // days since 1970 of bytesToday_
  std::atomic<int64_t> lastAlarmMonoMs_{0};  // 0: no alarm yet

  // Supervising thread only.
  uint32_t clientId_ = 0, handle_ = 0, saveId_ = 0;
  uint32_t rolledOutId_ = 0;  // the recording handing over to saveId_
  bool loggedIn_ = false, channelOpen_ = false;
  Clock::time_point segmentEnd_{}, nextSaveTry_{};
  uint64_t stallSize_ = 0, stallFrames_ = 0;
  Clock::time_point stallSince_{};
};

}  // namespace qnvrecorder
