#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "live/CFrameAssembler.h"
#include "protocol/CommandMessage.h"
#include "protocol/FrameHeader.h"
#include "record/CPendingFrames.h"
#include "record/CStreamQueue.h"
#include "support/QueueContent.h"

namespace qnv {

using namespace protocol;
namespace {

using Bytes = std::vector<uint8_t>;

// kArea reads straight into the assembler (ReceiveArea, then Received), as
// the streaming connection does; kCopy hands it chunks (Feed).
enum class Mode { kCopy, kArea };

// Puts `bytes` into the assembler's own receive areas, at most `most` per
// read, as a socket would.
bool ReadIntoArea(CFrameAssembler& a, const uint8_t* bytes, size_t length, size_t most,
                  IFrameSink* sink) {
  size_t pos = 0;
  while (pos < length) {
    uint32_t capacity = 0;
    uint8_t* area = a.ReceiveArea(&capacity);
    if (capacity == 0) {
      ADD_FAILURE() << "empty receive area";
      return false;
    }
    const size_t n = std::min({size_t(capacity), length - pos, most});
    std::memcpy(area, bytes + pos, n);
    if (!a.Received(n, sink)) return false;
    pos += n;
  }
  return true;
}

// Start code, NAL header and a first byte holding first_mb_in_slice 0 and the slice type.
constexpr uint8_t kISlice[] = {0, 0, 0, 1, 0x65, 0x88};  // slice_type 7
constexpr uint8_t kPSlice[] = {0, 0, 0, 1, 0x41, 0x9A};  // slice_type 5
constexpr uint8_t kBSlice[] = {0, 0, 0, 1, 0x01, 0xA8};  // slice_type 1

bool IsMagicLetter(uint8_t b) { return b == 'Q' || b == 'N' || b == 'V'; }

// A byte that can never form part of a false "QNVV" between garbage and headers.
uint8_t PlainByte(std::mt19937& rng) {
  uint8_t b;
  do b = uint8_t(rng());
  while (IsMagicLetter(b));
  return b;
}

struct SFrame {
  Bytes bytes;
  uint8_t kind;  // expected byte 35
};

// A frame with `payloadLength` payload bytes and, for extLength >= 0, an
// extension block of that many bytes. kind selects the slice header written
// at the start of payloads of 7 bytes or more; shorter payloads give kind 0.
SFrame MakeFrame(std::mt19937& rng, uint32_t payloadLength, int64_t extLength, uint8_t kind) {
  const uint64_t ext = extLength < 0 ? 0 : uint64_t(extLength) + 4;
  SFrame f;
  f.bytes.resize(40 + ext + payloadLength);
  uint8_t* p = f.bytes.data();
  for (int i = 0; i < 40; ++i) p[i] = PlainByte(rng);
  std::memcpy(p + 4, "QNVV", 4);
  platform::StoreLe32(p + 12, payloadLength);
  p[35] = 0xEE;  // whatever the device sent is overwritten
  p[36] = extLength < 0 ? 0 : uint8_t(1 + rng() % 255);
  if (extLength >= 0) {
    platform::StoreLe32(p + 40, uint32_t(extLength));
    for (uint64_t i = 0; i < uint64_t(extLength); ++i) p[44 + i] = uint8_t(rng());
  }
  uint8_t* payload = p + 40 + ext;
  // Filler, never zero so nothing is trimmed: a short random run repeated,
  // copied in blocks so that big frames are quick to build.
  uint8_t run[4093];
  for (uint8_t& b : run) b = uint8_t(rng() | 1);
  for (uint32_t i = 0; i < payloadLength; i += sizeof run) {
    std::memcpy(payload + i, run, std::min<size_t>(sizeof run, payloadLength - i));
  }
  f.kind = 0;
  if (payloadLength >= 7) {
    const uint8_t* head = kind == 1 ? kISlice : kind == 2 ? kPSlice : kBSlice;
    std::memcpy(payload, head, 6);
    f.kind = kind == 1 || kind == 2 ? kind : 0;
  }
  return f;
}

SFrame MakeFrame(uint32_t payloadLength, int64_t extLength = -1, uint8_t kind = 1) {
  std::mt19937 rng(payloadLength * 31 + uint32_t(extLength));
  return MakeFrame(rng, payloadLength, extLength, kind);
}

// Checks every delivered frame against the expected sequence as it arrives.
struct SChecker final : IFrameSink {
  const std::vector<const SFrame*>* expected = nullptr;
  size_t next = 0;
  size_t mismatches = 0;
  size_t stopAfter = SIZE_MAX;         // return false from the sink after this many frames
  const uint8_t* areaBegin = nullptr;  // when set, frames must lie inside this area
  const uint8_t* areaEnd = nullptr;

