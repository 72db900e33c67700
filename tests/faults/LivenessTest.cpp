// Liveness: a device that freezes (its process stopped, or frozen by the
// simulator), many that freeze at once, a stream that stalls, a paused
// channel, a connection that goes half-open, and the rules by which
// keep-alives are judged. The bounds are wide enough for the sanitizer
// builds; the tight figures are the benchmark's (qnv-bench-liveness).
#include <arpa/inet.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>

#include "FaultFixture.h"
#include "device/CClient.h"
#include "platform/Clock.h"
#include "protocol/CommandMessage.h"
#include "qnvctl/ChildProcess.h"
#include "qnvnet.h"
#include "sdk/CKeepAliveRunner.h"
#include "support/LoopbackPeer.h"

namespace qnv {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;
using test::CHostLog;
using test::SDisconnect;
using test::WaitUntil;

constexpr int kFreezeBoundMs = 25000;  // a margin over the 20 s design bound

// The next whole request a scripted device reads (empty when the connection
// ends or nothing comes within timeoutMs).
std::vector<uint8_t> ReadRequest(test::LoopbackPeer& peer, int timeoutMs = 3000) {
  std::vector<uint8_t> head = peer.Read(20, timeoutMs);
  if (head.size() < 20) return {};
  const size_t length = size_t(head[0]) << 16 | size_t(head[1]) << 8 | head[2];
  if (length > 20) {
    const std::vector<uint8_t> rest = peer.Read(length - 20, timeoutMs);
    head.insert(head.end(), rest.begin(), rest.end());
  }
  return head;
}

class Liveness : public test::FaultTest {
 protected:
  uint32_t KeepAlivePeriodMs() override { return CLibrary::kKeepAlivePeriodMs; }

