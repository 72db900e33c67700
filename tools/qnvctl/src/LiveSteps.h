// Live-video steps that "record", "snapshot" and the demo share: recording a
// channel with a progress line, and taking a snapshot.
#ifndef QNVCTL_LIVESTEPS_H
#define QNVCTL_LIVESTEPS_H

#include <cstdint>
#include <string>

#include "CFrameCounter.h"
#include "CInterruptSignal.h"
#include "CLiveChannel.h"
#include "CStreamWatch.h"

namespace qnvctl {

struct SRecordOutcome {
  std::string failure;  // empty on success; else a one-line description
  bool interrupted = false;
  double seconds = 0;  // from the recording's open to its close
  std::string indexPath;
  uint64_t dataBytes = 0;
  uint64_t indexRecords = 0;  // frames in the recording (pre-record included)
  SFrameTotals received;      // frames the callback saw while recording
};

// Lets the channel run for preSeconds (so its pre-record stretch fills),
// records to path for seconds (0: until Ctrl-C), showing a progress line, and
// closes the recording. Ctrl-C ends the recording early but cleanly. Returns
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
