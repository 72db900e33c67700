#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <random>
#include <thread>
#include <vector>

#include "platform/File.h"
#include "record/CStreamQueue.h"

namespace qnv {

using namespace protocol;
namespace {

using Bytes = std::vector<uint8_t>;

SFrameIndex Header(uint8_t tag, uint8_t kind = 1) {
  SFrameIndex h;
  for (int i = 0; i < 40; ++i) h.bytes[i] = uint8_t(tag + i);
  std::memcpy(h.bytes + 4, "QNVV", 4);
  h.SetOffset(0xDEADBEEF);  // whatever arrives here is replaced
  h.SetFrameKind(kind);
  return h;
}

Bytes Body(size_t n, uint8_t tag) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(tag * 13 + i);
  return b;
}

bool Append(CStreamQueue& q, const Bytes& body, uint8_t tag, bool newFrame = true) {
  return q.Append(body.data(), int32_t(body.size()), Header(tag), newFrame);
}

std::vector<uint32_t> Offsets(const CStreamQueue& q) {
  std::vector<uint32_t> out;
  for (size_t i = 0; i < q.Count(); ++i) out.push_back(q.Frame(i).Offset());
  return out;
}

// Invariants that hold after every append: slices back to back from the
// start of the buffer, records in step, total within capacity.
void CheckInvariants(const CStreamQueue& q) {
  int64_t sum = 0;
  for (size_t i = 0; i < q.Count(); ++i) {
    ASSERT_EQ(q.Slice(i).start, q.GetBuffer() + sum) << i;
    ASSERT_EQ(q.Frame(i).Offset(), uint32_t(sum)) << i;
    sum += q.Slice(i).length;
  }
  ASSERT_EQ(sum, q.GetTotal());
  ASSERT_LE(q.GetTotal(), q.GetCapacity());
}

TEST(StreamQueue, WorkedExample) {
  for (int fourth : {600, 500}) {
    CStreamQueue q;
    ASSERT_TRUE(q.SetCapacity(1000));
    const Bytes b1 = Body(100, 1), b2 = Body(200, 2), b3 = Body(300, 3), b4 = Body(fourth, 4);
    ASSERT_TRUE(Append(q, b1, 1));
    EXPECT_EQ(q.GetTotal(), 100);
    EXPECT_EQ(Offsets(q), (std::vector<uint32_t>{0}));
    ASSERT_TRUE(Append(q, b2, 2));
    ASSERT_TRUE(Append(q, b3, 3));
    EXPECT_EQ(Offsets(q), (std::vector<uint32_t>{0, 100, 300}));
    EXPECT_EQ(q.GetTotal(), 600);
    uint8_t* buffer = q.GetBuffer();
    ASSERT_TRUE(Append(q, b4, 4));
    EXPECT_EQ(q.GetBuffer(), buffer);
    CheckInvariants(q);
    if (fourth == 600) {
      // 600 + 600 and 500 + 600 exceed 1000; 300 + 600 does not.
      EXPECT_EQ(Offsets(q), (std::vector<uint32_t>{0, 300}));
      EXPECT_EQ(q.GetTotal(), 900);
      EXPECT_EQ(std::memcmp(buffer, b3.data(), 300), 0);
      EXPECT_EQ(std::memcmp(buffer + 300, b4.data(), 600), 0);
      EXPECT_EQ(q.Frame(0).bytes[0], 3);
    } else {
      EXPECT_EQ(Offsets(q), (std::vector<uint32_t>{0, 200, 500}));
      EXPECT_EQ(q.GetTotal(), 1000);
      EXPECT_EQ(std::memcmp(buffer, b2.data(), 200), 0);
      EXPECT_EQ(std::memcmp(buffer + 200, b3.data(), 300), 0);
      EXPECT_EQ(std::memcmp(buffer + 500, b4.data(), 500), 0);
    }
    // Every other header byte is kept as given.
    SFrameIndex want = Header(4);
    want.SetOffset(q.Frame(q.Count() - 1).Offset());
    EXPECT_EQ(std::memcmp(q.Frame(q.Count() - 1).bytes, want.bytes, 40), 0);
  }
}

TEST(StreamQueue, CapacityBounds) {
  CStreamQueue q;
  EXPECT_EQ(q.GetCapacity(), 32768);
  ASSERT_TRUE(q.SetCapacity(1000));
  // One byte too long: refused, and the buffer is not even allocated.
  EXPECT_FALSE(Append(q, Body(1001, 9), 9));
  EXPECT_EQ(q.GetBuffer(), nullptr);
  EXPECT_EQ(q.Count(), 0u);
  ASSERT_TRUE(q.SetCapacity(2000));  // still allowed
  ASSERT_TRUE(Append(q, Body(1001, 1), 1));
  ASSERT_NE(q.GetBuffer(), nullptr);
  EXPECT_FALSE(q.SetCapacity(4000));
  EXPECT_EQ(q.GetCapacity(), 2000);
  ASSERT_TRUE(Append(q, Body(500, 2), 2));
  // Refusal leaves everything as it was.
  EXPECT_FALSE(Append(q, Body(2001, 3), 3));
  EXPECT_EQ(q.Count(), 2u);
  EXPECT_EQ(q.GetTotal(), 1501);
  EXPECT_EQ(Offsets(q), (std::vector<uint32_t>{0, 1001}));
  // A frame exactly the capacity evicts everything and lands at 0.
  const Bytes full = Body(2000, 4);
  ASSERT_TRUE(Append(q, full, 4));
  EXPECT_EQ(q.Count(), 1u);
  EXPECT_EQ(q.GetTotal(), 2000);
  EXPECT_EQ(Offsets(q), (std::vector<uint32_t>{0}));
  EXPECT_EQ(std::memcmp(q.GetBuffer(), full.data(), 2000), 0);
}

TEST(StreamQueue, BadArgumentsAreRefused) {
  CStreamQueue q;
  EXPECT_FALSE(q.SetCapacity(-1));
  EXPECT_EQ(q.GetCapacity(), 32768);
  EXPECT_FALSE(q.Append(nullptr, 10, Header(1), true));
  EXPECT_FALSE(q.Append(Body(4, 1).data(), -4, Header(1), true));
  EXPECT_EQ(q.GetBuffer(), nullptr);
  EXPECT_TRUE(q.Append(nullptr, 0, Header(1), true));
}

TEST(StreamQueue, ContinuationAndEmptyFrames) {
  CStreamQueue q;
  ASSERT_TRUE(q.SetCapacity(1000));
  // newFrame false on an empty queue starts a frame.
  ASSERT_TRUE(Append(q, Body(100, 1), 1, false));
  EXPECT_EQ(q.Count(), 1u);
  ASSERT_TRUE(Append(q, Body(50, 2), 2, false));
  EXPECT_EQ(q.Count(), 1u);
  EXPECT_EQ(q.Slice(0).length, 150);
  EXPECT_EQ(q.GetTotal(), 150);
  EXPECT_EQ(q.Frame(0).bytes[0], 1);  // the first header stays
  // A zero-length frame: an empty slice at the current total.
  ASSERT_TRUE(Append(q, Bytes(), 3));
  EXPECT_EQ(q.Count(), 2u);
  EXPECT_EQ(Offsets(q), (std::vector<uint32_t>{0, 150}));
  EXPECT_EQ(q.Slice(1).length, 0);
  // Eviction stops once the rest fits: the empty frame stays and is continued.
  ASSERT_TRUE(Append(q, Body(950, 4), 4, false));
  EXPECT_EQ(q.Count(), 1u);
  EXPECT_EQ(q.Frame(0).bytes[0], 3);
  EXPECT_EQ(q.Slice(0).length, 950);
  CheckInvariants(q);
  // A continuation that evicts the frame it continues becomes a frame itself.
  ASSERT_TRUE(Append(q, Body(600, 5), 5, false));
  EXPECT_EQ(q.Count(), 1u);
  EXPECT_EQ(q.Frame(0).bytes[0], 5);
  EXPECT_EQ(q.GetTotal(), 600);
  CheckInvariants(q);
}

TEST(StreamQueue, EmptyFramesCannotGrowTheRecordsWithoutBound) {
  CStreamQueue q;
  ASSERT_TRUE(q.SetCapacity(1000));
  ASSERT_TRUE(Append(q, Body(10, 1), 1));
  for (int i = 0; i < 5000; ++i) ASSERT_TRUE(Append(q, Bytes(), uint8_t(i)));
  EXPECT_EQ(q.Count(), q.MaxFrames());
  EXPECT_EQ(q.GetTotal(), 0);  // the oldest, non-empty frame went first
  CheckInvariants(q);
}

TEST(StreamQueue, SmallFramesThatFitTheBytesAreAllKept) {
  CStreamQueue q;
  ASSERT_TRUE(q.SetCapacity(358400));
  for (int i = 0; i < 5000; ++i) ASSERT_TRUE(Append(q, Body(11, uint8_t(i)), uint8_t(i)));
  EXPECT_EQ(q.Count(), 5000u);
  EXPECT_EQ(q.GetTotal(), 55000);
  CheckInvariants(q);
}

// Frames of a stream in groups: SPS, PPS, IDR, then P frames, bodies with
// their NAL unit headers.
Bytes NalBody(uint8_t nalHeader, size_t length) {
  Bytes b(length, 0x22);
  b[0] = 0, b[1] = 0, b[2] = 0, b[3] = 1, b[4] = nalHeader;
  return b;
}
SFrameIndex PlainHeader(uint8_t tag, uint8_t kind) {
  SFrameIndex h = Header(tag, kind);
  h.bytes[kFrameExtFlagOffset] = 0;  // no extension block: the body is the payload
  return h;
}

TEST(StreamQueue, TimedStretchHoldsTheSpanInWholeGroupsWithinItsBytes) {
  CStreamQueue q;
  ASSERT_TRUE(q.Reconfigure(4000, 250));
  uint64_t now = 1000;
  uint8_t seq = 0;
  auto group = [&](size_t pictureBytes, int pictures) {
    const uint8_t headers[3] = {0x67, 0x68, 0x65};
    for (uint8_t h : headers) {
      SFrameIndex hd = PlainHeader(seq++, h == 0x68 ? 2 : 1);
      Bytes b = NalBody(h, h == 0x65 ? pictureBytes : 10);
      q.Append(b.data(), int32_t(b.size()), hd, true, now);
    }
    for (int i = 1; i < pictures; ++i) {
      now += 10;
      Bytes b = NalBody(0x41, pictureBytes);
      q.Append(b.data(), int32_t(b.size()), PlainHeader(seq++, 2), true, now);
    }
    now += 10;
  };
  // A P frame before any group is not held.
  Bytes p = NalBody(0x41, 20);
  EXPECT_FALSE(q.Append(p.data(), int32_t(p.size()), PlainHeader(seq++, 2), true, now));
  for (int g = 0; g < 10; ++g) group(20, 10);  // 100 ms groups
  // The oldest group goes once the newer ones alone hold 250 ms.
  ASSERT_GT(q.Count(), 0u);
  EXPECT_EQ(q.Slice(0).start[4], 0x67);
  EXPECT_EQ(q.Count(), 3u * 12u);
  CheckInvariants(q);
  // Bytes bound the stretch: 300-byte pictures make 2.7 KB groups, one fits.
  for (int g = 0; g < 3; ++g) group(300, 9);
  EXPECT_EQ(q.Slice(0).start[4], 0x67);
  EXPECT_LE(q.GetTotal(), 4000);
  EXPECT_EQ(q.Count(), 11u);
  // A group that cannot be held whole is not held at all, nor the rest of it.
  group(600, 9);
  EXPECT_EQ(q.Count(), 0u);
  group(20, 10);
  EXPECT_EQ(q.Slice(0).start[4], 0x67);
  CheckInvariants(q);
}

// Cameras send SEI (or an access unit delimiter) between the parameter sets
// and the IDR picture: the stretch still always begins at the sequence
// parameter set, never at the IDR picture without the sets it needs.
TEST(StreamQueue, TimedStretchKeepsTheParameterSetsAheadOfSeiAndIdr) {
  CStreamQueue q;
  ASSERT_TRUE(q.Reconfigure(1 << 20, 250));
  uint64_t now = 1000;
  uint8_t seq = 0;
  size_t checked = 0;
  for (int g = 0; g < 12; ++g) {
    for (uint8_t h : {uint8_t(0x67), uint8_t(0x68), uint8_t(0x06), uint8_t(0x65)}) {
      const Bytes b = NalBody(h, 30);
      q.Append(b.data(), int32_t(b.size()), PlainHeader(seq++, h == 0x65 ? 1 : 0), true, now);
    }
    for (int i = 0; i < 9; ++i) {
      now += 10;
      const Bytes b = NalBody(0x41, 30);
      q.Append(b.data(), int32_t(b.size()), PlainHeader(seq++, 2), true, now);
      ASSERT_GT(q.Count(), 0u);
      ASSERT_EQ(q.Held(0).body[4], 0x67) << "group " << g << ", picture " << i;
      ++checked;
    }
    now += 10;
  }
  EXPECT_EQ(checked, 108u);
}

TEST(StreamQueue, NewStretchSettingNeverBeginsAtAnIdrWhoseSetsItDropped) {
  CStreamQueue q;
  ASSERT_TRUE(q.Reconfigure(1 << 20, 250));
  uint64_t now = 1000;
  uint8_t seq = 0;
  auto add = [&](uint8_t h, uint8_t kind) {
    const Bytes b = NalBody(h, 30);
    q.Append(b.data(), int32_t(b.size()), PlainHeader(seq++, kind), true, now);
    now += 10;
  };
  add(0x67, 0);
  add(0x68, 0);
  // Set anew between the parameter sets and their picture: the sets go
  // with the old contents, and their IDR must not begin a stretch.
  ASSERT_TRUE(q.Reconfigure(1 << 20, 1000));
  add(0x65, 1);
  add(0x41, 2);
  EXPECT_TRUE(q.Count() == 0 || q.Held(0).body[4] != 0x65);
  add(0x67, 0);
  add(0x68, 0);
  add(0x65, 1);
  ASSERT_GT(q.Count(), 0u);
  EXPECT_EQ(q.Held(0).body[4], 0x67);
}

TEST(GroupStart, BeginsAtTheFirstParameterSetOrAnIdrWithoutAny) {
  CGroupStart g;
  struct Step {
    uint8_t nal;
    uint8_t kind;
    bool starts, boundary;
  } steps[] = {
      {0x67, 0, true, true},    // SPS: a group begins
      {0x68, 0, false, false},  // PPS
      {0x06, 0, false, false},  // SEI between the sets and the picture
      {0x65, 1, false, false},  // the IDR picture they lead up to
      {0x41, 2, false, false},
      {0x65, 1, true, true},  // an IDR picture no sets lead up to
      {0x41, 2, false, false},
      {0x41, 1, false, true},  // an I picture (no IDR): a place to hand over
      {0x67, 0, true, true},
      {0x67, 0, false, false},  // a second SPS before the picture begins nothing
      {0x68, 0, false, false},
      {0x09, 0, false, false},  // an access unit delimiter
      {0x65, 1, false, false},
  };
  uint8_t tag = 0;
  for (const Step& s : steps) {
    const Bytes b = NalBody(s.nal, 16);
    EXPECT_EQ(g.Next(PlainHeader(tag, s.kind), b.data(), b.size()), s.starts) << int(tag);
    EXPECT_EQ(g.Boundary(), s.boundary) << int(tag);
    ++tag;
  }
}

// A model of the queue: whole frames, oldest first.
struct SModelFrame {
  Bytes body;
  SFrameIndex header;
};

struct SModel {
  explicit SModel(int32_t c) : capacity(c) {}
  int32_t capacity;
  std::deque<SModelFrame> frames;
  int64_t total = 0;

