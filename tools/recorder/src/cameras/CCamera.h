// CCamera: one configured camera: its session, its live channel and its
// segment recordings, run by one supervising thread that logs in, reconnects
// with back-off after a loss (a long one after a refused password), rolls
// segments over on the clock at key frames and stops writing while the disk
// is full. The library tells it of a loss (a broken connection, a device that
// answers no keep-alive, a stream stalled for the camera's stall_seconds) and
// why; it says why it is down (CameraFault) in its log lines and status, and
// counts the pictures it receives with the library's NAL reader.
// Frames, disconnects and device messages reach it from the library's
// threads through OnFrame / OnDisconnect / OnDeviceMessage (routed by the
// host). Start/Stop and the status readers may be called from any thread.
// The host, the storage and the feed must outlive it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "QNVNetAlarm.h"
#include "base/Log.h"
#include "cameras/CameraFault.h"
#include "config/Config.h"
#include "qnvlocks/Locks.h"
#include "qnvnet.h"
#include "storage/CStorageRoot.h"

namespace qnvrecorder {

class CCamera;
class CRtspFeed;

struct SCameraStatus {
  // A reconnect that held less than this many seconds does not end an
  // outage: while down, sinceUnix stays the outage's start.
  static constexpr int kBriefReconnectSeconds = 30;

  std::string name;
  std::string state;  // "connecting", "connected", "recording", "disk full", "down", "stopped"
  // When the state began; while down, when the outage began (kept through
  // reason changes and brief reconnects).
  int64_t sinceUnix = 0;
  SFault fault;                 // while down: why; kNone otherwise
  std::string lastError;        // the latest fault's text since the start ("" when none)
  std::string segment;          // the data file being written
  int64_t lastFrameUnixMs = 0;  // 0: none yet
  uint64_t bytesToday = 0;      // written into segments since 00:00 UTC
  uint64_t reconnects = 0;      // successful reconnects since the start
  uint64_t failedAttempts = 0;  // while down: failed connection attempts in this outage
  // Received since the start, counted with QNVNetFrameNal as qnvctl and
  // qnv-export count them.
  uint64_t pictures = 0, keyPictures = 0;
};

// What the camera tells the recorder that owns it. Called on the camera's
// supervising thread unless said otherwise; none may block for long.
class ICameraHost {
 public:
  virtual ~ICameraHost() = default;
  // Routes the library's callbacks for clientId to camera (nullptr: stop routing).
  virtual void Route(uint32_t clientId, CCamera* camera) = 0;
  // A segment's files exist and the library writes them (from its first key
  // frame; handover: from the key frame that ends the one before).
  virtual void SegmentOpened(const CCamera& camera, const SSegment& segment, bool handover) = 0;
  // A segment is complete, its files closed and unlocked.
  virtual void SegmentClosed(const CCamera& camera, const SSegment& segment) = 0;
  // A segment that never received a frame was removed.
  virtual void SegmentDiscarded(const CCamera& camera, const SSegment& segment) = 0;
  // A rule alarm arrived (the library's watcher thread).
  virtual void Alarm(const CCamera& camera, const qnvnet_alarm& alarm, int64_t arrivedUnixMs) = 0;
  // The camera's state or fault changed.
  virtual void StateChanged(const CCamera& camera, const SCameraStatus& status) = 0;
  // A recording ended on its own (a failed write): check the disk now.
  virtual void CheckDiskSoon() = 0;
};

class CCamera {
 public:
  CCamera(SCameraConfig config, SStorageConfig storageConfig, CStorageRoot* storage,
          std::shared_ptr<CRtspFeed> feed, ICameraHost& host);
  ~CCamera();  // Stop()
  CCamera(const CCamera&) = delete;
  CCamera& operator=(const CCamera&) = delete;

  void Start();
  // Closes the recording (files complete), the channel and the session, and
  // joins the thread.
  void Stop();

  const SCameraConfig& Config() const { return m_config; }
  const std::string& Name() const { return m_config.name; }
  void SetDiskFull(bool full);
  SCameraStatus Status() const;
  // The live channel's handle while the camera is connected, else 0 (any
  // thread; the library refuses a handle closed meanwhile, and never gives
  // one out twice).
  uint32_t LiveHandle() const { return m_liveHandle; }
  // The session's client id while connected, else 0 (likewise).
  uint32_t ClientId() const { return m_liveClient; }
  // Records a clip from now for `seconds` (events mode), as an alarm that
  // keeps it open that long would. False when the camera does not record
  // clips (continuous, or no storage).
  bool RecordFor(double seconds);
  // The picture's size from the stream's latest sequence parameter set
  // (any thread); false before the first.
  bool PictureSize(int& width, int& height) const;
  // Segments being written or about to be closed (stem paths): retention
  // and repairs leave them alone.
  std::set<std::string> OpenStems() const;

