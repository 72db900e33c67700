// Bringing the catalogue back in line with the files: healing the rows a
// crash left open, and rebuilding a lost catalogue from the segment files
// and the journal. Plain functions over an open catalogue; the caller's thread.
#ifndef QNVCATALOGUE_MAINTENANCE_H
#define QNVCATALOGUE_MAINTENANCE_H

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "qnvcatalogue/ICatalogue.h"

namespace qnvcat {

// The ops that heal a recorder's open rows (from OpenSegments) whose
// segments are not being written (`writing`: data paths still open): each
// becomes what its files say (closed), or goes when nothing playable was
// written (a segment that never saw its first key frame, or whose files are gone).
std::vector<SOp> HealOps(const std::vector<SSegmentRow>& openRows,
                         const std::set<std::string>& writing);

struct SRebuildOptions {
  std::string recorder;           // names the rows
  std::string root;               // the recorder's ROOT
  std::set<std::string> cameras;  // its cameras; empty: every camera folder under root
  std::string journalDir;         // empty: no events or state changes to rebuild
  // Tells a segment the recorder repaired after a crash; null: none.
  std::function<bool(const std::string& path)> isRepaired;
  // Called now and then with segments scanned and their total.
  std::function<void(uint64_t done, uint64_t total)> progress;
};

struct SRebuildResult {
  uint64_t segments = 0;       // rows written from files
  uint64_t empty = 0;          // files with nothing playable, left out
  uint64_t unreadable = 0;     // files that could not be read (problems says why)
  uint64_t markedDeleted = 0;  // rows whose files are gone
  uint64_t events = 0;
  uint64_t states = 0;
  uint64_t journalSkipped = 0;        // journal lines that were no event or state change
  std::vector<std::string> problems;  // at most a few dozen
};

// Writes the recorder's segment rows from the files under root (upserted:
// an existing row is replaced by what its files say), marks its rows of
// those cameras whose files are gone deleted, and adds the journal's events
// and state changes (kept once). False when the catalogue refused a write.
bool RebuildCatalogue(ICatalogue& catalogue, const SRebuildOptions& options, SRebuildResult& result,
                      std::string& error);

}  // namespace qnvcat

#endif  // QNVCATALOGUE_MAINTENANCE_H
