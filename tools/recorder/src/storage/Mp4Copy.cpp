#include "storage/Mp4Copy.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "qnvrecording/CExporter.h"
#include "qnvrecording/CMp4Writer.h"
#include "qnvrecording/COutputFile.h"
#include "qnvrecording/CRecordingReader.h"
#include "qnvrecording/SIndexRecord.h"
#include "qnvtools/SafeFile.h"

namespace qnvrecorder {
namespace {

// MP4 tables per picture (sizes, offsets, times, key-frame list) and the rest.
constexpr uint64_t kMp4BytesPerFrame = 24;
constexpr uint64_t kMp4FixedBytes = 64 * 1024;

UniqueFd OpenOwnForReading(int dayFd, const std::string& name) {
  UniqueFd fd = qnvtools::OpenRegularAt(dayFd, name, O_RDONLY);
  struct stat st {};
  if (fd.Valid() && (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))) fd.Reset();
  return fd;
}

}  // namespace

uint64_t Mp4CopyBytes(const CStorageRoot& storage, const SSegment& segment) {
  UniqueFd day = storage.OpenDay(segment.camera, segment.date);
  if (!day.Valid()) return 0;
  struct stat data {
  }, index{};
  if (::fstatat(day.Get(), SegmentFileName(segment.stem, ESegmentFile::kData).c_str(), &data,
                AT_SYMLINK_NOFOLLOW) != 0 ||
      ::fstatat(day.Get(), SegmentFileName(segment.stem, ESegmentFile::kIndex).c_str(), &index,
                AT_SYMLINK_NOFOLLOW) != 0) {
    return 0;
  }
  return uint64_t(data.st_size) +
         uint64_t(index.st_size) / qnvrec::SIndexRecord::kSize * kMp4BytesPerFrame + kMp4FixedBytes;
}

EMp4Copy MakeMp4Copy(const CStorageRoot& storage, const SSegment& segment, std::string& error) {
  UniqueFd day = storage.OpenDay(segment.camera, segment.date);
  const std::string dataName = SegmentFileName(segment.stem, ESegmentFile::kData);
  const std::string indexName = SegmentFileName(segment.stem, ESegmentFile::kIndex);
  const std::string mp4Name = SegmentFileName(segment.stem, ESegmentFile::kMp4);
  UniqueFd data = day.Valid() ? OpenOwnForReading(day.Get(), dataName) : UniqueFd();
  UniqueFd index = day.Valid() ? OpenOwnForReading(day.Get(), indexName) : UniqueFd();
  if (!data.Valid() || !index.Valid()) {
    error = "the segment's files are gone or are not regular files";
    return EMp4Copy::kFailed;
  }
  qnvrec::CRecordingReader reader;
  if (!reader.Open(storage.ReopenPath(data.Get(), segment.stemPath + kSegmentExtension),
                   storage.ReopenPath(index.Get(), segment.stemPath + kIndexExtension), error)) {
    return EMp4Copy::kFailed;
  }
  if (reader.FrameCount() == 0) return EMp4Copy::kNothing;  // ended before a key frame
  const std::string viaFolder = storage.FdPath(day.Get(), mp4Name);
  qnvrec::COutputFile output;
  if (!output.Prepare(viaFolder.empty() ? segment.stemPath + kMp4Extension : viaFolder,
                      {reader.DataId(), reader.IndexId()}, error)) {
    return EMp4Copy::kFailed;
  }
  qnvrec::SExportResult result;
  {
    qnvrec::CMp4Writer writer(output.WorkPath());  // timed by the frames' capture times
    qnvrec::CExporter exporter(reader, writer);
    if (!exporter.Run(result, error)) return EMp4Copy::kFailed;
  }
  return output.Commit(error) ? EMp4Copy::kMade : EMp4Copy::kFailed;
}

}  // namespace qnvrecorder
