// The catalogue's rows: one per segment, per event and per camera state
// change, as every backend stores them and every query returns them. Times
// are UTC microseconds since 1970. Plain values; any thread.
#ifndef QNVCATALOGUE_ROWS_H
#define QNVCATALOGUE_ROWS_H

#include <cstdint>
#include <string>
#include <string_view>

namespace qnvcat {

// open: being written; closed: complete; repaired: cut back to its last whole
// frame after a crash; deleted: its files were removed (the row stays as history).
enum class ESegmentState { kOpen, kClosed, kRepaired, kDeleted };
// Where a segment's times come from: the frames' capture times (when they
// are plausible, as the exporter judges them) or the recorder's clock.
enum class EClock { kCapture, kArrival };
enum class ECameraState { kUp, kDown };

const char* StateName(ESegmentState state);
const char* ClockName(EClock clock);
const char* CameraStateName(ECameraState state);
bool ParseState(std::string_view text, ESegmentState& state);
bool ParseClock(std::string_view text, EClock& clock);
bool ParseCameraState(std::string_view text, ECameraState& state);

struct SSegmentRow {
  std::string recorder;
  std::string camera;
  std::string path;     // the data file, absolute, on the recorder's host
  int64_t firstUs = 0;  // first picture
  int64_t lastUs = 0;   // last picture (of an open segment: as last reported)
  EClock clock = EClock::kArrival;
  uint64_t frames = 0;
  uint64_t bytes = 0;  // data and index file
  ESegmentState state = ESegmentState::kOpen;

  bool operator==(const SSegmentRow&) const = default;
};

struct SBox {
  uint32_t x = 0, y = 0, width = 0, height = 0;
  bool operator==(const SBox&) const = default;
};

struct SEventRow {
  // Given by the recorder when the alarm arrives (CCatalogueWriter::NextEventId):
  // unique among its recorder's events, so (recorder, id) names one event in
  // a fleet's catalogue; 0: none given (the row is then keyed by its time).
  int64_t id = 0;
  std::string recorder;
  std::string camera;
  int64_t timeUs = 0;
  uint32_t rule = 0;
  uint32_t channel = 0;
  SBox box;
  uint64_t sequence = 0;  // the device's number for the event, 0 when it gives none
  std::string clip;       // the event clip that holds it, empty when none
  std::string segment;    // the segment being written when it came, empty when none

  // Equal as stored facts, id aside.
  bool SameEvent(const SEventRow& o) const {
    return recorder == o.recorder && camera == o.camera && timeUs == o.timeUs && rule == o.rule &&
           channel == o.channel && box == o.box && sequence == o.sequence && clip == o.clip &&
           segment == o.segment;
  }
};

struct SStateRow {
  std::string recorder;
  std::string camera;
  int64_t timeUs = 0;
  ECameraState state = ECameraState::kUp;
  std::string reason;  // why it went down (or "" for up)

  bool operator==(const SStateRow&) const = default;
};

// A camera as `cameras` lists it: what one recorder holds of it.
struct SCameraInfo {
  std::string camera;
  std::string recorder;
  int64_t firstUs = 0;  // oldest picture not deleted; 0: none
  int64_t lastUs = 0;   // newest
  bool hasState = false;
  ECameraState state = ECameraState::kUp;
  int64_t stateUs = 0;
  std::string reason;
};

// Space one recorder's segments take, per camera (retention by size).
struct SUsage {
  std::string camera;
  uint64_t segments = 0;
  uint64_t bytes = 0;
  int64_t oldestUs = 0;
};

}  // namespace qnvcat

#endif  // QNVCATALOGUE_ROWS_H
