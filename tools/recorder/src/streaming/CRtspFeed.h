// CRtspFeed: one camera's frames on their way to its RTSP clients. Keeps the
// parameter sets and every frame since the last key frame, so a client that
// joins starts there and shows a picture at once, and hands each frame to
// every client's appsrc with a timestamp taken from the device's capture
// time. A client that falls behind is skipped up to the next key frame; the
// camera's own thread never waits for a client.
// Push/SetUp/SetDown come from the camera (its library receive thread and its
// supervising thread), AddClient/RemoveClient from the RTSP server's thread;
// all may run at once. Lives as long as its mount and the media using it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "QNVNetSdk.h"
#include "qnvlocks/Locks.h"

typedef struct _GstBuffer GstBuffer;
typedef struct _GstElement GstElement;

namespace qnvrecorder {

class CRtspFeed {
 public:
  explicit CRtspFeed(std::string name) : m_name(std::move(name)) {}
  ~CRtspFeed();
  CRtspFeed(const CRtspFeed&) = delete;
  CRtspFeed& operator=(const CRtspFeed&) = delete;

  const std::string& Name() const { return m_name; }

  // One stream frame as the library delivers it (40-byte header first) and
  // what its payload holds: clients start at a key picture, with the newest
  // parameter sets ahead of it.
  void Push(const uint8_t* frame, size_t length, const QNVNetFrameNal& nal);
  void SetUp();
  // The camera is gone: clients get end-of-stream and new ones are refused.
  void SetDown();
  // True when a client can start now (the camera is up and a key frame is held).
  bool Playable() const;
  // True while the camera is connected (between SetUp and SetDown).
  bool Up() const;

  // The capture time (microseconds since 1970) that a client's timestamp 0
  // stands for: 0 until its first frame, and when the device's clock is not
  // a wall clock. Written once under the feed's lock, read by the client's
  // streaming thread.
  struct SClientBase {
    std::atomic<uint64_t> captureUs{0};
  };
  // appsrc: a new client's source element (a reference is taken); base, when
  // given, receives the client's base capture time.
  void AddClient(GstElement* appsrc, std::shared_ptr<SClientBase> base = nullptr);
  void RemoveClient(GstElement* appsrc);
  size_t ClientCount() const;

 private:
  struct SHeld {
    GstBuffer* buffer;  // the H.264 bytes, start code first
    uint64_t captureUs;
  };
  struct SClient {
    GstElement* src = nullptr;
    bool started = false;  // base is set
    bool waitKey = false;  // skipping up to the next key frame
    bool ended = false;
    uint64_t baseUs = 0;
    uint64_t lastNs = 0;
    std::shared_ptr<SClientBase> wallBase;
  };

  void Send(SClient& client, const SHeld& held) REQUIRES(m_mutex);
  void ClearHeld() REQUIRES(m_mutex);

  const std::string m_name;
  mutable qnv::locks::CMutex m_mutex;
  bool m_up GUARDED_BY(m_mutex) = false;
  SHeld m_sps GUARDED_BY(m_mutex){nullptr, 0}, m_pps GUARDED_BY(m_mutex){nullptr, 0};
  // Key frame first; empty: no start point yet.
  std::vector<SHeld> m_gop GUARDED_BY(m_mutex);
  size_t m_gopBytes GUARDED_BY(m_mutex) = 0;
  std::vector<SClient> m_clients GUARDED_BY(m_mutex);
};

}  // namespace qnvrecorder
