// Captures of channels without a window, end to end against the simulator:
// the player is neither fed nor loaded for them; a capture decodes from the
// key frame the pre-record stretch holds, then only what came since; without
// one it waits for the next key frame, up to its time-out; it never waits on
// a receive thread or a paused stream; it races channel close and recording
// open safely; and it holds no session lock while it waits. Most cases use a
// fake player that records the runs of frames it is handed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QNVNetSdk.h"
#include "TestClip.h"
#include "live/CChannel.h"
#include "platform/FailureNote.h"
#include "player/PlayerApi.h"
#include "support/SimulatorFixture.h"
#include "support/StreamCapture.h"

namespace qnv {
namespace {

using test::Le32At;
using test::StreamCapture;
using Clock = std::chrono::steady_clock;

// What the fake player was handed: each run's frames by the device's frame
// counter, with the type of each frame's first NAL unit.
struct SRun {
  std::vector<uint32_t> counters;
  std::vector<int> types;
  uint32_t decoderIn = 0;
  uint32_t decoderOut = 0;
};

struct SFakePlayer {
  std::mutex mutex;
  std::vector<SRun> runs;
  std::vector<uint32_t> released;
  std::atomic<int> opens{0}, inputs{0};
  std::atomic<int> decodeDelayMs{0};
  uint32_t nextDecoder = 100;

  static SFakePlayer& Get() {
    static SFakePlayer p;
    return p;
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(mutex);
    runs.clear();
    released.clear();
    opens = 0;
    inputs = 0;
    decodeDelayMs = 0;
  }
  std::vector<SRun> Runs() {
    std::lock_guard<std::mutex> lock(mutex);
    return runs;
  }
  std::vector<uint32_t> Released() {
    std::lock_guard<std::mutex> lock(mutex);
    return released;
  }

  static int Open(uint32_t* handle, void*, int32_t, const char*) {
    Get().opens.fetch_add(1);
    *handle = 4242;
    return 0;
  }
  static int Input(uint32_t, const uint8_t*, int32_t) {
    Get().inputs.fetch_add(1);
    return 0;
  }
  static int CaptureRun(uint32_t* decoder, uint32_t keepMs, const uint8_t* records, uint32_t count,
                        const uint8_t* data, uint64_t, const char*) {
    SFakePlayer& p = Get();
    SRun run;
    run.decoderIn = *decoder;
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* r = records + size_t(i) * 40;
      run.counters.push_back(uint32_t(r[0]) | uint32_t(r[1]) << 8 | uint32_t(r[2]) << 16 |
                             uint32_t(r[3]) << 24);
      const uint8_t* body = data + (uint32_t(r[28]) | uint32_t(r[29]) << 8 | uint32_t(r[30]) << 16 |
                                    uint32_t(r[31]) << 24);
      run.types.push_back(QNVNetFrameNal::TypeOf(body[body[2] == 1 ? 3 : 4]));
    }
    if (int ms = p.decodeDelayMs.load()) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    std::lock_guard<std::mutex> lock(p.mutex);
    // As the player: a decoder released during the call is not kept.
    if (std::find(p.released.begin(), p.released.end(), *decoder) != p.released.end())
      *decoder = 0;
    else if (*decoder == 0 && keepMs > 0)
      *decoder = ++p.nextDecoder;
    run.decoderOut = *decoder;
    p.runs.push_back(run);
    return 0;
  }
  static int Release(uint32_t decoder) {
    std::lock_guard<std::mutex> lock(Get().mutex);
    Get().released.push_back(decoder);
    return 0;
  }
};

const PlayerApi kFake{[] { return 0; },         [] { return 0; },
                      &SFakePlayer::Open,       [](uint32_t) { return 0; },
                      &SFakePlayer::Input,      [](uint32_t, const char*) { return 0; },
                      &SFakePlayer::CaptureRun, &SFakePlayer::Release};

bool PlayerMapped() {
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);)
    if (line.find("libQNVPlayer.so") != std::string::npos) return true;
  return false;
}

