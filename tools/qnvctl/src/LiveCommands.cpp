// Live video without a window: "record", "snapshot" and "watch". They show
// the host side of live channels: open a channel with a null window, count
// frames in the stream callback, record with pre-record, capture a picture,
// and stop cleanly on Ctrl-C.
#include <sys/stat.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CDeviceSession.h"
#include "CFrameCounter.h"
#include "CInterruptSignal.h"
#include "CLiveChannel.h"
#include "CLiveRecording.h"
#include "CProgressLine.h"
#include "CReporter.h"
#include "CSdkLibrary.h"
#include "CStreamWatch.h"
#include "CommandSupport.h"
#include "Commands.h"
#include "Files.h"
#include "FrameHeader.h"
#include "LiveSteps.h"
#include "QNVNetSdk.h"

namespace qnvctl {

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool SecondsOption(const CReporter& out, const CInvocation& inv, const char* name, double fallback,
                   double& value, int& exitCode) {
  value = fallback;
  if (!inv.Has(name)) return true;
  auto v = ParseSeconds(inv.Value(name));
  if (!v) {
    exitCode = out.Usage(
        std::string("bad ") + name + " '" + inv.Value(name) + "': give a number of seconds",
        inv.command->words);
    return false;
  }
  value = *v;
  return true;
}

// --stall-seconds: 0 (never) or 0.1 to 3600, default 10.
bool StallOption(const CReporter& out, const CInvocation& inv, double& value, int& exitCode) {
  if (!SecondsOption(out, inv, "--stall-seconds", 10, value, exitCode)) return false;
  if (value == 0 || (value >= 0.1 && value <= 3600)) return true;
  exitCode = out.Usage("--stall-seconds takes 0 or 0.1 to 3600", inv.command->words);
  return false;
}

}  // namespace

int RunRecord(const CInvocation& inv) {
  CReporter out(inv.json);
  const std::string& path = inv.args[0];
  double seconds = 0, preSeconds = 0, stallSeconds = 0;
  int exitCode = kExitOk;
  const bool onEvent = inv.Has("--on-event");
  double postSeconds = 0;
  if (!SecondsOption(out, inv, "--seconds", 0, seconds, exitCode) ||
      !SecondsOption(out, inv, "--pre-seconds", onEvent ? 5 : 0, preSeconds, exitCode) ||
      !SecondsOption(out, inv, "--post-seconds", 5, postSeconds, exitCode) ||
      !StallOption(out, inv, stallSeconds, exitCode))
    return exitCode;
  if (onEvent)
    return RecordOnEvents(inv, out, path, seconds, preSeconds, postSeconds, stallSeconds);
  // Refused before any connection: a FIFO or device would be no recording.
  std::string refusal;
  if (!CheckOutputPath(path, refusal) || !CheckOutputPath(CLiveRecording::IndexPath(path), refusal))
    return out.Failure(refusal);

  // Ctrl-C must reach us as an event, not kill the process mid-write; set
  // this up before the SDK starts any thread.
  CInterruptSignal interrupt;
  CStreamWatch live(inv.connection.port);
  CSdkLibrary sdk(live.Handlers());
  CDeviceSession session;
  if (!Connect(inv, out, sdk, session, exitCode)) return exitCode;
  CLiveChannel channel;
  if (uint32_t r = channel.Open(session.clientId(), nullptr); r != QNVNET_OK)
    return out.SdkFailure("live open failed", r);
  if (uint32_t r = SetStallSeconds(channel, stallSeconds); r != QNVNET_OK)
    return out.SdkFailure("stall time-out setup failed", r);

  SRecordOutcome outcome;
  const uint32_t result =
      RecordLive(channel, live, interrupt, path, preSeconds, seconds, "", outcome);
  if (outcome.lost) {
    // The files are closed complete. Logging out sends nothing, so a device
    // that stopped answering does not hold the exit up.
    session.Logout();
    return out.Failure(CameraName(inv.connection) + ": " + outcome.failure + "; " + path +
                       " holds " + VideoHeld(outcome) + " by its capture times");
  }
  if (outcome.failure.empty() && result != QNVNET_OK) outcome.failure = "recording failed";
  // Reported before the channel closes: the library's reason for the
  // failure lasts until this thread's next call.
  if (!outcome.failure.empty())
    return result != QNVNET_OK ? out.SdkFailure(outcome.failure, result)
                               : out.Failure(outcome.failure);
  channel.Close();
  out.Text("recorded " + CProgressLine::Clock(outcome.seconds) +
           (outcome.interrupted ? std::string(" (stopped by ") + interrupt.What() + ")" : ""));
  out.Text("  " + path + "  " + std::to_string(outcome.dataBytes) + " bytes, " +
           VideoHeld(outcome));
  out.Text("  " + outcome.indexPath + "  " + std::to_string(outcome.indexRecords) + " frames");
  CJsonObject json;
  json.String("file", path)
      .String("indexFile", outcome.indexPath)
      .Uint("dataBytes", outcome.dataBytes)
      .Uint("indexFrames", outcome.indexRecords)
      .Number("seconds", outcome.seconds)
      .Number("videoSeconds", outcome.videoSeconds)
      .Uint("pictures", outcome.pictures)
      .Uint("framesReceived", outcome.received.frames)
      .Uint("keyFramesReceived", outcome.received.keyFrames)
      .Boolean("interrupted", outcome.interrupted);
  return out.Done(json);
}

