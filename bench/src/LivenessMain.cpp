// qnv-bench-liveness: how fast the library reports a device that froze or a
// stream that stalled, and what watching costs while nothing happens. The
// library is used as a host uses it (public header, the shared library);
// every device is a qnv-devsim process of its own, frozen with SIGSTOP, so
// its CPU is not this process's and its kernel still acknowledges, exactly as
// a hung camera's does.
//
//   --freeze N      N sessions on one device, the device stopped at a random
//                   moment of the keep-alive period: the time from SIGSTOP to
//                   each session's disconnect callback (--trials times)
//   --stall MS      --channels N channels (a session each) with a stall
//                   time-out of MS, the device stopped: the time from each
//                   channel's last frame to its report, and that minus MS
//   --idle S        --sessions N idle sessions (and --channels N paced
//                   channels, --stall-ms on them, if given): CPU of this
//                   process over S seconds, after the first keep-alives
//
// The extension exports are looked up at run time, so the same program
// measures an older library (LD_LIBRARY_PATH) where they are missing: its
// idle runs then set no stall time-out, and its freeze runs report what it
// reports. Prints one "result liveness ..." line per run.
#include <dlfcn.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BenchUtil.h"
#include "ChildProcess.h"
#include "QNVNetSdk.h"
#include "qnvtools/CArgReader.h"

namespace {

using namespace qnv::bench;

struct SOptions {
  std::string devsim;
  uint32_t freezeSessions = 0;
  int trials = 1;
  uint32_t stallMs = 0;
  uint32_t channels = 0;
  double idleSeconds = 0;
  uint32_t sessions = 500;
  uint32_t idleStallMs = 0;
};

using SetStallFn = uint32_t (*)(uint32_t, uint32_t);
using ReasonFn = uint32_t (*)(QNVNetLoss*);
SetStallFn g_setStall = nullptr;
ReasonFn g_reason = nullptr;

// What the callbacks saw; any thread.
struct SSeen {
  std::mutex mutex;
  std::vector<uint64_t> reportNs;  // by slot
  std::vector<uint32_t> reason;
  std::vector<uint32_t> clientOf;  // slot -> client id
  uint16_t watchPort = 0;          // reports on this port count
  std::atomic<uint64_t> lastFrameNs[64];
  std::atomic<uint32_t> reports{0};
};
SSeen g_seen;

int SlotOf(uint32_t clientId) {
  for (size_t i = 0; i < g_seen.clientOf.size(); ++i)
    if (g_seen.clientOf[i] == clientId) return int(i);
  return -1;
}

bool OnDisconnect(uint32_t clientId, char*, uint16_t port, uint32_t) {
  const uint64_t now = MonotonicNs();
  QNVNetLoss loss{};
  if (g_reason != nullptr) g_reason(&loss);
  std::lock_guard<std::mutex> lock(g_seen.mutex);
  const int slot = SlotOf(clientId);
  if (slot < 0 || port != g_seen.watchPort || g_seen.reportNs[size_t(slot)] != 0) return true;
  g_seen.reportNs[size_t(slot)] = now;
  g_seen.reason[size_t(slot)] = loss.reason;
  g_seen.reports.fetch_add(1);
  return true;
}

bool OnFrame(uint32_t clientId, char*, uint16_t, char*, int32_t, uint32_t) {
  // Slots are fixed before the first frame; read without the mutex.
  for (size_t i = 0; i < g_seen.clientOf.size() && i < 64; ++i)
    if (g_seen.clientOf[i] == clientId) g_seen.lastFrameNs[i].store(MonotonicNs());
  return true;
}

double Percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, size_t(q * double(v.size() - 1) + 0.5))];
}

// A qnv-devsim process on a free port.
struct SDevice {
  CChildProcess process;
  uint16_t port = 0;
};

bool StartDevice(const SOptions& o, SDevice& d, bool paced8M) {
  std::vector<std::string> argv = {o.devsim, "--port", "0", "--synthetic", "--idle-timeout", "0"};
  if (paced8M) {
    argv.insert(argv.end(), {"--size", "1280x720", "--bitrate", "8000000"});
  } else {
    argv.insert(argv.end(), {"--size", "320x240", "--bitrate", "300000", "--gop", "25"});
  }
  if (!d.process.Start(argv, "/dev/null")) return false;
  std::string line;
  if (!d.process.ReadLine(&line, 10000)) return false;
  const size_t at = line.find("127.0.0.1:");
  if (at == std::string::npos) return false;
  d.port = uint16_t(std::atoi(line.c_str() + at + 10));
  return d.port != 0;
}

bool LoginAll(uint16_t port, uint32_t n, std::vector<uint32_t>& ids) {
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t id = 0;
    if (QNVNet_DevLogin(&id, "127.0.0.1", port, "admin", "admin") != 0) {
      std::fprintf(stderr, "qnv-bench-liveness: login %u failed\n", i);
      return false;
    }
    ids.push_back(id);
  }
  return true;
}

