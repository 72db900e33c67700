#include "streaming/CRtspFeed.h"

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include <cstring>

#include "QNVNetSdk.h"
#include "base/FramePayload.h"
#include "base/Log.h"

namespace qnvrecorder {
namespace {

using FrameHeader = QNVNetFrameHeader;
// A client with this much queued and unsent is skipped up to the next key frame.
constexpr guint64 kMaxClientBacklog = 8u << 20;
// More than this since a key frame is not held (a camera with a very long GOP
// then starts clients at its next key frame).
constexpr size_t kMaxHeldBytes = 32u << 20;
// Capture times in this range (2000-01-01 to 2200-01-01 in microseconds since
// 1970) are wall-clock times that clients may be told; others (a device clock
// counting from its boot) are not.
constexpr uint64_t kWallClockFromUs = 946684800ull * 1000000;
constexpr uint64_t kWallClockToUs = 7258118400ull * 1000000;

}  // namespace

CRtspFeed::~CRtspFeed() {
  qnv::locks::CLockGuard lock(m_mutex);
  ClearHeld();
  if (m_sps.buffer) gst_buffer_unref(m_sps.buffer);
  if (m_pps.buffer) gst_buffer_unref(m_pps.buffer);
  for (SClient& c : m_clients) gst_object_unref(c.src);
}

void CRtspFeed::ClearHeld() {
  for (SHeld& h : m_gop) gst_buffer_unref(h.buffer);
  m_gop.clear();
  m_gopBytes = 0;
}

void CRtspFeed::Send(SClient& client, const SHeld& held) {
  if (client.ended) return;
  if (!client.started) {
    client.started = true;
    client.baseUs = held.captureUs;
    if (client.wallBase && held.captureUs >= kWallClockFromUs && held.captureUs < kWallClockToUs) {
      client.wallBase->captureUs = held.captureUs;
    }
  }
  // A shallow copy: the bytes are shared, the timestamp is this client's.
  GstBuffer* buffer = gst_buffer_copy(held.buffer);
  uint64_t ns = held.captureUs > client.baseUs ? (held.captureUs - client.baseUs) * 1000 : 0;
  if (ns < client.lastNs) ns = client.lastNs;  // a capture clock that steps back
  client.lastNs = ns;
  GST_BUFFER_PTS(buffer) = ns;
  gst_app_src_push_buffer(GST_APP_SRC(client.src), buffer);
}

void CRtspFeed::Push(const uint8_t* frame, size_t length, const QNVNetFrameNal& nal) {
  FrameHeader header;
  const uint8_t* body = nullptr;
  size_t payload = 0;
  if (!FramePayload(frame, length, header, body, payload)) return;
  // A key picture may carry its parameter sets in the same frame: it is a
  // start point all the same.
  const bool key = nal.keyPicture;
  SHeld held{gst_buffer_new_memdup(body, payload), header.CaptureTime()};

  qnv::locks::CLockGuard lock(m_mutex);
  if (!key && (nal.type == QNVNetFrameNal::kTypeSps || nal.type == QNVNetFrameNal::kTypePps)) {
    SHeld& slot = nal.type == QNVNetFrameNal::kTypeSps ? m_sps : m_pps;
    if (slot.buffer) gst_buffer_unref(slot.buffer);
    slot = {gst_buffer_ref(held.buffer), held.captureUs};
  } else if (key) {
    ClearHeld();
    // The parameter sets sent just before this key frame start the stretch.
    for (SHeld* p : {&m_sps, &m_pps}) {
      if (p->buffer) m_gop.push_back({gst_buffer_ref(p->buffer), held.captureUs});
    }
    m_gop.push_back({gst_buffer_ref(held.buffer), held.captureUs});
  } else if (!m_gop.empty()) {
    m_gopBytes += payload;
    if (m_gopBytes > kMaxHeldBytes) {
      ClearHeld();
    } else {
      m_gop.push_back({gst_buffer_ref(held.buffer), held.captureUs});
    }
  }

  for (SClient& c : m_clients) {
    if (c.ended) continue;
    if (!c.waitKey && gst_app_src_get_current_level_bytes(GST_APP_SRC(c.src)) > kMaxClientBacklog) {
      LOG_WARN("rtsp %s: a client is too slow; skipping to the next key frame", m_name.c_str());
      c.waitKey = true;
    }
    if (c.waitKey) {
      if (!key) continue;
      c.waitKey = false;
      for (SHeld* p : {&m_sps, &m_pps}) {
        if (p->buffer) Send(c, {p->buffer, held.captureUs});
      }
    }
    Send(c, held);
  }
  gst_buffer_unref(held.buffer);
}

void CRtspFeed::SetUp() {
  qnv::locks::CLockGuard lock(m_mutex);
  m_up = true;
}

void CRtspFeed::SetDown() {
  qnv::locks::CLockGuard lock(m_mutex);
  m_up = false;
  ClearHeld();
  for (SClient& c : m_clients) {
    if (!c.ended) gst_app_src_end_of_stream(GST_APP_SRC(c.src));
    c.ended = true;
  }
}

bool CRtspFeed::Up() const {
  qnv::locks::CLockGuard lock(m_mutex);
  return m_up;
}

bool CRtspFeed::Playable() const {
  qnv::locks::CLockGuard lock(m_mutex);
  return m_up && !m_gop.empty();
}

void CRtspFeed::AddClient(GstElement* appsrc, std::shared_ptr<SClientBase> base) {
  qnv::locks::CLockGuard lock(m_mutex);
  SClient client;
  client.src = GST_ELEMENT(gst_object_ref(appsrc));
  client.wallBase = std::move(base);
  if (!m_up) {
    gst_app_src_end_of_stream(GST_APP_SRC(appsrc));
    client.ended = true;
  } else if (m_gop.empty()) {
    client.waitKey = true;
  } else {
    for (const SHeld& h : m_gop) Send(client, h);
  }
  m_clients.push_back(client);
}

void CRtspFeed::RemoveClient(GstElement* appsrc) {
  qnv::locks::CLockGuard lock(m_mutex);
  for (auto it = m_clients.begin(); it != m_clients.end(); ++it) {
    if (it->src == appsrc) {
      gst_object_unref(it->src);
      m_clients.erase(it);
      return;
    }
  }
}

size_t CRtspFeed::ClientCount() const {
  qnv::locks::CLockGuard lock(m_mutex);
  return m_clients.size();
}

}  // namespace qnvrecorder
