#include "web/CLiveStream.h"

#include <cstring>
#include <utility>

#include "QNVNetSdk.h"
#include "base/FramePayload.h"
#include "base/Log.h"

namespace qnvrecorder {
namespace {

using FrameHeader = QNVNetFrameHeader;

// Gaps in capture time beyond this are not a picture's duration.
constexpr int64_t kMaxIntervalUs = 1000000;

}  // namespace

CLiveStream::CLiveStream(std::string name, std::chrono::milliseconds stallCutOff)
    : m_name(std::move(name)),
      m_stallCutOff(stallCutOff),
      // The builder calls back from Push, under m_mutex.
      m_builder([this](qnvrec::SAccessUnit& unit) REQUIRES(m_mutex) {
        OnPicture(unit);
        return true;
      }) {}

CLiveStream::~CLiveStream() = default;

void CLiveStream::Push(const uint8_t* frame, size_t length) {
  FrameHeader header;
  const uint8_t* data = nullptr;
  size_t payload = 0;
  if (!FramePayload(frame, length, header, data, payload)) return;
  m_bytesIn.fetch_add(payload, std::memory_order_relaxed);
  const std::vector<qnvrec::SNalRef> nals = qnvrec::SplitAnnexB(data, payload);
  bool notify = false;
  {
    qnv::locks::CLockGuard lock(m_mutex);
    m_nextStampUs = header.CaptureTime();
    for (const qnvrec::SNalRef& nal : nals) {
      if (nal.Type() == qnvrec::kNalSps) m_sps.assign(nal.data, nal.data + nal.size);
      if (nal.Type() == qnvrec::kNalPps) m_pps.assign(nal.data, nal.data + nal.size);
      m_builder.Add(nal, header.Counter(), header.CaptureTime());
    }
    notify = m_notifyDue;
    m_notifyDue = false;
  }
  if (notify && m_notify) m_notify();
}

void CLiveStream::ResetHeld() {
  m_held.clear();
  m_heldBytes = 0;
  m_fragments.clear();
}

void CLiveStream::SetDown() {
  qnv::locks::CLockGuard lock(m_mutex);
  m_builder.Finish();
  ResetHeld();
  m_muxer.reset();
  m_init.reset();
  for (auto& [id, v] : m_viewers) v.needInit = true;
}

bool CLiveStream::StartMuxer() {
  if (m_sps.empty() || m_pps.empty() || m_held.empty()) return false;
  auto muxer = std::make_unique<CFmp4Muxer>();
  std::string init, error;
  if (!muxer->Begin({m_sps.data(), m_sps.size()}, {m_pps.data(), m_pps.size()}, init, error)) {
    LOG_WARN("web %s: cannot show the live picture: %s", m_name.c_str(), error.c_str());
    return false;
  }
  m_muxer = std::move(muxer);
  m_muxerSps = m_sps;
  m_muxerPps = m_pps;
  m_muxerBaseUs = m_held.front().stampUs;
  m_init = std::make_shared<const std::string>(std::move(init));
  m_fragments.clear();
  for (size_t i = 0; i < m_held.size(); ++i) {
    const int64_t t = static_cast<int64_t>(m_held[i].stampUs - m_muxerBaseUs);
    const int64_t next = i + 1 < m_held.size()
                             ? static_cast<int64_t>(m_held[i + 1].stampUs - m_muxerBaseUs)
                             : t + m_lastIntervalUs;
    std::string fragment;
    if (!m_muxer->Write(m_held[i], t, next > t ? next - t : m_lastIntervalUs, fragment, error)) {
      LOG_WARN("web %s: %s", m_name.c_str(), error.c_str());
      m_muxer.reset();
      m_init.reset();
      m_fragments.clear();
      return false;
    }
    m_fragments.push_back(std::make_shared<const std::string>(std::move(fragment)));
  }
  return true;
}

void CLiveStream::Enqueue(SViewer& viewer, const Chunk& chunk) {
  if (viewer.queue.empty()) m_notifyDue = true;
  viewer.queue.push_back(chunk);
  viewer.queuedBytes += chunk->size();
}

void CLiveStream::Deliver(SViewer& viewer, const Chunk& chunk, bool key) {
  if (viewer.needInit) {
    if (!key || !m_init) return;
    viewer.needInit = false;
    viewer.waitKey = false;
    viewer.baseUs = m_muxerBaseUs;
    Enqueue(viewer, m_init);
  }
  const uint64_t unconfirmed = viewer.takenBytes - viewer.ackedBytes + viewer.queuedBytes;
  if (!viewer.waitKey && unconfirmed + chunk->size() > kMaxBacklog) {
    LOG_WARN("web %s: a viewer is too slow; skipping to the next key picture", m_name.c_str());
    viewer.waitKey = true;
  }
  if (viewer.waitKey) {
    if (!key || unconfirmed + chunk->size() > kMaxBacklog) return;
    viewer.waitKey = false;
  }
  Enqueue(viewer, chunk);
}

void CLiveStream::OnPicture(qnvrec::SAccessUnit& unit) {
  if (unit.key) {
    ResetHeld();
    if (m_muxer && (m_sps != m_muxerSps || m_pps != m_muxerPps)) {
      // New parameter sets (another picture size): a new stream for everyone.
      m_muxer.reset();
      m_init.reset();
      for (auto& [id, v] : m_viewers) v.needInit = true;
    }
  }
  if (m_held.empty() && !unit.key) return;  // no start point yet
  int64_t interval = static_cast<int64_t>(m_nextStampUs - unit.stampUs);
  if (interval > 0 && interval < kMaxIntervalUs) m_lastIntervalUs = interval;
  if (m_heldBytes + unit.annexB.size() > kMaxHeldBytes) {
    ResetHeld();
    return;
  }
  m_heldBytes += unit.annexB.size();
  m_held.push_back(std::move(unit));
  if (m_viewers.empty()) return;
  if (!m_muxer) {
    if (!StartMuxer()) return;
    // The muxer's first stretch is this picture alone (it is a key one):
    // every viewer waiting starts here.
    for (auto& [id, v] : m_viewers) Deliver(v, m_fragments.back(), true);
    return;
  }
  const qnvrec::SAccessUnit& last = m_held.back();
  std::string fragment, error;
  const int64_t t = static_cast<int64_t>(last.stampUs - m_muxerBaseUs);
  if (!m_muxer->Write(last, t, m_lastIntervalUs, fragment, error)) {
    LOG_WARN("web %s: %s", m_name.c_str(), error.c_str());
    return;
  }
  Chunk chunk = std::make_shared<const std::string>(std::move(fragment));
  m_fragments.push_back(chunk);
  for (auto& [id, v] : m_viewers) Deliver(v, chunk, last.key);
}

uint64_t CLiveStream::AddViewer() {
  qnv::locks::CLockGuard lock(m_mutex);
  const uint64_t id = m_nextViewer++;
  SViewer& v = m_viewers[id];
  v.lastProgress = Clock::now();
  if (!m_muxer) StartMuxer();
  if (m_muxer && m_init) {
    v.needInit = false;
    v.baseUs = m_muxerBaseUs;
    Enqueue(v, m_init);
    for (const Chunk& c : m_fragments) Enqueue(v, c);
  }
  m_notifyDue = false;  // the caller takes at once
  return id;
}

void CLiveStream::RemoveViewer(uint64_t viewer) {
  qnv::locks::CLockGuard lock(m_mutex);
  m_viewers.erase(viewer);
  if (m_viewers.empty()) {
    m_muxer.reset();
    m_init.reset();
    m_fragments.clear();
  }
}

bool CLiveStream::Take(uint64_t viewer, std::vector<Chunk>& chunks, Clock::time_point now,
                       uint64_t& baseUs) {
  baseUs = 0;
  qnv::locks::CLockGuard lock(m_mutex);
  auto it = m_viewers.find(viewer);
  if (it == m_viewers.end()) return false;
  SViewer& v = it->second;
  if (v.takenBytes > v.ackedBytes && now - v.lastProgress > m_stallCutOff) return false;
  if (v.takenBytes == v.ackedBytes) v.lastProgress = now;
  baseUs = std::exchange(v.baseUs, 0);
  for (Chunk& c : v.queue) chunks.push_back(std::move(c));
  v.queue.clear();
  v.takenBytes += v.queuedBytes;
  v.queuedBytes = 0;
  return true;
}

void CLiveStream::Ack(uint64_t viewer, uint64_t bytes, Clock::time_point now) {
  qnv::locks::CLockGuard lock(m_mutex);
  auto it = m_viewers.find(viewer);
  if (it == m_viewers.end()) return;
  SViewer& v = it->second;
  if (bytes > v.ackedBytes && bytes <= v.takenBytes) {
    v.ackedBytes = bytes;
    v.lastProgress = now;
  }
}

size_t CLiveStream::ViewerCount() const {
  qnv::locks::CLockGuard lock(m_mutex);
  return m_viewers.size();
}

std::string CLiveStream::MimeType() const {
  qnv::locks::CLockGuard lock(m_mutex);
  return m_muxer ? m_muxer->MimeType() : "";
}

}  // namespace qnvrecorder
