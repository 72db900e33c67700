#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <thread>

#include "QNVNetSdk.h"
#include "SaveTestSupport.h"
#include "platform/File.h"
#include "record/CSaveList.h"
#include "record/CStreamQueue.h"
#include "record/SavePath.h"

namespace qnv {

using namespace protocol;
namespace {

using test::DebugCapture;
using test::ReadFile;
using test::ReadRecording;
using test::ScratchDir;
using test::SRecordedFrame;

constexpr uint32_t kOpenFailed = QNVNET_ERR_SAVE_OPEN;

// What a live channel does with each delivered frame, under one thread: the
// pre-record queue first, then the recordings.
struct Channel {
  CStreamQueue queue;
  CSaveList saves;
  uint32_t seq = 0;
  std::map<uint32_t, std::vector<uint8_t>> delivered;

  explicit Channel(int32_t capacity = 358400) { queue.SetCapacity(capacity); }

  uint32_t Deliver(uint8_t kind, size_t length) {
    ++seq;
    std::vector<uint8_t> body = test::MakeBody(seq, length);
    SFrameIndex header = test::MakeHeader(seq, kind, uint32_t(length));
    queue.Append(body.data(), int32_t(length), header, true);
    saves.WriteFrame(header, body.data(), uint32_t(length));
    delivered[seq] = std::move(body);
    return seq;
  }

  uint32_t Open(const std::string& path) {
    uint32_t id = 0;
    uint32_t rc = saves.Open(path.c_str(), queue, id);
    EXPECT_EQ(rc, QNVNET_OK) << path;
    return id;
  }

