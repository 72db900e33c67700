#include "StreamServer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "BenchUtil.h"

namespace qnv::bench {

namespace wire = devsim::wire;

namespace {
using wire::kClassLive;
using wire::kCodeAttach;
constexpr size_t kAttachLength = wire::kRequestHeaderSize + 4;  // payload: u32 stream id
constexpr int kAttachTimeoutMs = 5000;
constexpr size_t kUnpacedWrite = 1u << 20;
constexpr uint64_t kLateNs = 10000000;   // 10 ms
constexpr uint32_t kPhaseSlots = 64;     // connections spread over one frame interval
constexpr uint32_t kPictureStride = 37;  // pictures between the starts of two connections
constexpr size_t kMaxNalsPerUnit = 16;
}  // namespace

CStreamServer::~CStreamServer() { Stop(); }

bool CStreamServer::Start(qnvtools::UniqueFd listener) {
  m_listener = std::move(listener);
  m_wake.Reset(eventfd(0, EFD_CLOEXEC));
  if (!m_listener.Valid() || !m_wake.Valid()) return false;
  m_acceptThread = std::thread(&CStreamServer::AcceptLoop, this);
  return true;
}

void CStreamServer::Stop() {
  if (!m_acceptThread.joinable()) return;
  m_stop.store(true);
  uint64_t one = 1;
  (void)!write(m_wake.Get(), &one, sizeof one);
  m_acceptThread.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int fd : m_connections) ::shutdown(fd, SHUT_RDWR);  // a blocked write returns
    threads.swap(m_threads);
  }
  for (auto& t : threads) t.join();
}

CStreamServer::SPacedStats CStreamServer::PacedStats() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_paced;
}