  // As the queue appends a body it takes: the oldest frames go until it fits.
  void Append(const Bytes& body, const SFrameIndex& header, bool newFrame = true) {
    const int64_t len = int64_t(body.size());
    while (!frames.empty() && total + len > capacity) {
      total -= int64_t(frames.front().body.size());
      frames.pop_front();
    }
    if (newFrame || frames.empty()) {
      frames.push_back({body, header});
    } else {
      frames.back().body.insert(frames.back().body.end(), body.begin(), body.end());
    }
    total += len;
  }
};

TEST(StreamQueue, RandomAppendsKeepEveryInvariant) {
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    std::mt19937 rng(seed);
    const int32_t capacity = int32_t(500 + rng() % 3000);
    CStreamQueue q;
    ASSERT_TRUE(q.SetCapacity(capacity));
    SModel m(capacity);
    const std::deque<SModelFrame>& model = m.frames;
    const SFrameIndex* records = nullptr;
    for (int step = 0; step < 3000; ++step) {
      const int32_t len = rng() % 50 == 0   ? capacity + int32_t(rng() % 3)
                          : rng() % 30 == 0 ? 0
                                            : int32_t(rng() % uint32_t(capacity / 3));
      const bool newFrame = rng() % 5 != 0;
      const Bytes body = Body(size_t(len), uint8_t(step));
      const SFrameIndex header = Header(uint8_t(step), uint8_t(rng() % 3));
      const bool ok = q.Append(body.data(), len, header, newFrame);
      ASSERT_EQ(ok, len <= capacity);
      if (ok) m.Append(body, header, newFrame);
      ASSERT_NO_FATAL_FAILURE(CheckInvariants(q));
      ASSERT_EQ(q.Count(), model.size());
      ASSERT_EQ(q.GetTotal(), m.total);
      for (size_t i = 0; i < model.size(); ++i) {
        const CStreamQueue::SBuf& s = q.Slice(i);
        ASSERT_EQ(size_t(s.length), model[i].body.size());
        if (s.length > 0) {
          ASSERT_EQ(std::memcmp(s.start, model[i].body.data(), model[i].body.size()), 0);
        }
        SFrameIndex want = model[i].header;
        want.SetOffset(q.Frame(i).Offset());
        ASSERT_EQ(std::memcmp(q.Frame(i).bytes, want.bytes, 40), 0);
      }
      // Past the first few frames the records never move: no allocation per frame.
      if (step == 100 && q.Count() > 0) records = &q.Frame(0);
      if (step > 100 && records != nullptr && q.Count() > 0) {
        ASSERT_EQ(&q.Frame(0), records);
      }
    }
  }
}

