// The C functions on headless ports: captures in every format against the
// clip, handles, waiting for a first picture, write failures, concurrent use
// and the cost of many idle ports.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <new>
#include <random>
#include <thread>
#include <vector>

#include "HeadlessPort.h"
#include "LibavLog.h"
#include "PlayerTestSupport.h"
#include "PortRegistry.h"

// Counts operator new on threads that ask for it, so a test can show that
// feeding a port allocates nothing. (GCC takes the malloc/free pairs below
// for mismatched ones; they are not.)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
thread_local bool t_countNew = false;
std::atomic<uint64_t> g_news{0};
}  // namespace

void* operator new(size_t size) {
  if (t_countNew) g_news.fetch_add(1);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace qnvtest {
namespace {

using qnv::player::PortRegistry;

class HeadlessPlayer : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("DISPLAY");  // windowed ports in these tests decode only
    ASSERT_EQ(QNVPLAYER_OK, QnvPlayer_Init());
    PortRegistry::Instance().SetCaptureWait(std::chrono::milliseconds(2000));
  }
  void TearDown() override {
    EXPECT_EQ(QNVPLAYER_OK, QnvPlayer_Shutdown());
    EXPECT_EQ(PortRegistry::Instance().OpenPorts(), 0u);
  }
  static uint32_t Open(void* window = nullptr) {
    uint32_t h = 0;
    EXPECT_EQ(QNVPLAYER_OK, QnvPlayer_OpenPort(&h, window, 0, ""));
    EXPECT_NE(h, 0u);
    return h;
  }
  TempDir dir_;
};

TEST_F(HeadlessPlayer, CaptureWritesCurrentPictureInEveryFormat) {
  const Clip& clip = SampleClip();
  const uint32_t h = Open();
  // Into the second second of the clip: a later IDR, then some P pictures.
  const int k = 37;
  Feed(h, 0, clip.UnitOfPicture(k) + 1);
  struct Case {
    const char* name;
    double minPsnr;
    uint8_t magic0;
  } cases[] = {{"a.png", 30, 0x89},  {"a.bmp", 30, 'B'},   {"a.jpg", 25, 0xFF},
               {"a.JPEG", 25, 0xFF}, {"a.snap", 25, 0xFF}, {"noext", 25, 0xFF}};
  for (const Case& c : cases) {
    const std::string path = dir_.Path(c.name);
    ASSERT_EQ(QNVPLAYER_OK, QnvPlayer_Capture(h, path.c_str())) << c.name;
    FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::fgetc(f), c.magic0) << c.name;
    std::fclose(f);
    ExpectShowsPicture(path, k, c.minPsnr);
  }
}

TEST_F(HeadlessPlayer, CaptureFollowsTheStreamAcrossKeyFrames) {
  const Clip& clip = SampleClip();
  const uint32_t h = Open();
  const std::string path = dir_.Path("s.png");
  // Each capture decodes only what arrived since the one before, through
  // the next IDR and beyond.
  size_t fed = 0;
  for (int k : {0, 5, 24, 25, 26, 80, 249}) {
    const size_t upTo = clip.UnitOfPicture(k) + 1;
    Feed(h, fed, upTo);
    fed = upTo;
    ASSERT_EQ(QNVPLAYER_OK, QnvPlayer_Capture(h, path.c_str())) << k;
    ExpectShowsPicture(path, k, 30);
  }
  const auto stats = PortRegistry::Instance().Stats(h);
  ASSERT_TRUE(stats);
  EXPECT_EQ(stats->framesIn, clip.units.size());
  // Only the SEI ahead of the first IDR, which no picture needs.
  EXPECT_EQ(stats->dropped, 1u);
  // Decoded lazily: pictures 0..5, 24..26 (in a new generation from 25),
  // 75..80 and 225..249, not all 250.
  EXPECT_LT(stats->pictures, 60u);
}

