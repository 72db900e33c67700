#include "live/CChannel.h"

#include <chrono>
#include <thread>

#include "QNVPlayer.h"
#include "platform/ByteOrder.h"
#include "platform/Clock.h"
#include "platform/FailureNote.h"
#include "platform/File.h"
#include "player/PlayerApi.h"
#include "protocol/Commands.h"
#include "protocol/FrameHeader.h"
#include "transport/CommandTransaction.h"
#include "transport/HostCallbacks.h"

namespace qnv {

using namespace protocol;

namespace {
// Set on every receive thread: a capture there never waits for a frame that
// this very thread (or another channel's, held up meanwhile) would deliver.
thread_local bool t_onReceiveThread = false;

std::atomic<uint32_t> g_captureWaitMs{0};

// A warm decoder is taken for gone a second before the player frees it, so a
// capture never hands the player a decoder that expires under it.
constexpr uint64_t kCaptureWarmMarginMs = 1000;
}  // namespace

void CChannel::SetCaptureWaitForTesting(uint32_t ms) { g_captureWaitMs.store(ms); }

bool CChannel::Open(const char* address, uint16_t port, uint32_t clientId, int32_t channelNo,
                    uint32_t sessionId, uint32_t streamId, HWND window) {
  m_windowed = window != nullptr;
  m_assembler.Reset();
  // Short of memory the buffer stays smaller; frames are then copied into the
  // queue before they are overwritten.
  m_assembler.Reserve(kReassemblyReserve);
  m_clientId = clientId;
  m_channelNo = channelNo;
  m_sessionId = sessionId;
  m_streamId = streamId;
  m_handle = 0;
  if (!m_stream.Connect(address, port, *this, shared_from_this())) {
    m_stream.Close();
    return false;
  }
  // Only a window needs the player now; a capture loads it when asked.
  if (m_windowed) StartPlayer();
  {
    platform::CLockGuard lock(m_saveMutex);
    if (m_windowed) {
      uint32_t port = 0;
      Player().openPort(&port, window, 0, "");
      m_playerPort = port;
      m_handle = port;
    }
    m_queue.SetCapacity(kPreRecordCapacity);
  }
  uint8_t payload[4];
  platform::StoreLe32(payload, m_streamId);
  // A failed send reaches Closed through the connection.
  SendOneWay(m_stream, m_sessionId, kAttachStream.commandClass, kAttachStream.code, payload,
             int32_t(sizeof payload));
  return true;
}

void CChannel::Teardown() {
  m_closing.store(true);
  m_stream.Close();
  // A receive thread left running (inside a host callback) checks m_closing
  // before every delivery step; one giving a frame to the player right now
  // is waited for, so the port is not closed under it.
  while (m_inPlayer.load()) std::this_thread::sleep_for(std::chrono::microseconds(100));
  uint32_t port;
  {
    // The queue and recordings are written under this mutex after checking
    // m_closing, so nothing is written past here.
    platform::CLockGuard lock(m_saveMutex);
    port = m_playerPort.exchange(0);
    m_saves.CloseAll();
  }
  // A capture waiting for a key frame gives up; one decoding finishes with
  // its decoder, which is released here or by that capture, whichever is last.
  m_gathered.notify_all();
  ReleaseCaptureDecoder();
  if (port != 0) Player().closePort(port);
  // The ids stay: a receive thread left finishing a host callback may still
  // read them, and nothing else looks at a torn-down channel.
  m_handle = 0;
}

uint32_t CChannel::Capture(const char* path) {
  using platform::FailureKind;
  using platform::NoteFailure;
  if (path == nullptr) {
    NoteFailure(FailureKind::kBadArgument, 0, "no snapshot path given");
    return QNVNET_ERR_CAPTURE;
  }
  // A FIFO, device or directory is refused before any decoding (the player
  // checks again as it opens the file).
  const std::string refusal = platform::PathRefusal(path, true);
  if (!refusal.empty()) {
    NoteFailure(FailureKind::kBadArgument, 0, "snapshot path \"%s\" is %s", path, refusal.c_str());
    return QNVNET_ERR_CAPTURE;
  }
  if (!m_windowed) {
    if (!StartPlayer()) {
      NoteFailure(FailureKind::kNotFound, 0, "no player library loaded, so nothing is decoded");
      return QNVNET_ERR_CAPTURE;
    }
    return CaptureHeld(path);
  }
  if (m_playerPort == 0) {
    NoteFailure(FailureKind::kBadArgument, 0, "the channel has no player port");
    return QNVNET_ERR_CAPTURE;
  }
  if (Player().capture(m_playerPort.load(), path) == 0) return 0;
  if (!PlayerIsLoaded())
    NoteFailure(FailureKind::kNotFound, 0, "no player library loaded, so nothing is decoded");
  else
    NoteFailure(FailureKind::kSystem, 0,
                "no image written (no decodable picture yet, or the file could not be written)");
  return QNVNET_ERR_CAPTURE;
}

void CChannel::ReleaseCaptureDecoder() {
  if (uint32_t decoder = m_captureDecoder.exchange(0)) Player().releaseDecoder(decoder);
}

bool CChannel::CopyCaptureRun(CCaptureRun& run, bool warm, bool mayWait) {
  using platform::FailureKind;
  using platform::NoteFailure;
  platform::CUniqueLock lock(m_saveMutex);
  if (m_closing.load()) {
    NoteFailure(FailureKind::kNotFound, 0, "the channel was closed");
    return false;
  }
  m_pending.Flush();  // the whole stretch into the queue
  if (run.CopyFrom(m_queue, warm ? &m_captureNext : nullptr) != CCaptureRun::EFrom::kNothing)
    return true;
  if (!mayWait || m_paused.load() || m_streamEnded) {
    NoteFailure(FailureKind::kNotFound, 0,
                "the channel holds no key frame to decode from (%s; a timed pre-record of a "
                "group of pictures or more makes captures instant)",
                !mayWait   ? "a stream callback never waits for one"
                : m_paused ? "the stream is paused"
                           : "the stream has ended");
    return false;
  }
  // The receive thread gathers the frames from the next key frame on.
  const uint32_t waitMs = g_captureWaitMs.load() != 0 ? g_captureWaitMs.load() : kCaptureWaitMs;
  m_gather.Arm();
  // The lock is let go while waiting and held again for each look.
  m_gathered.wait_for(lock.Native(), std::chrono::milliseconds(waitMs),
                      [&]() REQUIRES(m_saveMutex) {
                        return m_closing.load() || m_streamEnded || m_gather.Ready();
                      });
  const bool ready = m_gather.Ready();
  const bool closing = m_closing.load();
  m_gather.Disarm();
  if (closing) {
    NoteFailure(FailureKind::kNotFound, 0, "the channel was closed");
  } else if (ready) {
    run.TakeFrom(m_gather);
  } else if (m_streamEnded) {
    NoteFailure(FailureKind::kNetwork, 0,
                "the stream ended before a key frame arrived to decode from");
  } else {
    NoteFailure(FailureKind::kNoAnswer, 0,
                "no key frame arrived within %u ms (a timed pre-record of a group of pictures "
                "or more makes captures instant)",
                waitMs);
  }
  return ready && !closing;
}

uint32_t CChannel::CaptureHeld(const char* path) {
  using platform::FailureKind;
  using platform::NoteFailure;
  const bool mayWait = !t_onReceiveThread;
  if (mayWait) {
    m_captureMutex.Lock();
  } else if (!m_captureMutex.TryLock()) {
    NoteFailure(FailureKind::kLimit, 0,
                "another capture of this channel is under way, and a capture from a stream "
                "callback never waits");
    return QNVNET_ERR_CAPTURE;
  }
  platform::CLockGuard capture(m_captureMutex, std::adopt_lock);
  CCaptureRun run;
  int rc = QNVPLAYER_ERR_HANDLE;
  // A second round only when the player no longer had the warm decoder.
  for (int round = 0; round < 2 && rc == QNVPLAYER_ERR_HANDLE; ++round) {
    uint32_t decoder = m_captureDecoder.load();
    if (decoder != 0 &&
        platform::MonotonicMs() - m_captureUsedMs + kCaptureWarmMarginMs >= kCaptureWarmMs) {
      ReleaseCaptureDecoder();
      decoder = 0;
    }
    if (!CopyCaptureRun(run, decoder != 0, mayWait)) return QNVNET_ERR_CAPTURE;
    // Decoded outside every lock: frames, keep-alives and calls go on.
    const uint32_t used = decoder;
    rc = Player().captureRun(&decoder, kCaptureWarmMs, run.Records(), run.Count(), run.Data(),
                             run.DataLength(), path);
    if (rc == QNVPLAYER_ERR_HANDLE) {
      // The player let the decoder go: start again from a key frame.
      uint32_t expected = used;
      m_captureDecoder.compare_exchange_strong(expected, 0);
      continue;
    }
    // Teardown may have taken the old handle meanwhile; the player then kept
    // nothing (decoder 0).
    if (uint32_t old = m_captureDecoder.exchange(decoder); old != 0 && old != decoder)
      Player().releaseDecoder(old);
    m_captureNext = run.NextSequence();
    m_captureUsedMs = platform::MonotonicMs();
    if (m_closing.load()) ReleaseCaptureDecoder();
  }
  switch (rc) {
    case QNVPLAYER_OK:
      return QNVNET_OK;
    case QNVPLAYER_ERR_NO_PICTURE:
      NoteFailure(FailureKind::kSystem, 0, "no picture could be decoded from the held frames");
      break;
    case QNVPLAYER_ERR_WRITE:
      NoteFailure(FailureKind::kSystem, 0, "the image file \"%s\" could not be written", path);
      break;
    default:
      NoteFailure(FailureKind::kSystem, 0, "the player could not decode (code %d)", rc);
      break;
  }
  return QNVNET_ERR_CAPTURE;
}

uint32_t CChannel::SaveOpen(const char* path, uint32_t& id) {
  if (path == nullptr) return QNVNET_ERR_SAVE_OPEN;
  platform::CLockGuard lock(m_saveMutex);
  m_pending.Flush();  // the whole stretch into the queue, which the recording reads
  uint32_t opened = 0;
  uint32_t rc = m_saves.Open(path, m_queue, opened);
  if (rc != QNVNET_OK) return rc;
  // A stretch that ends with the newest frame is continued by the next one;
  // waiting for a key frame would drop up to a group of pictures between the
  // two parts. An empty stretch, or one that misses the newest frame, would
  // leave a hole or an undecodable start: that recording waits.
  if (m_newestQueued && m_queue.Count() > 0) m_saves.StartNow(opened);
  id = opened;
  return QNVNET_OK;
}

uint32_t CChannel::SaveRollover(uint32_t id, const char* newPath, uint32_t& newId) {
  if (newPath == nullptr) return QNVNET_ERR_SAVE_OPEN;
  platform::CLockGuard lock(m_saveMutex);
  return m_saves.Rollover(id, newPath, newId);
}

uint32_t CChannel::SetPreRecord(uint32_t milliseconds, uint32_t maxBytes) {
  if (milliseconds > kMaxPreRecordMs) return QNVNET_ERR_BAD_ARGUMENT;
  if (milliseconds != 0 && maxBytes == 0) maxBytes = kDefaultPreRecordBytes;
  if (milliseconds != 0 && (maxBytes < kMinPreRecordBytes || maxBytes > kMaxPreRecordBytes))
    return QNVNET_ERR_BAD_ARGUMENT;
  platform::CLockGuard lock(m_saveMutex);
  // The listed frames refer to the queue being replaced: hand them over first.
  m_pending.Flush();
  if (milliseconds == 0) {
    m_queue.Reconfigure(kPreRecordCapacity, 0);
  } else {
    m_queue.Reconfigure(int32_t(maxBytes), milliseconds);
  }
  m_newestQueued = false;
  return QNVNET_OK;
}

uint32_t CChannel::SetStallTimeout(uint32_t milliseconds) {
  if (milliseconds != 0 && (milliseconds < kMinStallMs || milliseconds > kMaxStallMs))
    return QNVNET_ERR_BAD_ARGUMENT;
  m_stallRestart.store(true);
  m_stallTimeoutMs.store(milliseconds);
  return QNVNET_OK;
}

void CChannel::SetPaused(bool paused) {
  m_stallRestart.store(true);
  m_paused.store(paused);
}

bool CChannel::CheckStall(uint64_t nowMs) {
  const uint32_t timeout = m_stallTimeoutMs.load();
  if (timeout == 0 || m_closing.load() || m_loss.Reason() != 0) return false;
  // The count the receive thread keeps anyway: no clock read per frame. A
  // frame is dated by the look that first saw it, at most kCheckMs late.
  const uint64_t frames = m_assembler.DeliveredFrames();
  if (m_stallRestart.exchange(false) || frames != m_stallFrames || m_paused.load()) {
    m_stallFrames = frames;
    m_stallSinceMs = nowMs;
    return true;
  }
  if (nowMs - m_stallSinceMs < timeout) return true;
  // Told through the receive thread, as any lost stream: the shut-down
  // socket ends its read, and Closed finds this reason.
  if (m_loss.Set(QNVNET_LOSS_STREAM_STALLED, int32_t(timeout))) m_stream.Abort();
  return false;
}

QNVNetLoss CChannel::Loss() const {
  QNVNetLoss loss{0, m_clientId, m_handle.load(), 0};
  m_loss.Get(loss.reason, loss.detail);
  return loss;
}

uint32_t CChannel::SaveClose(uint32_t id) {
  platform::CLockGuard lock(m_saveMutex);
  return m_saves.Close(id);
}

SReceiveArea CChannel::ReceiveArea() {
  // Reads always go straight into the reassembly buffer, behind the bytes it
  // holds: frames are delivered where they arrived, with no copy even for
  // those that straddle two reads, and the pre-record queue lists them there
  // (m_pending) instead of copying them. The assembler always has at least
  // one byte to offer, so no read ever needs a buffer of its own.
  // Listed frames in the bytes about to be overwritten go to the queue first.
  // Only this thread lists frames, so it can tell without the save mutex that
  // none lies there, which is the rule: listed frames are the newest ones and
  // the area is where the oldest bytes were.
  const CFrameAssembler::SAreaPlan plan = m_assembler.PlanArea(kMaxRead);
  if (m_pending.MayHold(plan.overwriteFrom, plan.overwriteTo)) {
    platform::CLockGuard lock(m_saveMutex);
    m_pending.Forget(plan.overwriteFrom, plan.overwriteTo);
  }
  uint32_t size = 0;
  uint8_t* area = m_assembler.TakeArea(plan, &size);
  return {area, size};
}

uint64_t CChannel::Received(uint32_t length) {
  t_onReceiveThread = true;
  if (m_closing.load()) return 0;
  // A callback closed the channel: it is not touched again. Otherwise the
  // next read is worth waking for once the frame being assembled can be
  // complete; no frame is delivered later for it, as none could be delivered
  // before those bytes.
  return m_assembler.Received(length, this) ? m_assembler.Wanted() : 0;
}

bool CChannel::Frame(uint8_t* frame, uint32_t length) {
  if (m_windowed) {
    // Announced before m_closing is checked, and Teardown sets m_closing
    // before it looks here: either this frame sees the close, or Teardown
    // waits for it.
    m_inPlayer.store(true);
    if (m_closing.load()) {
      m_inPlayer.store(false);
      return false;
    }
    Player().input(m_playerPort.load(), frame, int32_t(length));
    m_inPlayer.store(false);
  } else if (m_closing.load()) {
    return false;
  }
  if (QNVNetStreamCallback cb = Callbacks().stream.load()) {
    if (m_closing.load()) return false;
    CCallbackScope scope;  // closed by UnInitLib: the frame goes nowhere
    if (!scope.Entered()) return false;
    cb(m_clientId, m_stream.PeerAddress(), m_stream.PeerPort(), reinterpret_cast<char*>(frame),
       int32_t(length), Callbacks().user.load());
  }
  platform::CLockGuard lock(m_saveMutex);
  // The callback may have closed this channel (or its session).
  if (m_closing.load()) return false;
  SFrameIndex header = SFrameIndex::From(frame);
  const uint8_t* body = frame + kFrameHeaderSize;
  uint32_t bodyLength = length - uint32_t(kFrameHeaderSize);
  const uint32_t sequence = m_sequence++;
  if (m_queue.TimeSpanMs() != 0) {
    // Kept by arrival time, so appended now rather than listed for later.
    m_newestQueued =
        m_queue.Append(body, int32_t(bodyLength), header, true, platform::MonotonicMs(), sequence);
  } else {
    m_pending.Add(body, int32_t(bodyLength), header, sequence);
    // Listed frames reach the queue in order; only one longer than it is refused.
    m_newestQueued = int64_t(bodyLength) <= m_queue.GetCapacity();
  }
  // A capture waits for a key frame: from there, every frame is gathered for it.
  if (m_gather.Armed()) {
    m_gather.Gather(header, body, bodyLength, sequence);
    if (m_gather.Ready()) m_gathered.notify_all();
  }
  m_saves.WriteFrame(header, body, bodyLength);
  return true;
}

void CChannel::Closed() {
  t_onReceiveThread = true;
  {
    // No more frames: a capture waiting for a key frame gives up.
    platform::CLockGuard lock(m_saveMutex);
    m_streamEnded = true;
  }
  m_gathered.notify_all();
  if (m_closing.load()) return;
  // A stall set its reason before it shut the stream down; otherwise the
  // connection broke.
  m_loss.Set(QNVNET_LOSS_BROKEN_CONNECTION, m_stream.FailureError());
  CallDisconnect(m_clientId, m_stream.PeerAddress(), m_stream.PeerPort(), Loss());
}

}  // namespace qnv
