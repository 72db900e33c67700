// Recordings that go on from their pre-record part without a hole, the
// pre-record stretch kept by time, and a recording split at a key frame,
// end to end against the simulator on 127.0.0.1.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>

#include "QNVNetSdk.h"
#include "support/SimulatorFixture.h"
#include "support/StreamCapture.h"

namespace qnv {
namespace {

using test::Le32At;
using test::StreamCapture;

constexpr uint32_t kQueueBytes = 358400;

struct SRecord {
  uint32_t counter;
  uint8_t kind;
  uint64_t stampUs;
  uint32_t offset;
  int nalType;  // of the body's first NAL unit
};

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<SRecord> ReadRecords(const std::string& dataPath) {
  const std::string index = dataPath.substr(0, dataPath.rfind('.')) + ".idx";
  auto d = ReadFile(dataPath), x = ReadFile(index);
  std::vector<SRecord> out;
  for (size_t at = 0; at + 40 <= x.size(); at += 40) {
    std::vector<uint8_t> r(x.begin() + long(at), x.begin() + long(at) + 40);
    SRecord s{Le32At(r, 0), r[35], Le32At(r, 16) | uint64_t(Le32At(r, 20)) << 32, Le32At(r, 28),
              -1};
    if (s.offset + 5 <= d.size())
      s.nalType = QNVNetFrameNal::TypeOf(d[s.offset + (d[s.offset + 2] == 1 ? 3 : 4)]);
    out.push_back(s);
  }
  return out;
}

// Frame counters run on by one from the first record to the last.
void ExpectNoHole(const std::vector<SRecord>& r, const char* what) {
  for (size_t i = 1; i < r.size(); ++i)
    ASSERT_EQ(r[i].counter, r[i - 1].counter + 1) << what << ": hole at record " << i;
}

class PreRecord : public test::SimulatorTest {
 protected:
  devsim::SimulatorOptions Options() override {
    devsim::SimulatorOptions o;
    o.fps = m_fps;
    o.syntheticGop = m_gop;
    o.syntheticBitrate = m_bitrate;
    if (m_useClip) o.clipPath = QNV_SAMPLE_CLIP;
    return o;
  }
  // fps 250 is ten times real time.
  void Start(bool clip, uint32_t bitrate = 2000000, int gop = 50, double fps = 250) {
    m_useClip = clip;
    m_fps = fps;
    m_bitrate = bitrate;
    m_gop = gop;
    test::SimulatorTest::SetUp();
    StreamCapture::Instance().Clear();
    QNVNet_SetCallback(nullptr, &StreamCapture::Callback, nullptr, 0);
    m_id = Login();
    m_dir = "/tmp/qnv_pre_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::system(("rm -rf " + m_dir + " && mkdir -p " + m_dir).c_str());
    ASSERT_EQ(QNVNet_LiveOpen(&m_handle, m_id, nullptr), 0u);
  }
  void SetUp() override {}
  void TearDown() override {
    if (sim) test::SimulatorTest::TearDown();
    std::system(("rm -rf " + m_dir).c_str());
  }
  void WaitFrames(uint64_t n) {
    const uint64_t at = StreamCapture::Instance().Count();
    ASSERT_TRUE(WaitFor([&] { return StreamCapture::Instance().Count() >= at + n; }, 20000));
  }
  bool m_useClip = true;
  double m_fps = 250;
  uint32_t m_bitrate = 2000000;
  int m_gop = 50;
  uint32_t m_id = 0, m_handle = 0;
  std::string m_dir;
};

TEST_F(PreRecord, RecordingGoesOnFromItsStretchWithTheVeryNextFrame) {
  Start(true);
  WaitFrames(300);  // the queue is full and has evicted
  uint32_t rec = 0;
  const std::string data = m_dir + "/cont.dat";
  ASSERT_EQ(QNVNet_LiveSaveOpen(m_handle, data.c_str(), rec), 0u);
  WaitFrames(100);
  ASSERT_EQ(QNVNet_LiveSaveClose(m_handle, rec), 0u);
  auto r = ReadRecords(data);
  ASSERT_GT(r.size(), 150u);
  ExpectNoHole(r, "continuous start");
}

// The callback opens a recording on the receive thread right before the
// frame it is given reaches the queue, so what the queue holds is known.
std::atomic<uint32_t> g_handle{0};
std::atomic<int> g_mode{0};  // 1: empty the queue first; 2: after a frame too big for it
std::atomic<uint32_t> g_rec{0};
std::atomic<uint32_t> g_skipped{0};  // counter of the frame being delivered at the open
std::atomic<uint32_t> g_lastLength{0};
std::string g_path;

bool OpenFromCallback(uint32_t, char*, uint16_t, char* frame, int32_t length, uint32_t) {
  StreamCapture::Callback(0, nullptr, 0, frame, length, 0);
  const auto* f = reinterpret_cast<const uint8_t*>(frame);
  const uint32_t previous = g_lastLength.exchange(uint32_t(length));
  const bool pFrame = f[35] == 2;
  bool open = false;
  if (g_mode == 1 && pFrame && StreamCapture::Instance().Count() > 100) {
    // Back to an empty default queue.
    EXPECT_EQ(QNVNet_LiveSetPreRecord(g_handle, 0, 0), 0u);
    open = true;
  } else if (g_mode == 2 && pFrame && previous > kQueueBytes + 40) {
    open = true;
  }
  if (open) {
    g_mode = 0;
    g_skipped = f[0] | f[1] << 8 | f[2] << 16 | uint32_t(f[3]) << 24;
    uint32_t rec = 0;
    EXPECT_EQ(QNVNet_LiveSaveOpen(g_handle, g_path.c_str(), rec), 0u);
    g_rec = rec;
  }
  return true;
}

TEST_F(PreRecord, EmptyStretchOrOneMissingTheNewestFrameWaitsForAKeyFrame) {
  for (int mode : {1, 2}) {
    SCOPED_TRACE(mode);
    // Key frames over the queue's size: the case where the newest frame is
    // missing from a stretch that holds older ones.
    Start(false, mode == 1 ? 2000000 : 26000000, 10, mode == 1 ? 250 : 25);
    g_handle = m_handle;
    g_rec = 0;
    g_path = m_dir + "/wait" + std::to_string(mode) + ".dat";
    QNVNet_SetCallback(nullptr, &OpenFromCallback, nullptr, 0);
    g_mode = mode;
    ASSERT_TRUE(WaitFor([] { return g_rec != 0; }, 20000));
    WaitFrames(40);
    ASSERT_EQ(QNVNet_LiveSaveClose(m_handle, g_rec), 0u);
    auto r = ReadRecords(g_path);
    // The frame delivered at the open is in neither part; the live part
    // begins with the next group's parameter set.
    size_t live = 0;
    while (live < r.size() && r[live].counter < g_skipped) ++live;
    ASSERT_LT(live, r.size());
    EXPECT_EQ(mode == 1, live == 0) << "pre-record part only when the queue held frames";
    EXPECT_NE(r[live].counter, g_skipped.load());
    EXPECT_EQ(r[live].nalType, QNVNetFrameNal::kTypeSps);
    ExpectNoHole(std::vector<SRecord>(r.begin() + long(live), r.end()), "live part");
    TearDown();
  }
}

TEST_F(PreRecord, TimedStretchCoversTheSpanFromAKeyFrameAtTwoBitRates) {
  // Real time: the stretch is measured in arrival time, which a reader
  // falling behind a faster-than-life stream would stretch.
  for (uint32_t bitrate : {2000000u, 8000000u}) {
    SCOPED_TRACE(bitrate);
    Start(false, bitrate, 5, 25);  // a group every 0.2 s
    const std::string early = m_dir + "/early.dat";
    uint32_t first = 0;
    ASSERT_EQ(QNVNet_LiveSetPreRecord(m_handle, 1000, 0), 0u);
    // Opened at once: nothing or a stretch that begins a group.
    ASSERT_EQ(QNVNet_LiveSaveOpen(m_handle, early.c_str(), first), 0u);
    ASSERT_TRUE(WaitFor([] { return StreamCapture::Instance().Count() > 70; }, 20000));
    const uint32_t newest = Le32At(StreamCapture::Instance().Frames().back().bytes, 0);
    uint32_t rec = 0;
    const std::string data = m_dir + "/timed.dat";
    ASSERT_EQ(QNVNet_LiveSaveOpen(m_handle, data.c_str(), rec), 0u);
    WaitFrames(10);
    EXPECT_EQ(QNVNet_LiveSaveClose(m_handle, rec), 0u);
    EXPECT_EQ(QNVNet_LiveSaveClose(m_handle, first), 0u);
    for (const std::string& path : {early, data}) {
      auto r = ReadRecords(path);
      ASSERT_FALSE(r.empty()) << path;
      EXPECT_EQ(r[0].nalType, QNVNetFrameNal::kTypeSps) << path;
      ExpectNoHole(r, path.c_str());
    }
    auto r = ReadRecords(data);
    size_t last = 0;  // the newest frame delivered before the open
    while (last + 1 < r.size() && r[last].counter != newest) ++last;
    const double span = double(r[last].stampUs - r[0].stampUs) / 1e6;
    EXPECT_GE(span, 1.0 - 0.1);        // capture times against arrival times
    EXPECT_LE(span, 1.0 + 0.2 + 0.4);  // one group more, and slack for a late reader
    TearDown();
  }
}

TEST_F(PreRecord, MemoryBoundCutsWholeGroupsOldestFirst) {
  Start(false, 20000000, 10);  // groups of about 100 KB
  EXPECT_EQ(QNVNet_LiveSetPreRecord(m_handle, 10000, 1000), QNVNET_ERR_BAD_ARGUMENT);
  EXPECT_EQ(QNVNet_LiveSetPreRecord(m_handle, 200000, 0), QNVNET_ERR_BAD_ARGUMENT);
  ASSERT_EQ(QNVNet_LiveSetPreRecord(m_handle, 10000, 300000), 0u);
  WaitFrames(600);
  uint32_t rec = 0;
  const std::string data = m_dir + "/bound.dat";
  ASSERT_EQ(QNVNet_LiveSaveOpen(m_handle, data.c_str(), rec), 0u);
  ASSERT_EQ(QNVNet_LiveSaveClose(m_handle, rec), 0u);
  auto r = ReadRecords(data);
  ASSERT_FALSE(r.empty());
  EXPECT_EQ(r[0].nalType, QNVNetFrameNal::kTypeSps);
  std::ifstream in(data, std::ios::binary | std::ios::ate);
  EXPECT_LE(uint64_t(in.tellg()), 300000u + 50000u);  // and the odd frame after the open
  EXPECT_GT(uint64_t(in.tellg()), 100000u);           // more than one group
}

TEST_F(PreRecord, RolloverSplitsAtAKeyFrameWithNothingMissingOrTwice) {
  Start(true);
  uint32_t a = 0, b = 0;
  const std::string first = m_dir + "/a.dat", second = m_dir + "/b.dat";
  ASSERT_EQ(QNVNet_LiveSaveOpen(m_handle, first.c_str(), a), 0u);
  WaitFrames(60);
  EXPECT_EQ(QNVNet_LiveSaveRollover(m_handle, 9, second.c_str(), &b), QNVNET_ERR_NO_SAVE);
  EXPECT_EQ(QNVNet_LiveSaveRollover(m_handle, a, first.c_str(), &b), QNVNET_ERR_SAVE_OPEN);
  EXPECT_EQ(QNVNet_LiveSaveRollover(m_handle, a, second.c_str(), nullptr), QNVNET_ERR_ARGUMENT);
  ASSERT_EQ(QNVNet_LiveSaveRollover(m_handle, a, second.c_str(), &b), 0u);
  EXPECT_NE(a, b);
  uint32_t c = 0;
  EXPECT_EQ(QNVNet_LiveSaveRollover(m_handle, a, (m_dir + "/c.dat").c_str(), &c),
            QNVNET_ERR_ROLLOVER_PENDING);
  EXPECT_EQ(QNVNet_LiveSaveRollover(m_handle, b, (m_dir + "/c.dat").c_str(), &c),
            QNVNET_ERR_ROLLOVER_PENDING);
  WaitFrames(100);  // a group of pictures is 25 frames of the clip
  EXPECT_EQ(QNVNet_LiveSaveClose(m_handle, a), QNVNET_ERR_NO_SAVE);  // ended at the key frame
  ASSERT_EQ(QNVNet_LiveSaveClose(m_handle, b), 0u);
  auto ra = ReadRecords(first), rb = ReadRecords(second);
  ASSERT_FALSE(ra.empty());
  ASSERT_FALSE(rb.empty());
  ExpectNoHole(ra, "first");
  ExpectNoHole(rb, "second");
  EXPECT_EQ(rb[0].counter, ra.back().counter + 1);
  EXPECT_EQ(rb[0].nalType, QNVNetFrameNal::kTypeSps);
  EXPECT_EQ(rb[0].offset, 0u);
}

}  // namespace
}  // namespace qnv
