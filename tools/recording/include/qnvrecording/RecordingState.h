// RecordingState: what a recording's files say about it beyond its data and
// index, so a check can tell a recording being written, and one repaired
// after a crash, from real damage.
//
// - Open: the writer (qnv-recorder) holds an exclusive advisory lock (flock)
//   on the data file for as long as it writes it; while it does, the index may
//   lag the data file. A reader tries a shared lock without waiting: refused
//   means open.
// - Repaired: a recording cut short (a crash, a kill) was cut back to its
//   last whole frame, and its reserved disk blocks were released, by the
//   writer when it started again. It then has a note beside it, the data
//   path with the extension ".repaired": one line of JSON,
//     {"repaired":UNIX_SECONDS,"frames":N,"dropped_frames":N,
//      "dropped_data_bytes":N,"dropped_index_bytes":N,"released_bytes":N,
//      "reason":"TEXT"}
//   (more fields may follow in later versions; readers skip what they do not
//   know). Its data and index agree, like any complete recording's.
// - Damaged: data and index disagree and no writer holds the lock.
// Plain functions; any thread.
#ifndef QNVRECORDING_RECORDINGSTATE_H
#define QNVRECORDING_RECORDINGSTATE_H

#include <cstdint>
#include <string>
#include <string_view>

namespace qnvrec {

inline constexpr const char* kRepairNoteExtension = ".repaired";

enum class ERecordingState { kConsistent, kOpen, kRepaired, kDamaged };

// "consistent", "open", "repaired", "damaged".
const char* StateName(ERecordingState state);

struct SRepairNote {
  int64_t repairedUnix = 0;  // when, seconds since 1970
  uint64_t frames = 0;       // frames kept
  uint64_t droppedFrames = 0, droppedDataBytes = 0, droppedIndexBytes = 0;
  uint64_t releasedBytes = 0;  // reserved blocks past the data's end given back
  std::string reason;          // what was wrong, in English
};

// The note's path for a data path: its last extension replaced by ".repaired".
std::string RepairNotePathFor(const std::string& dataPath);
// The note's one line of JSON, with its line end.
std::string RepairNoteText(const SRepairNote& note);
// Reads a note's text; false when it is not one.
bool ParseRepairNote(std::string_view text, SRepairNote& note);
// Reads the note beside dataPath: false when there is none (or it is not a
// regular file, or not a note).
bool ReadRepairNote(const std::string& dataPath, SRepairNote& note);

// The writer's lock on an open data file descriptor (exclusive, without
// waiting): false when another holds a lock on the file.
bool TakeWriterLock(int fd);
// True when a writer holds its lock on the file behind fd (a shared lock is
// refused). A shared lock taken here is held until fd is closed, so a repair
// cannot begin while the file is read.
bool WriterHoldsLock(int fd);

}  // namespace qnvrec

#endif  // QNVRECORDING_RECORDINGSTATE_H
