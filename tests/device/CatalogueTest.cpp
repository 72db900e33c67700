// The command catalogue on the wire: every selector of every table, the
// fixed commands and the get-length rules, against the simulator.
#include <gtest/gtest.h>

#include "support/SimulatorFixture.h"

namespace qnv {
namespace {

using test::SimulatorTest;

class Catalogue : public SimulatorTest {
 protected:
  void SetUp() override {
    SimulatorTest::SetUp();
    id = Login();
    sim->ClearRequests();
  }
  // The class and code of the one request the last export sent.
  std::pair<int, int> Sent() {
    auto reqs = Commands();
    EXPECT_EQ(reqs.size(), 1u);
    sim->ClearRequests();
    if (reqs.empty()) return {-1, -1};
    return {reqs.back().cls, reqs.back().code};
  }
  uint32_t id = 0;
};

struct Row {
  uint32_t selector;
  int get;
  int set;
};

TEST_F(Catalogue, ConfigurationSelectors) {
  const Row rows[] = {{13, 4, 0},   {24, 20, 0},   {31, 33, 34}, {32, 35, 36}, {33, 37, 38},
                      {34, 49, 50}, {35, 51, 52},  {36, 53, 54}, {37, 65, 66}, {38, 67, 68},
                      {39, 69, 70}, {40, 81, 82},  {41, 83, 84}, {42, 85, 86}, {43, 97, 98},
                      {44, 71, 72}, {71, 100, 99}, {10, 0, 0},   {99, 0, 0}};
  for (const Row& r : rows) {
    uint8_t buf[64];
    int32_t len = sizeof buf;
    QNVNet_ManageGetSysConfig(id, r.selector, buf, len);
    EXPECT_EQ(Sent(), std::make_pair(2, r.get)) << "get " << r.selector;
    uint8_t data[4] = {1, 2, 3, 4};
    QNVNet_ManageSetSysConfig(id, r.selector, data, 4);
    auto reqs = Commands();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].payload, std::vector<uint8_t>(data, data + 4));
    EXPECT_EQ(Sent(), std::make_pair(2, r.set)) << "set " << r.selector;
  }
}

TEST_F(Catalogue, SystemCommandSelectors) {
  const Row rows[] = {{10, 0, 1},  {11, 0, 2},  {12, 0, 3},  {14, 0, 7},  {15, 0, 8},
                      {21, 0, 17}, {22, 0, 18}, {23, 0, 19}, {70, 0, 21}, {13, 0, 0}};
  for (const Row& r : rows) {
    if (r.set == 2) continue;  // the simulator's reboot command; checked below
    uint8_t data[3] = {9, 8, 7};
    int32_t len = 3;
    QNVNet_ManageSendSysCmd(id, r.selector, data, len);
    EXPECT_EQ(len, 3);
    auto reqs = Commands();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].payload, std::vector<uint8_t>(data, data + 3));
    EXPECT_EQ(Sent(), std::make_pair(2, r.set)) << r.selector;
  }
}

TEST_F(Catalogue, AlgorithmSelectors) {
  const Row rows[] = {{50, 1, 2},   {51, 3, 4},   {52, 5, 6},   {53, 7, 8},   {54, 9, 10},
                      {55, 17, 18}, {56, 19, 20}, {57, 21, 22}, {58, 23, 24}, {59, 25, 26},
                      {60, 33, 34}, {61, 35, 36}, {62, 37, 38}, {63, 39, 40}, {64, 41, 42},
                      {65, 49, 50}, {66, 51, 52}, {67, 0, 0},   {68, 0, 54},  {69, 0, 55},
                      {70, 0, 0}};
  for (const Row& r : rows) {
    uint8_t buf[32];
    int32_t len = sizeof buf;
    QNVNet_AlgorGetParam(id, r.selector, buf, len);
    EXPECT_EQ(Sent(), std::make_pair(7, r.get)) << "get " << r.selector;
    uint8_t data[2] = {5, 6};
    QNVNet_AlgorSetParam(id, r.selector, data, 2);
    EXPECT_EQ(Sent(), std::make_pair(7, r.set)) << "set " << r.selector;
  }
}

TEST_F(Catalogue, PtzParameterTypes) {
  const Row rows[] = {{0, 17, 0}, {1, 18, 0}, {2, 19, 0}, {3, 0, 0}};
  for (const Row& r : rows) {
    uint8_t buf[32];
    int32_t len = sizeof buf;
    QNVNet_PTZGetParam(id, r.selector, buf, len);
    EXPECT_EQ(Sent(), std::make_pair(5, r.get)) << r.selector;
  }
}

