#include "qnvcatalogue/Journal.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "LineFile.h"
#include "qnvrecording/TimeText.h"

namespace qnvcat {
namespace {

constexpr int64_t kDayUs = 86400LL * 1000000;

// YYYY-MM-DD of a UTC time.
std::string DayName(int64_t us) { return qnvrec::DayText(us, true); }

// The UTC start of a day file's day; false for a name that is not one.
bool DayStart(const std::string& name, int64_t& us) {
  int y, m, d;
  char tail[8];
  if (name.size() != 16 || std::sscanf(name.c_str(), "%4d-%2d-%2d%7s", &y, &m, &d, tail) != 4 ||
      std::strcmp(tail, ".jsonl") != 0) {
    return false;
  }
  tm utc{};
  utc.tm_year = y - 1900;
  utc.tm_mon = m - 1;
  utc.tm_mday = d;
  us = int64_t(timegm(&utc)) * 1000000;
  return true;
}

bool DayFiles(const std::string& dir, std::vector<std::string>& names, std::string& error) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) {
    error = dir + ": " + std::strerror(errno);
    return false;
  }
  int64_t us;
  while (dirent* e = ::readdir(d)) {
    if (DayStart(e->d_name, us)) names.push_back(e->d_name);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return true;
}

}  // namespace

bool CJournalWriter::Open(const std::string& dir, std::string& error) {
  m_dir = dir;
  return MakeFolder(dir, error);
}

bool CJournalWriter::Append(const SOp& op, int64_t nowUs, std::string& error) {
  const std::string path = m_dir + "/" + DayName(nowUs) + ".jsonl";
  if (path != m_lastFile) {
    // A line torn by a crash would swallow the next one.
    if (::access(path.c_str(), F_OK) == 0 && !DropTornTail(path, error)) return false;
    m_lastFile = path;
  }
  return AppendLines(path, OpToJson(op) + "\n", false, error, 0640);
}

bool ReadJournal(const std::string& dir, const std::function<void(SOp&&)>& fn, SJournalStats& stats,
                 std::string& error) {
  stats = SJournalStats{};
  std::vector<std::string> names;
  if (!DayFiles(dir, names, error)) return false;
  for (const std::string& name : names) {
    CLineReader reader;
    if (!reader.Open(dir + "/" + name, 0, error)) return false;
    ++stats.files;
    std::string line, why;
    SOp op;
    while (reader.Next(line, error)) {
      if (OpFromJson(line, op, why) &&
          (op.kind == SOp::EKind::kEvent || op.kind == SOp::EKind::kState)) {
        ++stats.entries;
        fn(std::move(op));
      } else {
        ++stats.skipped;
      }
    }
    if (!error.empty()) return false;
    stats.skipped += reader.TooLong();
  }
  return true;
}

int64_t LastJournalEventId(const std::string& dir) {
  constexpr uint64_t kTailBytes = 256 * 1024;
  std::vector<std::string> names;
  std::string error;
  if (!DayFiles(dir, names, error)) return 0;
  // The newest day that is a regular file (a FIFO or link planted under a
  // day's name is passed over, never waited on).
  for (auto name = names.rbegin(); name != names.rend(); ++name) {
    const std::string path = dir + "/" + *name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    const uint64_t size = uint64_t(st.st_size);
    CLineReader reader;
    if (!reader.Open(path, size > kTailBytes ? size - kTailBytes : 0, error)) continue;
    int64_t last = 0;
    std::string line, why;
    SOp op;
    // The first line read may be a piece of one: it is no op and is passed over.
    while (reader.Next(line, error)) {
      if (OpFromJson(line, op, why) && op.kind == SOp::EKind::kEvent) {
        last = std::max(last, op.event.id);
      }
    }
    return last;
  }
  return 0;
}

size_t PruneJournal(const std::string& dir, int64_t beforeUs) {
  std::vector<std::string> names;
  std::string error;
  if (!DayFiles(dir, names, error)) return 0;
  size_t removed = 0;
  for (const std::string& name : names) {
    int64_t start;
    if (DayStart(name, start) && start + kDayUs <= beforeUs &&
        ::unlink((dir + "/" + name).c_str()) == 0) {
      ++removed;
    }
  }
  return removed;
}

}  // namespace qnvcat