// Many appends between two looks: inside, the bytes wrap around the end of
// the buffer; every look, and every read-out, still sees the one-run layout.
TEST(StreamQueue, AppendsBetweenLooksWrapButLooksSeeOneRun) {
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    std::mt19937 rng(seed);
    const int32_t capacity = int32_t(300 + rng() % 2000);
    CStreamQueue q;
    ASSERT_TRUE(q.SetCapacity(capacity));
    SModel m(capacity);
    const std::deque<SModelFrame>& model = m.frames;
    int untilLook = 1;
    for (int step = 0; step < 4000; ++step) {
      const int32_t len = rng() % 40 == 0   ? capacity
                          : rng() % 20 == 0 ? 0
                                            : int32_t(rng() % uint32_t(capacity / 2));
      const bool newFrame = rng() % 6 != 0;
      const Bytes body = Body(size_t(len), uint8_t(step));
      const SFrameIndex header = Header(uint8_t(step));
      ASSERT_TRUE(q.Append(body.data(), len, header, newFrame));
      m.Append(body, header, newFrame);
      ASSERT_EQ(q.Count(), model.size());
      ASSERT_EQ(q.GetTotal(), m.total);
      if (--untilLook > 0) continue;
      untilLook = 1 + int(rng() % 25);
      if (rng() % 2 == 0) {
        // The read-out of a recording: one run of bytes, records in step.
        FILE* data = std::tmpfile();
        FILE* index = std::tmpfile();
        ASSERT_NE(data, nullptr);
        ASSERT_NE(index, nullptr);
        ASSERT_TRUE(q.WriteTo(data, index));
        std::fflush(data);
        std::fflush(index);
        // One spare byte each, so an empty queue reads into real storage too.
        Bytes dataBytes(size_t(platform::FileSize(data)) + 1);
        Bytes indexBytes(size_t(platform::FileSize(index)) + 1);
        std::rewind(data);
        std::rewind(index);
        ASSERT_EQ(std::fread(dataBytes.data(), 1, dataBytes.size(), data), dataBytes.size() - 1);
        ASSERT_EQ(std::fread(indexBytes.data(), 1, indexBytes.size(), index),
                  indexBytes.size() - 1);
        dataBytes.pop_back();
        indexBytes.pop_back();
        std::fclose(data);
        std::fclose(index);
        ASSERT_EQ(dataBytes.size(), size_t(m.total));
        ASSERT_EQ(indexBytes.size(), 40 * model.size());
        uint32_t offset = 0;
        for (size_t i = 0; i < model.size(); ++i) {
          const SFrameIndex rec = SFrameIndex::From(indexBytes.data() + 40 * i);
          ASSERT_EQ(rec.Offset(), offset) << step << " " << i;
          SFrameIndex want = model[i].header;
          want.SetOffset(offset);
          ASSERT_EQ(std::memcmp(rec.bytes, want.bytes, 40), 0);
          if (!model[i].body.empty()) {
            ASSERT_EQ(
                std::memcmp(dataBytes.data() + offset, model[i].body.data(), model[i].body.size()),
                0);
          }
          offset += uint32_t(model[i].body.size());
        }
      } else {
        ASSERT_NO_FATAL_FAILURE(CheckInvariants(q));
        for (size_t i = 0; i < model.size(); ++i) {
          ASSERT_EQ(size_t(q.Slice(i).length), model[i].body.size());
          if (!model[i].body.empty()) {
            ASSERT_EQ(std::memcmp(q.Slice(i).start, model[i].body.data(), model[i].body.size()), 0);
          }
        }
      }
    }
  }
}

