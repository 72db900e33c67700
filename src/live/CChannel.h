// CChannel: one live video stream from a logged-in device. Owns its streaming
// connection with its receive thread, the reassembly buffer, the pre-record
// queue, its recordings and the save mutex that guards queue and recordings.
// It refers to its session only by client id.
//
// The path of a frame: the stream connection's receive thread reads into the
// area ReceiveArea hands out (the reassembly buffer), Received has the
// assembler cut whole frames there, and Frame gives each to the player
// (only with a window), the host's stream callback, the pre-record queue and
// the recordings.
//
// A channel without a window feeds the player nothing: a capture decodes
// from the frames the channel holds anyway (its pre-record queue), or waits
// for the next key frame and has the receive thread gather the frames from
// there (see Capture).
//
// Threads: Open, Teardown and the Save* calls run on host threads under
// their session's call lock; Capture on any thread under no session lock (a
// receive thread too, from a stream callback); ReceiveArea, Received,
// Frame and Closed run on the channel's receive thread, which takes no
// lock but the save mutex; CheckStall runs on the stall watch's thread
// (CStallWatch) and touches only atomics and the stream's Abort. The channel
// registry holds it by shared_ptr and so does the receive thread, so a
// channel closed while its thread is still inside a host callback stays
// alive until that thread ends.
#ifndef QNV_LIVE_CCHANNEL_H
#define QNV_LIVE_CCHANNEL_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "QNVNetSdk.h"
#include "live/CCaptureRun.h"
#include "live/CFrameAssembler.h"
#include "platform/ThreadAnnotations.h"
#include "record/CPendingFrames.h"
#include "record/CSaveList.h"
#include "record/CStreamQueue.h"
#include "transport/CLossRecord.h"
#include "transport/CTcpStream.h"
#include "transport/IStreamSink.h"

