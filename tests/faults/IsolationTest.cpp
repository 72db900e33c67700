// Fleet isolation: a device that does not answer holds up only the calls on
// its own session. Calls, logins and keep-alives of other devices go on at
// once; one session's calls still never overlap on its connection; shutdown
// and logout end exchanges with silent devices at once.
#include <unistd.h>

#include <mutex>
#include <random>
#include <thread>

#include "FaultFixture.h"
#include "support/LoopbackPeer.h"

namespace qnv {
namespace {

using devsim::Fault;
using test::CHostLog;
using test::WaitUntil;
using Clock = std::chrono::steady_clock;

constexpr auto kQuick = std::chrono::milliseconds(500);

class Isolation : public test::FaultTest {
 protected:
  // Another device, silent for (cls, code).
  std::unique_ptr<devsim::Simulator> SilentDevice(uint16_t cls, uint16_t code, Fault f = {}) {
    auto d = std::make_unique<devsim::Simulator>(Options());
    EXPECT_TRUE(d->Start());
    d->SetFault(cls, code, f.kind == Fault::kNone ? Fault{Fault::kNoReply, 0, -1} : f);
    return d;
  }
  static uint32_t LoginTo(devsim::Simulator& d) {
    uint32_t id = 0;
    EXPECT_EQ(QNVNet_DevLogin(&id, "127.0.0.1", d.Port(), "admin", "admin"), 0u);
    return id;
  }
  template <typename Op>
  static Clock::duration Timed(Op&& op) {
    auto t0 = Clock::now();
    op();
    return Clock::now() - t0;
  }
};

TEST_F(Isolation, SilentDeviceHoldsUpNeitherOtherCallsNorLogins) {
  auto a = SilentDevice(5, 1);
  uint32_t idA = LoginTo(*a);
  uint32_t idB = Login();
  a->ClearRequests();
  std::thread waiting([&] { EXPECT_EQ(QNVNet_PTZCtrlSend(idA, 1, 1, 1, 1), QNVNET_ERR_NO_REPLY); });
  ASSERT_TRUE(a->WaitForRequests(1, 3000));
  for (int i = 0; i < 10; ++i)
    EXPECT_LT(Timed([&] { EXPECT_EQ(QNVNet_PTZCtrlSend(idB, 1, 1, 1, 1), 0u); }), kQuick);
  uint32_t idC = 0;
  EXPECT_LT(
      Timed([&] { EXPECT_EQ(QNVNet_DevLogin(&idC, "127.0.0.1", Port(), "admin", "admin"), 0u); }),
      kQuick);
  waiting.join();
  EXPECT_TRUE(CHostLog::Get().Disconnects().empty());
}

TEST_F(Isolation, PendingFirmwareStartHoldsUpNoOtherDevice) {
  auto a = SilentDevice(2, 6, {Fault::kDelay, 4000, 1});
  uint32_t idA = LoginTo(*a);
  uint32_t idB = Login();
  a->ClearRequests();
  std::atomic<bool> started{false}, done{false};
  std::thread install([&] {
    QNVNet_ManageSysUpdateStart(idA);  // the device answers "no image" after 4 s
    done = true;
  });
  ASSERT_TRUE(a->WaitForRequests(1, 3000));
  uint8_t buf[128];
  for (int i = 0; i < 100; ++i) {
    int32_t length = sizeof buf;
    EXPECT_LT(Timed([&] { EXPECT_EQ(QNVNet_ManageGetSysConfig(idB, 13, buf, length), 0u); }),
              kQuick);
  }
  EXPECT_FALSE(done.load()) << "the 100 calls waited for the firmware start";
  install.join();
}

class SilentKeepAlives : public Isolation {
 protected:
  uint32_t KeepAlivePeriodMs() override { return CLibrary::kKeepAlivePeriodMs; }
};

// Beside four silent devices, a healthy one answers at once and is pinged
// every period, and so is one whose host keeps it busy with calls that take
// a second each: the keep-alive goes out when a call ends.
TEST_F(SilentKeepAlives, HealthyAndBusyDevicesKeepTheirPeriodAndAnswerAtOnce) {
  std::vector<std::unique_ptr<devsim::Simulator>> silent;
  for (int i = 0; i < 4; ++i) {
    silent.push_back(SilentDevice(2, 1));
    LoginTo(*silent.back());
  }
  uint32_t id = Login();
  auto busy = SilentDevice(5, 1, {Fault::kDelay, 1000, -1});
  uint32_t busyId = LoginTo(*busy);
  sim->ClearRequests();
  busy->ClearRequests();
  auto end = Clock::now() + std::chrono::milliseconds(11500);
  std::thread caller([&] {
    while (Clock::now() < end) EXPECT_EQ(QNVNet_PTZCtrlSend(busyId, 1, 1, 1, 1), 0u);
  });
  struct SPings {
    devsim::Simulator* device;
    size_t seen = 0;
    std::vector<Clock::time_point> at;
  } pings[] = {{sim.get(), 0, {}}, {busy.get(), 0, {}}};
  Clock::duration slowest{};
  while (Clock::now() < end) {
    slowest = std::max(slowest, Timed([&] { EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), 0u); }));
    for (auto& p : pings) {
      size_t n = 0;
      for (auto& r : p.device->Requests()) n += r.cls == 2 && r.code == 1;
      for (; p.seen < n; ++p.seen) p.at.push_back(Clock::now());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
  }
  caller.join();
  EXPECT_LT(slowest, kQuick);
  for (auto& p : pings) {
    SCOPED_TRACE(p.device == sim.get() ? "healthy" : "busy");
    ASSERT_GE(p.at.size(), 2u);
    for (size_t i = 1; i < p.at.size(); ++i)
      EXPECT_LT(p.at[i] - p.at[i - 1], std::chrono::milliseconds(6500));
  }
}

// Shutdown while keep-alives wait on 16 silent devices returns at once.
TEST_F(Isolation, UnInitAndLogoutEndExchangesWithSilentDevicesAtOnce) {
  auto a = SilentDevice(2, 1);
  a->SetFault(5, 1, {Fault::kNoReply, 0, -1});
  std::vector<uint32_t> ids;
  for (int i = 0; i < 16; ++i) ids.push_back(LoginTo(*a));
  std::thread waiting([&] {
    auto took = Timed([&] { EXPECT_NE(QNVNet_PTZCtrlSend(ids[0], 1, 1, 1, 1), 0u); });
    EXPECT_LT(took, std::chrono::milliseconds(1500));
  });
  ASSERT_TRUE(a->WaitForRequests(17, 3000));
  EXPECT_EQ(QNVNet_DevLogout(ids[0]), 0u);
  waiting.join();
  std::thread pass([] { CLibrary::Instance().KeepAlivePass(); });
  EXPECT_TRUE(a->WaitForRequests(17 + 15, 3000));
  EXPECT_LT(Timed([] { EXPECT_EQ(QNVNet_UnInitLib(), 0u); }), std::chrono::seconds(2));
  pass.join();
  EXPECT_TRUE(CHostLog::Get().Disconnects().empty());
}

// A session whose command socket is descriptor 0 (a host that closed its
// standard input) is reported and logged out like any other.
TEST_F(Isolation, ClientIdZeroIsReportedAndLoggedOut) {
  int saved = ::dup(0);
  ::close(0);
  uint32_t id = 77;
  uint32_t rc = QNVNet_DevLogin(&id, "127.0.0.1", Port(), "admin", "admin");
  if (rc == 0 && id == 0) {
    sim->DropAllConnections();
    EXPECT_NE(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), 0u);
    ExpectOneDisconnect(0, Port());
    EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), QNVNET_ERR_NO_SESSION);
  }
  QNVNet_DevLogout(id);  // descriptor 0 is free again for standard input
  ::dup2(saved, 0);
  ::close(saved);
  ASSERT_EQ(rc, 0u);
  EXPECT_EQ(id, 0u);
}