  // Every recorded body is exactly what was delivered with that header.
  std::vector<SRecordedFrame> Check(const std::string& dataPath) {
    std::vector<SRecordedFrame> frames = ReadRecording(dataPath, IndexPathFor(dataPath));
    for (const SRecordedFrame& f : frames) {
      auto it = delivered.find(f.seq);
      EXPECT_NE(it, delivered.end()) << "unknown frame " << f.seq;
      if (it != delivered.end()) {
        EXPECT_EQ(f.body, it->second) << "frame " << f.seq;
      }
    }
    return frames;
  }
};

std::vector<uint32_t> Seqs(const std::vector<SRecordedFrame>& frames, size_t from = 0) {
  std::vector<uint32_t> seqs;
  for (size_t i = from; i < frames.size(); ++i) seqs.push_back(frames[i].seq);
  return seqs;
}

TEST(CSaveList, IdsAreTheSmallestFreeAndTheLimitIsSixteen) {
  ScratchDir dir;
  Channel ch;
  EXPECT_EQ(ch.Open(dir / "a.dat"), 1u);
  EXPECT_EQ(ch.Open(dir / "b.dat"), 2u);
  EXPECT_EQ(ch.Open(dir / "c.dat"), 3u);
  EXPECT_EQ(ch.saves.Close(2), QNVNET_OK);
  EXPECT_EQ(ch.Open(dir / "d.dat"), 2u);
  EXPECT_EQ(ch.saves.Close(1), QNVNET_OK);
  EXPECT_EQ(ch.Open(dir / "e.dat"), 1u);
  EXPECT_EQ(ch.Open(dir / "f.dat"), 4u);
  EXPECT_EQ(ch.saves.Close(1), QNVNET_OK);
  EXPECT_EQ(ch.saves.Close(1), QNVNET_ERR_NO_SAVE);
  EXPECT_EQ(ch.saves.Close(99), QNVNET_ERR_NO_SAVE);
  EXPECT_EQ(ch.saves.Close(0), QNVNET_ERR_NO_SAVE);

  ch.saves.CloseAll();
  for (uint32_t i = 1; i <= 16; ++i) EXPECT_EQ(ch.Open(dir / ("s" + std::to_string(i))), i);
  uint32_t id = 77;
  EXPECT_EQ(ch.saves.Open((dir / "s17").c_str(), ch.queue, id), QNVNET_ERR_TOO_MANY_SAVES);
  EXPECT_EQ(id, 77u);
  EXPECT_FALSE(test::Exists(dir / "s17"));
  EXPECT_EQ(ch.saves.Count(), 16u);
  uint32_t key = ch.Deliver(kFrameKindI, 100);
  ch.saves.CloseAll();
  EXPECT_EQ(ch.saves.Count(), 0u);
  for (int i = 1; i <= 16; ++i) {
    EXPECT_EQ(Seqs(ch.Check(dir / ("s" + std::to_string(i)))), std::vector<uint32_t>{key});
  }
}

TEST(CSaveList, EmptyQueueGivesEmptyFilesAndRecordingStartsAtTheNextKeyFrame) {
  ScratchDir dir;
  Channel ch;
  std::string path = dir / "cam1.dat";
  ch.Open(path);
  EXPECT_TRUE(ReadFile(path).empty());
  EXPECT_TRUE(ReadFile(dir / "cam1.idx").empty());
  ch.Deliver(kFrameKindP, 50);
  ch.Deliver(kFrameKindOther, 60);
  uint32_t key = ch.Deliver(kFrameKindI, 70);
  uint32_t p = ch.Deliver(kFrameKindP, 0);
  uint32_t other = ch.Deliver(kFrameKindOther, 80);
  EXPECT_EQ(ch.saves.Close(1), QNVNET_OK);
  auto frames = ch.Check(path);
  EXPECT_EQ(Seqs(frames), (std::vector<uint32_t>{key, p, other}));
  EXPECT_EQ(frames[0].kind, kFrameKindI);
}

TEST(CSaveList, OpenWritesThePreRecordStretchThenLiveFramesFromTheNextKeyFrame) {
  ScratchDir dir;
  Channel ch(1000);
  for (size_t len : {150, 200, 90, 300, 0, 250, 180}) ch.Deliver(kFrameKindP, len);  // evicts some
  ASSERT_GT(ch.queue.Count(), 1u);
  std::vector<uint8_t> held(ch.queue.GetBuffer(), ch.queue.GetBuffer() + ch.queue.GetTotal());
  std::vector<uint32_t> heldSeqs;
  for (size_t i = 0; i < ch.queue.Count(); ++i)
    heldSeqs.push_back(platform::LoadLe32(ch.queue.Frame(i).bytes));

  std::string path = dir / "pre.dat";
  ch.Open(path);
  EXPECT_EQ(ReadFile(path), held) << "the stretch is in the file at once";
  ch.Deliver(kFrameKindP, 40);  // before the key frame: in neither file
  uint32_t key = ch.Deliver(kFrameKindI, 120);
  uint32_t next = ch.Deliver(kFrameKindP, 30);
  ch.saves.CloseAll();

  std::vector<uint8_t> data = ReadFile(path);
  ASSERT_GE(data.size(), held.size());
  EXPECT_TRUE(std::equal(held.begin(), held.end(), data.begin()));
  std::vector<uint8_t> index = ReadFile(dir / "pre.idx");
  ASSERT_EQ(index.size(), (heldSeqs.size() + 2) * kFrameHeaderSize);
  EXPECT_EQ(SFrameIndex::From(index.data()).Offset(), 0u);
  SFrameIndex firstLive = SFrameIndex::From(index.data() + heldSeqs.size() * kFrameHeaderSize);
  EXPECT_EQ(firstLive.Offset(), held.size());
  EXPECT_EQ(firstLive.FrameKind(), kFrameKindI);
  // Header bytes other than the offset travel unchanged.
  SFrameIndex sent = test::MakeHeader(key, kFrameKindI, 120);
  EXPECT_EQ(std::memcmp(firstLive.bytes, sent.bytes, kFrameOffsetOffset), 0);
  EXPECT_EQ(std::memcmp(firstLive.bytes + 32, sent.bytes + 32, 8), 0);

  auto frames = ch.Check(path);
  std::vector<uint32_t> expected = heldSeqs;
  expected.push_back(key);
  expected.push_back(next);
  EXPECT_EQ(Seqs(frames), expected);
}

TEST(CSaveList, RecordingsOpenedAtDifferentTimesAgreeOnSharedFrames) {
  ScratchDir dir;
  Channel ch(4000);
  std::string a = dir / "a.dat", b = dir / "b.dat";
  ch.Open(a);
  for (int gop = 0; gop < 4; ++gop) {
    ch.Deliver(kFrameKindI, 700 + gop);
    for (int i = 0; i < 9; ++i) ch.Deliver(kFrameKindP, size_t(37 * i + gop * 11));
    if (gop == 1) {
      ch.Deliver(kFrameKindP, 99);
      ch.Open(b);  // opens mid-GOP: pre-record, then waits for the next key frame
    }
  }
  ch.saves.CloseAll();
  auto fa = ch.Check(a);
  auto fb = ch.Check(b);
  ASSERT_FALSE(fb.empty());
  // B's live part starts with a key frame and matches A frame for frame.
  size_t live = 0;
  while (live < fb.size() && !(fb[live].kind == kFrameKindI && fb[live].seq > 20)) ++live;
  ASSERT_LT(live, fb.size());
  std::vector<uint32_t> tailB = Seqs(fb, live);
  std::vector<uint32_t> allA = Seqs(fa);
  ASSERT_GE(allA.size(), tailB.size());
  EXPECT_TRUE(std::equal(tailB.begin(), tailB.end(), allA.end() - ptrdiff_t(tailB.size())));
  EXPECT_EQ(allA.size(), 41u);
}

TEST(CSaveList, ZeroLengthAndLargeBodiesKeepOffsetsRight) {
  ScratchDir dir;
  Channel ch(8192);
  std::string path = dir / "mix.dat";
  ch.Open(path);
  ch.Deliver(kFrameKindI, 0);
  for (size_t len : {0, 1, 262143, 0, 4096, 65536, 3}) ch.Deliver(kFrameKindP, len);
  ch.saves.Close(1);
  EXPECT_EQ(ch.Check(path).size(), 8u);
}

TEST(CSaveList, MissingDirectoriesAreCreatedAndPathsWithoutDirectoryUseTheCurrentOne) {
  ScratchDir dir;
  Channel ch;
  ch.Open(dir / "video/2010/cam1/rec.dat");
  EXPECT_TRUE(test::Exists(dir / "video/2010/cam1/rec.idx"));

  test::WorkingDir cwd(dir.path());
  DebugCapture debug;
  testing::internal::CaptureStderr();
  EXPECT_EQ(ch.Open("plain.dat"), 2u);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(debug.lines().empty());
  EXPECT_TRUE(test::Exists(dir / "plain.dat"));
  EXPECT_TRUE(test::Exists(dir / "plain.idx"));
}

TEST(CSaveList, DirectoryThatCannotBeMadeGivesOpenFailure) {
  ScratchDir dir;
  test::WriteFile(dir / "file", "x");
  Channel ch;
  uint32_t id = 5;
  testing::internal::CaptureStderr();
  EXPECT_EQ(ch.saves.Open((dir / "file/sub/rec.dat").c_str(), ch.queue, id), kOpenFailed);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find(std::strerror(EEXIST)), std::string::npos) << err;
  EXPECT_EQ(id, 5u);
  EXPECT_EQ(ch.saves.Count(), 0u);
}

// Root may write any file; clearing the override from this thread's
// effective capabilities makes a read-only file read-only for the test.
class DropFileOverride {
 public:
  DropFileOverride() {
    m_header = {_LINUX_CAPABILITY_VERSION_3, 0};
    if (::syscall(SYS_capget, &m_header, m_saved) != 0) return;
    __user_cap_data_struct reduced[2] = {m_saved[0], m_saved[1]};
    reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    m_active = ::syscall(SYS_capset, &m_header, reduced) == 0;
  }
  ~DropFileOverride() {
    if (m_active) ::syscall(SYS_capset, &m_header, m_saved);
  }
  DropFileOverride(const DropFileOverride&) = delete;
  DropFileOverride& operator=(const DropFileOverride&) = delete;