namespace {

// A snapshot path names an image format by its extension and lies in an
// existing folder.
bool CheckSnapshotPath(const std::string& path, std::string& why) {
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  std::string ext = dot == std::string::npos || (slash != std::string::npos && dot < slash)
                        ? ""
                        : path.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext != "jpg" && ext != "jpeg" && ext != "png" && ext != "bmp") {
    why = "cannot tell the image format of '" + path + "': end it in .jpg, .jpeg, .png or .bmp";
    return false;
  }
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    why = "the folder '" + dir + "' for '" + path + "' does not exist";
    return false;
  }
  return true;
}

}  // namespace

int RunSnapshot(const CInvocation& inv) {
  CReporter out(inv.json);
  const std::string& path = inv.args[0];
  // Checked before connecting: the player takes the format from the
  // extension, and a missing folder would only show as "no image captured".
  if (std::string why; !CheckSnapshotPath(path, why)) return out.Usage(why, "snapshot");
  std::string refusal;
  if (!CheckOutputPath(path, refusal)) return out.Failure(refusal);
  CStreamWatch live(inv.connection.port);
  CSdkLibrary sdk(live.Handlers());
  CDeviceSession session;
  int exitCode = kExitOk;
  if (!Connect(inv, out, sdk, session, exitCode)) return exitCode;
  CLiveChannel channel;
  if (uint32_t r = channel.Open(session.clientId(), nullptr); r != QNVNET_OK)
    return out.SdkFailure("live open failed", r);
  std::string failure;
  uint64_t bytes = 0;
  const uint32_t result = TakeSnapshot(channel, live, path, failure, bytes);
  if (!failure.empty()) {
    if (result != QNVNET_OK) return out.SdkFailure(failure, result);
    return out.Failure(failure);
  }
  out.Text("snapshot written to " + path + " (" + std::to_string(bytes) + " bytes)");
  return out.Done(CJsonObject().String("file", path).Uint("bytes", bytes));
}

namespace {

// The watched channels: one session each, since the stream callback names
// the session (client id), not the channel.
struct SWatched {
  std::vector<std::unique_ptr<CStreamWatch>> watches;
  std::vector<std::unique_ptr<CDeviceSession>> sessions;
  std::vector<std::unique_ptr<CLiveChannel>> live;
};

// Logs in and opens each channel; QNVNET_OK, or the failed call's result
// with `what` naming it.
uint32_t OpenWatched(const SConnection& connection, double stallSeconds, SWatched& w,
                     std::string& what) {
  for (size_t i = 0; i < w.watches.size(); ++i) {
    w.sessions.push_back(std::make_unique<CDeviceSession>());
    if (uint32_t r = w.sessions[i]->Login(connection); r != QNVNET_OK) {
      what = "login failed";
      return r;
    }
    w.watches[i]->clientId = w.sessions[i]->clientId();
    w.live.push_back(std::make_unique<CLiveChannel>());
    if (uint32_t r = w.live[i]->Open(w.sessions[i]->clientId(), nullptr); r != QNVNET_OK) {
      what = "live open failed";
      return r;
    }
    if (uint32_t r = SetStallSeconds(*w.live[i], stallSeconds); r != QNVNET_OK) {
      what = "stall time-out setup failed";
      return r;
    }
  }
  return QNVNET_OK;
}

// One channel's line of the watch: the rates over the last span seconds.
void PrintWatchLine(bool json, double t, uint32_t channel, const SFrameTotals& total,
                    const SFrameTotals& last, double span) {
  // Pictures, not frames: parameter sets travel in frames of their own.
  const double fps = (total.pictures - last.pictures) / span;
  const double framesPerSecond = (total.frames - last.frames) / span;
  const double bps = (total.bytes - last.bytes) * 8.0 / span;
  if (json) {
    std::printf("%s\n", CJsonObject()
                            .Number("time", t)
                            .Uint("channel", channel)
                            .Number("framesPerSecond", framesPerSecond)
                            .Number("picturesPerSecond", fps)
                            .Number("bitsPerSecond", bps)
                            .Uint("keyIntervalFrames", total.keyIntervalFrames)
                            .Number("keyIntervalSeconds", total.keyIntervalSeconds)
                            .Uint("gaps", total.gaps)
                            .Uint("missing", total.missing)
                            .Uint("frames", total.frames)
                            .Uint("pictures", total.pictures)
                            .Text()
                            .c_str());
    return;
  }
  char key[64] = "-";
  if (total.keyIntervalFrames)
    std::snprintf(key, sizeof key, "%llu fr / %.2f s",
                  static_cast<unsigned long long>(total.keyIntervalFrames),
                  total.keyIntervalSeconds);
  std::printf("%6.1fs %3u %10.1f %9.1f %18s %6llu %8llu\n", t, channel, fps, bps / 1000, key,
              static_cast<unsigned long long>(total.gaps),
              static_cast<unsigned long long>(total.missing));
}

// One channel's totals at the end: prints its line (stoppedBy: the signal
// that ended the watch, or null) and returns its JSON item.
std::string WatchSummary(const CReporter& out, uint32_t channel, const SFrameTotals& total,
                         bool lost, const char* stoppedBy) {
  out.Text("channel " + std::to_string(channel) + ": " + std::to_string(total.frames) +
           " frames, " + std::to_string(total.pictures) + " pictures, " +
           std::to_string(total.keyFrames) + " key frames, " + std::to_string(total.gaps) +
           " gaps" + (stoppedBy ? std::string(" (stopped by ") + stoppedBy + ")" : ""));
  return CJsonObject()
      .Uint("channel", channel)
      .Uint("frames", total.frames)
      .Uint("pictures", total.pictures)
      .Uint("bytes", total.bytes)
      .Uint("keyFrames", total.keyFrames)
      .Uint("gaps", total.gaps)
      .Uint("missing", total.missing)
      .Boolean("lost", lost)
      .Text();
}

}  // namespace