// A scripted device that checks no second request arrives while one is
// unanswered, under calls from four threads on one session.
TEST_F(Isolation, CallsOnOneSessionNeverOverlap) {
  test::LoopbackPeer peer;
  std::atomic<int> overlaps{0}, answered{0};
  std::thread device([&] {
    if (!peer.Accept()) return;
    auto login = peer.Read(52);
    peer.Write(test::MakeReply(1, 1, 0, 9));
    for (;;) {
      auto head = peer.Read(20);
      if (head.size() < 20) return;
      size_t len = size_t(head[0]) << 16 | size_t(head[1]) << 8 | head[2];
      peer.Read(len - 20);
      if (peer.Pending(30) > 0) ++overlaps;
      ++answered;
      peer.Write(test::MakeReply(head[12], head[14], 0, 9));
    }
  });
  uint32_t id = 0;
  ASSERT_EQ(QNVNet_DevLogin(&id, "127.0.0.1", peer.Port(), "u", "p"), 0u);
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t)
    callers.emplace_back([&] {
      for (int i = 0; i < 5; ++i) EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), 0u);
    });
  for (auto& c : callers) c.join();
  EXPECT_EQ(answered.load(), 20);
  EXPECT_EQ(overlaps.load(), 0);
  QNVNet_DevLogout(id);
  peer.Shutdown();
  device.join();
}