  static double MsSince(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
  }
};

// A simulated device whose whole network thread stops, with 100 sessions on
// it: all of them are reported within the bound, once each, as unanswered
// keep-alives, and are gone; a channel of one of them closes with its session
// without a report of its own.
TEST_F(Liveness, HundredSessionsOfAFrozenDeviceAreAllReported) {
  std::vector<uint32_t> ids;
  for (int i = 0; i < 100; ++i) ids.push_back(Login());
  const uint32_t handle = Open(ids[0]);
  ASSERT_TRUE(FramesFlow());
  sim->Freeze(devsim::FreezeScope::kDevice);
  const auto frozen = Clock::now();
  EXPECT_TRUE(WaitUntil([&] { return DisconnectsOn(Port()).size() >= 100; }, kFreezeBoundMs))
      << DisconnectsOn(Port()).size() << " of 100 reported";
  const auto reports = DisconnectsOn(Port());
  ASSERT_EQ(reports.size(), 100u);
  std::vector<uint32_t> reported;
  double latest = 0, earliest = 1e9;
  for (const SDisconnect& d : reports) {
    reported.push_back(d.clientId);
    EXPECT_EQ(d.loss.reason, QNVNET_LOSS_NO_KEEPALIVE_ANSWER);
    EXPECT_EQ(d.loss.clientId, d.clientId);
    EXPECT_EQ(d.loss.handle, 0u);
    latest = std::max(latest, MsSince(frozen, d.at));
    earliest = std::min(earliest, MsSince(frozen, d.at));
  }
  std::sort(reported.begin(), reported.end());
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(reported, ids);
  // Three keep-alives must go unanswered first, 5 s apart.
  EXPECT_GE(earliest, 9500.0);
  std::printf("[ figures  ] 100 frozen sessions reported %.1f to %.1f s after the freeze\n",
              earliest / 1000, latest / 1000);
  EXPECT_EQ(CLibrary::Instance().SessionCount(), 0u);
  EXPECT_EQ(QNVNet_PTZCtrlSend(ids[0], 1, 1, 1, 1), QNVNET_ERR_NO_SESSION);
  EXPECT_EQ(QNVNet_LiveClose(handle), QNVNET_ERR_NO_SESSION);
  EXPECT_TRUE(DisconnectsOn(uint16_t(Port() + 2)).empty());
  sim->Thaw();
}

// The real thing: qnv-devsim processes, one stopped with SIGSTOP, one frozen
// by its own --freeze-after. Both are reported within the bound.
TEST_F(Liveness, StoppedAndSelfFrozenDeviceProcessesAreReported) {
  struct SDevice {
    qnvtest::ChildProcess process;
    uint16_t port = 0;
    uint32_t id = 0;
  };
  SDevice stopped, selfFrozen;
  auto start = [](SDevice& d, std::vector<std::string> extra) {
    std::vector<std::string> argv = {QNV_DEVSIM_PATH, "--port",  "0",         "--synthetic",
                                     "--size",        "320x240", "--bitrate", "300000"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    ASSERT_TRUE(d.process.Start(argv));
    ASSERT_TRUE(d.process.WaitForStdout("streams on", 10000)) << d.process.Stderr();
    const std::string& out = d.process.Stdout();
    d.port = uint16_t(std::atoi(out.c_str() + out.find("127.0.0.1:") + 10));
    ASSERT_EQ(QNVNet_DevLogin(&d.id, "127.0.0.1", d.port, "admin", "admin"), 0u);
  };
  start(stopped, {});
  start(selfFrozen, {"--freeze-after", "1"});
  ASSERT_FALSE(HasFatalFailure());
  stopped.process.Signal(SIGSTOP);
  const auto frozen = Clock::now();
  ASSERT_TRUE(selfFrozen.process.WaitForStdout("frozen (device)", 5000));
  auto reported = [&](const SDevice& d) { return !DisconnectsOn(d.port).empty(); };
  EXPECT_TRUE(
      WaitUntil([&] { return reported(stopped) && reported(selfFrozen); }, kFreezeBoundMs + 1000));
  for (const SDevice* d : {&stopped, &selfFrozen}) {
    const auto reports = DisconnectsOn(d->port);
    ASSERT_EQ(reports.size(), 1u) << d->port;
    EXPECT_EQ(reports[0].clientId, d->id);
    EXPECT_EQ(reports[0].loss.reason, QNVNET_LOSS_NO_KEEPALIVE_ANSWER);
    EXPECT_LT(MsSince(frozen, reports[0].at), double(kFreezeBoundMs + 1000));
    EXPECT_EQ(QNVNet_PTZCtrlSend(d->id, 1, 1, 1, 1), QNVNET_ERR_NO_SESSION);
  }
  stopped.process.Signal(SIGCONT);
  for (SDevice* d : {&stopped, &selfFrozen}) {
    d->process.Signal(SIGTERM);
    EXPECT_EQ(d->process.Finish(10000).exitCode, 0);
  }
}

// A device that answers keep-alives but whose stream stops: the stall
// time-out reports the channel once, on port + 2, not before its time and
// soon after; the session and the channel stay, the channel silent.
TEST_F(Liveness, StalledStreamIsReportedOnceAndTheChannelStaysSilent) {
  const uint32_t id = Login();
  const uint32_t handle = Open(id);
  ASSERT_EQ(QNVNet_LiveSetStallTimeout(handle, 1000), 0u);
  ASSERT_TRUE(FramesFlow());
  QNVNetLoss loss{};
  ASSERT_EQ(QNVNet_LiveGetLossReason(handle, &loss), 0u);
  EXPECT_EQ(loss.reason, QNVNET_LOSS_NONE);
  sim->Freeze(devsim::FreezeScope::kStream);
  const uint16_t streamPort = uint16_t(Port() + 2);
  ASSERT_TRUE(WaitUntil([&] { return !DisconnectsOn(streamPort).empty(); }, 10000));
  const SDisconnect d = DisconnectsOn(streamPort)[0];
  EXPECT_EQ(d.clientId, id);
  EXPECT_EQ(d.loss.reason, QNVNET_LOSS_STREAM_STALLED);
  EXPECT_EQ(d.loss.handle, handle);
  EXPECT_EQ(d.loss.detail, 1000);
  const double after = MsSince(CHostLog::Get().LastFrame(), d.at);
  EXPECT_GE(after, 1000.0);
  EXPECT_LT(after, 2500.0);
  std::printf("[ figures  ] stall reported %.0f ms after the last frame (time-out 1000 ms)\n",
              after);
  ASSERT_EQ(QNVNet_LiveGetLossReason(handle, &loss), 0u);
  EXPECT_EQ(loss.reason, QNVNET_LOSS_STREAM_STALLED);
  EXPECT_EQ(loss.handle, handle);
  // The stream stays shut when the device sends again; the session works.
  sim->Thaw();
  const uint64_t frames = CHostLog::Get().Frames();
  std::this_thread::sleep_for(milliseconds(500));
  EXPECT_EQ(CHostLog::Get().Frames(), frames);
  EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), 0u);
  EXPECT_EQ(DisconnectsOn(streamPort).size(), 1u);
  EXPECT_TRUE(DisconnectsOn(Port()).empty());
  EXPECT_EQ(QNVNet_LiveClose(handle), 0u);
  EXPECT_EQ(QNVNet_LiveGetLossReason(handle, &loss), QNVNET_ERR_NO_SESSION);
}

