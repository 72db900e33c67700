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
    : device_(device),
      socket_(std::move(socket)),
      tickTimer_(device.Io()),
      attachTimer_(device.Io()),
      id_(id) {
  interval_ = std::chrono::nanoseconds(static_cast<int64_t>(1e9 / device.Options().fps));
}

void StreamConnection::Start() {
  std::error_code ec;
  socket_.set_option(asio::ip::tcp::no_delay(true), ec);
  if (device_.Options().streamSendBuffer > 0) {
    socket_.set_option(asio::socket_base::send_buffer_size(device_.Options().streamSendBuffer), ec);
  }
  device_.Note("stream connection " + std::to_string(id_) + " accepted");
  const int waitMs = device_.Options().idleTimeoutMs;
  if (waitMs > 0) {
    // A connection that never attaches is dropped like an idle session.
    attachTimer_.expires_after(std::chrono::milliseconds(waitMs));
    attachTimer_.async_wait([self = shared_from_this()](std::error_code e) {
      if (e || !self->open_ || self->attached_) return;
      self->device_.Note("stream connection " + std::to_string(self->id_) + " never attached");
      self->Close();
    });
  }
  ReadNext();
}

void StreamConnection::Close() {
  if (!open_) return;
  auto self = shared_from_this();
  open_ = false;
  std::error_code ec;
  socket_.shutdown(asio::socket_base::shutdown_both, ec);
  socket_.close(ec);
  tickTimer_.cancel();
  attachTimer_.cancel();
  queue_.clear();
  queuedBytes_ = 0;
  device_.Note("stream connection " + std::to_string(id_) + " closed");
  device_.StreamClosed(*this);
}

void StreamConnection::ReadNext() {
  if (!open_) return;
  reader_.Read(socket_,
               [self = shared_from_this()](MessageReader::Status s) { self->OnMessage(s); });
}

void StreamConnection::OnMessage(MessageReader::Status status) {
  if (!open_) return;
  if (status != MessageReader::Status::kOk) {
    if (status != MessageReader::Status::kFailed) {
      device_.Note("stream connection " + std::to_string(id_) + ": invalid length prefix");
    }
    Close();
    return;
  }
  const auto message = reader_.Message();
  const auto request = wire::ParseRequest(message);
  device_.Log().Append(LoggedRequest{id_,
                                     true,
                                     request->headerWord,
                                     request->cls,
                                     request->code,
                                     request->sessionId,
                                     {request->payload.begin(), request->payload.end()},
                                     {message.begin(), message.end()}});
  device_.Note("stream connection " + std::to_string(id_) + ": class " +
               std::to_string(request->cls) + " code " + std::to_string(request->code));
  if (attached_) {
    ReadNext();  // nothing else is expected; logged and ignored
    return;
  }
  const bool isAttach = request->magic == wire::kMagic &&
                        request->headerWord == wire::kOneWayHeaderWord &&
                        request->cls == kClassLive && request->code == wire::kCodeAttach &&
                        request->payload.size() >= 4;
  bool paused = false;
  if (!isAttach ||
      !device_.AttachStream(wire::GetU32(request->payload.data()), shared_from_this(), paused)) {
    device_.Note("stream connection " + std::to_string(id_) + ": attach refused");
    Close();
    return;
  }
  streamId_ = wire::GetU32(request->payload.data());
  attached_ = true;
  attachTimer_.cancel();
  BeginStreaming(paused);
  ReadNext();
}

void StreamConnection::BeginStreaming(bool paused) {
  device_.Note("stream " + std::to_string(streamId_) + " attached on connection " +
               std::to_string(id_));
  baseTimeUs_ = NowUs();
  paused_ = paused;
  if (!paused_) SetPaused(false);
}

void StreamConnection::SetPaused(bool paused) {
  if (!open_) return;
  paused_ = paused;
  ++generation_;
  tickTimer_.cancel();
  if (paused_ || !attached_) return;
  if (device_.Options().paced) {
    nextTick_ = std::chrono::steady_clock::now();
    OnTick(generation_);
  } else if (queue_.empty()) {
    EnqueuePicture();
    WriteNext();
  }
}

void StreamConnection::Resume() {
  if (!open_ || !attached_ || paused_ || ending_ || device_.Options().paced) return;
  if (queue_.empty()) {
    EnqueuePicture();
    WriteNext();
  }
}

