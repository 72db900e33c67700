// The simulator's command side through a plain socket client: login, sessions, stored
// items, PTZ, rules, idle time-out, reboot, the request log and port selection.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "TestClient.h"
#include "devsim/Simulator.h"

namespace qnv::devsim {
namespace {

using test::Bytes;
using test::LoginClient;
using test::TestClient;
using test::U32At;
using test::U32s;

SimulatorOptions Quick() {
  SimulatorOptions o;
  o.idleTimeoutMs = 10000;
  return o;
}

TEST(DevsimLogin, AcceptsRightCredentialsAndCarriesTheSessionId) {
  Simulator sim(Quick());
  ASSERT_TRUE(sim.Start()) << sim.LastError();
  TestClient c;
  ASSERT_TRUE(c.Connect(sim.Port()));
  auto login = c.Transact(1, 1, 0, test::LoginPayload("admin", "admin"));
  ASSERT_TRUE(login);
  EXPECT_EQ(login->length, 24u);
  EXPECT_EQ(login->cls, 1);
  EXPECT_EQ(login->code, 1);
  EXPECT_EQ(login->result, 0u);
  EXPECT_NE(login->sessionId, 0u);
  EXPECT_EQ(Bytes(login->raw.begin() + 4, login->raw.begin() + 12),
            (Bytes{1, 0, 0, 0, 'Q', 'N', 'V', 'V'}));
  const uint32_t sid = login->sessionId;

  auto keepAlive = c.Transact(2, 1, sid);
  ASSERT_TRUE(keepAlive);
  EXPECT_EQ(keepAlive->result, 0u);
  EXPECT_EQ(keepAlive->sessionId, sid);
  EXPECT_EQ(keepAlive->cls, 2);
  EXPECT_EQ(keepAlive->code, 1);
  EXPECT_EQ(sim.SessionCount(), 1u);

  // A second session gets its own id.
  TestClient c2;
  uint32_t sid2 = 0;
  ASSERT_TRUE(LoginClient(c2, sim.Port(), sid2));
  EXPECT_NE(sid2, sid);
  EXPECT_EQ(sim.SessionCount(), 2u);
  c2.Close();
  c.Close();
  for (int i = 0; i < 200 && sim.SessionCount() != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(sim.SessionCount(), 0u);
}

TEST(DevsimLogin, RefusesWrongCredentialsAndRequestsBeforeLogin) {
  Simulator sim(Quick());
  ASSERT_TRUE(sim.Start());
  TestClient c;
  ASSERT_TRUE(c.Connect(sim.Port()));
  auto r = c.Transact(1, 1, 0, test::LoginPayload("admin", "wrong"));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->result, kResultBadLogin);
  EXPECT_EQ(r->cls, 1);
  r = c.Transact(1, 1, 0, test::LoginPayload("admi", "admin"));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->result, kResultBadLogin);
  r = c.Transact(2, 1, 0);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->result, kResultNotLoggedIn);
  EXPECT_EQ(sim.SessionCount(), 0u);
  // A login payload of the wrong size is refused too.
  r = c.Transact(1, 1, 0, Bytes(31, 0));
  ASSERT_TRUE(r);
  EXPECT_NE(r->result, 0u);
}

TEST(DevsimLogin, SixteenCharacterFieldsAndFixedSessionIds) {
  SimulatorOptions o = Quick();
  o.user = "abcdefghijklmnop";  // fills the field: no terminating zero
  o.password = "0123456789abcdef";
  o.fixedSessionId = true;
  o.sessionId = 0;
  Simulator sim(o);
  ASSERT_TRUE(sim.Start());
  TestClient c;
  uint32_t sid = 99;
  ASSERT_TRUE(LoginClient(c, sim.Port(), sid, o.user, o.password));
  EXPECT_EQ(sid, 0u);
  auto r = c.Transact(2, 1, 0);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->result, 0u);
  // Another session's id is refused.
  r = c.Transact(2, 1, 5);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->result, kResultBadSession);
}