int RunWatch(const CInvocation& inv) {
  CReporter out(inv.json);
  double seconds = 0, interval = 1, stallSeconds = 0;
  int exitCode = kExitOk;
  if (!SecondsOption(out, inv, "--seconds", 0, seconds, exitCode) ||
      !SecondsOption(out, inv, "--interval", 1, interval, exitCode) ||
      !StallOption(out, inv, stallSeconds, exitCode))
    return exitCode;
  if (interval < 0.1) return out.Usage("--interval must be at least 0.1 s", "watch");
  uint32_t channels = 1;
  if (inv.Has("--channels")) {
    auto n = ParseU32(inv.Value("--channels"));
    if (!n || *n < 1 || *n > 16) return out.Usage("--channels takes 1..16", "watch");
    channels = *n;
  }

  CInterruptSignal interrupt;
  SWatched w;
  for (uint32_t i = 0; i < channels; ++i)
    w.watches.push_back(std::make_unique<CStreamWatch>(inv.connection.port));
  CSdkLibrary sdk(CStreamWatch::HandlersFor(w.watches));
  if (uint32_t r = sdk.Start(); r != QNVNET_OK) return out.SdkFailure("library start failed", r);
  std::string what;
  if (uint32_t r = OpenWatched(inv.connection, stallSeconds, w, what); r != QNVNET_OK)
    return out.SdkFailure(what, r);

  if (!out.json())
    std::printf("%7s %3s %10s %9s %18s %6s %8s\n", "time", "ch", "pictures/s", "kbit/s",
                "key frame every", "gaps", "missing");
  const auto start = Clock::now();
  std::vector<SFrameTotals> last(channels);
  auto lastTime = start;
  bool interrupted = false;
  std::string lost;  // the first camera lost ends the watch
  for (;;) {
    const double untilNext =
        interval - std::chrono::duration<double>(Clock::now() - lastTime).count();
    if (interrupt.Wait(untilNext > 0 ? static_cast<int>(untilNext * 1000) : 0)) {
      interrupted = true;
      break;
    }
    const auto now = Clock::now();
    const double span = std::chrono::duration<double>(now - lastTime).count();
    if (span < interval) continue;
    lastTime = now;
    const double t = std::chrono::duration<double>(now - start).count();
    for (uint32_t i = 0; i < channels; ++i) {
      const SFrameTotals total = w.watches[i]->counter.Totals();
      PrintWatchLine(out.json(), t, i + 1, total, last[i], span);
      last[i] = total;
      if (lost.empty() && (w.watches[i]->streamLost || w.watches[i]->sessionLost))
        lost = CameraName(inv.connection) + " (channel " + std::to_string(i + 1) +
               "): " + w.watches[i]->LossText();
    }
    std::fflush(stdout);
    if (!lost.empty() || (seconds > 0 && t + 1e-3 >= seconds)) break;
  }
  // Losses count while watching; closing a channel may report its own
  // stream's end.
  std::vector<bool> lostChannel(channels);
  for (uint32_t i = 0; i < channels; ++i)
    lostChannel[i] = w.watches[i]->streamLost || w.watches[i]->sessionLost;
  // A lost camera may not answer a close: logging out sends nothing.
  if (!lost.empty())
    for (auto& s : w.sessions) s->Logout();
  w.live.clear();
  w.sessions.clear();

  std::vector<std::string> items;
  for (uint32_t i = 0; i < channels; ++i)
    items.push_back(WatchSummary(out, i + 1, w.watches[i]->counter.Totals(), lostChannel[i],
                                 interrupted ? interrupt.What() : nullptr));
  if (!lost.empty()) return out.Failure(lost);
  return out.Done(CJsonObject()
                      .Number("seconds", Since(start))
                      .Boolean("interrupted", interrupted)
                      .Raw("channels", CJsonObject::Array(items)));
}

}  // namespace qnvctl
