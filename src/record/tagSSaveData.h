// tagSSaveData: one recording of a live channel, a data file and its index
// file. Owned by the channel's CSaveList and touched only under the channel's
// save mutex; it owns both open files (closed on destruction if still open).
#ifndef QNV_RECORD_TAGSSAVEDATA_H
#define QNV_RECORD_TAGSSAVEDATA_H

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/File.h"

namespace qnv {

struct SFileCloser {
  void operator()(FILE* f) const { platform::FileClose(f); }
};
using UniqueFile = std::unique_ptr<FILE, SFileCloser>;

// Where the body of one recent index record ends in the data file. After a
// failed write the files are cut back to the last record whose body is wholly
// on disk; the index on disk can lag behind what was handed to stdio by at
// most its buffer, so the ends of the most recent records are kept here.
struct SRecordEnd {
  uint64_t record = UINT64_MAX;  // record number, UINT64_MAX when unused
  uint32_t end = 0;              // offset just past the record's body
};
constexpr size_t kRecentRecordEnds = 512;  // > any stdio buffer of 40-byte records

// Disk blocks reserved for a file from its start up to `end`, ahead of what
// was written; given back when the file is closed.
struct SReservation {
  uint64_t end = 0;
  bool refused = false;  // the filesystem refused: not asked again
};

struct tagSSaveData {
  uint32_t id = 0;  // 1..16, unique within the channel
  UniqueFile dataFile;
  UniqueFile indexFile;
  bool started = false;       // a key frame has arrived since the open
  // Id of the recording that takes over at the next key frame, which this one
  // then ends without writing; 0 when none.
  uint32_t rolloverTo = 0;
  // Takes over from another recording: begins only where a group of pictures
  // begins, the frame at which that one ends.
  bool waitsForGroup = false;
  uint32_t bytesWritten = 0;  // data-file length so far = offset of the next body

  std::string dataPath;   // as the host gave it
  std::string indexPath;  // derived from dataPath
  std::string dataKey;    // canonical forms, reserved process-wide while open
  std::string indexKey;
  uint64_t recordCount = 0;  // index records handed to the index file
  SReservation dataReserved;
  SReservation indexReserved;
  std::array<SRecordEnd, kRecentRecordEnds> recentEnds{};

  void NoteRecordEnd(uint64_t record, uint32_t end) {
    recentEnds[record % kRecentRecordEnds] = SRecordEnd{record, end};
  }
  // False when the record is too old to be remembered.
  bool RecordEnd(uint64_t record, uint32_t& end) const {
    const SRecordEnd& e = recentEnds[record % kRecentRecordEnds];
    if (e.record != record) return false;
    end = e.end;
    return true;
  }
};

}  // namespace qnv

#endif  // QNV_RECORD_TAGSSAVEDATA_H
