// qnv-bench-ingest: the receiving side of the ingest benchmarks. One run per
// process, so CPU time and peak memory (getrusage) belong to that run alone;
// the sender is another process (qnv-bench-blaster).
//
//   --variant bare        recv 64 KiB at a time into one buffer, discard; with
//                         --seconds, --channels paced streams, a thread each
//   --variant bare-write  the same plus fwrite of every byte to --out FILE
//                         (paced: one file per stream in the --out directory)
//   --variant lib         the library through its public API: --channels N
//                         sessions with one live channel each, a stream
//                         callback that only counts, --record DIR to record
//                         every channel; unpaced runs end when the sender
//                         closes, paced ones (--seconds S) after a warm-up;
//                         --stall-ms MS gives every channel a stall time-out
//   --variant logins      --count N logins, one keep-alive pass, logout
//
// Prints one "result receiver ..." line.
#include <dlfcn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BenchClip.h"
#include "BenchUtil.h"
#include "CountingAllocator.h"
#include "QNVNetSdk.h"
#include "devsim/WireFormat.h"
#include "qnvtools/CArgReader.h"

namespace {

using namespace qnv::bench;
namespace wire = qnv::devsim::wire;

constexpr size_t kRecvChunk = 65536;
using wire::kClassLive;
using wire::kCodeAttach;
constexpr int kConnectTimeoutMs = 5000;
constexpr uint32_t kMaxChannels = 64;
// Frames before the steady-state window of an unpaced run opens: by then the
// reassembly buffer has met the largest key frame and the pre-record queue
// is full.
constexpr uint64_t kWarmFrames = 2000;
constexpr size_t kMaxLatencySamples = 1u << 20;
constexpr uint64_t kKeepAliveWaitMs = 7500;  // the first pass runs 5 s after InitLib

struct SOptions {
  std::string variant;
  uint16_t port = 0;
  std::string out;  // bare-write: file; lib: directory for recordings
  bool record = false;
  uint32_t channels = 1;
  double seconds = 0;  // 0: unpaced, until the sender closes
  double warmupSeconds = 3;
  uint32_t count = 500;
  uint32_t stallMs = 0;  // lib: every channel's stall time-out (0: none)
};

// Per-channel counters, written by that channel's receive thread only, in
// the slot of the stream id (the sender numbers streams 1, 2, ...).
struct alignas(64) SChannelStats {
  uint64_t frames = 0;
  uint64_t bytes = 0;
  uint64_t lost = 0;  // gaps in the sender's frame counter
  uint32_t lastCounter = 0;
  uint64_t lastNs = 0;
};

struct SSnapshot {
  uint64_t ns = 0;
  double cpu = 0;
  uint64_t minorFaults = 0;
  uint64_t allocations = 0;
  uint64_t frames = 0;
  uint64_t wakeUps = 0;  // voluntary context switches: a thread slept and was woken
  uint64_t reads = 0;    // reads that returned bytes (with the recv shim preloaded)
};

// The recv shim's counter, when the shim is preloaded (pieces runs).
uint64_t ShimReads() {
  using Fn = uint64_t (*)();
  static const Fn counter = reinterpret_cast<Fn>(dlsym(RTLD_DEFAULT, "qnv_bench_shim_reads"));
  return counter ? counter() : 0;
}

SSnapshot TakeSnapshot(uint64_t frames) {
  struct rusage u = SelfUsage();
  return SSnapshot{MonotonicNs(),     CpuSeconds(u), uint64_t(u.ru_minflt),
                   AllocationCount(), frames,        uint64_t(u.ru_nvcsw),
                   ShimReads()};
}

// State shared between the callbacks (receive threads) and main.
struct SLibRun {
  SChannelStats channels[kMaxChannels];
  std::atomic<uint64_t> totalFrames{0};
  std::atomic<bool> measuring{false};  // paced: latency samples are taken
  std::vector<uint32_t> latencyUs;     // preallocated and touched before the run
  std::atomic<size_t> latencyCount{0};
  std::atomic<bool> unknownStream{false};
  // Unpaced steady-state window, opened by the frame kWarmFrames.
  SSnapshot warm;
  std::atomic<bool> warmTaken{false};
  std::mutex mutex;
  std::condition_variable ended;
  uint32_t disconnects = 0;  // guarded by mutex
  SSnapshot atEnd;           // guarded by mutex: taken at the first disconnect
};

SLibRun* g_run = nullptr;

bool OnStream(uint32_t, char*, uint16_t, char* frame, int32_t length, uint32_t) {
  const uint64_t now = MonotonicNs();
  const auto* f = reinterpret_cast<const uint8_t*>(frame);
  if (length < int32_t(kFrameHeaderSize)) return true;
  const uint32_t streamId = wire::GetU32(f + kFrameStreamIdOffset);
  if (streamId == 0 || streamId > kMaxChannels) {
    g_run->unknownStream.store(true);
    return true;
  }
  SChannelStats& s = g_run->channels[streamId - 1];
  const uint32_t counter = wire::GetU32(f + kFrameCounterOffset);
  if (s.frames > 0 && counter != s.lastCounter + 1)
    s.lost += counter > s.lastCounter ? counter - s.lastCounter - 1 : 1;
  s.lastCounter = counter;
  ++s.frames;
  s.bytes += uint64_t(length);
  s.lastNs = now;
  const uint64_t total = g_run->totalFrames.fetch_add(1, std::memory_order_relaxed) + 1;
  if (g_run->measuring.load(std::memory_order_relaxed)) {
    const uint64_t sent = wire::GetU64(f + kFrameSendTimeOffset);
    const size_t i = g_run->latencyCount.fetch_add(1, std::memory_order_relaxed);
    if (i < g_run->latencyUs.size() && sent != 0 && now >= sent)
      g_run->latencyUs[i] = uint32_t(std::min<uint64_t>((now - sent) / 1000, UINT32_MAX));
  }
  if (total == kWarmFrames && !g_run->warmTaken.exchange(true)) g_run->warm = TakeSnapshot(total);
  return true;
}

bool OnDisconnect(uint32_t, char*, uint16_t, uint32_t) {
  std::lock_guard<std::mutex> lock(g_run->mutex);
  if (g_run->disconnects++ == 0) g_run->atEnd = TakeSnapshot(g_run->totalFrames.load());
  g_run->ended.notify_all();
  return true;
}

double Percentile(std::vector<uint32_t>& v, double q) {
  if (v.empty()) return 0;
  const size_t k = std::min(v.size() - 1, size_t(q * double(v.size() - 1) + 0.5));
  std::nth_element(v.begin(), v.begin() + ptrdiff_t(k), v.end());
  return double(v[k]);
}

void AddUsage(CResultLine& line) {
  struct rusage u = SelfUsage();
  line.Add("cpu_s", CpuSeconds(u)).Add("peak_rss_kb", PeakRssKb(0));
}

int RunBarePaced(const SOptions& o);

// Whether the player library is mapped into this process: with it installed
// beside the library, channels without a window must not load it.
bool PlayerMapped() {
  FILE* maps = std::fopen("/proc/self/maps", "r");
  if (maps == nullptr) return false;
  char line[4096];
  bool found = false;
  while (!found && std::fgets(line, sizeof line, maps) != nullptr)
    found = std::strstr(line, "libQNVPlayer.so") != nullptr;
  std::fclose(maps);
  return found;
}

// Whether libQNVPlayer.so lies beside the libQNVNetSdk.so this process
// loaded (the folder LD_LIBRARY_PATH or the run path chose).
bool SdkFolderHasPlayer() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&QNVNet_InitLib), &info) == 0 || info.dli_fname == nullptr)
    return false;
  std::string path = info.dli_fname;
  path = path.substr(0, path.rfind('/') + 1) + "libQNVPlayer.so";
  return ::access(path.c_str(), F_OK) == 0;
}