 private:
  __user_cap_header_struct m_header{};
  __user_cap_data_struct m_saved[2]{};
  bool m_active = false;
};

TEST(CSaveList, ReadOnlyDataFileFailsAndLeavesTheIndexEmpty) {
  ScratchDir dir;
  Channel ch;
  ch.Deliver(kFrameKindI, 500);  // a non-empty queue must not reach the index either
  std::string path = dir / "ro.dat";
  test::WriteFile(path, "old content");
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  DropFileOverride drop;
  if (int probe = ::open(path.c_str(), O_WRONLY); probe >= 0) {
    ::close(probe);
    GTEST_SKIP() << "cannot make a file read-only here";
  }
  uint32_t id = 9;
  EXPECT_EQ(ch.saves.Open(path.c_str(), ch.queue, id), kOpenFailed);
  EXPECT_EQ(id, 9u);
  EXPECT_EQ(ch.saves.Count(), 0u);
  EXPECT_TRUE(test::Exists(dir / "ro.idx"));
  EXPECT_TRUE(ReadFile(dir / "ro.idx").empty());
  EXPECT_EQ(ReadFile(path).size(), 11u);
  // The path is free again once the failed open has given it up.
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  EXPECT_EQ(ch.Open(path), 1u);
}

TEST(CSaveList, DataPathThatIsADirectoryFails) {
  ScratchDir dir;
  Channel ch;
  std::filesystem::create_directory(dir / "cam.dat");
  uint32_t id = 0;
  EXPECT_EQ(ch.saves.Open((dir / "cam.dat").c_str(), ch.queue, id), kOpenFailed);
  EXPECT_EQ(ch.saves.Open((dir / "sub/").c_str(), ch.queue, id), kOpenFailed);
  EXPECT_EQ(ch.saves.Open("", ch.queue, id), kOpenFailed);
  EXPECT_EQ(ch.saves.Open(nullptr, ch.queue, id), kOpenFailed);
  EXPECT_FALSE(test::Exists(dir / "sub"));
  EXPECT_FALSE(test::Exists(dir / ".idx"));
  EXPECT_EQ(ch.saves.Count(), 0u);
}

TEST(CSaveList, IdxDataPathIsRefusedWithoutTouchingAnything) {
  ScratchDir dir;
  Channel ch;
  ch.Deliver(kFrameKindI, 100);
  test::WriteFile(dir / "cam1.idx", "keep me");
  DebugCapture debug;
  uint32_t id = 3;
  EXPECT_EQ(ch.saves.Open((dir / "cam1.idx").c_str(), ch.queue, id), kOpenFailed);
  EXPECT_EQ(ch.saves.Open((dir / "newdir/cam2.idx").c_str(), ch.queue, id), kOpenFailed);
  EXPECT_EQ(id, 3u);
  EXPECT_EQ(ReadFile(dir / "cam1.idx").size(), 7u);
  EXPECT_FALSE(test::Exists(dir / "newdir"));
  EXPECT_EQ(debug.lines().size(), 2u);
}

TEST(CSaveList, PathAlreadyRecordedOnAnyChannelIsRefusedWithoutTruncation) {
  ScratchDir dir;
  Channel one, two;
  std::string path = dir / "cam1.dat";
  one.Open(path);
  one.Deliver(kFrameKindI, 5000);  // larger than the stdio buffer: reaches the disk now
  auto size = [&] { return std::filesystem::file_size(path); };
  uintmax_t before = size();
  ASSERT_GT(before, 0u);
  std::filesystem::create_directory(dir / "sub");
  std::filesystem::create_directory_symlink(dir.path(), dir / "link");
  ::symlink(path.c_str(), (dir / "alias.dat").c_str());

  uint32_t id = 0;
  for (const std::string& other :
       {path, dir / "cam1.mp4", dir / "sub/../cam1.dat", dir / "link/cam1.dat", dir / "alias.dat",
        dir.path() + "//cam1.dat"}) {
    EXPECT_EQ(two.saves.Open(other.c_str(), two.queue, id), kOpenFailed) << other;
    EXPECT_EQ(one.saves.Open(other.c_str(), one.queue, id), kOpenFailed) << other;
  }
  {
    test::WorkingDir cwd(dir / "sub");
    EXPECT_EQ(two.saves.Open("../cam1.dat", two.queue, id), kOpenFailed);
  }
  EXPECT_FALSE(test::Exists(dir / "cam1.mp4"));
  EXPECT_EQ(size(), before);
  EXPECT_EQ(two.saves.Count(), 0u);
  EXPECT_EQ(one.saves.Count(), 1u);

  one.Deliver(kFrameKindP, 10);
  one.saves.Close(1);
  EXPECT_EQ(one.Check(path).size(), 2u);
  EXPECT_EQ(two.Open(dir / "cam1.mp4"), 1u);  // free again once closed
}

// Paths that are no regular file, a derived index path that is a symbolic
// link, and other names (hard links) of a running recording's files are
// refused at once, before anything is created or truncated.
TEST(CSaveListPaths, UnsafePathsAreRefusedWithoutBlockingOrTouchingAnything) {
  ScratchDir dir;
  Channel one, two;
  const std::string running = dir / "run.dat";
  one.Open(running);
  one.Deliver(kFrameKindI, 5000);
  const uintmax_t before = std::filesystem::file_size(running);
  std::ofstream(dir / "victim") << "keep me";
  ASSERT_EQ(::mkfifo((dir / "fifo.dat").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((dir / "f2.idx").c_str(), 0600), 0);
  std::filesystem::create_directory(dir / "d.idx");
  ASSERT_EQ(::symlink("/dev/null", (dir / "dev.dat").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "victim").c_str(), (dir / "l.idx").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (dir / "dl.idx").c_str()), 0);
  ASSERT_EQ(::link(running.c_str(), (dir / "hard.dat").c_str()), 0);
  ASSERT_EQ(::link(IndexPathFor(running).c_str(), (dir / "hi.idx").c_str()), 0);
  std::ofstream(dir / "same.dat") << "x";
  ASSERT_EQ(::link((dir / "same.dat").c_str(), (dir / "same.idx").c_str()), 0);
  for (const char* name : {"fifo.dat", "f2.dat", "d.dat", "dev.dat", "l.dat", "dl.dat", "hard.dat",
                           "hi.dat", "same.dat"}) {
    uint32_t id = 0;
    EXPECT_EQ(two.saves.Open((dir / name).c_str(), two.queue, id), kOpenFailed) << name;
  }
  for (const char* absent : {"fifo.idx", "f2.dat", "d.dat", "dev.idx", "l.dat", "dl.dat",
                             "elsewhere", "hard.idx", "hi.dat"})
    EXPECT_FALSE(test::Exists(dir / absent)) << absent;
  EXPECT_EQ(ReadFile(dir / "victim"), std::vector<uint8_t>({'k', 'e', 'e', 'p', ' ', 'm', 'e'}));
  EXPECT_EQ(std::filesystem::file_size(dir / "same.dat"), 1u);
  EXPECT_EQ(std::filesystem::file_size(running), before);
  EXPECT_EQ(two.saves.Count(), 0u);
  one.saves.Close(1);
  EXPECT_EQ(one.Check(running).size(), 1u);
}

TEST(CSaveList, ConcurrentOpensOfOnePathOnTwoChannelsLetOnlyOneWin) {
  ScratchDir dir;
  Channel one, two;
  for (int round = 0; round < 30; ++round) {
    std::string path = dir / ("r" + std::to_string(round) + ".dat");
    uint32_t idOne = 0, idTwo = 0, rcOne = 0, rcTwo = 0;
    std::thread t([&] { rcOne = one.saves.Open(path.c_str(), one.queue, idOne); });
    rcTwo = two.saves.Open(path.c_str(), two.queue, idTwo);
    t.join();
    EXPECT_EQ((rcOne == QNVNET_OK) + (rcTwo == QNVNET_OK), 1) << path;
    EXPECT_EQ((rcOne == kOpenFailed) + (rcTwo == kOpenFailed), 1) << path;
    one.saves.CloseAll();
    two.saves.CloseAll();
  }
}

class SizeLimitForTest {
 public:
  explicit SizeLimitForTest(uint32_t bytes) { CSaveList::SetSizeLimitForTesting(bytes); }
  ~SizeLimitForTest() { CSaveList::SetSizeLimitForTesting(0); }
  SizeLimitForTest(const SizeLimitForTest&) = delete;
  SizeLimitForTest& operator=(const SizeLimitForTest&) = delete;
};

TEST(CSaveList, SizeLimitEndsOnlyThatRecordingAndTheOthersGetTheSameFrame) {
  ScratchDir dir;
  SizeLimitForTest limit(10000);
  DebugCapture debug;
  Channel ch(1);  // no pre-record, so the byte counts are easy to follow
  std::string a = dir / "a.dat", b = dir / "b.dat", c = dir / "c.dat";
  EXPECT_EQ(ch.Open(a), 1u);
  ch.Deliver(kFrameKindI, 1000);
  EXPECT_EQ(ch.Open(b), 2u);
  EXPECT_EQ(ch.Open(c), 3u);
  ch.Deliver(kFrameKindI, 1000);
  for (int i = 0; i < 7; ++i) ch.Deliver(kFrameKindP, 1000);
  EXPECT_EQ(ch.saves.Count(), 3u);
  uint32_t last = ch.Deliver(kFrameKindP, 1500);  // a reaches 10500 bytes
  EXPECT_EQ(ch.saves.Count(), 2u);
  EXPECT_TRUE(debug.Contains("size limit"));
  EXPECT_EQ(ch.saves.Close(1), QNVNET_ERR_NO_SAVE);
  uint32_t after = ch.Deliver(kFrameKindP, 10);
  EXPECT_EQ(std::filesystem::file_size(a), 10500u);
  EXPECT_EQ(ch.Open(dir / "d.dat"), 1u);
  ch.saves.CloseAll();
  auto fa = ch.Check(a), fb = ch.Check(b), fc = ch.Check(c);
  EXPECT_EQ(fa.back().seq, last);
  EXPECT_EQ(fb.back().seq, after);
  EXPECT_EQ(Seqs(fb), Seqs(fc));
  EXPECT_EQ(fb.size(), 10u);
}

// Write fault injection: writes to the file at g_failPath come up short.
std::string g_failPath;
std::atomic<int> g_failures{0};

std::string PathOf(FILE* f) {
  char link[64], target[4096];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fileno(f));
  ssize_t n = ::readlink(link, target, sizeof target - 1);
  return n > 0 ? std::string(target, size_t(n)) : std::string();
}

