// qnv-bench: runs every ingest benchmark and prints one table.
//
// Unpaced single-channel runs compare the library with three baselines on the
// same bytes: a bare receiver (recv 64 KiB, discard), the bare receiver plus
// fwrite to a file, and ffmpeg recording the elementary stream with -c copy,
// all writing to the same filesystem. The variants run interleaved, round by
// round (A B C ... A B C ...), so drift of the shared machine hits them alike,
// and every ratio is taken within one round. Paced runs put 64 channels at
// 25 fps (8 Mbit/s each) through the library, live only and recording. Then
// 500 logins with one keep-alive pass, and the micro-benchmarks.
//
// Every sender and receiver is a process of its own (qnv-bench-blaster,
// qnv-bench-ingest, ffmpeg): CPU time and peak memory come from getrusage of
// the receiving process alone.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchClip.h"
#include "BenchUtil.h"
#include "ChildProcess.h"
#include "SampleStats.h"
#include "qnvtools/CArgReader.h"

namespace {

using namespace qnv::bench;
namespace fs = std::filesystem;

using Values = std::map<std::string, std::string>;

struct SOptions {
  std::string binDir;
  std::string clip;
  std::string outDir;
  std::string ffmpeg = "/usr/bin/ffmpeg";
  std::string markdown;
  int rounds = 5;
  double mib = 512;
  int pacedRounds = 5;
  double pacedSeconds = 12;
  double warmupSeconds = 4;
  // Warm-up of the runs with the player beside the library; below 0: the
  // clip's length plus 4 s.
  double playerWarmupSeconds = -1;
  int channels = 64;
  int logins = 500;
  int microRepetitions = 5;
  bool ffmpegRuns = true;
  bool micro = true;
  bool player = true;        // qnv-bench-player: run captures, decode + draw, windows
  int captureRounds = 40;    // qnv-bench-capture rounds (0 skips)
  uint32_t stallMs = 0;      // paced library runs: a stall time-out on every channel
  int piecesRounds = 3;      // paced runs in network-sized pieces (0 skips)
  int presenceRounds = 3;    // one executable, the library alone against as installed (0 skips)
  std::string installedLib;  // the folder of an installed library (default: bench-lib-player)
  int piecesChannels = 8;
  std::string commandLine;
};

double ToDouble(const Values& v, const std::string& key) {
  auto it = v.find(key);
  return it == v.end() ? NAN : std::atof(it->second.c_str());
}

// ---- the table ----------------------------------------------------------------------------

struct SRow {
  std::string name;
  std::string unit;
  int decimals;
  CSampleSet samples;
};

class CTable {
 public:
  void Add(const std::string& name, const std::string& unit, int decimals, double value) {
    auto it = m_index.find(name);
    if (it == m_index.end()) {
      m_index[name] = m_rows.size();
      m_rows.push_back(SRow{name, unit, decimals, CSampleSet()});
      it = m_index.find(name);
    }
    if (!std::isnan(value)) m_rows[it->second].samples.Add(value);
  }
  const CSampleSet* Find(const std::string& name) const {
    auto it = m_index.find(name);
    return it == m_index.end() ? nullptr : &m_rows[it->second].samples;
  }
  std::string Markdown() const {
    std::string s =
        "| measurement | unit | median | min | max | runs |\n|---|---|---:|---:|---:|---:|\n";
    for (const SRow& r : m_rows) {
      char line[512];
      std::snprintf(line, sizeof line, "| %s | %s | %.*f | %.*f | %.*f | %zu |\n", r.name.c_str(),
                    r.unit.c_str(), r.decimals, r.samples.Median(), r.decimals, r.samples.Min(),
                    r.decimals, r.samples.Max(), r.samples.Count());
      s += line;
    }
    return s;
  }

 private:
  std::vector<SRow> m_rows;
  std::map<std::string, size_t> m_index;
};

// ---- runs ------------------------------------------------------------------------------------

struct SRunResult {
  bool ok = false;
  Values receiver;         // "result receiver" of the ingest program
  Values stream;           // "result stream" of the sender
  Values commands;         // "result commands" of the sender
  Values paced;            // "result paced" of the sender
  struct rusage usage {};  // of the receiving process
  uint64_t endNs = 0;      // when the receiving process was reaped
  std::string error;
};

void CollectResults(CChildProcess& child, SRunResult* r, int timeoutMs) {
  std::string line, what;
  Values values;
  while (child.ReadLine(&line, timeoutMs)) {
    if (!ParseResultLine(line, &what, &values)) continue;
    if (what == "receiver") r->receiver = values;
    if (what == "stream") r->stream = values;
    if (what == "commands") r->commands = values;
    if (what == "paced") r->paced = values;
  }
}

void ClearDir(const std::string& dir) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) fs::remove_all(e.path(), ec);
}

// A device-mode sender and the ingest program against it.
// The receiver is qnv-bench-ingest (the library alone) or, with player set,
// qnv-bench-ingest-player (the library with libQNVPlayer.so beside it, as
// users install them).
SRunResult RunAgainstDevice(const SOptions& o, const std::vector<std::string>& blasterArgs,
                            const std::vector<std::string>& ingestArgs, int timeoutMs,
                            bool player = false, const std::vector<std::string>& ingestEnv = {}) {
  SRunResult r;
  CChildProcess blaster;
  std::vector<std::string> b = {o.binDir + "/qnv-bench-blaster", "--clip", o.clip};
  b.insert(b.end(), blasterArgs.begin(), blasterArgs.end());
  if (!blaster.Start(b, o.outDir + "/../bench-blaster.log")) {
    r.error = "cannot start qnv-bench-blaster";
    return r;
  }
  std::string line;
  unsigned port = 0;
  if (!blaster.ReadLine(&line, 60000) || std::sscanf(line.c_str(), "ready port=%u", &port) != 1) {
    r.error = "qnv-bench-blaster did not start (see bench-blaster.log)";
    return r;
  }
  CChildProcess ingest;
  std::vector<std::string> a = {
      o.binDir + (player ? "/qnv-bench-ingest-player" : "/qnv-bench-ingest"), "--port",
      std::to_string(port)};
  a.insert(a.end(), ingestArgs.begin(), ingestArgs.end());
  if (!ingest.Start(a, o.outDir + "/../bench-ingest.log", ingestEnv)) {
    r.error = "cannot start qnv-bench-ingest";
    return r;
  }
  CollectResults(ingest, &r, timeoutMs);
  const bool ingestOk = ingest.Wait(&r.usage, &r.endNs);
  blaster.CloseStdin();
  CollectResults(blaster, &r, 30000);
  blaster.Wait(nullptr, nullptr);
  r.ok = ingestOk && !r.receiver.empty();
  if (!r.ok) r.error = "qnv-bench-ingest failed (see bench-ingest.log)";
  ClearDir(o.outDir);
  return r;
}

