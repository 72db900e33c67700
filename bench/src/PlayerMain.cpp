// qnv-bench-player: what the player library costs where it decodes, on the
// benchmark clip (1280x720, 25 fps), against a private Xvfb server:
//
//  - capture: a headless port fed the clip up to the last picture of a GOP
//    (49 P pictures after the IDR), then QnvPlayer_Capture to a JPEG file;
//    wall time per capture (each one decodes the whole GOP);
//  - decode + draw: one windowed port with a 1280x720 window, fed as fast as
//    it draws (never more than 20 pictures ahead, so nothing is dropped);
//    CPU of this process per picture drawn, and of the X server, against
//    `ffmpeg -threads 1 -i CLIP -f null -` (decode only) on the same clip;
//  - windows: N windowed ports, each with its own 1280x720 window, fed at
//    25 pictures per second for --seconds; the machine holds N when every
//    port drew at least 98 % of the pictures fed and dropped none. N counts
//    up from 1 until one fails.
//
// Prints "result player ..." lines for the driver and a summary on stderr.
#include <X11/Xlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchClip.h"
#include "BenchUtil.h"
#include "ChildProcess.h"
#include "HeadlessPort.h"
#include "PortRegistry.h"
#include "QNVPlayer.h"
#include "WindowPort.h"
#include "XvfbServer.h"

namespace {

using namespace qnv::bench;
using qnv::player::PortRegistry;

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr uint64_t kPictureNs = 40000000;  // 25 fps

struct SOptions {
  std::string clip;
  std::string ffmpeg = "/usr/bin/ffmpeg";
  std::string outDir = "/tmp";
  double seconds = 6;
  int maxWindows = 12;
  int threads = 1;
  int captureThreads = 1;
  int captures = 5;
};

// CPU seconds (user + system) of another process, from /proc.
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat, text);
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::vector<std::string> fields;
  size_t at = close + 2;
  while (at < text.size()) {
    const size_t space = text.find(' ', at);
    fields.push_back(text.substr(at, space - at));
    if (space == std::string::npos) break;
    at = space + 1;
  }
  // Fields from the state on: utime and stime are the 12th and 13th.
  if (fields.size() < 13) return 0;
  return double(std::atoll(fields[11].c_str()) + std::atoll(fields[12].c_str())) /
         double(sysconf(_SC_CLK_TCK));
}

class CFeeder {
 public:
  explicit CFeeder(const CBenchClip& clip) : clip_(clip) {}
  // Feeds access unit u (its NAL units as stream frames) to the port.
  void FeedUnit(uint32_t handle, size_t u) const {
    const auto& unit = clip_.AccessUnits()[u % clip_.AccessUnits().size()];
    for (size_t n = unit.firstNal; n < unit.firstNal + unit.nalCount; ++n) {
      const auto& nal = clip_.Nals()[n];
      QnvPlayer_Input(handle, clip_.Framed().data() + nal.framedOffset,
                      int32_t(kFrameHeaderSize + nal.length));
    }
  }

 private:
  const CBenchClip& clip_;
};

// CPU seconds of the process: a capture runs on its caller's thread and,
// with --capture-threads, on libavcodec's threads too; nothing else runs then.
double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

uint64_t Pictures(uint32_t h) { return PortRegistry::Instance().Stats(h)->pictures; }

Window MakeWindow(Display* d, int index) {
  const int screen = DefaultScreen(d);
  const int columns = 4;
  Window w = XCreateSimpleWindow(d, RootWindow(d, screen), (index % columns) * kWidth,
                                 (index / columns) * kHeight, kWidth, kHeight, 0,
                                 BlackPixel(d, screen), BlackPixel(d, screen));
  XMapWindow(d, w);
  XSync(d, False);
  return w;
}

void* AsHandle(Window w) { return reinterpret_cast<void*>(uintptr_t(w)); }