TEST_F(HeadlessPlayer, CaptureWithoutKeyFrameFailsAfterShortWait) {
  const Clip& clip = SampleClip();
  PortRegistry::Instance().SetCaptureWait(std::chrono::milliseconds(100));
  const uint32_t h = Open();
  const std::string path = dir_.Path("none.jpg");
  EXPECT_EQ(QNVPLAYER_ERR_NO_PICTURE, QnvPlayer_Capture(h, path.c_str()));
  // P pictures from the middle of a second: nothing they can be decoded from.
  Feed(h, clip.UnitOfPicture(5), clip.UnitOfPicture(20));
  EXPECT_EQ(QNVPLAYER_ERR_NO_PICTURE, QnvPlayer_Capture(h, path.c_str()));
  struct stat st;
  EXPECT_NE(0, stat(path.c_str(), &st)) << "no file for a failed capture";
  // Same for a windowed port that has received nothing decodable.
  const uint32_t w = Open(reinterpret_cast<void*>(0x1234));
  Feed(w, clip.UnitOfPicture(5), clip.UnitOfPicture(8));
  EXPECT_EQ(QNVPLAYER_ERR_NO_PICTURE, QnvPlayer_Capture(w, path.c_str()));
}

TEST_F(HeadlessPlayer, CaptureWaitsForTheNextKeyFrame) {
  const Clip& clip = SampleClip();
  for (void* window : {static_cast<void*>(nullptr), reinterpret_cast<void*>(0x1234)}) {
    const uint32_t h = Open(window);
    const std::string path = dir_.Path("wait.png");
    std::thread feeder([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      Feed(h, 0, clip.UnitOfPicture(3) + 1);
    });
    const int rc = QnvPlayer_Capture(h, path.c_str());
    feeder.join();
    ASSERT_EQ(QNVPLAYER_OK, rc);
    Picture image = ReadImageFile(path);
    ASSERT_TRUE(image);
    // Whichever of the first pictures was there when the capture woke.
    EXPECT_LE(BestMatchingPicture(*image), 3);
  }
}

TEST_F(HeadlessPlayer, HandleZeroAndUnknownHandlesAreIgnored) {
  const auto frame = WrapFrame(SampleClip().units[0], 0);
  const std::string path = dir_.Path("x.jpg");
  for (uint32_t h : {0u, 12345678u}) {
    EXPECT_EQ(QNVPLAYER_ERR_HANDLE, QnvPlayer_Input(h, frame.data(), int32_t(frame.size())));
    EXPECT_EQ(QNVPLAYER_ERR_HANDLE, QnvPlayer_Capture(h, path.c_str()));
    EXPECT_EQ(QNVPLAYER_ERR_HANDLE, QnvPlayer_ClosePort(h));
  }
  EXPECT_EQ(QNVPLAYER_ERR_ARGUMENT, QnvPlayer_OpenPort(nullptr, nullptr, 0, ""));
  // Handles are distinct, nonzero and never come back after a close.
  const uint32_t a = Open(), b = Open(reinterpret_cast<void*>(0x1234));
  EXPECT_NE(a, b);
  EXPECT_EQ(QNVPLAYER_OK, QnvPlayer_ClosePort(a));
  EXPECT_EQ(QNVPLAYER_ERR_HANDLE, QnvPlayer_ClosePort(a));
  EXPECT_EQ(QNVPLAYER_ERR_HANDLE, QnvPlayer_Input(a, frame.data(), int32_t(frame.size())));
  const uint32_t c = Open();
  EXPECT_NE(c, a);
  EXPECT_NE(c, b);
  // Shutdown closes everything; the library can start again, with new handles.
  EXPECT_EQ(QNVPLAYER_OK, QnvPlayer_Shutdown());
  EXPECT_EQ(QNVPLAYER_ERR_HANDLE, QnvPlayer_Capture(b, path.c_str()));
  EXPECT_EQ(QNVPLAYER_OK, QnvPlayer_Init());
  const uint32_t d = Open();
  EXPECT_GT(d, c);
}

TEST_F(HeadlessPlayer, CloseWakesAWaitingCapture) {
  for (void* window : {static_cast<void*>(nullptr), reinterpret_cast<void*>(0x1234)}) {
    const uint32_t h = Open(window);
    std::thread closer([h] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      EXPECT_EQ(QNVPLAYER_OK, QnvPlayer_ClosePort(h));
    });
    // Would wait 2 s for a picture; the close ends the wait.
    EXPECT_EQ(QNVPLAYER_ERR_HANDLE, QnvPlayer_Capture(h, dir_.Path("closed.jpg").c_str()));
    closer.join();
  }
}

