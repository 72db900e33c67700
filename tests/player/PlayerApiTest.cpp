// The C functions: captures of runs of frames the caller holds (every
// format, exact pictures, warm decoders going on with only the new frames,
// refused runs, write failures, concurrent use), and windowed ports without
// a display (handles, waiting for a first picture, malformed input,
// concurrent feeding, capturing, opening and closing).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>
#include <vector>

#include "PlayerTestSupport.h"
#include "PortRegistry.h"
#include "RunDecoders.h"

namespace qnvtest {
namespace {

using qnv::player::PortRegistry;
using qnv::player::RunDecoders;

// A window id with no display behind it: the port decodes without drawing.
void* const kNoDisplayWindow = reinterpret_cast<void*>(0x1234);

constexpr int kGop = 25;  // pictures per GOP in the clip

class PlayerApi : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("DISPLAY");
    ASSERT_EQ(QNVPLAYER_OK, QnvPlayer_Init());
    PortRegistry::Instance().SetCaptureWait(std::chrono::milliseconds(2000));
  }
  void TearDown() override {
    EXPECT_EQ(QNVPLAYER_OK, QnvPlayer_Shutdown());
    EXPECT_EQ(PortRegistry::Instance().OpenPorts(), 0u);
    EXPECT_EQ(RunDecoders::Instance().Kept(), 0u);
  }
  static uint32_t Open(void* window = kNoDisplayWindow) {
    uint32_t h = 0;
    EXPECT_EQ(QNVPLAYER_OK, QnvPlayer_OpenPort(&h, window, 0, ""));
    EXPECT_NE(h, 0u);
    return h;
  }
  // The unit of the sequence parameter set in front of GOP g's IDR picture.
  static size_t GopStart(int g) { return SampleClip().UnitOfPicture(g * kGop) - 3; }
  static size_t After(int k) { return SampleClip().UnitOfPicture(k) + 1; }
  static int Capture(uint32_t* decoder, uint32_t keepMs, const FrameRunBytes& run,
                     const std::string& path) {
    return QnvPlayer_CaptureRun(decoder, keepMs, run.records.data(), run.count, run.data.data(),
                                run.data.size(), path.c_str());
  }
  TempDir m_dir;
};

std::vector<uint8_t> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

TEST_F(PlayerApi, RunCaptureWritesTheNewestPictureInEveryFormat) {
  // From the second GOP's parameter sets to a P picture within it.
  const int k = 37;
  const FrameRunBytes run = ClipRun(GopStart(1), After(k));
  struct Case {
    const char* name;
    double minPsnr;
    uint8_t magic0;
  } cases[] = {{"a.png", 30, 0x89},  {"a.bmp", 30, 'B'},   {"a.jpg", 25, 0xFF},
               {"a.JPEG", 25, 0xFF}, {"a.snap", 25, 0xFF}, {"noext", 25, 0xFF}};
  for (const Case& c : cases) {
    const std::string path = m_dir.Path(c.name);
    uint32_t decoder = 0;
    ASSERT_EQ(QNVPLAYER_OK, Capture(&decoder, 0, run, path)) << c.name;
    EXPECT_EQ(decoder, 0u) << "keepMs 0 keeps no decoder";
    FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::fgetc(f), c.magic0) << c.name;
    std::fclose(f);
    ExpectShowsPicture(path, k, c.minPsnr);
  }
  // Extension blocks in front of the payloads are skipped.
  const std::string path = m_dir.Path("ext.png");
  uint32_t decoder = 0;
  ASSERT_EQ(QNVPLAYER_OK, Capture(&decoder, 0, ClipRun(GopStart(1), After(k), true), path));
  ExpectShowsPicture(path, k, 30);
}

