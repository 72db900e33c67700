// qnv-bench-player: what the player library costs where it decodes, on the
// benchmark clip (1280x720, 25 fps), against a private Xvfb server:
//
//  - run captures (QnvPlayer_CaptureRun to a JPEG file), the choice between
//    decoding every capture from its key frame and keeping a decoder warm:
//    a fresh decoder on runs of 1, 13, 25 and 50 pictures from the IDR; a
//    warm decoder going on with one more picture (a capture right after
//    another); a warm decoder with nothing new (the image encoding alone);
//    and the memory a kept decoder holds;
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
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchClip.h"
#include "BenchUtil.h"
#include "ChildProcess.h"
#include "PortRegistry.h"
#include "QNVPlayer.h"
#include "RunDecoders.h"
#include "WindowPort.h"
#include "XvfbServer.h"
#include "qnvtools/CArgReader.h"

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
  int captures = 5;
  bool runsOnly = false;
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
  explicit CFeeder(const CBenchClip& clip) : m_clip(clip) {}
  // Feeds access unit u (its NAL units as stream frames) to the port.
  void FeedUnit(uint32_t handle, size_t u) const {
    const auto& unit = m_clip.AccessUnits()[u % m_clip.AccessUnits().size()];
    for (size_t n = unit.firstNal; n < unit.firstNal + unit.nalCount; ++n) {
      const auto& nal = m_clip.Nals()[n];
      QnvPlayer_Input(handle, m_clip.Framed().data() + nal.framedOffset,
                      int32_t(kFrameHeaderSize + nal.length));
    }
  }

 private:
  const CBenchClip& m_clip;
};

// A run of the clip's NAL units [first, end) as QnvPlayer_CaptureRun takes
// it: the stream frame headers as records, the payloads as their bodies.
struct SRun {
  std::vector<uint8_t> records;
  std::vector<uint8_t> data;
  uint32_t count = 0;
};

SRun MakeRun(const CBenchClip& clip, size_t first, size_t end) {
  SRun run;
  for (size_t n = first; n < end; ++n) {
    const auto& nal = clip.Nals()[n];
    const uint8_t* header = clip.Framed().data() + nal.framedOffset;
    const size_t at = run.records.size();
    run.records.insert(run.records.end(), header, header + kFrameHeaderSize);
    const uint32_t offset = uint32_t(run.data.size());
    std::memcpy(run.records.data() + at + 28, &offset, 4);  // the record's body offset
    run.data.insert(run.data.end(), header + kFrameHeaderSize,
                    header + kFrameHeaderSize + nal.length);
    ++run.count;
  }
  return run;
}

