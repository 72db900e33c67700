#include "ExportSteps.h"

#include <memory>

extern "C" {
#include <libavutil/log.h>
}

#include "CLiveRecording.h"
#include "CProgressLine.h"
#include "qnvrecording/CAnnexBWriter.h"
#include "qnvrecording/CMp4Writer.h"
#include "qnvrecording/COutputFile.h"

namespace qnvctl {

namespace {
bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}
}  // namespace

bool ExportRecording(const std::string& dataPath, const std::string& outputPath,
                     const qnvrec::SExportOptions& options, SExportOutcome& outcome,
                     std::string& error) {
  const std::string indexPath = CLiveRecording::IndexPath(dataPath);
  if (EndsWith(dataPath, ".idx")) {
    error = "give the recording's data file, not its index: " + dataPath;
    return false;
  }
  const bool mp4 = EndsWith(outputPath, ".mp4");
  if (!mp4 && !EndsWith(outputPath, ".h264") && !EndsWith(outputPath, ".264")) {
    error = "cannot tell the output format from " + outputPath + " (use .mp4 or .h264)";
    return false;
  }
  av_log_set_level(AV_LOG_ERROR);

  CProgressLine progress(1.0, 1.0);
  qnvrec::CRecordingReader reader;
  if (!reader.Open(dataPath, indexPath, error, [&](uint64_t done, uint64_t total) {
        progress.Update("checking  " + CProgressLine::Bar(total ? double(done) / total : 1));
      }))
    return false;
  outcome.summary = reader.Summary();
  // Checked by file identity, so no spelling of the recording's path passes.
  qnvrec::COutputFile output;
  if (!output.Prepare(outputPath, {reader.DataId(), reader.IndexId()}, error)) return false;
  std::unique_ptr<qnvrec::CVideoWriter> writer;
  if (mp4) {
    writer = std::make_unique<qnvrec::CMp4Writer>(output.WorkPath());
  } else {
    writer = std::make_unique<qnvrec::CAnnexBWriter>(output.WorkPath());
  }
  qnvrec::CExporter exporter(reader, *writer, options);
  if (!exporter.Run(outcome.exported, error, [&](uint64_t done, uint64_t total) {
        progress.Update("exporting " + CProgressLine::Bar(total ? double(done) / total : 1));
      })) {
    progress.Finish();
    return false;
  }
  progress.Finish();
  return output.Commit(error);
}

}  // namespace qnvctl
