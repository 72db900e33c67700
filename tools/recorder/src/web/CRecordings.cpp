#include "web/CRecordings.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "qnvrecording/CMp4Writer.h"
#include "qnvrecording/CRecordingReader.h"
#include "qnvrecording/SIndexRecord.h"
#include "qnvtools/SafeFile.h"
#include "qnvtools/UniqueFd.h"
#include "storage/CStorageRoot.h"
#include "storage/SegmentNames.h"

namespace qnvrecorder {

using qnvtools::UniqueFd;
namespace {

constexpr int64_t kDayUs = 86400LL * 1000000;
constexpr size_t kCaptureOffset = 16;  // of an index record: the capture time, µs since 1970

int64_t DayStartUs(const std::string& date) {
  struct tm t {};
  if (std::sscanf(date.c_str(), "%4d-%2d-%2d", &t.tm_year, &t.tm_mon, &t.tm_mday) != 3) return -1;
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  return static_cast<int64_t>(timegm(&t)) * 1000000;
}

// The capture times of an index's first and last records; the index is
// opened below dayFd with no link followed, never waiting on a FIFO.
bool IndexSpan(int dayFd, const std::string& dataName, int64_t& firstUs, int64_t& lastUs,
               uint64_t& frames) {
  UniqueFd fd = qnvtools::OpenRegularAt(dayFd, qnvrec::IndexPathFor(dataName), O_RDONLY);
  struct stat st {};
  if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0) return false;
  frames = static_cast<uint64_t>(st.st_size) / qnvrec::SIndexRecord::kSize;
  if (frames == 0) return false;
  uint8_t first[qnvrec::SIndexRecord::kSize], last[qnvrec::SIndexRecord::kSize];
  if (::pread(fd.Get(), first, sizeof first, 0) != static_cast<ssize_t>(sizeof first) ||
      ::pread(fd.Get(), last, sizeof last,
              static_cast<off_t>((frames - 1) * qnvrec::SIndexRecord::kSize)) !=
          static_cast<ssize_t>(sizeof last)) {
    return false;
  }
  auto time = [](const uint8_t* r) {
    return static_cast<int64_t>(QnvLoadLe32(r + kCaptureOffset) |
                                uint64_t(QnvLoadLe32(r + kCaptureOffset + 4)) << 32);
  };
  firstUs = time(first);
  lastUs = time(last);
  return lastUs >= firstUs;
}

// The names in the folder behind fd (which stays open).
bool ListFolder(int fd, std::vector<std::string>& names) {
  UniqueFd own(::dup(fd));
  DIR* dir = own.Valid() ? ::fdopendir(own.Get()) : nullptr;
  if (dir == nullptr) return false;
  own.Release();  // the listing owns it now
  ::rewinddir(dir);
  while (const dirent* e = ::readdir(dir)) names.emplace_back(e->d_name);
  ::closedir(dir);
  return true;
}

}  // namespace

void CRecordings::SetCatalogue(qnvcat::STarget target, std::string recorder) {
  m_target = std::move(target);
  m_recorder = std::move(recorder);
  m_hasTarget = true;
}

namespace {

// A page's read waits this long at most for the database: a server that
// stopped answering holds one of the web server's workers, never for long.
constexpr int kReadConnectSeconds = 3;
constexpr int kReadCallMs = 5000;

}  // namespace

qnvcat::STarget CRecordings::Target() const {
  qnvcat::STarget target;
  if (m_hasTarget) target = m_target;
  else target.rootOrUrl = m_root;
  target.applicationName = "qnv-recorder web";
  target.connectTimeoutSeconds = std::min(target.connectTimeoutSeconds, kReadConnectSeconds);
  target.callTimeoutMs = std::min(target.callTimeoutMs, kReadCallMs);
  target.statementTimeoutMs = std::min(target.statementTimeoutMs, kReadCallMs);
  target.abortFd = m_abortFd;
  return target;
}

bool CRecordings::HasCatalogue() const {
  if (!Available()) return false;
  if (m_hasTarget && qnvcat::IsDatabaseUrl(m_target.rootOrUrl)) return true;
  return ::access(qnvcat::SqlitePathFor(m_hasTarget ? m_target.rootOrUrl : m_root).c_str(),
                  R_OK) == 0;
}