  bool Frame(uint8_t* frame, uint32_t length) override { return Sink(this, frame, length); }
  static bool Sink(void* context, uint8_t* frame, uint32_t length) {
    auto* self = static_cast<SChecker*>(context);
    const size_t i = self->next++;
    if (i >= self->expected->size()) {
      ADD_FAILURE() << "unexpected frame " << i << " of length " << length;
      ++self->mismatches;
      return true;
    }
    const SFrame& want = *(*self->expected)[i];
    bool same = length == want.bytes.size() && frame[35] == want.kind &&
                std::memcmp(frame, want.bytes.data(), 35) == 0 &&
                std::memcmp(frame + 36, want.bytes.data() + 36, length - 36) == 0;
    if (!same) {
      ++self->mismatches;
      ADD_FAILURE() << "frame " << i << " differs: length " << length << " want "
                    << want.bytes.size() << ", kind " << int(frame[35]) << " want "
                    << int(want.kind);
    }
    if (self->areaBegin != nullptr && (frame < self->areaBegin || frame + length > self->areaEnd)) {
      ADD_FAILURE() << "frame " << i << " was not delivered in place";
    }
    return self->next < self->stopAfter;
  }
};

size_t PickChunk(std::mt19937& rng) {
  switch (rng() % 8) {
    case 0:
      return 1 + rng() % 8;
    case 1:
      return 1 + rng() % 100;
    default:
      return 1 + rng() % 65536;
  }
}

// Feeds `stream` cut into random chunks.
bool FeedStream(CFrameAssembler& a, const Bytes& stream, Mode mode, std::mt19937& rng,
                SChecker& checker) {
  size_t pos = 0;
  while (pos < stream.size()) {
    const size_t n = std::min(PickChunk(rng), stream.size() - pos);
    bool more;
    if (mode == Mode::kArea) {
      more = ReadIntoArea(a, stream.data() + pos, n, n, &checker);
    } else {
      more = a.Feed(stream.data() + pos, n, &checker);
    }
    if (!more) return false;
    pos += n;
  }
  return true;
}

uint32_t PowerOfTwoAtLeast(uint64_t n) {
  uint64_t c = CFrameAssembler::kInitialCapacity;
  while (c < n) c <<= 1;
  return uint32_t(c);
}

class FrameAssemblerModes : public testing::TestWithParam<Mode> {
 protected:
  bool FeedAll(CFrameAssembler& a, const Bytes& bytes, SChecker& checker) {
    if (GetParam() == Mode::kCopy) return a.Feed(bytes.data(), bytes.size(), &checker);
    return ReadIntoArea(a, bytes.data(), bytes.size(), SIZE_MAX, &checker);
  }
};

INSTANTIATE_TEST_SUITE_P(, FrameAssemblerModes, testing::Values(Mode::kCopy, Mode::kArea),
                         [](const testing::TestParamInfo<Mode>& info) {
                           return info.param == Mode::kCopy ? "Copy" : "Area";
                         });

// Random streams: frames of every shape with garbage between them, in random chunks.
TEST_P(FrameAssemblerModes, RandomStreamsArriveWholeOnceInOrder) {
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    std::mt19937 rng(seed);
    std::vector<SFrame> frames;
    Bytes stream;
    uint64_t garbage = 0;
    for (int i = 0; i < 120; ++i) {
      if (rng() % 6 == 0) {
        const size_t g = rng() % 5 == 0 ? 1 + rng() % 7 : 1 + rng() % 3000;
        for (size_t k = 0; k < g; ++k) stream.push_back(PlainByte(rng));
        garbage += g;
      }
      uint32_t len;
      switch (rng() % 10) {
        case 0:
          len = 0;
          break;
        case 1:
          len = rng() % 3 == 0 ? 300 * 1024 + rng() % 1000 : 7 + rng() % 100000;
          break;
        default:
          len = 7 + rng() % 20000;
      }
      if (i == 100 && seed % 2 == 0) len = 2 * 1000 * 1000;
      const int64_t ext = rng() % 4 == 0 ? int64_t(rng() % (rng() % 2 ? 5 : 5000)) : -1;
      frames.push_back(MakeFrame(rng, len, ext, uint8_t(rng() % 3)));
      stream.insert(stream.end(), frames.back().bytes.begin(), frames.back().bytes.end());
    }
    std::vector<const SFrame*> expected;
    uint32_t capacity = CFrameAssembler::kInitialCapacity;
    uint32_t growths = 0;
    for (const SFrame& f : frames) {
      expected.push_back(&f);
      if (f.bytes.size() > capacity) {
        capacity = PowerOfTwoAtLeast(f.bytes.size());
        ++growths;
      }
    }
    CFrameAssembler a;
    SChecker checker;
    checker.expected = &expected;
    ASSERT_TRUE(FeedStream(a, stream, GetParam(), rng, checker));
    EXPECT_EQ(checker.next, expected.size()) << "seed " << seed;
    EXPECT_EQ(checker.mismatches, 0u) << "seed " << seed;
    EXPECT_EQ(a.Held(), 0u);
    EXPECT_EQ(a.DroppedBytes(), garbage);
    EXPECT_EQ(a.OversizeFrames(), 0u);
    EXPECT_EQ(a.DeliveredFrames(), expected.size());
    // The buffer grows only when a frame larger than any before it arrives.
    EXPECT_EQ(a.Growths(), growths) << "seed " << seed;
    EXPECT_EQ(a.Capacity(), capacity);
  }
}

// The largest frame is delivered; one byte more is no frame, and the frames
// around it still arrive.
TEST_P(FrameAssemblerModes, FramesAroundTheSizeLimit) {
  const uint32_t maxPayload = QNVNetFrameHeader::kMaxFrameSize - 40;
  std::mt19937 rng(77);
  std::vector<SFrame> frames;
  frames.push_back(MakeFrame(rng, 1000, -1, 1));
  frames.push_back(MakeFrame(rng, maxPayload + 1, -1, 1));  // oversize
  frames.push_back(MakeFrame(rng, 500, 3, 2));
  frames.push_back(MakeFrame(rng, maxPayload - 10, 6, 1));  // exactly the limit with its block
  frames.push_back(MakeFrame(rng, maxPayload - 6, 3, 2));   // the limit + 1, through the block
  frames.push_back(MakeFrame(rng, 0, -1, 0));
  Bytes stream;
  for (const SFrame& f : frames) stream.insert(stream.end(), f.bytes.begin(), f.bytes.end());
  std::vector<const SFrame*> expected = {&frames[0], &frames[2], &frames[3], &frames[5]};
  ASSERT_EQ(frames[3].bytes.size(), QNVNetFrameHeader::kMaxFrameSize);

  CFrameAssembler a;
  SChecker checker;
  checker.expected = &expected;
  ASSERT_TRUE(FeedStream(a, stream, GetParam(), rng, checker));
  EXPECT_EQ(checker.next, expected.size());
  EXPECT_EQ(checker.mismatches, 0u);
  EXPECT_EQ(a.OversizeFrames(), 2u);
  EXPECT_EQ(a.DroppedBytes(), frames[1].bytes.size() + frames[4].bytes.size());
  EXPECT_EQ(a.Held(), 0u);
  EXPECT_EQ(a.Growths(), 1u);
  EXPECT_EQ(a.Capacity(), QNVNetFrameHeader::kMaxFrameSize);
}

TEST_P(FrameAssemblerModes, BufferGrowsOnceForARunOfLargeFrames) {
  std::mt19937 rng(5);
  std::vector<SFrame> frames;
  for (int i = 0; i < 12; ++i) frames.push_back(MakeFrame(rng, 2 * 1000 * 1000 - i, -1, 2));
  Bytes stream;
  std::vector<const SFrame*> expected;
  for (const SFrame& f : frames) {
    stream.insert(stream.end(), f.bytes.begin(), f.bytes.end());
    expected.push_back(&f);
  }
  CFrameAssembler a;
  SChecker checker;
  checker.expected = &expected;
  ASSERT_TRUE(FeedStream(a, stream, GetParam(), rng, checker));
  EXPECT_EQ(checker.next, frames.size());
  EXPECT_EQ(checker.mismatches, 0u);
  EXPECT_EQ(a.Growths(), 1u);
  EXPECT_EQ(a.Capacity(), 2u << 20);
}

TEST_P(FrameAssemblerModes, PartialFramesWaitForTheirLastByte) {
  const SFrame f = MakeFrame(3000, 10, 1);
  std::vector<const SFrame*> expected = {&f};
  CFrameAssembler a;
  SChecker checker;
  checker.expected = &expected;
  Bytes head(f.bytes.begin(), f.bytes.begin() + 39);
  ASSERT_TRUE(FeedAll(a, head, checker));
  EXPECT_EQ(checker.next, 0u);
  EXPECT_EQ(a.Held(), 39u);
  for (size_t i = 39; i + 1 < f.bytes.size(); ++i) {
    ASSERT_TRUE(FeedAll(a, Bytes{f.bytes[i]}, checker));
  }
  EXPECT_EQ(checker.next, 0u);
  ASSERT_TRUE(FeedAll(a, Bytes{f.bytes.back()}, checker));
  EXPECT_EQ(checker.next, 1u);
  EXPECT_EQ(checker.mismatches, 0u);
  EXPECT_EQ(a.Held(), 0u);
}

TEST_P(FrameAssemblerModes, TwoFramesAndTheStartOfAThird) {
  const SFrame f1 = MakeFrame(100, -1, 1), f2 = MakeFrame(200, 0, 2), f3 = MakeFrame(50, -1, 1);
  std::vector<const SFrame*> expected = {&f1, &f2, &f3};
  Bytes chunk = f1.bytes;
  chunk.insert(chunk.end(), f2.bytes.begin(), f2.bytes.end());
  chunk.insert(chunk.end(), f3.bytes.begin(), f3.bytes.begin() + 10);
  CFrameAssembler a;
  SChecker checker;
  checker.expected = &expected;
  ASSERT_TRUE(FeedAll(a, chunk, checker));
  EXPECT_EQ(checker.next, 2u);
  EXPECT_EQ(a.Held(), 10u);
  ASSERT_TRUE(FeedAll(a, Bytes(f3.bytes.begin() + 10, f3.bytes.end()), checker));
  EXPECT_EQ(checker.next, 3u);
  EXPECT_EQ(checker.mismatches, 0u);
}

TEST_P(FrameAssemblerModes, GarbageIsSkippedUpToTheNextHeader) {
  const SFrame f1 = MakeFrame(100, -1, 1), f2 = MakeFrame(64, -1, 2);
  std::vector<const SFrame*> expected = {&f1, &f2};
  // A bad header with a whole frame behind it in the same chunk, and a header
  // whose magic is almost right.
  Bytes chunk(40, 0x11);
  chunk.insert(chunk.end(), f1.bytes.begin(), f1.bytes.end());
  const Bytes nearMiss = {1, 2, 3, 4, 'Q', 'N', 'V', 'X', 'Q', 'N', 'V'};
  chunk.insert(chunk.end(), nearMiss.begin(), nearMiss.end());
  chunk.insert(chunk.end(), f2.bytes.begin(), f2.bytes.end());
  CFrameAssembler a;
  SChecker checker;
  checker.expected = &expected;
  ASSERT_TRUE(FeedAll(a, chunk, checker));
  EXPECT_EQ(checker.next, 2u);
  EXPECT_EQ(checker.mismatches, 0u);
  EXPECT_EQ(a.DroppedBytes(), 40u + nearMiss.size());
  EXPECT_EQ(a.Held(), 0u);
}

// Every way of cutting a short stream in two, and byte by byte: garbage
// with near-miss magics, a frame with an extension block, an empty frame.
TEST_P(FrameAssemblerModes, EveryCutGivesTheSameFrames) {
  const SFrame f1 = MakeFrame(60, 5, 1), f2 = MakeFrame(0), f3 = MakeFrame(25, -1, 2);
  std::vector<const SFrame*> expected = {&f1, &f2, &f3};
  const Bytes lead = {'Q', 'N', 'V', 'V', 1, 2, 'Q', 'N', 'V'};  // magic at 0: not a header
  const Bytes mid = {3, 4, 5, 6, 'Q', 'N', 'V', 'X', 'Q', 'N', 'V', 'Q', 'N', 'V'};
  Bytes stream = lead;
  for (const Bytes* part : {&f1.bytes, &mid, &f2.bytes, &f3.bytes}) {
    stream.insert(stream.end(), part->begin(), part->end());
  }
  const uint64_t garbage = lead.size() + mid.size();
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    CFrameAssembler a;
    SChecker checker;
    checker.expected = &expected;
    ASSERT_TRUE(FeedAll(a, Bytes(stream.begin(), stream.begin() + cut), checker));
    ASSERT_TRUE(FeedAll(a, Bytes(stream.begin() + cut, stream.end()), checker));
    EXPECT_EQ(checker.next, 3u) << "cut " << cut;
    EXPECT_EQ(checker.mismatches, 0u) << "cut " << cut;
    EXPECT_EQ(a.DroppedBytes(), garbage) << "cut " << cut;
    EXPECT_EQ(a.Held(), 0u);
  }
  CFrameAssembler a;
  SChecker checker;
  checker.expected = &expected;
  for (uint8_t b : stream) ASSERT_TRUE(FeedAll(a, Bytes{b}, checker));
  EXPECT_EQ(checker.next, 3u);
  EXPECT_EQ(checker.mismatches, 0u);
  EXPECT_EQ(a.DroppedBytes(), garbage);
}