// A paused channel is never reported, however long; play restarts the time,
// and a stall after that is reported.
TEST_F(Liveness, PausedChannelIsNeverReported) {
  const uint32_t id = Login();
  const uint32_t handle = Open(id);
  ASSERT_EQ(QNVNet_LiveSetStallTimeout(handle, 300), 0u);
  ASSERT_TRUE(FramesFlow());
  ASSERT_EQ(QNVNet_LivePause(handle), 0u);
  std::this_thread::sleep_for(milliseconds(1500));
  EXPECT_TRUE(CHostLog::Get().Disconnects().empty());
  ASSERT_EQ(QNVNet_LivePlay(handle), 0u);
  ASSERT_TRUE(FramesFlow());
  std::this_thread::sleep_for(milliseconds(500));
  EXPECT_TRUE(CHostLog::Get().Disconnects().empty());
  sim->Freeze(devsim::FreezeScope::kStream);
  EXPECT_TRUE(WaitUntil([&] { return !DisconnectsOn(uint16_t(Port() + 2)).empty(); }, 5000));
  sim->Thaw();
}

TEST_F(Liveness, StallTimeoutTakesOnlyItsRange) {
  const uint32_t handle = Open(Login());
  EXPECT_EQ(QNVNet_LiveSetStallTimeout(handle + 1, 1000), QNVNET_ERR_NO_SESSION);
  EXPECT_EQ(QNVNet_LiveSetStallTimeout(handle, 99), QNVNET_ERR_BAD_ARGUMENT);
  EXPECT_EQ(QNVNet_LiveSetStallTimeout(handle, 3600001), QNVNET_ERR_BAD_ARGUMENT);
  EXPECT_EQ(QNVNet_LiveSetStallTimeout(handle, 100), 0u);
  EXPECT_EQ(QNVNet_LiveSetStallTimeout(handle, 0), 0u);  // off again
  sim->Freeze(devsim::FreezeScope::kStream);
  std::this_thread::sleep_for(milliseconds(600));
  EXPECT_TRUE(CHostLog::Get().Disconnects().empty());
  sim->Thaw();
  QNVNetLoss loss{};
  EXPECT_EQ(QNVNet_LiveGetLossReason(handle, nullptr), QNVNET_ERR_ARGUMENT);
  EXPECT_EQ(QNVNet_GetDisconnectReason(nullptr), QNVNET_ERR_ARGUMENT);
  // Outside a disconnect callback there is nothing to tell.
  loss.reason = 77;
  EXPECT_EQ(QNVNet_GetDisconnectReason(&loss), 0u);
  EXPECT_EQ(loss.reason, QNVNET_LOSS_NONE);
  EXPECT_STREQ(QnvLossText(QNVNET_LOSS_STREAM_STALLED), "stream stalled");
}

