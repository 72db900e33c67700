// Recordings under faults: a stream that turns to garbage or drops, a session
// that dies, a library that shuts down, refused paths, and a disk that fills
// up for real (a file-size limit, and a small tmpfs when mounting is
// allowed). Every recording left behind must pass the recording reader's
// consistency check, and the other recordings must go on.
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <thread>

#include "FaultFixture.h"
#include "qnvrecording/CRecordingReader.h"

namespace qnv {
namespace {

using devsim::StreamFault;
using test::CDebugLines;
using test::CHostLog;
using test::WaitUntil;

uint64_t FileBytes(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// Opens the recording with the exporter's reader: it must be whole.
qnvrec::SRecordingSummary ExpectConsistent(const std::string& data) {
  qnvrec::CRecordingReader reader;
  std::string error;
  EXPECT_TRUE(reader.Open(data, qnvrec::IndexPathFor(data), error)) << data << ": " << error;
  const qnvrec::SRecordingSummary& s = reader.Summary();
  EXPECT_TRUE(s.Consistent()) << data << ": "
                              << (s.problems.empty() ? std::string() : s.problems[0]);
  EXPECT_GT(s.frames, 0u) << data;
  EXPECT_GT(s.keyFrames, 0u) << data;
  return s;
}

class RecordingFaults : public test::FaultTest {
 protected:
  devsim::SimulatorOptions Options() override {
    devsim::SimulatorOptions o = test::FaultTest::Options();
    o.syntheticBitrate = 4000000;  // about 500 KB/s: limits are reached in seconds
    return o;
  }
  void SetUp() override {
    test::FaultTest::SetUp();
    dir = "/tmp/qnv_recfault_" + std::to_string(getpid()) + "_" +
          ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::system(("rm -rf " + dir).c_str());
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  }
  void TearDown() override {
    test::FaultTest::TearDown();
    std::system(("rm -rf " + dir).c_str());
  }
  uint32_t SaveOpen(uint32_t handle, const std::string& path) {
    uint32_t rid = 0;
    EXPECT_EQ(QNVNet_LiveSaveOpen(handle, path.c_str(), rid), 0u) << path;
    return rid;
  }
  // Waits until the file has grown by `bytes` from now.
  static bool Grows(const std::string& path, uint64_t bytes, int timeoutMs = 10000) {
    const uint64_t from = FileBytes(path);
    return WaitUntil([&] { return FileBytes(path) >= from + bytes; }, timeoutMs);
  }
  std::string dir;
};

TEST_F(RecordingFaults, StreamGarbageAndDropLeaveAWholeRecording) {
  uint32_t id = Login();
  uint32_t handle = Open(id);
  ASSERT_TRUE(FramesFlow());
  const std::string path = dir + "/stream.dat";
  uint32_t rid = SaveOpen(handle, path);
  sim->SetStreamFault({StreamFault::kGarbage, 5000, 3});
  ASSERT_TRUE(FramesFlow(10));
  sim->SetStreamFault({StreamFault::kOversize, 1u << 20, 1});
  ASSERT_TRUE(FramesFlow(10));
  sim->SetStreamFault({StreamFault::kDropMidFrame, 0, 1});
  ASSERT_TRUE(WaitUntil([&] { return !DisconnectsOn(Port() + 2).empty(); }));
  EXPECT_EQ(QNVNet_LiveSaveClose(handle, rid), 0u);
  EXPECT_EQ(QNVNet_LiveClose(handle), 0u);
  ExpectConsistent(path);
}

TEST_F(RecordingFaults, LostSessionClosesItsRecordingsWhole) {
  uint32_t id = Login();
  uint32_t handle = Open(id);
  ASSERT_TRUE(FramesFlow());
  const std::string path = dir + "/session.dat";
  uint32_t rid = SaveOpen(handle, path);
  ASSERT_TRUE(Grows(path, 50000));
  sim->SetFault(5, 1, {devsim::Fault::kClose, 0, 1});
  EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), QNVNET_ERR_NO_REPLY);
  EXPECT_EQ(QNVNet_LiveSaveClose(handle, rid), QNVNET_ERR_NO_SESSION);
  ExpectConsistent(path);
  ExpectUsable();
}

TEST_F(RecordingFaults, ShutdownClosesRecordingsWhole) {
  uint32_t id = Login();
  uint32_t first = Open(id), second = Open(id);
  ASSERT_TRUE(FramesFlow());
  const std::string a = dir + "/a.dat", b = dir + "/sub/dir/b.dat";
  SaveOpen(first, a);
  SaveOpen(second, b);
  ASSERT_TRUE(Grows(b, 50000));
  EXPECT_EQ(QNVNet_UnInitLib(), 0u);
  ExpectConsistent(a);
  ExpectConsistent(b);
  ASSERT_EQ(QNVNet_InitLib(), 0u);
  ExpectUsable();
}

TEST_F(RecordingFaults, RefusedPathsCreateAndTruncateNothing) {
  uint32_t id = Login();
  uint32_t handle = Open(id);
  ASSERT_TRUE(FramesFlow());
  uint32_t rid = 99;
  EXPECT_EQ(QNVNet_LiveSaveOpen(handle, (dir + "/x.idx").c_str(), rid), QNVNET_ERR_SAVE_OPEN);
  EXPECT_EQ(QNVNet_LiveSaveOpen(handle, nullptr, rid), QNVNET_ERR_SAVE_OPEN);
  EXPECT_EQ(QNVNet_LiveSaveOpen(handle, "", rid), QNVNET_ERR_SAVE_OPEN);
  EXPECT_EQ(QNVNet_LiveSaveOpen(handle, (dir + "/").c_str(), rid), QNVNET_ERR_SAVE_OPEN);
  // A directory level that is a regular file cannot be made.
  FILE* f = std::fopen((dir + "/file").c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  EXPECT_EQ(QNVNet_LiveSaveOpen(handle, (dir + "/file/sub/r.dat").c_str(), rid),
            QNVNET_ERR_SAVE_OPEN);
  EXPECT_EQ(rid, 99u);
  // A path already being written, also by another name, is refused and left alone.
  const std::string path = dir + "/busy.dat";
  uint32_t busy = SaveOpen(handle, path);
  ASSERT_TRUE(Grows(path, 20000));
  const uint64_t size = FileBytes(path);
  EXPECT_EQ(QNVNet_LiveSaveOpen(handle, (dir + "/./busy.dat").c_str(), rid), QNVNET_ERR_SAVE_OPEN);
  EXPECT_EQ(QNVNet_LiveSaveOpen(handle, (dir + "/busy.mp4").c_str(), rid), QNVNET_ERR_SAVE_OPEN)
      << "the index busy.idx is taken";
  EXPECT_GE(FileBytes(path), size);
  // Sixteen at most per channel.
  std::vector<uint32_t> ids = {busy};
  for (int i = 0; i < 15; ++i) ids.push_back(SaveOpen(handle, dir + "/n" + std::to_string(i)));
  EXPECT_EQ(QNVNet_LiveSaveOpen(handle, (dir + "/17.dat").c_str(), rid), QNVNET_ERR_TOO_MANY_SAVES);
  EXPECT_FALSE(Exists(dir + "/17.dat"));
  for (uint32_t r : ids) EXPECT_EQ(QNVNet_LiveSaveClose(handle, r), 0u);
  EXPECT_EQ(QNVNet_LiveSaveClose(handle, busy), QNVNET_ERR_NO_SAVE);
  ExpectConsistent(path);
  for (int i = 0; i < 15; ++i) ExpectConsistent(dir + "/n" + std::to_string(i));
  EXPECT_EQ(QNVNet_LiveClose(handle), 0u);
}

// The process-wide file-size limit, with SIGXFSZ ignored so a write past it
// fails with EFBIG instead of killing the process; restored on destruction.
// One at a time, made and destroyed on the test's thread.
class CFileSizeLimit {
 public:
  explicit CFileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &m_old);
    m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = m_old;
    limit.rlim_cur = bytes;
    m_ok = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }
  ~CFileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &m_old);
    std::signal(SIGXFSZ, m_oldHandler);
  }
  CFileSizeLimit(const CFileSizeLimit&) = delete;
  CFileSizeLimit& operator=(const CFileSizeLimit&) = delete;
  bool Ok() const { return m_ok; }

 private:
  rlimit m_old{};
  void (*m_oldHandler)(int) = nullptr;
  bool m_ok = false;
};

