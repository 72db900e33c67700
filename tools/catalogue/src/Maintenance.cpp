#include "qnvcatalogue/Maintenance.h"

#include <map>

#include "qnvcatalogue/Journal.h"
#include "qnvcatalogue/SegmentFiles.h"

namespace qnvcat {
namespace {

constexpr size_t kBatchOps = 1000;
constexpr size_t kMaxProblems = 40;

}  // namespace

std::vector<SOp> HealOps(const std::vector<SSegmentRow>& openRows,
                         const std::set<std::string>& writing) {
  std::vector<SOp> ops;
  for (const SSegmentRow& open : openRows) {
    if (writing.count(open.path)) continue;
    SSegmentRow row = open;
    SScanResult scan;
    std::string error;
    if (!ScanSegment(open.path, row, scan, error)) {
      // Unreadable now (permissions, I/O): closed as last known; the files
      // are the truth and a rebuild reads them again.
      row.state = ESegmentState::kClosed;
      ops.push_back(SOp::Segment(std::move(row)));
    } else if (!scan.exists || scan.pictures == 0) {
      ops.push_back(SOp::Forget(open.recorder, open.path));
    } else {
      row.state = ESegmentState::kClosed;
      ops.push_back(SOp::Segment(std::move(row)));
    }
  }
  return ops;
}

bool RebuildCatalogue(ICatalogue& catalogue, const SRebuildOptions& options, SRebuildResult& result,
                      std::string& error) {
  result = SRebuildResult{};
  std::vector<SOp> batch;
  auto flush = [&]() {
    if (batch.empty()) return true;
    const bool ok = catalogue.Apply(batch, error);
    batch.clear();
    return ok;
  };
  auto add = [&](SOp op) {
    batch.push_back(std::move(op));
    return batch.size() < kBatchOps || flush();
  };
  auto problem = [&](std::string text) {
    if (result.problems.size() < kMaxProblems) result.problems.push_back(std::move(text));
  };

  const std::vector<std::string> paths = FindSegmentFiles(options.root, options.cameras);
  std::set<std::string> found(paths.begin(), paths.end());
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::string& path = paths[i];
    SSegmentRow row;
    row.recorder = options.recorder;
    int64_t start = 0;
    ParseSegmentPath(path, row.camera, start);
    SScanResult scan;
    std::string why;
    if (!ScanSegment(path, row, scan, why)) {
      ++result.unreadable;
      problem(why);
      found.erase(path);  // its row, if any, stays as it is
    } else if (scan.pictures == 0) {
      ++result.empty;
      found.erase(path);
      if (!add(SOp::Forget(options.recorder, path))) return false;
    } else {
      row.state = options.isRepaired && options.isRepaired(path) ? ESegmentState::kRepaired
                                                                 : ESegmentState::kClosed;
      ++result.segments;
      if (!add(SOp::Segment(std::move(row)))) return false;
    }
    if (options.progress && (i % 256 == 0 || i + 1 == paths.size())) {
      options.progress(i + 1, paths.size());
    }
  }
  if (!flush()) return false;

  // Rows whose files are gone: deleted (history kept), for the cameras rebuilt.
  std::vector<SSegmentRow> rows;
  if (!catalogue.RecorderSegments(options.recorder, rows, error)) return false;
  for (const SSegmentRow& row : rows) {
    if (row.state == ESegmentState::kDeleted || found.count(row.path) ||
        (!options.cameras.empty() && !options.cameras.count(row.camera))) {
      continue;
    }
    // Only rows of segments under this root (a path elsewhere is not ours to judge).
    std::string camera;
    int64_t start;
    if (row.path.rfind(options.root + "/", 0) != 0 || !ParseSegmentPath(row.path, camera, start)) {
      continue;
    }
    ++result.markedDeleted;
    if (!add(SOp::Deleted(options.recorder, row.path))) return false;
  }
  if (!flush()) return false;

  if (!options.journalDir.empty()) {
    SJournalStats stats;
    bool ok = true;
    if (!ReadJournal(
            options.journalDir,
            [&](SOp&& op) {
              if (!ok) return;
              if (op.kind == SOp::EKind::kEvent) {
                op.event.recorder = options.recorder;
                ++result.events;
              } else {
                op.state.recorder = options.recorder;
                ++result.states;
              }
              ok = add(std::move(op));
            },
            stats, error)) {
      problem("journal: " + error);
      error.clear();
    }
    if (!ok) return false;
    result.journalSkipped = stats.skipped;
  }
  return flush();
}

}  // namespace qnvcat
