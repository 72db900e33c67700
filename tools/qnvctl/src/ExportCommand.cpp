// "export IN.dat OUT.mp4": checks a recording and writes its video as MP4
// (or a raw H.264 stream for .h264), with the recording library that
// qnv-export uses. Works on files only; no device is contacted.
#include <string>

#include "CJsonObject.h"
#include "CReporter.h"
#include "Commands.h"
#include "ExportSteps.h"

namespace qnvctl {

int RunExport(const CInvocation& inv) {
  CReporter out(inv.json);
  qnvrec::SExportOptions options;
  if (inv.Has("--fps")) {
    auto v = ParseSeconds(inv.Value("--fps"));
    if (!v || *v <= 0 || *v > 1000)
      return out.Usage("bad --fps '" + inv.Value("--fps") + "': give a rate 0..1000", "export");
    options.fps = *v;
  }
  SExportOutcome outcome;
  std::string error;
  if (!ExportRecording(inv.args[0], inv.args[1], options, outcome, error))
    return out.Failure("export failed: " + error);

  const auto& s = outcome.summary;
  const auto& e = outcome.exported;
  if (!s.Consistent()) {
    out.Note("the recording is damaged; used its first " + std::to_string(s.frames) +
             " frames, dropped " + std::to_string(s.droppedFrames));
    for (const auto& p : s.problems) out.Note(p);
  }
  out.Text("recording  " + inv.args[0] + ": " + std::to_string(s.frames) + " frames, " +
           std::to_string(s.pictures) + " pictures, " +
           (s.Consistent() ? "index consistent with data" : "damaged") + ", " +
           (s.holeCount == 0 ? std::string("no holes")
                             : std::to_string(s.holeCount) + " holes"));
  out.Text("exported   " + inv.args[1] + ": " + std::to_string(e.pictures) + " pictures (" +
           std::to_string(e.keyPictures) + " IDR), " + std::to_string(e.bytes) +
           " bytes of H.264, from frame " + std::to_string(e.firstFrame) +
           " (the first IDR picture), " + std::to_string(e.durationSeconds) + " s timed by " +
           qnvrec::TimeSourceName(e.timeSource));
  std::vector<std::string> problems;
  for (const auto& p : s.problems) problems.push_back(CJsonObject::Quote(p));
  return out.Done(CJsonObject()
                      .String("input", inv.args[0])
                      .String("output", inv.args[1])
                      .Boolean("consistent", s.Consistent())
                      .Uint("frames", s.frames)
                      .Uint("droppedFrames", s.droppedFrames)
                      .Uint("holes", s.holeCount)
                      .Uint("cutPictures", e.cutPictures)
                      .String("timeSource", qnvrec::TimeSourceName(e.timeSource))
                      .Raw("problems", CJsonObject::Array(problems))
                      .Uint("pictures", e.pictures)
                      .Uint("keyPictures", e.keyPictures)
                      .Uint("firstFrame", e.firstFrame)
                      .Uint("bytes", e.bytes));
}

}  // namespace qnvctl
