#include "record/CSaveList.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "QNVNetSdk.h"
#include "platform/Debug.h"
#include "platform/FailureNote.h"
#include "platform/UniqueFd.h"
#include "protocol/IndexRecord.h"
#include "record/COpenPathSet.h"
#include "record/CStreamQueue.h"
#include "record/SaveDir.h"
#include "record/SavePath.h"

namespace qnv {

using namespace protocol;

namespace {

std::atomic<uint32_t> g_sizeLimit{kSaveSizeLimit};

// Reads the offset field of index record n.
bool ReadRecordOffset(int fd, uint64_t n, uint32_t& offset) {
  uint8_t raw[4];
  off_t at = static_cast<off_t>(n * kIndexRecordSize + kIndexDataOffsetOffset);
  if (::pread(fd, raw, sizeof raw, at) != static_cast<ssize_t>(sizeof raw)) return false;
  offset = platform::LoadLe32(raw);
  return true;
}

// After a failed write both files are closed and hold whatever reached the
// disk. Cuts them back to the longest run of index records whose bodies lie
// wholly in the data file, and the data file to the end of the last such
// body, so the index never lists a body the data file does not hold. Works
// through descriptors kept from the open files, never by path: the host may
// have changed directory, or the paths may name other files by now.
bool RepairFiles(const tagSSaveData& save, int dataFd, int indexFd, uint64_t& keptRecords,
                 uint64_t& keptBytes, std::string& error) {
  struct stat dataStat, indexStat;
  if (dataFd < 0 || indexFd < 0 || ::fstat(dataFd, &dataStat) != 0 ||
      ::fstat(indexFd, &indexStat) != 0) {
    error = SystemErrorText();
    return false;
  }
  const uint64_t dataSize = static_cast<uint64_t>(dataStat.st_size);
  const uint64_t onDisk = static_cast<uint64_t>(indexStat.st_size) / kIndexRecordSize;
  const int fd = indexFd;
  // Record i (i + 1 < onDisk) ends where record i + 1 begins; offsets never
  // decrease, so the records that fit form a prefix: binary search for it.
  uint64_t lo = 0, hi = onDisk > 0 ? onDisk - 1 : 0;  // count of fitting records among them
  while (lo < hi) {
    uint64_t mid = lo + (hi - lo + 1) / 2;  // does record mid - 1 fit?
    uint32_t end;
    if (!ReadRecordOffset(fd, mid, end)) {
      error = SystemErrorText();
      return false;
    }
    if (end <= dataSize) {
      lo = mid;
    } else {
      hi = mid - 1;
    }
  }
  keptRecords = lo;
  keptBytes = 0;
  if (lo > 0) {
    uint32_t end;
    if (!ReadRecordOffset(fd, lo, end)) {
      error = SystemErrorText();
      return false;
    }
    keptBytes = end;
  }
  // Only memory knows where the last record on disk ends.
  uint32_t lastEnd;
  if (onDisk > 0 && keptRecords == onDisk - 1 && save.RecordEnd(onDisk - 1, lastEnd) &&
      lastEnd <= dataSize) {
    keptRecords = onDisk;
    keptBytes = lastEnd;
  }
  if (static_cast<uint64_t>(indexStat.st_size) != keptRecords * kIndexRecordSize &&
      ::ftruncate(indexFd, static_cast<off_t>(keptRecords * kIndexRecordSize)) != 0) {
    error = SystemErrorText();
    return false;
  }
  if (dataSize != keptBytes && ::ftruncate(dataFd, static_cast<off_t>(keptBytes)) != 0) {
    error = SystemErrorText();
    return false;
  }
  return true;
}

// Reserves the blocks of f up to at least `end`, `step` bytes beyond it at a
// time. False when `end` is not covered: the filesystem refused, now or before.
bool ReserveFor(FILE* f, SReservation& r, uint64_t end, uint64_t step) {
  if (end <= r.end) return true;
  if (r.refused) return false;
  const uint64_t to = end + step;
  if (!platform::FileReserve(f, int64_t(r.end), int64_t(to - r.end))) {
    r.refused = true;
    return false;
  }
  r.end = to;
  return true;
}

// Data blocks are reserved some seconds of video ahead: the filesystem then
// allocates them in one piece instead of accounting for every block at every
// write, which makes each frame's write measurably cheaper.
constexpr uint64_t kDataReserveStep = 4 << 20;

// Index records are buffered by stdio: a 40-byte write per frame costs about
// as much as the frame's own write. A disk that fills up must still let them
// into the file when it is closed, or the repair would drop every frame they
// list, so the blocks they will land in are reserved ahead, some 1,600 records
// at a time. A record beyond what could be reserved goes to the file at once.
constexpr uint64_t kIndexReserveStep = 64 * 1024;

std::string ErrnoText() {
  std::string text = SystemErrorText();
  return text.empty() ? std::string("short write") : text;
}

void Report(const std::string& line) { platform::DebugOutput(line.c_str()); }

// A recording that could not be opened: the line goes to the debug channel
// and becomes the caller's failure note.
void Refuse(platform::FailureKind kind, const std::string& line) {
  Report(line);
  platform::NoteFailure(kind, kind == platform::FailureKind::kSystem ? errno : 0, "%s",
                        line.c_str());
}

// Flushes and closes the file, giving back the blocks reserved past its end.
// False when something failed; the first failure's text goes to `why`.
bool CloseFile(UniqueFile& file, const SReservation& reserved, std::string& why) {
  errno = 0;
  bool ok = reserved.end == 0 || platform::FileFlushAndTrim(file.get());
  ok = platform::FileClose(file.release()) && ok;
  if (!ok && why.empty()) why = ErrnoText();
  return ok;
}

// The steps of CSaveList::Open. Each refusal is reported (Refuse) and leaves
// nothing reserved or open.

// Names the index file beside the data file and makes the data file's
// directory. False when the data path names no file, or names an index.
bool NamePaths(tagSSaveData& save) {
  SSplitPath parts = SplitPath(save.dataPath);
  // A path ending in '/' names a directory, and one ending in ".idx" would be
  // its own index file.
  if (parts.name.empty() && parts.ext.empty()) {
    Refuse(platform::FailureKind::kBadArgument,
           "recording refused: \"" + save.dataPath + "\" names no file");
    return false;
  }
  if (parts.ext == kIndexExtension) {
    Refuse(platform::FailureKind::kBadArgument,
           "recording refused: data path \"" + save.dataPath + "\" ends in .idx");
    return false;
  }
  save.indexPath = IndexPathFor(save.dataPath);
  // A path without a directory part lies in the current directory, which
  // exists. Whether creation worked is decided by opening the files.
  std::string dir = parts.drive + parts.dir;
  if (!dir.empty() && !DirExists(dir)) CreateDirs(dir);
  return true;
}

// The refusal of a file another recording writes, or of one file for both.
std::string SameFileRefusal(const tagSSaveData& save) {
  return "recording refused: \"" + save.dataPath + "\" or its index \"" + save.indexPath +
         "\" is the other one, or a file another recording writes";
}

// Reserves both paths for this recording and checks what they name now,
// before anything is created: no FIFO, device or directory, no link for the
// index, no file another recording writes, not one file for both. The opens
// check again through their descriptors.
bool ReservePaths(tagSSaveData& save) {
  save.dataKey = COpenPathSet::CanonicalPath(save.dataPath);
  save.indexKey = COpenPathSet::CanonicalPath(save.indexPath);
  if (!OpenPaths().Reserve(save.dataKey, save.indexKey)) {
    Refuse(platform::FailureKind::kBadArgument,
           "recording refused: \"" + save.dataPath + "\" or its index \"" + save.indexPath +
               "\" is already being written by another recording");
    return false;
  }
  // A FIFO or device would block the open (holding the save mutex) and is
  // no recording; the index path, which the host never named, is not
  // followed through a symbolic link.
  std::string refused = platform::PathRefusal(save.dataPath.c_str(), true);
  const std::string& refusedPath = refused.empty() ? save.indexPath : save.dataPath;
  if (refused.empty()) refused = platform::PathRefusal(save.indexPath.c_str(), false);
  if (!refused.empty()) {
    OpenPaths().Release(save.dataKey, save.indexKey);
    Refuse(platform::FailureKind::kBadArgument,
           "recording refused: \"" + refusedPath + "\" is " + refused);
    return false;
  }
  platform::SFileIdentity dataNow, indexNow;
  const bool dataExists = platform::PathIdentity(save.dataPath.c_str(), true, &dataNow);
  const bool indexExists = platform::PathIdentity(save.indexPath.c_str(), false, &indexNow);
  if ((dataExists && OpenPaths().HasId(dataNow)) || (indexExists && OpenPaths().HasId(indexNow)) ||
      (dataExists && indexExists && dataNow == indexNow)) {
    OpenPaths().Release(save.dataKey, save.indexKey);
    Refuse(platform::FailureKind::kBadArgument, SameFileRefusal(save));
    return false;
  }
  return true;
}

// Opens both files (their paths reserved) and reserves their identities, then
// empties them. Both opens are tried; a file created before the other failed
// stays, empty. Nothing is truncated before both are open and known to be no
// other recording's files. On failure the paths are released too.
bool OpenFiles(tagSSaveData& save) {
  std::string dataError, indexError;
  save.dataFile.reset(platform::FileOpenRegular(save.dataPath.c_str(), platform::FileAccess::kWrite,
                                                false, &dataError));
  save.indexFile.reset(platform::FileOpenRegular(save.indexPath.c_str(),
                                                 platform::FileAccess::kWrite, true, &indexError));
  std::string failure;
  if (!save.dataFile || !save.indexFile) {
    failure = "recording not opened: \"" + (save.dataFile ? save.indexPath + "\": " + indexError
                                                          : save.dataPath + "\": " + dataError);
  } else if (!platform::FileIdentity(save.dataFile.get(), &save.dataId) ||
             !platform::FileIdentity(save.indexFile.get(), &save.indexId) ||
             !OpenPaths().ReserveIds(save.dataId, save.indexId)) {
    failure = SameFileRefusal(save);
  } else {
    save.idsReserved = true;
    if (!platform::FileTruncate(save.dataFile.get(), 0) ||
        !platform::FileTruncate(save.indexFile.get(), 0)) {
      failure = "recording not opened: \"" + save.dataPath + "\": " + SystemErrorText();
      OpenPaths().ReleaseIds(save.dataId, save.indexId);
      save.idsReserved = false;
    }
  }
  if (failure.empty()) return true;
  save.dataFile.reset();
  save.indexFile.reset();
  OpenPaths().Release(save.dataKey, save.indexKey);
  Refuse(platform::FailureKind::kSystem, failure);
  return false;
}

// Sets the open files up for frames and writes the queue's pre-record
// stretch: its bytes begin the data file, so the queue's records already
// carry the right data-file offsets. False, with the cause in `error`, when
// a write failed.
bool WritePreRecord(tagSSaveData& save, const CStreamQueue& queue, std::string& error) {
  // Frames are large: each goes to the data file in one write of its own,
  // rather than a top-up of the stream buffer followed by a write of the rest.
  std::setvbuf(save.dataFile.get(), nullptr, _IONBF, 0);
  ReserveFor(save.indexFile.get(), save.indexReserved, queue.Count() * kIndexRecordSize,
             kIndexReserveStep);
  const int32_t total = queue.GetTotal();
  if (total <= 0) return true;
  errno = 0;
  if (platform::FileWrite(save.dataFile.get(), queue.GetBuffer(), static_cast<size_t>(total)) !=
      static_cast<size_t>(total)) {
    error = ErrnoText();
    return false;
  }
  errno = 0;
  // Flushed, so the stretch's records are in the file with its bytes.
  if (!queue.WriteIndex(save.indexFile.get()) || std::fflush(save.indexFile.get()) != 0) {
    error = ErrnoText();
    return false;
  }
  const long position = std::ftell(save.indexFile.get());
  if (position != static_cast<long>(queue.Count() * kIndexRecordSize)) {
    error = "index position lost";
    return false;
  }
  save.recordCount = static_cast<uint64_t>(position) / kIndexRecordSize;
  if (save.recordCount > 0) save.NoteRecordEnd(save.recordCount - 1, uint32_t(total));
  save.bytesWritten = static_cast<uint32_t>(total);
  return true;
}

}  // namespace

CSaveList::CSaveList() { m_saves.reserve(kMaxSaves); }

CSaveList::~CSaveList() { CloseAll(); }

void CSaveList::SetSizeLimitForTesting(uint32_t bytes) {
  g_sizeLimit.store(bytes == 0 ? kSaveSizeLimit : bytes);
}

uint32_t CSaveList::FreeId() const {
  for (uint32_t candidate = 1; candidate <= kMaxSaves; ++candidate) {
    bool taken = false;
    for (const auto& s : m_saves) taken = taken || s->id == candidate;
    if (!taken) return candidate;
  }
  return 0;
}

uint32_t CSaveList::Open(const char* dataPath, const CStreamQueue& queue, uint32_t& id) {
  if (m_saves.size() >= kMaxSaves) return QNVNET_ERR_TOO_MANY_SAVES;
  const uint32_t newId = FreeId();
  if (newId == 0 || dataPath == nullptr || dataPath[0] == '\0') return QNVNET_ERR_SAVE_OPEN;
  auto save = std::make_unique<tagSSaveData>();
  save->dataPath = dataPath;
  if (!NamePaths(*save) || !ReservePaths(*save) || !OpenFiles(*save)) return QNVNET_ERR_SAVE_OPEN;
  save->id = newId;
  std::string error;
  const bool written = WritePreRecord(*save, queue, error);
  m_saves.push_back(std::move(save));
  if (!written) {
    // Ended as any recording whose write failed: closed, repaired, released.
    End(m_saves.size() - 1, EndReason::kWriteFailed, error);
    return QNVNET_ERR_SAVE_OPEN;
  }
  id = newId;
  return QNVNET_OK;
}

bool CSaveList::StartNow(uint32_t id) {
  for (auto& save : m_saves) {
    if (save->id == id) {
      save->started = true;
      return true;
    }
  }
  return false;
}

uint32_t CSaveList::Rollover(uint32_t id, const char* newPath, uint32_t& newId) {
  tagSSaveData* from = nullptr;
  for (auto& save : m_saves) {
    if (save->id == id) from = save.get();
    // A recording still waiting to take over has not begun: handing it over
    // too would end it empty at the same key frame.
    if (save->rolloverTo == id) return QNVNET_ERR_ROLLOVER_PENDING;
  }
  if (from == nullptr) return QNVNET_ERR_NO_SAVE;
  if (from->rolloverTo != 0) return QNVNET_ERR_ROLLOVER_PENDING;
  const CStreamQueue noPreRecord;
  uint32_t opened = 0;
  uint32_t rc = Open(newPath, noPreRecord, opened);
  if (rc != QNVNET_OK) return rc;
  // Open appends; nothing before it moved, so `from` is still valid. Both
  // decide on the same frame in one WriteFrame: none missed, none twice.
  from->rolloverTo = opened;
  m_saves.back()->waitsForGroup = true;
  newId = opened;
  return QNVNET_OK;
}

uint32_t CSaveList::Close(uint32_t id) {
  for (size_t i = 0; i < m_saves.size(); ++i) {
    if (m_saves[i]->id == id) {
      End(i, EndReason::kClosed, std::string());
      return QNVNET_OK;
    }
  }
  return QNVNET_ERR_NO_SAVE;
}

void CSaveList::CloseAll() {
  while (!m_saves.empty()) End(m_saves.size() - 1, EndReason::kClosed, std::string());
}

void CSaveList::WriteFrame(const SFrameIndex& header, const uint8_t* body, uint32_t length) {
  SFrameIndex record = header;
  const uint32_t limit = g_sizeLimit.load(std::memory_order_relaxed);
  // Recordings begin, and hand over, where a group of pictures begins (its
  // parameter sets first), or at a key frame no parameter sets lead up to.
  m_groupStart.Next(header, body, length);
  const bool groupStart = m_groupStart.Boundary();
  size_t i = 0;
  while (i < m_saves.size()) {
    tagSSaveData& save = *m_saves[i];
    // A hand-over happens where a group of pictures begins, so the new file
    // starts with its parameter sets.
    if (save.rolloverTo != 0 && groupStart) {
      End(i, EndReason::kClosed, std::string());
      continue;
    }
    if (save.waitsForGroup) {
      if (!groupStart) {
        ++i;
        continue;
      }
      save.waitsForGroup = false;
      save.started = true;
    }
    if (!save.started) {
      if (!groupStart) {
        ++i;
        continue;
      }
      save.started = true;
    }
    // Offsets must fit their 32-bit field; only a raised limit gets here.
    if (uint64_t(save.bytesWritten) + length > UINT32_MAX) {
      End(i, EndReason::kSizeLimit, std::string());
      continue;
    }
    ReserveFor(save.dataFile.get(), save.dataReserved, uint64_t(save.bytesWritten) + length,
               kDataReserveStep);
    errno = 0;
    if (length > 0 && platform::FileWrite(save.dataFile.get(), body, length) != length) {
      End(i, EndReason::kWriteFailed, ErrnoText());
      continue;
    }
    record.SetOffset(save.bytesWritten);
    // A key frame sends the records before it to the file: a crash of the
    // process can take from the index at most the frames since the last one.
    FILE* index = save.indexFile.get();
    const bool buffered = ReserveFor(index, save.indexReserved,
                                     (save.recordCount + 1) * kIndexRecordSize, kIndexReserveStep);
    if ((header.FrameKind() == kFrameKindI && std::fflush(index) != 0) ||
        platform::FileWrite(index, record.bytes, kIndexRecordSize) != kIndexRecordSize ||
        (!buffered && std::fflush(index) != 0)) {
      End(i, EndReason::kWriteFailed, ErrnoText());
      continue;
    }
    save.bytesWritten += length;
    save.NoteRecordEnd(save.recordCount++, save.bytesWritten);
    if (save.bytesWritten >= limit) {
      End(i, EndReason::kSizeLimit, std::string());
      continue;
    }
    ++i;
  }
}

void CSaveList::End(size_t i, EndReason reason, const std::string& error) {
  std::unique_ptr<tagSSaveData> save = std::move(m_saves[i]);
  m_saves.erase(m_saves.begin() + static_cast<std::ptrdiff_t>(i));
  // A recording that was to hand over to this one goes on; one that was to
  // take over from it begins at the next key frame as any other.
  for (auto& other : m_saves) {
    if (other->rolloverTo == save->id) other->rolloverTo = 0;
    if (save->rolloverTo == other->id) other->waitsForGroup = false;
  }

  // Kept past the close for a repair through the files themselves.
  platform::UniqueFd dataFd(save->dataFile ? ::dup(fileno(save->dataFile.get())) : -1);
  platform::UniqueFd indexFd(save->indexFile ? ::dup(fileno(save->indexFile.get())) : -1);
  std::string why = error;
  bool dataClosed = CloseFile(save->dataFile, save->dataReserved, why);
  bool indexClosed = CloseFile(save->indexFile, save->indexReserved, why);
  bool failed = reason == EndReason::kWriteFailed || !dataClosed || !indexClosed;

  if (failed) {
    uint64_t frames = 0, bytes = 0;
    std::string repairError;
    std::string line = "recording " + std::to_string(save->id) + " (\"" + save->dataPath +
                       "\") ended: write failed: " + why;
    if (RepairFiles(*save, dataFd.get(), indexFd.get(), frames, bytes, repairError)) {
      line +=
          "; files hold " + std::to_string(frames) + " frames, " + std::to_string(bytes) + " bytes";
    } else {
      line += "; files could not be checked: " + repairError;
    }
    Report(line);
  } else if (reason == EndReason::kSizeLimit) {
    Report("recording " + std::to_string(save->id) + " (\"" + save->dataPath +
           "\") ended at the size limit, " + std::to_string(save->bytesWritten) + " bytes");
  }
  OpenPaths().Release(save->dataKey, save->indexKey);
  if (save->idsReserved) OpenPaths().ReleaseIds(save->dataId, save->indexId);
}

}  // namespace qnv
