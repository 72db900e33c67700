// The player's parts without decoding: cutting the payload out of a stream
// frame, telling key frames apart, the windowed port's queue and the runs of
// frames a caller hands in for a capture.
#include <gtest/gtest.h>

#include <cstring>

#include "CodedFrame.h"
#include "FrameQueue.h"
#include "FrameRun.h"
#include "TestClip.h"
#include "protocol/FrameHeader.h"

namespace qnv::player {
namespace {

std::vector<uint8_t> Unit(uint8_t type, size_t size = 16) {
  std::vector<uint8_t> u = {0, 0, 0, 1, uint8_t(0x60 | type)};
  u.resize(size, 0x11);
  return u;
}

CodedFramePtr Frame(uint8_t type, size_t size = 16) {
  const auto u = Unit(type, size);
  return CodedFrame::FromPayload(u.data(), u.size());
}

CodedFramePtr Frames(std::initializer_list<uint8_t> types) {
  std::vector<uint8_t> all;
  for (uint8_t t : types) {
    const auto u = Unit(t);
    all.insert(all.end(), u.begin(), u.end());
  }
  return CodedFrame::FromPayload(all.data(), all.size());
}

TEST(StreamFrame, PayloadFoundBehindHeaderAndExtension) {
  const std::vector<uint8_t> payload = Unit(kNalIdr, 100);
  auto plain = qnvtest::WrapFrame(payload, 7);
  auto span = FindPayload(plain.data(), plain.size());
  ASSERT_TRUE(span);
  EXPECT_EQ(span->data, plain.data() + 40);
  EXPECT_EQ(span->size, 100u);

  auto ext = qnvtest::WrapFrame(payload, 7, true, 12);
  span = FindPayload(ext.data(), ext.size());
  ASSERT_TRUE(span);
  EXPECT_EQ(span->data, ext.data() + 40 + 4 + 12);
  EXPECT_EQ(0, std::memcmp(span->data, payload.data(), payload.size()));

  // An empty extension block still has its length word.
  auto ext0 = qnvtest::WrapFrame(payload, 7, true, 0);
  span = FindPayload(ext0.data(), ext0.size());
  ASSERT_TRUE(span);
  EXPECT_EQ(span->data, ext0.data() + 44);

  // Trailing bytes beyond the payload are ignored.
  plain.push_back(0);
  EXPECT_TRUE(FindPayload(plain.data(), plain.size()));
}

TEST(StreamFrame, MalformedFramesRefused) {
  const std::vector<uint8_t> payload = Unit(kNalSlice, 50);
  auto f = qnvtest::WrapFrame(payload, 1);
  EXPECT_FALSE(FindPayload(nullptr, 100));
  EXPECT_FALSE(FindPayload(f.data(), 39));
  EXPECT_FALSE(FindPayload(f.data(), f.size() - 1));  // payload cut short
  auto bad = f;
  bad[5] = 'X';
  EXPECT_FALSE(FindPayload(bad.data(), bad.size()));
  // Lengths that would wrap a 32-bit sum.
  auto huge = f;
  qnv::platform::StoreLe32(huge.data() + 12, 0xFFFFFFF0u);
  EXPECT_FALSE(FindPayload(huge.data(), huge.size()));
  auto hugeExt = qnvtest::WrapFrame(payload, 1, true, 0);
  qnv::platform::StoreLe32(hugeExt.data() + 40, 0xFFFFFFFFu);
  EXPECT_FALSE(FindPayload(hugeExt.data(), hugeExt.size()));
  // Extension flag set but no room for its length word.
  std::vector<uint8_t> shortExt = qnvtest::WrapFrame({}, 1);
  shortExt[36] = 1;
  shortExt.resize(43);
  EXPECT_FALSE(FindPayload(shortExt.data(), shortExt.size()));
}

TEST(StreamFrame, NalTypesAndKeyFrames) {
  EXPECT_TRUE(Frame(kNalSps)->nal.KeyStart());
  EXPECT_TRUE(Frame(kNalIdr)->nal.KeyStart());
  EXPECT_FALSE(Frame(kNalPps)->nal.KeyStart());
  EXPECT_TRUE(Frame(kNalPps)->nal.ParameterSets());
  EXPECT_FALSE(Frame(kNalSlice)->nal.KeyStart());
  EXPECT_TRUE(Frame(kNalSlice)->nal.Picture());
  EXPECT_FALSE(Frame(6)->nal.Picture());  // SEI
  const auto all = Frames({kNalSps, kNalPps, kNalIdr});
  EXPECT_TRUE(all->nal.sps && all->nal.pps && all->nal.idr);
  // 3-byte start codes count as well.
  const uint8_t three[] = {0, 0, 1, 0x65, 0x88};
  EXPECT_TRUE(ScanNalUnits(three, sizeof three).idr);
  // A payload without a start code gets one, so it is never glued to the
  // frame before it.
  const uint8_t bare[] = {0x41, 0x9a, 0x01};
  const auto f = CodedFrame::FromPayload(bare, sizeof bare);
  ASSERT_EQ(f->size(), 7u);
  EXPECT_EQ(0, std::memcmp(f->data(), "\0\0\0\1\x41", 5));
  EXPECT_TRUE(f->nal.slice);
}

TEST(FrameQueue, FullQueueDropsUpToNextKeyFrameAndCounts) {
  FrameQueue q({4, 1 << 20});
  ASSERT_TRUE(q.Push(Frame(kNalSps)));
  ASSERT_TRUE(q.Push(Frame(kNalPps)));
  ASSERT_TRUE(q.Push(Frame(kNalIdr)));
  ASSERT_TRUE(q.Push(Frame(kNalSlice)));
  // Full: this picture and every one up to the next key frame go, even once
  // there is room again, since they could not be decoded.
  EXPECT_FALSE(q.Push(Frame(kNalSlice)));
  EXPECT_TRUE(q.Dropping());
  q.Pop();
  q.Pop();
  EXPECT_FALSE(q.Push(Frame(kNalSlice)));
  EXPECT_EQ(q.Dropped(), 2u);
  // An IDR ends it; the stale pictures behind it are thrown away too.
  EXPECT_TRUE(q.Push(Frame(kNalIdr)));
  EXPECT_FALSE(q.Dropping());
  EXPECT_EQ(q.Dropped(), 4u);  // plus the queued IDR and P picture
  ASSERT_EQ(q.Size(), 1u);
  EXPECT_TRUE(q.Pop()->nal.idr);
  EXPECT_TRUE(q.Push(Frame(kNalSlice)));
}

TEST(FrameQueue, NothingBeforeTheFirstKeyFrame) {
  FrameQueue q({10, 1 << 20});
  EXPECT_FALSE(q.Push(Frame(kNalSlice)));
  EXPECT_FALSE(q.Push(Frame(kNalPps)));  // refers to an SPS not seen yet
  EXPECT_TRUE(q.Push(Frame(kNalIdr)));   // decodable with the SPS the decoder may have
  EXPECT_TRUE(q.Push(Frame(kNalSlice)));
  EXPECT_EQ(q.Dropped(), 2u);
  FrameQueue r({10, 1 << 20});
  EXPECT_TRUE(r.Push(Frame(kNalSps)));
  EXPECT_TRUE(r.Push(Frame(kNalPps)));
}

TEST(FrameQueue, NewParameterSetsSurviveAndEndDropping) {
  FrameQueue q({3, 1 << 20});
  q.Push(Frame(kNalSps));
  q.Push(Frame(kNalPps));
  q.Push(Frame(kNalIdr));
  EXPECT_FALSE(q.Push(Frame(kNalSlice)));
  EXPECT_TRUE(q.Dropping());
  // SPS: a key frame. It replaces the backlog (except parameter sets), and
  // the PPS and IDR after it are taken even though the queue was full.
  EXPECT_TRUE(q.Push(Frame(kNalSps, 20)));
  EXPECT_FALSE(q.Dropping());
  EXPECT_TRUE(q.Push(Frame(kNalPps, 21)));
  EXPECT_TRUE(q.Push(Frame(kNalIdr)));
  std::vector<size_t> sizes;
  std::vector<uint8_t> types;
  while (auto f = q.Pop()) {
    sizes.push_back(f->size());
    types.push_back(uint8_t(QNVNetFrameNal::TypeOf(f->data()[4])));
  }
  // Old parameter sets before the new SPS are superseded; the old IDR is gone.
  EXPECT_EQ(types, (std::vector<uint8_t>{kNalSps, kNalPps, kNalIdr}));
  EXPECT_EQ(sizes[0], 20u);
  EXPECT_EQ(q.Dropped(), 4u);  // P, old SPS, old PPS, old IDR
}

TEST(FrameQueue, ByteBudgetAndOversizedFrame) {
  FrameQueue q({100, 1000});
  EXPECT_TRUE(q.Push(Frame(kNalIdr, 600)));
  EXPECT_FALSE(q.Push(Frame(kNalSlice, 600)));
  EXPECT_FALSE(q.Push(Frame(kNalSlice, 10)));
  // A key frame larger than the whole budget cannot be queued either: the
  // queue stays in dropping mode.
  EXPECT_FALSE(q.Push(Frame(kNalIdr, 2000)));
  EXPECT_TRUE(q.Dropping());
  EXPECT_EQ(q.Size(), 0u);
  EXPECT_TRUE(q.Push(Frame(kNalIdr, 100)));
  EXPECT_EQ(q.Bytes(), 100u);
  // Parameter sets may exceed the budget, but not without bound.
  size_t taken = 0;
  for (int i = 0; i < 1000; ++i) taken += q.Push(Frame(kNalPps, 100)) ? 1 : 0;
  EXPECT_LE(q.Bytes(), 2000u);
  EXPECT_GT(taken, 0u);
}

TEST(FrameRun, EveryRecordIsCheckedAgainstTheData) {
  qnvtest::FrameRunBytes run;
  run.Add(Unit(kNalSps));
  run.Add(Unit(kNalIdr, 300), true, 9);
  run.Add(Unit(kNalSlice, 50));
  EXPECT_TRUE(FrameRun::Check(run.records.data(), run.count, run.data.data(), run.data.size()));
  EXPECT_TRUE(FrameRun::Check(nullptr, 0, nullptr, 0));
  EXPECT_FALSE(FrameRun::Check(nullptr, 1, run.data.data(), run.data.size()));
  EXPECT_FALSE(FrameRun::Check(run.records.data(), run.count, nullptr, run.data.size()));
  // The data cut short by one byte: the last payload no longer fits.
  EXPECT_FALSE(
      FrameRun::Check(run.records.data(), run.count, run.data.data(), run.data.size() - 1));
  auto broken = [&](size_t record, size_t at, uint32_t value) {
    auto records = run.records;
    std::memcpy(records.data() + record * 40 + at, &value, 4);
    return FrameRun::Check(records.data(), run.count, run.data.data(), run.data.size());
  };
  EXPECT_FALSE(broken(1, 4, 0x51515151));                      // magic
  EXPECT_FALSE(broken(2, 28, uint32_t(run.data.size() + 1)));  // offset beyond the data
  EXPECT_FALSE(broken(2, 28, 0xFFFFFFF0u));                    // offset and length must not wrap
  EXPECT_FALSE(broken(0, 12, 0xFFFFFFFFu));                    // payload beyond the data
  // An extension block whose length runs beyond the data.
  auto data = run.data;
  const uint32_t huge = 0xFFFFFFF0u;
  std::memcpy(data.data() + qnv::platform::LoadLe32(run.records.data() + 40 + 28), &huge, 4);
  EXPECT_FALSE(FrameRun::Check(run.records.data(), run.count, data.data(), data.size()));
}

TEST(FrameRun, UnitsGetAStartCodeAndZeroedPadding) {
  qnvtest::FrameRunBytes run;
  run.Add(Unit(kNalIdr, 5000));
  run.Add({0x41, 7, 7});        // no start code
  run.Add({});                  // nothing to decode: skipped
  run.Add({0, 0, 1, 0x41, 9});  // a 3-byte start code is kept
  ASSERT_TRUE(FrameRun::Check(run.records.data(), run.count, run.data.data(), run.data.size()));
  FrameRun walk(run.records.data(), run.count, run.data.data(), run.data.size());
  std::vector<std::vector<uint8_t>> units;
  walk.ForEachUnit([&](const uint8_t* d, size_t n) {
    units.emplace_back(d, d + n);
    // After a large unit, a small one's padding is zeroed all the same.
    for (size_t i = 0; i < kCodedFramePadding; ++i) ASSERT_EQ(d[n + i], 0) << units.size();
  });
  ASSERT_EQ(units.size(), 3u);
  EXPECT_EQ(units[0], Unit(kNalIdr, 5000));
  EXPECT_EQ(units[1], std::vector<uint8_t>({0, 0, 0, 1, 0x41, 7, 7}));
  EXPECT_EQ(units[2], std::vector<uint8_t>({0, 0, 1, 0x41, 9}));
}

}  // namespace
}  // namespace qnv::player
