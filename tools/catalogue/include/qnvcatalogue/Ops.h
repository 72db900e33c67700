// SOp: one write to the catalogue. A batch of them is applied in order in one
// transaction; each is idempotent (segments are upserted by recorder and path,
// events and state changes are kept once by their content), so a batch that
// may or may not have been committed before a failure can be applied again.
// Ops travel through the on-disk replay queue as one JSON line each. Plain
// values; any thread.
#ifndef QNVCATALOGUE_OPS_H
#define QNVCATALOGUE_OPS_H

#include <cstdint>
#include <string>
#include <vector>

#include "qnvcatalogue/Rows.h"

namespace qnvcat {

struct SOp {
  enum class EKind {
    kSegments,  // upsert `segments` (two for a hand-over: the old closed, the new open)
    kDeleted,   // mark recorder's segment at `path` deleted
    kForget,    // remove recorder's row for `path` (a segment that never held a frame)
    kEvent,     // add `event`
    kState,     // add `state`
    kPurge,     // remove recorder's deleted rows whose last picture is before `beforeUs`
  };
  EKind kind = EKind::kSegments;
  std::vector<SSegmentRow> segments;
  std::string recorder;  // kDeleted, kForget, kPurge
  std::string path;      // kDeleted, kForget
  int64_t beforeUs = 0;  // kPurge
  SEventRow event;
  SStateRow state;

  static SOp Segment(SSegmentRow row);
  static SOp Deleted(std::string recorder, std::string path);
  static SOp Forget(std::string recorder, std::string path);
  static SOp Event(SEventRow event);
  static SOp State(SStateRow state);
  static SOp Purge(std::string recorder, int64_t beforeUs);
};

// One line of JSON (no newline) and back, e.g. {"op":"event","recorder":"r1",
// "camera":"gate","timeUs":...}; the journal keeps events and state changes
// in the same form. OpFromJson is false with a reason for text that is not an
// op (a torn or foreign line).
std::string OpToJson(const SOp& op);
bool OpFromJson(const std::string& line, SOp& op, std::string& error);

}  // namespace qnvcat

#endif  // QNVCATALOGUE_OPS_H