// A run decodes: it begins with a sequence parameter set, holds an IDR
// picture and misses no frame.
void ExpectDecodable(const SRun& run) {
  ASSERT_FALSE(run.counters.empty());
  EXPECT_EQ(run.types.front(), QNVNetFrameNal::kTypeSps);
  EXPECT_NE(std::find(run.types.begin(), run.types.end(), QNVNetFrameNal::kTypeIdr),
            run.types.end());
  for (size_t i = 1; i < run.counters.size(); ++i)
    ASSERT_EQ(run.counters[i], run.counters[i - 1] + 1) << "hole at " << i;
}

class Capture : public test::SimulatorTest {
 protected:
  // The sample clip (640x360, a key frame every 25 pictures), or the
  // synthetic source at 80 Mbit/s whose key frames (377 KB) never fit the
  // default 358,400-byte stretch, with a key frame every `gop` pictures.
  void Start(bool clip, int gop = 50, bool fake = true) {
    m_options = {};
    m_options.fps = 100;
    if (clip) {
      m_options.clipPath = QNV_SAMPLE_CLIP;
    } else {
      m_options.syntheticBitrate = 80000000;
      m_options.syntheticGop = gop;
    }
    test::SimulatorTest::SetUp();
    SFakePlayer::Get().Reset();
    if (fake) SetPlayerForTesting(&kFake);
    StreamCapture::Instance().Clear(false);
    QNVNet_SetCallback(nullptr, &StreamCapture::Callback, nullptr, 0);
    m_id = Login();
    ASSERT_EQ(QNVNet_LiveOpen(&m_handle, m_id, nullptr), 0u);
  }
  devsim::SimulatorOptions Options() override { return m_options; }
  void SetUp() override { m_path = "/tmp/qnv_capture_" + std::to_string(getpid()) + ".png"; }
  void TearDown() override {
    if (sim) test::SimulatorTest::TearDown();
    SetPlayerForTesting(nullptr);
    CChannel::SetCaptureWaitForTesting(0);
    unlink(m_path.c_str());
  }
  void WaitFrames(uint64_t n) {
    const uint64_t at = StreamCapture::Instance().Count();
    ASSERT_TRUE(WaitFor([&] { return StreamCapture::Instance().Count() >= at + n; }, 20000));
  }
  uint32_t CaptureNow() { return QNVNet_LiveCapture(m_handle, m_path.c_str()); }

  devsim::SimulatorOptions m_options;
  uint32_t m_id = 0, m_handle = 0;
  std::string m_path;
};

TEST_F(Capture, WindowlessChannelsFeedThePlayerNothingAndWindowedOnesEveryFrame) {
  Start(true);
  WaitFrames(100);
  EXPECT_EQ(SFakePlayer::Get().opens.load(), 0);
  EXPECT_EQ(SFakePlayer::Get().inputs.load(), 0);
  uint32_t windowed = 0;
  ASSERT_EQ(QNVNet_LiveOpen(&windowed, m_id, reinterpret_cast<HWND>(0x99)), 0u);
  EXPECT_EQ(SFakePlayer::Get().opens.load(), 1);
  ASSERT_TRUE(WaitFor([] { return SFakePlayer::Get().inputs.load() >= 50; }, 10000));
  EXPECT_EQ(QNVNet_LiveClose(windowed), 0u);
}

TEST_F(Capture, PlayerIsLoadedOnlyWhenACaptureAsks) {
  if (PlayerMapped()) GTEST_SKIP() << "an earlier test in this process loaded the player";
  Start(true, 50, false);
  ASSERT_EQ(QNVNet_LiveSetPreRecord(m_handle, 1000, 0), 0u);
  WaitFrames(100);
  EXPECT_FALSE(PlayerMapped()) << "windowless channels alone load no player";
  const uint32_t rc = CaptureNow();
  if (!PlayerIsLoaded()) GTEST_SKIP() << "libQNVPlayer.so is not beside the test";
  EXPECT_EQ(rc, 0u);
  EXPECT_TRUE(PlayerMapped());
}

