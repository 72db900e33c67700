#include "qnvcatalogue/SegmentFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "qnvrecording/CRecordingReader.h"

namespace qnvcat {
namespace {

bool AllDigits(const std::string& s, size_t from, size_t count) {
  if (from + count > s.size()) return false;
  for (size_t i = from; i < from + count; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
  }
  return true;
}

bool IsDateName(const std::string& s) {
  return s.size() == 10 && AllDigits(s, 0, 4) && s[4] == '-' && AllDigits(s, 5, 2) && s[7] == '-' &&
         AllDigits(s, 8, 2);
}

// HHMMSS.qnv or HHMMSS-N.qnv.
bool IsSegmentName(const std::string& s) {
  const std::string ext = ".qnv";
  if (s.size() < 6 + ext.size() || !AllDigits(s, 0, 6) ||
      s.compare(s.size() - ext.size(), ext.size(), ext) != 0) {
    return false;
  }
  const size_t stemEnd = s.size() - ext.size();
  if (stemEnd == 6) return true;
  return s[6] == '-' && stemEnd > 7 && stemEnd - 7 <= 9 && AllDigits(s, 7, stemEnd - 7);
}

// Names in a folder, of entries of `type` (a link is no folder or file here).
// follow: the folder itself may be reached through a link (ROOT may be one).
std::vector<std::string> List(const std::string& dir, mode_t type, bool follow = false) {
  std::vector<std::string> names;
  const int fd =
      ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
  if (fd < 0) return names;
  DIR* d = ::fdopendir(fd);
  if (d == nullptr) {
    ::close(fd);
    return names;
  }
  while (dirent* e = ::readdir(d)) {
    struct stat st;
    if (e->d_name[0] == '.' || ::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        (st.st_mode & S_IFMT) != type) {
      continue;
    }
    names.push_back(e->d_name);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

bool IsCameraName(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
  });
}

bool ParseSegmentPath(const std::string& path, std::string& camera, int64_t& startUs) {
  // .../CAMERA/YYYY-MM-DD/NAME
  const size_t nameAt = path.rfind('/');
  if (nameAt == std::string::npos || nameAt < 11) return false;
  const std::string name = path.substr(nameAt + 1);
  const std::string date = path.substr(nameAt - 10, 10);
  if (path[nameAt - 11] != '/' || !IsDateName(date) || !IsSegmentName(name)) return false;
  const size_t cameraAt = path.rfind('/', nameAt - 12);
  camera = path.substr(cameraAt == std::string::npos ? 0 : cameraAt + 1,
                       nameAt - 11 - (cameraAt == std::string::npos ? 0 : cameraAt + 1));
  if (!IsCameraName(camera)) return false;
  tm utc{};
  utc.tm_year = std::atoi(date.substr(0, 4).c_str()) - 1900;
  utc.tm_mon = std::atoi(date.substr(5, 2).c_str()) - 1;
  utc.tm_mday = std::atoi(date.substr(8, 2).c_str());
  utc.tm_hour = std::atoi(name.substr(0, 2).c_str());
  utc.tm_min = std::atoi(name.substr(2, 2).c_str());
  utc.tm_sec = std::atoi(name.substr(4, 2).c_str());
  if (utc.tm_mon > 11 || utc.tm_mday < 1 || utc.tm_mday > 31 || utc.tm_hour > 23 ||
      utc.tm_min > 59 || utc.tm_sec > 60) {
    return false;
  }
  startUs = int64_t(timegm(&utc)) * 1000000;
  return true;
}

bool ScanSegment(const std::string& path, SSegmentRow& row, SScanResult& result,
                 std::string& error) {
  result = SScanResult{};
  row.path = path;
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return true;
    error = path + ": " + std::strerror(errno);
    return false;
  }
  result.exists = true;
  qnvrec::CRecordingReader reader;
  if (st.st_size == 0) {
    // Ended before its first key frame: nothing in it.
    row.frames = row.bytes = 0;
    return true;
  }
  if (!reader.Open(path, qnvrec::IndexPathFor(path), error)) return false;
  const qnvrec::SRecordingSummary& s = reader.Summary();
  result.consistent = s.Consistent();
  result.pictures = s.pictures;
  row.frames = s.frames;
  row.bytes = s.dataFileBytes + s.indexFileBytes;
  if (s.stampsUsable) {
    row.clock = EClock::kCapture;
    row.firstUs = int64_t(s.firstStampUs);
    row.lastUs = int64_t(s.lastStampUs);
  } else {
    row.clock = EClock::kArrival;
    const int64_t modified =
        int64_t(st.st_mtim.tv_sec) * 1000000 + int64_t(st.st_mtim.tv_nsec / 1000);
    std::string camera;
    int64_t start = 0;
    row.firstUs = ParseSegmentPath(path, camera, start) ? start : modified;
    row.lastUs = std::max(row.firstUs, modified);
  }
  return true;
}

std::vector<std::string> FindSegmentFiles(const std::string& root,
                                          const std::set<std::string>& cameras) {
  std::vector<std::string> paths;
  for (const std::string& camera : List(root, S_IFDIR, true)) {
    if (!IsCameraName(camera) || (!cameras.empty() && !cameras.count(camera))) continue;
    const std::string cameraDir = root + "/" + camera;
    for (const std::string& day : List(cameraDir, S_IFDIR)) {
      if (!IsDateName(day)) continue;
      const std::string dayDir = cameraDir + "/" + day;
      for (const std::string& name : List(dayDir, S_IFREG)) {
        if (IsSegmentName(name)) paths.push_back(dayDir + "/" + name);
      }
    }
  }
  return paths;
}

}  // namespace qnvcat