size_t FailingWrite(FILE* f, const void* data, size_t n) {
  if (!g_failPath.empty() && PathOf(f) == g_failPath) {
    ++g_failures;
    size_t part = std::fwrite(data, 1, n / 2, f);  // half of it reaches the file
    errno = ENOSPC;
    return part;
  }
  return std::fwrite(data, 1, n, f);
}

class WriteFault {
 public:
  explicit WriteFault(const std::string& path) {
    g_failPath = std::filesystem::canonical(path).string();
    g_failures = 0;
    platform::SetFileWriteHookForTesting(&FailingWrite);
  }
  ~WriteFault() { Disarm(); }
  void Disarm() {
    platform::SetFileWriteHookForTesting(nullptr);
    g_failPath.clear();
  }
  WriteFault(const WriteFault&) = delete;
  WriteFault& operator=(const WriteFault&) = delete;
};

class FailedWrite : public testing::TestWithParam<const char*> {};

TEST_P(FailedWrite, EndsThatRecordingWithConsistentFilesWhileOthersGoOn) {
  ScratchDir dir;
  DebugCapture debug;
  Channel ch(3000);
  std::string a = dir / "a.dat", b = dir / "b.dat";
  ch.Open(a);
  ch.Open(b);
  for (int i = 0; i < 30; ++i) ch.Deliver(i % 10 == 0 ? kFrameKindI : kFrameKindP, 100 + 37 * i);
  std::string victim = std::string(GetParam()) == "data" ? a : IndexPathFor(a);
  {
    WriteFault fault(victim);
    ch.Deliver(kFrameKindP, 333);
    EXPECT_GE(g_failures.load(), 1);
    EXPECT_EQ(ch.saves.Count(), 1u);
    ch.Deliver(kFrameKindP, 444);
    EXPECT_EQ(g_failures.load(), 1) << "an ended recording is not written again";
  }
  uint32_t later = ch.Deliver(kFrameKindI, 555);
  EXPECT_EQ(ch.saves.Close(1), QNVNET_ERR_NO_SAVE);
  EXPECT_TRUE(debug.Contains("recording 1"));
  EXPECT_TRUE(debug.Contains(std::strerror(ENOSPC)));
  EXPECT_EQ(ch.Open(dir / "c.dat"), 1u);  // id and path are free again
  EXPECT_EQ(ch.Open(a), 3u);
  ch.saves.CloseAll();

  EXPECT_EQ(Seqs(ch.Check(b)).back(), later);
  EXPECT_EQ(ch.Check(b).size(), 33u);
}