TEST_F(Capture, FromTheHeldKeyFrameThenOnlyWhatCameSince) {
  Start(true);
  // A timed stretch longer than a group of pictures always holds a key frame.
  ASSERT_EQ(QNVNet_LiveSetPreRecord(m_handle, 1000, 0), 0u);
  WaitFrames(150);
  ASSERT_EQ(CaptureNow(), 0u);
  ASSERT_EQ(CaptureNow(), 0u);  // right after: only what arrived since
  WaitFrames(40);
  ASSERT_EQ(CaptureNow(), 0u);
  const auto runs = SFakePlayer::Get().Runs();
  ASSERT_EQ(runs.size(), 3u);
  ExpectDecodable(runs[0]);
  EXPECT_EQ(runs[0].decoderIn, 0u);
  uint32_t last = runs[0].counters.back();
  for (size_t i = 1; i < runs.size(); ++i) {
    EXPECT_EQ(runs[i].decoderIn, runs[0].decoderOut) << "the warm decoder goes on";
    if (runs[i].counters.empty()) continue;  // nothing new: the same picture
    // From where the last one stopped, or from a key frame that came since
    // (less to decode); up to the newest frame.
    if (runs[i].counters.front() != last + 1) {
      EXPECT_EQ(runs[i].types.front(), QNVNetFrameNal::kTypeSps) << i;
      EXPECT_GT(runs[i].counters.front(), last + 1) << i;
    }
    // (The 40th frame may still be on its way from the callback to the queue.)
    EXPECT_GE(runs[i].counters.back(), last + (i == 2 ? 39 : 0)) << i;
    last = runs[i].counters.back();
  }
  // Closing the channel lets its warm decoder go.
  ASSERT_EQ(QNVNet_LiveClose(m_handle), 0u);
  EXPECT_EQ(SFakePlayer::Get().Released(), std::vector<uint32_t>{runs[0].decoderOut});
}

TEST_F(Capture, WithoutAKeyFrameHeldWaitsForTheNextOne) {
  Start(false, 50);  // a key frame every half second, each too large for the stretch
  WaitFrames(60);
  const uint64_t before = StreamCapture::Instance().Count();
  ASSERT_EQ(CaptureNow(), 0u);
  const auto runs = SFakePlayer::Get().Runs();
  ASSERT_EQ(runs.size(), 1u);
  ExpectDecodable(runs[0]);
  // Gathered from a key frame that arrived after the call (or was on its way
  // from the callback to the queue then).
  EXPECT_GE(runs[0].counters.front() + 1, before);
}