int RunBare(const SOptions& o) {
  if (o.seconds > 0) return RunBarePaced(o);
  qnvtools::UniqueFd fd = ConnectLoopback(uint16_t(o.port + 2), kConnectTimeoutMs);
  if (!fd.Valid()) {
    std::fprintf(stderr, "qnv-bench-ingest: cannot connect to the stream port\n");
    return 1;
  }
  uint8_t streamId[4];
  wire::PutU32(streamId, 1);
  const std::vector<uint8_t> attach =
      wire::EncodeRequest(wire::kOneWayHeaderWord, kClassLive, kCodeAttach, 0, streamId);
  if (!SendAll(fd.Get(), attach.data(), attach.size())) return 1;
  FILE* file = nullptr;
  if (o.variant == "bare-write") {
    file = std::fopen(o.out.c_str(), "wb");
    if (file == nullptr) {
      std::perror(o.out.c_str());
      return 1;
    }
  }
  static uint8_t buffer[kRecvChunk];
  uint64_t bytes = 0, endNs = 0;
  bool writeOk = true;
  for (;;) {
    ssize_t n = ::recv(fd.Get(), buffer, sizeof buffer, 0);
    if (n <= 0) break;
    endNs = MonotonicNs();
    bytes += uint64_t(n);
    if (file != nullptr && std::fwrite(buffer, 1, size_t(n), file) != size_t(n)) writeOk = false;
  }
  if (file != nullptr && std::fclose(file) != 0) writeOk = false;
  CResultLine line("receiver");
  line.Add("bytes", bytes).Add("end_ns", endNs).Add("write_ok", uint64_t(writeOk ? 1 : 0));
  AddUsage(line);
  line.Print();
  return writeOk ? 0 : 1;
}

