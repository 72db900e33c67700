// Device messages on the command connection reach the message callback: idle
// or mid-call, coalesced with a reply, split, in bursts, during login; a bad
// block length is one disconnect; the callback may call exports; without a
// callback messages are dropped and calls go on.
#include <map>
#include <random>
#include <thread>

#include "FaultFixture.h"
#include "device/CSessionWatcher.h"
#include "support/LoopbackPeer.h"

namespace qnv {
namespace {

using test::CHostLog;
using test::WaitUntil;

struct SMessage {
  uint32_t clientId;
  uint16_t port;
  std::vector<uint8_t> body;
};

// What the message callback saw. Any thread.
class CMessageLog {
 public:
  static CMessageLog& Get() {
    static CMessageLog log;
    return log;
  }
  static bool OnMessage(uint32_t clientId, char*, uint16_t port, uint16_t value, char* body,
                        int32_t length, uint32_t) {
    EXPECT_EQ(value, 0);
    std::lock_guard<std::mutex> lock(Get().m_mutex);
    Get().m_messages.push_back({clientId, port, {body, body + length}});
    if (Get().m_hook) Get().m_hook(clientId);
    return true;
  }
  std::vector<SMessage> Messages() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages;
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages.size();
  }
  void Reset(std::function<void(uint32_t)> hook = nullptr) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_messages.clear();
    m_hook = std::move(hook);
  }

 private:
  std::mutex m_mutex;
  std::vector<SMessage> m_messages;
  std::function<void(uint32_t)> m_hook;
};

// A device message block of length b whose first body word is seq.
std::vector<uint8_t> Block(uint32_t seq, uint32_t b = 64) {
  std::vector<uint8_t> m = {'V', 'v', 'E', 'e', 'M', 'm', 'S', 's'};
  for (int i = 0; i < 4; ++i) m.push_back(uint8_t(b >> (8 * i)));
  for (int i = 0; i < 4; ++i) m.push_back(uint8_t(seq >> (8 * i)));
  m.resize(std::max<size_t>(b, 16), 0xAB);
  return m;
}
uint32_t SeqOf(const SMessage& m) {
  return m.body.size() < 8 ? 0 : uint32_t(m.body[4]) | uint32_t(m.body[5]) << 8;
}

class DeviceMessages : public test::FaultTest {
 protected:
  void SetUp() override {
    CMessageLog::Get().Reset();
    test::FaultTest::SetUp();
    QNVNet_SetCallback(&CMessageLog::OnMessage, &CHostLog::OnFrame, &CHostLog::OnDisconnect,
                       test::kUserValue);
  }
  void TearDown() override {
    test::FaultTest::TearDown();
    CMessageLog::Get().Reset();
  }
  // A scripted device that accepts the login and then runs script.
  uint32_t ScriptedLogin(test::LoopbackPeer& peer, std::thread& device,
                         std::function<void(test::LoopbackPeer&)> script,
                         std::vector<uint8_t> beforeLoginReply = {}) {
    device = std::thread([&peer, script, beforeLoginReply] {
      if (!peer.Accept()) return;
      peer.Read(52);
      if (!beforeLoginReply.empty()) peer.Write(beforeLoginReply);
      peer.Write(test::MakeReply(1, 1, 0, 9));
      script(peer);
    });
    uint32_t id = 0;
    EXPECT_EQ(QNVNet_DevLogin(&id, "127.0.0.1", peer.Port(), "u", "p"), 0u);
    return id;
  }
  // Reads one request and returns its class and code.
  static std::pair<uint8_t, uint8_t> ReadRequest(test::LoopbackPeer& peer) {
    auto head = peer.Read(20);
    if (head.size() < 20) return {0, 0};
    peer.Read((size_t(head[1]) << 8 | head[2]) - 20);
    return {head[12], head[14]};
  }
};

TEST_F(DeviceMessages, IdleMidCallCoalescedSplitAndBurstAllArriveInOrder) {
  test::LoopbackPeer peer;
  std::thread device;
  uint32_t id = ScriptedLogin(peer, device, [](test::LoopbackPeer& p) {
    p.Write(Block(1));  // idle
    auto [c1, k1] = ReadRequest(p);
    auto both = Block(2);
    auto reply = test::MakeReply(c1, k1, 0, 9);
    both.insert(both.end(), reply.begin(), reply.end());
    p.Write(both);  // message and reply in one write
    auto [c2, k2] = ReadRequest(p);
    auto split = Block(3, 100);
    p.Write({split.begin(), split.begin() + 6});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    p.Write({split.begin() + 6, split.end()});
    for (uint32_t s = 4; s < 24; ++s) p.Write(Block(s, 48 + s));  // a burst
    p.Write(test::MakeReply(c2, k2, 0, 9));
    ReadRequest(p);  // until the host leaves
  });
  ASSERT_TRUE(WaitUntil([] { return CMessageLog::Get().Count() >= 1; }, 1000));
  EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), 0u);
  EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), 0u);
  ASSERT_TRUE(WaitUntil([] { return CMessageLog::Get().Count() >= 23; }, 2000));
  auto got = CMessageLog::Get().Messages();
  ASSERT_EQ(got.size(), 23u);
  for (uint32_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(SeqOf(got[i]), i + 1);
    EXPECT_EQ(got[i].clientId, id);
    EXPECT_EQ(got[i].port, peer.Port());
    const uint32_t b = i == 2 ? 100 : i >= 3 ? 48 + i + 1 : 64;
    ASSERT_EQ(got[i].body.size(), b - 8);
    EXPECT_EQ(got[i].body[0], uint8_t(b));  // the block length comes first
  }
  EXPECT_TRUE(CHostLog::Get().Disconnects().empty());
  QNVNet_DevLogout(id);
  device.join();
}

