// CRecordingReader: opens a recording (data file + index file), checks that
// the two agree and keeps the longest consistent run of frames from the
// start; then hands the kept frames out one at a time, in order. The index is
// read through a window of kWindowRecords records, so memory does not grow
// with the file. Owns both open files; one thread at a time.
#ifndef QNVRECORDING_CRECORDINGREADER_H
#define QNVRECORDING_CRECORDINGREADER_H

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qnvrecording/RecordingState.h"
#include "qnvrecording/SIndexRecord.h"

namespace qnvrec {

// A break in the recording: frames the device sent that are not in it.
struct SHole {
  uint64_t frame = 0;    // index of the first frame after the hole
  bool counter = false;  // true: a jump in the frame counter; false: a gap in capture time
  uint64_t before = 0;   // the counter values or capture times (us) on either side
  uint64_t after = 0;
};

// What the check found. A recording cut short by a crash or a full disk is
// kept up to its last consistent frame; what lies beyond is counted here.
struct SRecordingSummary {
  std::string dataPath;
  std::string indexPath;
  uint64_t dataFileBytes = 0;   // size of the data file on disk
  uint64_t indexFileBytes = 0;  // size of the index file on disk
  uint64_t frames = 0;          // consistent frames kept
  uint64_t keyFrames = 0;       // of them, key pictures (QNVNetFrameNal)
  uint64_t pictures = 0;        // of them, holding the first slice of a picture (likewise)
  uint64_t bodyBytes = 0;       // data bytes the kept frames cover
  uint64_t droppedFrames = 0;   // index records (whole or torn) not kept
  uint64_t droppedDataBytes = 0;
  uint64_t droppedIndexBytes = 0;
  std::vector<std::string> problems;  // why anything was dropped

  // Timing. Capture times (bytes 16..23, microseconds) are usable when they
  // rise from picture to picture by 1 ms to 10 s.
  bool stampsUsable = false;
  uint64_t firstStampUs = 0;  // of the first and last picture
  uint64_t lastStampUs = 0;
  double pictureIntervalUs = 0;  // the usual step between pictures' capture times
  double streamFps = 0;          // the stream's own rate (SPS timing), 0 when absent
  // Holes: gaps in capture time over three picture intervals, and jumps in a
  // frame counter (bytes 0..3) that is sequential elsewhere. At most
  // kMaxListedHoles are listed; holeCount counts them all.
  std::vector<SHole> holes;
  uint64_t holeCount = 0;

  // What the files' surroundings say (RecordingState.h): a writer held its
  // lock on the data file when it was opened, or a repair note lies beside it.
  bool writerActive = false;
  bool repaired = false;
  SRepairNote repair;  // when repaired

  bool Consistent() const { return problems.empty(); }
  // Open while a writer holds the lock (whatever the files show so far), else
  // damaged when data and index disagree, else repaired or consistent.
  ERecordingState State() const {
    if (writerActive) return ERecordingState::kOpen;
    if (!Consistent()) return ERecordingState::kDamaged;
    return repaired ? ERecordingState::kRepaired : ERecordingState::kConsistent;
  }
};

constexpr size_t kMaxListedHoles = 100;

// Device and inode of an open file, to tell whether two paths name one file.
struct SFileId {
  dev_t device = 0;
  ino_t inode = 0;
  bool valid = false;
  bool operator==(const SFileId& o) const {
    return valid && o.valid && device == o.device && inode == o.inode;
  }
};

// One kept frame as Next hands it out.
struct SFrame {
  uint64_t index = 0;
  SIndexRecord record;
  uint64_t offset = 0;     // of the body in the data file
  uint32_t length = 0;     // whole body
  uint32_t extension = 0;  // bytes of the extension block, 0 without one
  uint64_t StampUs() const { return record.CaptureTime(); }
};

// The index path for a data path: the final component's extension (from its
// last dot) replaced by ".idx", or ".idx" appended when it has none.
std::string IndexPathFor(const std::string& dataPath);

// Opens path for reading without blocking on a FIFO or device, and only when
// it is a regular file. Null with a message naming the cause otherwise.
FILE* OpenRegularFile(const std::string& path, SFileId& id, std::string& error);

class CRecordingReader {
 public:
  static constexpr size_t kWindowRecords = 4096;

  CRecordingReader() = default;
  CRecordingReader(const CRecordingReader&) = delete;
  CRecordingReader& operator=(const CRecordingReader&) = delete;

  // Called now and then with the records checked so far and their total.
  using Progress = std::function<void(uint64_t done, uint64_t total)>;

  // Opens and checks the recording. False with a message when a file cannot
  // be read, is not a regular file, or the input is not a recording at all; a
  // damaged recording opens, with what was dropped in Summary(). Takes a
  // shared lock on the data file, held until the reader goes, so a writer's
  // repair waits for the reading; a writer's lock shows as State() kOpen.
  bool Open(const std::string& dataPath, const std::string& indexPath, std::string& error,
            const Progress& progress = nullptr);

  const SRecordingSummary& Summary() const { return m_summary; }
  uint64_t FrameCount() const { return m_summary.frames; }
  const SFileId& DataId() const { return m_dataId; }
  const SFileId& IndexId() const { return m_indexId; }

  // Goes back to the first frame.
  bool Rewind(std::string& error);
  // The next kept frame and its body (extension block, then payload). False
  // at the end (error empty) or when a file cannot be read (error set).
  bool Next(SFrame& frame, std::vector<uint8_t>& body, std::string& error);
  // The next kept frame without reading its body (to pass over frames
  // quickly); Next then goes on after it.
  bool NextRecord(SFrame& frame, std::string& error);
  // The H.264 part of a body read by Next: what follows the extension.
  static void Payload(const SFrame& frame, const std::vector<uint8_t>& body, const uint8_t*& data,
                      size_t& length);

 private:
  struct SFileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
  };

  bool Check(std::string& error, const Progress& progress);
  // Reads the index record at the reading position into `record`; false at
  // the end of the whole records or on a read error (error set).
  bool ReadRecord(SIndexRecord& record, std::string& error);
  bool FrameOf(const SIndexRecord& record, uint64_t at, SFrame& frame, std::string& problem,
               std::string& error);
  // Looks at the start of the payload: whether it begins a picture and a key
  // picture, and the first SPS and PPS met (for the stream's own timing).
  bool Inspect(uint64_t payloadOffset, uint32_t payloadLength, bool& picture, bool& key,
               std::string& error);

  std::unique_ptr<FILE, SFileCloser> m_data;
  std::unique_ptr<FILE, SFileCloser> m_index;
  SFileId m_dataId;
  SFileId m_indexId;
  SRecordingSummary m_summary;
  std::vector<SIndexRecord> m_window;
  size_t m_windowPos = 0;
  uint64_t m_nextRecord = 0;  // index of the record after the window
  uint64_t m_nextFrame = 0;   // Next: index of the next frame handed out
  uint64_t m_nextOffset = 0;  // Next: where its body begins
  std::vector<uint8_t> m_scratch;
  std::vector<uint8_t> m_sps, m_pps;
  bool m_timingProbed = false;
};

}  // namespace qnvrec

#endif  // QNVRECORDING_CRECORDINGREADER_H