bool CRecordings::FileSegments(const std::string& camera, int64_t fromUs, int64_t toUs,
                               std::vector<qnvcat::SSegmentRow>& out, std::string& error) {
  // As the writer walks ROOT: no link followed below it, so a camera or
  // date folder that is a link out of ROOT serves nothing.
  UniqueFd rootFd(::open(m_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  UniqueFd cameraFd = rootFd.Valid() ? qnvtools::OpenFolderAt(rootFd.Get(), camera) : UniqueFd();
  if (!cameraFd.Valid()) return true;
  std::vector<std::string> names, days;
  if (!ListFolder(cameraFd.Get(), names)) {
    error = m_root + "/" + camera + ": " + std::strerror(errno);
    return false;
  }
  for (const std::string& name : names) {
    if (!IsDateFolderName(name)) continue;
    const int64_t day = DayStartUs(name);
    // A segment runs into the next day at most: the day before is looked at too.
    if (day + 2 * kDayUs > fromUs && day < toUs) days.push_back(name);
  }
  std::sort(days.begin(), days.end());
  for (const std::string& day : days) {
    UniqueFd dayFd = qnvtools::OpenFolderAt(cameraFd.Get(), day);
    std::vector<std::string> files;
    if (!dayFd.Valid() || !ListFolder(dayFd.Get(), files)) continue;
    std::vector<std::pair<uint64_t, std::string>> stems;
    for (const std::string& file : files) {
      std::string stem;
      ESegmentFile kind;
      if (ParseSegmentFileName(file, stem, kind) && kind == ESegmentFile::kData) {
        stems.emplace_back(StemOrder(stem), file);
      }
    }
    std::sort(stems.begin(), stems.end());
    for (const auto& [order, file] : stems) {
      qnvcat::SSegmentRow row;
      // The data file itself must be a regular file too, not a link.
      if (!qnvtools::OpenRegularAt(dayFd.Get(), file, O_RDONLY).Valid() ||
          !IndexSpan(dayFd.Get(), file, row.firstUs, row.lastUs, row.frames)) {
        continue;
      }
      if (row.lastUs < fromUs || row.firstUs >= toUs) continue;
      row.camera = camera;
      row.recorder = m_instance;
      row.path = m_root + "/" + camera + "/" + day + "/" + file;
      row.clock = qnvcat::EClock::kCapture;
      row.state = qnvcat::ESegmentState::kClosed;
      out.push_back(std::move(row));
    }
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const auto& a, const auto& b) { return a.firstUs < b.firstUs; });
  return true;
}

bool CRecordings::Segments(const std::string& camera, int64_t fromUs, int64_t toUs,
                           std::vector<qnvcat::SSegmentRow>& out, std::string& source,
                           std::string& error) {
  out.clear();
  if (!Available()) return true;
  if (HasCatalogue()) {
    auto catalogue = qnvcat::OpenCatalogue(Target(), qnvcat::EOpenMode::kRead, error);
    if (catalogue) {
      source = "catalogue";
      qnvcat::SSegmentQuery query;
      query.camera = camera;
      query.fromUs = fromUs;
      query.toUs = toUs;
      // A shared database also holds other recorders' rows, whose files are
      // on their own disks.
      if (m_hasTarget && qnvcat::IsDatabaseUrl(m_target.rootOrUrl)) query.recorder = m_recorder;
      return catalogue->Segments(query, out, error);
    }
  }
  source = "files";
  return FileSegments(camera, fromUs, toUs, out, error);
}

bool CRecordings::Events(const qnvcat::SEventQuery& query, std::vector<qnvcat::SEventRow>& out,
                         std::string& error) {
  out.clear();
  if (!HasCatalogue()) return true;
  auto catalogue = qnvcat::OpenCatalogue(Target(), qnvcat::EOpenMode::kRead, error);
  return catalogue && catalogue->Events(query, out, error);
}

int CRecordings::TemporaryFile(std::string& error) const {
  UniqueFd own = OpenOwnFolder(m_root, m_instance, error);
  if (!own.Valid()) {
    error = "cannot make a file for the export: " + error;
    return -1;
  }
  const int fd = ::openat(own.Get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = "cannot make a file for the export in " + m_root + "/" + kReservedFolder + "/" +
            m_instance + ": " + std::strerror(errno);
  }
  return fd;
}

bool CRecordings::Export(const std::string& camera, int64_t fromUs, int64_t toUs, int fd,
                         qnvrec::SRangeResult& result, std::string& error,
                         const qnvrec::CRangeExporter::Progress& progress,
                         const std::atomic<bool>* cancel) {
  return Write(camera, fromUs, toUs, fd, false, result, error, progress, cancel);
}

bool CRecordings::Piece(const std::string& camera, int64_t fromUs, int64_t toUs, int fd,
                        qnvrec::SRangeResult& result, std::string& error) {
  return Write(camera, fromUs, toUs, fd, true, result, error, nullptr, nullptr);
}

bool CRecordings::Write(const std::string& camera, int64_t fromUs, int64_t toUs, int fd,
                        bool fragmented, qnvrec::SRangeResult& result, std::string& error,
                        const qnvrec::CRangeExporter::Progress& progress,
                        const std::atomic<bool>* cancel) {
  std::vector<qnvcat::SSegmentRow> rows;
  std::string source;
  if (!Segments(camera, fromUs, toUs, rows, source, error)) return false;
  if (rows.empty()) {
    error = "nothing of camera " + camera + " is recorded in that span";
    return false;
  }
  std::vector<qnvrec::SRangeSegment> segments;
  for (const qnvcat::SSegmentRow& r : rows) segments.push_back({r.path, r.firstUs});
  if (::ftruncate(fd, 0) != 0) {
    error = std::string("cannot write the export: ") + std::strerror(errno);
    return false;
  }
  // The muxer opens a path: the descriptor's own, through /proc.
  qnvrec::CMp4Writer writer("/proc/self/fd/" + std::to_string(fd));
  writer.SetFragmented(fragmented);
  qnvrec::SRangeOptions options;  // as qnv-export --catalogue sets them
  options.fromUs = fromUs;
  options.toUs = toUs;
  // A browser's source buffer has no edit list: the piece starts at its key
  // picture and the page places it by result.keyUs.
  options.trim = !fragmented;
  options.cancel = cancel;
  qnvrec::CRangeExporter exporter(std::move(segments), writer, options);
  return exporter.Run(result, error, progress);
}

}  // namespace qnvrecorder