TEST_F(HeadlessPlayer, MalformedInputRefused) {
  const uint32_t h = Open();
  const auto good = WrapFrame(SampleClip().units[0], 0);
  EXPECT_EQ(QNVPLAYER_ERR_ARGUMENT, QnvPlayer_Input(h, nullptr, 100));
  EXPECT_EQ(QNVPLAYER_ERR_ARGUMENT, QnvPlayer_Input(h, good.data(), 0));
  EXPECT_EQ(QNVPLAYER_ERR_ARGUMENT, QnvPlayer_Input(h, good.data(), -5));
  EXPECT_EQ(QNVPLAYER_ERR_ARGUMENT, QnvPlayer_Input(h, good.data(), 39));
  EXPECT_EQ(QNVPLAYER_ERR_ARGUMENT, QnvPlayer_Input(h, good.data(), int32_t(good.size()) - 1));
  auto bad = good;
  bad[4] = 'q';
  EXPECT_EQ(QNVPLAYER_ERR_ARGUMENT, QnvPlayer_Input(h, bad.data(), int32_t(bad.size())));
  EXPECT_EQ(QNVPLAYER_ERR_ARGUMENT, QnvPlayer_Capture(h, nullptr));
  EXPECT_EQ(QNVPLAYER_ERR_ARGUMENT, QnvPlayer_Capture(h, ""));
  // An empty payload is a valid frame that carries nothing.
  const auto empty = WrapFrame({}, 0);
  EXPECT_EQ(QNVPLAYER_OK, QnvPlayer_Input(h, empty.data(), int32_t(empty.size())));
}

TEST_F(HeadlessPlayer, ExtensionBlocksAreSkipped) {
  const Clip& clip = SampleClip();
  const uint32_t h = Open();
  const size_t end = clip.UnitOfPicture(10) + 1;
  for (size_t i = 0; i < end; ++i) {
    const auto frame = WrapFrame(clip.units[i], uint32_t(i), true, uint32_t(i % 3) * 17);
    ASSERT_EQ(QNVPLAYER_OK, QnvPlayer_Input(h, frame.data(), int32_t(frame.size())));
  }
  const std::string path = dir_.Path("ext.png");
  ASSERT_EQ(QNVPLAYER_OK, QnvPlayer_Capture(h, path.c_str()));
  ExpectShowsPicture(path, 10, 30);
}

TEST_F(HeadlessPlayer, WriteFailuresAreReported) {
  const uint32_t h = Open();
  Feed(h, 0, SampleClip().UnitOfPicture(2) + 1);
  EXPECT_EQ(QNVPLAYER_ERR_WRITE, QnvPlayer_Capture(h, dir_.Path("no/such/dir.jpg").c_str()));
  // A full device: the write fails, and a device is never removed.
  EXPECT_EQ(QNVPLAYER_ERR_WRITE, QnvPlayer_Capture(h, "/dev/full"));
  struct stat st;
  EXPECT_EQ(0, stat("/dev/full", &st));
  // A path that is a directory.
  EXPECT_EQ(QNVPLAYER_ERR_WRITE, QnvPlayer_Capture(h, dir_.path().c_str()));
  EXPECT_EQ(QNVPLAYER_OK, QnvPlayer_Capture(h, dir_.Path("ok.bmp").c_str()));
}

