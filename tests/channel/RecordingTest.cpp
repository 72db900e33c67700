// Recordings end to end against the simulator streaming the sample clip:
// pre-record read-out, the start at a key frame, and index records that point
// at exactly the bodies that were delivered.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>

#include "sdk/CLibrary.h"
#include "support/SimulatorFixture.h"
#include "support/StreamCapture.h"

namespace qnv {
namespace {

using test::Le32At;
using test::StreamCapture;

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class Recording : public test::SimulatorTest {
 protected:
  devsim::SimulatorOptions Options() override {
    devsim::SimulatorOptions o;
    o.clipPath = QNV_SAMPLE_CLIP;
    o.fps = 250;  // ten times real time: the pre-record queue fills in about a second
    return o;
  }
  void SetUp() override {
    test::SimulatorTest::SetUp();
    StreamCapture::Instance().Clear();
    QNVNet_SetCallback(nullptr, &StreamCapture::Callback, nullptr, 0);
    id = Login();
    dir = "/tmp/qnv_rec_" + std::to_string(getpid()) + "_" +
          ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::system(("rm -rf " + dir).c_str());
  }
  void TearDown() override {
    test::SimulatorTest::TearDown();
    std::system(("rm -rf " + dir).c_str());
  }
  uint32_t id = 0;
  std::string dir;
};

// Every index record points at a body equal to the body of some delivered
// frame with the same header bytes 0..27 (the frame counter makes them
// unique); returns the records.
std::vector<std::vector<uint8_t>> CheckAgainstDelivered(const std::string& data,
                                                        const std::string& index) {
  auto d = ReadFile(data), x = ReadFile(index);
  EXPECT_EQ(x.size() % 40, 0u);
  std::map<uint32_t, std::vector<uint8_t>> delivered;  // frame counter -> frame
  for (auto& f : StreamCapture::Instance().Frames()) delivered[Le32At(f.bytes, 0)] = f.bytes;
  std::vector<std::vector<uint8_t>> records;
  for (size_t off = 0; off + 40 <= x.size(); off += 40)
    records.emplace_back(x.begin() + long(off), x.begin() + long(off) + 40);
  for (size_t i = 0; i < records.size(); ++i) {
    uint32_t start = Le32At(records[i], 28);
    uint32_t end = i + 1 < records.size() ? Le32At(records[i + 1], 28) : uint32_t(d.size());
    EXPECT_LE(start, end);
    EXPECT_LE(end, d.size());
    auto it = delivered.find(Le32At(records[i], 0));
    if (it == delivered.end()) {
      ADD_FAILURE() << "record " << i << " names no delivered frame";
      continue;
    }
    const auto& frame = it->second;
    EXPECT_TRUE(std::equal(frame.begin(), frame.begin() + 28, records[i].begin())) << i;
    EXPECT_EQ(frame[35], records[i][35]);
    std::vector<uint8_t> body(frame.begin() + 40, frame.end());
    EXPECT_EQ(end - start, body.size()) << i;
    if (end - start != body.size()) continue;
    EXPECT_TRUE(std::equal(body.begin(), body.end(), d.begin() + start)) << i;
  }
  return records;
}

TEST_F(Recording, StartsWithThePreRecordStretchThenAKeyFrame) {
  uint32_t h = 0;
  ASSERT_EQ(QNVNet_LiveOpen(&h, id, nullptr), 0u);
  // Let the queue fill past its capacity.
  ASSERT_TRUE(WaitFor([&] { return StreamCapture::Instance().Count() >= 300; }, 10000));
  uint32_t rec = 0;
  std::string data = dir + "/nested/deeper/cam1.dat";
  ASSERT_EQ(QNVNet_LiveSaveOpen(h, data.c_str(), rec), 0u);
  EXPECT_EQ(rec, 1u);
  uint64_t at = StreamCapture::Instance().Count();
  ASSERT_TRUE(WaitFor([&] { return StreamCapture::Instance().Count() >= at + 100; }, 10000));
  EXPECT_EQ(QNVNet_LiveSaveClose(h, rec), 0u);
  EXPECT_EQ(QNVNet_LiveSaveClose(h, rec), QNVNET_ERR_NO_SAVE);
  QNVNet_LiveClose(h);
  auto records = CheckAgainstDelivered(data, dir + "/nested/deeper/cam1.idx");
  ASSERT_GT(records.size(), 10u);
  EXPECT_EQ(Le32At(records[0], 28), 0u);
  // The pre-record part is close to the queue's 358,400 bytes; the first
  // live record follows it and is a key frame.
  size_t firstLive = 0;
  uint64_t lastPre = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    uint32_t counter = Le32At(records[i], 0);
    if (i > 0 && counter != lastPre + 1) {
      firstLive = i;
      break;
    }
    lastPre = counter;
  }
  if (firstLive == 0) {
    // Opened right at a key frame: the stretch runs on without a gap.
    SUCCEED();
  } else {
    EXPECT_EQ(records[firstLive][35], 1);
    EXPECT_GT(Le32At(records[firstLive], 28), 300000u);
    EXPECT_LE(Le32At(records[firstLive], 28), 358400u);
  }
}

TEST_F(Recording, IdsLimitsAndReuse) {
  uint32_t h = 0;
  ASSERT_EQ(QNVNet_LiveOpen(&h, id, nullptr), 0u);
  std::vector<uint32_t> ids;
  for (int i = 0; i < 16; ++i) {
    uint32_t rec = 0;
    ASSERT_EQ(QNVNet_LiveSaveOpen(h, (dir + "/r" + std::to_string(i) + ".dat").c_str(), rec), 0u);
    ids.push_back(rec);
  }
  for (uint32_t i = 0; i < 16; ++i) EXPECT_EQ(ids[i], i + 1);
  uint32_t rec = 99;
  EXPECT_EQ(QNVNet_LiveSaveOpen(h, (dir + "/r17.dat").c_str(), rec), QNVNET_ERR_TOO_MANY_SAVES);
  EXPECT_EQ(rec, 99u);
  EXPECT_EQ(QNVNet_LiveSaveClose(h, 2), 0u);
  EXPECT_EQ(QNVNet_LiveSaveOpen(h, (dir + "/again.dat").c_str(), rec), 0u);
  EXPECT_EQ(rec, 2u);
  EXPECT_EQ(QNVNet_LiveSaveClose(h, 17), QNVNET_ERR_NO_SAVE);
  EXPECT_EQ(QNVNet_LiveSaveClose(h, 3), 0u);
  // A path an open recording already writes, and an index path as data.
  EXPECT_EQ(QNVNet_LiveSaveOpen(h, (dir + "/r0.dat").c_str(), rec), QNVNET_ERR_SAVE_OPEN);
  EXPECT_EQ(QNVNet_LiveSaveOpen(h, (dir + "/x.idx").c_str(), rec), QNVNET_ERR_SAVE_OPEN);
  struct stat st;
  EXPECT_NE(stat((dir + "/x.idx").c_str(), &st), 0);
  EXPECT_EQ(QNVNet_LiveSaveOpen(h + 12345, (dir + "/y.dat").c_str(), rec), QNVNET_ERR_NO_SESSION);
  // Closing the channel ends every recording.
  EXPECT_EQ(QNVNet_LiveClose(h), 0u);
}

TEST_F(Recording, TwoRecordingsAgreeOnTheFramesBothHold) {
  uint32_t h = 0;
  ASSERT_EQ(QNVNet_LiveOpen(&h, id, nullptr), 0u);
  ASSERT_TRUE(WaitFor([&] { return StreamCapture::Instance().Count() >= 50; }, 10000));
  uint32_t a = 0, b = 0;
  ASSERT_EQ(QNVNet_LiveSaveOpen(h, (dir + "/a.dat").c_str(), a), 0u);
  uint64_t at = StreamCapture::Instance().Count();
  ASSERT_TRUE(WaitFor([&] { return StreamCapture::Instance().Count() >= at + 60; }, 10000));
  ASSERT_EQ(QNVNet_LiveSaveOpen(h, (dir + "/b.dat").c_str(), b), 0u);
  at = StreamCapture::Instance().Count();
  ASSERT_TRUE(WaitFor([&] { return StreamCapture::Instance().Count() >= at + 80; }, 10000));
  QNVNet_LiveClose(h);  // ends both
  auto ra = CheckAgainstDelivered(dir + "/a.dat", dir + "/a.idx");
  auto rb = CheckAgainstDelivered(dir + "/b.dat", dir + "/b.idx");
  std::map<uint32_t, std::vector<uint8_t>> byCounter;
  for (auto& r : ra) byCounter[Le32At(r, 0)] = r;
  size_t shared = 0;
  for (auto& r : rb) {
    auto it = byCounter.find(Le32At(r, 0));
    if (it == byCounter.end()) continue;
    ++shared;
    EXPECT_TRUE(std::equal(r.begin(), r.begin() + 28, it->second.begin()));
    EXPECT_TRUE(std::equal(r.begin() + 32, r.end(), it->second.begin() + 32));
  }
  EXPECT_GT(shared, 50u);
}

TEST_F(Recording, UnwritableDataFileIsRefusedAndTheIndexStaysEmpty) {
  // Root writes even read-only files, so a directory stands in the data
  // file's place: it cannot be opened for writing by anyone.
  uint32_t h = 0;
  ASSERT_EQ(QNVNet_LiveOpen(&h, id, nullptr), 0u);
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  std::string data = dir + "/blocked.dat";
  ASSERT_EQ(mkdir(data.c_str(), 0755), 0);  // a data path that cannot be opened for writing
  uint32_t rec = 7;
  EXPECT_EQ(QNVNet_LiveSaveOpen(h, data.c_str(), rec), QNVNET_ERR_SAVE_OPEN);
  EXPECT_EQ(rec, 7u);
  struct stat st;
  if (stat((dir + "/blocked.idx").c_str(), &st) == 0) {
    EXPECT_EQ(st.st_size, 0);
  }
  QNVNet_LiveClose(h);
}

}  // namespace
}  // namespace qnv
