// Live-video steps that "record", "snapshot" and the demo share: recording a
// channel with a progress line, and taking a snapshot.
#ifndef QNVCTL_LIVESTEPS_H
#define QNVCTL_LIVESTEPS_H

#include <cstdint>
#include <string>

#include "CCommandLine.h"
#include "CFrameCounter.h"
#include "CInterruptSignal.h"
#include "CLiveChannel.h"
#include "CStreamWatch.h"

namespace qnvctl {

struct SRecordOutcome {
  std::string failure;  // empty on success; else a one-line description
  bool lost = false;    // the stream or the session was lost (failure says how)
  bool interrupted = false;
  double seconds = 0;  // from the recording's open to its close
  std::string indexPath;
  uint64_t dataBytes = 0;
  uint64_t indexRecords = 0;  // frames in the recording (pre-record included)
  // The video the files really hold, from the capture times of their first
  // and last picture plus one picture interval; below 0 when the times
  // cannot tell (none, or not rising).
  double videoSeconds = -1;
  uint64_t pictures = 0;  // pictures in the files
  SFrameTotals received;  // frames the callback saw while recording
};

// "00:04.2 of video (106 pictures)", from the capture times; or what is
// known when they cannot tell.
std::string VideoHeld(const SRecordOutcome& outcome);

// "camera HOST:PORT", naming a device in a line about it.
std::string CameraName(const SConnection& connection);

// Sets the channel's stall time-out from seconds (0: none). Returns the SDK
// result.
uint32_t SetStallSeconds(const CLiveChannel& channel, double seconds);

// Lets the channel run for preSeconds (so its pre-record stretch fills),
// records to path for seconds (0: until Ctrl-C), showing a progress line, and
// closes the recording. Ctrl-C, or the stream or session being lost (a
// stall included), ends the recording early but cleanly. Returns
// the SDK result of the step that failed (outcome.failure says which), or 0;
// a failure without an SDK result returns 0 with outcome.failure set.
uint32_t RecordLive(CLiveChannel& channel, CStreamWatch& watch, CInterruptSignal& interrupt,
                    const std::string& path, double preSeconds, double seconds,
                    const std::string& label, SRecordOutcome& outcome);

// Waits for a key frame on the channel, then writes its picture to path
// (retrying briefly while the decoder has none yet). Returns as RecordLive;
// bytes receives the file's size.
uint32_t TakeSnapshot(CLiveChannel& channel, CStreamWatch& watch, const std::string& path,
                      std::string& failure, uint64_t& bytes);

}  // namespace qnvctl

#endif  // QNVCTL_LIVESTEPS_H