SRunResult RunFfmpeg(const SOptions& o, uint64_t loops) {
  SRunResult r;
  uint16_t port;
  {
    qnvtools::UniqueFd probe = ListenLoopback(0);
    port = probe.Valid() ? LocalPort(probe.Get()) : 0;
  }
  const std::string out = o.outDir + "/ffmpeg.h264";
  CChildProcess ffmpeg;
  if (!ffmpeg.Start({o.ffmpeg, "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "h264",
                     "-i", "tcp://127.0.0.1:" + std::to_string(port) + "?listen=1", "-c", "copy",
                     "-f", "h264", out},
                    o.outDir + "/../bench-ffmpeg.log")) {
    r.error = "cannot start " + o.ffmpeg;
    return r;
  }
  CChildProcess blaster;
  if (!blaster.Start({o.binDir + "/qnv-bench-blaster", "--clip", o.clip, "--raw-connect",
                      std::to_string(port), "--loops", std::to_string(loops)},
                     o.outDir + "/../bench-blaster.log")) {
    r.error = "cannot start qnv-bench-blaster";
    return r;
  }
  // ffmpeg's peak memory is sampled while it runs: once it has ended, only
  // getrusage is left, which counts the driver's memory it shared before exec.
  std::atomic<uint64_t> sampledKb{0};
  std::atomic<bool> sampling{true};
  std::thread sampler([&] {
    while (sampling.load()) {
      sampledKb.store(std::max(sampledKb.load(), PeakRssKb(ffmpeg.Pid())));
      usleep(2000);
    }
  });
  CollectResults(blaster, &r, 600000);
  blaster.Wait(nullptr, nullptr);
  sampling.store(false);
  sampler.join();
  uint64_t peakKb = sampledKb.load();
  const bool ok = ffmpeg.Wait(&r.usage, &r.endNs, &peakKb);
  r.receiver["peak_rss_kb"] = std::to_string(peakKb);
  std::error_code ec;
  const auto size = fs::file_size(out, ec);
  r.receiver["bytes"] = std::to_string(ec ? 0 : size);
  r.ok = ok && !r.stream.empty() && ToDouble(r.stream, "complete") == 1;
  if (!r.ok) r.error = "ffmpeg run failed (see bench-ffmpeg.log)";
  ClearDir(o.outDir);
  return r;
}

// ---- the benchmark ---------------------------------------------------------------------------

struct SUnpaced {
  double throughputMBs = NAN;  // stream bytes per second, 10^6
  double cpuPerGB = NAN;       // CPU seconds of the receiving process per 10^9 bytes
  double peakRssMB = NAN;
};

std::string Machine() {
  std::string model = "?";
  std::ifstream cpu("/proc/cpuinfo");
  for (std::string line; std::getline(cpu, line);) {
    if (line.rfind("model name", 0) == 0) {
      model = line.substr(line.find(':') + 2);
      break;
    }
  }
  std::string mem = "?";
  std::ifstream meminfo("/proc/meminfo");
  for (std::string line; std::getline(meminfo, line);) {
    if (line.rfind("MemTotal:", 0) == 0) {
      mem = std::to_string(std::atoll(line.c_str() + 9) / 1024 / 1024) + " GiB";
      break;
    }
  }
  std::string kernel = "?";
  std::ifstream osrel("/proc/sys/kernel/osrelease");
  std::getline(osrel, kernel);
  char buf[512];
  std::snprintf(buf, sizeof buf, "nproc %ld, CPU \"%s\", memory %s, Linux %s",
                sysconf(_SC_NPROCESSORS_ONLN), model.c_str(), mem.c_str(), kernel.c_str());
  return buf;
}

void Progress(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Progress(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}

struct STarget {
  std::string text;
  bool met;
  std::string value;
  bool measured = true;
};

std::string Fmt(const char* format, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, v);
  return buf;
}

