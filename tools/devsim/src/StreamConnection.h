// One stream connection of the device: waits for the attach message, then writes the
// stream's frames (one NAL unit each) paced at the frame rate or as fast as the socket
// takes them, honouring pause, play and the stream faults.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "MessageReader.h"
#include "PictureSequence.h"

namespace qnv::devsim {

class Device;

// Lives on the network thread; owned by the device's registries and by its own pending
// handlers. The device must outlive it.
class StreamConnection : public std::enable_shared_from_this<StreamConnection> {
 public:
  StreamConnection(Device& device, asio::ip::tcp::socket socket, uint64_t id);
  StreamConnection(const StreamConnection&) = delete;
  StreamConnection& operator=(const StreamConnection&) = delete;

  void Start();
  void Close();  // idempotent; tells the device
  void SetPaused(bool paused);
  void Resume();  // after the device's streams thawed
  uint64_t Id() const { return id_; }
  bool Attached() const { return attached_; }
  uint32_t StreamId() const { return streamId_; }

 private:
  // One write: a frame header (with its extension block) or garbage, and optionally a
  // shared payload of which the first bodyLength bytes go out.
  struct Item {
    std::vector<uint8_t> head;
    NalUnit body;
    size_t bodyLength = 0;
    bool frame = false;       // counts as a frame once written
    bool closeAfter = false;  // the connection is dropped once written
  };

  void ReadNext();
  void OnMessage(MessageReader::Status status);
  void BeginStreaming(bool paused);
  void ScheduleTick();
  void OnTick(uint64_t generation);
  void EnqueuePicture();
  void EnqueueFrame(const NalUnit& nal, uint64_t captureTimeUs, uint32_t pictureNumber);
  void Push(Item item);
  void WriteNext();

  Device& device_;
  asio::ip::tcp::socket socket_;
  asio::steady_timer tickTimer_, attachTimer_;
  const uint64_t id_;
  MessageReader reader_;
  bool open_ = true;
  bool attached_ = false;
  bool paused_ = false;
  bool ending_ = false;  // a last, cut frame is queued; nothing more is added
  uint32_t streamId_ = 0;

  std::deque<Item> queue_;
  size_t queuedBytes_ = 0;
  bool writing_ = false;
  bool skipping_ = false;  // behind: pictures are skipped up to the next key picture

  uint64_t generation_ = 0;  // bumped on pause and play so stale ticks do nothing
  std::chrono::steady_clock::time_point nextTick_;
  std::chrono::nanoseconds interval_{};
  size_t cursor_ = 0;          // next picture of the sequence
  uint64_t pictureCount_ = 0;  // pictures produced or skipped since the attach
  uint32_t frameCounter_ = 0;
  uint64_t baseTimeUs_ = 0;
};

}  // namespace qnv::devsim