// Many ports, fed, captured, opened and closed from several threads at once;
// run under ThreadSanitizer this shows the locking is sound.
TEST_F(HeadlessPlayer, ConcurrentInputCaptureOpenAndClose) {
  const Clip& clip = SampleClip();
  PortRegistry::Instance().SetCaptureWait(std::chrono::milliseconds(300));
  std::vector<uint32_t> ports;
  for (int i = 0; i < 8; ++i) {
    ports.push_back(Open(i % 4 == 3 ? reinterpret_cast<void*>(0x99) : nullptr));
  }
  // Past the second IDR, so captures cross into a new generation.
  constexpr int kLast = 30;
  const size_t units = clip.UnitOfPicture(kLast) + 1;
  std::atomic<bool> feeding{true};
  std::atomic<int> captured{0}, failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (size_t i = 0; i < units; ++i) {
        const auto frame = WrapFrame(clip.units[i], uint32_t(i));
        for (size_t p = size_t(t); p < ports.size(); p += 4) {
          QnvPlayer_Input(ports[p], frame.data(), int32_t(frame.size()));
        }
        // Paced a little, so captures fall between frames.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng{unsigned(t)};
      // Through the whole feed, and a few more once it is complete.
      int after = 0;
      for (int n = 0; feeding.load() || after++ < 3; ++n) {
        const uint32_t h = ports[rng() % ports.size()];
        const std::string path = dir_.Path("c" + std::to_string(t) + "_" + std::to_string(n % 3) +
                                           (n % 2 ? ".jpg" : ".png"));
        const int rc = QnvPlayer_Capture(h, path.c_str());
        (rc == QNVPLAYER_OK ? captured : failed).fetch_add(1);
        EXPECT_TRUE(rc == QNVPLAYER_OK || rc == QNVPLAYER_ERR_NO_PICTURE) << rc;
      }
    });
  }
  threads.emplace_back([&] {
    // Ports that come and go while others stream, some used after closing.
    const auto frame = WrapFrame(clip.units[0], 0);
    for (int i = 0; i < 20; ++i) {
      uint32_t h = 0;
      ASSERT_EQ(QNVPLAYER_OK,
                QnvPlayer_OpenPort(&h, i % 2 ? reinterpret_cast<void*>(0x77) : nullptr, 0, ""));
      QnvPlayer_Input(h, frame.data(), int32_t(frame.size()));
      EXPECT_EQ(QNVPLAYER_OK, QnvPlayer_ClosePort(h));
      EXPECT_EQ(QNVPLAYER_ERR_HANDLE, QnvPlayer_Input(h, frame.data(), int32_t(frame.size())));
    }
  });
  for (int t = 0; t < 4; ++t) threads[size_t(t)].join();
  feeding.store(false);
  for (size_t t = 4; t < threads.size(); ++t) threads[t].join();
  EXPECT_GT(captured.load(), 0);
  // Every port ends with the last picture fed.
  for (uint32_t h : ports) {
    const std::string path = dir_.Path("final.png");
    // A windowed port's thread may still be working through its queue.
    int rc = QNVPLAYER_ERR_NO_PICTURE;
    for (int i = 0; i < 100; ++i) {
      rc = QnvPlayer_Capture(h, path.c_str());
      ASSERT_EQ(QNVPLAYER_OK, rc);
      Picture image = ReadImageFile(path);
      ASSERT_TRUE(image);
      if (BestMatchingPicture(*image, kLast - 12, kLast) == kLast) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ExpectShowsPicture(path, kLast, 30);
  }
}

