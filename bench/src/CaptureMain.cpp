// qnv-bench-capture: how long QNVNet_LiveCapture takes on channels without a
// window, through the public API with the player installed beside the
// library, against a paced qnv-bench-blaster (the 720p 8 Mbit/s clip, a key
// frame every 2 s), and whether the images are exact.
//
// Two channels, each on a session of its own, captured in turn at random
// moments:
//  - timed: a timed pre-record of 3 s (more than a group of pictures), so the
//    channel always holds a key frame with its parameter sets;
//  - seed: the default stretch of 358,400 bytes, which at 8 Mbit/s holds no
//    key frame, so a capture waits for the next one;
// and on each, a second capture right after the first ("after"), which goes
// on with the first one's warm decoder.
//
// Exactness: the frames of the last 25 s are kept; after each round, for
// each capture the frames from the group of pictures it began in to the
// newest frame at its return are written out as an elementary stream and
// decoded by ffmpeg (-f rawvideo -pix_fmt yuv420p); the capture is
// exact when one of the pictures that could have been the newest is, after
// the player's own conversion to RGB, the same to the byte. The images are
// BMP files: lossless, and the quickest to write (PNG's compression alone
// takes a few hundred ms at 720p; JPEG's encoding is timed by
// qnv-bench-player).
//
// Prints "result capture ..." lines for the driver and a summary on stderr.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BenchClip.h"
#include "BenchUtil.h"
#include "FfmpegPtr.h"
#include "PictureScaler.h"
#include "QNVNetSdk.h"
#include "devsim/WireFormat.h"
#include "qnvtools/CArgReader.h"

namespace {

using namespace qnv::bench;
namespace wire = qnv::devsim::wire;
using qnv::player::FramePtr;

constexpr int kWidth = 1280, kHeight = 720;
constexpr uint32_t kTimedPreRecordMs = 3000;

struct SOptions {
  uint16_t port = 0;
  std::string out = "/tmp";
  std::string ffmpeg = "/usr/bin/ffmpeg";
  int captures = 40;
  double warmupSeconds = 5;
  bool exact = true;
};

struct SFrame {
  uint32_t counter;
  std::vector<uint8_t> payload;
};

// The frames a channel delivered lately, found by its session's client id.
struct SChannelLog {
  std::atomic<uint32_t> clientId{0};
  std::mutex mutex;
  std::vector<SFrame> frames;
  std::atomic<uint32_t> newest{0};
};
constexpr uint32_t kChannels = 2;
constexpr size_t kKeptFrames = 700;  // about 25 s of the clip's frames
SChannelLog g_logs[kChannels];

bool OnStream(uint32_t clientId, char*, uint16_t, char* frame, int32_t length, uint32_t) {
  const auto* f = reinterpret_cast<const uint8_t*>(frame);
  if (length < int32_t(kFrameHeaderSize)) return true;
  SChannelLog* found = nullptr;
  for (SChannelLog& l : g_logs)
    if (l.clientId.load() == clientId) found = &l;
  if (found == nullptr) return true;
  SChannelLog& log = *found;
  const uint32_t counter = wire::GetU32(f + kFrameCounterOffset);
  std::lock_guard<std::mutex> lock(log.mutex);
  if (log.frames.size() >= 2 * kKeptFrames)
    log.frames.erase(log.frames.begin(), log.frames.end() - ptrdiff_t(kKeptFrames));
  log.frames.push_back({counter, std::vector<uint8_t>(f + kFrameHeaderSize, f + length)});
  log.newest.store(counter);
  return true;
}

struct SCapture {
  std::string scenario;
  uint32_t channel;
  uint32_t newestBefore, newestAfter;
  double ms;
  double cpuMs;  // of the calling thread, which decodes and writes the image
  std::string path;
  uint32_t rc;
  int exact = -1;  // -1 not checked
};

int NalType(const std::vector<uint8_t>& p) {
  if (p.size() > 4 && p[0] == 0 && p[1] == 0 && p[2] == 1) return QNVNetFrameNal::TypeOf(p[3]);
  if (p.size() > 5 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1)
    return QNVNetFrameNal::TypeOf(p[4]);
  return -1;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The capture's pixels: the BMP decoded to BGR24.
std::vector<uint8_t> BmpPixels(const std::string& path) {
  std::vector<uint8_t> data = ReadFile(path);
  if (data.size() < 8) return {};
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_BMP);
  qnv::player::CodecContextPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx || avcodec_open2(ctx.get(), codec, nullptr) < 0) return {};
  const size_t size = data.size();
  data.resize(size + AV_INPUT_BUFFER_PADDING_SIZE);
  qnv::player::PacketPtr pkt(av_packet_alloc());
  pkt->data = data.data();
  pkt->size = int(size);
  FramePtr f(av_frame_alloc());
  if (avcodec_send_packet(ctx.get(), pkt.get()) < 0) return {};
  avcodec_send_packet(ctx.get(), nullptr);
  if (avcodec_receive_frame(ctx.get(), f.get()) != 0 || f->format != AV_PIX_FMT_BGR24) return {};
  std::vector<uint8_t> rgb(size_t(f->width) * size_t(f->height) * 3);
  for (int y = 0; y < f->height; ++y)
    std::memcpy(rgb.data() + size_t(y) * size_t(f->width) * 3, f->data[0] + y * f->linesize[0],
                size_t(f->width) * 3);
  return rgb;
}

