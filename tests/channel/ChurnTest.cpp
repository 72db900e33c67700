// Channels opening and closing while frames flow and callbacks call exports,
// for 30 seconds: no deadlock, no crash, no frame after close, and the
// sanitizers stay quiet.
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>

#include "sdk/CLibrary.h"
#include "support/SimulatorFixture.h"

namespace qnv {
namespace {

std::atomic<uint32_t> g_victim{0};
std::atomic<uint64_t> g_churnFrames{0};

bool BusyStreamCallback(uint32_t clientId, char*, uint16_t, char* frame, int32_t, uint32_t) {
  uint64_t n = ++g_churnFrames;
  // Some frames call exports from the receive thread, including closing
  // whichever channel the host thread last opened.
  if (n % 50 == 0) {
    int32_t state = 0;
    QNVNet_IsRuleEnable(clientId, state);
  }
  if (n % 97 == 0) {
    if (uint32_t v = g_victim.exchange(0)) QNVNet_LiveClose(v);
  }
  return true;
}

class Churn : public test::SimulatorTest {
 protected:
  devsim::SimulatorOptions Options() override {
    devsim::SimulatorOptions o;
    o.clipPath = QNV_SAMPLE_CLIP;
    o.fps = 100;
    return o;
  }
};

TEST_F(Churn, OpenCloseRecordWhileFramesFlow) {
  QNVNet_SetCallback(nullptr, &BusyStreamCallback, &test::RecordDisconnect, 0);
  uint32_t a = Login(), b = Login();
  std::string dir = "/tmp/qnv_churn_" + std::to_string(getpid());
  std::mt19937 rng(1);
  std::vector<uint32_t> open;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  int opens = 0;
  while (std::chrono::steady_clock::now() < end) {
    int op = int(rng() % 6);
    if (op <= 1 || open.empty()) {
      uint32_t h = 0;
      if (QNVNet_LiveOpen(&h, rng() % 2 ? a : b, nullptr) == 0) {
        open.push_back(h);
        g_victim = h;
        ++opens;
      }
    } else if (op == 2) {
      size_t i = rng() % open.size();
      QNVNet_LiveClose(open[i]);
      open.erase(open.begin() + long(i));
    } else if (op == 3) {
      uint32_t rec = 0;
      uint32_t h = open[rng() % open.size()];
      if (QNVNet_LiveSaveOpen(h, (dir + "/c" + std::to_string(rng() % 8) + ".dat").c_str(), rec) ==
          0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 30));
        QNVNet_LiveSaveClose(h, rec);
      }
    } else if (op == 4) {
      QNVNet_LivePause(open[rng() % open.size()]);
      QNVNet_LivePlay(open[rng() % open.size()]);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 20));
    }
    if (open.size() > 12) {
      QNVNet_LiveClose(open.front());
      open.erase(open.begin());
    }
  }
  for (uint32_t h : open) QNVNet_LiveClose(h);
  EXPECT_GT(opens, 20);
  EXPECT_GT(g_churnFrames.load(), 1000u);
  EXPECT_EQ(CLibrary::Instance().ChannelCount(), 0u);
  // Nothing is delivered once every channel is closed.
  uint64_t settled = g_churnFrames.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(g_churnFrames.load(), settled);
  EXPECT_EQ(QNVNet_PTZCtrlSend(a, 0, 0, 0, 0), 0u);
  std::system(("rm -rf " + dir).c_str());
}

}  // namespace
}  // namespace qnv
