// Which frames a capture of a channel without a window decodes: copied out
// of the pre-record queue's ring (bodies wrapping past its end included),
// from where a warm decoder stopped or else from the newest key frame with
// its parameter sets and a picture, never across a missing frame; and the
// frames gathered as they arrive while a capture waits for a key frame.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "live/CCaptureRun.h"

namespace qnv {

using namespace protocol;
namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kSlice = QNVNetFrameNal::kTypeSlice, kIdr = kNalIdr, kSei = QNVNetFrameNal::kTypeSei;

// A frame body: start code, NAL header of this type, then n bytes of tag.
Bytes Body(int type, size_t n, uint8_t tag) {
  Bytes b = {0, 0, 0, 1, uint8_t(0x60 | type)};
  b.resize(5 + n, tag);
  return b;
}

SFrameIndex Header(uint32_t counter, size_t payload) {
  SFrameIndex h{};
  platform::StoreLe32(h.bytes, counter);
  std::memcpy(h.bytes + kFrameMagicOffset, kFrameMagic, 4);
  platform::StoreLe32(h.bytes + kFramePayloadLengthOffset, uint32_t(payload));
  return h;
}

class CaptureRun : public ::testing::Test {
 protected:
  // Appends a frame numbered by its sequence, which is also its counter.
  void Add(int type, size_t n, uint32_t sequence) {
    const Bytes b = Body(type, n, uint8_t(sequence));
    ASSERT_TRUE(
        m_queue.Append(b.data(), int32_t(b.size()), Header(sequence, b.size()), true, 0, sequence));
  }
  // The counters of a run's frames, each body checked byte for byte.
  static std::vector<uint32_t> Counters(const CCaptureRun& run) {
    std::vector<uint32_t> out;
    for (uint32_t i = 0; i < run.Count(); ++i) {
      const SFrameIndex r = SFrameIndex::From(run.Records() + size_t(i) * kFrameHeaderSize);
      const uint32_t counter = platform::LoadLe32(r.bytes);
      EXPECT_LE(r.Offset() + r.PayloadLength(), run.DataLength());
      EXPECT_EQ(run.Data()[r.Offset() + 5], uint8_t(counter)) << "body of frame " << counter;
      out.push_back(counter);
    }
    return out;
  }
  CStreamQueue m_queue;
};

TEST_F(CaptureRun, FromTheNewestKeyFrameWithAPictureAcrossTheRingsEnd) {
  ASSERT_TRUE(m_queue.SetCapacity(1000));
  uint32_t s = 0;
  // Enough groups that bodies wrap past the end of the 1000-byte ring.
  for (int group = 0; group < 5; ++group) {
    Add(kNalSps, 10, s++);
    Add(kNalPps, 4, s++);
    Add(kSei, 6, s++);
    Add(kIdr, 120, s++);
    for (int p = 0; p < 3; ++p) Add(kSlice, 60, s++);
  }
  CCaptureRun run;
  ASSERT_EQ(run.CopyFrom(m_queue, nullptr), CCaptureRun::EFrom::kKeyFrame);
  EXPECT_EQ(Counters(run), (std::vector<uint32_t>{28, 29, 30, 31, 32, 33, 34}));
  EXPECT_EQ(run.NextSequence(), 35u);
  // Parameter sets with no picture behind them yet: the group before.
  Add(kNalSps, 10, s++);
  Add(kNalPps, 4, s++);
  ASSERT_EQ(run.CopyFrom(m_queue, nullptr), CCaptureRun::EFrom::kKeyFrame);
  EXPECT_EQ(Counters(run).front(), 28u);
  EXPECT_EQ(run.Count(), 9u);
}

TEST_F(CaptureRun, GoesOnWhereTheWarmDecoderStoppedUnlessAFrameIsMissing) {
  ASSERT_TRUE(m_queue.SetCapacity(4000));
  for (uint32_t s = 0; s < 4; ++s) Add(s == 0 ? kNalSps : s == 1 ? kIdr : kSlice, 40, s);
  for (uint32_t s = 4; s < 12; ++s) Add(kSlice, 40, s);
  CCaptureRun run;
  const uint32_t next = 9;
  ASSERT_EQ(run.CopyFrom(m_queue, &next), CCaptureRun::EFrom::kContinued);
  EXPECT_EQ(Counters(run), (std::vector<uint32_t>{9, 10, 11}));
  // Up to date: nothing to decode, the same picture.
  const uint32_t upToDate = 12;
  ASSERT_EQ(run.CopyFrom(m_queue, &upToDate), CCaptureRun::EFrom::kContinued);
  EXPECT_EQ(run.Count(), 0u);
  EXPECT_EQ(run.NextSequence(), 12u);
  // The frame it needs is gone: from the key frame instead.
  const uint32_t evicted = 100;
  ASSERT_EQ(run.CopyFrom(m_queue, &evicted), CCaptureRun::EFrom::kKeyFrame);
  EXPECT_EQ(Counters(run).front(), 0u);
  // A key frame after the decoder's place: less to decode from there.
  Add(kNalSps, 10, 12);
  Add(kIdr, 40, 13);
  ASSERT_EQ(run.CopyFrom(m_queue, &next), CCaptureRun::EFrom::kKeyFrame);
  EXPECT_EQ(Counters(run), (std::vector<uint32_t>{12, 13}));
  const uint32_t afterKey = 13;
  ASSERT_EQ(run.CopyFrom(m_queue, &afterKey), CCaptureRun::EFrom::kContinued);
  EXPECT_EQ(Counters(run), (std::vector<uint32_t>{13}));
  // A frame missing after the decoder's place (refused, or never queued):
  // neither that place nor a key frame before the hole will do.
  Add(kSlice, 40, 15);  // 14 never came
  const uint32_t beforeHole = 14;
  EXPECT_EQ(run.CopyFrom(m_queue, &beforeHole), CCaptureRun::EFrom::kNothing);
  EXPECT_EQ(run.CopyFrom(m_queue, nullptr), CCaptureRun::EFrom::kNothing);
  Add(kNalSps, 10, 16);
  Add(kIdr, 40, 17);
  ASSERT_EQ(run.CopyFrom(m_queue, &beforeHole), CCaptureRun::EFrom::kKeyFrame);
  EXPECT_EQ(Counters(run), (std::vector<uint32_t>{16, 17}));
}

TEST_F(CaptureRun, NothingWithoutParameterSetsAheadOfAPicture) {
  ASSERT_TRUE(m_queue.SetCapacity(4000));
  CCaptureRun run;
  EXPECT_EQ(run.CopyFrom(m_queue, nullptr), CCaptureRun::EFrom::kNothing);
  // An IDR whose parameter sets were evicted, then P pictures.
  Add(kIdr, 40, 0);
  Add(kSlice, 40, 1);
  EXPECT_EQ(run.CopyFrom(m_queue, nullptr), CCaptureRun::EFrom::kNothing);
  // Parameter sets and the picture in one body count as a key frame.
  Bytes all = Body(kNalSps, 6, 2);
  const Bytes pps = Body(kNalPps, 3, 2), idr = Body(kIdr, 30, 2);
  all.insert(all.end(), pps.begin(), pps.end());
  all.insert(all.end(), idr.begin(), idr.end());
  ASSERT_TRUE(m_queue.Append(all.data(), int32_t(all.size()), Header(2, all.size()), true, 0, 2));
  ASSERT_EQ(run.CopyFrom(m_queue, nullptr), CCaptureRun::EFrom::kKeyFrame);
  EXPECT_EQ(run.Count(), 1u);
}

TEST_F(CaptureRun, GathersFromTheNextKeyFrameUntilAPictureFollows) {
  CCaptureRun gather;
  auto feed = [&](int type, size_t n, uint32_t s) {
    const Bytes b = Body(type, n, uint8_t(s));
    gather.Gather(Header(s, b.size()), b.data(), uint32_t(b.size()), s);
  };
  feed(kNalSps, 10, 0);  // not armed: ignored
  gather.Arm();
  feed(kSlice, 40, 1);  // before any key frame: nothing to decode it from
  feed(kNalSps, 10, 2);
  feed(kNalPps, 4, 3);
  EXPECT_FALSE(gather.Ready());
  feed(kNalSps, 10, 4);  // new parameter sets before a picture: start again there
  feed(kNalPps, 4, 5);
  feed(kIdr, 300, 6);
  EXPECT_TRUE(gather.Ready());
  feed(kSlice, 40, 7);  // goes on until the capture takes it
  CCaptureRun run;
  run.TakeFrom(gather);
  EXPECT_FALSE(gather.Armed());
  EXPECT_EQ(gather.Count(), 0u);
  EXPECT_EQ(Counters(run), (std::vector<uint32_t>{4, 5, 6, 7}));
  EXPECT_EQ(run.NextSequence(), 8u);
  feed(kNalSps, 10, 8);  // disarmed: ignored
  EXPECT_EQ(gather.Count(), 0u);
}

}  // namespace
}  // namespace qnv
