// CEventThread and the streaming mode of CTcpClient: starting, gating,
// stopping a thread blocked in a read, and a routine that stops its own
// thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Debug.h"
#include "support/LoopbackPeer.h"
#include "transport/CEventThread.h"
#include "transport/CTcpClient.h"

namespace qnv {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::mutex g_linesMutex;
std::vector<std::string> g_lines;
void CaptureLine(const char* text) {
  std::lock_guard<std::mutex> lock(g_linesMutex);
  g_lines.push_back(text);
}
size_t CountLines(const std::string& text) {
  std::lock_guard<std::mutex> lock(g_linesMutex);
  return size_t(std::count(g_lines.begin(), g_lines.end(), text));
}

class EventThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::lock_guard<std::mutex> lock(g_linesMutex);
    g_lines.clear();
    platform::SetDebugSinkForTesting(&CaptureLine);
  }
  void TearDown() override { platform::SetDebugSinkForTesting(nullptr); }
};

std::atomic<int> g_calls{0};
bool CountingRoutine(void*) {
  ++g_calls;
  std::this_thread::sleep_for(1ms);
  return true;
}
bool StopAtOnce(void*) {
  ++g_calls;
  return false;
}

TEST_F(EventThreadTest, ClosedGateNeverCallsTheRoutine) {
  g_calls = 0;
  CEventThread t;
  ASSERT_TRUE(t.Start(&CountingRoutine, nullptr));
  std::this_thread::sleep_for(20ms);
  auto t0 = Clock::now();
  EXPECT_TRUE(t.Stop(100));
  EXPECT_LT(Clock::now() - t0, 100ms);
  EXPECT_EQ(g_calls, 0);
  EXPECT_EQ(CountLines("本线程被命令关闭!\n"), 1u);
}

TEST_F(EventThreadTest, RoutineReturningFalseEndsTheThread) {
  g_calls = 0;
  CEventThread t;
  ASSERT_TRUE(t.Start(&StopAtOnce, nullptr));
  EXPECT_EQ(t.SetRun(true), 1);
  for (int i = 0; i < 200 && t.IsRunning(); ++i) std::this_thread::sleep_for(5ms);
  EXPECT_FALSE(t.IsRunning());
  EXPECT_EQ(t.SetRun(true), 0);
  EXPECT_EQ(g_calls, 1);
  EXPECT_TRUE(t.Stop(30));
}

TEST_F(EventThreadTest, SetRunWithoutThreadDoesNothing) {
  CEventThread t;
  EXPECT_EQ(t.SetRun(true), 0);
  EXPECT_FALSE(t.IsRunning());
}

TEST_F(EventThreadTest, OpenGateCallsRoutineUntilStopped) {
  g_calls = 0;
  CEventThread t;
  ASSERT_TRUE(t.Start(&CountingRoutine, nullptr));
  t.SetRun(true);
  std::this_thread::sleep_for(30ms);
  EXPECT_TRUE(t.Stop(100));
  int after = g_calls;
  EXPECT_GT(after, 0);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(g_calls, after);
}

std::atomic<bool> g_release{false};
bool BlockingRoutine(void*) {
  while (!g_release) std::this_thread::sleep_for(1ms);
  return true;
}

TEST_F(EventThreadTest, BusyThreadIsLeftToFinishAndKeepsItsObjectAlive) {
  g_release = false;
  auto owner = std::make_shared<int>(42);
  std::weak_ptr<int> watch = owner;
  {
    CEventThread t;
    ASSERT_TRUE(t.Start(&BlockingRoutine, nullptr, owner));
    t.SetRun(true);
    std::this_thread::sleep_for(10ms);
    auto t0 = Clock::now();
    EXPECT_FALSE(t.Stop(30));
    EXPECT_LT(Clock::now() - t0, 200ms);
  }
  owner.reset();
  EXPECT_FALSE(watch.expired());  // the thread still holds it
  EXPECT_EQ(CountLines("线程被强行关闭!\n"), 1u);
  g_release = true;
  for (int i = 0; i < 400 && !watch.expired(); ++i) std::this_thread::sleep_for(5ms);
  EXPECT_TRUE(watch.expired());
}

// Streaming mode: a stream connection whose owner stops it from inside its
// own data notification, and one stopped while blocked in a read.
struct StreamOwner {
  CTcpClient tcp;
  std::atomic<int> chunks{0};
  std::atomic<int> disconnects{0};
  bool closeFromNotification = false;
};

bool OnData(int, char*, uint16_t, uint8_t*, int32_t, void* self) {
  auto* o = static_cast<StreamOwner*>(self);
  ++o->chunks;
  if (o->closeFromNotification) o->tcp.Close();
  return true;
}
bool OnGone(int, char*, uint16_t, void* self) {
  ++static_cast<StreamOwner*>(self)->disconnects;
  return false;
}

TEST_F(EventThreadTest, StopWakesAThreadBlockedInARead) {
  test::LoopbackPeer peer;
  auto owner = std::make_shared<StreamOwner>();
  ASSERT_TRUE(owner->tcp.Connect(CTcpClient::kModeStream, "127.0.0.1", peer.Port(), &OnData,
                                 &OnGone, owner.get(), owner));
  ASSERT_TRUE(peer.Accept());
  peer.Write({1, 2, 3});
  for (int i = 0; i < 200 && owner->chunks == 0; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(owner->chunks, 1);
  auto t0 = Clock::now();
  owner->tcp.Close();
  EXPECT_LT(Clock::now() - t0, 200ms);
  EXPECT_EQ(owner->disconnects, 0);  // notifications are detached first
  EXPECT_EQ(owner->tcp.Socket(), -1);
}

TEST_F(EventThreadTest, NotificationThatClosesItsOwnConnection) {
  test::LoopbackPeer peer;
  auto owner = std::make_shared<StreamOwner>();
  owner->closeFromNotification = true;
  std::weak_ptr<StreamOwner> watch = owner;
  ASSERT_TRUE(owner->tcp.Connect(CTcpClient::kModeStream, "127.0.0.1", peer.Port(), &OnData,
                                 &OnGone, owner.get(), owner));
  ASSERT_TRUE(peer.Accept());
  owner.reset();  // only the receive thread holds it now
  peer.Write({1});
  for (int i = 0; i < 400 && !watch.expired(); ++i) std::this_thread::sleep_for(5ms);
  EXPECT_TRUE(watch.expired());  // the thread ended by itself and let go
}

TEST_F(EventThreadTest, PeerCloseReportsOneDisconnectAndEndsTheThread) {
  test::LoopbackPeer peer;
  auto owner = std::make_shared<StreamOwner>();
  ASSERT_TRUE(owner->tcp.Connect(CTcpClient::kModeStream, "127.0.0.1", peer.Port(), &OnData,
                                 &OnGone, owner.get(), owner));
  ASSERT_TRUE(peer.Accept());
  peer.Close();
  for (int i = 0; i < 400 && owner->disconnects == 0; ++i) std::this_thread::sleep_for(5ms);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(owner->disconnects, 1);
  owner->tcp.Close();
}

}  // namespace
}  // namespace qnv
