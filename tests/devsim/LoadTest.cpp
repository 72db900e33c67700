// Many sessions and streams on one simulator (a small version of the load check).
#include <gtest/gtest.h>

#include "TestClient.h"
#include "devsim/Simulator.h"

namespace qnv::devsim {
namespace {

using test::TestClient;
using test::U32At;
using test::U32s;

TEST(DevsimLoad, HundredSessionsAndEightPacedStreams) {
  SimulatorOptions o;
  o.syntheticBitrate = 256000;
  o.syntheticWidth = 320;
  o.syntheticHeight = 240;
  Simulator sim(o);
  ASSERT_TRUE(sim.Start());
  constexpr int kSessions = 100, kStreams = 8;
  std::vector<TestClient> sessions(kSessions);
  std::vector<uint32_t> ids(kSessions);
  for (int i = 0; i < kSessions; ++i) {
    ASSERT_TRUE(test::LoginClient(sessions[i], sim.Port(), ids[i])) << i;
  }
  EXPECT_EQ(sim.SessionCount(), static_cast<size_t>(kSessions));
  std::vector<TestClient> streams(kStreams);
  for (int i = 0; i < kStreams; ++i) {
    auto r = sessions[i].Transact(3, 1, ids[i]);
    ASSERT_TRUE(r);
    ASSERT_TRUE(streams[i].Connect(static_cast<uint16_t>(sim.Port() + 2)));
    ASSERT_TRUE(streams[i].Send(
        test::BuildRequest(test::kOneWayWord, 3, 5, ids[i], U32s({U32At(r->payload, 0)}))));
  }
  for (int round = 0; round < 4; ++round) {
    for (auto& s : streams) {
      auto f = s.ReadFrame();
      ASSERT_TRUE(f);
      EXPECT_EQ(U32At(f->header, 0), static_cast<uint32_t>(round));
    }
  }
  EXPECT_EQ(sim.StreamCount(), static_cast<size_t>(kStreams));
  for (int i = 0; i < kSessions; ++i) {
    auto r = sessions[i].Transact(2, 1, ids[i]);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->sessionId, ids[i]);
  }
}

}  // namespace
}  // namespace qnv::devsim
