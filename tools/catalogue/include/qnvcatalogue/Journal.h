// The journal: what the catalogue cannot find again in the segment files
// (device events with their rule and box, camera state changes with their
// reason), appended as one JSON line each (the ops' own form) to
// DIR/YYYY-MM-DD.jsonl, one file per UTC day of writing, so a lost catalogue
// can be rebuilt and old days can be removed with their segments.
#ifndef QNVCATALOGUE_JOURNAL_H
#define QNVCATALOGUE_JOURNAL_H

#include <cstdint>
#include <functional>
#include <string>

#include "qnvcatalogue/Ops.h"

namespace qnvcat {

// Appends lines; one thread at a time (the catalogue writer's). Owns nothing
// open between calls: each line is one O_APPEND write, so a crash leaves at
// most the last line torn, which is cut off before the file is next appended
// to (and which the reader passes over).
class CJournalWriter {
 public:
  // Creates dir when missing.
  bool Open(const std::string& dir, std::string& error);
  // Appends an event or a state change, to the file of the day `nowUs` falls in.
  bool Append(const SOp& op, int64_t nowUs, std::string& error);
  const std::string& Dir() const { return m_dir; }

 private:
  std::string m_dir;
  std::string m_lastFile;  // the day file last appended to
};

struct SJournalStats {
  uint64_t files = 0;
  uint64_t entries = 0;  // events and state changes handed on
  uint64_t skipped = 0;  // lines that were no event or state change (torn, foreign, too long)
};

// Reads every day file in dir in order, handing each event and state change
// to fn. False only when the folder or a file cannot be read.
bool ReadJournal(const std::string& dir, const std::function<void(SOp&&)>& fn, SJournalStats& stats,
                 std::string& error);

// The highest event id in the tail of the newest day file (0: none), where
// the last ids given are. Reads at most the last 256 KiB.
int64_t LastJournalEventId(const std::string& dir);

// Removes day files whose day ended before beforeUs; returns how many.
size_t PruneJournal(const std::string& dir, int64_t beforeUs);

}  // namespace qnvcat

#endif  // QNVCATALOGUE_JOURNAL_H
