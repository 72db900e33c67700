// Firmware upload against the simulator: chunk checks, assembly and installation.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "TestClient.h"
#include "devsim/Simulator.h"

namespace qnv::devsim {
namespace {

using test::Bytes;
using test::TestClient;
using test::U32At;

constexpr size_t kChunk = 3072;

Bytes Image(size_t size) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(i * 31 + 7);
  return b;
}

// The chunk record exactly as the host builds it.
Bytes Record(const Bytes& image, uint32_t number, uint32_t count, uint32_t length) {
  Bytes r = test::U32s({static_cast<uint32_t>(image.size()), count, number, length});
  r.resize(16 + kChunk, 0);
  const size_t from = (number - 1) * kChunk;
  if (from < image.size()) {
    std::memcpy(r.data() + 16, image.data() + from, std::min<size_t>(length, image.size() - from));
  }
  return r;
}

uint32_t Upload(TestClient& c, uint32_t sid, const Bytes& image) {
  const uint32_t count = static_cast<uint32_t>(image.size() / kChunk + 1);
  for (uint32_t i = 1; i <= count; ++i) {
    const size_t from = (i - 1) * kChunk;
    const uint32_t len = static_cast<uint32_t>(std::min(kChunk, image.size() - from));
    auto r = c.Transact(2, 5, sid, Record(image, i, count, len));
    if (!r) return 0xFFFFFFFF;
    if (r->result != 0) return r->result;
  }
  return 0;
}

uint32_t Crc32(const Bytes& data) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t b : data) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
  }
  return ~crc;
}

TEST(DevsimFirmware, AssemblesChunksAndInstallsOnStart) {
  SimulatorOptions o;
  o.firmwareStartDelayMs = 150;
  Simulator sim(o);
  ASSERT_TRUE(sim.Start());
  TestClient c;
  uint32_t sid = 0;
  ASSERT_TRUE(test::LoginClient(c, sim.Port(), sid));

  // Starting without an upload is refused.
  EXPECT_EQ(c.Transact(2, 6, sid)->result, kResultNoFirmware);

  const Bytes image = Image(7000);  // 3,072 + 3,072 + 856
  ASSERT_EQ(Upload(c, sid, image), 0u);
  EXPECT_EQ(sim.FirmwareImage(), image);

  const auto before = std::chrono::steady_clock::now();
  auto r = c.Transact(2, 6, sid);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->result, 0u);
  EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(140));
  auto info = c.Transact(2, 4, sid);
  ASSERT_TRUE(info);
  EXPECT_EQ(U32At(info->payload, kDeviceInfoImageSizeOffset), 7000u);
  EXPECT_EQ(U32At(info->payload, kDeviceInfoImageCrcOffset), Crc32(image));
  EXPECT_EQ(U32At(info->payload, kDeviceInfoUpdateCountOffset), 1u);
  EXPECT_STREQ(reinterpret_cast<const char*>(info->payload.data() + kDeviceInfoVersionOffset),
               "1.0.1");

  // Sizes at the edges: a multiple of 3,072 ends with an empty chunk; an empty image is
  // one empty chunk.
  const Bytes exact = Image(2 * kChunk);
  ASSERT_EQ(Upload(c, sid, exact), 0u);
  EXPECT_EQ(sim.FirmwareImage(), exact);
  ASSERT_EQ(Upload(c, sid, Bytes{}), 0u);
  EXPECT_TRUE(sim.FirmwareImage().empty());
}

TEST(DevsimFirmware, RejectsBadChunksAndAbandonsTheUpload) {
  Simulator sim;
  ASSERT_TRUE(sim.Start());
  TestClient c;
  uint32_t sid = 0;
  ASSERT_TRUE(test::LoginClient(c, sim.Port(), sid));
  const Bytes image = Image(7000);

  // Out of sequence: chunk 2 before chunk 1.
  EXPECT_EQ(c.Transact(2, 5, sid, Record(image, 2, 3, kChunk))->result, kResultBadChunk);
  // Wrong chunk count for the size.
  EXPECT_EQ(c.Transact(2, 5, sid, Record(image, 1, 4, kChunk))->result, kResultBadChunk);
  // A short chunk that is not the last.
  EXPECT_EQ(c.Transact(2, 5, sid, Record(image, 1, 3, 100))->result, kResultBadChunk);
  // A last chunk whose length does not finish the image.
  ASSERT_EQ(c.Transact(2, 5, sid, Record(image, 1, 3, kChunk))->result, 0u);
  ASSERT_EQ(c.Transact(2, 5, sid, Record(image, 2, 3, kChunk))->result, 0u);
  EXPECT_EQ(c.Transact(2, 5, sid, Record(image, 3, 3, 855))->result, kResultBadChunk);
  // The upload is abandoned: its last chunk alone is not taken any more.
  EXPECT_EQ(c.Transact(2, 5, sid, Record(image, 3, 3, 856))->result, kResultBadChunk);
  // A record of the wrong size.
  EXPECT_EQ(c.Transact(2, 5, sid, Bytes(100, 0))->result, kResultBadPayload);
  EXPECT_TRUE(sim.FirmwareImage().empty());
  EXPECT_EQ(c.Transact(2, 6, sid)->result, kResultNoFirmware);
  // Starting again at chunk 1 works.
  ASSERT_EQ(Upload(c, sid, image), 0u);
  EXPECT_EQ(sim.FirmwareImage(), image);
}

}  // namespace
}  // namespace qnv::devsim
