#include "live/CChannel.h"

#include <chrono>
#include <thread>

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

bool CChannel::Open(const char* address, uint16_t port, uint32_t clientId, int32_t channelNo,
                    uint32_t sessionId, uint32_t streamId, HWND window) {
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
  {
    std::lock_guard<std::mutex> lock(m_saveMutex);
    uint32_t port = 0;
    // A null window gets a headless port, so snapshots work there too.
    Player().openPort(&port, window, 0, "");
    m_playerPort = port;
    m_handle = port;
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
    std::lock_guard<std::mutex> lock(m_saveMutex);
    port = m_playerPort.exchange(0);
    m_saves.CloseAll();
  }
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
  if (m_playerPort == 0) {
    NoteFailure(FailureKind::kBadArgument, 0, "the channel has no player port");
    return QNVNET_ERR_CAPTURE;
  }
  // A FIFO, device or directory is refused before any decoding (the player
  // checks again as it opens the file).
  const std::string refusal = platform::PathRefusal(path, true);
  if (!refusal.empty()) {
    NoteFailure(FailureKind::kBadArgument, 0, "snapshot path \"%s\" is %s", path, refusal.c_str());
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

uint32_t CChannel::SaveOpen(const char* path, uint32_t& id) {
  if (path == nullptr) return QNVNET_ERR_SAVE_OPEN;
  std::lock_guard<std::mutex> lock(m_saveMutex);
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
  std::lock_guard<std::mutex> lock(m_saveMutex);
  return m_saves.Rollover(id, newPath, newId);
}

uint32_t CChannel::SetPreRecord(uint32_t milliseconds, uint32_t maxBytes) {
  if (milliseconds > kMaxPreRecordMs) return QNVNET_ERR_BAD_ARGUMENT;
  if (milliseconds != 0 && maxBytes == 0) maxBytes = kDefaultPreRecordBytes;
  if (milliseconds != 0 && (maxBytes < kMinPreRecordBytes || maxBytes > kMaxPreRecordBytes))
    return QNVNET_ERR_BAD_ARGUMENT;
  std::lock_guard<std::mutex> lock(m_saveMutex);
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
  std::lock_guard<std::mutex> lock(m_saveMutex);
  return m_saves.Close(id);
}

SReceiveArea CChannel::ReceiveArea() {
  // Reads go straight into the reassembly buffer: frames are delivered where
  // they arrived, with no copy for those that straddle two reads. Listed
  // frames in the bytes about to be overwritten go to the queue first.
  // Only this thread lists frames, so it can tell without the save mutex that
  // none lies there, which is the rule: listed frames are the newest ones and
  // the area is where the oldest bytes were.
  const CFrameAssembler::SAreaPlan plan = m_assembler.PlanArea(kMaxRead);
  if (m_pending.MayHold(plan.overwriteFrom, plan.overwriteTo)) {
    std::lock_guard<std::mutex> lock(m_saveMutex);
    m_pending.Forget(plan.overwriteFrom, plan.overwriteTo);
  }
  uint32_t size = 0;
  uint8_t* area = m_assembler.TakeArea(plan, &size);
  return {area, size, true};
}

uint64_t CChannel::Received(const SReceiveArea& area, uint32_t length) {
  if (m_closing.load()) return 0;
  CDelivery delivery(*this, area.inPlace);
  bool open;
  if (area.inPlace) {
    open = m_assembler.Received(length, &delivery);
  } else {
    // Read elsewhere: reassembly may now copy into its buffer, over listed frames.
    {
      std::lock_guard<std::mutex> lock(m_saveMutex);
      m_pending.Flush();
    }
    open = m_assembler.FeedInPlace(area.data, length, &delivery);
  }
  // A callback closed the channel: it is not touched again. Otherwise the
  // next read is worth waking for once the frame being assembled can be
  // complete; no frame is delivered later for it, as none could be delivered
  // before those bytes.
  return open ? m_assembler.Wanted() : 0;
}

bool CChannel::Dispatch(uint8_t* frame, uint32_t length, bool inPlace) {
  // Announced before m_closing is checked, and Teardown sets m_closing before
  // it looks here: either this frame sees the close, or Teardown waits for it.
  m_inPlayer.store(true);
  if (m_closing.load()) {
    m_inPlayer.store(false);
    return false;
  }
  Player().input(m_playerPort.load(), frame, int32_t(length));
  m_inPlayer.store(false);
  if (QNVNetStreamCallback cb = Callbacks().stream.load()) {
    if (m_closing.load()) return false;
    cb(m_clientId, m_stream.PeerAddress(), m_stream.PeerPort(), reinterpret_cast<char*>(frame),
       int32_t(length), Callbacks().user.load());
  }
  std::lock_guard<std::mutex> lock(m_saveMutex);
  // The callback may have closed this channel (or its session).
  if (m_closing.load()) return false;
  SFrameIndex header = SFrameIndex::From(frame);
  const uint8_t* body = frame + kFrameHeaderSize;
  uint32_t bodyLength = length - uint32_t(kFrameHeaderSize);
  if (m_queue.TimeSpanMs() != 0) {
    // Kept by arrival time, so appended now rather than listed for later.
    m_newestQueued =
        m_queue.Append(body, int32_t(bodyLength), header, true, platform::MonotonicMs());
  } else if (inPlace) {
    m_pending.Add(body, int32_t(bodyLength), header);
    // Listed frames reach the queue in order; only one longer than it is refused.
    m_newestQueued = int64_t(bodyLength) <= m_queue.GetCapacity();
  } else {
    m_newestQueued = m_queue.Append(body, int32_t(bodyLength), header, true);
  }
  m_saves.WriteFrame(header, body, bodyLength);
  return true;
}

void CChannel::Closed() {
  if (m_closing.load()) return;
  // A stall set its reason before it shut the stream down; otherwise the
  // connection broke.
  m_loss.Set(QNVNET_LOSS_BROKEN_CONNECTION, m_stream.FailureError());
  CallDisconnect(m_clientId, m_stream.PeerAddress(), m_stream.PeerPort(), Loss());
}

}  // namespace qnv
