// qnv-recorder-soak: runs qnv-recorder for a long time against simulated
// devices (qnv-devsim processes on 127.0.0.1) while cameras freeze (SIGSTOP)
// and restart, a device raises an alarm storm, RTSP viewers join and leave,
// the configuration is reloaded with good and with hostile files, and
// retention removes old segments. At the end every segment must pass the
// recording check (consistent, or repaired), the recorder must stop cleanly,
// and its resident memory must have stayed flat. Exits 0 when all is well.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qnvrecording/CRecordingReader.h"
#include "qnvtools/CArgReader.h"
#include "qnvtools/ProcessStats.h"
#include "support/RtspViewer.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct SOptions {
  double minutes = 30;
  int cameras = 8;
  uint32_t seed = 1;
  std::string recorder = QNV_SOAK_RECORDER;
  std::string devsim = QNV_SOAK_DEVSIM;
  std::string dir;
};

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: qnv-recorder-soak [options]\n"
               "  --minutes M      how long to run (default 30; fractions allowed)\n"
               "  --cameras N      cameras, each its own simulated device (default 8, 2..32)\n"
               "  --recorder PATH  the qnv-recorder to run (default: the build's)\n"
               "  --devsim PATH    the qnv-devsim to run (default: the build's)\n"
               "  --dir DIR        storage and logs (default a new folder in /tmp, removed\n"
               "                   when all is well)\n"
               "  --seed N         random seed (default 1)\n"
               "Prints progress every 30 s and the figures at the end; exits 1 when a\n"
               "segment fails the check, the recorder did not stop cleanly, or its memory\n"
               "grew.\n");
}

// A child process with its output in a file; killed when it goes.
class CChild {
 public:
  CChild() = default;
  ~CChild() { Kill(); }
  CChild(const CChild&) = delete;
  CChild& operator=(const CChild&) = delete;

  bool Start(const std::vector<std::string>& argv, const std::string& log,
             const std::vector<std::string>& env = {}) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (char** e = environ; *e; ++e) envp.push_back(*e);
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    const int rc =
        posix_spawn(&m_pid, argv[0].c_str(), &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) m_pid = -1;
    return rc == 0;
  }
  pid_t Pid() const { return m_pid; }
  void Signal(int s) {
    if (m_pid > 0) ::kill(m_pid, s);
  }
  // The exit status, or -1 (signal, time-out: then killed).
  int Wait(int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_pid > 0) {
      int status = 0;
      const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
      if (r == m_pid) {
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      if (Clock::now() > end) {
        Kill();
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }
  void Kill() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGCONT);
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
    m_pid = -1;
  }

 private:
  pid_t m_pid = -1;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

long RssKiB(pid_t pid) { return long(qnvtools::ReadProcessStats(pid).rssKiB); }

// One simulated device, restartable on the same port, freezable.
struct SDevice {
  std::unique_ptr<CChild> process;
  uint16_t port = 0;
  std::string log;
  bool frozen = false;
  Clock::time_point thawAt{};
  std::vector<std::string> extra;  // its options beyond port and source
};

