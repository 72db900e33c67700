// qnv-recorder: records many cameras continuously in segments, removes old
// video by age and size, reconnects after losses, and serves every camera as
// RTSP. Runs in the foreground as a service (systemd); see --help.
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

#include "base/Log.h"
#include "config/Config.h"
#include "service/CRecorder.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char* const kUsage =
    "Usage: qnv-recorder --config FILE\n"
    "       qnv-recorder --check-config FILE\n"
    "       qnv-recorder --status ROOT\n"
    "\n"
    "Records the configured cameras in segments under ROOT/CAMERA/YYYY-MM-DD/ (UTC),\n"
    "each a data file (.qnv) and its index (.idx), removes old segments by age and\n"
    "size, reconnects after a device is lost (back-off 1 s doubling to 30 s) and,\n"
    "with an [rtsp] section, serves every camera as rtsp://HOST:PORT/CAMERA. Without\n"
    "a [storage] section it only re-streams. Runs in the foreground; logs one line\n"
    "per event to stderr.\n"
    "\n"
    "  --config FILE        run with this TOML configuration\n"
    "  --check-config FILE  check the configuration (passwords included) and exit\n"
    "  --status ROOT        print the status a running recorder keeps in ROOT\n"
    "  --help               this text\n"
    "\n"
    "Passwords are never taken from the command line: give each camera's password\n"
    "through password_env (an environment variable's name) or password_file (a file\n"
    "only its owner may read).\n"
    "\n"
    "Signals: SIGTERM or SIGINT close every file and exit; SIGHUP reloads the\n"
    "configuration (added cameras start, removed ones stop, changed ones restart).\n"
    "\n"
    "Exit status: 0 success; 1 the recorder could not start; 2 bad arguments or\n"
    "configuration.\n";

int Usage(const std::string& message) {
  std::fprintf(stderr, "qnv-recorder: %s\n(see qnv-recorder --help)\n", message.c_str());
  return kExitUsage;
}

int CheckConfig(const std::string& path) {
  qnvrecorder::SConfig config;
  std::string error;
  if (!qnvrecorder::LoadConfig(path, config, error)) {
    std::fprintf(stderr, "qnv-recorder: %s\n", error.c_str());
    return kExitUsage;
  }
  std::printf("%s: OK: %zu camera(s)", path.c_str(), config.cameras.size());
  if (config.storage.enabled) {
    std::printf(", recording to %s in %d s segments", config.storage.root.c_str(),
                config.storage.segmentSeconds);
  }
  if (config.rtsp.enabled) std::printf(", RTSP on port %u", config.rtsp.port);
  std::printf("\n");
  return kExitOk;
}

// A value of the status file's one-line objects (our own output: strings
// escape only quotes, backslashes and control characters).
std::string Field(const std::string& line, const char* name) {
  const std::string key = std::string("\"") + name + "\": ";
  size_t at = line.find(key);
  if (at == std::string::npos) return "";
  at += key.size();
  std::string value;
  if (line[at] != '"') {
    while (at < line.size() && line[at] != ',' && line[at] != '}') value += line[at++];
    return value;
  }
  for (++at; at < line.size() && line[at] != '"'; ++at) {
    if (line[at] == '\\' && at + 1 < line.size()) ++at;
    value += line[at];
  }
  return value;
}

int PrintStatus(const std::string& root) {
  const std::string path = root + "/" + qnvrecorder::kStatusFileName;
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "qnv-recorder: no status in %s (is a recorder writing there?)\n",
                 path.c_str());
    return kExitFailed;
  }
  std::string header;
  std::getline(in, header);
  const long pid = std::atol(Field(header, "pid").c_str());
  const long age = static_cast<long>(time(nullptr)) - std::atol(Field(header, "written").c_str());
  const bool running = pid > 0 && ::kill(static_cast<pid_t>(pid), 0) == 0;
  std::printf("recorder pid %ld %s, status written %ld s ago%s\n", pid,
              running ? "running" : "not running", age,
              Field(header, "disk_full") == "true" ? ", DISK FULL" : "");
  std::printf("%-20s %-11s %-24s %12s %5s  %s\n", "CAMERA", "STATE", "LAST FRAME (UTC)",
              "BYTES TODAY", "RECON", "SEGMENT");
  std::string line;
  while (std::getline(in, line)) {
    if (line.find("\"name\"") == std::string::npos) continue;
    const long long ms = std::atoll(Field(line, "last_frame_ms").c_str());
    char when[32] = "-";
    if (ms > 0) {
      const time_t t = static_cast<time_t>(ms / 1000);
      tm utc{};
      gmtime_r(&t, &utc);
      std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &utc);
    }
    std::printf("%-20s %-11s %-24s %12s %5s  %s\n", Field(line, "name").c_str(),
                Field(line, "state").c_str(), when, Field(line, "bytes_today").c_str(),
                Field(line, "reconnects").c_str(), Field(line, "segment").c_str());
  }
  return running ? kExitOk : kExitFailed;
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
      if (!qnvrecorder::LoadConfig(path, next, error)) {
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
  std::string config, check, status;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    // Refused before anything else: a password here shows in ps and in the
    // shell's history.
    if ((arg.rfind("-", 0) == 0 && arg.find("password") != std::string::npos) || arg == "-p") {
      std::fprintf(stderr,
                   "qnv-recorder: passwords are not accepted on the command line (they show in "
                   "ps and in shell history). Put password_env = \"VARIABLE\" or password_file "
                   "= \"/path/readable/by/owner/only\" in the camera's [[camera]] section.\n");
      return kExitUsage;
    }
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    } else if (arg == "--config") {
      if (!value(config)) return Usage("--config needs a file");
    } else if (arg == "--check-config") {
      if (!value(check)) return Usage("--check-config needs a file");
    } else if (arg == "--status") {
      if (!value(status)) return Usage("--status needs the storage root");
    } else {
      return Usage("unknown argument " + arg);
    }
  }
  if (!check.empty()) return CheckConfig(check);
  if (!status.empty()) return PrintStatus(status);
  if (config.empty()) return Usage("--config FILE is required");
  return Run(config);
}
