// CCaptureRun: the frames that one capture of a channel without a window
// decodes, laid out as the player's run capture takes them (and as a
// recording's index and data files hold frames): 40-byte frame records,
// oldest first, each record's offset field giving where that frame's body
// begins in one block of data. Filled in one of two ways, both under the
// channel's save mutex:
//  - CopyFrom: out of the pre-record queue, from where the capture's warm
//    decoder stopped or from the newest key frame with its parameter sets (a
//    frame that begins with a sequence parameter set), whichever is later,
//    as long as the queue holds every frame from there to the newest;
//  - Gather: frame by frame as they are delivered, while a capture waits for
//    a key frame; ready once a picture follows the parameter sets.
// Owns its two buffers. Not synchronised: the channel's save mutex guards
// the one that gathers; a capture's own copy is its thread's.
#ifndef QNV_LIVE_CCAPTURERUN_H
#define QNV_LIVE_CCAPTURERUN_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/FrameHeader.h"
#include "record/CStreamQueue.h"
#include "record/FrameBody.h"

namespace qnv {

class CCaptureRun {
 public:
  // Gathering keeps at most this much; beyond it a run that holds no picture
  // yet starts over at the next key frame, and one that does stops growing.
  static constexpr size_t kMaxBytes = size_t(64) << 20;
  static constexpr uint32_t kMaxFrames = 16384;

  enum class EFrom {
    kNothing,    // nothing decodable is held
    kKeyFrame,   // from a key frame with its parameter sets
    kContinued,  // from the frame the warm decoder expects (maybe no frame)
  };

  CCaptureRun() = default;
  CCaptureRun(const CCaptureRun&) = delete;
  CCaptureRun& operator=(const CCaptureRun&) = delete;

  // Copies the frames to decode out of the queue. next: the sequence number
  // of the frame a warm decoder expects next, or null without one (a warm
  // decoder takes a run from a key frame too, so the shorter run is chosen).
  EFrom CopyFrom(const CStreamQueue& queue, const uint32_t* next);

  // Empties the run and gathers from the next key frame on.
  void Arm();
  void Disarm() { m_armed = false; }
  bool Armed() const { return m_armed; }
  // One delivered frame, while armed.
  void Gather(const protocol::SFrameIndex& header, const uint8_t* body, uint32_t length,
              uint32_t sequence);
  // A picture follows the parameter sets the run begins with.
  bool Ready() const { return m_ready; }
  // Takes over what another run gathered (that one is left empty, disarmed).
  void TakeFrom(CCaptureRun& other);

  const uint8_t* Records() const { return m_records.data(); }
  uint32_t Count() const { return m_count; }
  const uint8_t* Data() const { return m_data.data(); }
  uint64_t DataLength() const { return m_data.size(); }
  // The sequence number after the run's newest frame.
  uint32_t NextSequence() const { return m_next; }

 private:
  void Clear();
  void Add(const protocol::SFrameIndex& header, const SBodyView& body, uint32_t sequence);
  void CopyRange(const CStreamQueue& queue, size_t from, size_t to);

  std::vector<uint8_t> m_records;
  std::vector<uint8_t> m_data;
  uint32_t m_count = 0;
  uint32_t m_next = 0;
  bool m_armed = false;
  bool m_started = false;  // gathering: a key frame's parameter sets came
  bool m_ready = false;
};

}  // namespace qnv

#endif  // QNV_LIVE_CCAPTURERUN_H