TEST_P(FailedWrite, LeavesOnlyWholeFramesInTheFailedRecording) {
  ScratchDir dir;
  Channel ch(1);
  std::string a = dir / "a.dat";
  ch.Open(a);
  for (int i = 0; i < 20; ++i) ch.Deliver(i == 0 ? kFrameKindI : kFrameKindP, 300 + i);
  std::string victim = std::string(GetParam()) == "data" ? a : IndexPathFor(a);
  WriteFault fault(victim);
  ch.Deliver(kFrameKindP, 1000);
  fault.Disarm();
  EXPECT_EQ(ch.saves.Count(), 0u);
  auto frames = ch.Check(a);  // the last record's body is exactly what was delivered
  EXPECT_EQ(frames.size(), 20u);
  std::vector<uint8_t> data = ReadFile(a);
  EXPECT_EQ(data.size(), 20 * 300 + 190u);
}

INSTANTIATE_TEST_SUITE_P(File, FailedWrite, testing::Values("data", "index"));

// Lowers this process's file-size limit and ignores the signal, so a write
// past the limit fails with EFBIG like on a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &m_saved);
    m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = m_saved;
    lowered.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() { Lift(); }
  void Lift() {
    if (m_lifted) return;
    ::setrlimit(RLIMIT_FSIZE, &m_saved);
    std::signal(SIGXFSZ, m_oldHandler);
    m_lifted = true;
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit m_saved{};
  void (*m_oldHandler)(int) = SIG_DFL;
  bool m_lifted = false;
};

