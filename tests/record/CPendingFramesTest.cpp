#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "record/CPendingFrames.h"
#include "record/CStreamQueue.h"
#include "support/QueueContent.h"

namespace qnv {

using namespace protocol;
namespace {

using Bytes = std::vector<uint8_t>;

SFrameIndex Header(uint32_t tag) {
  SFrameIndex h;
  for (int i = 0; i < 40; ++i) h.bytes[i] = uint8_t(tag * 7 + i);
  std::memcpy(h.bytes + 4, "QNVV", 4);
  return h;
}

// Bodies are written into an arena the way the reassembly buffer takes
// reads: front to back, back to the start when the end is near, each range
// announced (MayHold, then Forget) before it is written and scribbled on right after, so a
// listed body that was not spilled in time shows up as wrong bytes.
struct SArena {
  explicit SArena(size_t size) : bytes(size) {}
  Bytes bytes;
  size_t front = 0;

  uint8_t* Place(CPendingFrames& pending, size_t length, std::mt19937& rng) {
    if (front + length > bytes.size()) front = 0;
    uint8_t* at = bytes.data() + front;
    // As the channel does: Forget only where MayHold says a listed body may lie.
    if (pending.MayHold(at, at + length)) pending.Forget(at, at + length);
    for (size_t i = 0; i < length; ++i) at[i] = uint8_t(rng());
    front += length;
    return at;
  }
  void Scribble(CPendingFrames& pending) {  // the buffer is replaced (it grew)
    pending.Forget(bytes.data(), bytes.data() + bytes.size());
    std::fill(bytes.begin(), bytes.end(), 0xA5);
    front = 0;
  }
};

// Against a queue that copies every frame on arrival: after Flush the two
// must hold the same bytes and records, whatever was dropped or spilled.
void RunAgainstModel(uint32_t seed, int32_t capacity, size_t arenaSize, size_t maxBody,
                     int zeroPercent) {
  std::mt19937 rng(seed);
  CStreamQueue model, queue;
  ASSERT_TRUE(model.SetCapacity(capacity));
  ASSERT_TRUE(queue.SetCapacity(capacity));
  CPendingFrames pending(queue);
  SArena arena(arenaSize);
  for (uint32_t n = 0; n < 6000; ++n) {
    size_t length = int(rng() % 100) < zeroPercent ? 0 : 1 + rng() % maxBody;
    if (length > arenaSize) length = arenaSize;
    const uint8_t* body = arena.Place(pending, length, rng);
    const SFrameIndex header = Header(n);
    model.Append(body, int32_t(length), header, true);
    pending.Add(body, int32_t(length), header);
    ASSERT_LE(pending.Count(), CPendingFrames::kMaxPending);
    const uint32_t event = rng() % 200;
    if (event == 0) arena.Scribble(pending);
    if (event == 1 || n % 1000 == 999) {
      pending.Flush();
      ASSERT_EQ(pending.Count(), 0u);
      ASSERT_EQ(queue.Count(), model.Count()) << "seed " << seed << " frame " << n;
      ASSERT_EQ(QueueContent(queue), QueueContent(model)) << "seed " << seed << " frame " << n;
    }
  }
}

TEST(PendingFrames, FlushedQueueEqualsOneThatCopiedEveryFrame) {
  // Camera-like: bodies up to a third of the queue, an arena twice its size.
  for (uint32_t seed = 1; seed <= 3; ++seed) RunAgainstModel(seed, 30000, 60000, 10000, 2);
  // Bodies longer than the queue (refused there) and arenas barely larger
  // than one body: most frames are spilled.
  for (uint32_t seed = 4; seed <= 6; ++seed) RunAgainstModel(seed, 5000, 9000, 8000, 5);
  // Mostly empty bodies: the queue's frame-count limit decides what stays.
  for (uint32_t seed = 7; seed <= 8; ++seed) RunAgainstModel(seed, 1 << 20, 1 << 16, 64, 90);
}

TEST(PendingFrames, FramesPushedOutOfTheStretchAreNeverCopied) {
  CStreamQueue queue;
  ASSERT_TRUE(queue.SetCapacity(1000));
  CPendingFrames pending(queue);
  Bytes arena(4000, 1);
  // Ten 300-byte frames: only the last three fit in the stretch.
  for (int i = 0; i < 10; ++i) pending.Add(arena.data() + 300 * i, 300, Header(i));
  EXPECT_EQ(pending.Count(), 3u);
  EXPECT_EQ(pending.DroppedFrames(), 7u);
  EXPECT_EQ(pending.SpilledBytes(), 0u);
  EXPECT_EQ(queue.Count(), 0u);
  pending.Flush();
  EXPECT_EQ(pending.SpilledBytes(), 900u);
  ASSERT_EQ(queue.Count(), 3u);
  EXPECT_EQ(queue.Frame(0).bytes[0], Header(7).bytes[0]);
}

TEST(PendingFrames, ForgetSpillsThroughTheNewestFrameInTheRange) {
  CStreamQueue queue;
  ASSERT_TRUE(queue.SetCapacity(100000));
  CPendingFrames pending(queue);
  Bytes arena(1000, 2);
  // Listed out of memory order: the second frame lies before the first.
  pending.Add(arena.data() + 500, 100, Header(1));
  pending.Add(arena.data() + 0, 100, Header(2));
  pending.Add(arena.data() + 200, 100, Header(3));
  pending.Forget(arena.data() + 900, arena.data() + 1000);  // nothing there
  EXPECT_EQ(pending.Count(), 3u);
  pending.Forget(arena.data() + 50, arena.data() + 60);  // inside frame 2: frames 1 and 2 go
  EXPECT_EQ(pending.Count(), 1u);
  EXPECT_EQ(queue.Count(), 2u);
  EXPECT_EQ(pending.SpilledBytes(), 200u);
  pending.Forget(arena.data() + 300, arena.data() + 310);  // touching frame 3's end: no overlap
  EXPECT_EQ(pending.Count(), 1u);
}

TEST(PendingFrames, QueueClearDropsEverythingAndKeepsWorking) {
  CStreamQueue queue;
  ASSERT_TRUE(queue.SetCapacity(1000));
  Bytes body(400, 3);
  ASSERT_TRUE(queue.Append(body.data(), 400, Header(1), true));
  queue.Clear();
  EXPECT_EQ(queue.Count(), 0u);
  EXPECT_EQ(queue.GetTotal(), 0);
  ASSERT_TRUE(queue.Append(body.data(), 400, Header(2), true));
  EXPECT_EQ(queue.Frame(0).Offset(), 0u);
  EXPECT_EQ(queue.GetTotal(), 400);
}

}  // namespace
}  // namespace qnv