// An empty frame behind a full queue lies at the end of the held bytes, both
// when the held bytes start at the buffer's start and when they wrap inside.
TEST(StreamQueue, EmptyFrameBehindAFullQueue) {
  CStreamQueue q;
  ASSERT_TRUE(q.SetCapacity(1000));
  ASSERT_TRUE(Append(q, Body(1000, 1), 1));
  ASSERT_TRUE(Append(q, Bytes(), 2));
  EXPECT_EQ(Offsets(q), (std::vector<uint32_t>{0, 1000}));
  CheckInvariants(q);

  CStreamQueue w;
  ASSERT_TRUE(w.SetCapacity(1000));
  ASSERT_TRUE(Append(w, Body(600, 1), 1));
  ASSERT_TRUE(Append(w, Body(300, 2), 2));
  ASSERT_TRUE(Append(w, Body(500, 3), 3));  // evicts the first; lands across the end
  ASSERT_TRUE(Append(w, Bytes(), 4));
  ASSERT_TRUE(Append(w, Body(200, 5), 5));  // fills the queue
  ASSERT_TRUE(Append(w, Bytes(), 6));
  EXPECT_EQ(Offsets(w), (std::vector<uint32_t>{0, 300, 800, 800, 1000}));
  EXPECT_EQ(w.GetTotal(), 1000);
  EXPECT_EQ(std::memcmp(w.GetBuffer(), Body(300, 2).data(), 300), 0);
  EXPECT_EQ(std::memcmp(w.GetBuffer() + 300, Body(500, 3).data(), 500), 0);
  EXPECT_EQ(std::memcmp(w.GetBuffer() + 800, Body(200, 5).data(), 200), 0);
  CheckInvariants(w);
}

