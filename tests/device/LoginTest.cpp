// Sessions end to end: the login payload on the wire, session ids, refused
// logins, keep-alives, lost connections and logout.
#include <gtest/gtest.h>

#include "sdk/CLibrary.h"
#include "support/SimulatorFixture.h"

namespace qnv {
namespace {

using test::Log;
using test::SimulatorTest;

std::vector<uint8_t> Field(const std::string& text) {
  std::vector<uint8_t> f(16, 0);
  std::copy_n(text.begin(), std::min<size_t>(text.size(), 16), f.begin());
  return f;
}

class LoginWire : public SimulatorTest {
 protected:
  devsim::SimulatorOptions Options() override {
    devsim::SimulatorOptions o;
    o.user = "admin";
    o.password = "pass";
    o.fixedSessionId = true;
    o.sessionId = 0x01020304;
    return o;
  }
};

TEST_F(LoginWire, PayloadIsTwoZeroPaddedFieldsAndTheIdIsCarried) {
  uint32_t id = Login("admin", "pass");
  ASSERT_NE(id, 0u);
  auto reqs = Commands();
  ASSERT_GE(reqs.size(), 1u);
  const auto& login = reqs[0];
  ASSERT_EQ(login.raw.size(), 52u);
  std::vector<uint8_t> head(login.raw.begin(), login.raw.begin() + 20);
  std::vector<uint8_t> expected = {0x00, 0x00, 0x34, 0x34, 1, 0, 0, 0, 'Q', 'N',
                                   'V',  'V',  1,    0,    1, 0, 0, 0, 0,   0};
  EXPECT_EQ(head, expected);
  std::vector<uint8_t> payload = Field("admin");
  auto pw = Field("pass");
  payload.insert(payload.end(), pw.begin(), pw.end());
  EXPECT_EQ(login.payload, payload);

  sim->ClearRequests();
  EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 2, 3, 4), 0u);
  reqs = Commands();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].sessionId, 0x01020304u);
  EXPECT_EQ(reqs[0].raw.size(), 36u);
  EXPECT_EQ(reqs[0].payload,
            (std::vector<uint8_t>{1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0}));
}

TEST_F(LoginWire, LongAndEmptyTextsAreCutOrZero) {
  uint32_t id = 7;
  // 20-character name: its first 16 bytes, no terminating zero; the device
  // refuses, so the caller's variable stays.
  EXPECT_EQ(
      QNVNet_DevLogin(&id, "127.0.0.1", sim->Port(), "ABCDEFGHIJKLMNOPQRST", "0123456789abcdef"),
      QNVNET_ERR_NO_SESSION);
  EXPECT_EQ(id, 7u);
  EXPECT_EQ(QNVNet_DevLogin(&id, "127.0.0.1", sim->Port(), "", ""), QNVNET_ERR_NO_SESSION);
  auto reqs = Commands();
  ASSERT_EQ(reqs.size(), 2u);
  std::vector<uint8_t> longPayload = Field("ABCDEFGHIJKLMNOP");
  auto pw = Field("0123456789abcdef");
  longPayload.insert(longPayload.end(), pw.begin(), pw.end());
  EXPECT_EQ(reqs[0].payload, longPayload);
  EXPECT_EQ(reqs[1].payload, std::vector<uint8_t>(32, 0));
  EXPECT_EQ(qnv::CLibrary::Instance().SessionCount(), 0u);
  EXPECT_TRUE(Log().Disconnects().empty());
}

TEST_F(SimulatorTest, TwoSessionsToOneDeviceHaveTheirOwnIds) {
  uint32_t a = Login(), b = Login();
  EXPECT_NE(a, 0u);
  EXPECT_NE(b, 0u);
  EXPECT_NE(a, b);
  EXPECT_EQ(QNVNet_DevLogout(a), 0u);
  EXPECT_EQ(QNVNet_PTZCtrlSend(a, 0, 0, 0, 0), QNVNET_ERR_NO_SESSION);
  EXPECT_EQ(QNVNet_PTZCtrlSend(b, 0, 0, 0, 0), 0u);
}

