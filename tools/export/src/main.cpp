// qnv-export: checks a recording (data file + .idx index) and writes its video
// out as a raw H.264 stream or an MP4 file.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "CatalogueExport.h"
#include "qnvrecording/CAnnexBWriter.h"
#include "qnvrecording/CExporter.h"
#include "qnvrecording/CMp4Writer.h"
#include "qnvrecording/COutputFile.h"
#include "qnvrecording/CRecordingReader.h"
#include "qnvrecording/SummaryFormat.h"
#include "qnvtools/CArgReader.h"
#include "qnvtools/Complain.h"
#include "qnvtools/ExitStatus.h"

namespace {

using qnvtools::kExitOk;

const char kUsage[] =
    "Usage: qnv-export [options] DATA_FILE [OUTPUT]\n"
    "%s"  // the catalogue form's usage lines
    "\n"
    "Reads a recording: DATA_FILE and its index file (the same path with the\n"
    "extension .idx). Checks that the two agree, prints a summary and, when OUTPUT\n"
    "is given, writes the video to it as a raw H.264 stream (.h264, .264) or as\n"
    "MP4 (.mp4). The output starts at the first picture that can be decoded on its\n"
    "own. A recording cut short (a crash, a full disk) is used up to its last\n"
    "consistent frame; what was dropped, and why, is reported.\n"
    "\n"
    "Pictures are timed by the capture times the device stamped on the frames when\n"
    "those are plausible, else by the stream's own timing (its SPS), else by --fps;\n"
    "a hole in the recording stays a hole in the MP4's time line. Holes are\n"
    "reported: gaps in capture time over three picture intervals, and jumps in a\n"
    "frame counter that is sequential elsewhere. The MP4 has its index at the\n"
    "front, so players can start before reading it all. OUTPUT is written beside\n"
    "its final name and put in place when complete: a failed export leaves the\n"
    "path as it was. Inputs and OUTPUT must be regular files, and OUTPUT may not\n"
    "be the recording itself under any name.\n"
    "\n"
    "%s"  // the catalogue form's paragraph
    "Options:\n"
    "  --index PATH       index file (default: derived from DATA_FILE)\n"
    "  --fps RATE         time pictures 1/RATE apart, whatever the recording says\n"
    "                     (without it, and without capture times or stream timing: 25)\n"
    "  --format FORMAT    h264 or mp4 (default: from OUTPUT's extension)\n"
    "  --check            print the summary only; exit status 1 when the recording is damaged\n"
    "                     (not for one being written, which its writer locks, nor for one\n"
    "                     repaired by its writer, which has a .repaired note beside it)\n"
    "  --strict           with --check: holes count as damage too\n"
    "  --json             print the summary as JSON on standard output\n"
    "  -q, --quiet        no progress display\n"
    "  -h, --help         show this text\n"
    "      --version      show the program's version\n"
    "%s"  // the catalogue form's options
    "\n"
    "Exit status: 0 success; 1 damaged recording (--check; or with holes, --strict);\n"
    "2 error (bad arguments, an unknown camera, unreadable input, input that is not\n"
    "a recording, failed export).\n";

bool EndsWith(const std::string& s, const char* suffix) {
  size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

int Fail(const std::string& message) {
  return qnvtools::Complain("qnv-export", message, kExitError);
}

// Shows how far a long run has got: nothing for the first second, then a
// line that rewrites itself on a terminal, or a line every few seconds in a log.
class ProgressLine {
 public:
  ProgressLine(const char* what, bool enabled)
      : m_what(what),
        m_enabled(enabled),
        m_tty(::isatty(STDERR_FILENO) == 1),
        m_start(Clock::now()) {}
  ~ProgressLine() { Done(); }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  void Update(uint64_t done, uint64_t total) {
    if (!m_enabled || total == 0) return;
    auto now = Clock::now();
    if (now - m_start < std::chrono::seconds(1)) return;
    if (m_shown &&
        now - m_last < (m_tty ? std::chrono::milliseconds(200) : std::chrono::seconds(5)))
      return;
    m_last = now;
    m_shown = true;
    std::fprintf(stderr, "%s%s: %3d%% (%llu/%llu frames)%s", m_tty ? "\r" : "", m_what,
                 int(done * 100 / total), static_cast<unsigned long long>(done),
                 static_cast<unsigned long long>(total), m_tty ? "" : "\n");
    std::fflush(stderr);
  }
  void Done() {
    if (m_shown && m_tty) std::fputc('\n', stderr);
    m_shown = false;
  }

 private:
  using Clock = std::chrono::steady_clock;
  const char* m_what;
  bool m_enabled;
  bool m_tty;
  bool m_shown = false;
  Clock::time_point m_start;
  Clock::time_point m_last;
};

}  // namespace

int main(int argc, char** argv) {
  if (IsCatalogueExport(argc, argv)) return RunCatalogueExport(argc, argv);
  std::string dataPath, indexPath, outputPath, format;
  qnvrec::SExportOptions options;
  bool check = false, strict = false, json = false, quiet = false;
  qnvtools::CArgReader args(argc, argv, "qnv-export");
  while (args.Next()) {
    const std::string& arg = args.Arg();
    if (arg == "-h" || arg == "--help") {
      std::printf(kUsage, kCatalogueUsage, kCatalogueHelp, kCatalogueOptions);
      return kExitOk;
    } else if (arg == "--version") {
      std::printf("qnv-export %s\n", QNV_TOOLS_VERSION);
      return kExitOk;
    } else if (arg == "--index") {
      if (!args.Value(indexPath)) return Fail("--index needs a path");
    } else if (arg == "--fps") {
      std::string text;
      if (!args.Value(text)) return Fail("--fps needs a rate");
      char* end = nullptr;
      const double fps = std::strtod(text.c_str(), &end);
      if (end == text.c_str() || *end != '\0' || !std::isfinite(fps) || fps <= 0 || fps > 1000) {
        return Fail("--fps: not a frame rate between 0 and 1000: " + text);
      }
      options.fps = fps;
    } else if (arg == "--format") {
      if (!args.Value(format)) return Fail("--format needs h264 or mp4");
      if (format != "h264" && format != "mp4") return Fail("--format: unknown format " + format);
    } else if (arg == "--check") {
      check = true;
    } else if (arg == "--strict") {
      strict = true;
    } else if (arg == "--json") {
      json = true;
    } else if (arg == "-q" || arg == "--quiet") {
      quiet = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Fail("unknown option " + arg + " (see --help)");
    } else if (dataPath.empty()) {
      dataPath = arg;
    } else if (outputPath.empty()) {
      outputPath = arg;
    } else {
      return Fail("too many arguments (see --help)");
    }
  }
  if (dataPath.empty()) {
    std::fprintf(stderr, kUsage, kCatalogueUsage, kCatalogueHelp, kCatalogueOptions);
    return kExitError;
  }
  if (check && !outputPath.empty()) return Fail("--check writes no OUTPUT");
  if (indexPath.empty()) {
    if (EndsWith(dataPath, ".idx")) return Fail("give the data file, not its index: " + dataPath);
    indexPath = qnvrec::IndexPathFor(dataPath);
  }
  if (!outputPath.empty() && format.empty()) {
    if (EndsWith(outputPath, ".mp4")) {
      format = "mp4";
    } else if (EndsWith(outputPath, ".h264") || EndsWith(outputPath, ".264")) {
      format = "h264";
    } else {
      return Fail("cannot tell the format from " + outputPath + "; use --format h264|mp4");
    }
  }
  av_log_set_level(AV_LOG_ERROR);

  qnvrec::CRecordingReader reader;
  std::string error;
  {
    ProgressLine progress("checking", !quiet);
    if (!reader.Open(dataPath, indexPath, error,
                     [&](uint64_t done, uint64_t total) { progress.Update(done, total); })) {
      return Fail(error);
    }
  }
  const qnvrec::SRecordingSummary& summary = reader.Summary();
  if (summary.State() == qnvrec::ERecordingState::kOpen) {
    std::fprintf(stderr,
                 "qnv-export: note: the recording is being written (its writer holds the lock); "
                 "read as far as it goes now\n");
  } else if (!summary.Consistent()) {
    std::fprintf(stderr,
                 "qnv-export: warning: recording damaged, using its first %llu frames; dropped "
                 "%llu frames, %llu data bytes, %llu index bytes\n",
                 static_cast<unsigned long long>(summary.frames),
                 static_cast<unsigned long long>(summary.droppedFrames),
                 static_cast<unsigned long long>(summary.droppedDataBytes),
                 static_cast<unsigned long long>(summary.droppedIndexBytes));
    for (const std::string& p : summary.problems) {
      std::fprintf(stderr, "qnv-export: warning: %s\n", p.c_str());
    }
  }

  if (summary.holeCount > 0) {
    std::fprintf(stderr, "qnv-export: warning: %llu holes in the recording\n",
                 static_cast<unsigned long long>(summary.holeCount));
  }

  if (outputPath.empty()) {
    std::fputs((json ? qnvrec::SummaryJson(summary, options, nullptr, "")
                     : qnvrec::SummaryText(summary, options, nullptr, ""))
                   .c_str(),
               stdout);
    const bool damaged =
        summary.State() == qnvrec::ERecordingState::kDamaged || (strict && summary.holeCount > 0);
    return check && damaged ? kExitDamaged : kExitOk;
  }

  qnvrec::COutputFile output;
  if (!output.Prepare(outputPath, {reader.DataId(), reader.IndexId()}, error)) return Fail(error);
  std::unique_ptr<qnvrec::CVideoWriter> writer;
  if (format == "mp4") {
    writer = std::make_unique<qnvrec::CMp4Writer>(output.WorkPath());
  } else {
    writer = std::make_unique<qnvrec::CAnnexBWriter>(output.WorkPath());
  }
  qnvrec::SExportResult result;
  {
    ProgressLine progress("exporting", !quiet);
    qnvrec::CExporter exporter(reader, *writer, options);
    if (!exporter.Run(result, error,
                      [&](uint64_t done, uint64_t total) { progress.Update(done, total); })) {
      return Fail(error);  // the unfinished file beside OUTPUT goes with `output`
    }
  }
  if (!output.Commit(error)) return Fail(error);
  std::fputs((json ? qnvrec::SummaryJson(summary, options, &result, outputPath)
                   : qnvrec::SummaryText(summary, options, &result, outputPath))
                 .c_str(),
             stdout);
  return kExitOk;
}