void ResetSeen(const std::vector<uint32_t>& ids, uint16_t port) {
  std::lock_guard<std::mutex> lock(g_seen.mutex);
  g_seen.clientOf = ids;
  g_seen.reportNs.assign(ids.size(), 0);
  g_seen.reason.assign(ids.size(), 0);
  g_seen.watchPort = port;
  g_seen.reports.store(0);
  for (auto& t : g_seen.lastFrameNs) t.store(0);
}

bool WaitReports(size_t n, double seconds) {
  const uint64_t end = MonotonicNs() + uint64_t(seconds * 1e9);
  while (g_seen.reports.load() < n && MonotonicNs() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return g_seen.reports.load() >= n;
}

void Thaw(SDevice& d) {
  ::kill(d.process.Pid(), SIGCONT);
  d.process.Kill();
  d.process.Wait(nullptr, nullptr);
}

int RunFreeze(const SOptions& o) {
  std::vector<double> latencies;
  uint64_t wrongReason = 0, missing = 0;
  std::mt19937 random{std::random_device{}()};
  for (int trial = 0; trial < o.trials; ++trial) {
    SDevice device;
    if (!StartDevice(o, device, false)) return 1;
    std::vector<uint32_t> ids;
    if (!LoginAll(device.port, o.freezeSessions, ids)) return 1;
    ResetSeen(ids, device.port);
    // Any moment of the 5 s keep-alive period.
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 5000)(random)));
    const uint64_t frozenNs = MonotonicNs();
    ::kill(device.process.Pid(), SIGSTOP);
    WaitReports(ids.size(), 60);
    {
      std::lock_guard<std::mutex> lock(g_seen.mutex);
      for (size_t i = 0; i < ids.size(); ++i) {
        if (g_seen.reportNs[i] == 0) {
          ++missing;
          continue;
        }
        latencies.push_back(double(g_seen.reportNs[i] - frozenNs) / 1e9);
        if (g_reason != nullptr && g_seen.reason[i] != QNVNET_LOSS_NO_KEEPALIVE_ANSWER)
          ++wrongReason;
      }
    }
    for (uint32_t id : ids) QNVNet_DevLogout(id);
    Thaw(device);
    std::fprintf(stderr, "[freeze %d/%d] %u sessions: p50 %.2f s, max %.2f s\n", trial + 1,
                 o.trials, o.freezeSessions, Percentile(latencies, 0.5),
                 Percentile(latencies, 1.0));
  }
  CResultLine line("liveness");
  line.Add("test", std::string("freeze"))
      .Add("sessions", uint64_t(o.freezeSessions))
      .Add("trials", uint64_t(o.trials))
      .Add("reports", uint64_t(latencies.size()))
      .Add("missing", missing)
      .Add("wrong_reason", wrongReason)
      .Add("p50_s", Percentile(latencies, 0.5))
      .Add("p99_s", Percentile(latencies, 0.99))
      .Add("min_s", Percentile(latencies, 0.0))
      .Add("max_s", Percentile(latencies, 1.0));
  line.Print();
  return missing == 0 ? 0 : 1;
}

