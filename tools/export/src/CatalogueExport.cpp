#include "CatalogueExport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "qnvcatalogue/CameraCheck.h"
#include "qnvcatalogue/ICatalogue.h"
#include "qnvrecording/COutputFile.h"
#include "qnvrecording/CRangeExporter.h"
#include "qnvrecording/CRecordingReader.h"
#include "qnvrecording/TimeText.h"
#include "qnvtools/CArgReader.h"
#include "qnvtools/Complain.h"
#include "qnvtools/ExitStatus.h"

const char kCatalogueUsage[] =
    // "or:" lines, one per form, so that the man page (help2man) lists them
    // in its SYNOPSIS.
    "   or: qnv-export --catalogue ROOT_OR_URL --camera NAME --from TIME --to TIME OUTPUT.mp4\n"
    "   or: qnv-export --catalogue ROOT_OR_URL --event ID [options] OUTPUT.mp4\n";

const char kCatalogueHelp[] =
    "The second form finds a camera's recordings in a recorder's catalogue (ROOT,\n"
    "the recorder's storage root, or a fleet's postgresql:// URL) and writes the span\n"
    "from FROM to TO, across segments, as one MP4: it starts at the key picture at\n"
    "or before FROM and an edit list starts playback at FROM (--no-trim: at that\n"
    "key picture), holes stay holes, it ends before TO, and its creation time is\n"
    "where playback starts. TIME is ISO 8601: with Z or an offset it is that\n"
    "instant (2024-05-01T14:02:00Z, 2024-05-01T16:02:00+02:00); without a zone it\n"
    "is the machine's local time (TZ) (2024-05-01T14:02:00). --event ID exports an\n"
    "event's camera from --pre-seconds before it (default 10) to --post-seconds\n"
    "after it (default 10); ID is the id the recorder gave the event when it came\n"
    "(qnv-catalogue ... events lists them), unique among that recorder's events:\n"
    "where recorders of a fleet share a catalogue and two gave the same id,\n"
    "--recorder NAME says whose. The summary (and --json) gives the first and last\n"
    "pictures' capture times in UTC, the segments used and the holes. A segment\n"
    "that lives on another recorder's disk is named with that recorder: run the\n"
    "export there, or mount its storage at the same path. A camera the catalogue\n"
    "does not hold is refused with the names it does hold.\n"
    "\n";

const char kCatalogueOptions[] =
    "  --catalogue ROOT_OR_URL\n"
    "                     export from this catalogue (the second and third forms)\n"
    "  --camera NAME, --from TIME, --to TIME\n"
    "                     with --catalogue: the camera and the span to export\n"
    "  --event ID         with --catalogue: the span around this event\n"
    "  --recorder NAME    with --event: the recorder that gave the id\n"
    "  --pre-seconds S, --post-seconds S\n"
    "                     with --event: how long before and after it (default 10)\n"
    "  --no-trim          with --catalogue: start at the key picture at or before\n"
    "                     FROM, without an edit list\n"
    "  --password-env VAR, --password-file FILE\n"
    "                     with --catalogue: the database's password (else the URL's,\n"
    "                     PGPASSWORD or ~/.pgpass)\n";

namespace {

using nlohmann::json;

using qnvtools::kExitOk;

int Fail(const std::string& message) {
  return qnvtools::Complain("qnv-export", message, kExitError);
}

bool Seconds(const std::string& text, double& out) {
  char* end = nullptr;
  out = std::strtod(text.c_str(), &end);
  return end != text.c_str() && *end == '\0' && out >= 0 && out <= 86400;
}

std::string Fixed3(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", v);
  return text;
}

// Device and inode of both files of a segment, so the output never replaces one.
void AddIds(const std::string& path, std::vector<qnvrec::SFileId>& ids) {
  for (const std::string& p : {path, qnvrec::IndexPathFor(path)}) {
    struct stat st;
    if (::stat(p.c_str(), &st) == 0) ids.push_back(qnvrec::SFileId{st.st_dev, st.st_ino, true});
  }
}

}  // namespace