// A warm decoder goes on with only the frames since its last run, across
// GOPs of different lengths (the stream jumping to the next key frame), and
// every picture is byte for byte the one a fresh decoder makes from the
// GOP's start.
TEST_F(PlayerApi, WarmDecoderDecodesOnlyWhatCameSinceAndStaysExact) {
  struct Step {
    int gop, pictures;  // GOP `gop` up to this many of its pictures
  } steps[] = {{0, 1}, {0, 25}, {2, 4}, {3, 13}, {3, 20}, {3, 20}, {5, 2}, {6, 25}, {7, 9}};
  uint32_t warm = 0;
  int fedGop = -1;
  size_t fed = 0;
  uint64_t pictures = 0;
  for (const Step& step : steps) {
    const int k = step.gop * kGop + step.pictures - 1;
    const size_t from = step.gop == fedGop ? fed : GopStart(step.gop);
    const std::string path = m_dir.Path("warm.bmp"), fresh = m_dir.Path("fresh.bmp");
    const uint32_t before = warm;
    ASSERT_EQ(QNVPLAYER_OK, Capture(&warm, 60000, ClipRun(from, After(k)), path)) << k;
    ASSERT_NE(warm, 0u);
    if (before != 0) {
      EXPECT_EQ(warm, before) << "the same decoder goes on";
    }
    // Only the pictures of this run were decoded (none for an empty run).
    // At a key frame libavcodec hands out one picture more (it empties its
    // output at new parameter sets).
    const uint64_t now = RunDecoders::Instance().Pictures(warm);
    if (step.gop == fedGop) {
      EXPECT_EQ(now - pictures, uint64_t(k - SampleClip().pictureOf[fed - 1])) << k;
    } else {
      EXPECT_LE(now - pictures, uint64_t(step.pictures + 1)) << k;
    }
    pictures = now;
    fedGop = step.gop;
    fed = After(k);
    uint32_t none = 0;
    ASSERT_EQ(QNVPLAYER_OK, Capture(&none, 0, ClipRun(GopStart(step.gop), After(k)), fresh));
    EXPECT_EQ(FileBytes(path), FileBytes(fresh)) << "picture " << k;
    ExpectShowsPicture(path, k, 30);
  }
  EXPECT_EQ(RunDecoders::Instance().Kept(), 1u);
  EXPECT_EQ(QNVPLAYER_OK, QnvPlayer_ReleaseDecoder(warm));
  EXPECT_EQ(RunDecoders::Instance().Kept(), 0u);
}

