// The library frame without any device: version, callbacks, start and stop,
// every export answering for an unknown id, and nothing left behind.
#include <dirent.h>
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "QNVNetSdk.h"
#include "player/PlayerApi.h"
#include "sdk/CLibrary.h"
#include "support/LoopbackPeer.h"

namespace {

int CountThreads() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

TEST(Library, VersionNeedsNoInitialisation) {
  uint32_t v = 0;
  EXPECT_EQ(QNVNet_GetSdkVersion(&v), 0u);
  EXPECT_EQ(v, 0x01000000u);
  ASSERT_EQ(QNVNet_InitLib(), 0u);
  v = 0;
  EXPECT_EQ(QNVNet_GetSdkVersion(&v), 0u);
  EXPECT_EQ(v, 0x01000000u);
  EXPECT_EQ(QNVNet_UnInitLib(), 0u);
}

// A null pointer where an export needs one fails at once, before the
// session is even looked up: nothing is opened or sent.
TEST(Library, NullPointerArgumentsFailAtOnce) {
  ASSERT_EQ(QNVNet_InitLib(), 0u);
  const uint32_t kArg = QNVNET_ERR_ARGUMENT, id = 12345;
  int32_t len = 16, none = 0;
  EXPECT_EQ(QNVNet_GetSdkVersion(nullptr), kArg);
  EXPECT_EQ(QNVNet_LiveOpen(nullptr, id, nullptr), kArg);
  EXPECT_EQ(QNVNet_PTZGetParam(id, 0, nullptr, len), kArg);
  EXPECT_EQ(QNVNet_ManageGetSysConfig(id, 13, nullptr, len), kArg);
  EXPECT_EQ(QNVNet_ManageSetSysConfig(id, 31, nullptr, 4), kArg);
  EXPECT_EQ(QNVNet_ManageSendSysCmd(id, 10, nullptr, len), kArg);
  EXPECT_EQ(QNVNet_RuleDownLoad(id, nullptr, len), kArg);
  EXPECT_EQ(QNVNet_RuleUpLoad(id, nullptr, 4), kArg);
  EXPECT_EQ(QNVNet_AlgorGetParam(id, 1, nullptr, len), kArg);
  EXPECT_EQ(QNVNet_AlgorSetParam(id, 1, nullptr, 4), kArg);
  // No buffer with length 0 is no payload: the session look-up decides.
  EXPECT_EQ(QNVNet_ManageSetSysConfig(id, 31, nullptr, 0), QNVNET_ERR_NO_SESSION);
  EXPECT_EQ(QNVNet_ManageGetSysConfig(id, 13, nullptr, none), QNVNET_ERR_NO_SESSION);
  EXPECT_EQ(qnv::CLibrary::Instance().ChannelCount(), 0u);
  EXPECT_EQ(QNVNet_UnInitLib(), 0u);
}

void EveryWrapperAnswersNoSession(uint32_t id) {
  const uint32_t kNo = QNVNET_ERR_NO_SESSION;
  uint32_t handle = 77;
  char buf[16];
  int32_t len = 16;
  int32_t state = 5;
  uint32_t saveId = 9;
  EXPECT_EQ(QNVNet_LiveOpen(&handle, id, nullptr), kNo);
  EXPECT_EQ(handle, 77u);
  EXPECT_EQ(QNVNet_LiveClose(id), kNo);
  EXPECT_EQ(QNVNet_LivePause(id), kNo);
  EXPECT_EQ(QNVNet_LivePlay(id), kNo);
  EXPECT_EQ(QNVNet_LiveCapture(id, "/tmp/x.jpg"), kNo);
  EXPECT_EQ(QNVNet_LiveSaveOpen(id, "/tmp/x.dat", saveId), kNo);
  EXPECT_EQ(saveId, 9u);
  EXPECT_EQ(QNVNet_LiveSaveClose(id, 1), kNo);
  EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 2, 3, 4), kNo);
  EXPECT_EQ(QNVNet_PTZCtrlPreset(id, 1, 2), kNo);
  EXPECT_EQ(QNVNet_PTZGetParam(id, 0, buf, len), kNo);
  EXPECT_EQ(QNVNet_ManageGetSysConfig(id, 13, buf, len), kNo);
  EXPECT_EQ(QNVNet_ManageSetSysConfig(id, 31, buf, 4), kNo);
  EXPECT_EQ(QNVNet_ManageSendSysCmd(id, 10, buf, len), kNo);
  EXPECT_EQ(QNVNet_ManageSysUpdateData(id, "/nonexistent"), kNo);
  EXPECT_EQ(QNVNet_ManageSysUpdateStart(id), kNo);
  EXPECT_EQ(QNVNet_RuleDownLoad(id, buf, len), kNo);
  EXPECT_EQ(QNVNet_RuleUpLoad(id, buf, 4), kNo);
  EXPECT_EQ(QNVNet_RuleEnable(id, 1), kNo);
  EXPECT_EQ(QNVNet_IsRuleEnable(id, state), kNo);
  EXPECT_EQ(state, 5);
  EXPECT_EQ(QNVNet_AlgorGetParam(id, 50, buf, len), kNo);
  EXPECT_EQ(QNVNet_AlgorSetParam(id, 50, buf, 4), kNo);
  EXPECT_EQ(len, 16);
  EXPECT_EQ(QNVNet_DevLogout(id), 0u);
}