bool StartDevice(const SOptions& o, SDevice& d) {
  d.process = std::make_unique<CChild>();
  std::vector<std::string> argv = {o.devsim,      "--port",    std::to_string(d.port),
                                   "--synthetic", "--bitrate", "400000",
                                   "--size",      "640x360",   "--gop",
                                   "25"};
  argv.insert(argv.end(), d.extra.begin(), d.extra.end());
  if (!d.process->Start(argv, d.log)) return false;
  // Its log is new: the line says it listens (on a free port the first time,
  // on the same one after a restart).
  for (int i = 0; i < 100; ++i) {
    const std::string text = ReadFile(d.log);
    const size_t at = text.find("listening on 127.0.0.1:");
    if (at != std::string::npos) {
      d.port = uint16_t(std::atoi(text.c_str() + at + 23));
      return d.port != 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

std::string Config(const SOptions& o, const std::vector<SDevice>& devices, const fs::path& root,
                   bool variant) {
  std::ostringstream c;
  c << "[storage]\nroot = \"" << root.string() << "\"\nsegment_seconds = 4\nmp4 = true\n"
    << "keep_gb = " << (variant ? "0.05" : "0.04") << "\nmin_free_mb = 64\n"
    << "[rtsp]\nport = 0\n";
  for (size_t i = 0; i < devices.size(); ++i) {
    // The reload variant leaves the last camera out and changes another.
    if (variant && i + 1 == devices.size()) continue;
    c << "[[camera]]\nname = \"cam" << i << "\"\nhost = \"127.0.0.1\"\nport = " << devices[i].port
      << "\npassword_env = \"QNV_SOAK_PW\"\nkeep_gb = 0.004\n";
    if (i == 0) c << "mode = \"events\"\npre_seconds = 1\npost_seconds = 2\n";
    if (variant && i == 1) c << "keep_days = 1\n";
  }
  return c.str();
}

constexpr const char* kRefused = "reload refused, the running configuration stays";

// Files that are no configuration the recorder may take: each must be
// refused with the running configuration kept.
std::string HostileConfig(int kind) {
  switch (kind % 4) {
    case 0: {
      std::string parts = "a";
      for (int i = 0; i < 50000; ++i) parts += ".a";
      return "[" + parts + "]\n";
    }
    case 1:
      return "[rtsp]\nport = 0\n[[camera]]\nname = \"x\"\nhost = \"1.2.3.4" + std::string(1, '\0') +
             "\"\n";
    case 2:
      return "[rtsp]\n[[camera]]\nname = \"status.json\"\nhost = \"127.0.0.1\"\n";
    default:
      return "x = " + std::string(20000, '[') + "\n";
  }
}

}  // namespace

int main(int argc, char** argv) {
  SOptions o;
  qnvtools::CArgReader args(argc, argv, "qnv-recorder-soak");
  while (args.Next()) {
    const std::string& a = args.Arg();
    if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    } else if (a == "--minutes") {
      o.minutes = std::atof(args.ValueOrExit());
    } else if (a == "--cameras") {
      o.cameras = std::atoi(args.ValueOrExit());
    } else if (a == "--recorder") {
      o.recorder = args.ValueOrExit();
    } else if (a == "--devsim") {
      o.devsim = args.ValueOrExit();
    } else if (a == "--dir") {
      o.dir = args.ValueOrExit();
    } else if (a == "--seed") {
      o.seed = uint32_t(std::atol(args.ValueOrExit()));
    } else {
      std::fprintf(stderr, "qnv-recorder-soak: unknown option %s\n", a.c_str());
      Usage(stderr);
      return 2;
    }
  }
  if (o.minutes <= 0 || o.cameras < 2 || o.cameras > 32) {
    std::fprintf(stderr, "qnv-recorder-soak: an option is out of range (see --help)\n");
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  const bool ownDir = o.dir.empty();
  if (ownDir) {
    char pattern[] = "/tmp/qnv-recorder-soak-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return 1;
    o.dir = pattern;
  }
  const fs::path dir = o.dir, root = dir / "store";
  std::mt19937 random(o.seed);
  bool ok = true;
  auto fail = [&](const std::string& why) {
    std::printf("FAIL: %s\n", why.c_str());
    std::fflush(stdout);
    ok = false;
  };

  std::vector<SDevice> devices(size_t(o.cameras));
  for (size_t i = 0; i < devices.size(); ++i) {
    devices[i].log = (dir / ("devsim" + std::to_string(i) + ".log")).string();
    if (i == 0) devices[i].extra = {"--alarm-interval", "5"};  // an alarm storm
    if (!StartDevice(o, devices[i])) {
      std::printf("FAIL: simulated device %zu did not start (see %s)\n", i, devices[i].log.c_str());
      return 1;
    }
  }
  const fs::path configPath = dir / "recorder.toml", log = dir / "recorder.log";
  std::ofstream(configPath) << Config(o, devices, root, false);
  CChild recorder;
  if (!recorder.Start({o.recorder, "--config", configPath.string()}, log.string(),
                      {"QNV_SOAK_PW=admin", "JOURNAL_STREAM="})) {
    std::printf("FAIL: qnv-recorder did not start\n");
    return 1;
  }
  uint16_t rtspPort = 0;
  for (int i = 0; i < 200 && rtspPort == 0; ++i) {
    const std::string text = ReadFile(log);
    const size_t at = text.find("serving on port ");
    if (at != std::string::npos) rtspPort = uint16_t(std::atoi(text.c_str() + at + 16));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (rtspPort == 0) {
    std::printf("FAIL: qnv-recorder serves no RTSP:\n%s\n", ReadFile(log).c_str());
    return 1;
  }

  std::mutex statsMutex;
  uint64_t viewings = 0, viewedBytes = 0, refusedViewings = 0, failedViewings = 0;
  std::vector<std::thread> viewers;
  std::atomic<int> viewersRunning{0};
  uint64_t freezes = 0, restarts = 0, goodReloads = 0, badReloads = 0;
  std::vector<std::pair<double, long>> rss;  // seconds, KiB
  const auto start = Clock::now();
  const double total = o.minutes * 60;
  auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
  double nextProgress = 30, nextRss = 5;
  bool variant = false;
  std::printf("qnv-recorder-soak: %d cameras for %.1f min in %s\n", o.cameras, o.minutes,
              dir.c_str());
  std::fflush(stdout);
  while (elapsed() < total) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto now = Clock::now();
    // Frozen devices thaw after a while (the recorder saw them silent).
    for (SDevice& d : devices) {
      if (d.frozen && now >= d.thawAt) {
        d.process->Signal(SIGCONT);
        d.frozen = false;
      }
    }
    std::uniform_int_distribution<int> pick(0, 99);
    const int roll = pick(random);
    SDevice& d = devices[std::uniform_int_distribution<size_t>(0, devices.size() - 1)(random)];
    if (roll < 4 && !d.frozen) {
      // Frozen: the process stops, its connections stay open and silent.
      d.process->Signal(SIGSTOP);
      d.frozen = true;
      d.thawAt = now + std::chrono::seconds(std::uniform_int_distribution<int>(3, 15)(random));
      ++freezes;
    } else if (roll < 7 && !d.frozen) {
      d.process->Kill();  // a power cut: restarted on its port
      if (!StartDevice(o, d)) fail("a simulated device did not restart");
      ++restarts;
    } else if (roll < 25 && viewersRunning < 6) {
      const std::string camera =
          "cam" + std::to_string(std::uniform_int_distribution<int>(0, o.cameras - 1)(random));
      const int seconds = std::uniform_int_distribution<int>(1, 5)(random);
      ++viewersRunning;
      viewers.emplace_back([&, camera, seconds] {
        const qnvtest::SViewing v = qnvtest::WatchCamera(rtspPort, camera, seconds * 1000);
        std::lock_guard<std::mutex> lock(statsMutex);
        ++viewings;
        viewedBytes += v.bytes;
        refusedViewings += v.refused;
        failedViewings += v.failed;
        --viewersRunning;
      });
    } else if (roll < 27) {
      variant = !variant;
      std::ofstream(configPath) << Config(o, devices, root, variant);
      recorder.Signal(SIGHUP);
      ++goodReloads;
    } else if (roll < 29) {
      // The running recorder must refuse it (a reload before may still be
      // restarting cameras: the refusal is waited for).
      const size_t before = Count(ReadFile(log), kRefused);
      std::ofstream(configPath, std::ios::binary) << HostileConfig(int(badReloads));
      recorder.Signal(SIGHUP);
      const auto end = Clock::now() + std::chrono::seconds(30);
      while (Count(ReadFile(log), kRefused) == before && Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      if (Count(ReadFile(log), kRefused) == before) fail("a hostile configuration was not refused");
      std::ofstream(configPath) << Config(o, devices, root, variant);  // back to the one running
      ++badReloads;
    }
    if (elapsed() >= nextRss) {
      nextRss += 5;
      rss.emplace_back(elapsed(), RssKiB(recorder.Pid()));
    }
    if (elapsed() >= nextProgress) {
      nextProgress += 30;
      std::lock_guard<std::mutex> lock(statsMutex);
      std::printf(
          "%6.0f s  RSS %.1f MiB  freezes %llu  restarts %llu  reloads %llu good %llu bad"
          "  viewings %llu (%.1f MiB, %llu refused, %llu failed)\n",
          elapsed(), rss.empty() ? 0.0 : rss.back().second / 1024.0, (unsigned long long)freezes,
          (unsigned long long)restarts, (unsigned long long)goodReloads,
          (unsigned long long)badReloads, (unsigned long long)viewings, viewedBytes / 1048576.0,
          (unsigned long long)refusedViewings, (unsigned long long)failedViewings);
      std::fflush(stdout);
    }
  }
  for (std::thread& t : viewers) t.join();
  for (SDevice& d : devices) {
    if (d.frozen) d.process->Signal(SIGCONT);
  }
  recorder.Signal(SIGTERM);
  const int exit = recorder.Wait(60000);
  for (SDevice& d : devices) d.process->Kill();
  const std::string text = ReadFile(log);
  if (exit != 0) fail("qnv-recorder did not stop cleanly (exit " + std::to_string(exit) + ")");

  // Every segment passes the check qnv-export --check makes.
  size_t segments = 0, repaired = 0, damaged = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::end(it); ++it) {
    if (it->path().extension() != ".qnv" || it->is_symlink()) continue;
    ++segments;
    qnvrec::CRecordingReader reader;
    std::string error;
    if (!reader.Open(it->path().string(), qnvrec::IndexPathFor(it->path().string()), error)) {
      fail(it->path().string() + ": " + error);
      ++damaged;
      continue;
    }
    const qnvrec::ERecordingState state = reader.Summary().State();
    repaired += state == qnvrec::ERecordingState::kRepaired;
    if (state == qnvrec::ERecordingState::kDamaged || state == qnvrec::ERecordingState::kOpen) {
      fail(it->path().string() + " is " + qnvrec::StateName(state));
      ++damaged;
    }
  }
  if (segments == 0) fail("no segment was written");
  const size_t refusedReloads = Count(text, kRefused);
  if (Count(text, "retention: removed") == 0 && total >= 90) fail("retention never ran");
  if (viewedBytes == 0 && viewings > 3) fail("no RTSP viewer got any video");

  // Memory: after the first third of the run (start-up, first viewers), the
  // last third's highest reading stays within a quarter (plus 8 MiB) of the
  // middle third's.
  long middle = 0, last = 0;
  for (const auto& [t, kib] : rss) {
    if (t > total / 3 && t <= 2 * total / 3) middle = std::max(middle, kib);
    if (t > 2 * total / 3) last = std::max(last, kib);
  }
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // A sanitizer keeps what was freed for a while and shadows all memory:
  // the resident size says nothing about the recorder's own.
  constexpr bool kRssMeaningful = false;
#else
  constexpr bool kRssMeaningful = true;
#endif
  if (kRssMeaningful && middle > 0 && last > middle + middle / 4 + 8192) {
    fail("RSS grew from " + std::to_string(middle / 1024) + " MiB to " +
         std::to_string(last / 1024) + " MiB");
  }
  std::printf(
      "segments %zu (%zu repaired, %zu failing the check); freezes %llu, restarts %llu, "
      "reloads %llu good and %llu hostile (%zu refused); viewings %llu (%.1f MiB, %llu "
      "refused, %llu failed); RSS middle third %.1f MiB, last third %.1f MiB; %zu "
      "alarm lines for %zu held-back notes\n",
      segments, repaired, damaged, (unsigned long long)freezes, (unsigned long long)restarts,
      (unsigned long long)goodReloads, (unsigned long long)badReloads, refusedReloads,
      (unsigned long long)viewings, viewedBytes / 1048576.0, (unsigned long long)refusedViewings,
      (unsigned long long)failedViewings, middle / 1024.0, last / 1024.0,
      Count(text, ": alarm (rule"), Count(text, "held back"));
  std::printf("%s\n", ok ? "soak passed" : "soak FAILED");
  if (ok && ownDir) fs::remove_all(dir, ec);
  if (!ok) std::printf("(storage and logs kept in %s)\n", dir.c_str());
  return ok ? 0 : 1;
}