// A capture file's bytes.
std::vector<uint8_t> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// GOPs cut short at different lengths (the stream jumps to the next IDR),
// and a capture within a GOP that a later one continues from: every capture
// is byte for byte the one a fresh port makes from the same GOP's frames.
// With no idle time allowed, every IDR frees the decoder (a new GOP is
// decoded by a fresh one), while captures within a GOP keep it. Each is
// compared with a fresh port's capture decoded by frame threads.
TEST_F(HeadlessPlayer, CapturesAfterGopsOfDifferentSizesAreExact) {
  const Clip& clip = SampleClip();
  constexpr int kGop = 25;  // pictures per GOP in the clip
#if defined(__SANITIZE_THREAD__)
  constexpr int kReferenceThreads = 1;  // libavcodec's threads are not instrumented
#else
  constexpr int kReferenceThreads = 2;
#endif
  PortRegistry::Instance().SetDecoderIdle(std::chrono::milliseconds(0));
  const uint32_t h = Open();
  PortRegistry::Instance().SetDecoderIdle(qnv::player::HeadlessPort::kDecoderIdle);
  struct Step {
    int gop, pictures;  // feed GOP `gop` (from its parameter sets) up to this many pictures
  } steps[] = {{0, 1}, {1, 25}, {2, 4}, {3, 13}, {3, 20}, {5, 2}, {6, 25}, {7, 9}};
  int fedGop = -1;
  size_t fed = 0;
  for (const Step& step : steps) {
    const size_t gopStart = clip.UnitOfPicture(step.gop * kGop) - 3;  // SPS, PPS, SEI, IDR
    const int k = step.gop * kGop + step.pictures - 1;
    const size_t upTo = clip.UnitOfPicture(k) + 1;
    Feed(h, step.gop == fedGop ? fed : gopStart, upTo);
    EXPECT_EQ(PortRegistry::Instance().Stats(h)->decoder, step.gop == fedGop) << k;
    fedGop = step.gop;
    fed = upTo;
    const std::string path = dir_.Path("s.bmp"), fresh = dir_.Path("fresh.bmp");
    ASSERT_EQ(QNVPLAYER_OK, QnvPlayer_Capture(h, path.c_str())) << k;
    const uint32_t reference = Open();
    Feed(reference, gopStart, upTo);
    qnv::player::HeadlessPort::SetCaptureThreads(kReferenceThreads);
    ASSERT_EQ(QNVPLAYER_OK, QnvPlayer_Capture(reference, fresh.c_str()));
    qnv::player::HeadlessPort::SetCaptureThreads(1);
    EXPECT_EQ(QNVPLAYER_OK, QnvPlayer_ClosePort(reference));
    EXPECT_EQ(FileBytes(path), FileBytes(fresh)) << "picture " << k;
    ExpectShowsPicture(path, k, 30);
  }
}

// 10,000 frames in 100 GOPs of different sizes (key frames of 100 to 300 KB,
// P frames of 5 to 60 KB): after the first GOP, input allocates nothing.
TEST_F(HeadlessPlayer, FeedingAllocatesNothingAfterWarmUp) {
  const uint32_t h = Open();
  std::mt19937 rng{7};
  auto frame = [&](uint8_t type, size_t size) {
    std::vector<uint8_t> payload(size, 0x5A);
    payload[0] = payload[1] = payload[2] = 0;
    payload[3] = 1;
    payload[4] = type;
    return WrapFrame(payload, 0);
  };
  const auto sps = frame(0x67, 20), pps = frame(0x68, 8);
  std::vector<std::vector<uint8_t>> keys, deltas;
  for (int i = 0; i < 8; ++i) keys.push_back(frame(0x65, 100000 + rng() % 200000));
  for (int i = 0; i < 32; ++i) deltas.push_back(frame(0x41, 5000 + rng() % 55000));
  auto input = [&](const std::vector<uint8_t>& f) {
    ASSERT_EQ(QNVPLAYER_OK, QnvPlayer_Input(h, f.data(), int32_t(f.size())));
  };
  uint64_t frames = 0, counted = 0;
  for (int gop = 0; gop < 100; ++gop) {
    t_countNew = gop > 0;
    const uint64_t before = g_news.load();
    input(sps);
    input(pps);
    input(keys[size_t(gop) % keys.size()]);
    for (int i = 0; i < 97; ++i) input(deltas[rng() % deltas.size()]);
    t_countNew = false;
    frames += 100;
    if (gop > 0) counted += g_news.load() - before;
  }
  EXPECT_EQ(frames, 10000u);
  EXPECT_EQ(counted, 0u) << "allocations while feeding after the first GOP";
  const auto stats = PortRegistry::Instance().Stats(h);
  ASSERT_TRUE(stats);
  EXPECT_EQ(stats->framesIn, 10000u);
  EXPECT_EQ(stats->dropped, 0u);
}

size_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  size_t pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * size_t(sysconf(_SC_PAGESIZE));
}

std::atomic<int> g_debugLines{0};