namespace qnv {

class CChannel final : public std::enable_shared_from_this<CChannel>,
                       private IStreamSink,
                       private IFrameSink {
 public:
  static constexpr int32_t kPreRecordCapacity = 358400;
  // The reassembly buffer holds the pre-record stretch, the largest camera
  // frame and a read or two, so a frame leaves the stretch before its bytes
  // are overwritten and is never copied into the queue (see CPendingFrames).
  static constexpr uint32_t kReassemblyReserve = 1u << 20;
  // Reads take at most this much, so the buffer is overwritten a little at a time.
  static constexpr uint32_t kMaxRead = 131072;

  CChannel() = default;
  ~CChannel() = default;
  CChannel(const CChannel&) = delete;
  CChannel& operator=(const CChannel&) = delete;

  // Connects the streaming connection (receive thread started), opens a
  // player port when there is a window (loading the player), sets the
  // pre-record capacity and sends the attach request. False when the
  // connection could not be made.
  bool Open(const char* address, uint16_t port, uint32_t clientId, int32_t channelNo,
            uint32_t sessionId, uint32_t streamId, HWND window);
  // The host is closing the channel: nothing more is delivered and no end of
  // the stream is reported from now on (the device ends it on request).
  void BeginClose() { m_closing.store(true); }
  // Stops the receive thread, closes the player port and every recording.
  // After it returns no frame is delivered and no disconnect is reported.
  void Teardown();
  // Writes the newest picture to path; 0 when the file holds it, else
  // QNVNET_ERR_CAPTURE with the reason noted. With a window the player's port
  // has the picture. Without one the frames the channel holds are decoded
  // on the calling thread: from where the last capture's decoder stopped
  // when it is still warm (kCaptureWarmMs) and the queue holds every frame
  // since, else from the newest key frame the queue holds, else from the
  // next key frame to arrive (waiting up to kCaptureWaitMs, unless called on
  // a receive thread or the stream is paused or has ended). Holds the save
  // mutex only to copy the frames out; waits and decodes under no lock of
  // the session.
  uint32_t Capture(const char* path);
  // How long a capture without a window waits for a key frame, and keeps
  // its decoder for the next one.
  static constexpr uint32_t kCaptureWaitMs = 5000;
  static constexpr uint32_t kCaptureWarmMs = 10000;
  // Shortens the wait for a key frame (0: the default). For tests.
  static void SetCaptureWaitForTesting(uint32_t ms);

  uint32_t SaveOpen(const char* path, uint32_t& id);
  uint32_t SaveClose(uint32_t id);
  uint32_t SaveRollover(uint32_t id, const char* newPath, uint32_t& newId);
  // Keeps the pre-record stretch by time (see QNVNet_LiveSetPreRecord);
  // milliseconds 0 restores the default queue. Checks its arguments.
  uint32_t SetPreRecord(uint32_t milliseconds, uint32_t maxBytes);

  // Stall reports (see QNVNet_LiveSetStallTimeout): milliseconds 0 turns
  // them off; any other value restarts the time. Checks its argument.
  uint32_t SetStallTimeout(uint32_t milliseconds);
  static constexpr uint32_t kMinStallMs = 100;
  static constexpr uint32_t kMaxStallMs = 3600000;
  // The device was asked to pause (true) or resume the stream. A paused
  // channel is never reported as stalled (resuming restarts the time) and
  // captures from what it holds, without waiting.
  void SetPaused(bool paused);
  // The stall watch's look at time nowMs: reports the channel when it
  // delivered no frame for its time-out (the reason is set and the stream
  // shut down, so the receive thread reports it as a lost stream). False
  // when the channel needs no more looking at.
  bool CheckStall(uint64_t nowMs);
  // Whether and why the stream was lost (reason 0 while it is not).
  QNVNetLoss Loss() const;

  static constexpr uint32_t kMaxPreRecordMs = 120000;
  static constexpr uint32_t kDefaultPreRecordBytes = 16u << 20;
  static constexpr uint32_t kMinPreRecordBytes = 65536;
  static constexpr uint32_t kMaxPreRecordBytes = 256u << 20;

  uint32_t Handle() const { return m_handle; }
  // Used by the library when the player gave no handle.
  void SetHandle(uint32_t handle) { m_handle = handle; }
  uint32_t ClientId() const { return m_clientId; }
  int32_t ChannelNo() const { return m_channelNo; }
  uint32_t StreamId() const { return m_streamId; }

 private:
  // IStreamSink, on the receive thread.
  // Asks whether listed frames lie in the area without the save mutex: only
  // this thread lists them (see the body).
  SReceiveArea ReceiveArea() override NO_THREAD_SAFETY_ANALYSIS;
  uint64_t Received(uint32_t length) override;
  void Closed() override;
  // IFrameSink, on the receive thread: one whole frame, lying in the
  // reassembly buffer until a later area overwrites it, to the player, the
  // host, the queue (listed in m_pending rather than copied) and the
  // recordings, in that order. False: the channel was closed meanwhile;
  // deliver no more.
  bool Frame(uint8_t* frame, uint32_t length) override;
  // Capture of a channel without a window.
  uint32_t CaptureHeld(const char* path) EXCLUDES(m_captureMutex);
  // Under the save mutex: the run to decode, copied out of the queue (warm:
  // the capture's decoder may go on from m_captureNext) or gathered from
  // the next key frame when mayWait. False, with the reason noted, when
  // there is none.
  bool CopyCaptureRun(CCaptureRun& run, bool warm, bool mayWait) REQUIRES(m_captureMutex)
      EXCLUDES(m_saveMutex);
  // Frees the capture's warm decoder, if any.
  void ReleaseCaptureDecoder();

  uint32_t m_clientId = 0;
  int32_t m_channelNo = 0;
  uint32_t m_sessionId = 0;
  uint32_t m_streamId = 0;
  // Read by the receive thread when it reports a loss.
  std::atomic<uint32_t> m_handle{0};
  // Stall reports and captures: set by host threads, read by the stall
  // watch and by Capture.
  std::atomic<uint32_t> m_stallTimeoutMs{0};
  std::atomic<bool> m_paused{false};
  std::atomic<bool> m_stallRestart{false};
  uint64_t m_stallFrames = 0;   // the stall watch's thread only
  uint64_t m_stallSinceMs = 0;  // likewise: when m_stallFrames was new
  CLossRecord m_loss;           // why the stream was lost; the first reason stays
  // Opened with a window: frames go to a player port. Set before the receive
  // thread starts.
  bool m_windowed = false;
  // 0 when the player gave no port. Set after the receive thread started and
  // read there for every frame.
  std::atomic<uint32_t> m_playerPort{0};
  // Set first thing in Teardown; the receive thread checks it before every
  // step of a delivery.
  std::atomic<bool> m_closing{false};
  // Set while the receive thread gives a frame to the player (outside the
  // save mutex): Teardown waits it out before it closes the port.
  std::atomic<bool> m_inPlayer{false};
  platform::CMutex m_saveMutex;
  CStreamQueue m_queue GUARDED_BY(m_saveMutex);
  // Frames for m_queue still in m_assembler's buffer.
  CPendingFrames m_pending GUARDED_BY(m_saveMutex){m_queue};
  CSaveList m_saves GUARDED_BY(m_saveMutex);
  // The newest delivered frame is (or, listed in m_pending, will be) in
  // m_queue: a recording opened now can go on with the next frame without a
  // hole.
  bool m_newestQueued GUARDED_BY(m_saveMutex) = false;
  // Frames delivered so far, numbering them in the queue.
  uint32_t m_sequence GUARDED_BY(m_saveMutex) = 0;
  // Captures without a window, one at a time: held through the wait and the
  // decoding; taken before the save mutex, never while holding it.
  platform::CMutex m_captureMutex;
  // Frames gathered for a capture that waits for a key frame; the receive
  // thread signals m_gathered once they hold a picture, and Teardown
  // signals it too.
  CCaptureRun m_gather GUARDED_BY(m_saveMutex);
  std::condition_variable m_gathered;
  // The stream connection ended: no frame will come.
  bool m_streamEnded GUARDED_BY(m_saveMutex) = false;
  // The last capture's decoder, kept warm in the player (0: none; atomic as
  // Teardown releases it), the sequence number of the frame it needs next
  // and when it was last used.
  std::atomic<uint32_t> m_captureDecoder{0};
  uint32_t m_captureNext GUARDED_BY(m_captureMutex) = 0;
  uint64_t m_captureUsedMs GUARDED_BY(m_captureMutex) = 0;
  CFrameAssembler m_assembler;  // receive thread only
  CTcpStream m_stream;
};

}  // namespace qnv

#endif  // QNV_LIVE_CCHANNEL_H