// S29a: a login-class reply is never taken for a late one. A call answered
// with class 1 succeeds and adopts the id it carries; so does such a reply
// arriving while the session is idle.
TEST_F(Liveness, LoginClassReplyAnswersTheCallAndRenewsTheSessionId) {
  test::LoopbackPeer peer;
  std::vector<std::vector<uint8_t>> requests;
  std::atomic<bool> idleRenewalSent{false};
  std::thread device([&] {
    if (!peer.Accept()) return;
    peer.Read(52);
    peer.Write(test::MakeReply(1, 1, 0, 9));
    for (int i = 0; i < 3; ++i) {
      auto head = ReadRequest(peer);
      if (head.empty()) return;
      requests.push_back(head);
      if (i == 0) {
        peer.Write(test::MakeReply(1, 1, 0, 0x77));  // a class-1 answer to a PTZ call
      } else if (i == 1) {
        peer.Write(test::MakeReply(5, 1, 0, 0x77));
        std::this_thread::sleep_for(milliseconds(100));
        peer.Write(test::MakeReply(1, 1, 0, 0x88));  // unasked, while idle
        idleRenewalSent = true;
      } else {
        peer.Write(test::MakeReply(5, 1, 0, 0x88));
      }
    }
  });
  uint32_t id = 0;
  ASSERT_EQ(QNVNet_DevLogin(&id, "127.0.0.1", peer.Port(), "u", "p"), 0u);
  EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), 0u);
  EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), 0u);
  ASSERT_TRUE(WaitUntil([&] { return idleRenewalSent.load(); }));
  std::this_thread::sleep_for(milliseconds(200));  // the watcher reads it
  EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), 0u);
  device.join();
  ASSERT_EQ(requests.size(), 3u);
  auto sessionOf = [](const std::vector<uint8_t>& r) {
    return uint32_t(r[16]) | uint32_t(r[17]) << 8 | uint32_t(r[18]) << 16 | uint32_t(r[19]) << 24;
  };
  EXPECT_EQ(sessionOf(requests[0]), 9u);
  EXPECT_EQ(sessionOf(requests[1]), 0x77u);
  EXPECT_EQ(sessionOf(requests[2]), 0x88u);
  EXPECT_TRUE(CHostLog::Get().Disconnects().empty());
  QNVNet_DevLogout(id);
}

// How keep-alives are judged, against a scripted device with short times: a
// reply of any result answers; so does any message; a call that holds the
// session skips the ticks meanwhile; silence ends the session after 3
// rounds, and a call that times out is one of them.
class KeepAliveRules : public test::FaultTest {
 protected:
  static double MsSince(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
  }
  uint32_t KeepAlivePeriodMs() override { return 100; }
  void SetUp() override {
    CKeepAliveRunner::SetAnswerMsForTesting(300);
    test::FaultTest::SetUp();
  }
  void TearDown() override {
    test::FaultTest::TearDown();
    CKeepAliveRunner::SetAnswerMsForTesting(CKeepAliveRunner::kAnswerMs);
  }
  static std::vector<uint8_t> DeviceMessage() {
    std::vector<uint8_t> m(48, 0);
    std::memcpy(m.data(), "VvEeMmSs", 8);
    m[8] = 48;
    return m;
  }
  // Reads requests for ms, answering each as answer() says (empty: no answer).
  template <typename Answer>
  static void Serve(test::LoopbackPeer& peer, int ms, Answer&& answer) {
    const auto end = Clock::now() + milliseconds(ms);
    while (Clock::now() < end) {
      if (peer.Pending(10) < 20) continue;
      auto head = ReadRequest(peer);
      if (head.empty()) return;
      auto reply = answer(head);
      if (!reply.empty()) peer.Write(reply);
    }
  }
};