// A ring that comes round slowly, like a live camera's, is filled with
// streaming stores: bodies of every length and alignment still arrive whole.
TEST(StreamQueue, SlowRingKeepsExactBytes) {
  CStreamQueue q;
  ASSERT_TRUE(q.SetCapacity(1000));
  SModel m(1000);
  const std::deque<SModelFrame>& model = m.frames;
  for (int step = 0; step < 40; ++step) {
    // Odd lengths move the bodies across every alignment; the pauses make the
    // ring come round more slowly than a cached one would.
    const int32_t len = 1 + (step * 97) % 331;
    if (step % 4 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(7));
    const Bytes body = Body(size_t(len), uint8_t(step));
    ASSERT_TRUE(Append(q, body, uint8_t(step)));
    m.Append(body, Header(uint8_t(step)));
    ASSERT_NO_FATAL_FAILURE(CheckInvariants(q));
    ASSERT_EQ(q.Count(), model.size());
    for (size_t i = 0; i < model.size(); ++i) {
      ASSERT_EQ(std::memcmp(q.Slice(i).start, model[i].body.data(), model[i].body.size()), 0)
          << step << " " << i;
    }
  }
}

// The read-out: one data write of the held bytes, then the records, whose
// offsets are the offsets of the bodies in the data file.
TEST(StreamQueue, ReadOutWritesDataAndIndex) {
  CStreamQueue q;
  ASSERT_TRUE(q.SetCapacity(1000));
  for (int i = 0; i < 7; ++i)
    ASSERT_TRUE(Append(q, Body(size_t(100 + 37 * i), uint8_t(i)), uint8_t(i)));
  FILE* data = std::tmpfile();
  FILE* index = std::tmpfile();
  ASSERT_NE(data, nullptr);
  ASSERT_NE(index, nullptr);
  ASSERT_TRUE(q.WriteTo(data, index));
  std::fflush(data);
  std::fflush(index);
  Bytes dataBytes(size_t(platform::FileSize(data)));
  Bytes indexBytes(size_t(platform::FileSize(index)));
  std::rewind(data);
  std::rewind(index);
  ASSERT_EQ(std::fread(dataBytes.data(), 1, dataBytes.size(), data), dataBytes.size());
  ASSERT_EQ(std::fread(indexBytes.data(), 1, indexBytes.size(), index), indexBytes.size());
  ASSERT_EQ(dataBytes.size(), size_t(q.GetTotal()));
  ASSERT_EQ(indexBytes.size(), 40 * q.Count());
  for (size_t i = 0; i < q.Count(); ++i) {
    const SFrameIndex rec = SFrameIndex::From(indexBytes.data() + 40 * i);
    EXPECT_EQ(std::memcmp(rec.bytes, q.Frame(i).bytes, 40), 0);
    EXPECT_EQ(
        std::memcmp(dataBytes.data() + rec.Offset(), q.Slice(i).start, size_t(q.Slice(i).length)),
        0);
  }
  EXPECT_FALSE(q.WriteIndex(nullptr));
  EXPECT_FALSE(q.WriteTo(nullptr, index));
  std::fclose(data);
  std::fclose(index);
}

size_t ShortWrite(FILE*, const void*, size_t n) { return n / 2; }

TEST(StreamQueue, ShortWritesAreReported) {
  CStreamQueue q;
  ASSERT_TRUE(Append(q, Body(300, 1), 1));
  ASSERT_TRUE(Append(q, Body(300, 2), 2));
  FILE* data = std::tmpfile();
  FILE* index = std::tmpfile();
  ASSERT_NE(data, nullptr);
  ASSERT_NE(index, nullptr);
  platform::SetFileWriteHookForTesting(&ShortWrite);
  EXPECT_FALSE(q.WriteTo(data, index));
  EXPECT_FALSE(q.WriteIndex(index));
  platform::SetFileWriteHookForTesting(nullptr);
  EXPECT_TRUE(q.WriteTo(data, index));
  // An empty queue writes nothing and succeeds.
  CStreamQueue empty;
  EXPECT_TRUE(empty.WriteTo(data, index));
  EXPECT_TRUE(empty.WriteIndex(index));
  std::fclose(data);
  std::fclose(index);
}

}  // namespace
}  // namespace qnv