int Run(const SOptions& o) {
  CBenchClip clip;
  std::string error;
  if (!clip.Load(o.clip, &error)) {
    std::fprintf(stderr, "qnv-bench-player: %s\n", error.c_str());
    return 1;
  }
  const CFeeder feeder(clip);
  const size_t units = clip.AccessUnits().size();
  QnvPlayer_Init();
  qnv::player::WindowPort::SetDecodeThreads(o.threads);
  qnv::player::HeadlessPort::SetCaptureThreads(o.captureThreads);

  // ---- capture on a headless port --------------------------------------------------------
  {
    size_t lastOfGop = 0;  // the access unit before the second key picture
    for (size_t u = 1; u < units; ++u) {
      if (clip.AccessUnits()[u].key) {
        lastOfGop = u - 1;
        break;
      }
    }
    std::vector<double> ms, cpuMs;
    int64_t decoderKb = 0;  // resident memory a first capture adds (its decoder)
    for (int i = 0; i < o.captures; ++i) {
      uint32_t h = 0;
      QnvPlayer_OpenPort(&h, nullptr, 0, "");
      for (size_t u = 0; u <= lastOfGop; ++u) feeder.FeedUnit(h, u);
      const std::string path = o.outDir + "/qnv-bench-player-capture.jpg";
      const uint64_t rss0 = CurrentRssBytes();
      const uint64_t t0 = MonotonicNs();
      const double c0 = ProcessCpuSeconds();
      const int rc = QnvPlayer_Capture(h, path.c_str());
      ms.push_back(double(MonotonicNs() - t0) / 1e6);
      cpuMs.push_back(1e3 * (ProcessCpuSeconds() - c0));
      if (i == 0) decoderKb = (int64_t(CurrentRssBytes()) - int64_t(rss0)) / 1024;
      QnvPlayer_ClosePort(h);
      unlink(path.c_str());
      if (rc != QNVPLAYER_OK) std::fprintf(stderr, "capture failed: %d\n", rc);
    }
    std::sort(ms.begin(), ms.end());
    std::sort(cpuMs.begin(), cpuMs.end());
    CResultLine("player")
        .Add("what", std::string("capture"))
        .Add("pictures", uint64_t(lastOfGop + 1))
        .Add("capture_threads", uint64_t(o.captureThreads))
        .Add("median_ms", ms[ms.size() / 2])
        .Add("max_ms", ms.back())
        .Add("cpu_median_ms", cpuMs[cpuMs.size() / 2])
        .Add("first_capture_rss_kb", double(decoderKb))
        .Print();
    std::fprintf(stderr,
                 "capture after %zu pictures of a GOP (%d threads): median %.1f ms (%.1f ms CPU), "
                 "max %.1f ms; the first capture added %lld KiB resident\n",
                 lastOfGop + 1, o.captureThreads, ms[ms.size() / 2], cpuMs[cpuMs.size() / 2],
                 ms.back(), static_cast<long long>(decoderKb));
  }

  // ---- ffmpeg, decode only, one thread ---------------------------------------------------
  double ffmpegCpuPerPicture = 0;
  {
    CChildProcess ff;
    if (ff.Start({o.ffmpeg, "-nostdin", "-loglevel", "error", "-threads", "1", "-i", o.clip, "-f",
                  "null", "-"})) {
      struct rusage usage {};
      uint64_t end = 0;
      if (ff.Wait(&usage, &end)) ffmpegCpuPerPicture = CpuSeconds(usage) / double(units);
    }
    CResultLine("player")
        .Add("what", std::string("ffmpeg"))
        .Add("cpu_ms_per_picture", 1e3 * ffmpegCpuPerPicture)
        .Print();
  }

  qnvtest::XvfbServer xvfb;
  if (!xvfb.Start("5120x2160x24")) {
    std::fprintf(stderr, "qnv-bench-player: no Xvfb: %s\n", xvfb.error().c_str());
    return 1;
  }
  setenv("DISPLAY", xvfb.display().c_str(), 1);
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return 1;

  // ---- decode + draw, one window, as fast as it draws ------------------------------------
  {
    Window w = MakeWindow(display, 0);
    uint32_t h = 0;
    QnvPlayer_OpenPort(&h, AsHandle(w), 0, "");
    const size_t total = 2 * units;
    const double cpu0 = CpuSeconds(SelfUsage());
    const double x0 = ProcessCpuSeconds(xvfb.pid());
    for (size_t u = 0; u < total; ++u) {
      // Up to 20 pictures ahead (well inside the port's queue), looked at
      // every 2 ms, so the feeding costs next to nothing.
      while (u > Pictures(h) + 20) usleep(2000);
      feeder.FeedUnit(h, u);
    }
    // The last picture is decoded once the port sees the stream pause.
    const uint64_t deadline = MonotonicNs() + 5000000000ull;
    while (PortRegistry::Instance().Stats(h)->drawn < total && MonotonicNs() < deadline)
      usleep(1000);
    const double cpu = CpuSeconds(SelfUsage()) - cpu0;
    const double xcpu = ProcessCpuSeconds(xvfb.pid()) - x0;
    const auto stats = *PortRegistry::Instance().Stats(h);
    QnvPlayer_ClosePort(h);
    XDestroyWindow(display, w);
    XSync(display, False);
    const double perPicture = cpu / double(std::max<uint64_t>(stats.drawn, 1));
    CResultLine("player")
        .Add("what", std::string("draw"))
        .Add("threads", uint64_t(o.threads))
        .Add("pictures", stats.pictures)
        .Add("drawn", stats.drawn)
        .Add("dropped", stats.dropped)
        .Add("shm", uint64_t(stats.sharedMemory ? 1 : 0))
        .Add("cpu_ms_per_picture", 1e3 * perPicture)
        .Add("x_cpu_ms_per_picture", 1e3 * xcpu / double(std::max<uint64_t>(stats.drawn, 1)))
        .Add("ratio_ffmpeg", ffmpegCpuPerPicture > 0 ? perPicture / ffmpegCpuPerPicture : 0.0)
        .Print();
    std::fprintf(stderr,
                 "decode + draw 1280x720 (%d thread(s)): %.2f ms CPU per picture (X server "
                 "%.2f ms more), ffmpeg -threads 1 decode %.2f ms: %.2fx\n",
                 o.threads, 1e3 * perPicture,
                 1e3 * xcpu / double(std::max<uint64_t>(stats.drawn, 1)), 1e3 * ffmpegCpuPerPicture,
                 ffmpegCpuPerPicture > 0 ? perPicture / ffmpegCpuPerPicture : 0.0);
  }

  // ---- how many 720p25 windows ------------------------------------------------------------
  int held = 0;
  for (int n = 1; n <= o.maxWindows; ++n) {
    std::vector<Window> windows;
    std::vector<uint32_t> ports;
    for (int i = 0; i < n; ++i) {
      windows.push_back(MakeWindow(display, i));
      uint32_t h = 0;
      QnvPlayer_OpenPort(&h, AsHandle(windows.back()), 0, "");
      ports.push_back(h);
    }
    // One second of warm-up, then the measured window; every port starts at
    // a key picture.
    const size_t warm = 25, measured = size_t(o.seconds * 25);
    std::vector<qnv::player::PortStats> before;
    uint64_t next = MonotonicNs();
    double cpu0 = 0;
    for (size_t u = 0; u < warm + measured; ++u) {
      if (u == warm) {
        for (uint32_t h : ports) before.push_back(*PortRegistry::Instance().Stats(h));
        cpu0 = CpuSeconds(SelfUsage());
      }
      SleepUntilNs(next);
      next += kPictureNs;
      for (uint32_t h : ports) feeder.FeedUnit(h, u);
    }
    SleepUntilNs(next + 2 * kPictureNs);
    const double cpu = CpuSeconds(SelfUsage()) - cpu0;
    bool ok = true;
    uint64_t worstDrawn = measured;
    for (size_t i = 0; i < ports.size(); ++i) {
      const auto now = *PortRegistry::Instance().Stats(ports[i]);
      const uint64_t drawn = now.drawn - before[i].drawn;
      worstDrawn = std::min(worstDrawn, drawn);
      if (now.dropped != 0 || double(drawn) < 0.98 * double(measured)) ok = false;
    }
    for (uint32_t h : ports) QnvPlayer_ClosePort(h);
    for (Window w : windows) XDestroyWindow(display, w);
    XSync(display, False);
    std::fprintf(
        stderr,
        "%2d window(s) at 25 fps: worst port drew %" PRIu64 " of %zu, %.0f%% of a core: %s\n", n,
        worstDrawn, measured, 100.0 * cpu / (double(measured) / 25.0), ok ? "held" : "not held");
    CResultLine("player")
        .Add("what", std::string("windows"))
        .Add("windows", uint64_t(n))
        .Add("held", uint64_t(ok ? 1 : 0))
        .Add("worst_drawn_pct", 100.0 * double(worstDrawn) / double(measured))
        .Add("cpu_pct", 100.0 * cpu / (double(measured) / 25.0))
        .Print();
    if (!ok) break;
    held = n;
  }
  CResultLine("player")
      .Add("what", std::string("windows_held"))
      .Add("windows", uint64_t(held))
      .Print();
  XCloseDisplay(display);
  QnvPlayer_Shutdown();
  return 0;
}