TEST_F(RecordingFaults, FileSizeLimitEndsOneRecordingAndTheOthersGoOn) {
  uint32_t id = Login();
  uint32_t first = Open(id), second = Open(id);
  ASSERT_TRUE(FramesFlow());
  const std::string a = dir + "/a.dat", b = dir + "/b.dat", c = dir + "/c.dat";
  constexpr uint64_t kLimit = 2u << 20;
  {
    CFileSizeLimit limit(kLimit);
    ASSERT_TRUE(limit.Ok());
    uint32_t ra = SaveOpen(first, a);
    // The others start later, so only the first reaches the limit while they run.
    ASSERT_TRUE(WaitUntil([&] { return FileBytes(a) >= kLimit * 6 / 10; }, 20000));
    uint32_t rb = SaveOpen(first, b);
    uint32_t rc = SaveOpen(second, c);
    ASSERT_TRUE(WaitUntil([&] { return CDebugLines::Get().Contains("write failed"); }, 20000));
    EXPECT_TRUE(Grows(b, 50000));
    EXPECT_TRUE(Grows(c, 50000));
    EXPECT_LT(FileBytes(b), kLimit);
    EXPECT_LT(FileBytes(c), kLimit);
    EXPECT_EQ(QNVNet_LiveSaveClose(first, rb), 0u);
    EXPECT_EQ(QNVNet_LiveSaveClose(second, rc), 0u);
    EXPECT_EQ(QNVNet_LiveSaveClose(first, ra), QNVNET_ERR_NO_SAVE);  // already ended
  }
  EXPECT_LE(FileBytes(a), kLimit);
  qnvrec::SRecordingSummary s = ExpectConsistent(a);
  EXPECT_GT(s.bodyBytes, kLimit / 2);
  ExpectConsistent(b);
  ExpectConsistent(c);
  EXPECT_TRUE(CHostLog::Get().Disconnects().empty());
  EXPECT_EQ(QNVNet_LiveClose(first), 0u);
  EXPECT_EQ(QNVNet_LiveClose(second), 0u);
}