TEST_P(FrameAssemblerModes, ExtensionBlockShapes) {
  // Block with N = 0: T = 44 + payload, and the probe starts at byte 44.
  const SFrame f = MakeFrame(20, 0, 1);
  ASSERT_EQ(f.bytes.size(), 64u);
  std::vector<const SFrame*> expected = {&f};
  CFrameAssembler a;
  SChecker checker;
  checker.expected = &expected;
  // Flag set and only 42 bytes held: nothing is read from the block length yet.
  ASSERT_TRUE(FeedAll(a, Bytes(f.bytes.begin(), f.bytes.begin() + 42), checker));
  EXPECT_EQ(checker.next, 0u);
  EXPECT_EQ(a.Held(), 42u);
  ASSERT_TRUE(FeedAll(a, Bytes(f.bytes.begin() + 42, f.bytes.end()), checker));
  EXPECT_EQ(checker.next, 1u);
  EXPECT_EQ(checker.mismatches, 0u);
}

TEST_P(FrameAssemblerModes, EmptyPayloadAndBigFirstFrame) {
  const SFrame empty = MakeFrame(0, -1, 1);
  ASSERT_EQ(empty.bytes.size(), 40u);
  const SFrame big = MakeFrame(262144, -1, 2);  // over the initial buffer with its header
  std::vector<const SFrame*> expected = {&empty, &big, &empty};
  Bytes stream = empty.bytes;
  stream.insert(stream.end(), big.bytes.begin(), big.bytes.end());
  stream.insert(stream.end(), empty.bytes.begin(), empty.bytes.end());
  CFrameAssembler a;
  SChecker checker;
  checker.expected = &expected;
  ASSERT_TRUE(FeedAll(a, stream, checker));
  EXPECT_EQ(checker.next, 3u);
  EXPECT_EQ(checker.mismatches, 0u);
  EXPECT_EQ(a.Growths(), 1u);
}

