// qnvctl events: prints each device message (an analytics event) as it
// arrives, until Ctrl-C or --seconds. The SDK calls the message callback on
// its watcher thread; the callback only copies the message into a queue that
// the host thread prints from, so printing never holds up the SDK.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "CInterruptSignal.h"
#include "CJsonObject.h"
#include "CommandSupport.h"
#include "Commands.h"
#include "QNVNetAlarm.h"

namespace qnvctl {

namespace {

using Clock = std::chrono::steady_clock;

struct SEvent {
  double seconds;  // since the command started
  uint32_t clientId;
  std::vector<uint8_t> body;  // the block from its byte 8 on
};

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (uint8_t b : bytes) {
    s += kDigits[b >> 4];
    s += kDigits[b & 15];
  }
  return s;
}

void Print(const CReporter& out, const SEvent& e) {
  qnvnet_alarm a{};
  const bool alarm =
      qnvnet_alarm_decode(e.body.data(), static_cast<int32_t>(e.body.size()), &a) != 0;
  if (out.json()) {
    CJsonObject j;
    j.Number("time", e.seconds).Uint("client", e.clientId).Uint("length", e.body.size());
    if (alarm) {
      j.String("event", "rule").Uint("rule", a.rule).Uint("channel", a.channel);
      j.Uint("capture_us", a.capture_us).Uint("sequence", a.sequence);
      j.Raw("box", CJsonObject::Array({std::to_string(a.box[0]), std::to_string(a.box[1]),
                                       std::to_string(a.box[2]), std::to_string(a.box[3])}));
    } else {
      j.String("hex", Hex(e.body));
    }
    std::printf("%s\n", j.Text().c_str());
  } else if (alarm) {
    std::printf("%8.3f client %u rule %u channel %u capture %llu us box %u,%u %ux%u #%u\n",
                e.seconds, e.clientId, a.rule, a.channel, (unsigned long long)a.capture_us,
                a.box[0], a.box[1], a.box[2], a.box[3], a.sequence);
  } else {
    std::printf("%8.3f client %u %zu bytes %s\n", e.seconds, e.clientId, e.body.size(),
                Hex(e.body).c_str());
  }
  std::fflush(stdout);
}

}  // namespace

int RunEvents(const CInvocation& inv) {
  CReporter out(inv.json);
  double seconds = 0;
  if (inv.Has("--seconds")) {
    auto v = ParseSeconds(inv.Value("--seconds"));
    if (!v) return out.Usage("bad --seconds '" + inv.Value("--seconds") + "'", "events");
    seconds = *v;
  }
  // Before any thread exists, so Ctrl-C reaches this thread's signalfd.
  CInterruptSignal interrupt;
  const auto start = Clock::now();
  std::mutex mutex;
  std::deque<SEvent> queue;
  bool lost = false;
  CSdkLibrary::SHandlers handlers;
  handlers.message = [&](uint32_t clientId, const uint8_t* body, size_t length) {
    SEvent e{std::chrono::duration<double>(Clock::now() - start).count(), clientId,
             std::vector<uint8_t>(body, body + length)};
    std::lock_guard<std::mutex> lock(mutex);
    queue.push_back(std::move(e));
  };
  handlers.disconnect = [&](uint32_t, uint16_t, const QNVNetLoss&) {
    std::lock_guard<std::mutex> lock(mutex);
    lost = true;
  };
  CSdkLibrary sdk(handlers);
  CDeviceSession session;
  int exitCode = kExitOk;
  if (!Connect(inv, out, sdk, session, exitCode)) return exitCode;
  if (!out.json()) out.Note("waiting for device messages (Ctrl-C ends)");
  uint64_t count = 0;
  bool interrupted = false, deviceLost = false;
  for (;;) {
    int waitMs = 100;
    if (seconds > 0) {
      double left = seconds - std::chrono::duration<double>(Clock::now() - start).count();
      if (left <= 0) break;
      waitMs = std::min(waitMs, int(left * 1000) + 1);
    }
    interrupted = interrupt.Wait(waitMs);
    std::deque<SEvent> ready;
    {
      std::lock_guard<std::mutex> lock(mutex);
      ready.swap(queue);
      deviceLost = lost;
    }
    for (const SEvent& e : ready) Print(out, e);
    count += ready.size();
    if (interrupted || deviceLost) break;
  }
  if (deviceLost) return out.Failure("the device connection was lost");
  if (!out.json())
    out.Note(std::to_string(count) + " messages" + (interrupted ? " (interrupted)" : ""));
  return kExitOk;
}

}  // namespace qnvctl