TEST_F(DeviceMessages, BadBlockLengthIsOneDisconnectIdleOrMidCall) {
  for (bool midCall : {false, true}) {
    SCOPED_TRACE(midCall ? "mid-call" : "idle");
    CHostLog::Get().Clear();
    test::LoopbackPeer peer;
    std::thread device;
    uint32_t id = ScriptedLogin(peer, device, [midCall](test::LoopbackPeer& p) {
      if (midCall) ReadRequest(p);
      auto bad = Block(1, 64);
      bad[8] = midCall ? 0x88 : 47;  // 5,000 or 47
      if (midCall) bad[9] = 0x13;
      p.Write(bad);
      p.Read(1, 3000);  // until the host closes
    });
    if (midCall) {
      EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), QNVNET_ERR_NO_REPLY);
    }
    ASSERT_TRUE(WaitUntil([&] { return !DisconnectsOn(peer.Port()).empty(); }, 2000));
    EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), QNVNET_ERR_NO_SESSION);
    ExpectOneDisconnect(id, peer.Port());
    EXPECT_EQ(CMessageLog::Get().Count(), 0u);
    device.join();
  }
}

TEST_F(DeviceMessages, MessagesDuringLoginArriveWithTheClientId) {
  test::LoopbackPeer peer;
  std::thread device;
  auto early = Block(1);
  auto second = Block(2);
  early.insert(early.end(), second.begin(), second.end());
  uint32_t id = ScriptedLogin(
      peer, device, [](test::LoopbackPeer& p) { p.Read(1, 3000); }, early);
  ASSERT_TRUE(WaitUntil([] { return CMessageLog::Get().Count() >= 2; }, 1000));
  auto got = CMessageLog::Get().Messages();
  EXPECT_EQ(SeqOf(got[0]), 1u);
  EXPECT_EQ(SeqOf(got[1]), 2u);
  EXPECT_EQ(got[0].clientId, id);
  QNVNet_DevLogout(id);
  device.join();
}

TEST_F(DeviceMessages, CallbackMayCallExportsOnItsOwnAndOtherSessions) {
  uint32_t a = Login(), b = Login();
  std::atomic<int> ok{0};
  CMessageLog::Get().Reset([&](uint32_t clientId) {
    uint8_t buf[128];
    int32_t length = sizeof buf;
    if (QNVNet_PTZCtrlSend(clientId, 1, 1, 1, 1) == 0 &&
        QNVNet_ManageGetSysConfig(clientId == a ? b : a, 13, buf, length) == 0)
      ++ok;
  });
  sim->SetAlarmBeforeReply(true);  // the callback's own calls bring more alarms
  EXPECT_EQ(sim->RaiseAlarm(7), 2u);
  ASSERT_TRUE(WaitUntil([&] { return ok.load() >= 6; }, 3000));
  CMessageLog::Get().Reset();
  sim->SetAlarmBeforeReply(false);
  EXPECT_TRUE(CHostLog::Get().Disconnects().empty());
}

TEST_F(DeviceMessages, LoginTimeAlarmsAndNoCallbackLeaveCallsAlone) {
  sim->SetAlarmBeforeReply(true);
  uint32_t id = Login();  // the login reply comes after an alarm
  ASSERT_TRUE(WaitUntil([] { return CMessageLog::Get().Count() >= 1; }, 1000));
  EXPECT_EQ(CMessageLog::Get().Messages()[0].clientId, id);
  QNVNet_SetCallback(nullptr, &CHostLog::OnFrame, &CHostLog::OnDisconnect, test::kUserValue);
  size_t before = CMessageLog::Get().Count();
  for (int i = 0; i < 20; ++i) EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), 0u);
  sim->RaiseAlarm(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(CMessageLog::Get().Count(), before);
  EXPECT_TRUE(CHostLog::Get().Disconnects().empty());
}