// A header announcing over 16 MiB blinds nothing: the frames right behind
// it arrive, also when the false header is met while skipping garbage.
TEST_P(FrameAssemblerModes, HugeLengthsAreNotFrames) {
  std::mt19937 rng(9);
  std::vector<SFrame> frames;
  for (int i = 0; i < 256; ++i) frames.push_back(MakeFrame(rng, 20 + rng() % 200, -1, 2));
  for (int variant = 0; variant < 3; ++variant) {
    Bytes bad = MakeFrame(0, variant == 1 ? 0 : -1).bytes;
    platform::StoreLe32(bad.data() + (variant == 1 ? 40 : 12), 0xFFFFFFFFu);
    const Bytes garbage = {0x11, 0x22, 0x33};
    Bytes stream = variant == 2 ? garbage : Bytes{};
    stream.insert(stream.end(), bad.begin(), bad.end());
    std::vector<const SFrame*> expected;
    for (const SFrame& f : frames) {
      stream.insert(stream.end(), f.bytes.begin(), f.bytes.end());
      expected.push_back(&f);
    }
    CFrameAssembler a;
    SChecker checker;
    checker.expected = &expected;
    ASSERT_TRUE(FeedStream(a, stream, GetParam(), rng, checker));
    EXPECT_EQ(checker.next, expected.size()) << "variant " << variant;
    EXPECT_EQ(checker.mismatches, 0u);
    EXPECT_EQ(a.OversizeFrames(), 1u);
    EXPECT_EQ(a.DroppedBytes(), (variant == 2 ? garbage.size() : 0) + bad.size());
    EXPECT_EQ(a.Held(), 0u);
    EXPECT_EQ(a.Capacity(), CFrameAssembler::kInitialCapacity);
  }
}