// 1.5 million 1-byte frames after one IDR: the port's memory stays bounded,
// a capture still returns the IDR's picture in bounded time, and
// libavcodec's complaints about the garbage go to the debug channel.
TEST_F(HeadlessPlayer, FloodOfTinyFramesStaysBounded) {
  qnv::player::LibavLog::SetSinkForTesting([](const char*) { g_debugLines.fetch_add(1); });
  const Clip& clip = SampleClip();
  const uint32_t h = Open();
  Feed(h, 0, clip.UnitOfPicture(0) + 1);
  auto tiny = WrapFrame({0x41}, 0);
  const size_t rss0 = ResidentBytes();
  for (int i = 0; i < 1500000; ++i) {
    ASSERT_EQ(QNVPLAYER_OK, QnvPlayer_Input(h, tiny.data(), int32_t(tiny.size())));
  }
  const size_t grown = ResidentBytes() - std::min(rss0, ResidentBytes());
  EXPECT_LT(grown, size_t(16) << 20) << "bytes resident after the flood";
  const auto t0 = std::chrono::steady_clock::now();
  const std::string path = dir_.Path("flood.png");
  ASSERT_EQ(QNVPLAYER_OK, QnvPlayer_Capture(h, path.c_str()));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("capture after the flood: %.0f ms, %d debug lines\n", 1e3 * seconds,
              g_debugLines.load());
  ExpectShowsPicture(path, 0, 30);
  const auto stats = PortRegistry::Instance().Stats(h);
  ASSERT_TRUE(stats);
  EXPECT_GE(stats->dropped, 1500000u - qnv::player::HeadlessPort::kStoreLimits.maxFrames);
  EXPECT_GT(g_debugLines.load(), 0);
  EXPECT_LE(g_debugLines.load(),
            3 * qnv::player::LibavLog::kMaxLinesPerSecond * (1 + int(seconds)));
  qnv::player::LibavLog::SetSinkForTesting(nullptr);
}

// 64 headless ports fed the whole clip, as the SDK's maximum of live
// channels would: reports the CPU the player spends (no limit is asserted;
// the benchmark figures go in the report), then shows a capture on any of
// them gives the current picture. QNV_PLAYER_REAL_RATE=1 feeds at 25 frames
// per second (10 s) instead of as fast as possible.
TEST_F(HeadlessPlayer, SixtyFourIdlePortsCostLittle) {
  const Clip& clip = SampleClip();
  constexpr int kPorts = 64;
  std::vector<uint32_t> ports;
  for (int i = 0; i < kPorts; ++i) ports.push_back(Open());
  const char* real = std::getenv("QNV_PLAYER_REAL_RATE");
  const bool realRate = real != nullptr && real[0] == '1';
  std::vector<std::vector<uint8_t>> frames;
  for (size_t i = 0; i < clip.units.size(); ++i)
    frames.push_back(WrapFrame(clip.units[i], uint32_t(i)));

  auto cpu = [] {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  };
  const double cpu0 = cpu();
  const auto wall0 = std::chrono::steady_clock::now();
  auto next = wall0;
  for (size_t i = 0; i < frames.size(); ++i) {
    // Pictures arrive at 25 per second; parameter sets ride with the IDR.
    if (realRate && clip.pictureOf[i] >= 0) {
      next += std::chrono::milliseconds(40);
      std::this_thread::sleep_until(next);
    }
    for (uint32_t h : ports) QnvPlayer_Input(h, frames[i].data(), int32_t(frames[i].size()));
  }
  const double cpuUsed = cpu() - cpu0;
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  const double videoSeconds = double(clip.pictures.size()) / 25.0;
  std::printf(
      "64 headless ports, %zu frames each in %.2f s: %.3f s CPU = %.2f%% of one core "
      "for %.0f s of video (%.1f us per frame)\n",
      frames.size(), wall, cpuUsed, 100.0 * cpuUsed / videoSeconds, videoSeconds,
      1e6 * cpuUsed / double(frames.size() * kPorts));
  RecordProperty("cpu_seconds", std::to_string(cpuUsed));

  // A capture on any of them gives the current (last) picture.
  for (int i : {0, 17, 63}) {
    const std::string path = dir_.Path("p" + std::to_string(i) + ".jpg");
    const double c0 = cpu();
    ASSERT_EQ(QNVPLAYER_OK, QnvPlayer_Capture(ports[size_t(i)], path.c_str()));
    std::printf("capture on port %d: %.1f ms CPU\n", i, 1e3 * (cpu() - c0));
    ExpectShowsPicture(path, int(clip.pictures.size()) - 1, 25);
  }
}

}  // namespace
}  // namespace qnvtest