TEST_F(PlayerApi, KeptDecodersExpireAndReleasedOnesAreRefused) {
  const FrameRunBytes run = ClipRun(GopStart(0), After(3));
  const std::string path = m_dir.Path("k.jpg");
  uint32_t decoder = 0;
  ASSERT_EQ(QNVPLAYER_OK, Capture(&decoder, 100, run, path));
  ASSERT_NE(decoder, 0u);
  EXPECT_EQ(RunDecoders::Instance().Kept(), 1u);
  // Unused for its time: freed by the player's own thread.
  for (int i = 0; i < 200 && RunDecoders::Instance().Kept() != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(RunDecoders::Instance().Kept(), 0u);
  uint32_t gone = decoder;
  EXPECT_EQ(QNVPLAYER_ERR_HANDLE, Capture(&gone, 100, run, path));
  // Released at once; handles are not reused.
  uint32_t again = 0;
  ASSERT_EQ(QNVPLAYER_OK, Capture(&again, 60000, run, path));
  EXPECT_NE(again, decoder);
  EXPECT_EQ(QNVPLAYER_OK, QnvPlayer_ReleaseDecoder(again));
  EXPECT_EQ(QNVPLAYER_ERR_HANDLE, QnvPlayer_ReleaseDecoder(again));
  EXPECT_EQ(QNVPLAYER_ERR_HANDLE, QnvPlayer_ReleaseDecoder(0));
  // Shutdown frees what is kept, and a later start works.
  uint32_t kept = 0;
  ASSERT_EQ(QNVPLAYER_OK, Capture(&kept, 60000, run, path));
  EXPECT_EQ(QNVPLAYER_OK, QnvPlayer_Shutdown());
  EXPECT_EQ(RunDecoders::Instance().Kept(), 0u);
  EXPECT_EQ(QNVPLAYER_ERR_HANDLE, Capture(&kept, 60000, run, path));
  EXPECT_EQ(QNVPLAYER_OK, QnvPlayer_Init());
}

TEST_F(PlayerApi, RunsThatDecodeToNothingOrDoNotFitAreRefused) {
  const Clip& clip = SampleClip();
  const std::string path = m_dir.Path("none.jpg");
  struct stat st;
  // P pictures from the middle of a GOP: nothing to decode them from.
  uint32_t decoder = 0;
  EXPECT_EQ(QNVPLAYER_ERR_NO_PICTURE,
            Capture(&decoder, 60000, ClipRun(clip.UnitOfPicture(5), After(20)), path));
  EXPECT_EQ(decoder, 0u);
  EXPECT_NE(0, stat(path.c_str(), &st)) << "no file for a failed capture";
  EXPECT_EQ(QNVPLAYER_ERR_NO_PICTURE, Capture(&decoder, 0, FrameRunBytes(), path));

  // Refused before anything is decoded: a warm decoder stays as it was.
  ASSERT_EQ(QNVPLAYER_OK, Capture(&decoder, 60000, ClipRun(GopStart(0), After(2)), path));
  const uint64_t pictures = RunDecoders::Instance().Pictures(decoder);
  FrameRunBytes bad = ClipRun(After(2), After(6));
  bad.records[bad.records.size() - 40 + 4] = 'q';  // the last record's magic
  EXPECT_EQ(QNVPLAYER_ERR_ARGUMENT, Capture(&decoder, 60000, bad, path));
  const FrameRunBytes good = ClipRun(After(2), After(6));
  EXPECT_EQ(QNVPLAYER_ERR_ARGUMENT,
            QnvPlayer_CaptureRun(&decoder, 60000, good.records.data(), good.count, good.data.data(),
                                 good.data.size() - 1, path.c_str()));
  EXPECT_EQ(QNVPLAYER_ERR_ARGUMENT,
            QnvPlayer_CaptureRun(&decoder, 60000, nullptr, good.count, good.data.data(),
                                 good.data.size(), path.c_str()));
  EXPECT_EQ(QNVPLAYER_ERR_ARGUMENT, Capture(&decoder, 60000, good, ""));
  EXPECT_EQ(QNVPLAYER_ERR_ARGUMENT,
            QnvPlayer_CaptureRun(nullptr, 0, good.records.data(), good.count, good.data.data(),
                                 good.data.size(), path.c_str()));
  EXPECT_EQ(RunDecoders::Instance().Pictures(decoder), pictures);
  ASSERT_EQ(QNVPLAYER_OK, Capture(&decoder, 60000, good, m_dir.Path("good.png")));
  ExpectShowsPicture(m_dir.Path("good.png"), 6, 30);
  EXPECT_EQ(QNVPLAYER_OK, QnvPlayer_ReleaseDecoder(decoder));
}

TEST_F(PlayerApi, WriteFailuresAreReportedAndKeepTheDecoder) {
  const FrameRunBytes run = ClipRun(GopStart(0), After(2));
  uint32_t decoder = 0;
  EXPECT_EQ(QNVPLAYER_ERR_WRITE, Capture(&decoder, 60000, run, m_dir.Path("no/such/dir.jpg")));
  EXPECT_NE(decoder, 0u) << "the picture was decoded; only the file failed";
  // A full device: the write fails, and a device is never removed.
  EXPECT_EQ(QNVPLAYER_ERR_WRITE, Capture(&decoder, 60000, FrameRunBytes(), "/dev/full"));
  struct stat st;
  EXPECT_EQ(0, stat("/dev/full", &st));
  EXPECT_EQ(QNVPLAYER_ERR_WRITE, Capture(&decoder, 60000, FrameRunBytes(), m_dir.path()));
  EXPECT_EQ(QNVPLAYER_OK, Capture(&decoder, 60000, FrameRunBytes(), m_dir.Path("ok.bmp")));
  ExpectShowsPicture(m_dir.Path("ok.bmp"), 2, 30);
  EXPECT_EQ(QNVPLAYER_OK, QnvPlayer_ReleaseDecoder(decoder));
}

// Several callers, some sharing a decoder, one releasing decoders under the
// others; run under ThreadSanitizer this shows the locking is sound.
TEST_F(PlayerApi, ConcurrentRunCapturesAndReleases) {
  std::atomic<uint32_t> shared{0};
  std::vector<std::thread> threads;
  std::atomic<int> ok{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      uint32_t own = 0;
      for (int n = 0; n < 6; ++n) {
        const int k = (n % 2) * kGop + 2 + n;
        const std::string path = m_dir.Path("c" + std::to_string(t) + ".png");
        // Fresh runs from a GOP's start, so whichever decoder is used
        // (shared ones included) gives this very picture.
        uint32_t decoder = t % 2 ? own : shared.load();
        const int rc = Capture(&decoder, 60000, ClipRun(GopStart(k / kGop), After(k)), path);
        EXPECT_TRUE(rc == QNVPLAYER_OK || rc == QNVPLAYER_ERR_HANDLE) << rc;
        if (rc != QNVPLAYER_OK) {
          // Released under it: go on without.
          if (t % 2) {
            own = 0;
          } else {
            shared.compare_exchange_strong(decoder, 0);
          }
          continue;
        }
        ok.fetch_add(1);
        ExpectShowsPicture(path, k, 30);
        if (t % 2) {
          own = decoder;
        } else {
          shared.store(decoder);
        }
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < 20; ++i) {
      QnvPlayer_ReleaseDecoder(shared.load());
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
  });
  for (auto& t : threads) t.join();
  EXPECT_GE(ok.load(), 12);
}

// ---- windowed ports without a display -------------------------------------------------------

TEST_F(PlayerApi, PortCaptureWithoutKeyFrameFailsAfterShortWait) {
  const Clip& clip = SampleClip();
  PortRegistry::Instance().SetCaptureWait(std::chrono::milliseconds(100));
  const uint32_t h = Open();
  const std::string path = m_dir.Path("none.jpg");
  EXPECT_EQ(QNVPLAYER_ERR_NO_PICTURE, QnvPlayer_Capture(h, path.c_str()));
  Feed(h, clip.UnitOfPicture(5), clip.UnitOfPicture(8));
  EXPECT_EQ(QNVPLAYER_ERR_NO_PICTURE, QnvPlayer_Capture(h, path.c_str()));
  struct stat st;
  EXPECT_NE(0, stat(path.c_str(), &st)) << "no file for a failed capture";
}

TEST_F(PlayerApi, PortCaptureWaitsForTheNextKeyFrame) {
  const Clip& clip = SampleClip();
  const uint32_t h = Open();
  const std::string path = m_dir.Path("wait.png");
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

TEST_F(PlayerApi, PortHandlesZeroUnknownAndNoWindowAreRefused) {
  const auto frame = WrapFrame(SampleClip().units[0], 0);
  const std::string path = m_dir.Path("x.jpg");
  for (uint32_t h : {0u, 12345678u}) {
    EXPECT_EQ(QNVPLAYER_ERR_HANDLE, QnvPlayer_Input(h, frame.data(), int32_t(frame.size())));
    EXPECT_EQ(QNVPLAYER_ERR_HANDLE, QnvPlayer_Capture(h, path.c_str()));
    EXPECT_EQ(QNVPLAYER_ERR_HANDLE, QnvPlayer_ClosePort(h));
  }
  EXPECT_EQ(QNVPLAYER_ERR_ARGUMENT, QnvPlayer_OpenPort(nullptr, kNoDisplayWindow, 0, ""));
  uint32_t none = 7;
  EXPECT_EQ(QNVPLAYER_ERR_ARGUMENT, QnvPlayer_OpenPort(&none, nullptr, 0, ""));
  EXPECT_EQ(none, 0u);
  // Handles are distinct, nonzero and never come back after a close.
  const uint32_t a = Open(), b = Open();
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

TEST_F(PlayerApi, PortCloseWakesAWaitingCapture) {
  const uint32_t h = Open();
  std::thread closer([h] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(QNVPLAYER_OK, QnvPlayer_ClosePort(h));
  });
  // Would wait 2 s for a picture; the close ends the wait.
  EXPECT_EQ(QNVPLAYER_ERR_HANDLE, QnvPlayer_Capture(h, m_dir.Path("closed.jpg").c_str()));
  closer.join();
}

TEST_F(PlayerApi, PortMalformedInputRefused) {
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

// Ports fed, captured, opened and closed from several threads at once; run
// under ThreadSanitizer this shows the locking is sound.
TEST_F(PlayerApi, PortsFedCapturedOpenedAndClosedConcurrently) {
  const Clip& clip = SampleClip();
  PortRegistry::Instance().SetCaptureWait(std::chrono::milliseconds(300));
  std::vector<uint32_t> ports;
  for (int i = 0; i < 4; ++i) ports.push_back(Open());
  constexpr int kLast = 30;
  const size_t units = clip.UnitOfPicture(kLast) + 1;
  std::atomic<bool> feeding{true};
  std::atomic<int> captured{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (size_t i = 0; i < units; ++i) {
        const auto frame = WrapFrame(clip.units[i], uint32_t(i));
        for (size_t p = size_t(t); p < ports.size(); p += 2)
          QnvPlayer_Input(ports[p], frame.data(), int32_t(frame.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  threads.emplace_back([&] {
    std::mt19937 rng{1};
    for (int n = 0; feeding.load() || n < 3; ++n) {
      const std::string path = m_dir.Path("c" + std::to_string(n % 3) + ".jpg");
      const int rc = QnvPlayer_Capture(ports[rng() % ports.size()], path.c_str());
      if (rc == QNVPLAYER_OK) captured.fetch_add(1);
      EXPECT_TRUE(rc == QNVPLAYER_OK || rc == QNVPLAYER_ERR_NO_PICTURE) << rc;
    }
  });
  threads.emplace_back([&] {
    const auto frame = WrapFrame(clip.units[0], 0);
    for (int i = 0; i < 10; ++i) {
      uint32_t h = 0;
      ASSERT_EQ(QNVPLAYER_OK, QnvPlayer_OpenPort(&h, kNoDisplayWindow, 0, ""));
      QnvPlayer_Input(h, frame.data(), int32_t(frame.size()));
      EXPECT_EQ(QNVPLAYER_OK, QnvPlayer_ClosePort(h));
      EXPECT_EQ(QNVPLAYER_ERR_HANDLE, QnvPlayer_Input(h, frame.data(), int32_t(frame.size())));
    }
  });
  threads[0].join();
  threads[1].join();
  feeding.store(false);
  for (size_t t = 2; t < threads.size(); ++t) threads[t].join();
  EXPECT_GT(captured.load(), 0);
  // Every port ends with the last picture fed, once its thread caught up.
  for (uint32_t h : ports) {
    const std::string path = m_dir.Path("final.png");
    for (int i = 0; i < 100; ++i) {
      ASSERT_EQ(QNVPLAYER_OK, QnvPlayer_Capture(h, path.c_str()));
      Picture image = ReadImageFile(path);
      ASSERT_TRUE(image);
      if (BestMatchingPicture(*image, kLast - 12, kLast) == kLast) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ExpectShowsPicture(path, kLast, 30);
  }
}

}  // namespace
}  // namespace qnvtest