int Run(const SOptions& o) {
  CBenchClip clip;
  std::string error;
  if (!clip.Load(o.clip, &error)) {
    std::fprintf(stderr, "qnv-bench: %s\n", error.c_str());
    return 1;
  }
  fs::create_directories(o.outDir);
  ClearDir(o.outDir);
  const uint64_t loops =
      std::max<uint64_t>(1, uint64_t(std::ceil(o.mib * 1048576.0 / double(clip.Framed().size()))));
  const uint64_t clipFrames = clip.Nals().size();
  CTable table;
  std::vector<std::string> failures;
  bool anyLost = false;
  uint64_t maxAllocs = 0, maxFaults = 0;
  double maxFaultsPerFrame = 0;

  Progress("clip %s: %zu frames, %.1f MB framed; %" PRIu64 " passes = %.0f MB per unpaced run",
           o.clip.c_str(), clip.Nals().size(), clip.Framed().size() / 1e6, loops,
           loops * clip.Framed().size() / 1e6);

  auto unpacedFromDevice = [&](const SRunResult& r, const char* name) {
    SUnpaced u;
    const double bytes = ToDouble(r.receiver, "bytes");
    const double seconds = (ToDouble(r.receiver, "end_ns") - ToDouble(r.stream, "start_ns")) / 1e9;
    u.throughputMBs = bytes / seconds / 1e6;
    u.cpuPerGB = CpuSeconds(r.usage) / (bytes / 1e9);
    u.peakRssMB = ToDouble(r.receiver, "peak_rss_kb") / 1024.0;
    if (ToDouble(r.stream, "bytes") != bytes) {
      failures.push_back(std::string(name) + ": received " + Fmt("%.0f", bytes) + " of " +
                         (r.stream.count("bytes") ? r.stream.at("bytes") : "?") + " bytes");
    }
    return u;
  };

  // ---- unpaced, interleaved -----------------------------------------------------------------
  const std::string loopsText = std::to_string(loops);
  for (int round = 1; round <= o.rounds; ++round) {
    std::map<std::string, SUnpaced> got;
    auto record = [&](const std::string& key, const std::string& label, const SUnpaced& u) {
      got[key] = u;
      table.Add(label + ": throughput", "MB/s", 0, u.throughputMBs);
      table.Add(label + ": CPU per GB", "CPU s/GB", 3, u.cpuPerGB);
      table.Add(label + ": peak RSS", "MiB", 1, u.peakRssMB);
      Progress("[round %d/%d] %-28s %7.0f MB/s  %6.3f CPU s/GB  %6.1f MiB", round, o.rounds,
               label.c_str(), u.throughputMBs, u.cpuPerGB, u.peakRssMB);
    };
    // 1. bare receiver
    {
      SRunResult r = RunAgainstDevice(o, {"--loops", loopsText}, {"--variant", "bare"}, 600000);
      if (!r.ok)
        failures.push_back("bare: " + r.error);
      else
        record("bare", "bare recv (discard)", unpacedFromDevice(r, "bare"));
    }
    // 2. library, live only
    auto libRun = [&](bool rec, const std::string& key, const std::string& label, bool player) {
      std::vector<std::string> args = {"--variant", "lib"};
      if (rec) args.insert(args.end(), {"--record", "--out", o.outDir});
      SRunResult r = RunAgainstDevice(o, {"--loops", loopsText}, args, 600000, player);
      if (!r.ok) {
        failures.push_back(label + ": " + r.error);
        return;
      }
      SUnpaced u = unpacedFromDevice(r, label.c_str());
      record(key, label, u);
      const double frames = ToDouble(r.receiver, "frames");
      const double lost = ToDouble(r.receiver, "lost");
      if (frames != double(loops * clipFrames) || lost != 0) {
        anyLost = true;
        failures.push_back(label + ": " + Fmt("%.0f", frames) + " frames delivered of " +
                           std::to_string(loops * clipFrames) + ", " + Fmt("%.0f", lost) + " lost");
      }
      const double wf = ToDouble(r.receiver, "window_frames");
      const double allocs = ToDouble(r.receiver, "window_allocs");
      const double faults = ToDouble(r.receiver, "window_minflt");
      table.Add(label + ": heap allocations in steady state", "count", 0, allocs);
      table.Add(label + ": minor page faults in steady state", "count", 0, faults);
      table.Add(label + ": frames in steady-state window", "frames", 0, wf);
      maxAllocs = std::max<uint64_t>(maxAllocs, uint64_t(allocs));
      maxFaults = std::max<uint64_t>(maxFaults, uint64_t(faults));
      if (wf > 0) maxFaultsPerFrame = std::max(maxFaultsPerFrame, faults / wf);
    };
    libRun(false, "live", "library live, 1 channel", false);
    libRun(false, "live-player", "library + player live, 1 channel", true);
    // 3. bare receiver + fwrite
    {
      SRunResult r =
          RunAgainstDevice(o, {"--loops", loopsText},
                           {"--variant", "bare-write", "--out", o.outDir + "/bare.dat"}, 600000);
      if (!r.ok)
        failures.push_back("bare-write: " + r.error);
      else
        record("bare-write", "bare recv + fwrite", unpacedFromDevice(r, "bare-write"));
    }
    // 4. library, live + one recording
    libRun(true, "record", "library live + recording, 1 channel", false);
    libRun(true, "record-player", "library + player live + recording, 1 channel", true);
    // 5. ffmpeg -c copy
    if (o.ffmpegRuns) {
      SRunResult r = RunFfmpeg(o, loops);
      if (!r.ok) {
        failures.push_back("ffmpeg: " + r.error);
      } else {
        SUnpaced u;
        const double bytes = ToDouble(r.stream, "bytes");
        u.throughputMBs = bytes / ((double(r.endNs) - ToDouble(r.stream, "start_ns")) / 1e9) / 1e6;
        u.cpuPerGB = CpuSeconds(r.usage) / (bytes / 1e9);
        u.peakRssMB = ToDouble(r.receiver, "peak_rss_kb") / 1024.0;
        record("ffmpeg", "ffmpeg -c copy to file", u);
      }
    }
    // Ratios of this round.
    auto ratio = [&](const std::string& a, const std::string& b, const std::string& label) {
      if (!got.count(a) || !got.count(b)) return;
      table.Add("ratio " + label + ": throughput", "x", 2,
                got[a].throughputMBs / got[b].throughputMBs);
      table.Add("ratio " + label + ": CPU per GB", "x", 2, got[a].cpuPerGB / got[b].cpuPerGB);
    };
    ratio("live", "bare", "library live / bare recv");
    ratio("live-player", "bare", "library + player live / bare recv");
    ratio("live-player", "live", "library + player / library alone, live");
    ratio("record", "bare-write", "library recording / bare recv + fwrite");
    ratio("record-player", "bare-write", "library + player recording / bare recv + fwrite");
    ratio("record-player", "record", "library + player / library alone, recording");
    ratio("record", "ffmpeg", "library recording / ffmpeg -c copy");
    ratio("record-player", "ffmpeg", "library + player recording / ffmpeg -c copy");
  }

  // ---- 64 channels, paced ---------------------------------------------------------------------
  // The bare receivers (a thread per stream, recv and discard, or fwrite to a
  // file per stream) show what the kernel alone costs for the same streams.
  const std::string channels = std::to_string(o.channels);
  // Channels without a window do not load the player, so the runs with it
  // installed warm up as long as those without (unless told otherwise).
  const double playerWarmup = o.playerWarmupSeconds >= 0 ? o.playerWarmupSeconds : o.warmupSeconds;
  auto pacedArgsTail = [&](bool player) -> std::vector<std::string> {
    return {"--channels", channels,
            "--seconds",  Fmt("%g", o.pacedSeconds),
            "--warmup",   Fmt("%g", player ? playerWarmup : o.warmupSeconds)};
  };
  bool playerMapped = false;
  for (int round = 1; round <= o.pacedRounds; ++round) {
    std::map<std::string, double> cpuOf, rssOf, faultsOf;
    // The library alone and with the player beside it swap places every other
    // round: a run right after a recording one meets the page cache and the
    // writeback that one left, and each order would favour one of the two.
    const bool swap = round % 2 == 0;
    const std::vector<const char*> order =
        swap ? std::vector<const char*>{"bare",       "player",        "lib",
                                        "bare-write", "player-record", "lib-record"}
             : std::vector<const char*>{"bare",       "lib",        "player",
                                        "bare-write", "lib-record", "player-record"};
    for (const char* variant : order) {
      const std::string v = variant;
      const bool player = v.rfind("player", 0) == 0;
      const bool lib = player || v.rfind("lib", 0) == 0;
      const bool rec = v.find("record") != std::string::npos || v == "bare-write";
      const std::string who = player ? "library + player " : "library ";
      const std::string label = channels + " x 8 Mbit/s paced, " +
                                (lib ? who + (rec ? "recording" : "live only")
                                     : (rec ? "bare recv + fwrite" : "bare recv"));
      std::vector<std::string> args = {"--variant", lib ? "lib" : v};
      const std::vector<std::string> tail = pacedArgsTail(player);
      args.insert(args.end(), tail.begin(), tail.end());
      if (rec && lib) args.push_back("--record");
      if (lib && o.stallMs != 0) args.insert(args.end(), {"--stall-ms", std::to_string(o.stallMs)});
      if (rec) args.insert(args.end(), {"--out", o.outDir});
      SRunResult r = RunAgainstDevice(o, {"--paced"}, args, 600000, player);
      if (!r.ok) {
        failures.push_back(label + ": " + r.error);
        continue;
      }
      const Values& vals = r.receiver;
      const double cpu = ToDouble(vals, "window_cpu_pct");
      cpuOf[v] = cpu;
      table.Add(label + ": CPU of one core", "%", 2, cpu);
      if (!lib) {
        Progress("[paced %d/%d] %s: %.2f%% of a core", round, o.pacedRounds, label.c_str(), cpu);
        continue;
      }
      const double lost = ToDouble(vals, "lost");
      table.Add(label + ": frames delivered in window", "frames", 0,
                ToDouble(vals, "window_frames"));
      table.Add(label + ": frames lost", "frames", 0, lost);
      table.Add(label + ": latency p50 (send to callback)", "us", 0,
                ToDouble(vals, "latency_p50_us"));
      table.Add(label + ": latency p99", "us", 0, ToDouble(vals, "latency_p99_us"));
      table.Add(label + ": heap allocations in window", "count", 0,
                ToDouble(vals, "window_allocs"));
      table.Add(label + ": minor page faults in window", "count", 0,
                ToDouble(vals, "window_minflt"));
      table.Add(label + ": RSS per open channel", "KiB", 0, ToDouble(vals, "rss_per_channel_kb"));
      rssOf[v] = ToDouble(vals, "rss_warm_kb");
      table.Add(label + ": RSS after warm-up", "MiB", 1, rssOf[v] / 1024.0);
      const double windowFrames = ToDouble(vals, "window_frames");
      faultsOf[v] =
          windowFrames > 0 ? 1000.0 * ToDouble(vals, "window_minflt") / windowFrames : NAN;
      table.Add(label + ": minor faults per 1,000 frames", "count", 2, faultsOf[v]);
      if (player) {
        const bool mapped = ToDouble(vals, "player_mapped") == 1;
        playerMapped = playerMapped || mapped;
        table.Add(label + ": player library loaded", "0/1", 0, mapped ? 1 : 0);
      }
      table.Add(label + ": UnInitLib with channels open", "ms", 1, ToDouble(vals, "uninit_ms"));
      table.Add(label + ": sender pictures > 10 ms late", "count", 0,
                ToDouble(r.paced, "late_units"));
      maxAllocs = std::max<uint64_t>(maxAllocs, uint64_t(ToDouble(vals, "window_allocs")));
      maxFaults = std::max<uint64_t>(maxFaults, uint64_t(ToDouble(vals, "window_minflt")));
      const double wf = ToDouble(vals, "window_frames");
      if (wf > 0)
        maxFaultsPerFrame = std::max(maxFaultsPerFrame, ToDouble(vals, "window_minflt") / wf);
      if (lost != 0 || ToDouble(vals, "silent_channels") != 0) anyLost = true;
      Progress("[paced %d/%d] %s: %.2f%% of a core, %.0f lost, p50 %.0f us, p99 %.0f us", round,
               o.pacedRounds, label.c_str(), cpu, lost, ToDouble(vals, "latency_p50_us"),
               ToDouble(vals, "latency_p99_us"));
    }
    if (cpuOf.count("lib") && cpuOf.count("bare"))
      table.Add("ratio paced library live / bare recv: CPU", "x", 2, cpuOf["lib"] / cpuOf["bare"]);
    if (cpuOf.count("lib-record") && cpuOf.count("bare-write"))
      table.Add("ratio paced library recording / bare recv + fwrite: CPU", "x", 2,
                cpuOf["lib-record"] / cpuOf["bare-write"]);
    // The player installed beside the library against the library alone, in
    // the same round: CPU, memory and faults.
    for (const char* mode : {"live", "recording"}) {
      const std::string alone = mode == std::string("live") ? "lib" : "lib-record";
      const std::string with = mode == std::string("live") ? "player" : "player-record";
      if (!cpuOf.count(alone) || !cpuOf.count(with)) continue;
      const std::string what = std::string("ratio paced library + player / library alone, ") + mode;
      table.Add(what + ": CPU", "x", 2, cpuOf[with] / cpuOf[alone]);
      table.Add(what + ": RSS", "x", 3, rssOf[with] / rssOf[alone]);
      // Faults are few either way: none against none is even.
      const double fa = faultsOf[alone], fw = faultsOf[with];
      table.Add(what + ": minor faults", "x", 2, fa > 0 ? fw / fa : (fw > 0 ? INFINITY : 1.0));
    }
  }

  // ---- the player's presence alone -----------------------------------------------------------
  // The same receiver executable, loading the library from a folder of its
  // own or from beside the player as installed (LD_LIBRARY_PATH outranks its
  // run path), alternated: whatever differs is the player's presence, not two
  // executables' layouts.
  const std::string aloneDir = fs::path(o.binDir).parent_path().string() + "/bench-lib";
  const std::string installedDir =
      o.installedLib.empty() ? fs::path(o.binDir).parent_path().string() + "/bench-lib-player"
                             : o.installedLib;
  for (int round = 1; round <= o.presenceRounds; ++round) {
    for (const bool rec : {false, true}) {
      std::map<std::string, double> cpuOf, rssOf;
      const std::vector<bool> order =
          round % 2 ? std::vector<bool>{false, true} : std::vector<bool>{true, false};
      for (const bool installed : order) {
        const std::string label = channels + " x 8 Mbit/s paced, " + (rec ? "recording" : "live") +
                                  ", one executable, library " +
                                  (installed ? "as installed" : "alone");
        std::vector<std::string> args = {"--variant", "lib"};
        const std::vector<std::string> tail = pacedArgsTail(false);
        args.insert(args.end(), tail.begin(), tail.end());
        if (rec) args.insert(args.end(), {"--record", "--out", o.outDir});
        SRunResult r =
            RunAgainstDevice(o, {"--paced"}, args, 600000, false,
                             {"LD_LIBRARY_PATH=" + (installed ? installedDir : aloneDir)});
        if (!r.ok) {
          failures.push_back(label + ": " + r.error);
          continue;
        }
        const Values& vals = r.receiver;
        if (ToDouble(vals, "sdk_folder_has_player") != (installed ? 1 : 0))
          failures.push_back(label + ": the library was not loaded from the folder asked for");
        const std::string key = installed ? "installed" : "alone";
        cpuOf[key] = ToDouble(vals, "window_cpu_pct");
        rssOf[key] = ToDouble(vals, "rss_warm_kb");
        table.Add(label + ": CPU of one core", "%", 2, cpuOf[key]);
        table.Add(label + ": RSS after warm-up", "MiB", 1, rssOf[key] / 1024.0);
        table.Add(label + ": frames lost", "frames", 0, ToDouble(vals, "lost"));
        if (ToDouble(vals, "lost") != 0) anyLost = true;
        Progress("[presence %d/%d] %s: %.2f%% of a core", round, o.presenceRounds, label.c_str(),
                 cpuOf[key]);
      }
      if (cpuOf.count("alone") && cpuOf.count("installed")) {
        const std::string what =
            std::string("ratio one executable, as installed / library alone, ") +
            (rec ? "recording" : "live");
        table.Add(what + ": CPU", "x", 2, cpuOf["installed"] / cpuOf["alone"]);
        table.Add(what + ": RSS", "x", 3, rssOf["installed"] / rssOf["alone"]);
      }
    }
  }

  // ---- paced, in network-sized pieces ------------------------------------------------------
  // On loopback a picture written at once arrives at once; a network delivers
  // it a segment at a time. The sender writes each picture in 1,448-byte
  // pieces 200 us apart; the same library runs with its wake threshold and,
  // through the preloaded recv shim, without it (alternating first place).
  const std::string shim = o.binDir + "/libqnv-bench-recv-shim.so";
  for (int round = 1; round <= o.piecesRounds; ++round) {
    std::map<std::string, double> cpuOf;
    const std::vector<bool> order =
        round % 2 ? std::vector<bool>{true, false} : std::vector<bool>{false, true};
    for (const bool threshold : order) {
      const std::string label = std::to_string(o.piecesChannels) +
                                " x 8 Mbit/s in 1,448-byte pieces, library live, " +
                                (threshold ? "wake threshold" : "no wake threshold");
      std::vector<std::string> env = {"LD_PRELOAD=" + shim};
      if (!threshold) env.push_back("QNV_BENCH_NO_RCVLOWAT=1");
      SRunResult r = RunAgainstDevice(
          o, {"--paced", "--pieces", "1448", "--piece-gap-us", "200"},
          {"--variant", "lib", "--channels", std::to_string(o.piecesChannels), "--seconds",
           Fmt("%g", o.pacedSeconds), "--warmup", Fmt("%g", o.warmupSeconds)},
          600000, false, env);
      if (!r.ok) {
        failures.push_back(label + ": " + r.error);
        continue;
      }
      const Values& vals = r.receiver;
      const double cpu = ToDouble(vals, "window_cpu_pct");
      const double bytes = ToDouble(vals, "window_bytes");
      // Pictures in the window: the sender's pictures per frame, applied to
      // the frames the receiver counted in it.
      const double units = ToDouble(r.paced, "units"), frames = ToDouble(r.paced, "frames");
      const double pictures = frames > 0 ? ToDouble(vals, "window_frames") * units / frames : NAN;
      cpuOf[threshold ? "on" : "off"] = cpu;
      table.Add(label + ": CPU of one core", "%", 2, cpu);
      table.Add(label + ": CPU per GB", "s", 3,
                bytes > 0 ? ToDouble(vals, "window_cpu_s") / (bytes / 1e9) : NAN);
      table.Add(label + ": reads per picture", "count", 2,
                pictures > 0 ? ToDouble(vals, "window_reads") / pictures : NAN);
      table.Add(label + ": wake-ups per picture", "count", 2,
                pictures > 0 ? ToDouble(vals, "window_wakeups") / pictures : NAN);
      table.Add(label + ": latency p50 (last byte due to callback)", "us", 0,
                ToDouble(vals, "latency_p50_us"));
      table.Add(label + ": latency p99", "us", 0, ToDouble(vals, "latency_p99_us"));
      table.Add(label + ": frames lost", "frames", 0, ToDouble(vals, "lost"));
      if (ToDouble(vals, "lost") != 0 || ToDouble(vals, "silent_channels") != 0) anyLost = true;
      Progress("[pieces %d/%d] %s: %.2f%% of a core, p50 %.0f us, p99 %.0f us", round,
               o.piecesRounds, label.c_str(), cpu, ToDouble(vals, "latency_p50_us"),
               ToDouble(vals, "latency_p99_us"));
    }
    if (cpuOf.count("on") && cpuOf.count("off"))
      table.Add("ratio pieces, no wake threshold / wake threshold: CPU", "x", 2,
                cpuOf["off"] / cpuOf["on"]);
  }

  // ---- logins ------------------------------------------------------------------------------
  if (o.logins > 0) {
    SRunResult r = RunAgainstDevice(
        o, {"--loops", "1"}, {"--variant", "logins", "--count", std::to_string(o.logins)}, 600000);
    if (!r.ok) {
      failures.push_back("logins: " + r.error);
    } else {
      const std::string n = std::to_string(o.logins);
      table.Add(n + " logins: total", "ms", 1, ToDouble(r.receiver, "login_total_ms"));
      table.Add(n + " logins: CPU", "ms", 1, ToDouble(r.receiver, "login_cpu_ms"));
      const double count = ToDouble(r.commands, "keepalives");
      table.Add(
          "keep-alive pass over " + n + " sessions: duration", "ms", 1,
          (ToDouble(r.commands, "keepalive_last_ns") - ToDouble(r.commands, "keepalive_first_ns")) /
              1e6);
      table.Add("keep-alive pass: requests answered", "count", 0, count);
      table.Add(n + " logouts: total", "ms", 1, ToDouble(r.receiver, "logout_total_ms"));
      Progress("[logins] %s logins in %.1f ms, keep-alive pass %.0f requests", n.c_str(),
               ToDouble(r.receiver, "login_total_ms"), count);
    }
  }

  // ---- the player where it decodes ------------------------------------------------------------
  if (o.player) {
    CChildProcess player;
    if (player.Start({o.binDir + "/qnv-bench-player", "--clip", o.clip, "--ffmpeg", o.ffmpeg,
                      "--out", o.outDir},
                     o.outDir + "/../bench-player.log")) {
      std::string line, what;
      Values v;
      while (player.ReadLine(&line, 600000)) {
        if (!ParseResultLine(line, &what, &v) || what != "player") continue;
        const std::string kind = v["what"];
        if (kind == "fresh_run") {
          const std::string what =
              "player: run capture, fresh decoder, " + v["pictures"] + " picture(s) (720p, JPEG)";
          table.Add(what, "ms", 1, ToDouble(v, "median_ms"));
          table.Add(what + ": CPU", "ms", 1, ToDouble(v, "cpu_median_ms"));
        } else if (kind == "warm_next" || kind == "warm_same") {
          const std::string what = kind == "warm_next"
                                       ? "player: run capture, warm decoder, 1 picture more"
                                       : "player: run capture, warm decoder, nothing new";
          table.Add(what, "ms", 1, ToDouble(v, "median_ms"));
          table.Add(what + ": CPU", "ms", 1, ToDouble(v, "cpu_median_ms"));
        } else if (kind == "kept_decoder") {
          table.Add("player: heap a kept 720p decoder holds", "KiB", 0, ToDouble(v, "heap_kb"));
        } else if (kind == "ffmpeg") {
          table.Add("ffmpeg -threads 1 -f null: decode CPU per picture (720p)", "ms", 2,
                    ToDouble(v, "cpu_ms_per_picture"));
        } else if (kind == "draw") {
          table.Add("player: window decode + draw CPU per picture (720p)", "ms", 2,
                    ToDouble(v, "cpu_ms_per_picture"));
          table.Add("player: X server CPU per picture drawn", "ms", 2,
                    ToDouble(v, "x_cpu_ms_per_picture"));
          table.Add("ratio player decode + draw / ffmpeg -threads 1 decode: CPU", "x", 2,
                    ToDouble(v, "ratio_ffmpeg"));
        } else if (kind == "windows") {
          table.Add("player: " + v["windows"] + " x 720p25 windows: worst port's pictures drawn",
                    "%", 1, ToDouble(v, "worst_drawn_pct"));
        } else if (kind == "windows_held") {
          table.Add("player: 720p25 windows held at full rate (Xvfb)", "count", 0,
                    ToDouble(v, "windows"));
        }
      }
      if (!player.Wait(nullptr, nullptr)) failures.push_back("qnv-bench-player failed");
      Progress("[player] done");
    } else {
      failures.push_back("cannot start qnv-bench-player");
    }
  }

  // ---- windowless captures through the library, the player beside it ------------------------
  if (o.captureRounds > 0) {
    CChildProcess blaster;
    std::string line;
    unsigned port = 0;
    if (!blaster.Start({o.binDir + "/qnv-bench-blaster", "--clip", o.clip, "--paced"},
                       o.outDir + "/../bench-blaster.log") ||
        !blaster.ReadLine(&line, 60000) || std::sscanf(line.c_str(), "ready port=%u", &port) != 1) {
      failures.push_back("capture: qnv-bench-blaster did not start (see bench-blaster.log)");
    } else {
      CChildProcess capture;
      if (capture.Start(
              {o.binDir + "/qnv-bench-capture", "--port", std::to_string(port), "--captures",
               std::to_string(o.captureRounds), "--out", o.outDir, "--ffmpeg", o.ffmpeg},
              o.outDir + "/../bench-capture.log")) {
        Values v;
        std::string what;
        double checked = 0, exact = 0;
        while (capture.ReadLine(&line, 900000)) {
          if (!ParseResultLine(line, &what, &v) || what != "capture") continue;
          const std::string s = v["scenario"];
          const std::string label =
              s == "timed"  ? "capture, windowless 720p: timed pre-record (key frame held)"
              : s == "seed" ? "capture, windowless 720p: default stretch (waits for a key frame)"
              : s == "timed-after"
                  ? "capture, windowless 720p: right after another, timed pre-record"
                  : "capture, windowless 720p: right after another, default stretch";
          table.Add(label + ": p50", "ms", 1, ToDouble(v, "p50_ms"));
          table.Add(label + ": p99", "ms", 1, ToDouble(v, "p99_ms"));
          table.Add(label + ": CPU p50 (decoding and writing)", "ms", 1, ToDouble(v, "cpu_p50_ms"));
          table.Add(label + ": CPU p99", "ms", 1, ToDouble(v, "cpu_p99_ms"));
          table.Add(label + ": failed", "count", 0, ToDouble(v, "failed"));
          if (ToDouble(v, "failed") != 0) failures.push_back(label + ": captures failed");
          checked += ToDouble(v, "checked");
          exact += ToDouble(v, "exact");
        }
        table.Add("capture: images checked against ffmpeg", "count", 0, checked);
        table.Add("capture: images the same as ffmpeg's decoding", "count", 0, exact);
        if (!capture.Wait(nullptr, nullptr)) failures.push_back("qnv-bench-capture failed");
        Progress("[capture] done");
      } else {
        failures.push_back("cannot start qnv-bench-capture");
      }
      blaster.CloseStdin();
      blaster.Wait(nullptr, nullptr);
    }
  }

  // ---- micro ---------------------------------------------------------------------------------
  if (o.micro) {
    CChildProcess micro;
    if (micro.Start({o.binDir + "/qnv-bench-micro", "--clip=" + o.clip,
                     "--benchmark_repetitions=" + std::to_string(o.microRepetitions),
                     "--benchmark_min_time=0.3", "--benchmark_color=false"},
                    o.outDir + "/../bench-micro.log")) {
      std::string line, what;
      Values v;
      while (micro.ReadLine(&line, 600000)) {
        if (!ParseResultLine(line, &what, &v) || what != "micro") continue;
        table.Add("micro " + v["name"], "MB/s", 0, ToDouble(v, "bytes_per_second") / 1e6);
        if (ToDouble(v, "items_per_second") > 0) {
          table.Add("micro " + v["name"] + ": frames", "Mframes/s", 2,
                    ToDouble(v, "items_per_second") / 1e6);
        }
      }
      if (!micro.Wait(nullptr, nullptr)) failures.push_back("qnv-bench-micro failed");
      Progress("[micro] done");
    } else {
      failures.push_back("cannot start qnv-bench-micro");
    }
  }

  // ---- targets -------------------------------------------------------------------------------
  std::vector<STarget> targets;
  auto median = [&](const std::string& row) {
    const CSampleSet* s = table.Find(row);
    return s == nullptr || s->Empty() ? NAN : s->Median();
  };
  auto atLeast = [&](const std::string& text, const std::string& row, double limit) {
    const double v = median(row);
    targets.push_back({text, v >= limit, Fmt("%.2fx", v), !std::isnan(v)});
  };
  auto atMost = [&](const std::string& text, const std::string& row, double limit,
                    const char* format = "%.2fx") {
    const double v = median(row);
    targets.push_back({text, v <= limit, Fmt(format, v), !std::isnan(v)});
  };
  atLeast("live ingest throughput >= 0.8x bare recv", "ratio library live / bare recv: throughput",
          0.8);
  atMost("live ingest CPU per GB <= 1.3x bare recv", "ratio library live / bare recv: CPU per GB",
         1.3);
  atMost("ingest + record CPU per GB <= 1.5x bare recv + fwrite",
         "ratio library recording / bare recv + fwrite: CPU per GB", 1.5);
  atLeast("ingest + record throughput >= 0.6x bare recv + fwrite",
          "ratio library recording / bare recv + fwrite: throughput", 0.6);
  if (o.ffmpegRuns) {
    atMost("ingest + record CPU per GB <= 0.45x ffmpeg -c copy",
           "ratio library recording / ffmpeg -c copy: CPU per GB", 0.45);
    atLeast("ingest + record throughput >= 1.5x ffmpeg -c copy",
            "ratio library recording / ffmpeg -c copy: throughput", 1.5);
  }
  if (o.pacedRounds > 0) {
    atMost(channels + " x 8 Mbit/s recording <= 10% of one core",
           channels + " x 8 Mbit/s paced, library recording: CPU of one core", 10, "%.2f%%");
    atMost(channels + " x 8 Mbit/s live only <= 5% of one core",
           channels + " x 8 Mbit/s paced, library live only: CPU of one core", 5, "%.2f%%");
    // The same with the player installed beside the library: channels
    // without a window cost what the library alone costs.
    for (const char* mode : {"live", "recording"}) {
      const std::string what = std::string("ratio paced library + player / library alone, ") + mode;
      atMost(std::string("player beside, windowless ") + mode + ": CPU <= 1.05x the library alone",
             what + ": CPU", 1.05);
      atMost(std::string("player beside, windowless ") + mode + ": RSS <= 1.05x the library alone",
             what + ": RSS", 1.05, "%.3fx");
      atMost(std::string("player beside, windowless ") + mode +
                 ": minor faults <= 1.1x the library alone",
             what + ": minor faults", 1.1);
    }
    targets.push_back({"player beside, windowless: the player library is never loaded",
                       !playerMapped, playerMapped ? "loaded" : "not loaded"});
  }
  if (o.presenceRounds > 0) {
    for (const char* mode : {"live", "recording"}) {
      const std::string what =
          std::string("ratio one executable, as installed / library alone, ") + mode;
      atMost(std::string("one executable, windowless ") + mode +
                 " as installed: CPU <= 1.05x the library alone",
             what + ": CPU", 1.05);
      atMost(std::string("one executable, windowless ") + mode +
                 " as installed: RSS <= 1.05x the library alone",
             what + ": RSS", 1.05, "%.3fx");
    }
  }
  if (o.player) {
    atMost("player: window decode + draw CPU per picture <= 1.15x ffmpeg -threads 1",
           "ratio player decode + draw / ffmpeg -threads 1 decode: CPU", 1.15);
  }
  if (o.captureRounds > 0) {
    const CSampleSet* checked = table.Find("capture: images checked against ffmpeg");
    const CSampleSet* exact = table.Find("capture: images the same as ffmpeg's decoding");
    const bool measured = checked != nullptr && !checked->Empty() && exact != nullptr;
    const double c = measured ? checked->Median() : NAN, e = measured ? exact->Median() : NAN;
    targets.push_back({"windowless captures: images exact against ffmpeg's decoding",
                       measured && c > 0 && e == c, Fmt("%.0f", e) + " of " + Fmt("%.0f", c),
                       measured});
  }
  targets.push_back({"zero frames lost (every library run)", !anyLost, anyLost ? "lost" : "0"});
  targets.push_back({"no heap allocation per frame in steady state", maxAllocs == 0,
                     std::to_string(maxAllocs) + " allocations in the worst window"});
  targets.push_back({"no new page fault per frame in steady state", maxFaultsPerFrame < 0.001,
                     std::to_string(maxFaults) + " minor faults in the worst window (" +
                         Fmt("%.5f", maxFaultsPerFrame) + " per frame)"});

  std::string md;
  md += "Machine: " + Machine() + "\n\n";
  md += "Command: `" + o.commandLine + "`\n\n";
  md += Fmt("Unpaced runs: %.0f MB of stream each, ", double(loops * clip.Framed().size()) / 1e6) +
        std::to_string(o.rounds) +
        " interleaved rounds; paced runs: " + std::to_string(o.pacedRounds) + " rounds of " +
        Fmt("%g", o.pacedSeconds) + " s after a " + Fmt("%g", o.warmupSeconds) + " s warm-up (" +
        Fmt("%g", playerWarmup) + " s with the player).\n\n";
  md += table.Markdown();
  md += "\nTargets (medians of the per-round ratios):\n\n";
  for (const STarget& t : targets) {
    const char* verdict = !t.measured ? "not measured" : t.met ? "met" : "MISSED";
    md += "- " + std::string(verdict) + ": " + t.text + (t.measured ? " (" + t.value + ")" : "") +
          "\n";
  }
  if (!failures.empty()) {
    md += "\nProblems:\n\n";
    for (const std::string& f : failures) md += "- " + f + "\n";
  }
  std::printf("\n%s", md.c_str());
  if (!o.markdown.empty()) {
    std::ofstream f(o.markdown);
    f << md;
  }
  return failures.empty() ? 0 : 1;
}