// Command messages on the stream (a reply to the attach message, or one
// sent between frames, also after garbage) are passed over whole: no phantom
// frame, no frame lost. A frame header stays a frame header even when its
// bytes 0..3 form a valid length prefix and bytes 8..11 hold the magic.
TEST_P(FrameAssemblerModes, CommandMessagesArePassedOverWhole) {
  auto command = [](uint32_t length, const uint8_t word[4]) {
    Bytes m(length, 0x5A);
    EncodeLengthPrefix(m.data(), length);
    std::memcpy(m.data() + 4, word, 4);
    std::memcpy(m.data() + 8, "QNVV", 4);
    return m;
  };
  const uint8_t transaction[4] = {1, 0, 0, 0}, oneWay[4] = {0, 1, 0, 1};
  std::mt19937 rng(3);
  std::vector<SFrame> frames;
  for (int i = 0; i < 5; ++i) frames.push_back(MakeFrame(rng, 100 + 50 * i, i == 2 ? 8 : -1, 1));
  platform::StoreLe32(frames[1].bytes.data(), 1);  // a frame counter of 1
  EncodeLengthPrefix(frames[3].bytes.data(), 24);
  std::memcpy(frames[3].bytes.data() + 8, "QNVV", 4);
  Bytes stream = command(24, transaction);
  const std::vector<Bytes> between = {command(20, oneWay), Bytes{}, command(65533, transaction),
                                      Bytes{}, Bytes{}};
  uint64_t passed = 24;
  for (size_t i = 0; i < frames.size(); ++i) {
    stream.insert(stream.end(), frames[i].bytes.begin(), frames[i].bytes.end());
    stream.insert(stream.end(), between[i].begin(), between[i].end());
    passed += between[i].size();
  }
  // After garbage: the reply is found, and the frame behind it arrives.
  const Bytes garbage = {0x77, 0x66};
  const Bytes reply = command(30, transaction);
  const SFrame last = MakeFrame(rng, 60, -1, 2);
  for (const Bytes* b : {&garbage, &reply, &last.bytes})
    stream.insert(stream.end(), b->begin(), b->end());
  passed += garbage.size() + reply.size();
  std::vector<const SFrame*> expected;
  for (const SFrame& f : frames) expected.push_back(&f);
  expected.push_back(&last);

  CFrameAssembler a;
  SChecker checker;
  checker.expected = &expected;
  ASSERT_TRUE(FeedStream(a, stream, GetParam(), rng, checker));
  EXPECT_EQ(checker.next, expected.size());
  EXPECT_EQ(checker.mismatches, 0u);
  EXPECT_EQ(a.CommandMessages(), 4u);
  EXPECT_EQ(a.DroppedBytes(), passed);
  EXPECT_EQ(a.Held(), 0u);
}

