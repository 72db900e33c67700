#include "storage/SegmentRepair.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "qnvrecording/CRecordingReader.h"
#include "qnvrecording/SIndexRecord.h"
#include "qnvtools/SafeFile.h"

namespace qnvrecorder {
namespace {

using qnvrec::SIndexRecord;

struct SFileState {
  uint64_t size = 0, blocks = 0;  // blocks: bytes of disk blocks
};

bool StateOf(int fd, SFileState& s) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  s.size = uint64_t(st.st_size);
  s.blocks = uint64_t(st.st_blocks) * 512;
  return true;
}

bool Reserved(const SFileState& s, uint64_t slack) {
  const uint64_t used = (s.size + 4095) / 4096 * 4096;
  return s.blocks > used + slack;
}

// True when the last index record ends exactly where the data file does (a
// writer appends to both in order, so a tear shows at the end).
bool TailAgrees(int dataFd, int indexFd, const SFileState& data, const SFileState& index) {
  if (index.size % SIndexRecord::kSize != 0) return false;
  if (index.size == 0) return data.size == 0;
  SIndexRecord last;
  if (::pread(indexFd, last.bytes, SIndexRecord::kSize, off_t(index.size - SIndexRecord::kSize)) !=
          ssize_t(SIndexRecord::kSize) ||
      !last.HasMagic()) {
    return false;
  }
  uint64_t end = uint64_t(last.DataOffset()) + last.PayloadLength();
  if (last.HasExtension()) {
    uint8_t length[SIndexRecord::kExtLengthSize];
    if (::pread(dataFd, length, sizeof length, off_t(last.DataOffset())) != ssize_t(sizeof length))
      return false;
    end += SIndexRecord::kExtLengthSize + QnvLoadLe32(length);
  }
  return end == data.size;
}

UniqueFd OpenOwn(int dayFd, const std::string& name) {
  UniqueFd fd = qnvtools::OpenRegularAt(dayFd, name, O_RDWR);
  struct stat st {};
  if (fd.Valid() &&
      (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid())) {
    fd.Reset();
    errno = EPERM;
  }
  return fd;
}

}  // namespace

SRepairOutcome RepairSegment(const CStorageRoot& storage, const SSegment& segment) {
  SRepairOutcome out;
  auto fail = [&](const std::string& what) {
    out.result = ERepair::kFailed;
    out.error = segment.stemPath + ": " + what + ": " + std::strerror(errno);
    return out;
  };
  UniqueFd day = storage.OpenDay(segment.camera, segment.date);
  if (!day.Valid()) return out;  // gone meanwhile
  const std::string dataName = SegmentFileName(segment.stem, ESegmentFile::kData);
  const std::string indexName = SegmentFileName(segment.stem, ESegmentFile::kIndex);
  UniqueFd data = OpenOwn(day.Get(), dataName);
  if (!data.Valid()) return errno == ENOENT ? out : fail("the data file cannot be opened");
  if (!qnvrec::TakeWriterLock(data.Get())) {
    out.result = ERepair::kBusy;
    return out;
  }
  UniqueFd index = OpenOwn(day.Get(), indexName);
  if (!index.Valid()) return fail("the index cannot be opened");
  SFileState dataState, indexState;
  if (!StateOf(data.Get(), dataState) || !StateOf(index.Get(), indexState))
    return fail("cannot be read");
  const bool agrees = TailAgrees(data.Get(), index.Get(), dataState, indexState);
  const bool reserved =
      Reserved(dataState, kReservedSlackBytes) || Reserved(indexState, kReservedSlackBytes / 16);
  if (agrees && !reserved) return out;

  qnvrec::SRepairNote& note = out.note;
  note.repairedUnix = time(nullptr);
  uint64_t keepData = dataState.size, keepIndex = indexState.size;
  if (!agrees) {
    // The longest consistent run of frames from the start, as any reader
    // would use it (the reader opens the files through their descriptors).
    qnvrec::CRecordingReader reader;
    std::string error;
    if (!reader.Open(storage.ReopenPath(data.Get(), segment.stemPath + kSegmentExtension),
                     storage.ReopenPath(index.Get(), segment.stemPath + kIndexExtension), error)) {
      out.result = ERepair::kFailed;
      out.error = segment.stemPath + ": " + error;
      return out;
    }
    const qnvrec::SRecordingSummary& s = reader.Summary();
    keepData = s.bodyBytes;
    keepIndex = s.frames * SIndexRecord::kSize;
    note.frames = s.frames;
    note.droppedFrames = s.droppedFrames;
    note.droppedDataBytes = s.droppedDataBytes;
    note.droppedIndexBytes = s.droppedIndexBytes;
    note.reason = s.problems.empty() ? "its end was torn" : s.problems.front();
    if (s.frames == 0) {
      storage.RemoveFile(day.Get(), indexName);
      storage.RemoveFile(day.Get(), dataName);
      out.result = ERepair::kRemoved;
      return out;
    }
  } else {
    note.frames = indexState.size / SIndexRecord::kSize;
    note.reason = "disk blocks reserved past its end were never given back";
  }
  // Cutting to the length (also the length it has) gives back the blocks past it.
  if (::ftruncate(index.Get(), off_t(keepIndex)) != 0 ||
      ::ftruncate(data.Get(), off_t(keepData)) != 0 || ::fsync(index.Get()) != 0 ||
      ::fsync(data.Get()) != 0) {
    return fail("cannot be cut back");
  }
  SFileState dataAfter, indexAfter;
  StateOf(data.Get(), dataAfter);
  StateOf(index.Get(), indexAfter);
  const uint64_t before = dataState.blocks + indexState.blocks;
  const uint64_t after = dataAfter.blocks + indexAfter.blocks;
  note.releasedBytes = before > after ? before - after : 0;
  const std::string noteName = SegmentFileName(segment.stem, ESegmentFile::kRepairNote);
  UniqueFd noteFd =
      qnvtools::OpenRegularAt(day.Get(), noteName, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  const std::string text = qnvrec::RepairNoteText(note);
  if (!noteFd.Valid() || ::write(noteFd.Get(), text.data(), text.size()) != ssize_t(text.size()) ||
      ::fsync(noteFd.Get()) != 0) {
    return fail("its repair note cannot be written");
  }
  out.result = ERepair::kRepaired;
  return out;
}

}  // namespace qnvrecorder