void Usage() {
  std::printf(
      "usage: qnv-bench [options]\n"
      "  --clip FILE         H.264 clip (default: <build>/bench-clip.h264)\n"
      "  --out DIR           where recordings go (default: <build>/bench-out)\n"
      "  --rounds N          interleaved rounds of the unpaced runs (default 5)\n"
      "  --mib M             stream per unpaced run, in MiB (default 512)\n"
      "  --paced-rounds N    rounds of the paced 64-channel runs (default 5; 0 skips)\n"
      "  --seconds S         measured seconds of a paced run (default 12)\n"
      "  --player-warmup S   warm-up of the paced runs with the player beside the\n"
      "                      library (default: the same as without)\n"
      "  --channels N        paced channels (default 64)\n"
      "  --logins N          sessions of the login run (default 500; 0 skips)\n"
      "  --micro-reps N      micro-benchmark repetitions (default 5; 0 skips)\n"
      "  --no-ffmpeg         skip the ffmpeg baseline\n"
      "  --presence-rounds N rounds of one receiver executable loading the library\n"
      "                      alone and as installed, beside the player (default 3)\n"
      "  --installed-lib DIR the installed library's folder for those rounds, e.g.\n"
      "                      PREFIX/lib (default: build-bench/bench-lib-player)\n"
      "  --pieces-rounds N   rounds of the paced runs in 1,448-byte pieces, with and\n"
      "                      without the wake threshold (default 3; 0 skips)\n"
      "  --pieces-channels N channels of those runs (default 8)\n"
      "  --stall-ms MS       paced library runs: a stall time-out of MS on every channel\n"
      "  --no-player         skip qnv-bench-player (run captures, decode + draw, windows)\n"
      "  --capture-rounds N  rounds of qnv-bench-capture, 4 captures each (default 40;\n"
      "                      0 skips)\n"
      "  --ffmpeg PATH       ffmpeg program (default /usr/bin/ffmpeg)\n"
      "  --markdown FILE     also write the result table there\n"
      "  --quick             2 rounds of 128 MiB, 1 paced round of 5 s\n");
}

}  // namespace