TEST_P(FrameAssemblerModes, ResetDropsHeldBytes) {
  const SFrame f = MakeFrame(100);
  std::vector<const SFrame*> expected = {&f};
  CFrameAssembler a;
  SChecker checker;
  checker.expected = &expected;
  ASSERT_TRUE(FeedAll(a, Bytes(f.bytes.begin(), f.bytes.begin() + 70), checker));
  a.Reset();
  EXPECT_EQ(a.Held(), 0u);
  ASSERT_TRUE(FeedAll(a, f.bytes, checker));
  EXPECT_EQ(checker.next, 1u);
  EXPECT_EQ(checker.mismatches, 0u);
}

// The sink closes the channel: it destroys the assembler and returns false.
// Nothing may be touched afterwards (the sanitizer build catches any access).
struct SDestroyer final : IFrameSink {
  std::unique_ptr<CFrameAssembler> assembler;
  int calls = 0;
  bool Frame(uint8_t* frame, uint32_t length) override { return Sink(this, frame, length); }
  static bool Sink(void* context, uint8_t*, uint32_t) {
    auto* self = static_cast<SDestroyer*>(context);
    ++self->calls;
    self->assembler.reset();
    return false;
  }
};

TEST_P(FrameAssemblerModes, SinkStopsFeedingAtOnce) {
  const SFrame f1 = MakeFrame(100), f2 = MakeFrame(200), f3 = MakeFrame(300);
  Bytes stream = f1.bytes;
  stream.insert(stream.end(), f2.bytes.begin(), f2.bytes.end());
  stream.insert(stream.end(), f3.bytes.begin(), f3.bytes.end());
  for (size_t split : {size_t(0), size_t(50), f1.bytes.size() + 10}) {
    SDestroyer d;
    d.assembler = std::make_unique<CFrameAssembler>();
    Bytes a(stream.begin(), stream.begin() + split), b(stream.begin() + split, stream.end());
    auto feed = [&](Bytes& chunk) {
      if (GetParam() == Mode::kCopy) {
        return d.assembler->Feed(chunk.data(), chunk.size(), &d);
      }
      return ReadIntoArea(*d.assembler, chunk.data(), chunk.size(), SIZE_MAX, &d);
    };
    bool more = a.empty() || feed(a);
    if (more) more = feed(b);
    EXPECT_FALSE(more) << split;
    EXPECT_EQ(d.calls, 1);
  }
  // Stopping without destroying: the frames behind stay unread in the chunk.
  std::vector<const SFrame*> expected = {&f1, &f2, &f3};
  CFrameAssembler a;
  SChecker checker;
  checker.expected = &expected;
  checker.stopAfter = 1;
  EXPECT_FALSE(FeedAll(a, stream, checker));
  EXPECT_EQ(checker.next, 1u);
  EXPECT_EQ(a.DeliveredFrames(), 1u);
}

TEST(FrameAssembler, FeedLeavesTheChunkAlone) {
  const SFrame f1 = MakeFrame(100, -1, 1), f2 = MakeFrame(200, 8, 2);
  Bytes chunk = f1.bytes;
  chunk.insert(chunk.end(), f2.bytes.begin(), f2.bytes.end());
  std::vector<const SFrame*> expected = {&f1, &f2};

  CFrameAssembler copying;
  SChecker c1;
  c1.expected = &expected;
  const Bytes before = chunk;
  ASSERT_TRUE(copying.Feed(chunk.data(), chunk.size(), &c1));
  EXPECT_EQ(c1.next, 2u);
  EXPECT_EQ(chunk, before);
}

// What the receive thread asks its socket for before its next read: the
// bytes that can complete the frame being assembled (the connection caps it).
TEST(FrameAssembler, WantedIsWhatTheNextFrameStillNeeds) {
  CFrameAssembler a;
  EXPECT_EQ(a.Wanted(), 40u);  // nothing held: at least a header

  const SFrame f = MakeFrame(3000, 10, 1);  // 40 + 14 + 3000 bytes
  auto feed = [&](size_t from, size_t to) {
    Bytes chunk(f.bytes.begin() + ptrdiff_t(from), f.bytes.begin() + ptrdiff_t(to));
    return a.Feed(chunk.data(), chunk.size(), nullptr);
  };
  ASSERT_TRUE(feed(0, 10));
  EXPECT_EQ(a.Wanted(), 30u);  // the rest of the header
  ASSERT_TRUE(feed(10, 41));
  EXPECT_EQ(a.Wanted(), 3u);  // extFlag set: the extension length ends at byte 44
  ASSERT_TRUE(feed(41, 100));
  EXPECT_EQ(a.Wanted(), f.bytes.size() - 100);
  ASSERT_TRUE(feed(100, f.bytes.size()));
  EXPECT_EQ(a.DeliveredFrames(), 1u);
  EXPECT_EQ(a.Wanted(), 40u);

  // A command message is skipped: what is wanted is at least the rest of it.
  Bytes reply(5000, 0);
  EncodeLengthPrefix(reply.data(), 5000);
  std::memcpy(reply.data() + 8, "QNVV", 4);
  ASSERT_TRUE(a.Feed(reply.data(), 100, nullptr));
  EXPECT_EQ(a.CommandMessages(), 1u);
  EXPECT_EQ(a.Wanted(), 4900u);

  a.Reset();
  EXPECT_EQ(a.Wanted(), 40u);
}