TEST_F(KeepAliveRules, AnythingAnswersAndSilenceEndsTheSession) {
  test::LoopbackPeer peer;
  std::atomic<int> phase{0};
  std::thread device([&] {
    if (!peer.Accept()) return;
    peer.Read(52);
    peer.Write(test::MakeReply(1, 1, 0, 9));
    // Keep-alives answered with a refusal: an answer all the same.
    Serve(peer, 1500, [](auto& h) { return test::MakeReply(h[12], h[14], 5, 9); });
    phase = 1;
    // No reply, but a device message now and then.
    const auto end = Clock::now() + milliseconds(1500);
    while (Clock::now() < end) {
      if (peer.Pending(0) >= 20) ReadRequest(peer);
      peer.Write(DeviceMessage());
      std::this_thread::sleep_for(milliseconds(100));
    }
    phase = 2;
    Serve(peer, 5000, [](auto&) { return std::vector<uint8_t>{}; });
  });
  uint32_t id = 0;
  ASSERT_EQ(QNVNet_DevLogin(&id, "127.0.0.1", peer.Port(), "u", "p"), 0u);
  ASSERT_TRUE(WaitUntil([&] { return phase.load() == 2; }, 5000));
  const auto silent = Clock::now();
  EXPECT_TRUE(CHostLog::Get().Disconnects().empty());
  ASSERT_TRUE(WaitUntil([&] { return !DisconnectsOn(peer.Port()).empty(); }, 4000));
  const SDisconnect d = DisconnectsOn(peer.Port())[0];
  EXPECT_EQ(d.loss.reason, QNVNET_LOSS_NO_KEEPALIVE_ANSWER);
  // 3 rounds of 300 ms at least.
  EXPECT_GE(MsSince(silent, d.at), 800.0);
  EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), QNVNET_ERR_NO_SESSION);
  peer.Shutdown();
  device.join();
}

TEST_F(KeepAliveRules, TicksDuringACallCountForNothing) {
  test::LoopbackPeer peer;
  std::thread device([&] {
    if (!peer.Accept()) return;
    peer.Read(52);
    peer.Write(test::MakeReply(1, 1, 0, 9));
    // The PTZ call's answer takes 2 s, some 20 ticks; keep-alives are
    // answered at once.
    Serve(peer, 4000, [&](auto& h) {
      if (h[12] == 5) std::this_thread::sleep_for(milliseconds(2000));
      return test::MakeReply(h[12], h[14], 0, 9);
    });
  });
  uint32_t id = 0;
  ASSERT_EQ(QNVNet_DevLogin(&id, "127.0.0.1", peer.Port(), "u", "p"), 0u);
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), 0u);
  std::this_thread::sleep_for(milliseconds(500));
  EXPECT_TRUE(CHostLog::Get().Disconnects().empty());
  peer.Shutdown();
  device.join();
}

TEST_F(KeepAliveRules, ACallThatTimesOutIsASilentRound) {
  CLibrary::SetKeepAlivePeriodForTesting(3600 * 1000);  // ticks by hand below
  QNVNet_UnInitLib();
  ASSERT_EQ(QNVNet_InitLib(), 0u);
  test::LoopbackPeer peer;
  std::thread device([&] {
    if (!peer.Accept()) return;
    peer.Read(52);
    peer.Write(test::MakeReply(1, 1, 0, 9));
    Serve(peer, 12000, [](auto&) { return std::vector<uint8_t>{}; });
  });
  uint32_t id = 0;
  ASSERT_EQ(QNVNet_DevLogin(&id, "127.0.0.1", peer.Port(), "u", "p"), 0u);
  // Two keep-alives left unanswered, judged by the ticks after them.
  for (int tick = 0; tick < 3; ++tick) {
    CLibrary::Instance().KeepAlivePass();
    std::this_thread::sleep_for(milliseconds(400));
  }
  EXPECT_TRUE(CHostLog::Get().Disconnects().empty());
  // The third silent round: this call's time-out. The loss is reported on
  // the calling thread before the call returns.
  EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), QNVNET_ERR_NO_REPLY);
  const auto reports = DisconnectsOn(peer.Port());
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].loss.reason, QNVNET_LOSS_NO_KEEPALIVE_ANSWER);
  EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), QNVNET_ERR_NO_SESSION);
  peer.Shutdown();
  device.join();
}

