// Exporting a recording (data file + .idx index) to MP4 or a raw H.264
// stream with the recording library, after its consistency check.
#ifndef QNVCTL_EXPORTSTEPS_H
#define QNVCTL_EXPORTSTEPS_H

#include <string>

#include "qnvrecording/CExporter.h"
#include "qnvrecording/CRecordingReader.h"

namespace qnvctl {

struct SExportOutcome {
  qnvrec::SRecordingSummary summary;  // what the check of the recording found
  qnvrec::SExportResult exported;     // what was written
};

// Writes dataPath's video to outputPath (.mp4 or .h264/.264), timed as
// options say, showing progress on stderr. The inputs and outputPath must be
// regular files (or outputPath absent) and outputPath not the recording
// itself. False with a one-line message on failure; outputPath is then as it
// was, and nothing this run did not create is removed.
bool ExportRecording(const std::string& dataPath, const std::string& outputPath,
                     const qnvrec::SExportOptions& options, SExportOutcome& outcome,
                     std::string& error);

}  // namespace qnvctl

#endif  // QNVCTL_EXPORTSTEPS_H