// The bare receiver for paced streams: a thread per stream, as the library
// has, each with its own 64 KiB buffer (and file); measured over a window like
// the library's paced runs, so the two show what the kernel alone costs.
int RunBarePaced(const SOptions& o) {
  struct SStream {
    qnvtools::UniqueFd fd;
    FILE* file = nullptr;
    std::thread thread;
    uint64_t bytes = 0;
    bool writeOk = true;
  };
  std::vector<SStream> streams(o.channels);
  std::atomic<bool> stop{false};
  for (uint32_t i = 0; i < o.channels; ++i) {
    SStream& s = streams[i];
    s.fd = ConnectLoopback(uint16_t(o.port + 2), kConnectTimeoutMs);
    if (!s.fd.Valid()) {
      std::fprintf(stderr, "qnv-bench-ingest: cannot connect to the stream port\n");
      return 1;
    }
    uint8_t streamId[4];
    wire::PutU32(streamId, i + 1);
    const std::vector<uint8_t> attach =
        wire::EncodeRequest(wire::kOneWayHeaderWord, kClassLive, kCodeAttach, 0, streamId);
    if (!SendAll(s.fd.Get(), attach.data(), attach.size())) return 1;
    if (o.variant == "bare-write") {
      const std::string path = o.out + "/bare-" + std::to_string(i) + ".dat";
      s.file = std::fopen(path.c_str(), "wb");
      if (s.file == nullptr) {
        std::perror(path.c_str());
        return 1;
      }
    }
  }
  for (SStream& s : streams) {
    s.thread = std::thread([&s, &stop] {
      std::vector<uint8_t> buffer(kRecvChunk);
      while (!stop.load(std::memory_order_relaxed)) {
        ssize_t n = ::recv(s.fd.Get(), buffer.data(), buffer.size(), 0);
        if (n <= 0) break;
        s.bytes += uint64_t(n);
        if (s.file != nullptr && std::fwrite(buffer.data(), 1, size_t(n), s.file) != size_t(n))
          s.writeOk = false;
      }
    });
  }
  SleepUntilNs(MonotonicNs() + uint64_t(o.warmupSeconds * 1e9));
  const SSnapshot from = TakeSnapshot(0);
  SleepUntilNs(from.ns + uint64_t(o.seconds * 1e9));
  const SSnapshot to = TakeSnapshot(0);
  stop.store(true);
  bool writeOk = true;
  uint64_t bytes = 0;
  for (SStream& s : streams) {
    ::shutdown(s.fd.Get(), SHUT_RDWR);  // a blocked recv returns at once
    s.thread.join();
    if (s.file != nullptr && std::fclose(s.file) != 0) s.writeOk = false;
    writeOk = writeOk && s.writeOk;
    bytes += s.bytes;
  }
  const double windowS = double(to.ns - from.ns) / 1e9;
  CResultLine line("receiver");
  line.Add("channels", uint64_t(o.channels))
      .Add("bytes", bytes)
      .Add("write_ok", uint64_t(writeOk ? 1 : 0))
      .Add("window_s", windowS)
      .Add("window_cpu_s", to.cpu - from.cpu)
      .Add("window_cpu_pct", windowS > 0 ? 100.0 * (to.cpu - from.cpu) / windowS : 0.0);
  AddUsage(line);
  line.Print();
  return writeOk ? 0 : 1;
}

