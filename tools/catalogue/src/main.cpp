// qnv-catalogue: answers what was recorded where and when, from a recorder's
// catalogue (its ROOT's SQLite file) or a fleet's PostgreSQL database.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "qnvcatalogue/CameraCheck.h"
#include "qnvcatalogue/Coverage.h"
#include "qnvcatalogue/ICatalogue.h"
#include "qnvrecording/TimeText.h"
#include "qnvtools/CArgReader.h"
#include "qnvtools/Complain.h"
#include "qnvtools/ExitStatus.h"

namespace {

using nlohmann::json;

using qnvtools::kExitFailed;
using qnvtools::kExitOk;
using qnvtools::kExitUsage;

const char kUsage[] =
    "Usage: qnv-catalogue ROOT_OR_URL COMMAND [options]\n"
    "\n"
    "Answers what was recorded where and when, from a recorder's catalogue:\n"
    "ROOT (the recorder's storage root; its catalogue is ROOT/.qnv-recorder/\n"
    "catalogue.sqlite, readable while the recorder writes it) or the URL of a\n"
    "fleet's PostgreSQL database (postgresql://USER@HOST:PORT/DATABASE).\n"
    "\n"
    "Commands:\n"
    "  cameras            every camera, by recorder: recorded from, to, last state\n"
    "  coverage           a camera's recorded spans in a day (or --from/--to)\n"
    "  gaps               the holes between them\n"
    "  events             device events between two times (--camera, --rule filter)\n"
    "  segments           a camera's segments in a span, with their files\n"
    "\n"
    "Options:\n"
    "  --camera NAME        the camera (coverage, gaps and segments need it)\n"
    "  --day YYYY-MM-DD     a whole day (default: today)\n"
    "  --from TIME          start of the span, ISO 8601: 2024-05-01T14:02:00Z, with\n"
    "                       an offset (+02:00), or without a zone in local time\n"
    "  --to TIME            end of the span (not included)\n"
    "  --rule N             events of this rule only\n"
    "  --limit N            at most N events (default 10000)\n"
    "  --tolerance SECONDS  segments closer than this join one span (default 1)\n"
    "  --min-gap SECONDS    gaps shorter than this are not listed (default 1)\n"
    "  --utc                times and days in UTC (default: the local time zone)\n"
    "  --precise            times to the microsecond, lengths to the millisecond\n"
    "                       (default: whole seconds, cut)\n"
    "  --json               JSON on standard output, for scripts: ISO 8601 times\n"
    "                       with microseconds and their zone, lengths in seconds\n"
    "  --password-env VAR   PostgreSQL password from this environment variable\n"
    "  --password-file FILE\n"
    "                       PostgreSQL password from this file (chmod 600);\n"
    "                       without either: the URL's, PGPASSWORD or ~/.pgpass\n"
    "  -h, --help           show this text\n"
    "      --version        show the program's version\n"
    "\n"
    "Times are shown as 2024-05-01 16:02:03 (local) or 2024-05-01 14:02:03 UTC,\n"
    "lengths as 1 h 5 min 12 s. A --camera the catalogue does not hold is refused\n"
    "with the names it does hold.\n"
    "\n"
    "Exit status: 0 success (also when nothing matched), 1 the catalogue could not\n"
    "be read, 2 bad arguments (an unknown camera too).\n"
    "\n"
    // One short command a line, each after "$ ": help2man keeps those lines
    // apart, and the man page does not have to wrap them.
    "Examples:\n"
    "  $ qnv-catalogue /srv/video cameras\n"
    "  $ qnv-catalogue /srv/video coverage --camera gate\n"
    "  $ qnv-catalogue /srv/video gaps --camera gate --day 2024-05-01\n"
    "  $ qnv-catalogue /srv/video events --day 2024-05-01 --rule 3\n"
    "  $ qnv-catalogue postgresql://qnv@db/qnv segments --camera gate\n"
    "  $ qnv-catalogue /srv/video gaps --camera gate --utc --precise\n"
    "\n"
    "qnv-export --catalogue exports what these commands find.\n";

int Usage(const std::string& message) {
  return qnvtools::Complain("qnv-catalogue", message, kExitUsage);
}

int Failed(const std::string& message) {
  return qnvtools::Complain("qnv-catalogue", message, kExitFailed);
}

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool Seconds(const std::string& text, int64_t& us) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || !(v >= 0) || v > 1e9) return false;
  us = int64_t(v * 1e6);
  return true;
}