bool IsCatalogueExport(int argc, char** argv) {
  bool catalogue = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    // Help and version are the whole program's.
    if (!std::strcmp(arg, "-h") || !std::strcmp(arg, "--help") || !std::strcmp(arg, "--version")) {
      return false;
    }
    catalogue = catalogue || std::strcmp(arg, "--catalogue") == 0;
  }
  return catalogue;
}

int RunCatalogueExport(int argc, char** argv) {
  std::string target, camera, from, to, eventText, recorder, output, passwordEnv, passwordFile;
  double pre = 10, post = 10;
  bool json = false, quiet = false, trim = true;
  qnvtools::CArgReader args(argc, argv, "qnv-export");
  while (args.Next()) {
    const std::string& arg = args.Arg();
    std::string text;
    if (arg == "--catalogue") {
      if (!args.Value(target)) return Fail("--catalogue needs ROOT or a postgresql:// URL");
    } else if (arg == "--camera") {
      if (!args.Value(camera)) return Fail("--camera needs a name");
    } else if (arg == "--from") {
      if (!args.Value(from)) return Fail("--from needs a time");
    } else if (arg == "--to") {
      if (!args.Value(to)) return Fail("--to needs a time");
    } else if (arg == "--event") {
      if (!args.Value(eventText))
        return Fail("--event needs an event id (qnv-catalogue ... events)");
    } else if (arg == "--recorder") {
      if (!args.Value(recorder)) return Fail("--recorder needs a recorder's name");
    } else if (arg == "--pre-seconds") {
      if (!args.Value(text) || !Seconds(text, pre))
        return Fail("--pre-seconds: 0 to 86400 seconds");
    } else if (arg == "--post-seconds") {
      if (!args.Value(text) || !Seconds(text, post))
        return Fail("--post-seconds: 0 to 86400 seconds");
    } else if (arg == "--password-env") {
      if (!args.Value(passwordEnv)) return Fail("--password-env needs a variable name");
    } else if (arg == "--password-file") {
      if (!args.Value(passwordFile)) return Fail("--password-file needs a path");
    } else if (arg == "--no-trim") {
      trim = false;
    } else if (arg == "--json") {
      json = true;
    } else if (arg == "-q" || arg == "--quiet") {
      quiet = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Fail("unknown option " + arg + " with --catalogue (see --help)");
    } else if (output.empty()) {
      output = arg;
    } else {
      return Fail("too many arguments (see --help)");
    }
  }
  if (output.empty()) return Fail("--catalogue needs OUTPUT.mp4");
  if (output.size() < 4 || output.compare(output.size() - 4, 4, ".mp4") != 0) {
    return Fail("--catalogue writes MP4: name the output OUTPUT.mp4");
  }
  const bool byEvent = !eventText.empty();
  if (byEvent && (!camera.empty() || !from.empty() || !to.empty())) {
    return Fail("--event gives the camera and the times: no --camera, --from or --to with it");
  }
  if (!byEvent && !recorder.empty()) return Fail("--recorder goes with --event");
  if (!byEvent && (camera.empty() || from.empty() || to.empty())) {
    return Fail("--catalogue needs --camera, --from and --to (or --event ID)");
  }
  int64_t fromUs = 0, toUs = 0, eventId = 0;
  std::string error;
  if (byEvent) {
    char* end = nullptr;
    eventId = std::strtoll(eventText.c_str(), &end, 10);
    if (*end != '\0' || eventId <= 0) return Fail("--event: not an event id: " + eventText);
  } else {
    if (!qnvrec::ParseTime(from, fromUs, error)) return Fail("--from: " + error);
    if (!qnvrec::ParseTime(to, toUs, error)) return Fail("--to: " + error);
    if (toUs <= fromUs) return Fail("--to must come after --from");
  }

  qnvcat::STarget where;
  where.rootOrUrl = target;
  where.applicationName = "qnv-export";
  if (!qnvcat::LoadPassword(passwordEnv, passwordFile, where.password, error)) return Fail(error);
  auto catalogue = qnvcat::OpenCatalogue(where, qnvcat::EOpenMode::kRead, error);
  if (!catalogue) return Fail(error);
  if (!byEvent) {
    bool failed = false;
    if (!qnvcat::CheckCamera(*catalogue, camera, error, failed)) return Fail(error);
  }

  if (byEvent) {
    std::vector<qnvcat::SEventRow> events;
    if (!catalogue->EventsById(eventId, recorder, events, error)) return Fail(error);
    if (events.empty()) {
      return Fail("no event " + eventText + (recorder.empty() ? "" : " of recorder " + recorder) +
                  " in " + catalogue->Where());
    }
    if (events.size() > 1) {
      std::string names;
      for (const qnvcat::SEventRow& e : events) names += (names.empty() ? "" : ", ") + e.recorder;
      return Fail("event " + eventText + " was given by several recorders (" + names +
                  "): say whose with --recorder NAME");
    }
    const qnvcat::SEventRow& event = events.front();
    camera = event.camera;
    fromUs = event.timeUs - std::llround(pre * 1e6);
    toUs = event.timeUs + std::llround(post * 1e6);
    if (toUs <= fromUs) toUs = fromUs + 1;
  }

  qnvcat::SSegmentQuery query;
  query.camera = camera;
  query.fromUs = fromUs;
  query.toUs = toUs;
  std::vector<qnvcat::SSegmentRow> rows;
  if (!catalogue->Segments(query, rows, error)) return Fail(error);
  if (rows.empty()) {
    return Fail("nothing of camera " + camera + " is recorded between " + qnvrec::UtcText(fromUs) +
                " and " + qnvrec::UtcText(toUs) + " (qnv-catalogue " + target +
                " coverage --camera " + camera + " shows what is)");
  }
  // Every file must be here: a fleet's segment on another recorder's disk is named.
  std::string missing;
  size_t missingCount = 0;
  for (const qnvcat::SSegmentRow& r : rows) {
    if (::access(r.path.c_str(), R_OK) != 0 ||
        ::access(qnvrec::IndexPathFor(r.path).c_str(), R_OK) != 0) {
      ++missingCount;
      missing += "\n  " + r.path + " (recorder " + r.recorder + "): " + std::strerror(errno);
    }
  }
  if (missingCount > 0) {
    return Fail(std::to_string(missingCount) + " of " + std::to_string(rows.size()) +
                " segments cannot be read here:" + missing +
                "\nrun the export on that recorder's host, or mount its storage at the same path "
                "on this one");
  }

  std::vector<qnvrec::SRangeSegment> segments;
  std::vector<qnvrec::SFileId> inputs;
  for (const qnvcat::SSegmentRow& r : rows) {
    segments.push_back(qnvrec::SRangeSegment{r.path, r.firstUs});
    AddIds(r.path, inputs);
  }
  av_log_set_level(AV_LOG_ERROR);
  qnvrec::COutputFile file;
  if (!file.Prepare(output, inputs, error)) return Fail(error);
  qnvrec::CMp4Writer writer(file.WorkPath());
  qnvrec::SRangeOptions options;
  options.fromUs = fromUs;
  options.toUs = toUs;
  options.trim = trim;
  qnvrec::SRangeResult result;
  qnvrec::CRangeExporter exporter(std::move(segments), writer, options);
  const bool tty = ::isatty(STDERR_FILENO) == 1;
  auto begun = std::chrono::steady_clock::now();
  auto shown = begun;
  if (!exporter.Run(result, error, [&](size_t done, size_t total) {
        const auto now = std::chrono::steady_clock::now();
        if (quiet || now - begun < std::chrono::seconds(1) ||
            now - shown < std::chrono::milliseconds(tty ? 200 : 5000)) {
          return;
        }
        shown = now;
        std::fprintf(stderr, "%sexporting: segment %zu of %zu%s", tty ? "\r" : "", done, total,
                     tty ? "" : "\n");
      })) {
    if (tty && !quiet && shown != begun) std::fputc('\n', stderr);
    return Fail(error);
  }
  if (tty && !quiet && shown != begun) std::fputc('\n', stderr);
  if (!file.Commit(error)) return Fail(error);
  for (const std::string& note : result.notes) {
    std::fprintf(stderr, "qnv-export: warning: %s\n", note.c_str());
  }

  const double seconds = double(result.endUs - result.startUs) / 1e6;
  const char* timeSource = result.captureTimes ? "capture times" : "stream timing";
  if (json) {
    nlohmann::json holes = nlohmann::json::array(), used = nlohmann::json::array();
    for (const auto& h : result.holes) {
      holes.push_back({{"from", qnvrec::UtcText(h.fromUs)},
                       {"to", qnvrec::UtcText(h.toUs)},
                       {"seconds", double(h.toUs - h.fromUs) / 1e6}});
    }
    for (const qnvcat::SSegmentRow& r : rows) {
      bool wasUsed = false;
      for (const std::string& p : result.used) wasUsed = wasUsed || p == r.path;
      used.push_back({{"path", r.path},
                      {"recorder", r.recorder},
                      {"state", qnvcat::StateName(r.state)},
                      {"used", wasUsed}});
    }
    nlohmann::json j{{"output", output},
                     {"catalogue", catalogue->Where()},
                     {"camera", camera},
                     {"from", qnvrec::UtcText(fromUs)},
                     {"to", qnvrec::UtcText(toUs)},
                     {"firstCaptureUtc", qnvrec::UtcText(result.keyUs)},
                     {"lastCaptureUtc", qnvrec::UtcText(result.lastUs)},
                     {"start", qnvrec::UtcText(result.startUs)},
                     {"end", qnvrec::UtcText(result.endUs)},
                     {"trimmed", result.trimmed},
                     {"durationSeconds", seconds},
                     {"timeSource", timeSource},
                     {"pictures", result.pictures},
                     {"keyPictures", result.keyPictures},
                     {"bytes", result.bytes},
                     {"repeatedPictures", result.repeated},
                     {"skippedPictures", result.undecodable},
                     {"cutPictures", result.cutPictures},
                     {"holeCount", result.holes.size()},
                     {"holes", std::move(holes)},
                     {"segments", std::move(used)},
                     {"notes", result.notes}};
    if (byEvent) j["event"] = eventId;
    std::printf("%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return kExitOk;
  }
  std::string t;
  t += "camera:     " + camera + " (" + catalogue->Where() + ")\n";
  if (byEvent) t += "event:      " + eventText + "\n";
  t += "asked:      " + qnvrec::UtcText(fromUs) + " .. " + qnvrec::UtcText(toUs) + " (" +
       Fixed3(double(toUs - fromUs) / 1e6) + " s)\n";
  t += "first:      " + qnvrec::UtcText(result.keyUs) + " (key picture" +
       (result.trimmed ? "; an edit list starts playback at " + qnvrec::UtcText(result.startUs)
                       : "") +
       ")\n";
  t += "last:       " + qnvrec::UtcText(result.lastUs) + "\n";
  t += "covered:    " + qnvrec::UtcText(result.startUs) + " .. " + qnvrec::UtcText(result.endUs) +
       " (" + Fixed3(seconds) + " s, timed by " + timeSource + ")\n";
  if (result.startUs > fromUs) {
    t += "note:       nothing is recorded from " + qnvrec::UtcText(fromUs) + " to " +
         qnvrec::UtcText(result.startUs) + "\n";
  }
  if (result.endUs < toUs) {
    t += "note:       nothing is recorded from " + qnvrec::UtcText(result.endUs) + " to " +
         qnvrec::UtcText(toUs) + "\n";
  }
  t += "segments:   " + std::to_string(result.used.size()) + " used\n";
  for (const std::string& p : result.used) t += "segment:    " + p + "\n";
  if (result.holes.empty()) {
    t += "holes:      none\n";
  } else {
    t += "holes:      " + std::to_string(result.holes.size()) + "\n";
    for (const auto& h : result.holes) {
      t += "hole:       " + qnvrec::UtcText(h.fromUs) + " .. " + qnvrec::UtcText(h.toUs) + " (" +
           Fixed3(double(h.toUs - h.fromUs) / 1e6) + " s)\n";
    }
  }
  t += "exported:   " + output + ": " + std::to_string(result.pictures) + " pictures (" +
       std::to_string(result.keyPictures) + " IDR), " + std::to_string(result.bytes) + " bytes\n";
  std::fputs(t.c_str(), stdout);
  return kExitOk;
}