TEST_F(SimulatorTest, LoginThatLosesItsConnectionFiresNoCallback) {
  sim->SetFault(1, 1, {devsim::Fault::kClose, 0, -1});
  uint32_t id = 99;
  EXPECT_EQ(QNVNet_DevLogin(&id, "127.0.0.1", sim->Port(), "admin", "admin"),
            QNVNET_ERR_NO_SESSION);
  EXPECT_EQ(id, 99u);
  EXPECT_TRUE(Log().Disconnects().empty());
}

TEST_F(SimulatorTest, LostConnectionCallsBackOnceThenLogsOut) {
  uint32_t id = Login();
  sim->DropAllConnections();
  ASSERT_TRUE(WaitFor([&] { return sim->SessionCount() == 0; }));
  uint32_t rc = QNVNet_PTZCtrlSend(id, 1, 2, 3, 4);
  EXPECT_TRUE(rc == QNVNET_ERR_NO_REPLY || rc == QNVNET_ERR_SEND) << int32_t(rc);
  auto events = Log().Disconnects();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].clientId, id);
  EXPECT_EQ(events[0].ip, "127.0.0.1");
  EXPECT_EQ(events[0].port, sim->Port());
  EXPECT_EQ(events[0].user, 0x5EEDu);
  EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 2, 3, 4), QNVNET_ERR_NO_SESSION);
  EXPECT_EQ(qnv::CLibrary::Instance().SessionCount(), 0u);
  // The library stays usable.
  uint32_t again = Login();
  EXPECT_EQ(QNVNet_PTZCtrlPreset(again, 1, 1), 0u);
}

TEST_F(SimulatorTest, LostSessionWithoutCallbackKeepsItsIdReserved) {
  QNVNet_SetCallback(nullptr, nullptr, nullptr, 0);
  uint32_t id = Login();
  sim->DropAllConnections();
  ASSERT_TRUE(WaitFor([&] { return sim->SessionCount() == 0; }));
  QNVNet_PTZCtrlSend(id, 1, 2, 3, 4);
  EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 2, 3, 4), QNVNET_ERR_SEND);  // Lost, still registered
  uint32_t next = Login();
  EXPECT_NE(next, id);
  EXPECT_EQ(QNVNet_PTZCtrlSend(next, 1, 2, 3, 4), 0u);
  EXPECT_EQ(QNVNet_DevLogout(id), 0u);
  EXPECT_EQ(QNVNet_PTZCtrlSend(next, 1, 2, 3, 4), 0u);
}

uint32_t g_reentrantId = 0;
bool LogoutFromCallback(uint32_t clientId, char*, uint16_t, uint32_t) {
  g_reentrantId = clientId;
  // Exports from inside the callback: the session it names, then another.
  QNVNet_PTZCtrlSend(clientId, 0, 0, 0, 0);
  QNVNet_DevLogout(clientId);
  uint32_t v;
  QNVNet_GetSdkVersion(&v);
  return true;
}

TEST_F(SimulatorTest, DisconnectCallbackMayCallExports) {
  QNVNet_SetCallback(nullptr, nullptr, &LogoutFromCallback, 0);
  uint32_t id = Login();
  uint32_t other = Login();
  sim->DropAllConnections();
  ASSERT_TRUE(WaitFor([&] { return sim->SessionCount() == 0; }));
  QNVNet_RuleEnable(id, 1);
  EXPECT_EQ(g_reentrantId, id);
  EXPECT_EQ(QNVNet_RuleEnable(id, 1), QNVNET_ERR_NO_SESSION);
  QNVNet_RuleEnable(other, 1);
  EXPECT_EQ(QNVNet_RuleEnable(other, 1), QNVNET_ERR_NO_SESSION);
}