TEST_F(KeepAliveRules, AKeepAliveSentAfterTheTicksClockReadStillHasItsTime) {
  // A tick reads its clock once for every session; a call's end may send an
  // owed keep-alive after that read. Judged with the older time, that
  // keep-alive must still have its time: no silent round, no second one.
  CLibrary::SetKeepAlivePeriodForTesting(3600 * 1000);  // ticks by hand below
  QNVNet_UnInitLib();
  ASSERT_EQ(QNVNet_InitLib(), 0u);
  test::LoopbackPeer peer;
  std::atomic<bool> ptzArrived{false};
  std::atomic<int> keepAlives{0};
  std::thread device([&] {
    if (!peer.Accept()) return;
    peer.Read(52);
    peer.Write(test::MakeReply(1, 1, 0, 9));
    // PTZ answered after 300 ms; keep-alives never.
    Serve(peer, 1500, [&](auto& h) {
      if (h[12] != 5) {
        ++keepAlives;
        return std::vector<uint8_t>{};
      }
      ptzArrived = true;
      std::this_thread::sleep_for(milliseconds(300));
      return test::MakeReply(h[12], h[14], 0, 9);
    });
  });
  uint32_t id = 0;
  ASSERT_EQ(QNVNet_DevLogin(&id, "127.0.0.1", peer.Port(), "u", "p"), 0u);
  const std::shared_ptr<CClient> client = CLibrary::Instance().FindClient(id);
  ASSERT_NE(client, nullptr);
  const uint64_t tickClock = platform::MonotonicMs();
  std::thread call([&] { EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), 0u); });
  ASSERT_TRUE(WaitUntil([&] { return ptzArrived.load(); }));
  EXPECT_EQ(client->KeepAliveTick(tickClock, 300, true), CClient::Tick::kBusy);
  call.join();  // its end sent the owed keep-alive, later than tickClock
  ASSERT_TRUE(WaitUntil([&] { return keepAlives.load() == 1; }));
  // The tick's second visit, with the clock it read before the call ended.
  EXPECT_EQ(client->KeepAliveTick(tickClock, 300, true), CClient::Tick::kDone);
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_EQ(keepAlives.load(), 1);
  peer.Shutdown();
  device.join();
  EXPECT_TRUE(CHostLog::Get().Disconnects().empty());
}

// A half-open connection: packets dropped without a reset. The test runs
// itself again in a network namespace of its own (as root, or in an
// unprivileged user namespace where the kernel allows one), where it takes
// the loopback interface down under established connections: from then on
// nothing arrives and nothing is refused. TCP keep-alive finds both kinds of
// connection within the documented 22 s: a command connection without
// keep-alives of its own (session id 0) and a stream that only receives. No
// disconnect callback is registered, so neither loss closes the other
// connection; the per-handle queries tell.
constexpr const char* kInNamespace = "QNV_TEST_IN_OWN_NETNS";
constexpr int kSkipStatus = 77;

bool SetLoopback(bool up, std::string& why) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq r{};
  std::snprintf(r.ifr_name, sizeof r.ifr_name, "lo");
  bool ok = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &r) == 0;
  if (ok) {
    r.ifr_flags = short(up ? (r.ifr_flags | IFF_UP) : (r.ifr_flags & ~IFF_UP));
    ok = ::ioctl(fd, SIOCSIFFLAGS, &r) == 0;
  }
  if (!ok) why = std::string("cannot set lo ") + (up ? "up" : "down") + ": " + strerror(errno);
  if (fd >= 0) ::close(fd);
  return ok;
}

