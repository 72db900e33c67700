// Every command of the catalogue against every fast fault of the device's
// command connection: the exact result code, one disconnect report when the
// device closed the connection (and the session is gone after it), none
// otherwise (and the session still works), and the library usable afterwards.
// Silence costs about 6 s per command, so SilentDeviceTest.cpp covers it for
// a few representative commands only.
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "FaultFixture.h"

namespace qnv {
namespace {

using devsim::Fault;
using test::CHostLog;

// What a command makes of a failed exchange.
enum class Failure {
  kResult,    // the transaction's code comes back as it is
  kFirmware,  // the firmware upload folds every failure into -1
  kIgnored,   // the close-stream answer is ignored: always 0
};

struct SContext {
  uint32_t id = 0;
  uint32_t handle = 0;
  std::string firmware;  // a small image, two chunks long
};

struct SCommand {
  const char* name;
  uint16_t cls, code;
  bool needsChannel;
  Failure failure;
  std::function<uint32_t(SContext&)> run;
};

struct SFault {
  const char* name;
  Fault fault;
  uint32_t result;  // for Failure::kResult
  bool closes;      // the device closed the connection
};

const SFault kFaults[] = {
    {"close", {Fault::kClose, 0, 1}, QNVNET_ERR_NO_REPLY, true},
    {"bad-prefix", {Fault::kBadPrefix, 0, 1}, QNVNET_ERR_NO_REPLY, false},
    {"wrong-session", {Fault::kWrongSession, 0, 1}, QNVNET_ERR_SESSION_MISMATCH, false},
    {"short-reply", {Fault::kShortReply, 12, 1}, QNVNET_ERR_NO_REPLY, false},
    // 16 bytes are a reply without result or session id: read as zero.
    {"short-header", {Fault::kShortReply, 16, 1}, QNVNET_ERR_SESSION_MISMATCH, false},
    {"split", {Fault::kSplit, 50, 1}, 0, false},
    {"double-reply", {Fault::kDoubleReply, 0, 1}, 0, false},
    {"device-result", {Fault::kResult, 0x77, 1}, 0x77, false},
};

uint32_t Expected(const SCommand& c, const SFault& f) {
  if (c.failure == Failure::kIgnored) return 0;
  if (c.failure == Failure::kFirmware) return f.result == 0 ? QNVNET_OK : QNVNET_ERR_FIRMWARE;
  return f.result;
}

uint32_t Get(uint32_t (*get)(uint32_t, uint32_t, void*, int32_t&), uint32_t id, uint32_t type) {
  uint8_t buf[256];
  std::memset(buf, 0xEE, sizeof buf);
  int32_t length = sizeof buf;
  uint32_t rc = get(id, type, buf, length);
  // A failed get reports no data and leaves the buffer alone.
  if (rc != 0) {
    EXPECT_EQ(length, 0);
    EXPECT_EQ(buf[0], 0xEE);
  }
  return rc;
}

const std::vector<SCommand>& Commands() {
  static const std::vector<SCommand> commands = {
      {"PTZCtrlSend", 5, 1, false, Failure::kResult,
       [](SContext& c) { return QNVNet_PTZCtrlSend(c.id, 1, 1, 1, 1); }},
      {"PTZCtrlPreset", 5, 2, false, Failure::kResult,
       [](SContext& c) { return QNVNet_PTZCtrlPreset(c.id, 1, 7); }},
      {"PTZGetParam", 5, 18, false, Failure::kResult,
       [](SContext& c) { return Get(&QNVNet_PTZGetParam, c.id, 1); }},
      {"ManageGetSysConfig", 2, 4, false, Failure::kResult,
       [](SContext& c) { return Get(&QNVNet_ManageGetSysConfig, c.id, 13); }},
      {"ManageSetSysConfig", 2, 34, false, Failure::kResult,
       [](SContext& c) {
         uint8_t item[8] = {1, 2, 3, 4, 5, 6, 7, 8};
         return QNVNet_ManageSetSysConfig(c.id, 31, item, sizeof item);
       }},
      {"ManageSendSysCmd", 2, 3, false, Failure::kResult,
       [](SContext& c) {
         uint8_t data[4] = {9, 8, 7, 6};
         int32_t length = sizeof data;
         return QNVNet_ManageSendSysCmd(c.id, 12, data, length);
       }},
      {"RuleDownLoad", 4, 1, false, Failure::kResult,
       [](SContext& c) {
         uint8_t buf[64];
         int32_t length = sizeof buf;
         return QNVNet_RuleDownLoad(c.id, buf, length);
       }},
      {"RuleUpLoad", 4, 2, false, Failure::kResult,
       [](SContext& c) {
         uint8_t rules[100] = {};
         return QNVNet_RuleUpLoad(c.id, rules, sizeof rules);
       }},
      {"RuleEnableOn", 4, 3, false, Failure::kResult,
       [](SContext& c) { return QNVNet_RuleEnable(c.id, 1); }},
      {"RuleEnableOff", 4, 4, false, Failure::kResult,
       [](SContext& c) { return QNVNet_RuleEnable(c.id, 0); }},
      {"IsRuleEnable", 4, 5, false, Failure::kResult,
       [](SContext& c) {
         int32_t state = 0;
         return QNVNet_IsRuleEnable(c.id, state);
       }},
      {"AlgorGetParam", 7, 1, false, Failure::kResult,
       [](SContext& c) { return Get(&QNVNet_AlgorGetParam, c.id, 50); }},
      {"AlgorSetParam", 7, 2, false, Failure::kResult,
       [](SContext& c) {
         uint8_t data[4] = {4, 3, 2, 1};
         return QNVNet_AlgorSetParam(c.id, 50, data, sizeof data);
       }},
      {"LiveOpen", 3, 1, false, Failure::kResult,
       [](SContext& c) {
         uint32_t handle = 0;
         uint32_t rc = QNVNet_LiveOpen(&handle, c.id, nullptr);
         if (rc == 0) c.handle = handle;
         return rc;
       }},
      {"LiveClose", 3, 2, true, Failure::kIgnored,
       [](SContext& c) {
         uint32_t rc = QNVNet_LiveClose(c.handle);
         c.handle = 0;  // closed whatever the device answered
         return rc;
       }},
      {"LivePause", 3, 3, true, Failure::kResult,
       [](SContext& c) { return QNVNet_LivePause(c.handle); }},
      {"LivePlay", 3, 4, true, Failure::kResult,
       [](SContext& c) { return QNVNet_LivePlay(c.handle); }},
      {"ManageSysUpdateData", 2, 5, false, Failure::kFirmware,
       [](SContext& c) { return QNVNet_ManageSysUpdateData(c.id, c.firmware.c_str()); }},
      {"ManageSysUpdateStart", 2, 6, false, Failure::kResult,
       [](SContext& c) {
         // The image goes up unharmed; the fault is on the start.
         if (QNVNet_ManageSysUpdateData(c.id, c.firmware.c_str()) != 0) return 0xBADu;
         return QNVNet_ManageSysUpdateStart(c.id);
       }},
  };
  return commands;
}

class CommandFaults : public test::FaultTest, public ::testing::WithParamInterface<size_t> {
 protected:
  void SetUp() override {
    test::FaultTest::SetUp();
    context.firmware = "/tmp/qnv_fault_fw_" + std::to_string(getpid()) + ".bin";
    FILE* f = std::fopen(context.firmware.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> image(5000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 13);
    std::fwrite(image.data(), 1, image.size(), f);
    std::fclose(f);
  }
  void TearDown() override {
    std::remove(context.firmware.c_str());
    test::FaultTest::TearDown();
  }
  SContext context;
};

TEST_P(CommandFaults, EveryFault) {
  const SCommand& command = Commands()[GetParam()];
  for (const SFault& f : kFaults) {
    SCOPED_TRACE(std::string(command.name) + " / " + f.name);
    if (context.id == 0) context.id = Login();
    if (command.needsChannel && context.handle == 0) {
      ASSERT_EQ(QNVNet_LiveOpen(&context.handle, context.id, nullptr), 0u);
    }
    CHostLog::Get().Clear();
    sim->SetFault(command.cls, command.code, f.fault);
    EXPECT_EQ(command.run(context), Expected(command, f));
    sim->ClearFaults();

    if (f.closes) {
      // Reported once, with the session's id and login port; then it is gone,
      // and so are its channels. The device ends a session's streams with its
      // command connection: a channel may report that too, once.
      ExpectOneDisconnect(context.id, Port());
      EXPECT_LE(DisconnectsOn(Port() + 2).size(), context.handle != 0 ? 1u : 0u);
      EXPECT_EQ(QNVNet_PTZCtrlSend(context.id, 1, 1, 1, 1), QNVNET_ERR_NO_SESSION);
      if (context.handle != 0) {
        EXPECT_EQ(QNVNet_LivePause(context.handle), QNVNET_ERR_NO_SESSION);
      }
      context = SContext{0, 0, context.firmware};
    } else {
      EXPECT_TRUE(CHostLog::Get().Disconnects().empty());
      // The session goes on: the next exchange is in step again.
      EXPECT_EQ(QNVNet_PTZCtrlSend(context.id, 1, 1, 1, 1), 0u);
      if (context.handle != 0) {
        EXPECT_EQ(QNVNet_LivePlay(context.handle), 0u);
      }
    }
    ExpectUsable();
    EXPECT_EQ(DisconnectsOn(Port()).size(), f.closes ? 1u : 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Catalogue, CommandFaults, ::testing::Range<size_t>(0, Commands().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                           return std::string(Commands()[info.param].name);
                         });

}  // namespace
}  // namespace qnv