void CStreamServer::AcceptLoop() {
  uint32_t index = 0;
  while (!m_stop.load()) {
    pollfd fds[2] = {{m_wake.Get(), POLLIN, 0}, {m_listener.Get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents != 0) return;
    int fd = ::accept4(m_listener.Get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connections.push_back(fd);
    m_threads.emplace_back(&CStreamServer::Serve, this, fd, index++);
  }
}

void CStreamServer::Serve(int fd, uint32_t index) {
  uint8_t attach[kAttachLength];
  if (RecvExact(fd, attach, sizeof attach, kAttachTimeoutMs)) {
    std::optional<uint32_t> length = wire::DecodePrefix(attach);
    std::optional<wire::Request> request =
        wire::ParseRequest(std::span<const uint8_t>(attach, sizeof attach));
    if (length && *length == kAttachLength && request && request->cls == kClassLive &&
        request->code == kCodeAttach && request->payload.size() == 4) {
      const uint32_t streamId = wire::GetU32(request->payload.data());
      if (m_options.paced)
        ServePaced(fd, streamId, index);
      else
        ServeUnpaced(fd, streamId);
    }
  }
  // The descriptor is closed here, once; Stop only shuts it down.
  std::lock_guard<std::mutex> lock(m_mutex);
  m_connections.erase(std::find(m_connections.begin(), m_connections.end(), fd));
  ::close(fd);
}

void CStreamServer::ServeUnpaced(int fd, uint32_t streamId) {
  std::lock_guard<std::mutex> one(m_unpacedMutex);
  const std::vector<uint8_t>& framed = m_clip.Framed();
  uint64_t bytes = 0;
  const uint64_t startNs = MonotonicNs();
  bool ok = true;
  for (uint64_t loop = 0; ok && loop < m_options.loops && !m_stop.load(); ++loop) {
    m_clip.SetFramedLoop(loop, streamId);
    for (size_t at = 0; ok && at < framed.size(); at += kUnpacedWrite) {
      const size_t n = std::min(kUnpacedWrite, framed.size() - at);
      ok = SendAll(fd, framed.data() + at, n);
      if (ok) bytes += n;
    }
  }
  const uint64_t endNs = MonotonicNs();
  CResultLine("stream")
      .Add("stream_id", uint64_t(streamId))
      .Add("start_ns", startNs)
      .Add("send_end_ns", endNs)
      .Add("bytes", bytes)
      .Add("frames", ok ? m_options.loops * m_clip.Nals().size() : uint64_t(0))
      .Add("complete", uint64_t(ok ? 1 : 0))
      .Print();
}

void CStreamServer::ServePaced(int fd, uint32_t streamId, uint32_t index) {
  const auto& units = m_clip.AccessUnits();
  const auto& nals = m_clip.Nals();
  const uint64_t intervalNs = uint64_t(1e9 / m_options.fps);
  if (m_options.pieceBytes > 0) {
    // Each piece leaves at once, as a camera's segments do: Nagle would hold
    // it for the receiver's delayed acknowledgement (some 40 ms).
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  // A camera begins a stream with a key picture; the clip's first is its
  // largest, so every channel meets it before a measurement starts. Then
  // each connection goes on from its own place in the clip, so key frames of
  // different channels do not coincide.
  size_t unit = 0;
  const size_t resume = (size_t(index) * kPictureStride + 1) % units.size();
  uint64_t due = MonotonicNs() + (index % kPhaseSlots) * intervalNs / kPhaseSlots;
  uint32_t counter = 0;
  SPacedStats local;
  std::vector<uint8_t> scratch;
  while (!m_stop.load()) {
    SleepUntilNs(due);
    const auto& u = units[unit];
    const size_t count = std::min(u.nalCount, kMaxNalsPerUnit);
    const uint64_t now = MonotonicNs();
    size_t total = 0;
    for (size_t i = 0; i < count; ++i) total += kFrameHeaderSize + nals[u.firstNal + i].length;
    const bool ok = m_options.pieceBytes > 0
                        ? SendInPieces(fd, u.firstNal, count, counter, streamId, now, scratch)
                        : SendGathered(fd, u.firstNal, count, counter, streamId, now, total);
    if (!ok) break;
    local.frames += count;
    local.units += 1;
    local.bytes += total;
    if (now > due + kLateNs) ++local.late;
    local.maxLateNs = std::max(local.maxLateNs, now > due ? now - due : 0);
    due += intervalNs;
    unit = local.units == 1 ? resume : (unit + 1) % units.size();
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_paced.frames += local.frames;
  m_paced.units += local.units;
  m_paced.bytes += local.bytes;
  m_paced.late += local.late;
  m_paced.maxLateNs = std::max(m_paced.maxLateNs, local.maxLateNs);
}

bool CStreamServer::SendGathered(int fd, size_t firstNal, size_t count, uint32_t& counter,
                                 uint32_t streamId, uint64_t nowNs, size_t total) {
  const auto& nals = m_clip.Nals();
  const uint8_t* raw = m_clip.Raw().data();
  uint8_t headers[kMaxNalsPerUnit][kFrameHeaderSize];
  iovec iov[2 * kMaxNalsPerUnit];
  for (size_t i = 0; i < count; ++i) {
    const auto& nal = nals[firstNal + i];
    WriteFrameHeader(headers[i], counter++, streamId, nal.length, nowNs);
    iov[2 * i] = {headers[i], kFrameHeaderSize};
    iov[2 * i + 1] = {const_cast<uint8_t*>(raw + nal.rawOffset), nal.length};
  }
  // One gathered write per picture, finished with plain sends if the socket
  // took only part of it.
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = 2 * count;
  const ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
  if (n < 0) return false;
  size_t sent = size_t(n);
  for (size_t i = 0; i < 2 * count && sent < total; ++i) {
    size_t before = 0;
    for (size_t j = 0; j < i; ++j) before += iov[j].iov_len;
    const size_t end = before + iov[i].iov_len;
    if (sent >= end) continue;
    const size_t skip = sent > before ? sent - before : 0;
    if (!SendAll(fd, static_cast<uint8_t*>(iov[i].iov_base) + skip, iov[i].iov_len - skip))
      return false;
    sent = end;
  }
  return true;
}

bool CStreamServer::SendInPieces(int fd, size_t firstNal, size_t count, uint32_t& counter,
                                 uint32_t streamId, uint64_t startNs,
                                 std::vector<uint8_t>& scratch) {
  const auto& nals = m_clip.Nals();
  const uint8_t* raw = m_clip.Raw().data();
  const size_t piece = m_options.pieceBytes;
  const uint64_t gapNs = uint64_t(m_options.pieceGapUs) * 1000;
  scratch.clear();
  for (size_t i = 0; i < count; ++i) {
    const auto& nal = nals[firstNal + i];
    const size_t at = scratch.size();
    scratch.resize(at + kFrameHeaderSize);
    scratch.insert(scratch.end(), raw + nal.rawOffset, raw + nal.rawOffset + nal.length);
    // The time the piece holding this frame's last byte is due: the
    // receiver's latency runs from there.
    const size_t lastPiece = (scratch.size() - 1) / piece;
    WriteFrameHeader(scratch.data() + at, counter++, streamId, nal.length,
                     startNs + lastPiece * gapNs);
  }
  for (size_t at = 0, k = 0; at < scratch.size(); at += piece, ++k) {
    SleepUntilNs(startNs + k * gapNs);
    if (m_stop.load() || !SendAll(fd, scratch.data() + at, std::min(piece, scratch.size() - at)))
      return false;
  }
  return true;
}

}  // namespace qnv::bench