TEST_F(Capture, GivesUpAfterItsTimeOutAndHoldsNoSessionLockMeanwhile) {
  Start(false, 3000);  // the next key frame comes 30 s on
  CChannel::SetCaptureWaitForTesting(600);
  WaitFrames(20);
  std::atomic<bool> done{false};
  uint32_t rc = 0;
  std::string why;
  const auto t0 = Clock::now();
  std::thread capture([&] {
    rc = CaptureNow();
    why = platform::LastFailure().text;
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  // The session answers other calls while the capture waits.
  EXPECT_EQ(QNVNet_PTZCtrlSend(m_id, 1, 2, 3, 4), 0u);
  EXPECT_EQ(QNVNet_LivePlay(m_handle), 0u);
  EXPECT_FALSE(done.load()) << "the capture was still waiting";
  capture.join();
  EXPECT_EQ(rc, QNVNET_ERR_CAPTURE);
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(600));
  EXPECT_NE(why.find("no key frame arrived within 600 ms"), std::string::npos) << why;
  EXPECT_TRUE(SFakePlayer::Get().Runs().empty());
}

std::atomic<uint32_t> g_handle{0};
std::string g_path;
std::atomic<int> g_callbackCaptures{0};
std::atomic<uint32_t> g_callbackResult{0};
std::atomic<int64_t> g_callbackMs{0};
bool CaptureFromCallback(uint32_t clientId, char* ip, uint16_t port, char* frame, int32_t length,
                         uint32_t user) {
  StreamCapture::Callback(clientId, ip, port, frame, length, user);
  if (g_handle != 0 && StreamCapture::Instance().Count() > 60 && g_callbackCaptures == 0) {
    g_callbackCaptures = 1;
    const auto t0 = Clock::now();
    g_callbackResult = QNVNet_LiveCapture(g_handle, g_path.c_str());
    g_callbackMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    g_callbackCaptures = 2;
  }
  return true;
}

TEST_F(Capture, OnTheReceiveThreadItNeverWaits) {
  for (bool keyFrameHeld : {false, true}) {
    SCOPED_TRACE(keyFrameHeld ? "key frame held" : "no key frame held");
    Start(keyFrameHeld, 3000);
    CChannel::SetCaptureWaitForTesting(4000);
    if (keyFrameHeld) {
      ASSERT_EQ(QNVNet_LiveSetPreRecord(m_handle, 1000, 0), 0u);
    }
    g_callbackCaptures = 0;
    g_path = m_path;
    g_handle = m_handle;
    QNVNet_SetCallback(nullptr, &CaptureFromCallback, nullptr, 0);
    ASSERT_TRUE(WaitFor([] { return g_callbackCaptures.load() == 2; }, 10000));
    g_handle = 0;
    if (keyFrameHeld) {
      EXPECT_EQ(g_callbackResult.load(), 0u);  // the fake writes nothing
      ASSERT_EQ(SFakePlayer::Get().Runs().size(), 1u);
      ExpectDecodable(SFakePlayer::Get().Runs()[0]);
    } else {
      EXPECT_EQ(g_callbackResult.load(), QNVNET_ERR_CAPTURE);
      EXPECT_LT(g_callbackMs.load(), 2000) << "it did not wait for a key frame";
      EXPECT_TRUE(SFakePlayer::Get().Runs().empty());
    }
    WaitFrames(20);  // frames still flow
    test::SimulatorTest::TearDown();
    sim.reset();
  }
}

TEST_F(Capture, PausedChannelCapturesFromWhatItHolds) {
  for (bool keyFrameHeld : {true, false}) {
    SCOPED_TRACE(keyFrameHeld ? "key frame held" : "no key frame held");
    Start(keyFrameHeld, 3000);
    if (keyFrameHeld) {
      ASSERT_EQ(QNVNet_LiveSetPreRecord(m_handle, 1000, 0), 0u);
    }
    WaitFrames(60);
    ASSERT_EQ(QNVNet_LivePause(m_handle), 0u);
    const auto t0 = Clock::now();
    const uint32_t rc = CaptureNow();
    if (keyFrameHeld) {
      EXPECT_EQ(rc, 0u);
      ASSERT_EQ(SFakePlayer::Get().Runs().size(), 1u);
      ExpectDecodable(SFakePlayer::Get().Runs()[0]);
    } else {
      EXPECT_EQ(rc, QNVNET_ERR_CAPTURE);
      EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(2000)) << "it did not wait";
      EXPECT_NE(std::string(platform::LastFailure().text).find("paused"), std::string::npos);
    }
    test::SimulatorTest::TearDown();
    sim.reset();
  }
}

