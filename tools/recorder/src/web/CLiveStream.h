// CLiveStream: one camera's live picture for the web page's viewers, as
// fragmented MP4. Keeps the pictures since the last key picture, so a viewer
// that joins starts there and sees a picture at once. The muxer runs only
// while someone watches: with no viewer a frame costs a copy and no more.
// Each viewer has a queue its server connection empties; a viewer that does
// not confirm what it received (Ack) falls behind, is skipped to the next key
// picture once kMaxBacklog bytes are unconfirmed, and is cut off when it
// confirms nothing for kStallCutOff. The camera's thread never waits for a
// viewer.
// Push/SetDown come from the camera's threads (the library's receive thread,
// its supervising thread); the viewer calls from the web server's thread;
// all may run at once. Lives as long as the server that holds its viewers.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qnvlocks/Locks.h"
#include "qnvrecording/CAccessUnitBuilder.h"
#include "web/CFmp4Muxer.h"

namespace qnvrecorder {

class CLiveStream {
 public:
  using Chunk = std::shared_ptr<const std::string>;
  using Clock = std::chrono::steady_clock;

  static constexpr size_t kMaxBacklog = 4u << 20;
  static constexpr std::chrono::seconds kStallCutOff{15};
  // More than this since a key picture is not held.
  static constexpr size_t kMaxHeldBytes = 32u << 20;

  // stallCutOff: how long a viewer may confirm nothing (tests shorten it).
  explicit CLiveStream(std::string name, std::chrono::milliseconds stallCutOff = kStallCutOff);
  ~CLiveStream();
  CLiveStream(const CLiveStream&) = delete;
  CLiveStream& operator=(const CLiveStream&) = delete;

  const std::string& Name() const { return m_name; }

  // Called, without the stream's lock, when a viewer's queue has something
  // new; must not block. Set before the first Push.
  void SetNotify(std::function<void()> notify) { m_notify = std::move(notify); }

  // One stream frame as the library delivers it (40-byte header first).
  void Push(const uint8_t* frame, size_t length);
  // The camera is gone: what is held goes, viewers start anew at its next
  // key picture.
  void SetDown();

  uint64_t AddViewer();
  void RemoveViewer(uint64_t viewer);
  // Moves what waits for the viewer into chunks (each one WebSocket message:
  // the initialisation segment, then one fragment per picture). False when
  // the viewer is unknown or has been cut off.
  // baseUs: when the chunks hold an initialisation segment, the capture
  // time (microseconds since 1970) of the stream's time zero, else 0.
  bool Take(uint64_t viewer, std::vector<Chunk>& chunks, Clock::time_point now, uint64_t& baseUs);
  // The viewer has received this many bytes in all (its server bounds what
  // a client says by what its connection delivered).
  void Ack(uint64_t viewer, uint64_t bytes, Clock::time_point now);
  size_t ViewerCount() const;
  // The H.264 bytes pushed so far (for the bit rate).
  uint64_t BytesIn() const { return m_bytesIn.load(std::memory_order_relaxed); }
  // The MIME type of the stream ("" before its first key picture).
  std::string MimeType() const;

 private:
  struct SViewer {
    std::deque<Chunk> queue;
    uint64_t queuedBytes = 0;
    uint64_t takenBytes = 0;  // handed to the connection
    uint64_t ackedBytes = 0;
    Clock::time_point lastProgress;
    bool needInit = true;  // waits for an initialisation segment
    bool waitKey = false;  // skipping to the next key picture
    uint64_t baseUs = 0;   // of an initialisation segment queued, not yet taken
  };

  void OnPicture(qnvrec::SAccessUnit& unit) REQUIRES(m_mutex);
  bool StartMuxer() REQUIRES(m_mutex);
  void Deliver(SViewer& viewer, const Chunk& chunk, bool key) REQUIRES(m_mutex);
  void Enqueue(SViewer& viewer, const Chunk& chunk) REQUIRES(m_mutex);
  void ResetHeld() REQUIRES(m_mutex);

  const std::string m_name;
  const std::chrono::milliseconds m_stallCutOff;
  std::function<void()> m_notify;
  mutable qnv::locks::CMutex m_mutex;
  qnvrec::CAccessUnitBuilder m_builder GUARDED_BY(m_mutex);
  uint64_t m_nextStampUs GUARDED_BY(m_mutex) = 0;  // the capture time of the frame being added
  int64_t m_lastIntervalUs GUARDED_BY(m_mutex) = 40000;
  std::vector<uint8_t> m_sps GUARDED_BY(m_mutex), m_pps GUARDED_BY(m_mutex);
  std::vector<qnvrec::SAccessUnit> m_held GUARDED_BY(m_mutex);  // key picture first
  size_t m_heldBytes GUARDED_BY(m_mutex) = 0;
  std::unique_ptr<CFmp4Muxer> m_muxer GUARDED_BY(m_mutex);  // while someone watches
  std::vector<uint8_t> m_muxerSps GUARDED_BY(m_mutex), m_muxerPps GUARDED_BY(m_mutex);
  uint64_t m_muxerBaseUs GUARDED_BY(m_mutex) = 0;
  Chunk m_init GUARDED_BY(m_mutex);
  std::vector<Chunk> m_fragments GUARDED_BY(m_mutex);  // since the last key picture, muxed
  std::map<uint64_t, SViewer> m_viewers GUARDED_BY(m_mutex);
  uint64_t m_nextViewer GUARDED_BY(m_mutex) = 1;
  bool m_notifyDue GUARDED_BY(m_mutex) = false;
  std::atomic<uint64_t> m_bytesIn{0};
};

}  // namespace qnvrecorder