void Usage() {
  std::printf(
      "usage: qnv-bench-player --clip FILE [options]\n"
      "Measures the player library on the clip (1280x720, 25 fps) under a private Xvfb:\n"
      "capture time of a headless port, decode + draw CPU per picture of a windowed port\n"
      "against ffmpeg -threads 1 decoding, and how many 25 fps windows are held.\n"
      "  --clip FILE      H.264 clip\n"
      "  --seconds S      measured seconds per window count (default 6)\n"
      "  --max-windows N  stop counting windows at N (default 12)\n"
      "  --threads T      libavcodec frame threads per windowed port (default 1)\n"
      "  --capture-threads T  libavcodec frame threads of a headless capture (default 1)\n"
      "  --captures N     captures to time (default 5)\n"
      "  --ffmpeg PATH    ffmpeg program (default /usr/bin/ffmpeg)\n"
      "  --out DIR        where the capture file goes for a moment (default /tmp)\n");
}

}  // namespace

int main(int argc, char** argv) {
  SOptions o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "qnv-bench-player: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      Usage();
      return 0;
    } else if (a == "--clip") {
      o.clip = value();
    } else if (a == "--seconds") {
      o.seconds = std::atof(value().c_str());
    } else if (a == "--max-windows") {
      o.maxWindows = std::atoi(value().c_str());
    } else if (a == "--threads") {
      o.threads = std::atoi(value().c_str());
    } else if (a == "--capture-threads") {
      o.captureThreads = std::max(1, std::atoi(value().c_str()));
    } else if (a == "--captures") {
      o.captures = std::max(1, std::atoi(value().c_str()));
    } else if (a == "--ffmpeg") {
      o.ffmpeg = value();
    } else if (a == "--out") {
      o.outDir = value();
    } else {
      std::fprintf(stderr, "qnv-bench-player: unknown option %s (see --help)\n", a.c_str());
      return 2;
    }
  }
  if (o.clip.empty()) {
    Usage();
    return 2;
  }
  return Run(o);
}