TEST(Library, EveryWrapperAnswersNoSessionBeforeAndAfterInit) {
  EveryWrapperAnswersNoSession(0);
  EveryWrapperAnswersNoSession(3);
  ASSERT_EQ(QNVNet_InitLib(), 0u);
  EveryWrapperAnswersNoSession(0);
  EveryWrapperAnswersNoSession(12345);
  EXPECT_EQ(QNVNet_UnInitLib(), 0u);
}

TEST(Library, LoginFailuresLeaveTheCallersVariable) {
  uint32_t id = 0xABCD;
  EXPECT_EQ(QNVNet_DevLogin(&id, "127.0.0.1", 1, "a", "b"), QNVNET_ERR_NO_SESSION);  // not started
  ASSERT_EQ(QNVNet_InitLib(), 0u);
  uint16_t closedPort;
  {
    qnv::test::LoopbackPeer gone;
    closedPort = gone.Port();
  }
  EXPECT_EQ(QNVNet_DevLogin(&id, "127.0.0.1", closedPort, "a", "b"), QNVNET_ERR_NO_SESSION);
  for (const char* bad :
       {"", "127.0.0", "127.0.0.1.1", "localhost", "127.0.0.256", "0127.000.000.001"})
    EXPECT_EQ(QNVNet_DevLogin(&id, bad, closedPort, "a", "b"), QNVNET_ERR_NO_SESSION) << bad;
  EXPECT_EQ(QNVNet_DevLogin(&id, nullptr, closedPort, "a", "b"), QNVNET_ERR_NO_SESSION);
  EXPECT_EQ(id, 0xABCDu);
  EXPECT_EQ(qnv::CLibrary::Instance().SessionCount(), 0u);
  QNVNet_UnInitLib();
}

TEST(Library, AddressTextThatIsNotIPv4SendsNothing) {
  qnv::test::LoopbackPeer peer;
  ASSERT_EQ(QNVNet_InitLib(), 0u);
  uint32_t id = 0;
  // Same port, malformed text: no connection is even attempted.
  EXPECT_EQ(QNVNet_DevLogin(&id, "127.0.0.1x", peer.Port(), "a", "b"), QNVNET_ERR_NO_SESSION);
  EXPECT_FALSE(peer.Accept(200));
  QNVNet_UnInitLib();
}

TEST(Library, SecondInitStartsNothingTwiceAndCyclesLeaveNothingBehind) {
  ASSERT_EQ(QNVNet_InitLib(), 0u);
  QNVNet_UnInitLib();  // the first start settles lazily made state
  int threads = CountThreads();
  int fds = qnv::test::CountOpenDescriptors();
  ASSERT_EQ(QNVNet_InitLib(), 0u);
  int running = CountThreads();
  // The keep-alive tick, the session watcher and its message thread.
  EXPECT_EQ(running, threads + 3);
  EXPECT_EQ(QNVNet_InitLib(), 0u);
  EXPECT_EQ(CountThreads(), running);
  EXPECT_EQ(QNVNet_UnInitLib(), 0u);
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(QNVNet_InitLib(), 0u);
    ASSERT_EQ(QNVNet_UnInitLib(), 0u);
  }
  EXPECT_EQ(CountThreads(), threads);
  EXPECT_EQ(qnv::test::CountOpenDescriptors(), fds);
  EXPECT_EQ(QNVNet_UnInitLib(), 0u);  // without InitLib: harmless
}

TEST(Library, LockIsFreeAfterEveryExport) {
  ASSERT_EQ(QNVNet_InitLib(), 0u);
  char buf[8];
  int32_t len = 8;
  QNVNet_PTZGetParam(1, 0, buf, len);
  QNVNet_LiveClose(1);
  QNVNet_DevLogout(1);
  uint32_t id;
  QNVNet_DevLogin(&id, "bad", 1, "", "");
  bool taken = false;
  std::thread other([&] {
    auto& lock = qnv::CLibrary::Instance().Lock();
    taken = lock.try_lock();
    if (taken) lock.unlock();
  });
  other.join();
  EXPECT_TRUE(taken);
  QNVNet_UnInitLib();
}

TEST(Library, NullPlayerIssuesDistinctNonzeroHandles) {
  const qnv::PlayerApi& p = qnv::Player();
  uint32_t a = 0, b = 0;
  ASSERT_EQ(p.openPort(&a, nullptr, 0, ""), 0);
  ASSERT_EQ(p.openPort(&b, nullptr, 0, ""), 0);
  EXPECT_NE(a, 0u);
  EXPECT_NE(b, 0u);
  EXPECT_NE(a, b);
  EXPECT_EQ(p.input(0, nullptr, 0), 0);
  uint32_t decoder = 5;
  EXPECT_NE(p.captureRun(&decoder, 1000, nullptr, 0, nullptr, 0, "x.jpg"), 0);
  EXPECT_EQ(decoder, 0u);
  p.closePort(a);
  p.closePort(b);
}

TEST(Library, ResultCodesHaveNames) {
  EXPECT_STREQ(QnvResultText(QNVNET_ERR_NO_SESSION), "no such session or login refused");
  EXPECT_STREQ(QnvResultText(0), "success");
  EXPECT_STREQ(QnvResultText(12345), "device error");
  EXPECT_EQ(int32_t(QNVNET_ERR_TOO_MANY_SAVES), -72);
}

}  // namespace
