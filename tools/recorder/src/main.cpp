// qnv-recorder: records many cameras continuously in segments, removes old
// video by age and size, reconnects after losses, and serves every camera as
// RTSP. Runs in the foreground as a service (systemd); see --help.
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "base/Log.h"
#include "config/Config.h"
#include "integrations/StatusFile.h"
#include "integrations/catalogue/CRecorderCatalogue.h"
#include "qnvtools/CArgReader.h"
#include "qnvtools/Complain.h"
#include "qnvtools/ExitStatus.h"
#include "service/CRecorder.h"
#include "storage/CStorageRoot.h"
#include "web/WebAuth.h"

namespace {

using qnvtools::kExitFailed;
using qnvtools::kExitOk;
using qnvtools::kExitUsage;

const char* const kUsage =
    // "or:" lines are the further forms, so that the man page (help2man)
    // lists them all in its SYNOPSIS.
    "Usage: qnv-recorder --config FILE\n"
    "   or: qnv-recorder --check-config FILE\n"
    "   or: qnv-recorder --status ROOT [--instance NAME]\n"
    "   or: qnv-recorder --hash-password\n"
    "   or: qnv-recorder --config FILE --rebuild-catalogue\n"
    "\n"
    "Records the configured cameras in segments under ROOT/CAMERA/YYYY-MM-DD/ (UTC),\n"
    "each a data file (.qnv) and its index (.idx) named by the time it begins\n"
    "(HHMMSS, on the clock for continuous recording), removes old segments by age and\n"
    "size, reconnects after a device is lost and, with an [rtsp] section, serves every\n"
    "camera as rtsp://HOST:PORT/CAMERA. Without a [storage] section it only\n"
    "re-streams. With an [mqtt] section it publishes each device alarm, camera state,\n"
    "snapshot and closed segment to an MQTT broker, with Home Assistant discovery.\n"
    "Runs in the foreground; logs one line per event to stderr.\n"
    "\n"
    "  --config FILE        run with this TOML configuration\n"
    "  --check-config FILE  check the configuration as a start would (passwords, the\n"
    "                       storage root and its folders) and exit\n"
    "  --status ROOT        print the status each recorder instance keeps in\n"
    "                       ROOT/.qnv-recorder/INSTANCE/ (--instance: only that one)\n"
    "  --hash-password      read a password from the terminal (twice) or one line\n"
    "                       of standard input and print its hash for a [[web.user]]\n"
    "                       section's password_hash\n"
    "  --rebuild-catalogue  write this instance's catalogue rows again from its\n"
    "                       segment files and its journal, then exit (the instance\n"
    "                       must not be running); for a lost or damaged catalogue,\n"
    "                       or segments recorded before [catalogue] was configured\n"
    "  --version            the program's version\n"
    "  --help               this text\n"
    "\n"
    "Passwords are never taken from the command line: give each camera's password\n"
    "through password_env (an environment variable's name) or password_file (a file\n"
    "only its owner may read).\n"
    "\n"
    "What it does on its own: a lost device is logged in again after 1 s, 2 s, 4 s,\n"
    "... at most 30 s apart (1 s again once a connection held 30 s; after a refused\n"
    "user name or password, 300 s). The SDK reports a device that answers no\n"
    "keep-alive (13 to 18 s after it hangs), a connection that breaks (or hears\n"
    "nothing for 20 s), a malformed device message, and a stream with no frame for\n"
    "the camera's stall_seconds (default 10); the log line, status.json (reason,\n"
    "last_error, since) and --status say which, as they say why a login failed\n"
    "(wrong user name or password, connection refused, no answer).\n"
    "When free space falls below min_free_mb (after retention), writing stops; it\n"
    "resumes at min_free_mb plus a quarter of it and at least 4 MiB more per camera.\n"
    "Segments an earlier run left unclosed (a crash, kill -9) are repaired at start:\n"
    "cut back to their last whole frame, with a STEM.repaired note beside them. A\n"
    "segment being written is locked (flock), so qnv-export --check reports it as\n"
    "open. An RTSP request for a camera that is connected but has sent no key\n"
    "picture yet waits up to 5 s for one; a camera that is down is answered 503 at\n"
    "once.\n"
    "\n"
    "With a [web] section it serves a web page: every camera live, the recordings and\n"
    "the status, and its JSON API under /api/. Quick start, this machine only and\n"
    "no login: port = 8080 in [web], then open http://127.0.0.1:8080/. To serve\n"
    "others, set address and add a section per user:\n"
    "\n"
    // One line each, with a note two spaces on: help2man keeps such lines apart.
    "  [[web.user]]             a user of the page\n"
    "  name = \"alice\"           the name to log in with\n"
    "  password_hash = \"...\"    what qnv-recorder --hash-password prints\n"
    "\n"
    "With a [catalogue] section it keeps a catalogue of what it recorded (qnv-catalogue\n"
    "queries it, qnv-export --catalogue exports from it by time or event): a row per\n"
    "segment (open while written), per device event and per camera state change, in\n"
    "SQLite (ROOT/.qnv-recorder/catalogue.sqlite, shared by the instances on ROOT)\n"
    "or a fleet's PostgreSQL (url). The database never holds up recording: while it\n"
    "is away, rows wait in ROOT/.qnv-recorder/INSTANCE/catalogue-queue (queue_mb)\n"
    "and are written in order when it is back. Events and state changes also go to\n"
    "ROOT/.qnv-recorder/INSTANCE/journal/ (one JSON line each), which\n"
    "--rebuild-catalogue reads. Every event gets an id when it arrives, unique among\n"
    "this recorder's events (qnv-export --catalogue ROOT --event ID). Retention then\n"
    "finds the oldest segments in the catalogue rather than listing every folder.\n"
    "\n"
    "MQTT ([mqtt]): topics PREFIX/available (online/offline, retained; offline is\n"
    "the will), PREFIX/CAMERA/state (retained), PREFIX/CAMERA/event (one per alarm),\n"
    "PREFIX/CAMERA/snapshot (JPEG, retained), PREFIX/CAMERA/segment (one per closed\n"
    "segment), PREFIX/CAMERA/rule/RULE (ON/OFF); discovery under homeassistant/.\n"
    "With commands = true it takes PREFIX/CAMERA/ptz/set ({\"pan\", \"tilt\", \"zoom\"}\n"
    "or {\"preset\"}) and PREFIX/CAMERA/record/set ({\"seconds\"}). A broker that is\n"
    "down never holds up recording: up to 1,000 messages wait (the oldest dropped\n"
    "beyond, counted in the log), retained topics are sent again at each\n"
    "connection, and it reconnects after 1 s, 2 s, ... at most 30 s apart. The last\n"
    "50 snapshots of each camera are kept in\n"
    "ROOT/.qnv-recorder/INSTANCE/snapshots/CAMERA/UNIXMS.jpg.\n"
    "\n"
    "Signals: SIGTERM or SIGINT close every file and exit; SIGHUP reloads the\n"
    "configuration (added cameras start, removed ones stop, changed ones restart;\n"
    "a file that does not load is refused and the running configuration stays).\n"
    "\n"
    "Exit status: 0 success; 1 the recorder could not start (--status: no instance\n"
    "runs); 2 bad arguments or configuration.\n";

int Usage(const std::string& message) {
  return qnvtools::Complain("qnv-recorder", message + "\n(see qnv-recorder --help)", kExitUsage);
}

std::vector<std::string> CameraNames(const qnvrecorder::SConfig& config) {
  std::vector<std::string> names;
  for (const auto& c : config.cameras) names.push_back(c.name);
  return names;
}

int CheckConfig(const std::string& path) {
  qnvrecorder::SConfig config;
  std::string error, warning;
  if (!qnvrecorder::LoadConfig(path, config, error)) {
    std::fprintf(stderr, "qnv-recorder: %s\n", error.c_str());
    return kExitUsage;
  }
  // The same checks of the storage as the start makes, without changing it.
  if (config.storage.enabled &&
      !qnvrecorder::CStorageRoot::Inspect(config.storage.root, config.storage.instance,
                                          CameraNames(config), error, warning)) {
    std::fprintf(stderr, "qnv-recorder: %s: %s\n", path.c_str(), error.c_str());
    return kExitUsage;
  }
  if (!warning.empty()) std::fprintf(stderr, "qnv-recorder: note: %s\n", warning.c_str());
  std::printf("%s: OK: %zu camera(s)", path.c_str(), config.cameras.size());
  if (config.storage.enabled) {
    std::printf(", recording to %s (instance %s) in %d s segments", config.storage.root.c_str(),
                config.storage.instance.c_str(), config.storage.segmentSeconds);
  }
  if (config.rtsp.enabled) std::printf(", RTSP on port %u", config.rtsp.port);
  if (config.web.enabled) {
    std::printf(", web page on %s port %u (%s)", config.web.address.c_str(), config.web.port,
                config.web.users.empty()
                    ? "no login"
                    : (std::to_string(config.web.users.size()) + " user(s)").c_str());
  }
  if (config.mqtt.enabled) {
    std::printf(", MQTT to %s:%u%s under %s/", config.mqtt.host.c_str(), config.mqtt.port,
                config.mqtt.caFile.empty() ? "" : " (TLS)", config.mqtt.prefix.c_str());
  }
  std::printf("\n");
  return kExitOk;
}

int PrintStatus(const std::string& root, const std::string& instance) {
  bool any = false, running = false;
  for (const qnvrecorder::SInstanceInfo& info : qnvrecorder::FindInstances(root)) {
    if (!instance.empty() && info.name != instance) continue;
    std::string error;
    if (any) std::printf("\n");
    if (!qnvrecorder::PrintStatusFile(info.statusPath, info.running, error)) {
      std::printf("instance %s: %s\n", info.name.c_str(), error.c_str());
    }
    any = true;
    running = running || info.running;
  }
  if (!any) {
    std::fprintf(stderr, "qnv-recorder: no recorder %s in %s/%s (is a recorder writing there?)\n",
                 instance.empty() ? "instance" : ("instance " + instance).c_str(), root.c_str(),
                 qnvrecorder::kReservedFolder);
    return kExitFailed;
  }
  return running ? kExitOk : kExitFailed;
}

// Reads one line of standard input; from a terminal without echo.
bool ReadSecretLine(const char* prompt, std::string& line) {
  const bool tty = ::isatty(STDIN_FILENO) != 0;
  termios saved{};
  if (tty) {
    std::fprintf(stderr, "%s", prompt);
    tcgetattr(STDIN_FILENO, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  line.clear();
  int c;
  bool any = false;
  while ((c = std::getchar()) != EOF && c != '\n') {
    any = true;
    if (line.size() < 4096) line += static_cast<char>(c);
  }
  if (tty) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fprintf(stderr, "\n");
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return any || c == '\n';
}

int HashPassword() {
  std::string password, again, hash, error;
  if (!ReadSecretLine("Password: ", password) || password.empty()) {
    std::fprintf(stderr, "qnv-recorder: no password given\n");
    return kExitUsage;
  }
  if (::isatty(STDIN_FILENO) && (!ReadSecretLine("Again: ", again) || again != password)) {
    std::fprintf(stderr, "qnv-recorder: the two passwords differ\n");
    return kExitUsage;
  }
  if (!qnvrecorder::MakePasswordHash(password, hash, error)) {
    std::fprintf(stderr, "qnv-recorder: %s\n", error.c_str());
    return kExitFailed;
  }
  std::printf("%s\n", hash.c_str());
  return kExitOk;
}

int RebuildCatalogue(const std::string& path) {
  qnvrecorder::SConfig config;
  std::string error;
  if (!qnvrecorder::LoadConfig(path, config, error)) {
    std::fprintf(stderr, "qnv-recorder: %s\n", error.c_str());
    return kExitUsage;
  }
  if (!config.catalogue.enabled) {
    std::fprintf(stderr, "qnv-recorder: %s has no [catalogue] section: nothing to rebuild\n",
                 path.c_str());
    return kExitUsage;
  }
  // The instance's lock: a running recorder of this instance is refused.
  qnvrecorder::CStorageRoot storage;
  if (!storage.Open(config.storage.root, config.storage.instance, error)) {
    std::fprintf(stderr, "qnv-recorder: %s (stop the service first)\n", error.c_str());
    return kExitFailed;
  }
  const bool tty = ::isatty(STDERR_FILENO);
  qnvcat::SRebuildResult result;
  const bool ok = qnvrecorder::CRecorderCatalogue::Rebuild(
      config.storage, config.catalogue, CameraNames(config),
      [&](uint64_t done, uint64_t total) {
        if (tty || done == total) {
          std::fprintf(stderr, "%sscanned %llu of %llu segments", tty ? "\r" : "",
                       static_cast<unsigned long long>(done),
                       static_cast<unsigned long long>(total));
          if (done == total) std::fprintf(stderr, "\n");
        }
      },
      result, error);
  for (const std::string& p : result.problems) std::fprintf(stderr, "  %s\n", p.c_str());
  if (!ok) {
    std::fprintf(stderr, "qnv-recorder: rebuild failed: %s\n", error.c_str());
    return kExitFailed;
  }
  std::printf(
      "catalogue rebuilt for recorder %s: %llu segments (%llu empty left out, %llu unreadable), "
      "%llu rows of removed files marked deleted, %llu events, %llu state changes "
      "(%llu journal lines passed over)\n",
      qnvrecorder::CatalogueSetup(config.storage, config.catalogue).recorder.c_str(),
      static_cast<unsigned long long>(result.segments),
      static_cast<unsigned long long>(result.empty),
      static_cast<unsigned long long>(result.unreadable),
      static_cast<unsigned long long>(result.markedDeleted),
      static_cast<unsigned long long>(result.events),
      static_cast<unsigned long long>(result.states),
      static_cast<unsigned long long>(result.journalSkipped));
  return result.unreadable > 0 ? kExitFailed : kExitOk;
}

int Run(const std::string& path) {
  // Signals are taken by this thread only: every thread started later
  // inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, s);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  qnvrecorder::SConfig config;
  std::string error;
  if (!qnvrecorder::LoadConfig(path, config, error)) {
    LOG_ERROR("%s", error.c_str());
    return kExitUsage;
  }
  qnvrecorder::CRecorder recorder;
  if (!recorder.Start(config, error)) {
    LOG_ERROR("%s", error.c_str());
    recorder.Stop();
    return kExitFailed;
  }
  for (;;) {
    int signal = 0;
    if (sigwait(&signals, &signal) != 0) continue;
    if (signal == SIGHUP) {
      LOG_INFO("reloading %s", path.c_str());
      qnvrecorder::SConfig next;
      if (!qnvrecorder::LoadConfig(path, next, error, {.reload = true})) {
        LOG_ERROR("reload refused, the running configuration stays: %s", error.c_str());
        continue;
      }
      recorder.Reload(next, error);
      continue;
    }
    LOG_INFO("%s: closing every recording", signal == SIGTERM ? "SIGTERM" : "SIGINT");
    recorder.Stop();
    LOG_INFO("stopped");
    return kExitOk;
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string config, check, status, instance;
  bool rebuild = false;
  qnvtools::CArgReader args(argc, argv, "qnv-recorder");
  while (args.Next()) {
    const std::string& arg = args.Arg();
    // Refused before anything else: a password here shows in ps and in the
    // shell's history.
    if (arg == "--hash-password") return HashPassword();
    if ((arg.rfind("-", 0) == 0 && arg.find("password") != std::string::npos) || arg == "-p") {
      std::fprintf(stderr,
                   "qnv-recorder: passwords are not accepted on the command line (they show in "
                   "ps and in shell history). Put password_env = \"VARIABLE\" or password_file "
                   "= \"/path/readable/by/owner/only\" in the camera's [[camera]] section.\n");
      return kExitUsage;
    }
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    } else if (arg == "--version") {
      std::printf("qnv-recorder %s\n", QNV_TOOLS_VERSION);
      return kExitOk;
    } else if (arg == "--config") {
      if (!args.Value(config)) return Usage("--config needs a file");
    } else if (arg == "--check-config") {
      if (!args.Value(check)) return Usage("--check-config needs a file");
    } else if (arg == "--status") {
      if (!args.Value(status)) return Usage("--status needs the storage root");
    } else if (arg == "--rebuild-catalogue") {
      rebuild = true;
    } else if (arg == "--instance") {
      if (!args.Value(instance)) return Usage("--instance needs a name");
    } else {
      return Usage("unknown argument " + arg);
    }
  }
  if (!check.empty()) return CheckConfig(check);
  if (!status.empty()) return PrintStatus(status, instance);
  if (config.empty()) return Usage("--config FILE is required");
  if (rebuild) return RebuildCatalogue(config);
  return Run(config);
}
