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
  uint64_t Id() const { return m_id; }
  bool Attached() const { return m_attached; }
  uint32_t StreamId() const { return m_streamId; }

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

  Device& m_device;
  asio::ip::tcp::socket m_socket;
  asio::steady_timer m_tickTimer, m_attachTimer;
  const uint64_t m_id;
  MessageReader m_reader;
  bool m_open = true;
  bool m_attached = false;
  bool m_paused = false;
  bool m_ending = false;  // a last, cut frame is queued; nothing more is added
  uint32_t m_streamId = 0;

  std::deque<Item> m_queue;
  size_t m_queuedBytes = 0;
  bool m_writing = false;
  bool m_skipping = false;  // behind: pictures are skipped up to the next key picture

  uint64_t m_generation = 0;  // bumped on pause and play so stale ticks do nothing
  std::chrono::steady_clock::time_point m_nextTick;
  std::chrono::nanoseconds m_interval{};
  size_t m_cursor = 0;          // next picture of the sequence
  uint64_t m_pictureCount = 0;  // pictures produced or skipped since the attach
  uint32_t m_frameCounter = 0;
  uint64_t m_baseTimeUs = 0;
};

}  // namespace qnv::devsim