TEST(DevsimCommands, ConfigurationGetSetAndDeviceInformation) {
  Simulator sim(Quick());
  sim.SetConfigItem(35, Bytes{9, 8, 7});
  ASSERT_TRUE(sim.Start());
  TestClient c;
  uint32_t sid = 0;
  ASSERT_TRUE(LoginClient(c, sim.Port(), sid));

  const Bytes block = {1, 2, 3, 4, 5};
  auto r = c.Transact(2, 34, sid, block);  // set of selector 31
  ASSERT_TRUE(r);
  EXPECT_EQ(r->result, 0u);
  EXPECT_TRUE(r->payload.empty());
  r = c.Transact(2, 33, sid);  // its get
  ASSERT_TRUE(r);
  EXPECT_EQ(r->result, 0u);
  EXPECT_EQ(r->payload, block);
  EXPECT_EQ(sim.ConfigItem(33), block);
  r = c.Transact(2, 35, sid);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->payload, (Bytes{9, 8, 7}));

  // Selector 71: set code 99 feeds get code 100.
  ASSERT_EQ(c.Transact(2, 99, sid, Bytes{42})->result, 0u);
  EXPECT_EQ(c.Transact(2, 100, sid)->payload, Bytes{42});

  // Device information block.
  r = c.Transact(2, 4, sid);
  ASSERT_TRUE(r);
  ASSERT_EQ(r->payload.size(), kDeviceInfoSize);
  EXPECT_STREQ(reinterpret_cast<const char*>(r->payload.data() + kDeviceInfoModelOffset),
               "QNV-SIM-100");
  EXPECT_STREQ(reinterpret_cast<const char*>(r->payload.data() + kDeviceInfoVersionOffset),
               "1.0.0");
  EXPECT_EQ(U32At(r->payload, kDeviceInfoCommandPortOffset), sim.Port());

  // Code 0 (an unmapped selector) and read-only items.
  EXPECT_EQ(c.Transact(2, 0, sid, Bytes{1})->result, kResultUnsupported);
  EXPECT_EQ(c.Transact(7, 0, sid)->result, kResultUnsupported);
  EXPECT_EQ(c.Transact(9, 1, sid)->result, kResultUnsupported);
  // An item too long to be read back in one reply is refused and leaves the old value.
  EXPECT_EQ(c.Transact(2, 34, sid, Bytes(4073, 1))->result, kResultBadPayload);
  EXPECT_EQ(c.Transact(2, 33, sid)->payload, block);
  // System commands are acknowledged.
  for (uint16_t code : {1, 3, 7, 8, 17, 18, 19, 21}) {
    auto ack = c.Transact(2, code, sid, Bytes{1, 2});
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->result, 0u) << code;
    EXPECT_EQ(ack->code, code);
  }
}

TEST(DevsimCommands, AlgorithmParametersRulesAndPtz) {
  Simulator sim(Quick());
  ASSERT_TRUE(sim.Start());
  TestClient c;
  uint32_t sid = 0;
  ASSERT_TRUE(LoginClient(c, sim.Port(), sid));

  ASSERT_EQ(c.Transact(7, 52, sid, Bytes{5, 5})->result, 0u);
  EXPECT_EQ(c.Transact(7, 51, sid)->payload, (Bytes{5, 5}));
  EXPECT_EQ(c.Transact(7, 54, sid, Bytes{1})->result, 0u);  // write-only item
  auto def = c.Transact(7, 1, sid);
  ASSERT_EQ(def->payload.size(), 64u);
  EXPECT_EQ(U32At(def->payload, 0), 1u);

  EXPECT_EQ(U32At(c.Transact(4, 5, sid)->payload, 0), 0u);
  ASSERT_EQ(c.Transact(4, 3, sid)->result, 0u);
  EXPECT_EQ(U32At(c.Transact(4, 5, sid)->payload, 0), 1u);
  ASSERT_EQ(c.Transact(4, 4, sid)->result, 0u);
  EXPECT_EQ(U32At(c.Transact(4, 5, sid)->payload, 0), 0u);
  ASSERT_EQ(c.Transact(4, 2, sid, Bytes{3, 1, 4})->result, 0u);
  EXPECT_EQ(c.Transact(4, 1, sid)->payload, (Bytes{3, 1, 4}));

  // Pan right 10, tilt up 5, zoom in 2; then store preset 3, move, go back.
  ASSERT_EQ(c.Transact(5, 1, sid, U32s({4, 10, 0, 0}))->result, 0u);
  ASSERT_EQ(c.Transact(5, 1, sid, U32s({1, 5, 0, 0}))->result, 0u);
  ASSERT_EQ(c.Transact(5, 1, sid, U32s({5, 2, 0, 0}))->result, 0u);
  EXPECT_EQ(c.Transact(5, 17, sid)->payload, U32s({10, 5, 12}));
  ASSERT_EQ(c.Transact(5, 2, sid, U32s({1, 3}))->result, 0u);
  ASSERT_EQ(c.Transact(5, 1, sid, U32s({3, 20, 0, 0}))->result, 0u);  // pan left wraps
  EXPECT_EQ(c.Transact(5, 17, sid)->payload, U32s({kPanRange - 10, 5, 12}));
  ASSERT_EQ(c.Transact(5, 2, sid, U32s({2, 3}))->result, 0u);
  EXPECT_EQ(c.Transact(5, 17, sid)->payload, U32s({10, 5, 12}));
  EXPECT_EQ(c.Transact(5, 18, sid)->payload, U32s({1, 3, 10, 5, 12}));
  EXPECT_EQ(c.Transact(5, 19, sid)->payload.size(), 24u);
  EXPECT_EQ(c.Transact(5, 2, sid, U32s({2, 4}))->result, kResultBadPreset);
  EXPECT_EQ(c.Transact(5, 1, sid, U32s({1, 2}))->result, kResultBadPayload);
  EXPECT_EQ(c.Transact(5, 0, sid)->result, kResultUnsupported);
}

