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

// Writes dataPath's video to outputPath (.mp4 or .h264/.264) with
// timestamps at fps, showing progress on stderr. False with a one-line
// message on failure (nothing is left at outputPath then).
bool ExportRecording(const std::string& dataPath, const std::string& outputPath, double fps,
                     SExportOutcome& outcome, std::string& error);

}  // namespace qnvctl

#endif  // QNVCTL_EXPORTSTEPS_H