// A yuv420p picture from ffmpeg, converted as the player converts for BMP.
std::vector<uint8_t> Converted(std::vector<uint8_t>& yuv, AVColorSpace space) {
  FramePtr f(av_frame_alloc());
  f->width = kWidth;
  f->height = kHeight;
  f->format = AV_PIX_FMT_YUV420P;
  f->color_range = AVCOL_RANGE_MPEG;
  f->colorspace = space;
  f->data[0] = yuv.data();
  f->data[1] = yuv.data() + kWidth * kHeight;
  f->data[2] = f->data[1] + kWidth * kHeight / 4;
  f->linesize[0] = kWidth;
  f->linesize[1] = f->linesize[2] = kWidth / 2;
  std::vector<uint8_t> rgb(size_t(kWidth) * kHeight * 3);
  uint8_t* planes[4] = {rgb.data(), nullptr, nullptr, nullptr};
  const int strides[4] = {kWidth * 3, 0, 0, 0};
  qnv::player::PictureScaler scaler;
  if (!scaler.Scale(*f, {kWidth, kHeight, AV_PIX_FMT_BGR24, true, planes, strides})) return {};
  return rgb;
}

// 1 when one of the pictures that could be the capture's is the same to the
// byte, 0 when none is, -1 when it could not be checked.
int CheckExact(const SOptions& o, const SCapture& c) {
  // The frames from the group of pictures the capture began in to the
  // newest at its return.
  std::vector<SFrame> frames;
  ptrdiff_t before = -1, after = -1;
  {
    SChannelLog& log = g_logs[c.channel];
    std::lock_guard<std::mutex> lock(log.mutex);
    for (size_t i = log.frames.size(); i-- > 0 && (before < 0 || after < 0);) {
      if (log.frames[i].counter == c.newestAfter) after = ptrdiff_t(i);
      if (log.frames[i].counter == c.newestBefore) before = ptrdiff_t(i);
    }
    if (before < 0 || after < 0) return -1;
    ptrdiff_t start = before;
    while (start >= 0 && NalType(log.frames[size_t(start)].payload) != 7) --start;
    if (start < 0) return -1;
    frames.assign(log.frames.begin() + start, log.frames.begin() + after + 1);
    before -= start;
    after -= start;
  }
  const ptrdiff_t start = 0;
  const std::string stream = o.out + "/qnv-bench-capture-run.h264";
  {
    std::ofstream out(stream, std::ios::binary);
    for (ptrdiff_t i = start; i <= after; ++i)
      out.write(reinterpret_cast<const char*>(frames[size_t(i)].payload.data()),
                std::streamsize(frames[size_t(i)].payload.size()));
  }
  // The pictures that could be the newest: from the newest at the call (or,
  // when it waited, any after it) to the newest at the return.
  std::vector<uint32_t> pictures;
  uint32_t newestPictureBefore = 0;
  for (ptrdiff_t i = start; i <= after; ++i) {
    const int t = NalType(frames[size_t(i)].payload);
    if (t != 1 && t != 5) continue;
    pictures.push_back(frames[size_t(i)].counter);
    if (i <= before) newestPictureBefore = frames[size_t(i)].counter;
  }
  const std::vector<uint8_t> captured = BmpPixels(c.path);
  if (captured.empty()) return -1;
  const std::string command = o.ffmpeg + " -nostdin -loglevel error -threads 1 -f h264 -i " +
                              stream + " -f rawvideo -pix_fmt yuv420p -";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::vector<uint8_t> yuv(size_t(kWidth) * kHeight * 3 / 2);
  int result = 0;
  for (size_t k = 0; k < pictures.size(); ++k) {
    if (std::fread(yuv.data(), 1, yuv.size(), pipe) != yuv.size()) break;
    if (pictures[k] < newestPictureBefore) continue;
    for (AVColorSpace space : {AVCOL_SPC_UNSPECIFIED, AVCOL_SPC_BT709}) {
      if (Converted(yuv, space) == captured) result = 1;
    }
  }
  pclose(pipe);
  unlink(stream.c_str());
  return result;
}

double ThreadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

double Percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, size_t(q * double(v.size() - 1) + 0.5))];
}

int Run(const SOptions& o) {
  QNVNet_SetCallback(nullptr, &OnStream, nullptr, 0);
  if (QNVNet_InitLib() != 0) return 1;
  uint32_t handles[kChannels] = {};
  for (uint32_t i = 0; i < kChannels; ++i) {
    uint32_t client = 0;
    if (QNVNet_DevLogin(&client, "127.0.0.1", o.port, "admin", "admin") != 0) {
      std::fprintf(stderr, "qnv-bench-capture: login failed\n");
      return 1;
    }
    g_logs[i].clientId.store(client);
    if (QNVNet_LiveOpen(&handles[i], client, nullptr) != 0) {
      std::fprintf(stderr, "qnv-bench-capture: live open failed\n");
      return 1;
    }
  }
  if (QNVNet_LiveSetPreRecord(handles[0], kTimedPreRecordMs, 0) != 0) return 1;
  SleepUntilNs(MonotonicNs() + uint64_t(o.warmupSeconds * 1e9));

  std::mt19937 rng(7);
  std::vector<SCapture> captures;
  auto capture = [&](const char* scenario, uint32_t channel, int n) {
    SCapture c;
    c.scenario = scenario;
    c.channel = channel;
    c.path = o.out + "/qnv-bench-capture-" + scenario + "-" + std::to_string(n) + ".bmp";
    c.newestBefore = g_logs[channel].newest.load();
    const double cpu0 = ThreadCpuMs();
    const uint64_t t0 = MonotonicNs();
    c.rc = QNVNet_LiveCapture(handles[channel], c.path.c_str());
    c.ms = double(MonotonicNs() - t0) / 1e6;
    c.cpuMs = ThreadCpuMs() - cpu0;
    c.newestAfter = g_logs[channel].newest.load();
    captures.push_back(c);
  };
  for (int n = 0; n < o.captures; ++n) {
    // At a random moment of the group of pictures, each channel in turn.
    std::this_thread::sleep_for(std::chrono::milliseconds(200 + rng() % 1800));
    capture("timed", 0, n);
    capture("timed-after", 0, n);
    std::this_thread::sleep_for(std::chrono::milliseconds(200 + rng() % 1800));
    capture("seed", 1, n);
    capture("seed-after", 1, n);
    // Checked while the frames are kept, between the timed captures.
    for (size_t i = captures.size() - 4; i < captures.size(); ++i) {
      if (o.exact && captures[i].rc == 0) captures[i].exact = CheckExact(o, captures[i]);
    }
    if ((n + 1) % 10 == 0) std::fprintf(stderr, "%d of %d capture rounds\n", n + 1, o.captures);
  }
  QNVNet_UnInitLib();

  for (const char* scenario : {"timed", "seed", "timed-after", "seed-after"}) {
    std::vector<double> ms, cpu;
    int failed = 0, checked = 0, exact = 0;
    for (const SCapture& c : captures) {
      if (c.scenario != scenario) continue;
      if (c.rc != 0) {
        ++failed;
        continue;
      }
      ms.push_back(c.ms);
      cpu.push_back(c.cpuMs);
      if (c.exact >= 0) ++checked;
      if (c.exact == 1) ++exact;
      unlink(c.path.c_str());
    }
    CResultLine("capture")
        .Add("scenario", std::string(scenario))
        .Add("captures", uint64_t(ms.size()))
        .Add("failed", uint64_t(failed))
        .Add("p50_ms", Percentile(ms, 0.5))
        .Add("p99_ms", Percentile(ms, 0.99))
        .Add("max_ms", Percentile(ms, 1.0))
        .Add("cpu_p50_ms", Percentile(cpu, 0.5))
        .Add("cpu_p99_ms", Percentile(cpu, 0.99))
        .Add("checked", uint64_t(checked))
        .Add("exact", uint64_t(exact))
        .Print();
    std::fprintf(stderr,
                 "%-12s %3zu captures (%d failed): p50 %7.1f ms, p99 %7.1f ms (CPU p50 %6.1f ms, "
                 "p99 %6.1f ms); exact %d of %d checked\n",
                 scenario, ms.size(), failed, Percentile(ms, 0.5), Percentile(ms, 0.99),
                 Percentile(cpu, 0.5), Percentile(cpu, 0.99), exact, checked);
  }
  return 0;
}