TEST_F(Catalogue, FixedCommands) {
  QNVNet_PTZCtrlPreset(id, 5, 6);  // what 5 means is the device's business
  auto reqs = Commands();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].payload, (std::vector<uint8_t>{5, 0, 0, 0, 6, 0, 0, 0}));
  EXPECT_EQ(Sent(), std::make_pair(5, 2));
  EXPECT_EQ(QNVNet_RuleEnable(id, 1), 0u);
  EXPECT_EQ(Sent(), std::make_pair(4, 3));
  int32_t state = -1;
  EXPECT_EQ(QNVNet_IsRuleEnable(id, state), 0u);
  EXPECT_EQ(Sent(), std::make_pair(4, 5));
  EXPECT_EQ(state, 1);
  EXPECT_EQ(QNVNet_RuleEnable(id, 0), 0u);
  EXPECT_EQ(Sent(), std::make_pair(4, 4));
  EXPECT_EQ(QNVNet_IsRuleEnable(id, state), 0u);
  sim->ClearRequests();
  EXPECT_EQ(state, 0);
  EXPECT_EQ(QNVNet_RuleEnable(id, 2), 0u);  // neither on nor off: nothing sent
  EXPECT_TRUE(Commands().empty());
}

TEST_F(Catalogue, RuleBlockRoundTrip) {
  std::vector<uint8_t> rules(3000);
  for (size_t i = 0; i < rules.size(); ++i) rules[i] = uint8_t(i * 31);
  EXPECT_EQ(QNVNet_RuleUpLoad(id, rules.data(), int32_t(rules.size())), 0u);
  EXPECT_EQ(Sent(), std::make_pair(4, 2));
  std::vector<uint8_t> back(4096, 0xEE);
  int32_t len = 4096;
  EXPECT_EQ(QNVNet_RuleDownLoad(id, back.data(), len), 0u);
  EXPECT_EQ(Sent(), std::make_pair(4, 1));
  EXPECT_EQ(len, 3000);
  EXPECT_TRUE(std::equal(rules.begin(), rules.end(), back.begin()));
  EXPECT_EQ(back[3000], 0);  // zeros after the data, up to the capacity
  // Over the 4,076-byte limit: refused without sending.
  std::vector<uint8_t> huge(5000);
  EXPECT_EQ(QNVNet_RuleUpLoad(id, huge.data(), 5000), QNVNET_ERR_SEND);
  EXPECT_TRUE(Commands().empty());
}

TEST_F(Catalogue, GetLengthRules) {
  // The device-information block is longer than this buffer: cut, real length reported.
  uint8_t small[10];
  int32_t len = sizeof small;
  EXPECT_EQ(QNVNet_ManageGetSysConfig(id, 13, small, len), 0u);
  EXPECT_GT(len, 10);
  // An item the device has no data for: length 0, buffer cleared.
  uint8_t buf[16];
  std::fill(std::begin(buf), std::end(buf), 0xEE);
  len = sizeof buf;
  sim->SetConfigItem(35, {});
  EXPECT_EQ(QNVNet_ManageGetSysConfig(id, 32, buf, len), 0u);
  EXPECT_EQ(len, 0);
  for (uint8_t b : buf) EXPECT_EQ(b, 0);
  // A refused get: length 0, buffer untouched.
  sim->SetFault(2, 33, {devsim::Fault::kResult, 0x99, 1});
  std::fill(std::begin(buf), std::end(buf), 0xEE);
  len = sizeof buf;
  EXPECT_EQ(QNVNet_ManageGetSysConfig(id, 31, buf, len), 0x99u);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(buf[0], 0xEE);
}

TEST_F(Catalogue, SetThenGetRoundTripsThroughTheDevice) {
  std::vector<uint8_t> item = {1, 1, 2, 3, 5, 8, 13, 21};
  EXPECT_EQ(QNVNet_ManageSetSysConfig(id, 44, item.data(), int32_t(item.size())), 0u);
  uint8_t buf[8];
  int32_t len = sizeof buf;
  EXPECT_EQ(QNVNet_ManageGetSysConfig(id, 44, buf, len), 0u);
  EXPECT_EQ(len, 8);
  EXPECT_TRUE(std::equal(item.begin(), item.end(), buf));
  EXPECT_EQ(QNVNet_AlgorSetParam(id, 60, item.data(), 4), 0u);
  len = sizeof buf;
  EXPECT_EQ(QNVNet_AlgorGetParam(id, 60, buf, len), 0u);
  EXPECT_EQ(len, 4);
}

TEST_F(Catalogue, FaultsComeBackAsResultCodes) {
  sim->SetFault(5, 1, {devsim::Fault::kWrongSession, 0, 1});
  EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), QNVNET_ERR_SESSION_MISMATCH);
  sim->SetFault(5, 1, {devsim::Fault::kBadPrefix, 0, 1});
  EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), QNVNET_ERR_NO_REPLY);
  sim->SetFault(5, 1, {devsim::Fault::kShortReply, 12, 1});
  EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), QNVNET_ERR_NO_REPLY);
  sim->SetFault(5, 1, {devsim::Fault::kSplit, 200, 1});
  EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), 0u);
  sim->SetFault(5, 1, {devsim::Fault::kDoubleReply, 0, 1});
  EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), 0u);
  // The surplus copy of the last reply is not taken for the next answer.
  sim->SetFault(4, 5, {devsim::Fault::kResult, 0x42, 1});
  int32_t state = 3;
  EXPECT_EQ(QNVNet_IsRuleEnable(id, state), 0x42u);
  EXPECT_EQ(state, 3);
  EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), 0u);
}

}  // namespace
}  // namespace qnv