  // Library threads.
  void OnFrame(const uint8_t* frame, int32_t length);
  // Inside the library's disconnect callback (its reason is read there).
  void OnDisconnect(uint16_t port);
  // A device message (the block from its byte 8 on): a rule alarm starts or
  // extends an event clip.
  void OnDeviceMessage(const uint8_t* body, int32_t length);

 private:
  using Clock = std::chrono::steady_clock;

  void Run();
  void NoteSps(const uint8_t* frame, size_t length);  // library thread: m_pictureSize
  bool Connect(SFault& fault);
  void Serve();
  void Disconnect();
  bool OpenSegment(int64_t nameUnixMs);
  void RollOver();
  void FinishHandover();
  void CloseSegment(const char* why);
  void CheckStall();
  SFault LossFault();
  bool WaitMs(int ms);  // false when stopping
  void Wake();          // the supervising thread looks at its state now
  void SetState(const char* state, const SFault& fault = {});
  void LogConnectFailure(const SFault& fault, int retryMs);
  void FlushHeldLines();
  void ScheduleEnd(int64_t nowUnixMs, bool onClock);

  const SCameraConfig m_config;
  const SStorageConfig m_storageConfig;
  CStorageRoot* const m_storage;  // null without [storage]
  const std::shared_ptr<CRtspFeed> m_feed;
  ICameraHost& m_host;

  std::thread m_thread;
  mutable qnv::locks::CMutex m_mutex;  // guards the fields below it and the wake-ups
  std::condition_variable m_wake;
  bool m_stopping GUARDED_BY(m_mutex) = false;
  bool m_kick GUARDED_BY(m_mutex) = false;  // Wake() was called
  std::string m_state GUARDED_BY(m_mutex) = "connecting";
  int64_t m_sinceUnix GUARDED_BY(m_mutex) = 0;
  SFault m_fault GUARDED_BY(m_mutex);
  std::string m_lastError GUARDED_BY(m_mutex);
  std::string m_segmentPath GUARDED_BY(m_mutex), m_rolledOutPath GUARDED_BY(m_mutex);
  std::string m_segmentStem GUARDED_BY(m_mutex), m_rolledOutStem GUARDED_BY(m_mutex);
  uint64_t m_reconnects GUARDED_BY(m_mutex) = 0;
  int64_t m_outageSinceUnix GUARDED_BY(m_mutex) = 0;  // the current (or last) outage's start
  int64_t m_upSinceMonoMs GUARDED_BY(m_mutex) = 0;  // when the camera last came up; 0 while not up
  uint64_t m_failedAttempts GUARDED_BY(m_mutex) = 0;  // in the current outage
  bool m_lost GUARDED_BY(m_mutex) = false;  // the library reported the session or the stream lost
  uint16_t m_lostPort GUARDED_BY(m_mutex) = 0;
  qnvnet_loss m_loss GUARDED_BY(m_mutex){};  // why, as the disconnect callback was told

  std::atomic<uint32_t> m_liveHandle{0}, m_liveClient{0};
  std::atomic<int64_t> m_clipUntilMonoMs{0};  // a clip asked for runs until then
  std::atomic<bool> m_diskFull{false};
  std::atomic<bool> m_recording{false};
  std::atomic<bool> m_rolloverPending{false};
  std::atomic<bool> m_rolloverKeySeen{false};
  std::atomic<bool> m_rolloverDone{false};  // a frame came after the hand-over's key frame
  std::atomic<int64_t> m_lastFrameUnixMs{0};
  std::atomic<uint64_t> m_framesSeen{0};
  std::atomic<uint64_t> m_pictures{0}, m_keyPictures{0};
  std::atomic<uint32_t> m_pictureSize{0};  // width << 16 | height, from the SPS; 0 none yet
  std::atomic<uint64_t> m_bytesToday{0};
  std::atomic<int64_t> m_today{0};            // days since 1970 of m_bytesToday
  std::atomic<int64_t> m_lastAlarmMonoMs{0};  // 0: no alarm yet
  std::atomic<int64_t> m_clipAlarmUnixMs{0};  // the alarm that opens the next clip

  CLogThrottle m_alarmLog;
  CLogThrottle m_connectLog;
  CLogThrottle m_lossLog;
  CLogThrottle m_storageLog;

  // Supervising thread only.
  uint32_t m_clientId = 0, m_handle = 0, m_saveId = 0;
  uint32_t m_rolledOutId = 0;  // the recording handing over to m_saveId
  bool m_loggedIn = false, m_channelOpen = false;
  std::unique_ptr<CSegmentFiles> m_segment, m_rolledOut;
  Clock::time_point m_segmentEnd{}, m_nextSaveTry{};
  int64_t m_segmentEndUnixMs = 0;  // the clock boundary m_segmentEnd stands for
  bool m_endOnClock = false;       // m_segmentEnd is a boundary (not a size limit)
  uint64_t m_stallSize = 0, m_stallFrames = 0;
  Clock::time_point m_stallSince{};
  std::string m_lastLoggedFault;
};

}  // namespace qnvrecorder