int main(int argc, char** argv) {
  SOptions o;
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return 1;
  self[n] = 0;
  o.binDir = fs::path(self).parent_path().string();
  o.clip = fs::path(o.binDir).parent_path().string() + "/bench-clip.h264";
  o.outDir = fs::path(o.binDir).parent_path().string() + "/bench-out";
  o.commandLine = "qnv-bench";
  qnvtools::CArgReader args(argc, argv, "qnv-bench");
  while (args.Next()) {
    const std::string& a = args.Arg();
    o.commandLine += " " + a;
    auto next = [&]() -> std::string {
      const char* value = args.ValueOrExit();
      o.commandLine += std::string(" ") + value;
      return value;
    };
    if (a == "--help" || a == "-h") {
      Usage();
      return 0;
    } else if (a == "--clip") {
      o.clip = next();
    } else if (a == "--out") {
      o.outDir = next();
    } else if (a == "--rounds") {
      o.rounds = std::atoi(next().c_str());
    } else if (a == "--mib") {
      o.mib = std::atof(next().c_str());
    } else if (a == "--paced-rounds") {
      o.pacedRounds = std::atoi(next().c_str());
    } else if (a == "--player-warmup") {
      o.playerWarmupSeconds = std::atof(next().c_str());
    } else if (a == "--seconds") {
      o.pacedSeconds = std::atof(next().c_str());
    } else if (a == "--channels") {
      o.channels = std::atoi(next().c_str());
    } else if (a == "--logins") {
      o.logins = std::atoi(next().c_str());
    } else if (a == "--micro-reps") {
      o.microRepetitions = std::atoi(next().c_str());
      o.micro = o.microRepetitions > 0;
    } else if (a == "--no-player") {
      o.player = false;
    } else if (a == "--capture-rounds") {
      o.captureRounds = std::atoi(next().c_str());
    } else if (a == "--no-ffmpeg") {
      o.ffmpegRuns = false;
    } else if (a == "--presence-rounds") {
      o.presenceRounds = std::atoi(next().c_str());
    } else if (a == "--installed-lib") {
      o.installedLib = next();
    } else if (a == "--pieces-rounds") {
      o.piecesRounds = std::atoi(next().c_str());
    } else if (a == "--pieces-channels") {
      o.piecesChannels = std::atoi(next().c_str());
    } else if (a == "--stall-ms") {
      o.stallMs = uint32_t(std::atoi(next().c_str()));
    } else if (a == "--ffmpeg") {
      o.ffmpeg = next();
    } else if (a == "--markdown") {
      o.markdown = next();
    } else if (a == "--quick") {
      o.rounds = 2;
      o.mib = 128;
      o.pacedRounds = 1;
      o.piecesRounds = 1;
      o.presenceRounds = 1;
      o.pacedSeconds = 5;
      o.warmupSeconds = 3;
      o.microRepetitions = 2;
      o.captureRounds = 4;
    } else {
      std::fprintf(stderr, "qnv-bench: unknown argument %s (see --help)\n", a.c_str());
      return 2;
    }
  }
  if (o.rounds < 0 || o.mib <= 0 || o.channels < 1 || o.channels > 64 || o.pacedSeconds <= 0 ||
      o.piecesChannels < 1 || o.piecesChannels > 64) {
    Usage();
    return 2;
  }
  return Run(o);
}
