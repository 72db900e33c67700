// SegmentRepair: brings back a segment its writer never closed (a crash, a
// kill, a power cut) as a complete recording: the index is cut back to the
// last whole frame that the data file holds, the data file to that frame's
// end, the disk blocks reserved past the end are released, and a note
// (STEM.repaired, qnvrecording's RecordingState.h) says what was done, so a
// check reports the segment as repaired rather than damaged. A segment
// whose writer still holds its lock is left alone. Plain functions; one call
// per segment at a time.
#pragma once

#include <string>

#include "qnvrecording/RecordingState.h"
#include "storage/CStorageRoot.h"

namespace qnvrecorder {

enum class ERepair {
  kIntact,    // complete: nothing to do
  kRepaired,  // cut back and/or blocks released; the note is written
  kRemoved,   // not one whole frame was left: its files are removed
  kBusy,      // a writer holds its lock
  kFailed     // could not be read or changed (error says why)
};

struct SRepairOutcome {
  ERepair result = ERepair::kIntact;
  qnvrec::SRepairNote note;  // kRepaired, kRemoved
  std::string error;         // kFailed
};

// Blocks past a closed file's end beyond this much mean the writer reserved
// them and never gave them back (it reserves megabytes ahead).
inline constexpr uint64_t kReservedSlackBytes = 256 * 1024;

SRepairOutcome RepairSegment(const CStorageRoot& storage, const SSegment& segment);

}  // namespace qnvrecorder