bool EnterOwnNetworkNamespace(std::string& why) {
  if (::unshare(CLONE_NEWNET) == 0) return true;
  const int asRoot = errno;
  // Unprivileged: a user namespace first (possible only while this process
  // has a single thread, so not under the thread sanitizer).
  const uid_t uid = ::getuid();
  const gid_t gid = ::getgid();
  if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
    why = std::string("no network namespace of its own: ") + strerror(asRoot) + " (as root), " +
          strerror(errno) + " (in a user namespace)";
    return false;
  }
  std::ofstream("/proc/self/setgroups") << "deny";
  std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
  std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
  return true;
}

TEST(HalfOpen, SilentConnectionsAreFoundWithinTheTcpBound) {
  if (std::getenv(kInNamespace) == nullptr) {
    char self[PATH_MAX] = {};
    ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
    qnvtest::ChildProcess child;
    ASSERT_TRUE(
        child.Start({self, "--gtest_filter=HalfOpen.SilentConnectionsAreFoundWithinTheTcpBound"},
                    {{kInNamespace, "1"}}));
    const qnvtest::ChildResult r = child.Finish(120000);
    if (r.exitCode == kSkipStatus) GTEST_SKIP() << r.out;
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    return;
  }
  std::string why;
  if (!EnterOwnNetworkNamespace(why) || !SetLoopback(true, why)) {
    std::printf("skipped: %s\n", why.c_str());
    std::fflush(stdout);
    std::_Exit(kSkipStatus);
  }
  devsim::SimulatorOptions o;
  o.syntheticWidth = 320;
  o.syntheticHeight = 240;
  o.syntheticBitrate = 300000;
  o.fixedSessionId = true;
  o.sessionId = 0;  // no keep-alives: only TCP can find the silence
  devsim::Simulator sim(o);
  ASSERT_TRUE(sim.Start()) << sim.LastError();
  CHostLog::Get().Clear();
  QNVNet_SetCallback(nullptr, &CHostLog::OnFrame, nullptr, 0);
  ASSERT_EQ(QNVNet_InitLib(), 0u);
  uint32_t id = 0, handle = 0;
  ASSERT_EQ(QNVNet_DevLogin(&id, "127.0.0.1", sim.Port(), "admin", "admin"), 0u);
  ASSERT_EQ(QNVNet_LiveOpen(&handle, id, nullptr), 0u);
  ASSERT_TRUE(WaitUntil([] { return CHostLog::Get().Frames() > 10; }, 5000));
  ASSERT_TRUE(SetLoopback(false, why)) << why;
  const auto cut = Clock::now();
  QNVNetLoss session{}, stream{};
  double sessionS = 0, streamS = 0;
  WaitUntil(
      [&] {
        const double now = std::chrono::duration<double>(Clock::now() - cut).count();
        if (session.reason == QNVNET_LOSS_NONE && QNVNet_DevGetLossReason(id, &session) == 0)
          sessionS = now;
        if (stream.reason == QNVNET_LOSS_NONE && QNVNet_LiveGetLossReason(handle, &stream) == 0)
          streamS = now;
        return session.reason != QNVNET_LOSS_NONE && stream.reason != QNVNET_LOSS_NONE;
      },
      40000);
  EXPECT_EQ(session.reason, QNVNET_LOSS_BROKEN_CONNECTION);
  EXPECT_EQ(session.detail, ETIMEDOUT);
  EXPECT_EQ(stream.reason, QNVNET_LOSS_BROKEN_CONNECTION);
  EXPECT_EQ(stream.detail, ETIMEDOUT);
  EXPECT_EQ(stream.handle, handle);
  // Documented: at most 22 s after the last sign of the device.
  EXPECT_LT(sessionS, 30.0);
  EXPECT_LT(streamS, 30.0);
  std::printf("[ figures  ] half-open: command connection found after %.1f s, stream %.1f s\n",
              sessionS, streamS);
  EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), QNVNET_ERR_SEND);
  QNVNet_UnInitLib();
  QNVNet_SetCallback(nullptr, nullptr, nullptr, 0);
}

}  // namespace
}  // namespace qnv