int RunLib(const SOptions& o) {
  static SLibRun run;
  g_run = &run;
  const bool paced = o.seconds > 0;
  if (paced) {
    run.latencyUs.assign(kMaxLatencySamples, 0);  // touched now, not during the run
  }
  QNVNet_SetCallback(nullptr, &OnStream, &OnDisconnect, 0);
  const uint64_t initNs = MonotonicNs();
  if (QNVNet_InitLib() != 0) return 1;
  std::vector<uint32_t> clients(o.channels), handles(o.channels);
  for (uint32_t i = 0; i < o.channels; ++i) {
    uint32_t rc = QNVNet_DevLogin(&clients[i], "127.0.0.1", o.port, "admin", "admin");
    if (rc != 0) {
      std::fprintf(stderr, "qnv-bench-ingest: login %u: %s\n", i, QnvResultText(rc));
      return 1;
    }
  }
  const uint64_t rssBeforeOpen = CurrentRssBytes();
  for (uint32_t i = 0; i < o.channels; ++i) {
    uint32_t rc = QNVNet_LiveOpen(&handles[i], clients[i], nullptr);
    if (rc != 0) {
      std::fprintf(stderr, "qnv-bench-ingest: live open %u: %s\n", i, QnvResultText(rc));
      return 1;
    }
    if (o.stallMs != 0 && (rc = QNVNet_LiveSetStallTimeout(handles[i], o.stallMs)) != 0) {
      std::fprintf(stderr, "qnv-bench-ingest: stall time-out %u: %s\n", i, QnvResultText(rc));
      return 1;
    }
    if (o.record) {
      const std::string path = o.out + "/rec-" + std::to_string(i) + ".dat";
      uint32_t id = 0;
      rc = QNVNet_LiveSaveOpen(handles[i], path.c_str(), id);
      if (rc != 0) {
        std::fprintf(stderr, "qnv-bench-ingest: save open %s: %s\n", path.c_str(),
                     QnvResultText(rc));
        return 1;
      }
    }
  }

  CResultLine line("receiver");
  SSnapshot from, to;
  uint64_t windowBytes = 0;
  auto bytesNow = [&] {
    uint64_t b = 0;
    for (const SChannelStats& s : run.channels) b += s.bytes;  // a near snapshot
    return b;
  };
  if (paced) {
    // The first keep-alive starts the library's keep-alive workers once; the
    // window opens after it, so it counts only what every tick costs.
    SleepUntilNs(std::max(MonotonicNs() + uint64_t(o.warmupSeconds * 1e9),
                          initNs + kKeepAliveWaitMs * 1000000u));
    const uint64_t rssWarm = CurrentRssBytes();
    TraceAllocations(false);  // opens the trace file, if any, outside the window
    from = TakeSnapshot(run.totalFrames.load());
    windowBytes = bytesNow();
    TraceAllocations(true);
    run.measuring.store(true);
    SleepUntilNs(from.ns + uint64_t(o.seconds * 1e9));
    run.measuring.store(false);
    TraceAllocations(false);
    to = TakeSnapshot(run.totalFrames.load());
    windowBytes = bytesNow() - windowBytes;
    line.Add("rss_before_open_kb", rssBeforeOpen / 1024).Add("rss_warm_kb", rssWarm / 1024);
    line.Add("rss_per_channel_kb",
             double(int64_t(rssWarm) - int64_t(rssBeforeOpen)) / 1024.0 / o.channels);
    std::vector<uint32_t> lat(
        run.latencyUs.begin(),
        run.latencyUs.begin() + ptrdiff_t(std::min(run.latencyCount.load(), run.latencyUs.size())));
    line.Add("latency_samples", uint64_t(lat.size()))
        .Add("latency_p50_us", Percentile(lat, 0.50))
        .Add("latency_p99_us", Percentile(lat, 0.99))
        .Add("latency_max_us", Percentile(lat, 1.0));
  } else {
    std::unique_lock<std::mutex> lock(run.mutex);
    run.ended.wait(lock, [&] { return run.disconnects >= o.channels; });
    from = run.warm;
    to = run.atEnd;
  }
  // Counters of the receive threads are read after the window closed; for a
  // paced run the threads still run, so this is a near snapshot.
  uint64_t frames = 0, bytes = 0, lost = 0, endNs = 0;
  uint32_t silent = 0;
  uint32_t active = 0;
  for (const SChannelStats& s : run.channels) {
    frames += s.frames;
    bytes += s.bytes;
    lost += s.lost;
    endNs = std::max(endNs, s.lastNs);
    if (s.frames > 0) ++active;
  }
  silent = o.channels - std::min(active, o.channels);
  line.Add("player_mapped", uint64_t(PlayerMapped() ? 1 : 0));
  line.Add("sdk_folder_has_player", uint64_t(SdkFolderHasPlayer() ? 1 : 0));
  const uint64_t uninitStart = MonotonicNs();
  QNVNet_UnInitLib();
  const uint64_t uninitNs = MonotonicNs() - uninitStart;

  const double windowS = double(to.ns - from.ns) / 1e9;
  const uint64_t windowFrames = to.frames - from.frames;
  line.Add("channels", uint64_t(o.channels))
      .Add("frames", frames)
      .Add("bytes", bytes)
      .Add("end_ns", endNs)
      .Add("lost", lost)
      .Add("silent_channels", uint64_t(silent))
      .Add("unknown_stream", uint64_t(run.unknownStream.load() ? 1 : 0))
      .Add("window_s", windowS)
      .Add("window_frames", windowFrames)
      .Add("window_cpu_s", to.cpu - from.cpu)
      .Add("window_cpu_pct", windowS > 0 ? 100.0 * (to.cpu - from.cpu) / windowS : 0.0)
      .Add("window_allocs", to.allocations - from.allocations)
      .Add("window_minflt", to.minorFaults - from.minorFaults)
      .Add("window_wakeups", to.wakeUps - from.wakeUps)
      .Add("window_reads", to.reads - from.reads)
      .Add("window_bytes", windowBytes)
      .Add("uninit_ms", double(uninitNs) / 1e6);
  AddUsage(line);
  line.Print();
  return 0;
}

