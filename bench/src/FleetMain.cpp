// Fleet benchmark: what one device that does not answer costs the others,
// and how fast device messages reach the host. Runs the library in-process
// against simulated devices on 127.0.0.1 and prints one line per figure:
//  - call latency (PTZ control) on a healthy device, p50/p99, with no device
//    silent and with 10 devices each holding a call that waits out its time-out;
//  - one keep-alive pass over 500 sessions;
//  - device-message delivery latency, p50/p99, idle and mid-call (alarm
//    capture time to the message callback; same host clock);
//  - CPU of the whole process while 500 sessions sit idle (the watcher's
//    share is at most that).
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QNVNetAlarm.h"
#include "QNVNetSdk.h"
#include "devsim/Simulator.h"
#include "qnvtools/CArgReader.h"
#include "sdk/CLibrary.h"

namespace {

using Clock = std::chrono::steady_clock;

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

uint64_t NowUs() {
  return uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count());
}

double CpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
         (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

std::mutex g_mutex;
std::vector<double> g_delays;  // us from capture to callback

bool OnMessage(uint32_t, char*, uint16_t, uint16_t, char* body, int32_t length, uint32_t) {
  // The body starts at block byte 8; capture time is at block byte 24.
  if (length < int32_t(QNVNET_ALARM_TIME_OFFSET + 8 - QNVNET_ALARM_BODY_OFFSET)) return true;
  uint64_t t = 0;
  std::memcpy(&t, body + QNVNET_ALARM_TIME_OFFSET - QNVNET_ALARM_BODY_OFFSET, 8);
  std::lock_guard<std::mutex> lock(g_mutex);
  g_delays.push_back(double(NowUs() - t));
  return true;
}

std::vector<double> CallLatencies(uint32_t id, int calls) {
  std::vector<double> us;
  for (int i = 0; i < calls; ++i) {
    auto t0 = Clock::now();
    QNVNet_PTZCtrlSend(id, 1, 1, 1, 1);
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  return us;
}

void Line(const char* what, double value, const char* unit) {
  std::printf("%-58s %10.1f %s\n", what, value, unit);
}

}  // namespace

int main(int argc, char** argv) {
  int calls = 2000;
  int sessions = 500;
  double idleSeconds = 5;
  qnvtools::CArgReader args(argc, argv, "qnv-bench-fleet");
  while (args.Next()) {
    const std::string& a = args.Arg();
    std::string v;
    if (a == "--calls" && args.Value(v))
      calls = std::atoi(v.c_str());
    else if (a == "--sessions" && args.Value(v))
      sessions = std::atoi(v.c_str());
    else if (a == "--idle-seconds" && args.Value(v))
      idleSeconds = std::atof(v.c_str());
    else {
      std::fprintf(stderr,
                   "usage: qnv-bench-fleet [--calls N (2000)] [--sessions N (500)] "
                   "[--idle-seconds S (5)]\n");
      return a == "--help" ? 0 : 2;
    }
  }
  qnv::CLibrary::SetKeepAlivePeriodForTesting(3600 * 1000);  // passes run on demand here
  QNVNet_SetCallback(&OnMessage, nullptr, nullptr, 0);
  if (QNVNet_InitLib() != 0) return 1;
  qnv::devsim::Simulator healthy, silent;
  if (!healthy.Start() || !silent.Start()) return 1;
  silent.SetFault(5, 1, {qnv::devsim::Fault::kNoReply, 0, -1});
  auto login = [](qnv::devsim::Simulator& d) {
    uint32_t id = 0;
    QNVNet_DevLogin(&id, "127.0.0.1", d.Port(), "admin", "admin");
    return id;
  };

  // ---- call latency, none silent vs 10 silent --------------------------------------------
  uint32_t id = login(healthy);
  CallLatencies(id, 100);  // warm-up
  auto none = CallLatencies(id, calls);
  std::atomic<bool> stop{false};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 10; ++i) {
    uint32_t s = login(silent);
    waiters.emplace_back([s, &stop] {
      while (!stop) QNVNet_PTZCtrlSend(s, 1, 1, 1, 1);
    });
  }
  silent.WaitForRequests(20, 3000);
  auto ten = CallLatencies(id, calls);
  Line("call latency p50, no device silent", Percentile(none, 0.5), "us");
  Line("call latency p99, no device silent", Percentile(none, 0.99), "us");
  Line("call latency p50, 10 devices silent", Percentile(ten, 0.5), "us");
  Line("call latency p99, 10 devices silent", Percentile(ten, 0.99), "us");
  Line("p99 ratio, 10 silent / none", Percentile(ten, 0.99) / Percentile(none, 0.99), "x");
  stop = true;
  QNVNet_UnInitLib();  // ends the waiting calls at once
  for (auto& t : waiters) t.join();
  QNVNet_InitLib();

  // ---- 500 sessions: keep-alive pass, idle CPU, idle delivery ----------------------------
  std::vector<uint32_t> ids;
  for (int i = 0; i < sessions; ++i) ids.push_back(login(healthy));
  auto p0 = Clock::now();
  qnv::CLibrary::Instance().KeepAlivePass();
  Line(("keep-alive pass over " + std::to_string(sessions) + " sessions").c_str(),
       std::chrono::duration<double, std::milli>(Clock::now() - p0).count(), "ms");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  double c0 = CpuMs();
  auto w0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
  double wallMs = std::chrono::duration<double, std::milli>(Clock::now() - w0).count();
  Line(("process CPU, " + std::to_string(sessions) + " idle sessions").c_str(),
       100.0 * (CpuMs() - c0) / wallMs, "% of a core");
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_delays.clear();
  }
  for (int i = 0; i < 20; ++i) {
    healthy.RaiseAlarm(1);  // one message on each of the sessions
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::vector<double> idle;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    idle.swap(g_delays);
  }
  Line(("delivery latency p50, idle (" + std::to_string(idle.size()) + " messages)").c_str(),
       Percentile(idle, 0.5), "us");
  Line("delivery latency p99, idle", Percentile(idle, 0.99), "us");
  for (uint32_t s : ids) QNVNet_DevLogout(s);

  // ---- mid-call delivery: an alarm just before every reply -------------------------------
  id = login(healthy);
  healthy.SetAlarmBeforeReply(true);
  CallLatencies(id, calls / 4);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::vector<double> mid;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    mid.swap(g_delays);
  }
  Line(("delivery latency p50, mid-call (" + std::to_string(mid.size()) + " messages)").c_str(),
       Percentile(mid, 0.5), "us");
  Line("delivery latency p99, mid-call", Percentile(mid, 0.99), "us");
  QNVNet_UnInitLib();
  return 0;
}
