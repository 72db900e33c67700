// Live streams of the simulator through plain sockets: attach, frame layout and content
// against the clip, pause and play, close, several streams, synthetic source.
#include <gtest/gtest.h>

#include <thread>

#include "TestClient.h"
#include "devsim/Simulator.h"

namespace qnv::devsim {
namespace {

using test::Bytes;
using test::Frame;
using test::TestClient;
using test::U32At;
using test::U32s;

uint64_t U64At(const Bytes& b, size_t offset) {
  return U32At(b, offset) | (static_cast<uint64_t>(U32At(b, offset + 4)) << 32);
}

// NAL unit header: the type is its low five bits.
constexpr uint8_t kNalTypeMask = 0x1f;
constexpr uint8_t kNalSlice = 1;  // 1..5: slices of a picture (5: IDR)
constexpr uint8_t kNalIdr = 5;
constexpr uint8_t kNalSps = 7;
constexpr uint8_t kNalPps = 8;

uint8_t NalType(const Frame& f) { return f.payload.size() > 4 ? f.payload[4] & kNalTypeMask : 0; }

uint32_t OpenStream(TestClient& c, uint32_t sid) {
  auto r = c.Transact(3, 1, sid);
  if (!r || r->result != 0 || r->payload.size() < 4) return 0;
  return U32At(r->payload, 0);
}

bool Attach(TestClient& s, uint16_t port, uint32_t sid, uint32_t streamId) {
  return s.Connect(static_cast<uint16_t>(port + 2)) &&
         s.Send(test::BuildRequest(test::kOneWayWord, 3, 5, sid, U32s({streamId})));
}

SimulatorOptions ClipOptions(bool paced) {
  SimulatorOptions o;
  o.clipPath = QNV_SAMPLE_CLIP;
  o.paced = paced;
  return o;
}

TEST(DevsimClip, LoadsEveryNalUnitWithLongStartCodes) {
  const auto nals = LoadClipNalUnits(QNV_SAMPLE_CLIP);
  ASSERT_EQ(nals.size(), 271u);  // 250 pictures, SPS and PPS before each of 10 IDRs, one SEI
  for (const auto& n : nals) {
    ASSERT_GE(n.size(), 5u);
    EXPECT_EQ(Bytes(n.begin(), n.begin() + 4), (Bytes{0, 0, 0, 1}));
  }
  EXPECT_EQ(nals[0][4] & kNalTypeMask, kNalSps);
  EXPECT_EQ(nals[1][4] & kNalTypeMask, kNalPps);
  EXPECT_TRUE(LoadClipNalUnits("/nonexistent.h264").empty());
}

TEST(DevsimStream, AttachYieldsTheClipFrameByFrame) {
  Simulator sim(ClipOptions(false));
  ASSERT_TRUE(sim.Start());
  const auto nals = LoadClipNalUnits(QNV_SAMPLE_CLIP);
  TestClient c, s;
  uint32_t sid = 0;
  ASSERT_TRUE(test::LoginClient(c, sim.Port(), sid));
  const uint32_t streamId = OpenStream(c, sid);
  ASSERT_NE(streamId, 0u);
  ASSERT_TRUE(Attach(s, sim.Port(), sid, streamId));

  uint64_t lastPictureTime = 0;
  bool sawPicture = false;
  std::vector<uint64_t> pendingTimes;     // times of units waiting for their picture
  const size_t total = nals.size() + 30;  // past the loop point
  for (size_t i = 0; i < total; ++i) {
    auto f = s.ReadFrame();
    ASSERT_TRUE(f) << "frame " << i;
    EXPECT_EQ(U32At(f->header, 0), i);
    EXPECT_EQ(Bytes(f->header.begin() + 4, f->header.begin() + 8), (Bytes{'Q', 'N', 'V', 'V'}));
    EXPECT_EQ(U32At(f->header, 8), streamId);
    EXPECT_EQ(f->header[35], 0);
    EXPECT_EQ(f->header[36], 0);
    ASSERT_EQ(f->payload, nals[i % nals.size()]) << "frame " << i;
    const uint64_t t = U64At(f->header, 16);
    const uint8_t type = NalType(*f);
    if (type >= kNalSlice && type <= kNalIdr) {
      for (uint64_t p : pendingTimes) {
        EXPECT_EQ(p, t);  // sent with their picture
      }
      pendingTimes.clear();
      if (sawPicture) {
        EXPECT_EQ(t - lastPictureTime, 40000u);
      }
      lastPictureTime = t;
      sawPicture = true;
    } else {
      pendingTimes.push_back(t);
    }
  }
  EXPECT_EQ(sim.StreamCount(), 1u);
  EXPECT_TRUE(sim.WaitForRequests(3, 1000));
  auto log = sim.Requests();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_TRUE(log[2].stream);
  EXPECT_EQ(log[2].headerWord, 0x01000100u);
  EXPECT_EQ(log[2].payload, U32s({streamId}));
  EXPECT_NE(log[2].connection, log[0].connection);
}

TEST(DevsimStream, PausePlayAndCloseOnPacedStreams) {
  Simulator sim(ClipOptions(true));
  ASSERT_TRUE(sim.Start());
  TestClient c, s;
  uint32_t sid = 0;
  ASSERT_TRUE(test::LoginClient(c, sim.Port(), sid));
  const uint32_t streamId = OpenStream(c, sid);
  ASSERT_TRUE(Attach(s, sim.Port(), sid, streamId));
  uint32_t expected = 0;
  for (; expected < 6; ++expected) {
    auto f = s.ReadFrame();
    ASSERT_TRUE(f);
    EXPECT_EQ(U32At(f->header, 0), expected);
  }
  ASSERT_EQ(c.Transact(3, 3, sid, U32s({streamId}))->result, 0u);
  // Whatever was on its way before the pause arrives; then nothing.
  while (s.ReadFrame(150)) ++expected;
  EXPECT_TRUE(s.Quiet(250));
  ASSERT_EQ(c.Transact(3, 4, sid, U32s({streamId}))->result, 0u);
  auto f = s.ReadFrame();
  ASSERT_TRUE(f);
  EXPECT_EQ(U32At(f->header, 0), expected);  // the sequence goes on where it stopped

  EXPECT_EQ(c.Transact(3, 3, sid, U32s({streamId + 100}))->result, kResultUnknownStream);
  EXPECT_EQ(c.Transact(3, 3, sid, Bytes{1})->result, kResultBadPayload);
  ASSERT_EQ(c.Transact(3, 2, sid, U32s({streamId}))->result, 0u);
  EXPECT_TRUE(s.WaitClosed());
  for (int i = 0; i < 200 && sim.StreamCount() != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(sim.StreamCount(), 0u);
  EXPECT_EQ(c.Transact(3, 2, sid, U32s({streamId}))->result, kResultUnknownStream);
}

TEST(DevsimStream, SeveralStreamsAndAttachRules) {
  Simulator sim(ClipOptions(true));
  ASSERT_TRUE(sim.Start());
  TestClient c;
  uint32_t sid = 0;
  ASSERT_TRUE(test::LoginClient(c, sim.Port(), sid));
  std::vector<TestClient> streams(3);
  std::vector<uint32_t> ids;
  for (auto& s : streams) {
    ids.push_back(OpenStream(c, sid));
    ASSERT_TRUE(Attach(s, sim.Port(), sid, ids.back()));
  }
  EXPECT_NE(ids[0], ids[1]);
  for (size_t i = 0; i < streams.size(); ++i) {
    auto f = streams[i].ReadFrame();
    ASSERT_TRUE(f);
    EXPECT_EQ(U32At(f->header, 8), ids[i]);
    EXPECT_EQ(NalType(*f), kNalSps);  // every stream starts with the parameter sets
  }
  EXPECT_EQ(sim.StreamCount(), 3u);

  // A second attach to a stream that is attached, an unknown id, a wrong header word and
  // a connection that never attaches are all dropped.
  TestClient dup, unknown, wrongWord;
  ASSERT_TRUE(Attach(dup, sim.Port(), sid, ids[0]));
  EXPECT_TRUE(dup.WaitClosed());
  ASSERT_TRUE(Attach(unknown, sim.Port(), sid, 12345));
  EXPECT_TRUE(unknown.WaitClosed());
  ASSERT_TRUE(wrongWord.Connect(static_cast<uint16_t>(sim.Port() + 2)));
  ASSERT_TRUE(
      wrongWord.Send(test::BuildRequest(test::kTransactionWord, 3, 5, sid, U32s({ids[1]}))));
  EXPECT_TRUE(wrongWord.WaitClosed());

  // The session ends: its streams end with it.
  c.Close();
  for (auto& s : streams) EXPECT_TRUE(s.WaitClosed());
  for (int i = 0; i < 200 && sim.StreamCount() != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(sim.StreamCount(), 0u);
  EXPECT_GT(sim.FramesSent(), 0u);
}

TEST(DevsimStream, ExtensionBlocksAndPauseBeforeAttach) {
  SimulatorOptions o = ClipOptions(false);
  o.extensionBlocks = true;
  Simulator sim(o);
  ASSERT_TRUE(sim.Start());
  TestClient c, s;
  uint32_t sid = 0;
  ASSERT_TRUE(test::LoginClient(c, sim.Port(), sid));
  const uint32_t streamId = OpenStream(c, sid);
  ASSERT_EQ(c.Transact(3, 3, sid, U32s({streamId}))->result, 0u);
  ASSERT_TRUE(Attach(s, sim.Port(), sid, streamId));
  EXPECT_TRUE(s.Quiet(200));  // paused before the attach: nothing flows
  ASSERT_EQ(c.Transact(3, 4, sid, U32s({streamId}))->result, 0u);
  auto f = s.ReadFrame();
  ASSERT_TRUE(f);
  EXPECT_EQ(f->header[36], 1);
  EXPECT_EQ(f->ext, U32s({8, streamId, 0}));
  EXPECT_EQ(NalType(*f), kNalSps);
}

TEST(DevsimStream, SyntheticSourceHasValidSliceHeaders) {
  SimulatorOptions o;
  o.paced = false;
  o.syntheticGop = 5;
  o.syntheticBitrate = 800000;
  o.syntheticWidth = 640;
  o.syntheticHeight = 360;
  Simulator sim(o);
  ASSERT_TRUE(sim.Start());
  TestClient c, s;
  uint32_t sid = 0;
  ASSERT_TRUE(test::LoginClient(c, sim.Port(), sid));
  ASSERT_TRUE(Attach(s, sim.Port(), sid, OpenStream(c, sid)));
  std::vector<uint8_t> types;
  size_t bytes = 0;
  int pictures = 0;
  for (int i = 0; i < 24; ++i) {  // two groups of SPS, PPS, I and four P
    auto f = s.ReadFrame();
    ASSERT_TRUE(f);
    const Bytes& p = f->payload;
    ASSERT_GE(p.size(), 6u);
    EXPECT_EQ(Bytes(p.begin(), p.begin() + 4), (Bytes{0, 0, 0, 1}));
    for (size_t k = 4; k + 2 < p.size(); ++k) {
      ASSERT_FALSE(p[k] == 0 && p[k + 1] == 0 && p[k + 2] <= 1) << "start code inside a unit";
    }
    types.push_back(p[4]);
    if (p[4] == 0x65) {
      EXPECT_EQ(p[5], 0x88);  // first_mb_in_slice 0 (1), slice_type 7 (0001000)
    } else if (p[4] == 0x41) {
      EXPECT_EQ(p[5] & 0xFC, 0x98);  // 1, slice_type 5 (00110), then pps id 0 (1)
    }
    if (p[4] == 0x65 || p[4] == 0x41) {
      bytes += p.size();
      ++pictures;
    }
  }
  const std::vector<uint8_t> group = {0x67, 0x68, 0x65, 0x41, 0x41, 0x41, 0x41};
  EXPECT_TRUE(std::equal(group.begin(), group.end(), types.begin()));
  EXPECT_TRUE(std::equal(group.begin(), group.end(), types.begin() + 7));
  // 800 kbit/s at 25 fps: 4,000 bytes per picture on average.
  const double average = static_cast<double>(bytes) / pictures;
  EXPECT_NEAR(average, 4000.0, 600.0);
}

TEST(DevsimStream, SlowReaderLosesWholeGroupsOfPictures) {
  SimulatorOptions o = ClipOptions(true);
  o.fps = 500;  // fills the socket buffers quickly
  o.maxStreamBacklog = 20000;
  o.streamSendBuffer = 8192;
  Simulator sim(o);
  ASSERT_TRUE(sim.Start());
  TestClient c, s;
  uint32_t sid = 0;
  ASSERT_TRUE(test::LoginClient(c, sim.Port(), sid));
  auto r = c.Transact(3, 1, sid);
  ASSERT_TRUE(r);
  ASSERT_TRUE(s.Connect(static_cast<uint16_t>(sim.Port() + 2), 4096));
  ASSERT_TRUE(s.Send(test::BuildRequest(test::kOneWayWord, 3, 5, sid, r->payload)));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // not reading
  // Capture times advance one frame interval per picture, skipped ones included. Where
  // pictures were skipped, the stream goes on with the parameter sets of a key picture,
  // never with a picture that refers to a lost one.
  size_t gaps = 0;
  uint64_t last = 0;
  for (int i = 0; i < 3000 && gaps == 0; ++i) {
    auto f = s.ReadFrame();
    ASSERT_TRUE(f);
    EXPECT_EQ(U32At(f->header, 0), static_cast<uint32_t>(i));  // counter has no gap
    const uint64_t t = U64At(f->header, 16);
    if (i > 0 && t - last > 2000) {
      ++gaps;
      EXPECT_EQ(NalType(*f), kNalSps) << "frame " << i;
    }
    last = t;
  }
  EXPECT_GT(gaps, 0u);
}

}  // namespace
}  // namespace qnv::devsim