TEST_F(SimulatorTest, LogoutAndShutdownSendNothingAndCallNothing) {
  uint32_t a = Login();
  Login();
  sim->ClearRequests();
  EXPECT_EQ(QNVNet_DevLogout(a), 0u);
  EXPECT_EQ(QNVNet_UnInitLib(), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(Commands().empty());
  EXPECT_TRUE(Log().Disconnects().empty());
  EXPECT_TRUE(WaitFor([&] { return sim->SessionCount() == 0; }));
}

TEST_F(SimulatorTest, UnansweredCommandIsNoReplyNotDisconnection) {
  uint32_t id = Login();
  sim->SetFault(5, 2, {devsim::Fault::kNoReply, 0, 1});
  EXPECT_EQ(QNVNet_PTZCtrlPreset(id, 1, 2), QNVNET_ERR_NO_REPLY);
  EXPECT_TRUE(Log().Disconnects().empty());
  EXPECT_EQ(QNVNet_PTZCtrlPreset(id, 1, 2), 0u);
}

class KeepAlive : public SimulatorTest {
 protected:
  void SetUp() override {
    CLibrary::SetKeepAlivePeriodForTesting(200);
    SimulatorTest::SetUp();
  }
  void TearDown() override {
    SimulatorTest::TearDown();
    CLibrary::SetKeepAlivePeriodForTesting(CLibrary::kKeepAlivePeriodMs);
  }
  size_t KeepAlivesOf(uint64_t connection) {
    size_t n = 0;
    for (auto& r : Commands())
      if (r.cls == 2 && r.code == 1 && r.payload.empty() && r.connection == connection) ++n;
    return n;
  }
};

TEST_F(KeepAlive, EverySessionIsPingedEachPeriod) {
  Login();
  Login();
  auto logins = Commands();
  ASSERT_EQ(logins.size(), 2u);
  ASSERT_TRUE(WaitFor([&] {
    return KeepAlivesOf(logins[0].connection) >= 3 && KeepAlivesOf(logins[1].connection) >= 3;
  }));
  for (auto& r : Commands()) {
    if (r.cls == 2) {
      EXPECT_EQ(r.raw.size(), 20u);
    }
  }
}

TEST_F(KeepAlive, DefaultPeriodIsFiveSeconds) { EXPECT_EQ(CLibrary::kKeepAlivePeriodMs, 5000u); }

class KeepAliveSessionZero : public KeepAlive {
 protected:
  devsim::SimulatorOptions Options() override {
    devsim::SimulatorOptions o;
    o.fixedSessionId = true;
    o.sessionId = 0;
    return o;
  }
};

TEST_F(KeepAliveSessionZero, SessionIdZeroIsNeverPinged) {
  uint32_t id = Login();
  ASSERT_NE(id, 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  for (auto& r : Commands()) EXPECT_EQ(r.cls, 1);
}

}  // namespace
}  // namespace qnv

namespace qnv {
namespace {

class KeepAliveRace : public test::SimulatorTest {
 protected:
  void SetUp() override {
    CLibrary::SetKeepAlivePeriodForTesting(20);
    SimulatorTest::SetUp();
  }
  void TearDown() override {
    SimulatorTest::TearDown();
    CLibrary::SetKeepAlivePeriodForTesting(CLibrary::kKeepAlivePeriodMs);
  }
};

TEST_F(KeepAliveRace, PassesInterleaveWithLoginsLogoutsAndCommands) {
  // The keep-alive thread pings while this thread creates, uses and destroys
  // sessions: each keep-alive and each export own the connection in turn, so
  // every command still gets its own answer.
  std::vector<uint32_t> ids;
  for (int round = 0; round < 60; ++round) {
    ids.push_back(Login());
    for (uint32_t id : ids) ASSERT_EQ(QNVNet_PTZCtrlPreset(id, 1, 1), 0u);
    if (round % 3 == 2) {
      QNVNet_DevLogout(ids.front());
      ids.erase(ids.begin());
    }
  }
  size_t keepAlives = 0;
  for (auto& r : Commands()) keepAlives += r.cls == 2 && r.code == 1;
  EXPECT_GT(keepAlives, 0u);
  EXPECT_TRUE(test::Log().Disconnects().empty());
}

}  // namespace
}  // namespace qnv