// The repair after a failed write goes through the recording's own files:
// a host that changed directory meanwhile has other files under the same
// relative names, and they stay as they are.
TEST(CSaveListPaths, RepairAfterAFailedWriteGoesThroughTheOpenFiles) {
  ScratchDir dir;
  DebugCapture debug;
  std::filesystem::create_directory(dir / "a");
  std::filesystem::create_directory(dir / "b");
  std::ofstream(dir / "b/rec.dat") << std::string(1000, 'o');
  std::ofstream(dir / "b/rec.idx") << std::string(400, 'i');
  Channel ch(1);
  auto inA = std::make_unique<test::WorkingDir>(dir / "a");
  ch.Open("rec.dat");
  for (int i = 0; i < 10; ++i) ch.Deliver(i == 0 ? kFrameKindI : kFrameKindP, 100 + 10 * i);
  WriteFault fault(dir / "a/rec.dat");
  inA.reset();
  test::WorkingDir inB(dir / "b");
  ch.Deliver(kFrameKindP, 333);
  EXPECT_EQ(ch.saves.Count(), 0u);
  EXPECT_TRUE(debug.Contains("files hold"));
  EXPECT_EQ(std::filesystem::file_size(dir / "b/rec.dat"), 1000u);
  EXPECT_EQ(std::filesystem::file_size(dir / "b/rec.idx"), 400u);
  EXPECT_EQ(ch.Check(dir / "a/rec.dat").size(), 10u);
}