TEST(FrameAssembler, NullChunkAndNullSink) {
  CFrameAssembler a;
  EXPECT_TRUE(a.Feed(nullptr, 100, nullptr));
  const SFrame f = MakeFrame(10);
  EXPECT_TRUE(a.Feed(f.bytes.data(), f.bytes.size(), nullptr));
  EXPECT_EQ(a.DeliveredFrames(), 1u);
  EXPECT_EQ(a.Held(), 0u);
}

// Reading straight into the assembler: the area behind an unfinished frame
// always has room for the rest of it, is never smaller than kMinArea unless
// that rest is, and frames are delivered from the assembler's own buffer.
TEST(FrameAssemblerArea, AreaHoldsTheRestOfTheFrameAndStaysLarge) {
  std::mt19937 rng(7);
  std::vector<SFrame> frames;
  Bytes stream;
  for (int i = 0; i < 300; ++i) {
    // Mostly camera-like P frames, now and then a key frame of 150-320 KB.
    const uint32_t payload = i % 50 == 0 ? 150000 + rng() % 170000 : 20000 + rng() % 40000;
    frames.push_back(MakeFrame(rng, payload, -1, i % 50 == 0 ? 1 : 2));
    stream.insert(stream.end(), frames.back().bytes.begin(), frames.back().bytes.end());
  }
  std::vector<const SFrame*> expected;
  for (const SFrame& f : frames) expected.push_back(&f);
  SChecker checker;
  checker.expected = &expected;
  CFrameAssembler a;
  size_t pos = 0;
  uint64_t reads = 0;
  while (pos < stream.size()) {
    uint32_t capacity = 0;
    uint8_t* area = a.ReceiveArea(&capacity);
    ASSERT_GE(capacity, std::min<uint64_t>(a.Wanted(), a.Capacity()));
    // Right after an unfinished frame moved to the start, the area may end with it.
    ASSERT_GE(capacity,
              std::min<uint64_t>({CFrameAssembler::kMinArea, a.Capacity() - a.Held(), a.Wanted()}));
    // Frames must come from inside the buffer, which ends where the area ends.
    checker.areaBegin = area + capacity - a.Capacity();
    checker.areaEnd = area + capacity;
    const size_t n = std::min<size_t>({capacity, stream.size() - pos, 1 + rng() % 200000});
    std::memcpy(area, stream.data() + pos, n);
    ASSERT_TRUE(a.Received(n, &checker));
    pos += n;
    ++reads;
  }
  EXPECT_EQ(checker.next, frames.size());
  EXPECT_EQ(checker.mismatches, 0u);
  EXPECT_EQ(a.Held(), 0u);
  EXPECT_EQ(a.DroppedBytes(), 0u);
  EXPECT_EQ(a.Growths(), 1u);  // once, for the first key frame over 256 KiB
}

TEST(FrameAssemblerArea, FedChunksAndReadsMix) {
  const SFrame f1 = MakeFrame(1000), f2 = MakeFrame(2000);
  std::vector<const SFrame*> expected{&f1, &f2};
  SChecker checker;
  checker.expected = &expected;
  CFrameAssembler a;
  // A chunk from elsewhere, fed after an area was handed out, is delivered
  // all the same, and reading into areas goes on from it.
  uint32_t capacity = 0;
  a.ReceiveArea(&capacity);
  Bytes chunk(f1.bytes.begin(), f1.bytes.end());
  chunk.insert(chunk.end(), f2.bytes.begin(), f2.bytes.begin() + 100);
  ASSERT_TRUE(a.Feed(chunk.data(), chunk.size(), &checker));
  EXPECT_EQ(checker.next, 1u);
  EXPECT_EQ(a.Held(), 100u);
  ASSERT_TRUE(ReadIntoArea(a, f2.bytes.data() + 100, f2.bytes.size() - 100, SIZE_MAX, &checker));
  EXPECT_EQ(checker.next, 2u);
  EXPECT_EQ(checker.mismatches, 0u);
  EXPECT_EQ(a.Held(), 0u);
}

TEST(FrameAssemblerArea, OversizeHeaderIsPassedOverAcrossReads) {
  Bytes huge = MakeFrame(0).bytes;
  platform::StoreLe32(huge.data() + 12,
                      QNVNetFrameHeader::kMaxFrameSize);  // 40 bytes over the limit
  const SFrame next = MakeFrame(500);
  std::vector<const SFrame*> expected{&next};
  SChecker checker;
  checker.expected = &expected;
  CFrameAssembler a;
  Bytes stream = huge;
  stream.resize(40 + QNVNetFrameHeader::kMaxFrameSize, 0x11);
  stream.insert(stream.end(), next.bytes.begin(), next.bytes.end());
  ASSERT_TRUE(ReadIntoArea(a, stream.data(), stream.size(), 100000, &checker));
  EXPECT_EQ(checker.next, 1u);
  EXPECT_EQ(a.OversizeFrames(), 1u);
  EXPECT_EQ(a.DroppedBytes(), uint64_t(40) + QNVNetFrameHeader::kMaxFrameSize);
  EXPECT_EQ(a.Capacity(), CFrameAssembler::kInitialCapacity);  // never buffered
}