void StreamConnection::ScheduleTick() {
  tickTimer_.expires_at(nextTick_);
  tickTimer_.async_wait([self = shared_from_this(), g = generation_](std::error_code ec) {
    if (ec) return;
    self->OnTick(g);
  });
}

void StreamConnection::OnTick(uint64_t generation) {
  if (!open_ || paused_ || ending_ || generation != generation_) return;
  EnqueuePicture();
  WriteNext();
  nextTick_ += interval_;
  const auto now = std::chrono::steady_clock::now();
  if (nextTick_ + kMaxLateness < now) nextTick_ = now;
  ScheduleTick();
}

void StreamConnection::EnqueuePicture() {
  const auto& pictures = device_.Pictures().Pictures();
  const Picture& picture = pictures[cursor_];
  cursor_ = (cursor_ + 1) % pictures.size();
  const uint64_t number = pictureCount_++;
  // Frozen: the picture is not sent, and after the thaw the stream goes on
  // from a key picture, with capture times that kept running.
  if (device_.StreamsFrozen()) {
    skipping_ = true;
    return;
  }
  const uint64_t timeUs = baseTimeUs_ + static_cast<uint64_t>(static_cast<double>(number) * 1e6 /
                                                              device_.Options().fps);
  const size_t limit = device_.Options().maxStreamBacklog;
  if (limit != 0 && queuedBytes_ > limit) skipping_ = true;
  // A reader that cannot keep up loses whole groups of pictures, never a reference.
  if (skipping_ && (!picture.key || (limit != 0 && queuedBytes_ > limit))) return;
  skipping_ = false;
  for (const NalUnit& nal : picture.nals) {
    if (ending_) break;
    EnqueueFrame(nal, timeUs, static_cast<uint32_t>(number));
  }
}

void StreamConnection::EnqueueFrame(const NalUnit& nal, uint64_t captureTimeUs,
                                    uint32_t pictureNumber) {
  const bool ext = device_.Options().extensionBlocks;
  auto makeHead = [&](uint32_t payloadLength) {
    wire::FrameHeader h;
    h.counter = frameCounter_++;
    h.streamId = streamId_;
    h.payloadLength = payloadLength;
    h.captureTimeUs = captureTimeUs;
    h.extFlag = ext;
    const auto header = wire::EncodeFrameHeader(h);
    std::vector<uint8_t> head(header.begin(), header.end());
    if (ext) {
      head.resize(wire::kFrameHeaderSize + wire::kFrameExtLengthSize + kExtensionLength);
      uint8_t* e = head.data() + wire::kFrameHeaderSize;
      wire::PutU32(e, kExtensionLength);
      wire::PutU32(e + 4, streamId_);
      wire::PutU32(e + 8, pictureNumber);
    }
    return head;
  };

  const StreamFault fault = device_.Faults().TakeFrameFault();
  if (fault.kind != StreamFault::kNone) {
    device_.Note("stream " + std::to_string(streamId_) + ": fault " + std::to_string(fault.kind));
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
    ending_ = true;
  }
  Push(std::move(item));
  if (fault.kind == StreamFault::kGarbage) {
    Item garbage;
    garbage.head.assign(fault.value != 0 ? fault.value : kDefaultGarbage, kGarbageByte);
    Push(std::move(garbage));
  }
}

void StreamConnection::Push(Item item) {
  queuedBytes_ += item.head.size() + item.bodyLength;
  queue_.push_back(std::move(item));
}

void StreamConnection::WriteNext() {
  if (!open_ || writing_ || queue_.empty()) return;
  writing_ = true;
  const Item& item = queue_.front();
  std::array<asio::const_buffer, 2> buffers = {
      asio::buffer(item.head),
      item.body ? asio::buffer(item.body->data(), item.bodyLength) : asio::const_buffer()};
  asio::async_write(socket_, buffers, [self = shared_from_this()](std::error_code ec, size_t) {
    self->writing_ = false;
    if (!self->open_) return;
    if (ec) {
      self->Close();
      return;
    }
    const Item done = std::move(self->queue_.front());
    self->queue_.pop_front();
    self->queuedBytes_ -= done.head.size() + done.bodyLength;
    if (done.frame) self->device_.FrameWritten();
    if (done.closeAfter) {
      self->Close();
      return;
    }
    if (!self->device_.Options().paced && self->queue_.empty() && !self->paused_ &&
        !self->ending_) {
      self->EnqueuePicture();
    }
    self->WriteNext();
  });
}

}  // namespace qnv::devsim