struct SArgs {
  std::string target, command, camera, day, from, to, passwordEnv, passwordFile;
  bool hasRule = false;
  uint32_t rule = 0;
  size_t limit = 10000;
  int64_t toleranceUs = 1000000, minGapUs = 1000000;
  bool utc = false, json = false, precise = false;
};

// Times and lengths in the two forms: Time for --json (its format is kept
// for scripts), Human and Duration for people.
class CPrinter {
 public:
  CPrinter(bool utc, bool precise) : m_utc(utc), m_precise(precise) {}
  std::string Time(int64_t us) const {
    return us == 0 ? "-" : m_utc ? qnvrec::UtcText(us) : qnvrec::LocalText(us);
  }
  std::string Human(int64_t us) const {
    return us == 0 ? "-" : qnvrec::HumanTime(us, m_utc, m_precise);
  }
  std::string Duration(int64_t us) const { return qnvrec::HumanDuration(us, m_precise); }

 private:
  bool m_utc, m_precise;
};

// "1 span", "2 spans".
std::string Count(size_t n, const char* noun) {
  return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

json SpanJson(const qnvcat::SSpan& s, const CPrinter& p) {
  return json{{"from", p.Time(s.fromUs)},
              {"to", p.Time(s.toUs)},
              {"fromUs", s.fromUs},
              {"toUs", s.toUs},
              {"seconds", double(s.toUs - s.fromUs) / 1e6},
              {"segments", s.segments},
              {"open", s.open}};
}

void Print(const json& j) {
  std::printf("%s\n", j.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  SArgs a;
  std::vector<std::string> positional;
  qnvtools::CArgReader args(argc, argv, "qnv-catalogue");
  while (args.Next()) {
    const std::string& arg = args.Arg();
    std::string text;
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    } else if (arg == "--version") {
      std::printf("qnv-catalogue %s\n", QNV_TOOLS_VERSION);
      return kExitOk;
    } else if (arg == "--camera") {
      if (!args.Value(a.camera)) return Usage("--camera needs a name");
    } else if (arg == "--day") {
      if (!args.Value(a.day)) return Usage("--day needs YYYY-MM-DD");
    } else if (arg == "--from") {
      if (!args.Value(a.from)) return Usage("--from needs a time");
    } else if (arg == "--to") {
      if (!args.Value(a.to)) return Usage("--to needs a time");
    } else if (arg == "--rule") {
      char* end = nullptr;
      if (!args.Value(text)) return Usage("--rule needs a number");
      const unsigned long v = std::strtoul(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0' || v > 0xFFFFFFFFul)
        return Usage("--rule: not a rule number: " + text);
      a.hasRule = true;
      a.rule = uint32_t(v);
    } else if (arg == "--limit") {
      char* end = nullptr;
      if (!args.Value(text)) return Usage("--limit needs a number");
      const unsigned long v = std::strtoul(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0' || v == 0 || v > 10000000)
        return Usage("--limit: 1 to 10000000");
      a.limit = v;
    } else if (arg == "--tolerance") {
      if (!args.Value(text) || !Seconds(text, a.toleranceUs))
        return Usage("--tolerance needs seconds");
    } else if (arg == "--min-gap") {
      if (!args.Value(text) || !Seconds(text, a.minGapUs)) return Usage("--min-gap needs seconds");
    } else if (arg == "--utc") {
      a.utc = true;
    } else if (arg == "--precise") {
      a.precise = true;
    } else if (arg == "--json") {
      a.json = true;
    } else if (arg == "--password-env") {
      if (!args.Value(a.passwordEnv)) return Usage("--password-env needs a variable name");
    } else if (arg == "--password-file") {
      if (!args.Value(a.passwordFile)) return Usage("--password-file needs a path");
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Usage("unknown option " + arg + " (see --help)");
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 2) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  a.target = positional[0];
  a.command = positional[1];
  static const char* const kCommands[] = {"cameras", "coverage", "gaps", "events", "segments"};
  bool known = false;
  for (const char* c : kCommands) known = known || a.command == c;
  if (!known) return Usage("unknown command " + a.command + " (see --help)");
  const bool needsCamera =
      a.command == "coverage" || a.command == "gaps" || a.command == "segments";
  if (needsCamera && a.camera.empty()) return Usage(a.command + " needs --camera NAME");

  // The span: --from/--to, else --day, else today.
  const int64_t now = NowUs();
  int64_t fromUs = 0, toUs = 0;
  std::string error;
  if (!a.from.empty() || !a.to.empty()) {
    if (!a.day.empty()) return Usage("give --day or --from/--to, not both");
    if (a.from.empty() || a.to.empty()) return Usage("--from and --to go together");
    if (!qnvrec::ParseTime(a.from, fromUs, error)) return Usage("--from: " + error);
    if (!qnvrec::ParseTime(a.to, toUs, error)) return Usage("--to: " + error);
    if (toUs <= fromUs) return Usage("--to must come after --from");
  } else {
    const std::string day = a.day.empty() ? qnvrec::DayText(now, a.utc) : a.day;
    if (!qnvrec::ParseDay(day, a.utc, fromUs, toUs, error)) return Usage("--day: " + error);
  }

  qnvcat::STarget target;
  target.rootOrUrl = a.target;
  target.applicationName = "qnv-catalogue";
  if (!qnvcat::LoadPassword(a.passwordEnv, a.passwordFile, target.password, error)) {
    return Usage(error);
  }
  auto catalogue = qnvcat::OpenCatalogue(target, qnvcat::EOpenMode::kRead, error);
  if (!catalogue) return Failed(error);
  if (!a.camera.empty()) {
    bool failed = false;
    if (!qnvcat::CheckCamera(*catalogue, a.camera, error, failed)) {
      return failed ? Failed(error) : Usage(error);
    }
  }
  const CPrinter p(a.utc, a.precise);

  if (a.command == "cameras") {
    std::vector<qnvcat::SCameraInfo> cameras;
    if (!catalogue->Cameras(cameras, error)) return Failed(error);
    if (a.json) {
      json list = json::array();
      for (const auto& c : cameras) {
        json j{{"camera", c.camera},       {"recorder", c.recorder}, {"first", p.Time(c.firstUs)},
               {"last", p.Time(c.lastUs)}, {"firstUs", c.firstUs},   {"lastUs", c.lastUs}};
        if (c.hasState) {
          j["state"] = qnvcat::CameraStateName(c.state);
          j["since"] = p.Time(c.stateUs);
          j["reason"] = c.reason;
        }
        list.push_back(std::move(j));
      }
      Print(json{{"cameras", std::move(list)}});
      return kExitOk;
    }
    if (cameras.empty()) std::printf("no cameras in %s\n", catalogue->Where().c_str());
    for (const auto& c : cameras) {
      std::printf("%s  (recorder %s)\n  recorded  %s .. %s\n", c.camera.c_str(), c.recorder.c_str(),
                  p.Human(c.firstUs).c_str(), p.Human(c.lastUs).c_str());
      if (c.hasState) {
        std::printf("  state     %s since %s%s%s\n", qnvcat::CameraStateName(c.state),
                    p.Human(c.stateUs).c_str(), c.reason.empty() ? "" : ": ", c.reason.c_str());
      }
    }
    return kExitOk;
  }

  if (a.command == "events") {
    qnvcat::SEventQuery q;
    q.fromUs = fromUs;
    q.toUs = toUs;
    q.camera = a.camera;
    q.hasRule = a.hasRule;
    q.rule = a.rule;
    q.limit = a.limit;
    std::vector<qnvcat::SEventRow> events;
    if (!catalogue->Events(q, events, error)) return Failed(error);
    if (a.json) {
      json list = json::array();
      for (const auto& e : events) {
        list.push_back(json{{"id", e.id},
                            {"camera", e.camera},
                            {"recorder", e.recorder},
                            {"time", p.Time(e.timeUs)},
                            {"timeUs", e.timeUs},
                            {"rule", e.rule},
                            {"channel", e.channel},
                            {"box", {e.box.x, e.box.y, e.box.width, e.box.height}},
                            {"sequence", e.sequence},
                            {"clip", e.clip},
                            {"segment", e.segment}});
      }
      Print(json{{"from", p.Time(fromUs)},
                 {"to", p.Time(toUs)},
                 {"events", std::move(list)},
                 {"truncated", events.size() == a.limit}});
      return kExitOk;
    }
    std::printf("%s from %s to %s%s\n", Count(events.size(), "event").c_str(),
                p.Human(fromUs).c_str(), p.Human(toUs).c_str(),
                events.size() == a.limit ? " (limit reached)" : "");
    for (const auto& e : events) {
      std::printf("%-8lld %s  %-16s rule %-4u box %u,%u %ux%u  %s\n", static_cast<long long>(e.id),
                  p.Human(e.timeUs).c_str(), e.camera.c_str(), e.rule, e.box.x, e.box.y,
                  e.box.width, e.box.height, !e.clip.empty() ? e.clip.c_str() : e.segment.c_str());
    }
    return kExitOk;
  }

  qnvcat::SSegmentQuery q;
  q.camera = a.camera;
  q.fromUs = fromUs;
  q.toUs = toUs;
  std::vector<qnvcat::SSegmentRow> rows;
  if (!catalogue->Segments(q, rows, error)) return Failed(error);

  if (a.command == "segments") {
    if (a.json) {
      json list = json::array();
      for (const auto& s : rows) {
        list.push_back(json{{"path", s.path},
                            {"recorder", s.recorder},
                            {"first", p.Time(s.firstUs)},
                            {"last", p.Time(s.lastUs)},
                            {"firstUs", s.firstUs},
                            {"lastUs", s.lastUs},
                            {"clock", qnvcat::ClockName(s.clock)},
                            {"frames", s.frames},
                            {"bytes", s.bytes},
                            {"state", qnvcat::StateName(s.state)}});
      }
      Print(json{{"camera", a.camera},
                 {"from", p.Time(fromUs)},
                 {"to", p.Time(toUs)},
                 {"segments", std::move(list)}});
      return kExitOk;
    }
    std::printf("%s of %s from %s to %s\n", Count(rows.size(), "segment").c_str(), a.camera.c_str(),
                p.Human(fromUs).c_str(), p.Human(toUs).c_str());
    for (const auto& s : rows) {
      std::printf("%s .. %s  %-8s %-7s %8llu frames  %s%s%s\n", p.Human(s.firstUs).c_str(),
                  p.Human(s.lastUs).c_str(), qnvcat::StateName(s.state), qnvcat::ClockName(s.clock),
                  static_cast<unsigned long long>(s.frames), s.path.c_str(),
                  s.recorder.empty() ? "" : "  on ", s.recorder.c_str());
    }
    return kExitOk;
  }

  const std::vector<qnvcat::SSpan> spans =
      qnvcat::CoverageOf(rows, fromUs, toUs, a.toleranceUs, now);
  if (a.command == "coverage") {
    int64_t total = 0;
    for (const auto& s : spans) total += s.toUs - s.fromUs;
    if (a.json) {
      json list = json::array();
      for (const auto& s : spans) list.push_back(SpanJson(s, p));
      Print(json{{"camera", a.camera},
                 {"from", p.Time(fromUs)},
                 {"to", p.Time(toUs)},
                 {"recordedSeconds", double(total) / 1e6},
                 {"spans", std::move(list)}});
      return kExitOk;
    }
    std::printf("%s from %s to %s: %s recorded in %s\n", a.camera.c_str(), p.Human(fromUs).c_str(),
                p.Human(toUs).c_str(), p.Duration(total).c_str(),
                Count(spans.size(), "span").c_str());
    for (const auto& s : spans) {
      std::printf("  %s .. %s  %20s  %s%s\n", p.Human(s.fromUs).c_str(), p.Human(s.toUs).c_str(),
                  p.Duration(s.toUs - s.fromUs).c_str(),
                  Count(size_t(s.segments), "segment").c_str(), s.open ? "  (recording)" : "");
    }
    return kExitOk;
  }

  const std::vector<qnvcat::SSpan> gaps = qnvcat::GapsOf(spans, fromUs, toUs, a.minGapUs, now);
  if (a.json) {
    json list = json::array();
    for (const auto& g : gaps) {
      json j = SpanJson(g, p);
      j.erase("segments");
      j.erase("open");
      list.push_back(std::move(j));
    }
    Print(json{{"camera", a.camera},
               {"from", p.Time(fromUs)},
               {"to", p.Time(toUs)},
               {"gaps", std::move(list)}});
    return kExitOk;
  }
  std::printf("%s from %s to %s: %s\n", a.camera.c_str(), p.Human(fromUs).c_str(),
              p.Human(std::min(toUs, now)).c_str(), Count(gaps.size(), "gap").c_str());
  for (const auto& g : gaps) {
    std::printf("  %s .. %s  %20s\n", p.Human(g.fromUs).c_str(), p.Human(g.toUs).c_str(),
                p.Duration(g.toUs - g.fromUs).c_str());
  }
  return kExitOk;
}