// The channel's use: frames listed for the pre-record queue where they were
// read, forgotten as the assembler announces each overwrite. Whatever the
// reads, a flushed queue equals one that copied every frame; and with the
// channel's buffer and read sizes a camera stream is never copied at all.
struct SListing final : IFrameSink {
  SListing(CStreamQueue* m, CPendingFrames* p) : model(m), pending(p) {}
  CStreamQueue* model;
  CPendingFrames* pending;
  bool Frame(uint8_t* frame, uint32_t length) override { return Sink(this, frame, length); }
  static bool Sink(void* context, uint8_t* frame, uint32_t length) {
    auto* self = static_cast<SListing*>(context);
    const SFrameIndex header = SFrameIndex::From(frame);
    self->model->Append(frame + 40, int32_t(length - 40), header, true);
    self->pending->Add(frame + 40, int32_t(length - 40), header);
    return true;
  }
};

// wholeFrames: each read is one whole frame, as from a camera sending at its
// pace; otherwise reads are of random sizes.
void RunListing(uint32_t seed, uint32_t reserve, uint32_t most, bool camera, size_t flushEvery,
                bool wholeFrames, uint64_t* spilled) {
  std::mt19937 rng(seed);
  Bytes stream;
  std::vector<size_t> frameSizes;
  for (int i = 0; i < 600; ++i) {
    uint32_t payload;
    if (camera) {
      payload = i % 50 == 0 ? 150000 + rng() % 170000 : 20000 + rng() % 40000;
    } else {
      payload = rng() % 8 == 0 ? rng() % 900000 : rng() % 3000;
    }
    const SFrame f = MakeFrame(rng, payload, rng() % 4 == 0 ? int64_t(rng() % 100) : -1, 2);
    stream.insert(stream.end(), f.bytes.begin(), f.bytes.end());
    frameSizes.push_back(f.bytes.size());
  }
  CStreamQueue model, queue;
  ASSERT_TRUE(model.SetCapacity(358400));
  ASSERT_TRUE(queue.SetCapacity(358400));
  CPendingFrames pending(queue);
  SListing listing{&model, &pending};
  CFrameAssembler a;
  ASSERT_TRUE(a.Reserve(reserve));
  size_t pos = 0, reads = 0, frame = 0, frameEnd = frameSizes[0];
  while (pos < stream.size()) {
    uint32_t capacity = 0;
    const CFrameAssembler::SAreaPlan plan = a.PlanArea(most);
    pending.Forget(plan.overwriteFrom, plan.overwriteTo);
    uint8_t* area = a.TakeArea(plan, &capacity);
    ASSERT_LE(capacity, most);
    size_t n = std::min<size_t>({capacity, stream.size() - pos, 1 + rng() % 150000});
    if (wholeFrames) n = std::min<size_t>(capacity, frameEnd - pos);  // the rest of this frame
    std::memcpy(area, stream.data() + pos, n);
    std::memset(area + n, 0xA5, capacity - n);  // the rest of the area is clobbered too
    ASSERT_TRUE(a.Received(n, &listing));
    pos += n;
    if (pos == frameEnd && ++frame < frameSizes.size()) frameEnd += frameSizes[frame];
    if (++reads % flushEvery == 0) {
      pending.Flush();
      ASSERT_EQ(QueueContent(queue), QueueContent(model)) << "seed " << seed << " read " << reads;
    }
  }
  *spilled = pending.SpilledBytes();  // before the final flush
  pending.Flush();
  ASSERT_EQ(QueueContent(queue), QueueContent(model)) << "seed " << seed;
}

TEST(FrameAssemblerArea, ListedFramesSurviveUntilForgotten) {
  uint64_t spilled = 0;
  // Buffers too small to hold the stretch: frames are spilled before they are overwritten.
  RunListing(1, 0, 65536, true, 97, false, &spilled);
  RunListing(2, 300000, 100000, false, 97, false, &spilled);
  EXPECT_GT(spilled, 0u);
  // The channel's sizes and a camera's frames (some 30 MB, key frames up to
  // 320 KB), read a frame at a time as a paced camera sends them or in reads
  // of random sizes: nothing is copied before the final flush.
  for (uint32_t seed = 3; seed <= 8; ++seed) {
    RunListing(seed, 1u << 20, 131072, true, SIZE_MAX, seed % 2 == 0, &spilled);
    EXPECT_EQ(spilled, 0u) << seed;
  }
}

}  // namespace
}  // namespace qnv
