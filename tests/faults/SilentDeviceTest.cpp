// A device that stays silent: every command waits its 3-second time-out
// twice and comes back with "no valid reply" (about 6 s, so only a few
// representative commands are covered), the connection stays and the next
// command works. A reply that comes too late is not taken for the answer to
// the next request.
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "FaultFixture.h"

namespace qnv {
namespace {

using devsim::Fault;
using test::CHostLog;

class SilentDevice : public test::FaultTest {
 protected:
  // Runs op against a device that swallows the request; returns its result
  // and checks the wait.
  template <typename Op>
  uint32_t Silent(uint16_t cls, uint16_t code, Op&& op) {
    sim->SetFault(cls, code, {Fault::kNoReply, 0, 1});
    auto start = std::chrono::steady_clock::now();
    uint32_t rc = op();
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(5500));
    EXPECT_TRUE(CHostLog::Get().Disconnects().empty());
    return rc;
  }
};

TEST_F(SilentDevice, Login) {
  uint32_t id = 0xAAAA;
  EXPECT_EQ(
      Silent(1, 1, [&] { return QNVNet_DevLogin(&id, "127.0.0.1", Port(), "admin", "admin"); }),
      QNVNET_ERR_NO_SESSION);
  EXPECT_EQ(id, 0xAAAAu);
  ExpectUsable();
}

TEST_F(SilentDevice, PtzCommand) {
  uint32_t id = Login();
  EXPECT_EQ(Silent(5, 1, [&] { return QNVNet_PTZCtrlSend(id, 1, 1, 1, 1); }), QNVNET_ERR_NO_REPLY);
  EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), 0u);
  ExpectUsable();
}

TEST_F(SilentDevice, ConfigurationGetLeavesTheBufferAlone) {
  uint32_t id = Login();
  uint8_t buf[64];
  std::memset(buf, 0xEE, sizeof buf);
  int32_t length = sizeof buf;
  EXPECT_EQ(Silent(2, 4, [&] { return QNVNet_ManageGetSysConfig(id, 13, buf, length); }),
            QNVNET_ERR_NO_REPLY);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(buf[0], 0xEE);
  EXPECT_EQ(QNVNet_ManageGetSysConfig(id, 13, buf, length = sizeof buf), 0u);
  ExpectUsable();
}

TEST_F(SilentDevice, LiveOpen) {
  uint32_t id = Login();
  uint32_t handle = 0xAAAA;
  EXPECT_EQ(Silent(3, 1, [&] { return QNVNet_LiveOpen(&handle, id, nullptr); }),
            QNVNET_ERR_NO_REPLY);
  EXPECT_EQ(handle, 0xAAAAu);
  handle = Open(id);
  EXPECT_TRUE(FramesFlow());
  EXPECT_EQ(QNVNet_LiveClose(handle), 0u);
}

TEST_F(SilentDevice, FirmwareChunk) {
  uint32_t id = Login();
  const std::string path = "/tmp/qnv_fault_silentfw_" + std::to_string(getpid()) + ".bin";
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fputs("firmware image", f);
  std::fclose(f);
  EXPECT_EQ(Silent(2, 5, [&] { return QNVNet_ManageSysUpdateData(id, path.c_str()); }),
            QNVNET_ERR_FIRMWARE);
  EXPECT_EQ(QNVNet_ManageSysUpdateData(id, path.c_str()), 0u);
  std::remove(path.c_str());
}

TEST_F(SilentDevice, LateReplyIsNotTakenForTheNextAnswer) {
  uint32_t id = Login();
  // The first reply comes after both waits began but before the second ended.
  sim->SetFault(4, 5, {Fault::kDelay, 3500, 1});
  int32_t state = -1;
  EXPECT_EQ(QNVNet_IsRuleEnable(id, state), QNVNET_ERR_NO_REPLY);
  EXPECT_EQ(state, -1);
  // The next request gets its own answer: the device-information block, not
  // the late rule state.
  uint8_t info[128] = {};
  int32_t length = sizeof info;
  EXPECT_EQ(QNVNet_ManageGetSysConfig(id, 13, info, length), 0u);
  EXPECT_EQ(length, int32_t(devsim::kDeviceInfoSize));
  EXPECT_STREQ(reinterpret_cast<char*>(info + devsim::kDeviceInfoModelOffset), "QNV-SIM-100");
  EXPECT_TRUE(CHostLog::Get().Disconnects().empty());
}

}  // namespace
}  // namespace qnv
