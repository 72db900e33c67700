// Faults at the session's own steps: login (whose failures are never
// reported through the disconnect callback), the keep-alive that finds a lost
// connection on its own thread, and the firmware upload's file checks.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "FaultFixture.h"

namespace qnv {
namespace {

using devsim::Fault;
using test::CHostLog;
using test::WaitUntil;

class LoginFaults : public test::FaultTest {};

TEST_F(LoginFaults, EveryFastFaultFailsTheLoginWithoutACallback) {
  const struct {
    const char* name;
    Fault fault;
    uint32_t result;
  } cases[] = {
      {"close", {Fault::kClose, 0, 1}, QNVNET_ERR_NO_SESSION},
      {"bad-prefix", {Fault::kBadPrefix, 0, 1}, QNVNET_ERR_NO_SESSION},
      {"short-reply", {Fault::kShortReply, 12, 1}, QNVNET_ERR_NO_SESSION},
      {"device-result", {Fault::kResult, 1, 1}, QNVNET_ERR_NO_SESSION},
      {"split", {Fault::kSplit, 50, 1}, 0},
      {"double-reply", {Fault::kDoubleReply, 0, 1}, 0},
      {"delay", {Fault::kDelay, 150, 1}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim->SetFault(1, 1, c.fault);
    uint32_t id = 0xAAAA;
    EXPECT_EQ(QNVNet_DevLogin(&id, "127.0.0.1", Port(), "admin", "admin"), c.result);
    sim->ClearFaults();
    if (c.result == 0) {
      EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), 0u);
      EXPECT_EQ(QNVNet_DevLogout(id), 0u);
    } else {
      EXPECT_EQ(id, 0xAAAAu);  // untouched
    }
    EXPECT_TRUE(CHostLog::Get().Disconnects().empty());
    ExpectUsable();
  }
}

TEST_F(LoginFaults, WrongCredentialsAndNoDeviceFailCleanly) {
  uint32_t id = 0;
  EXPECT_EQ(QNVNet_DevLogin(&id, "127.0.0.1", Port(), "admin", "wrong"), QNVNET_ERR_NO_SESSION);
  // A port with nothing behind it refuses at once.
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  EXPECT_EQ(QNVNet_DevLogin(&id, "127.0.0.1", ntohs(a.sin_port), "admin", "admin"),
            QNVNET_ERR_NO_SESSION);
  ::close(s);
  for (const char* bad :
       {"", "127.0.0", "127.0.0.1.1", "256.0.0.1", "localhost", " 127.0.0.1", "127.000.000.0001"}) {
    EXPECT_EQ(QNVNet_DevLogin(&id, bad, Port(), "admin", "admin"), QNVNET_ERR_NO_SESSION) << bad;
  }
  EXPECT_EQ(QNVNet_DevLogin(&id, nullptr, Port(), "admin", "admin"), QNVNET_ERR_NO_SESSION);
  EXPECT_TRUE(CHostLog::Get().Disconnects().empty());
  ExpectUsable();
}

TEST_F(LoginFaults, ForeignSessionIdInTheLoginReplyIsAdopted) {
  // A login reply sets the session id whatever it is; the device then
  // refuses the session's requests as another session's.
  sim->SetFault(1, 1, {Fault::kWrongSession, 0, 1});
  uint32_t id = Login();
  ASSERT_NE(id, 0u);
  EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), devsim::kResultBadSession);
  EXPECT_TRUE(CHostLog::Get().Disconnects().empty());
  EXPECT_EQ(QNVNet_DevLogout(id), 0u);
  ExpectUsable();
}

class KeepAliveFaults : public test::FaultTest {
 protected:
  uint32_t KeepAlivePeriodMs() override { return 100; }
};

TEST_F(KeepAliveFaults, ClosedConnectionIsFoundAndReportedOnce) {
  uint32_t id = Login();
  uint32_t handle = Open(id);
  sim->SetFault(2, 1, {Fault::kClose, 0, 1});
  // No export runs: the keep-alive thread meets the failure and reports it.
  ASSERT_TRUE(WaitUntil([&] { return !DisconnectsOn(Port()).empty(); }));
  ExpectOneDisconnect(id, Port());
  ASSERT_TRUE(
      WaitUntil([&] { return QNVNet_PTZCtrlSend(id, 1, 1, 1, 1) == QNVNET_ERR_NO_SESSION; }));
  EXPECT_EQ(QNVNet_LiveClose(handle), QNVNET_ERR_NO_SESSION);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(DisconnectsOn(Port()).size(), 1u);
  ExpectUsable();
}

TEST_F(KeepAliveFaults, BadKeepAliveRepliesLeaveTheSessionAlone) {
  uint32_t id = Login();
  sim->SetFault(2, 1, {Fault::kBadPrefix, 0, 3});
  ASSERT_TRUE(sim->WaitForRequests(6, 3000));
  sim->SetFault(2, 1, {Fault::kWrongSession, 0, 2});
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_TRUE(CHostLog::Get().Disconnects().empty());
  EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), 0u);
}

TEST_F(KeepAliveFaults, DeviceRebootIsNoticedWithoutAnyExport) {
  uint32_t id = Login();
  sim->DropAllConnections();
  ASSERT_TRUE(WaitUntil([&] { return !DisconnectsOn(Port()).empty(); }));
  ExpectOneDisconnect(id, Port());
  ExpectUsable();
}

class FirmwareFaults : public test::FaultTest {};

TEST_F(FirmwareFaults, UnreadableImagesSendNothing) {
  uint32_t id = Login();
  sim->ClearRequests();
  EXPECT_EQ(QNVNet_ManageSysUpdateData(id, nullptr), QNVNET_ERR_FIRMWARE);
  EXPECT_EQ(QNVNet_ManageSysUpdateData(id, "/nonexistent/qnv/firmware.bin"), QNVNET_ERR_FIRMWARE);
  EXPECT_EQ(QNVNet_ManageSysUpdateData(id, "/tmp"), QNVNET_ERR_FIRMWARE);  // directories
  EXPECT_EQ(QNVNet_ManageSysUpdateData(id, "/dev/shm"), QNVNET_ERR_FIRMWARE);
  for (auto& r : sim->Requests()) EXPECT_NE(r.code, 5) << "a chunk was sent";
  // Start without a complete image: the device's refusal comes back.
  EXPECT_EQ(QNVNet_ManageSysUpdateStart(id), devsim::kResultNoFirmware);
  EXPECT_TRUE(CHostLog::Get().Disconnects().empty());
  EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), 0u);
}

TEST_F(FirmwareFaults, RefusedChunkStopsTheUploadAndARetrySucceeds) {
  uint32_t id = Login();
  const std::string path = "/tmp/qnv_fault_fw3_" + std::to_string(getpid()) + ".bin";
  {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> image(3 * 3072 + 100, 0x5C);
    std::fwrite(image.data(), 1, image.size(), f);
    std::fclose(f);
  }
  sim->SetFault(2, 5, {Fault::kResult, devsim::kResultBadChunk, 1});
  sim->ClearRequests();
  EXPECT_EQ(QNVNet_ManageSysUpdateData(id, path.c_str()), QNVNET_ERR_FIRMWARE);
  EXPECT_EQ(sim->Requests().size(), 1u);  // nothing after the refused chunk
  EXPECT_EQ(QNVNet_ManageSysUpdateData(id, path.c_str()), 0u);
  EXPECT_EQ(QNVNet_ManageSysUpdateStart(id), 0u);
  EXPECT_EQ(sim->FirmwareImage().size(), 3u * 3072 + 100);
  std::remove(path.c_str());
}

}  // namespace
}  // namespace qnv
