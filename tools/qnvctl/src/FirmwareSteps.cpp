#include "FirmwareSteps.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include "CFileReadWatch.h"
#include "CProgressLine.h"
#include "QNVNetSdk.h"

namespace qnvctl {

namespace {

// Runs call on a worker thread and tick(elapsed seconds) on this one every
// 100 ms until it returns; then the call's result.
uint32_t RunWithTicks(const std::function<uint32_t()>& call,
                      const std::function<void(double)>& tick, double& seconds) {
  std::atomic<bool> done{false};
  uint32_t result = 0;
  const auto start = std::chrono::steady_clock::now();
  std::thread worker([&] {
    result = call();
    done = true;
  });
  auto elapsed = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  while (!done) {
    tick(elapsed());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  worker.join();
  seconds = elapsed();
  return result;
}

std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", s);
  return text;
}

}  // namespace

uint32_t UploadFirmwareWithProgress(uint32_t clientId, const std::string& path, uint64_t imageSize,
                                    const std::string& label, double& seconds) {
  CProgressLine progress;
  CFileReadWatch watch(path);
  const std::string total = CProgressLine::Bytes(imageSize);
  uint64_t shown = 0;
  const uint32_t result = RunWithTicks(
      [&] { return QNVNet_ManageSysUpdateData(clientId, path.c_str()); },
      [&](double elapsed) {
        // The SDK reads the image chunk by chunk as the device accepts them;
        // its read position never goes back.
        if (auto pos = watch.Position(); pos && *pos > shown) shown = *pos;
        if (shown > imageSize) shown = imageSize;
        const double fraction = imageSize ? double(shown) / double(imageSize) : 0;
        progress.Update(label + CProgressLine::Bar(fraction) + "  " + CProgressLine::Bytes(shown) +
                        " / " + total + "  " + Seconds(elapsed));
      },
      seconds);
  if (result == QNVNET_OK)
    progress.Finish(label + CProgressLine::Bar(1.0) + "  " + total + " / " + total + "  " +
                    Seconds(seconds));
  else
    progress.Finish(label + CProgressLine::Bar(imageSize ? double(shown) / imageSize : 0) +
                    "  failed after " + Seconds(seconds));
  return result;
}

uint32_t StartFirmwareWithProgress(uint32_t clientId, const std::string& label, double& seconds) {
  CProgressLine progress;
  static const char kSpinner[] = "|/-\\";
  int turn = 0;
  const uint32_t result = RunWithTicks(
      [&] { return QNVNet_ManageSysUpdateStart(clientId); },
      [&](double elapsed) {
        progress.Update(label + "installing " + kSpinner[turn++ % 4] + "  " + Seconds(elapsed));
      },
      seconds);
  progress.Finish(label + (result == QNVNET_OK ? "installed" : "failed") + " after " +
                  Seconds(seconds));
  return result;
}

}  // namespace qnvctl