int RunStall(const SOptions& o) {
  if (g_setStall == nullptr) {
    std::fprintf(stderr, "qnv-bench-liveness: this library has no stall time-out\n");
    return 1;
  }
  SDevice device;
  if (!StartDevice(o, device, false)) return 1;
  std::vector<uint32_t> ids;
  if (!LoginAll(device.port, o.channels, ids)) return 1;
  ResetSeen(ids, uint16_t(device.port + 2));
  std::vector<uint32_t> handles(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    if (QNVNet_LiveOpen(&handles[i], ids[i], nullptr) != 0 ||
        g_setStall(handles[i], o.stallMs) != 0) {
      std::fprintf(stderr, "qnv-bench-liveness: channel %zu could not be set up\n", i);
      return 1;
    }
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  ::kill(device.process.Pid(), SIGSTOP);
  WaitReports(ids.size(), o.stallMs / 1000.0 + 10);
  std::vector<double> afterLast, late;
  uint64_t missing = 0, wrongReason = 0;
  {
    std::lock_guard<std::mutex> lock(g_seen.mutex);
    for (size_t i = 0; i < ids.size(); ++i) {
      const uint64_t last = g_seen.lastFrameNs[i].load();
      if (g_seen.reportNs[i] == 0 || last == 0) {
        ++missing;
        continue;
      }
      const double ms = double(g_seen.reportNs[i] - last) / 1e6;
      afterLast.push_back(ms);
      late.push_back(ms - o.stallMs);
      if (g_seen.reason[i] != QNVNET_LOSS_STREAM_STALLED) ++wrongReason;
    }
  }
  for (uint32_t id : ids) QNVNet_DevLogout(id);
  Thaw(device);
  CResultLine line("liveness");
  line.Add("test", std::string("stall"))
      .Add("channels", uint64_t(o.channels))
      .Add("timeout_ms", uint64_t(o.stallMs))
      .Add("missing", missing)
      .Add("wrong_reason", wrongReason)
      .Add("report_p50_ms", Percentile(afterLast, 0.5))
      .Add("report_p99_ms", Percentile(afterLast, 0.99))
      .Add("late_p50_ms", Percentile(late, 0.5))
      .Add("late_p99_ms", Percentile(late, 0.99))
      .Add("late_max_ms", Percentile(late, 1.0))
      .Add("early",
           uint64_t(std::count_if(late.begin(), late.end(), [](double v) { return v < 0; })));
  line.Print();
  return missing == 0 ? 0 : 1;
}

int RunIdle(const SOptions& o) {
  SDevice device, streams;
  if (!StartDevice(o, device, false)) return 1;
  std::vector<uint32_t> ids, streamIds;
  if (!LoginAll(device.port, o.sessions, ids)) return 1;
  if (o.channels > 0) {
    if (!StartDevice(o, streams, true) || !LoginAll(streams.port, o.channels, streamIds)) return 1;
    for (uint32_t id : streamIds) {
      uint32_t handle = 0;
      if (QNVNet_LiveOpen(&handle, id, nullptr) != 0) return 1;
      if (o.idleStallMs != 0 && g_setStall != nullptr) g_setStall(handle, o.idleStallMs);
    }
  }
  // Past the first keep-alive ticks, which start what they start once.
  std::this_thread::sleep_for(std::chrono::milliseconds(7500));
  const double cpu0 = CpuSeconds(SelfUsage());
  const uint64_t t0 = MonotonicNs();
  std::this_thread::sleep_for(std::chrono::duration<double>(o.idleSeconds));
  const double cpu = CpuSeconds(SelfUsage()) - cpu0;
  const double wall = double(MonotonicNs() - t0) / 1e9;
  for (uint32_t id : ids) QNVNet_DevLogout(id);
  for (uint32_t id : streamIds) QNVNet_DevLogout(id);
  CResultLine line("liveness");
  line.Add("test", std::string("idle"))
      .Add("sessions", uint64_t(o.sessions))
      .Add("channels", uint64_t(o.channels))
      .Add("stall_ms", uint64_t(g_setStall != nullptr ? o.idleStallMs : 0))
      .Add("seconds", wall)
      .Add("cpu_pct", 100.0 * cpu / wall);
  line.Print();
  return 0;
}

int Usage(int status) {
  std::fprintf(status == 0 ? stdout : stderr,
               "usage: qnv-bench-liveness --devsim PATH (--freeze N [--trials T] | --stall MS "
               "--channels N | --idle S [--sessions N] [--channels N --stall-ms MS])\n");
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  SOptions o;
  qnvtools::CArgReader args(argc, argv, "qnv-bench-liveness");
  while (args.Next()) {
    const std::string& a = args.Arg();
    if (a == "--devsim") {
      o.devsim = args.ValueOrExit();
    } else if (a == "--freeze") {
      o.freezeSessions = uint32_t(std::atoi(args.ValueOrExit()));
    } else if (a == "--trials") {
      o.trials = std::atoi(args.ValueOrExit());
    } else if (a == "--stall") {
      o.stallMs = uint32_t(std::atoi(args.ValueOrExit()));
    } else if (a == "--channels") {
      o.channels = uint32_t(std::atoi(args.ValueOrExit()));
    } else if (a == "--idle") {
      o.idleSeconds = std::atof(args.ValueOrExit());
    } else if (a == "--sessions") {
      o.sessions = uint32_t(std::atoi(args.ValueOrExit()));
    } else if (a == "--stall-ms") {
      o.idleStallMs = uint32_t(std::atoi(args.ValueOrExit()));
    } else if (a == "--help") {
      return Usage(0);
    } else {
      return Usage(2);
    }
  }
  if (o.devsim.empty() || o.channels > 64 || o.trials < 1) return Usage(2);
  rlimit r{};
  if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
    r.rlim_cur = r.rlim_max;
    setrlimit(RLIMIT_NOFILE, &r);
  }
  g_setStall =
      reinterpret_cast<SetStallFn>(dlsym(RTLD_DEFAULT, "_Z26QNVNet_LiveSetStallTimeoutjj"));
  g_reason = reinterpret_cast<ReasonFn>(
      dlsym(RTLD_DEFAULT, "_Z26QNVNet_GetDisconnectReasonP10QNVNetLoss"));
  QNVNet_SetCallback(nullptr, &OnFrame, &OnDisconnect, 0);
  if (QNVNet_InitLib() != 0) return 1;
  int status;
  if (o.freezeSessions > 0)
    status = RunFreeze(o);
  else if (o.stallMs > 0)
    status = RunStall(o);
  else if (o.idleSeconds > 0)
    status = RunIdle(o);
  else
    status = Usage(2);
  QNVNet_UnInitLib();
  return status;
}