TEST_F(Capture, RacesChannelCloseWhileWaiting) {
  Start(false, 3000);
  WaitFrames(20);
  // Waiting for a key frame: the close ends the wait.
  uint32_t rc = 0;
  std::thread waiting([&] { rc = CaptureNow(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  const auto t0 = Clock::now();
  EXPECT_EQ(QNVNet_LiveClose(m_handle), 0u);
  waiting.join();
  EXPECT_EQ(rc, QNVNET_ERR_CAPTURE);
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(3000));
}

TEST_F(Capture, RacesChannelCloseWhileDecoding) {
  // The decoder a capture keeps is released once, after the decoding,
  // whichever of the capture and the close finishes last.
  Start(true);
  ASSERT_EQ(QNVNet_LiveSetPreRecord(m_handle, 1000, 0), 0u);
  WaitFrames(60);
  uint32_t rc = 0;
  ASSERT_EQ(CaptureNow(), 0u);
  const uint32_t kept = SFakePlayer::Get().Runs().back().decoderOut;
  ASSERT_NE(kept, 0u);
  SFakePlayer::Get().decodeDelayMs = 300;
  std::thread decoding([&] { rc = CaptureNow(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(QNVNet_LiveClose(m_handle), 0u);
  decoding.join();
  EXPECT_EQ(rc, 0u);
  EXPECT_EQ(SFakePlayer::Get().Runs().back().decoderIn, kept);
  EXPECT_EQ(SFakePlayer::Get().Released(), std::vector<uint32_t>{kept});
}

TEST_F(Capture, StreamThatEndsEndsTheWait) {
  Start(false, 3000);
  CChannel::SetCaptureWaitForTesting(4000);
  WaitFrames(20);
  uint32_t rc = 0;
  std::string why;
  std::thread waiting([&] {
    rc = CaptureNow();
    why = platform::LastFailure().text;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  const auto t0 = Clock::now();
  sim->SetStreamFault({devsim::StreamFault::kDropMidFrame, 0, 1});
  waiting.join();
  EXPECT_EQ(rc, QNVNET_ERR_CAPTURE);
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(3000));
  EXPECT_NE(why.find("stream ended"), std::string::npos) << why;
  // Later captures of the silent channel do not wait either.
  EXPECT_EQ(CaptureNow(), QNVNET_ERR_CAPTURE);
  EXPECT_NE(std::string(platform::LastFailure().text).find("stream has ended"), std::string::npos);
}

TEST_F(Capture, RacesRecordingOpens) {
  Start(true);
  ASSERT_EQ(QNVNet_LiveSetPreRecord(m_handle, 1000, 0), 0u);
  WaitFrames(150);
  const std::string dir = "/tmp/qnv_capture_rec_" + std::to_string(getpid());
  std::system(("rm -rf " + dir + " && mkdir -p " + dir).c_str());
  std::atomic<int> failures{0};
  std::thread captures([&] {
    for (int i = 0; i < 30; ++i) {
      if (CaptureNow() != 0) failures.fetch_add(1);
    }
  });
  for (int i = 0; i < 10; ++i) {
    uint32_t id = 0;
    const std::string path = dir + "/r" + std::to_string(i) + ".dat";
    ASSERT_EQ(QNVNet_LiveSaveOpen(m_handle, path.c_str(), id), 0u);
    WaitFrames(5);
    ASSERT_EQ(QNVNet_LiveSaveClose(m_handle, id), 0u);
    // Each recording starts with its stretch from a key frame and misses nothing.
    std::ifstream index(dir + "/r" + std::to_string(i) + ".idx", std::ios::binary);
    std::vector<uint8_t> x{std::istreambuf_iterator<char>(index), {}};
    ASSERT_GE(x.size(), 80u);
    for (size_t at = 40; at + 40 <= x.size(); at += 40)
      ASSERT_EQ(Le32At(x, at), Le32At(x, at - 40) + 1) << "recording " << i;
  }
  captures.join();
  EXPECT_EQ(failures.load(), 0);
  for (const SRun& run : SFakePlayer::Get().Runs()) {
    for (size_t i = 1; i < run.counters.size(); ++i)
      ASSERT_EQ(run.counters[i], run.counters[i - 1] + 1);
  }
  std::system(("rm -rf " + dir).c_str());
}

// With the real player: the image holds a picture of the clip, from the key
// frame held and again right after, from only the frames since.
TEST_F(Capture, RealPlayerWritesTheCurrentPicture) {
  Start(true, 50, false);
  if (!StartPlayer()) GTEST_SKIP() << "libQNVPlayer.so is not beside the test";
  ASSERT_EQ(QNVNet_LiveSetPreRecord(m_handle, 1000, 0), 0u);
  WaitFrames(150);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(CaptureNow(), 0u) << platform::LastFailure().text;
    qnvtest::Picture image = qnvtest::ReadImageFile(m_path);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 640);
    EXPECT_EQ(image->height, 360);
    EXPECT_GT(qnvtest::PsnrAgainstClip(*image, qnvtest::BestMatchingPicture(*image)), 30);
    WaitFrames(7);
  }
}

}  // namespace
}  // namespace qnv