int RunLogins(const SOptions& o) {
  QNVNet_SetCallback(nullptr, nullptr, nullptr, 0);
  const uint64_t initNs = MonotonicNs();
  if (QNVNet_InitLib() != 0) return 1;
  std::vector<uint32_t> clients(o.count);
  const SSnapshot before = TakeSnapshot(0);
  for (uint32_t i = 0; i < o.count; ++i) {
    uint32_t rc = QNVNet_DevLogin(&clients[i], "127.0.0.1", o.port, "admin", "admin");
    if (rc != 0) {
      std::fprintf(stderr, "qnv-bench-ingest: login %u: %s\n", i, QnvResultText(rc));
      return 1;
    }
  }
  const SSnapshot logged = TakeSnapshot(0);
  // One keep-alive pass runs 5 s after InitLib; the device times it.
  SleepUntilNs(initNs + kKeepAliveWaitMs * 1000000u);
  const SSnapshot passed = TakeSnapshot(0);
  for (uint32_t c : clients) QNVNet_DevLogout(c);
  const SSnapshot out = TakeSnapshot(0);
  QNVNet_UnInitLib();
  CResultLine line("receiver");
  line.Add("logins", uint64_t(o.count))
      .Add("login_total_ms", double(logged.ns - before.ns) / 1e6)
      .Add("login_cpu_ms", (logged.cpu - before.cpu) * 1e3)
      .Add("idle_window_cpu_ms", (passed.cpu - logged.cpu) * 1e3)
      .Add("logout_total_ms", double(out.ns - passed.ns) / 1e6)
      .Add("rss_kb", CurrentRssBytes() / 1024);
  AddUsage(line);
  line.Print();
  return 0;
}