TEST(DevsimSessions, IdleSessionsAreDroppedAndKeepAlivesKeepThem) {
  SimulatorOptions o;
  o.idleTimeoutMs = 400;
  Simulator sim(o);
  ASSERT_TRUE(sim.Start());
  TestClient idle, busy;
  uint32_t s1 = 0, s2 = 0;
  ASSERT_TRUE(LoginClient(idle, sim.Port(), s1));
  ASSERT_TRUE(LoginClient(busy, sim.Port(), s2));
  const auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(900)) {
    ASSERT_TRUE(busy.Transact(2, 1, s2)) << "keep-alive went unanswered";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(idle.WaitClosed(1000));
  for (int i = 0; i < 200 && sim.SessionCount() != 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(sim.SessionCount(), 1u);
  EXPECT_TRUE(busy.Transact(2, 1, s2));
}

TEST(DevsimSessions, RebootCommandDropsEveryConnection) {
  Simulator sim(Quick());
  ASSERT_TRUE(sim.Start());
  TestClient a, b;
  uint32_t sa = 0, sb = 0;
  ASSERT_TRUE(LoginClient(a, sim.Port(), sa));
  ASSERT_TRUE(LoginClient(b, sim.Port(), sb));
  auto r = a.Transact(2, kRebootCode, sa);
  ASSERT_TRUE(r);  // acknowledged first
  EXPECT_EQ(r->result, 0u);
  EXPECT_TRUE(a.WaitClosed());
  EXPECT_TRUE(b.WaitClosed());
  for (int i = 0; i < 200 && sim.SessionCount() != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(sim.SessionCount(), 0u);
  // The device is back at once.
  TestClient again;
  uint32_t s = 0;
  EXPECT_TRUE(LoginClient(again, sim.Port(), s));
}

TEST(DevsimSessions, LogsEveryRequestAndClosesOnABrokenPrefix) {
  Simulator sim(Quick());
  ASSERT_TRUE(sim.Start());
  TestClient c;
  uint32_t sid = 0;
  ASSERT_TRUE(LoginClient(c, sim.Port(), sid));
  const Bytes sent = test::BuildRequest(test::kTransactionWord, 2, 34, sid, Bytes{7, 7});
  ASSERT_TRUE(c.Send(sent));
  ASSERT_TRUE(c.ReadReply());
  ASSERT_TRUE(sim.WaitForRequests(2, 2000));
  auto log = sim.Requests();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_FALSE(log[0].stream);
  EXPECT_EQ(log[0].cls, 1);
  EXPECT_EQ(log[0].payload, test::LoginPayload("admin", "admin"));
  EXPECT_EQ(log[1].raw, sent);
  EXPECT_EQ(log[1].headerWord, 1u);
  EXPECT_EQ(log[1].sessionId, sid);
  EXPECT_EQ(log[1].payload, (Bytes{7, 7}));
  EXPECT_EQ(log[0].connection, log[1].connection);
  EXPECT_FALSE(sim.WaitForRequests(3, 50));
  sim.ClearRequests();
  EXPECT_TRUE(sim.Requests().empty());

  Bytes broken = test::BuildRequest(test::kTransactionWord, 2, 1, sid);
  broken[3] ^= 1;
  ASSERT_TRUE(c.Send(broken));
  EXPECT_TRUE(c.WaitClosed());
  EXPECT_TRUE(sim.Requests().empty());
}

TEST(DevsimPorts, EphemeralPairAndBusyPort) {
  Simulator a;
  ASSERT_TRUE(a.Start()) << a.LastError();
  TestClient cmd, stream;
  EXPECT_TRUE(cmd.Connect(a.Port()));
  EXPECT_TRUE(stream.Connect(static_cast<uint16_t>(a.Port() + 2)));
  SimulatorOptions o;
  o.port = a.Port();
  Simulator b(o);
  EXPECT_FALSE(b.Start());
  EXPECT_NE(b.LastError().find("cannot listen"), std::string::npos) << b.LastError();
  SimulatorOptions bad;
  bad.clipPath = "/nonexistent/clip.h264";
  Simulator c(bad);
  EXPECT_FALSE(c.Start());
  EXPECT_FALSE(c.LastError().empty());
}

}  // namespace
}  // namespace qnv::devsim
