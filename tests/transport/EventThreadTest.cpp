// CEventThread and the stream connection (CTcpStream): starting, stopping a
// thread blocked in a read, a routine that stops its own thread, and the
// wake threshold the connection sets from its sink's answer.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

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
#include "transport/CTcpStream.h"

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
bool CountingRoutine() {
  ++g_calls;
  std::this_thread::sleep_for(1ms);
  return true;
}
bool StopAtOnce() {
  ++g_calls;
  return false;
}

TEST_F(EventThreadTest, StopEndsTheThreadWithinItsGrace) {
  CEventThread t;
  EXPECT_FALSE(t.IsRunning());  // never started
  EXPECT_TRUE(t.Stop(30));
  ASSERT_TRUE(t.Start(&CountingRoutine));
  std::this_thread::sleep_for(20ms);
  auto t0 = Clock::now();
  EXPECT_TRUE(t.Stop(100));
  EXPECT_LT(Clock::now() - t0, 100ms);
  EXPECT_EQ(CountLines("本线程被命令关闭!\n"), 1u);
}

TEST_F(EventThreadTest, RoutineReturningFalseEndsTheThread) {
  g_calls = 0;
  CEventThread t;
  ASSERT_TRUE(t.Start(&StopAtOnce));
  for (int i = 0; i < 200 && t.IsRunning(); ++i) std::this_thread::sleep_for(5ms);
  EXPECT_FALSE(t.IsRunning());
  EXPECT_EQ(g_calls, 1);
  EXPECT_TRUE(t.Stop(30));
}

TEST_F(EventThreadTest, RoutineRunsUntilStopped) {
  g_calls = 0;
  CEventThread t;
  ASSERT_TRUE(t.Start(&CountingRoutine));
  std::this_thread::sleep_for(30ms);
  EXPECT_TRUE(t.Stop(100));
  int after = g_calls;
  EXPECT_GT(after, 0);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(g_calls, after);
}

std::atomic<bool> g_release{false};
bool BlockingRoutine() {
  while (!g_release) std::this_thread::sleep_for(1ms);
  return true;
}

TEST_F(EventThreadTest, BusyThreadIsLeftToFinishAndKeepsItsObjectAlive) {
  g_release = false;
  auto owner = std::make_shared<int>(42);
  std::weak_ptr<int> watch = owner;
  {
    CEventThread t;
    ASSERT_TRUE(t.Start(&BlockingRoutine, owner));
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

// The stream connection: an owner that stops it from inside its own sink,
// one stopped while blocked in a read, and the wake threshold.
struct StreamOwner final : IStreamSink {
  CTcpStream tcp;
  std::atomic<int> chunks{0};
  std::atomic<int> disconnects{0};
  bool closeFromNotification = false;
  std::atomic<uint64_t> wanted{0};  // Received's answer
  uint8_t area[4096];
  std::vector<uint8_t> first;  // the first read, as found in the area

  SReceiveArea ReceiveArea() override { return {area, sizeof area}; }
  uint64_t Received(uint32_t length) override {
    if (chunks == 0) first.assign(area, area + length);
    ++chunks;
    if (closeFromNotification) tcp.Close();
    return wanted.load();
  }
  void Closed() override { ++disconnects; }
};

TEST_F(EventThreadTest, StopWakesAThreadBlockedInARead) {
  test::LoopbackPeer peer;
  auto owner = std::make_shared<StreamOwner>();
  ASSERT_TRUE(owner->tcp.Connect("127.0.0.1", peer.Port(), *owner, owner));
  ASSERT_TRUE(peer.Accept());
  peer.Write({1, 2, 3});
  for (int i = 0; i < 200 && owner->chunks == 0; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(owner->chunks, 1);
  EXPECT_EQ(owner->first, (std::vector<uint8_t>{1, 2, 3}));  // read into the sink's area
  auto t0 = Clock::now();
  owner->tcp.Close();
  EXPECT_LT(Clock::now() - t0, 200ms);
  EXPECT_EQ(owner->disconnects, 0);  // the sink is detached first
  EXPECT_EQ(owner->tcp.Socket(), -1);
}

TEST_F(EventThreadTest, NotificationThatClosesItsOwnConnection) {
  test::LoopbackPeer peer;
  auto owner = std::make_shared<StreamOwner>();
  owner->closeFromNotification = true;
  std::weak_ptr<StreamOwner> watch = owner;
  ASSERT_TRUE(owner->tcp.Connect("127.0.0.1", peer.Port(), *owner, owner));
  ASSERT_TRUE(peer.Accept());
  owner.reset();  // only the receive thread holds it now
  peer.Write({1});
  for (int i = 0; i < 400 && !watch.expired(); ++i) std::this_thread::sleep_for(5ms);
  EXPECT_TRUE(watch.expired());  // the thread ended by itself and let go
}

TEST_F(EventThreadTest, PeerCloseReportsOneDisconnectAndEndsTheThread) {
  test::LoopbackPeer peer;
  auto owner = std::make_shared<StreamOwner>();
  ASSERT_TRUE(owner->tcp.Connect("127.0.0.1", peer.Port(), *owner, owner));
  ASSERT_TRUE(peer.Accept());
  peer.Close();
  for (int i = 0; i < 400 && owner->disconnects == 0; ++i) std::this_thread::sleep_for(5ms);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(owner->disconnects, 1);
  owner->tcp.Close();
}

// The sink's answer becomes the socket's wake threshold, at most half a read;
// 0 leaves it as it is.
TEST_F(EventThreadTest, WakeThresholdFollowsTheSink) {
  test::LoopbackPeer peer;
  auto owner = std::make_shared<StreamOwner>();
  ASSERT_TRUE(owner->tcp.Connect("127.0.0.1", peer.Port(), *owner, owner));
  ASSERT_TRUE(peer.Accept());
  auto threshold = [&] {
    int value = 0;
    socklen_t size = sizeof value;
    getsockopt(owner->tcp.Socket(), SOL_SOCKET, SO_RCVLOWAT, &value, &size);
    return value;
  };
  auto readOnce = [&](int expected) {
    peer.Write(std::vector<uint8_t>(size_t(expected), 7));
    for (int i = 0; i < 400 && owner->chunks < 1; ++i) std::this_thread::sleep_for(2ms);
    owner->chunks = 0;
  };
  owner->wanted = 40;
  readOnce(1);
  for (int i = 0; i < 200 && threshold() != 40; ++i) std::this_thread::sleep_for(2ms);
  EXPECT_EQ(threshold(), 40);
  owner->wanted = 0;
  readOnce(40);
  std::this_thread::sleep_for(10ms);
  EXPECT_EQ(threshold(), 40);
  owner->wanted = uint64_t(1) << 40;
  readOnce(40);
  for (int i = 0; i < 200 && threshold() == 40; ++i) std::this_thread::sleep_for(2ms);
  EXPECT_EQ(threshold(), int(CTcpStream::kMaxWakeThreshold));
  owner->tcp.Close();
}

}  // namespace
}  // namespace qnv