void Usage() {
  std::printf(
      "usage: qnv-bench-ingest --variant bare|bare-write|lib|logins --port P [options]\n"
      "  --out PATH       bare-write: the file; lib --record: the directory\n"
      "  --record         lib: record every channel\n"
      "  --channels N     sessions/channels or paced streams (1..64, default 1)\n"
      "  --seconds S      paced run measured for S seconds after --warmup W\n"
      "  --count N        logins: sessions (default 500)\n"
      "  --stall-ms MS    lib: a stall time-out on every channel\n"
      "P is the command port of a running qnv-bench-blaster (stream port P+2).\n");
}

}  // namespace

int main(int argc, char** argv) {
  SOptions o;
  qnvtools::CArgReader args(argc, argv, "qnv-bench-ingest");
  while (args.Next()) {
    const std::string& a = args.Arg();
    if (a == "--help" || a == "-h") {
      Usage();
      return 0;
    } else if (a == "--variant") {
      o.variant = args.ValueOrExit();
    } else if (a == "--port") {
      o.port = uint16_t(std::atoi(args.ValueOrExit()));
    } else if (a == "--out") {
      o.out = args.ValueOrExit();
    } else if (a == "--record") {
      o.record = true;
    } else if (a == "--channels") {
      o.channels = uint32_t(std::atoi(args.ValueOrExit()));
    } else if (a == "--seconds") {
      o.seconds = std::atof(args.ValueOrExit());
    } else if (a == "--warmup") {
      o.warmupSeconds = std::atof(args.ValueOrExit());
    } else if (a == "--count") {
      o.count = uint32_t(std::atoi(args.ValueOrExit()));
    } else if (a == "--stall-ms") {
      o.stallMs = uint32_t(std::atoi(args.ValueOrExit()));
    } else {
      std::fprintf(stderr, "qnv-bench-ingest: unknown argument %s (see --help)\n", a.c_str());
      return 2;
    }
  }
  if (o.port == 0 || o.channels == 0 || o.channels > kMaxChannels ||
      ((o.variant == "bare-write" || o.record) && o.out.empty()) || o.seconds < 0) {
    Usage();
    return 2;
  }
  if (o.variant == "bare" || o.variant == "bare-write") return RunBare(o);
  if (o.variant == "lib") return RunLib(o);
  if (o.variant == "logins") return RunLogins(o);
  Usage();
  return 2;
}
