// "view": live video in an X11 window. The host creates the window and
// passes its id, cast to HWND, to QNVNet_LiveOpen; the SDK's player then
// decodes and draws every frame into it, scaled to the window's size.
#include <poll.h>

#include <chrono>
#include <cstdio>

#include "CDeviceSession.h"
#include "CInterruptSignal.h"
#include "CLiveChannel.h"
#include "CProgressLine.h"
#include "CReporter.h"
#include "CSdkLibrary.h"
#include "CStreamWatch.h"
#include "CXWindow.h"
#include "CommandSupport.h"
#include "Commands.h"
#include "QNVNetSdk.h"

namespace qnvctl {

int RunView(const CInvocation& inv) {
  CReporter out(inv.json);
  double seconds = 0;
  if (inv.Has("--seconds")) {
    auto v = ParseSeconds(inv.Value("--seconds"));
    if (!v) return out.Usage("bad --seconds '" + inv.Value("--seconds") + "'", "view");
    seconds = *v;
  }
  int width = 960, height = 540;
  if (inv.Has("--size")) {
    unsigned w = 0, h = 0;
    char extra = 0;
    if (std::sscanf(inv.Value("--size").c_str(), "%ux%u%c", &w, &h, &extra) != 2 || w < 16 ||
        h < 16 || w > 8192 || h > 8192)
      return out.Usage("bad --size '" + inv.Value("--size") + "': give WIDTHxHEIGHT", "view");
    width = static_cast<int>(w);
    height = static_cast<int>(h);
  }

  CInterruptSignal interrupt;
  const std::string device = inv.connection.host + ":" + std::to_string(inv.connection.port);
  // The window must outlive the channel that draws into it: declared first,
  // destroyed last.
  CXWindow window;
  std::string error;
  if (!window.Create(width, height, "qnvctl view " + device, error)) return out.Failure(error);

  CStreamWatch live(inv.connection.port);
  CSdkLibrary sdk(live.Handlers());
  CDeviceSession session;
  int exitCode = kExitOk;
  if (!Connect(inv, out, sdk, session, exitCode)) return exitCode;
  CLiveChannel channel;
  if (uint32_t r = channel.Open(session.clientId(), reinterpret_cast<HWND>(window.id()));
      r != QNVNET_OK)
    return out.SdkFailure("live open failed", r);

  out.Text("showing " + device + "; close the window, press q or Ctrl-C to stop");
  CProgressLine progress;
  const auto start = std::chrono::steady_clock::now();
  bool interrupted = false, closed = false;
  std::string lost;
  for (;;) {
    pollfd fds[2] = {{window.connectionFd(), POLLIN, 0}, {interrupt.fd(), POLLIN, 0}};
    poll(fds, 2, 250);
    if (!window.ProcessEvents()) {
      closed = true;
      break;
    }
    if (interrupt.Raised()) {
      interrupted = true;
      break;
    }
    if (live.sessionLost || live.streamLost) {
      lost = live.LossText();
      break;
    }
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const SFrameTotals t = live.counter.Totals();
    progress.Update("viewing " + CProgressLine::Clock(elapsed) + "  frames " +
                    std::to_string(t.frames) + "  " + CProgressLine::Bytes(t.bytes));
    if (seconds > 0 && elapsed >= seconds) break;
  }
  progress.Finish();
  // Stop the drawing before the window goes away.
  channel.Close();
  const SFrameTotals t = live.counter.Totals();
  if (!lost.empty()) return out.Failure(lost);
  out.Text("stopped: " +
           std::string(closed        ? "window closed"
                       : interrupted ? "Ctrl-C"
                                     : "time up") +
           ", " + std::to_string(t.frames) + " frames shown");
  return out.Done(CJsonObject()
                      .Uint("frames", t.frames)
                      .Uint("keyFrames", t.keyFrames)
                      .Boolean("windowClosed", closed)
                      .Boolean("interrupted", interrupted));
}

}  // namespace qnvctl
