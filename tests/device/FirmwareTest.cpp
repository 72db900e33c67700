// Firmware upload end to end: chunking on the wire, byte-exact images at the
// device, refusals and limits.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <thread>

#include "support/LoopbackPeer.h"
#include "support/SimulatorFixture.h"

namespace qnv {
namespace {

using test::SimulatorTest;

std::string WriteImage(size_t size, uint32_t seed) {
  std::string path = "/tmp/qnv_fw_" + std::to_string(getpid()) + "_" + std::to_string(size);
  std::vector<char> data(size);
  std::mt19937 rng(seed);
  for (char& c : data) c = char(rng());
  std::ofstream(path, std::ios::binary).write(data.data(), std::streamsize(size));
  return path;
}

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

uint32_t Le32(const std::vector<uint8_t>& p, size_t off) {
  return uint32_t(p[off]) | uint32_t(p[off + 1]) << 8 | uint32_t(p[off + 2]) << 16 |
         uint32_t(p[off + 3]) << 24;
}

class Firmware : public SimulatorTest {};

TEST_F(Firmware, ImagesArriveByteExactInNumberedChunks) {
  uint32_t id = Login();
  for (size_t size : {size_t(0), size_t(1000), size_t(3072), size_t(7000), size_t(10u << 20)}) {
    sim->ClearRequests();
    std::string path = WriteImage(size, uint32_t(size) + 1);
    ASSERT_EQ(QNVNet_ManageSysUpdateData(id, path.c_str()), 0u) << size;
    EXPECT_EQ(sim->FirmwareImage(), ReadAll(path)) << size;
    auto reqs = Commands();
    uint32_t count = uint32_t(size / 3072 + 1);
    ASSERT_EQ(reqs.size(), count) << size;
    if (size <= 7000) {
      for (uint32_t i = 0; i < count; ++i) {
        const auto& r = reqs[i];
        EXPECT_EQ(r.cls, 2);
        EXPECT_EQ(r.code, 5);
        ASSERT_EQ(r.raw.size(), 3108u);
        EXPECT_EQ((std::vector<uint8_t>(r.raw.begin(), r.raw.begin() + 4)),
                  (std::vector<uint8_t>{0x00, 0x0C, 0x24, 0x28}));
        EXPECT_EQ(Le32(r.payload, 0), uint32_t(size));
        EXPECT_EQ(Le32(r.payload, 4), count);
        EXPECT_EQ(Le32(r.payload, 8), i + 1);
        uint32_t expected = i + 1 < count ? 3072u : uint32_t(size % 3072);
        EXPECT_EQ(Le32(r.payload, 12), expected);
      }
    }
    unlink(path.c_str());
  }
  sim->ClearRequests();
  EXPECT_EQ(QNVNet_ManageSysUpdateStart(id), 0u);
  auto reqs = Commands();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].code, 6);
  EXPECT_TRUE(reqs[0].payload.empty());
}

TEST_F(Firmware, BadPathsAndHugeFilesSendNothing) {
  uint32_t id = Login();
  sim->ClearRequests();
  EXPECT_EQ(QNVNet_ManageSysUpdateData(id, nullptr), QNVNET_ERR_FIRMWARE);
  EXPECT_EQ(QNVNet_ManageSysUpdateData(id, "/nonexistent/firmware.bin"), QNVNET_ERR_FIRMWARE);
  std::string huge = "/tmp/qnv_fw_huge_" + std::to_string(getpid());
  FILE* f = std::fopen(huge.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(ftruncate(fileno(f), off_t(2) << 30), 0);  // sparse: 2 GiB
  std::fclose(f);
  EXPECT_EQ(QNVNet_ManageSysUpdateData(id, huge.c_str()), QNVNET_ERR_FIRMWARE);
  unlink(huge.c_str());
  // A FIFO nobody writes, a device, a directory: refused at once, not read.
  const std::string fifo = "/tmp/qnv_fw_fifo_" + std::to_string(getpid());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const char* special : {fifo.c_str(), "/dev/zero", "/tmp"})
    EXPECT_EQ(QNVNet_ManageSysUpdateData(id, special), QNVNET_ERR_FIRMWARE) << special;
  unlink(fifo.c_str());
  EXPECT_TRUE(Commands().empty());
}

TEST(FirmwareScripted, DeviceRejectingChunkTwoStopsAfterTwo) {
  // A scripted device: accepts the login and chunk 1, refuses chunk 2.
  test::LoopbackPeer device;
  ASSERT_EQ(QNVNet_InitLib(), 0u);
  std::vector<int> codes;
  std::thread script([&] {
    if (!device.Accept()) return;
    for (int n = 0;; ++n) {
      auto prefix = device.Read(4, 3000);
      if (prefix.size() < 4) return;
      uint32_t len = uint32_t(prefix[0]) << 16 | uint32_t(prefix[1]) << 8 | prefix[2];
      auto rest = device.Read(len - 4, 3000);
      uint16_t cls = uint16_t(rest[8] | rest[9] << 8), code = uint16_t(rest[10] | rest[11] << 8);
      codes.push_back(cls * 100 + code);
      uint32_t result = (n == 2) ? 0x0BAD : 0;  // login, chunk 1, then chunk 2
      device.Write(test::MakeReply(cls, code, result, 5));
    }
  });
  uint32_t id = 0;
  ASSERT_EQ(QNVNet_DevLogin(&id, "127.0.0.1", device.Port(), "u", "p"), 0u);
  std::string path = WriteImage(7000, 3);
  EXPECT_EQ(QNVNet_ManageSysUpdateData(id, path.c_str()), QNVNET_ERR_FIRMWARE);
  QNVNet_UnInitLib();
  device.Shutdown();
  script.join();
  unlink(path.c_str());
  EXPECT_EQ(codes, (std::vector<int>{101, 205, 205}));
}

}  // namespace
}  // namespace qnv
