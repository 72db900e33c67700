#include "StreamConnection.h"

#include <algorithm>
#include <array>
#include <string>

#include "Device.h"
#include "devsim/WireFormat.h"

namespace qnv::devsim {
namespace {

using wire::kClassLive;
constexpr uint32_t kExtensionLength = 8;  // u32 stream id, u32 picture number
constexpr uint32_t kDefaultGarbage = 16;
constexpr uint32_t kDefaultOversize = 2u << 20;
constexpr uint32_t kMaxOversizeSent = 16u << 20;
constexpr uint8_t kGarbageByte = 0xEE;
constexpr uint8_t kOversizeFill = 0x5A;
// After a stall longer than this the schedule restarts instead of catching up in a burst.
constexpr auto kMaxLateness = std::chrono::seconds(1);

uint64_t NowUs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

}  // namespace

StreamConnection::StreamConnection(Device& device, asio::ip::tcp::socket socket, uint64_t id)
    : m_device(device),
      m_socket(std::move(socket)),
      m_tickTimer(device.Io()),
      m_attachTimer(device.Io()),
      m_id(id) {
  m_interval = std::chrono::nanoseconds(static_cast<int64_t>(1e9 / device.Options().fps));
}

void StreamConnection::Start() {
  std::error_code ec;
  m_socket.set_option(asio::ip::tcp::no_delay(true), ec);
  if (m_device.Options().streamSendBuffer > 0) {
    m_socket.set_option(asio::socket_base::send_buffer_size(m_device.Options().streamSendBuffer),
                        ec);
  }
  m_device.Note("stream connection " + std::to_string(m_id) + " accepted");
  const int waitMs = m_device.Options().idleTimeoutMs;
  if (waitMs > 0) {
    // A connection that never attaches is dropped like an idle session.
    m_attachTimer.expires_after(std::chrono::milliseconds(waitMs));
    m_attachTimer.async_wait([self = shared_from_this()](std::error_code e) {
      if (e || !self->m_open || self->m_attached) return;
      self->m_device.Note("stream connection " + std::to_string(self->m_id) + " never attached");
      self->Close();
    });
  }
  ReadNext();
}

void StreamConnection::Close() {
  if (!m_open) return;
  auto self = shared_from_this();
  m_open = false;
  std::error_code ec;
  m_socket.shutdown(asio::socket_base::shutdown_both, ec);
  m_socket.close(ec);
  m_tickTimer.cancel();
  m_attachTimer.cancel();
  m_queue.clear();
  m_queuedBytes = 0;
  m_device.Note("stream connection " + std::to_string(m_id) + " closed");
  m_device.StreamClosed(*this);
}

void StreamConnection::ReadNext() {
  if (!m_open) return;
  m_reader.Read(m_socket,
                [self = shared_from_this()](MessageReader::Status s) { self->OnMessage(s); });
}

void StreamConnection::OnMessage(MessageReader::Status status) {
  if (!m_open) return;
  if (status != MessageReader::Status::kOk) {
    if (status != MessageReader::Status::kFailed) {
      m_device.Note("stream connection " + std::to_string(m_id) + ": invalid length prefix");
    }
    Close();
    return;
  }
  const auto message = m_reader.Message();
  const auto request = wire::ParseRequest(message);
  m_device.Log().Append(LoggedRequest{m_id,
                                      true,
                                      request->headerWord,
                                      request->cls,
                                      request->code,
                                      request->sessionId,
                                      {request->payload.begin(), request->payload.end()},
                                      {message.begin(), message.end()}});
  m_device.Note("stream connection " + std::to_string(m_id) + ": class " +
                std::to_string(request->cls) + " code " + std::to_string(request->code));
  if (m_attached) {
    ReadNext();  // nothing else is expected; logged and ignored
    return;
  }
  const bool isAttach = request->magic == wire::kMagic &&
                        request->headerWord == wire::kOneWayHeaderWord &&
                        request->cls == kClassLive && request->code == wire::kCodeAttach &&
                        request->payload.size() >= 4;
  bool paused = false;
  if (!isAttach ||
      !m_device.AttachStream(wire::GetU32(request->payload.data()), shared_from_this(), paused)) {
    m_device.Note("stream connection " + std::to_string(m_id) + ": attach refused");
    Close();
    return;
  }
  m_streamId = wire::GetU32(request->payload.data());
  m_attached = true;
  m_attachTimer.cancel();
  BeginStreaming(paused);
  ReadNext();
}

void StreamConnection::BeginStreaming(bool paused) {
  m_device.Note("stream " + std::to_string(m_streamId) + " attached on connection " +
                std::to_string(m_id));
  m_baseTimeUs = NowUs();
  m_paused = paused;
  if (!m_paused) SetPaused(false);
}

void StreamConnection::SetPaused(bool paused) {
  if (!m_open) return;
  m_paused = paused;
  ++m_generation;
  m_tickTimer.cancel();
  if (m_paused || !m_attached) return;
  if (m_device.Options().paced) {
    m_nextTick = std::chrono::steady_clock::now();
    OnTick(m_generation);
  } else if (m_queue.empty()) {
    EnqueuePicture();
    WriteNext();
  }
}

void StreamConnection::Resume() {
  if (!m_open || !m_attached || m_paused || m_ending || m_device.Options().paced) return;
  if (m_queue.empty()) {
    EnqueuePicture();
    WriteNext();
  }
}

void StreamConnection::ScheduleTick() {
  m_tickTimer.expires_at(m_nextTick);
  m_tickTimer.async_wait([self = shared_from_this(), g = m_generation](std::error_code ec) {
    if (ec) return;
    self->OnTick(g);
  });
}

void StreamConnection::OnTick(uint64_t generation) {
  if (!m_open || m_paused || m_ending || generation != m_generation) return;
  EnqueuePicture();
  WriteNext();
  m_nextTick += m_interval;
  const auto now = std::chrono::steady_clock::now();
  if (m_nextTick + kMaxLateness < now) m_nextTick = now;
  ScheduleTick();
}

void StreamConnection::EnqueuePicture() {
  const auto& pictures = m_device.Pictures().Pictures();
  const Picture& picture = pictures[m_cursor];
  m_cursor = (m_cursor + 1) % pictures.size();
  const uint64_t number = m_pictureCount++;
  // Frozen: the picture is not sent, and after the thaw the stream goes on
  // from a key picture, with capture times that kept running.
  if (m_device.StreamsFrozen()) {
    m_skipping = true;
    return;
  }
  const uint64_t timeUs = m_baseTimeUs + static_cast<uint64_t>(static_cast<double>(number) * 1e6 /
                                                               m_device.Options().fps);
  const size_t limit = m_device.Options().maxStreamBacklog;
  if (limit != 0 && m_queuedBytes > limit) m_skipping = true;
  // A reader that cannot keep up loses whole groups of pictures, never a reference.
  if (m_skipping && (!picture.key || (limit != 0 && m_queuedBytes > limit))) return;
  m_skipping = false;
  for (const NalUnit& nal : picture.nals) {
    if (m_ending) break;
    EnqueueFrame(nal, timeUs, static_cast<uint32_t>(number));
  }
}

void StreamConnection::EnqueueFrame(const NalUnit& nal, uint64_t captureTimeUs,
                                    uint32_t pictureNumber) {
  const bool ext = m_device.Options().extensionBlocks;
  auto makeHead = [&](uint32_t payloadLength) {
    wire::FrameHeader h;
    h.counter = m_frameCounter++;
    h.streamId = m_streamId;
    h.payloadLength = payloadLength;
    h.captureTimeUs = captureTimeUs;
    h.extFlag = ext;
    const auto header = wire::EncodeFrameHeader(h);
    std::vector<uint8_t> head(header.begin(), header.end());
    if (ext) {
      head.resize(wire::kFrameHeaderSize + wire::kFrameExtLengthSize + kExtensionLength);
      uint8_t* e = head.data() + wire::kFrameHeaderSize;
      wire::PutU32(e, kExtensionLength);
      wire::PutU32(e + 4, m_streamId);
      wire::PutU32(e + 8, pictureNumber);
    }
    return head;
  };

  const StreamFault fault = m_device.Faults().TakeFrameFault();
  if (fault.kind != StreamFault::kNone) {
    m_device.Note("stream " + std::to_string(m_streamId) + ": fault " + std::to_string(fault.kind));
  }
  if (fault.kind == StreamFault::kOversize) {
    const uint32_t length = fault.value != 0 ? fault.value : kDefaultOversize;
    Item big;
    big.head = makeHead(length);
    big.frame = true;
    if (length <= kMaxOversizeSent) {
      big.body = std::make_shared<const std::vector<uint8_t>>(length, kOversizeFill);
      big.bodyLength = length;
    }
    Push(std::move(big));
  }
  Item item;
  item.head = makeHead(static_cast<uint32_t>(nal->size()));
  item.body = nal;
  item.bodyLength = nal->size();
  item.frame = true;
  if (fault.kind == StreamFault::kDropMidFrame) {
    item.bodyLength = nal->size() / 2;
    item.frame = false;
    item.closeAfter = true;
    m_ending = true;
  }
  Push(std::move(item));
  if (fault.kind == StreamFault::kGarbage) {
    Item garbage;
    garbage.head.assign(fault.value != 0 ? fault.value : kDefaultGarbage, kGarbageByte);
    Push(std::move(garbage));
  }
}

void StreamConnection::Push(Item item) {
  m_queuedBytes += item.head.size() + item.bodyLength;
  m_queue.push_back(std::move(item));
}

void StreamConnection::WriteNext() {
  if (!m_open || m_writing || m_queue.empty()) return;
  m_writing = true;
  const Item& item = m_queue.front();
  std::array<asio::const_buffer, 2> buffers = {
      asio::buffer(item.head),
      item.body ? asio::buffer(item.body->data(), item.bodyLength) : asio::const_buffer()};
  asio::async_write(m_socket, buffers, [self = shared_from_this()](std::error_code ec, size_t) {
    self->m_writing = false;
    if (!self->m_open) return;
    if (ec) {
      self->Close();
      return;
    }
    const Item done = std::move(self->m_queue.front());
    self->m_queue.pop_front();
    self->m_queuedBytes -= done.head.size() + done.bodyLength;
    if (done.frame) self->m_device.FrameWritten();
    if (done.closeAfter) {
      self->Close();
      return;
    }
    if (!self->m_device.Options().paced && self->m_queue.empty() && !self->m_paused &&
        !self->m_ending) {
      self->EnqueuePicture();
    }
    self->WriteNext();
  });
}

}  // namespace qnv::devsim