void Usage() {
  std::printf(
      "usage: qnv-bench-capture --port P [options]\n"
      "Times QNVNet_LiveCapture on two windowless channels of a paced qnv-bench-blaster\n"
      "at 127.0.0.1:P (timed pre-record of 3 s; the default stretch), each capture\n"
      "followed by a second right after it, and checks the images against ffmpeg's\n"
      "decoding of the same frames.\n"
      "  --captures N   capture rounds (default 40; each takes about 2.5 s)\n"
      "  --warmup S     seconds before the first capture (default 5)\n"
      "  --out DIR      where the images go for a moment (default /tmp)\n"
      "  --ffmpeg PATH  ffmpeg program (default /usr/bin/ffmpeg)\n"
      "  --no-exact     skip the comparison with ffmpeg\n");
}

}  // namespace

int main(int argc, char** argv) {
  SOptions o;
  qnvtools::CArgReader args(argc, argv, "qnv-bench-capture");
  while (args.Next()) {
    const std::string& a = args.Arg();
    if (a == "--help" || a == "-h") {
      Usage();
      return 0;
    } else if (a == "--port") {
      o.port = uint16_t(std::atoi(args.ValueOrExit()));
    } else if (a == "--captures") {
      o.captures = std::max(1, std::atoi(args.ValueOrExit()));
    } else if (a == "--warmup") {
      o.warmupSeconds = std::atof(args.ValueOrExit());
    } else if (a == "--out") {
      o.out = args.ValueOrExit();
    } else if (a == "--ffmpeg") {
      o.ffmpeg = args.ValueOrExit();
    } else if (a == "--no-exact") {
      o.exact = false;
    } else {
      std::fprintf(stderr, "qnv-bench-capture: unknown option %s (see --help)\n", a.c_str());
      return 2;
    }
  }
  if (o.port == 0) {
    Usage();
    return 2;
  }
  return Run(o);
}