// 500 idle sessions over 5 devices; alarms raised on devices at random each
// reach every session of that device once.
TEST_F(DeviceMessages, FiveHundredIdleSessionsEachGetTheirOwnMessagesOnce) {
  std::vector<std::unique_ptr<devsim::Simulator>> devices;
  std::map<uint32_t, int> deviceOf;
  for (int d = 0; d < 5; ++d) {
    devices.push_back(std::make_unique<devsim::Simulator>(Options()));
    ASSERT_TRUE(devices.back()->Start());
    for (int i = 0; i < 100; ++i) {
      uint32_t id = 0;
      ASSERT_EQ(QNVNet_DevLogin(&id, "127.0.0.1", devices[d]->Port(), "admin", "admin"), 0u);
      deviceOf[id] = d;
    }
  }
  std::mt19937 rng(17);
  int raised[5] = {};
  for (int i = 0; i < 30; ++i) {
    int d = int(rng() % 5);
    EXPECT_EQ(devices[d]->RaiseAlarm(uint32_t(i)), 100u);
    ++raised[d];
  }
  size_t total = 0;
  for (int r : raised) total += size_t(r) * 100;
  ASSERT_TRUE(WaitUntil([&] { return CMessageLog::Get().Count() >= total; }, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::map<uint32_t, int> perClient;
  for (auto& m : CMessageLog::Get().Messages()) ++perClient[m.clientId];
  EXPECT_EQ(CMessageLog::Get().Count(), total);
  for (auto& [id, d] : deviceOf) EXPECT_EQ(perClient[id], raised[d]) << id;
  for (auto& [id, d] : deviceOf) QNVNet_DevLogout(id);
}

// A message callback that blocks until released; counts what it got.
struct SBlockingHost {
  static inline std::atomic<bool> release{false};
  static inline std::atomic<int> entered{0};
  static inline std::mutex mutex;
  static inline std::vector<uint32_t> seqs;
  static bool OnMessage(uint32_t, char*, uint16_t, uint16_t, char* body, int32_t length, uint32_t) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      seqs.push_back(SeqOf({0, 0, {body, body + length}}));
    }
    ++entered;
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
  }
  static size_t Count() {
    std::lock_guard<std::mutex> lock(mutex);
    return seqs.size();
  }
};

// A callback stuck in one message while the device floods 3,000 more of
// 4 KiB: the session keeps the newest 1,024, counts the rest as dropped, and
// a call on the session gets its reply at once meanwhile.
TEST_F(DeviceMessages, BlockedCallbackKeepsTheNewestAndCountsTheDropped) {
  constexpr uint32_t kFlood = 3000;
  SBlockingHost::release = false;
  SBlockingHost::entered = 0;
  SBlockingHost::seqs.clear();
  QNVNet_SetCallback(&SBlockingHost::OnMessage, &CHostLog::OnFrame, &CHostLog::OnDisconnect,
                     test::kUserValue);
  test::LoopbackPeer peer;
  std::thread device;
  uint32_t id = ScriptedLogin(peer, device, [](test::LoopbackPeer& p) {
    p.Write(Block(1, 4096));
    while (SBlockingHost::entered.load() == 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::vector<uint8_t> flood;
    for (uint32_t seq = 2; seq <= kFlood + 1; ++seq) {
      auto b = Block(seq, 4096);
      flood.insert(flood.end(), b.begin(), b.end());
    }
    p.Write(flood);
    auto [c, k] = ReadRequest(p);
    p.Write(test::MakeReply(c, k, 0, 9));
    p.Read(1);  // until the host closes
  });
  ASSERT_TRUE(WaitUntil([] { return SBlockingHost::entered.load() == 1; }, 2000));
  uint8_t buf[64];
  int32_t length = sizeof buf;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(QNVNet_ManageGetSysConfig(id, 13, buf, length), 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  uint64_t dropped = 0;
  // Everything is read by now (the reply came after the flood).
  ASSERT_EQ(QNVNet_DevGetMessageDrops(id, &dropped), 0u);
  EXPECT_EQ(dropped, kFlood - CSessionWatcher::kMaxQueuedMessages);
  EXPECT_EQ(QNVNet_DevGetMessageDrops(id, nullptr), QNVNET_ERR_ARGUMENT);
  EXPECT_EQ(QNVNet_DevGetMessageDrops(id + 1000, &dropped), QNVNET_ERR_NO_SESSION);
  SBlockingHost::release = true;
  ASSERT_TRUE(WaitUntil(
      [] { return SBlockingHost::Count() >= 1 + CSessionWatcher::kMaxQueuedMessages; }, 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::lock_guard<std::mutex> lock(SBlockingHost::mutex);
  ASSERT_EQ(SBlockingHost::seqs.size(), 1 + CSessionWatcher::kMaxQueuedMessages);
  EXPECT_EQ(SBlockingHost::seqs[0], 1u);
  for (size_t i = 1; i < SBlockingHost::seqs.size(); ++i)
    EXPECT_EQ(SBlockingHost::seqs[i], kFlood + 1 - CSessionWatcher::kMaxQueuedMessages + i) << i;
  QNVNet_DevLogout(id);
  device.join();
}

}  // namespace
}  // namespace qnv
