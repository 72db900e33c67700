// What a recorder's segment files say, as catalogue rows: the one place that
// turns a data file and its index into a row, used when a segment closes,
// when open rows are healed after a crash and when the catalogue is rebuilt,
// so that all three give the same row. Plain functions; any thread.
//
// Segments live at ROOT/CAMERA/YYYY-MM-DD/HHMMSS.qnv (HHMMSS-N.qnv when two
// start within one second), named by their UTC start, with HHMMSS.idx beside.
#ifndef QNVCATALOGUE_SEGMENTFILES_H
#define QNVCATALOGUE_SEGMENTFILES_H

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "qnvcatalogue/Rows.h"

namespace qnvcat {

// A camera name the recorder accepts: 1 to 64 of [A-Za-z0-9_-].
bool IsCameraName(const std::string& name);

// The camera and UTC start (microseconds) a segment path names; false for a
// path not shaped like a segment's.
bool ParseSegmentPath(const std::string& path, std::string& camera, int64_t& startUs);

struct SScanResult {
  bool exists = false;      // the data file is there
  bool consistent = false;  // data and index agree to the end
  uint64_t pictures = 0;    // 0: nothing playable was written
};

// Reads the segment's files into row (recorder and camera are the caller's;
// state is left as given). Times: the first and last picture's capture times
// when they are plausible (clock capture), else the start its name gives and
// the data file's modification time (clock arrival). False with a message
// when the files cannot be read; result.exists false when they are gone.
bool ScanSegment(const std::string& path, SSegmentRow& row, SScanResult& result,
                 std::string& error);

// Every segment data file under root, by camera and name (oldest first):
// camera folders with recorder names (only those in `cameras` unless it is
// empty), date folders, segment names; nothing reached through a link.
std::vector<std::string> FindSegmentFiles(const std::string& root,
                                          const std::set<std::string>& cameras);

}  // namespace qnvcat

#endif  // QNVCATALOGUE_SEGMENTFILES_H