// CPU seconds of the process: a capture runs on its caller's thread; nothing
// else runs then.
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

  // ---- run captures: fresh from the key frame, or a warm decoder going on ----------------
  {
    // The NAL unit after access unit u, and the first one of the first GOP.
    auto endOf = [&](size_t u) {
      const auto& a = clip.AccessUnits()[u];
      return a.firstNal + a.nalCount;
    };
    const std::string path = o.outDir + "/qnv-bench-player-capture.jpg";
    struct STimed {
      double ms, cpuMs;
    };
    auto timed = [&](const SRun& run, uint32_t* decoder, uint32_t keepMs) {
      const uint64_t t0 = MonotonicNs();
      const double c0 = ProcessCpuSeconds();
      const int rc = QnvPlayer_CaptureRun(decoder, keepMs, run.records.data(), run.count,
                                          run.data.data(), run.data.size(), path.c_str());
      if (rc != QNVPLAYER_OK) std::fprintf(stderr, "capture failed: %d\n", rc);
      return STimed{double(MonotonicNs() - t0) / 1e6, 1e3 * (ProcessCpuSeconds() - c0)};
    };
    auto report = [&](const char* what, uint64_t pictures, std::vector<STimed> t) {
      std::sort(t.begin(), t.end(), [](auto& a, auto& b) { return a.ms < b.ms; });
      std::vector<double> cpu;
      for (auto& x : t) cpu.push_back(x.cpuMs);
      std::sort(cpu.begin(), cpu.end());
      CResultLine("player")
          .Add("what", std::string(what))
          .Add("pictures", pictures)
          .Add("median_ms", t[t.size() / 2].ms)
          .Add("max_ms", t.back().ms)
          .Add("cpu_median_ms", cpu[cpu.size() / 2])
          .Print();
      std::fprintf(stderr,
                   "%s, %" PRIu64 " picture(s): median %.1f ms (%.1f ms CPU), max %.1f ms\n", what,
                   pictures, t[t.size() / 2].ms, cpu[cpu.size() / 2], t.back().ms);
    };
    for (size_t pictures : {size_t(1), size_t(13), size_t(25), size_t(50)}) {
      if (pictures > units) break;
      const SRun run = MakeRun(clip, 0, endOf(pictures - 1));
      std::vector<STimed> t;
      for (int i = 0; i < o.captures; ++i) {
        uint32_t decoder = 0;
        t.push_back(timed(run, &decoder, 0));
      }
      report("fresh_run", pictures, t);
    }
    // Warm: a capture at picture 24, then one more picture each time.
    std::vector<STimed> next, none;
    int64_t keptKb = 0;
    // Heap in use, which a kept decoder holds (RSS would not show it: the
    // fresh runs' decoders left their pages in the allocator).
    auto heapBytes = [] {
      const struct mallinfo2 m = mallinfo2();
      return int64_t(m.uordblks + m.hblkhd);
    };
    for (int i = 0; i < o.captures; ++i) {
      uint32_t decoder = 0;
      const int64_t heap0 = heapBytes();
      timed(MakeRun(clip, 0, endOf(24)), &decoder, 60000);
      if (i == 0) keptKb = (heapBytes() - heap0) / 1024;
      next.push_back(timed(MakeRun(clip, endOf(24), endOf(25)), &decoder, 60000));
      none.push_back(timed(SRun(), &decoder, 60000));
      QnvPlayer_ReleaseDecoder(decoder);
    }
    report("warm_next", 1, next);
    report("warm_same", 0, none);
    CResultLine("player")
        .Add("what", std::string("kept_decoder"))
        .Add("heap_kb", double(keptKb))
        .Print();
    std::fprintf(stderr, "a kept decoder holds %lld KiB of heap\n", static_cast<long long>(keptKb));
    unlink(path.c_str());
  }

  if (o.runsOnly) {
    QnvPlayer_Shutdown();
    return 0;
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
      "run captures (fresh from the key frame, or a warm decoder going on), decode +\n"
      "draw CPU per picture of a windowed port against ffmpeg -threads 1 decoding, and\n"
      "how many 25 fps windows are held.\n"
      "  --clip FILE      H.264 clip\n"
      "  --seconds S      measured seconds per window count (default 6)\n"
      "  --max-windows N  stop counting windows at N (default 12)\n"
      "  --threads T      libavcodec frame threads per windowed port (default 1)\n"
      "  --captures N     captures to time (default 5)\n"
      "  --runs-only      only the run captures\n"
      "  --ffmpeg PATH    ffmpeg program (default /usr/bin/ffmpeg)\n"
      "  --out DIR        where the capture file goes for a moment (default /tmp)\n");
}

}  // namespace

int main(int argc, char** argv) {
  SOptions o;
  qnvtools::CArgReader args(argc, argv, "qnv-bench-player");
  while (args.Next()) {
    const std::string& a = args.Arg();
    if (a == "--help" || a == "-h") {
      Usage();
      return 0;
    } else if (a == "--clip") {
      o.clip = args.ValueOrExit();
    } else if (a == "--seconds") {
      o.seconds = std::atof(args.ValueOrExit());
    } else if (a == "--max-windows") {
      o.maxWindows = std::atoi(args.ValueOrExit());
    } else if (a == "--threads") {
      o.threads = std::atoi(args.ValueOrExit());
    } else if (a == "--captures") {
      o.captures = std::max(1, std::atoi(args.ValueOrExit()));
    } else if (a == "--runs-only") {
      o.runsOnly = true;
    } else if (a == "--ffmpeg") {
      o.ffmpeg = args.ValueOrExit();
    } else if (a == "--out") {
      o.outDir = args.ValueOrExit();
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
