// qnvctl record --on-event: one clip per device event. The channel keeps the
// last N seconds in its pre-record stretch (in whole groups of pictures), so a
// clip opened when an event arrives starts before it; the clip stays open M
// seconds after the latest event, so events during a clip extend it. The
// message callback (the SDK's watcher thread) only queues the event; clips
// are opened and closed on this thread.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "CDeviceSession.h"
#include "CInterruptSignal.h"
#include "CJsonObject.h"
#include "CLiveChannel.h"
#include "CLiveRecording.h"
#include "CReporter.h"
#include "CSdkLibrary.h"
#include "CStreamWatch.h"
#include "CommandSupport.h"
#include "Commands.h"
#include "Files.h"
#include "LiveSteps.h"
#include "QNVNetAlarm.h"
#include "QNVNetSdk.h"

namespace qnvctl {

namespace {

using Clock = std::chrono::steady_clock;

struct SClipEvent {
  std::time_t when;  // wall-clock arrival, for the clip's name
  uint32_t rule;     // 0 when the message is not a rule alarm
};

// OUT.dat -> OUT-YYYYmmdd-HHMMSS-ruleR.dat (UTC), with -2, -3 ... when a clip
// of that name exists already.
std::string ClipPath(const std::string& out, const SClipEvent& e) {
  const size_t slash = out.rfind('/');
  size_t dot = out.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) dot = out.size();
  std::tm tm{};
  gmtime_r(&e.when, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
  const std::string stem = out.substr(0, dot) + "-" + stamp + "-rule" + std::to_string(e.rule);
  const std::string ext = out.substr(dot);
  std::string path = stem + ext;
  struct stat st {};
  for (int n = 2; stat(path.c_str(), &st) == 0; ++n) path = stem + "-" + std::to_string(n) + ext;
  return path;
}

}  // namespace

int RecordOnEvents(const CInvocation& inv, const CReporter& out, const std::string& path,
                   double seconds, double preSeconds, double postSeconds, double stallSeconds) {
  if (preSeconds > 120)
    return out.Usage("--pre-seconds: at most 120 seconds of pre-record", inv.command->words);
  // Ctrl-C must reach us as an event; set up before the SDK starts a thread.
  CInterruptSignal interrupt;
  CStreamWatch live(inv.connection.port);
  std::mutex mutex;
  std::deque<SClipEvent> events;
  CSdkLibrary::SHandlers handlers = live.Handlers();
  handlers.message = [&](uint32_t, const uint8_t* body, size_t length) {
    qnvnet_alarm alarm{};
    const bool isAlarm = qnvnet_alarm_decode(body, static_cast<int32_t>(length), &alarm) != 0;
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back({std::time(nullptr), isAlarm ? alarm.rule : 0});
  };
  CSdkLibrary sdk(handlers);
  CDeviceSession session;
  int exitCode = kExitOk;
  if (!Connect(inv, out, sdk, session, exitCode)) return exitCode;
  CLiveChannel channel;
  if (uint32_t r = channel.Open(session.clientId(), nullptr); r != QNVNET_OK)
    return out.SdkFailure("live open failed", r);
  if (uint32_t r = SetStallSeconds(channel, stallSeconds); r != QNVNET_OK)
    return out.SdkFailure("stall time-out setup failed", r);
  if (preSeconds > 0) {
    if (uint32_t r =
            QNVNet_LiveSetPreRecord(channel.handle(), uint32_t(preSeconds * 1000 + 0.5), 0);
        r != QNVNET_OK)
      return out.SdkFailure("pre-record setup failed", r);
  }
  if (!out.json())
    out.Note("recording a clip per device event (" + std::to_string(int(preSeconds)) +
             " s before, " + std::to_string(int(postSeconds)) + " s after; Ctrl-C ends)");

  const auto start = Clock::now();
  uint32_t clipId = 0;
  std::string clipPath;
  Clock::time_point clipEnd;
  std::vector<std::string> clips;
  std::string failure;
  uint32_t failureCode = QNVNET_OK;
  bool interrupted = false;
  auto closeClip = [&] {
    if (clipId == 0) return;
    const uint32_t r = QNVNet_LiveSaveClose(channel.handle(), clipId);
    clipId = 0;
    if (r != QNVNET_OK) {
      failure = "closing " + clipPath + " failed";
      failureCode = r;
      return;
    }
    clips.push_back(clipPath);
    out.Text("clip " + clipPath + " closed");
  };
  for (;;) {
    int waitMs = 50;
    if (seconds > 0) {
      const double left = seconds - std::chrono::duration<double>(Clock::now() - start).count();
      if (left <= 0) break;
      waitMs = std::min(waitMs, int(left * 1000) + 1);
    }
    if (interrupt.Wait(waitMs)) {
      interrupted = true;
      break;
    }
    if (live.sessionLost || live.streamLost) {
      failure = CameraName(inv.connection) + ": " + live.LossText();
      break;
    }
    std::deque<SClipEvent> ready;
    {
      std::lock_guard<std::mutex> lock(mutex);
      ready.swap(events);
    }
    const auto now = Clock::now();
    for (const SClipEvent& e : ready) {
      const auto end = now + std::chrono::milliseconds(int64_t(postSeconds * 1000));
      if (clipId != 0) {
        clipEnd = std::max(clipEnd, end);  // an event during a clip extends it
        continue;
      }
      clipPath = ClipPath(path, e);
      std::string refusal;
      if (!CheckOutputPath(clipPath, refusal)) {
        failure = refusal;
        break;
      }
      if (uint32_t r = QNVNet_LiveSaveOpen(channel.handle(), clipPath.c_str(), clipId);
          r != QNVNET_OK) {
        clipId = 0;
        failure = "clip " + clipPath + " could not be opened";
        failureCode = r;
        break;
      }
      clipEnd = end;
      out.Text("event (rule " + std::to_string(e.rule) + "): clip " + clipPath + " opened");
    }
    if (!failure.empty()) break;
    if (clipId != 0 && Clock::now() >= clipEnd) closeClip();
    if (!failure.empty()) break;
  }
  // A clip cut short by the end of the run is closed complete all the same.
  closeClip();
  // A lost camera may not answer a close: logging out sends nothing.
  if (live.sessionLost || live.streamLost) session.Logout();
  if (!failure.empty())
    return failureCode != QNVNET_OK ? out.SdkFailure(failure, failureCode) : out.Failure(failure);
  channel.Close();
  std::vector<std::string> quoted;
  for (const std::string& c : clips) quoted.push_back(CJsonObject::Quote(c));
  out.Text(std::to_string(clips.size()) + " clips" +
           (interrupted ? std::string(" (stopped by ") + interrupt.What() + ")" : ""));
  return out.Done(CJsonObject()
                      .Uint("clips", clips.size())
                      .Raw("files", CJsonObject::Array(quoted))
                      .Boolean("interrupted", interrupted));
}

}  // namespace qnvctl