TEST(CSaveList, FullDiskEndsTheRecordingThatHitItAndTheOtherGoesOn) {
  ScratchDir dir;
  DebugCapture debug;
  Channel ch(20000);
  std::string a = dir / "a.dat", b = dir / "b.dat";
  constexpr rlim_t kLimit = 200 * 1024;
  FileSizeLimit limit(kLimit);
  ch.Open(a);
  size_t sent = 0;
  for (int i = 0; sent < 120 * 1024; ++i) {
    size_t len = 1500 + size_t(i * 977) % 4000;
    ch.Deliver(i % 25 == 0 ? kFrameKindI : kFrameKindP, len);
    sent += len;
  }
  ch.Open(b);
  ch.Deliver(kFrameKindI, 3000);
  for (int i = 0; i < 200 && ch.saves.Count() == 2; ++i) ch.Deliver(kFrameKindP, 2000 + i * 13);
  ASSERT_EQ(ch.saves.Count(), 1u) << "the first recording should have hit the limit";
  EXPECT_TRUE(debug.Contains(std::strerror(EFBIG)));
  limit.Lift();
  uint32_t last = 0;
  for (int i = 0; i < 20; ++i) last = ch.Deliver(kFrameKindP, 2500);
  ch.saves.CloseAll();

  auto fa = ch.Check(a);
  EXPECT_GT(fa.size(), 10u);
  EXPECT_LE(std::filesystem::file_size(a), kLimit);
  auto fb = ch.Check(b);
  EXPECT_EQ(fb.back().seq, last);
}

TEST(CSaveList, WriteFailingInsideAFrameCutsTheFilesBackToWholeFrames) {
  ScratchDir dir;
  DebugCapture debug;
  Channel ch(1);
  std::string a = dir / "a.dat";
  ch.Open(a);
  {
    // Room for two and a half frames: the third is written in part.
    FileSizeLimit limit(1000);
    for (int i = 0; i < 4; ++i) ch.Deliver(i == 0 ? kFrameKindI : kFrameKindP, 400);
  }
  EXPECT_EQ(ch.saves.Count(), 0u) << "the failed write ended the recording";
  EXPECT_TRUE(debug.Contains(std::strerror(EFBIG)));
  EXPECT_EQ(ch.Check(a).size(), 2u);
  EXPECT_EQ(std::filesystem::file_size(a), 800u);
  EXPECT_EQ(std::filesystem::file_size(dir / "a.idx"), 2 * kFrameHeaderSize);
}

// Index records are buffered only within blocks reserved for them.
std::atomic<int> g_reserveCalls{0};
int g_reserveGranted = 0;  // calls granted before the hook refuses

bool LimitedReserve(FILE* f, int64_t offset, int64_t length) {
  if (g_reserveCalls++ >= g_reserveGranted) {
    errno = EOPNOTSUPP;
    return false;
  }
  return ::fallocate(fileno(f), FALLOC_FL_KEEP_SIZE, offset, length) == 0;
}