// Logins, logouts, device drops, commands and channel churn from 8 threads
// on 4 sessions for 30 s; run under the thread sanitizer in CI.
TEST_F(Isolation, StressEightThreadsFourSessions) {
  // A client id is the command socket's number, so a fresh login may get the
  // id of a session just closed. A slot is replaced only while it still holds
  // the old id and no live session answers to it; replacements take turns, so
  // none can see another's fresh session as the dead one and leave it behind.
  std::mutex replacing;
  auto Replace = [this, &replacing](std::atomic<uint32_t>& slot, uint32_t old) {
    std::lock_guard<std::mutex> turn(replacing);
    if (slot.load() != old) return;
    if (QNVNet_PTZCtrlSend(old, 0, 0, 0, 0) != QNVNET_ERR_NO_SESSION) return;
    uint32_t fresh = 0;
    if (QNVNet_DevLogin(&fresh, "127.0.0.1", Port(), "admin", "admin") == 0) slot = fresh;
  };
  std::atomic<uint32_t> ids[4];
  for (auto& i : ids) i = Login();
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      std::mt19937 rng(t);
      while (!stop) {
        std::atomic<uint32_t>& slot = ids[rng() % 4];
        uint32_t id = slot.load();
        switch (rng() % 8) {
          case 0: {
            QNVNet_DevLogout(id);
            Replace(slot, id);
            break;
          }
          case 1:
            if (rng() % 20 == 0) sim->DropAllConnections();
            break;
          case 2: {
            uint32_t h = 0;
            if (QNVNet_LiveOpen(&h, id, nullptr) == 0) {
              std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 50));
              QNVNet_LivePause(h);
              QNVNet_LiveClose(h);
            }
            break;
          }
          default: {
            uint8_t buf[64];
            int32_t length = sizeof buf;
            QNVNet_ManageGetSysConfig(id, 13, buf, length);
            QNVNet_PTZCtrlSend(id, 1, 1, 1, 1);
          }
        }
        // A session lost to a drop: log in again in its place.
        id = slot.load();
        if (QNVNet_PTZCtrlSend(id, 0, 0, 0, 0) == QNVNET_ERR_NO_SESSION) Replace(slot, id);
      }
    });
  std::this_thread::sleep_for(std::chrono::seconds(30));
  stop = true;
  for (auto& t : threads) t.join();
  for (auto& i : ids) QNVNet_DevLogout(i.load());
  // A loss still being reported may hold a session for a moment.
  WaitUntil([] { return CLibrary::Instance().SessionCount() == 0; });
  EXPECT_EQ(CLibrary::Instance().SessionCount(), 0u) << "sessions left behind";
  ExpectUsable();
}

}  // namespace
}  // namespace qnv