TEST_F(RecordingFaults, FullDiskEndsTheRecordingThereAndOthersGoOn) {
  const std::string mnt = dir + "/small";
  ASSERT_EQ(::mkdir(mnt.c_str(), 0755), 0);
  if (::mount("tmpfs", mnt.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  }
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{mnt};
  uint32_t id = Login();
  uint32_t handle = Open(id);
  ASSERT_TRUE(FramesFlow());
  const std::string full = mnt + "/full.dat", other = dir + "/other.dat";
  uint32_t rf = SaveOpen(handle, full);
  uint32_t ro = SaveOpen(handle, other);
  ASSERT_TRUE(WaitUntil([&] { return CDebugLines::Get().Contains("write failed"); }, 20000));
  EXPECT_TRUE(Grows(other, 50000));
  EXPECT_EQ(QNVNet_LiveSaveClose(handle, ro), 0u);
  EXPECT_EQ(QNVNet_LiveSaveClose(handle, rf), QNVNET_ERR_NO_SAVE);
  ExpectConsistent(full);
  ExpectConsistent(other);
  // Space is free again: a new recording there works.
  ::unlink(full.c_str());
  ::unlink(qnvrec::IndexPathFor(full).c_str());
  const std::string again = mnt + "/again.dat";
  uint32_t ra = SaveOpen(handle, again);
  ASSERT_TRUE(Grows(again, 20000));
  EXPECT_EQ(QNVNet_LiveSaveClose(handle, ra), 0u);
  ExpectConsistent(again);
  EXPECT_EQ(QNVNet_LiveClose(handle), 0u);
}

}  // namespace
}  // namespace qnv