class ReserveLimit {
 public:
  explicit ReserveLimit(int granted) {
    g_reserveCalls = 0;
    g_reserveGranted = granted;
    platform::SetFileReserveHookForTesting(&LimitedReserve);
  }
  ~ReserveLimit() { platform::SetFileReserveHookForTesting(nullptr); }
  ReserveLimit(const ReserveLimit&) = delete;
  ReserveLimit& operator=(const ReserveLimit&) = delete;
};

uintmax_t SizeOf(const std::string& path) { return std::filesystem::file_size(path); }

TEST(CSaveList, IndexFileListsEveryFrameBeforeTheLatestKeyFrame) {
  ScratchDir dir;
  Channel ch(5000);
  for (int i = 0; i < 3; ++i) ch.Deliver(i == 0 ? kFrameKindI : kFrameKindP, 700);
  std::string a = dir / "a.dat", idx = IndexPathFor(a);
  ch.Open(a);
  EXPECT_EQ(SizeOf(idx), 3 * kFrameHeaderSize) << "the stretch is in the file at the open";
  EXPECT_EQ(SizeOf(a), 3 * 700u);
  for (int group = 0; group < 3; ++group) {
    for (int i = 0; i < 10; ++i) ch.Deliver(i == 0 ? kFrameKindI : kFrameKindP, 500);
  }
  ch.Deliver(kFrameKindI, 500);
  // What a crash now would leave: every frame up to the last key frame listed.
  EXPECT_GE(SizeOf(idx), (3 + 30) * kFrameHeaderSize);
  auto listed = ReadRecording(a, idx);
  EXPECT_GE(listed.size(), 33u);
  ch.saves.CloseAll();
  EXPECT_EQ(ch.Check(a).size(), 34u);
}

TEST(CSaveList, IndexRecordsGoStraightToTheFileBeyondWhatCouldBeReserved) {
  for (int granted : {0, 1}) {
    SCOPED_TRACE(granted == 0 ? "nothing reserved" : "the first reservation only");
    ScratchDir dir;
    std::string a = dir / "a.dat", idx = IndexPathFor(a);
    ReserveLimit limit(granted);
    Channel ch(1);
    ch.Open(a);
    ch.Deliver(kFrameKindI, 10);
    // The first reservation covers some 1,600 records; later ones go to the
    // file as they come.
    const size_t frames = granted == 0 ? 50 : 1700;
    for (size_t i = 1; i < frames; ++i) ch.Deliver(kFrameKindP, 10);
    for (int i = 0; i < 5; ++i) {
      ch.Deliver(kFrameKindP, 10);
      EXPECT_EQ(SizeOf(idx), (frames + 1 + size_t(i)) * kFrameHeaderSize);
    }
    ch.saves.CloseAll();
    EXPECT_EQ(ch.Check(a).size(), frames + 5);
  }
}

TEST(CSaveList, ReservedBlocksAreGivenBackWhenTheRecordingEnds) {
  ScratchDir dir;
  std::string a = dir / "a.dat", b = dir / "b.dat";
  auto allocated = [](const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return uintmax_t(st.st_blocks) * 512;
  };
  Channel ch(1);
  ch.Open(a);
  ch.Open(b);
  ch.Deliver(kFrameKindI, 3000);
  for (int i = 0; i < 40; ++i) ch.Deliver(kFrameKindP, 2000 + size_t(i));
  if (allocated(a) < SizeOf(a) + 1024 * 1024) GTEST_SKIP() << "this filesystem reserves nothing";
  EXPECT_EQ(ch.saves.Close(1), QNVNET_OK);  // closed by the host
  {
    FileSizeLimit full(SizeOf(b) + 100);  // ended by a failed write
    ch.Deliver(kFrameKindP, 5000);
  }
  ASSERT_EQ(ch.saves.Count(), 0u);
  for (const std::string& path : {a, IndexPathFor(a), b, IndexPathFor(b)}) {
    EXPECT_LE(allocated(path), SizeOf(path) + 4096) << path;
  }
  EXPECT_EQ(ch.Check(a).size(), 41u);
  EXPECT_EQ(ch.Check(b).size(), 41u);
}

TEST(CSaveList, DestructionEndsRecordingsWithCompleteFiles) {
  ScratchDir dir;
  std::map<uint32_t, std::vector<uint8_t>> delivered;
  {
    Channel ch;
    ch.Open(dir / "x.dat");
    ch.Deliver(kFrameKindI, 5);
    ch.Deliver(kFrameKindP, 6);
    delivered = ch.delivered;
  }
  Channel reader;
  reader.delivered = delivered;
  EXPECT_EQ(reader.Check(dir / "x.dat").size(), 2u);
}

}  // namespace
}  // namespace qnv
