// Fault injection of the simulator, seen from a plain socket client.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "TestClient.h"
#include "devsim/Simulator.h"

namespace qnv::devsim {
namespace {

using test::Bytes;
using test::TestClient;
using test::U32At;
using test::U32s;

class DevsimFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    SimulatorOptions o;
    o.clipPath = QNV_SAMPLE_CLIP;
    o.paced = false;
    m_sim = std::make_unique<Simulator>(o);
    ASSERT_TRUE(m_sim->Start());
    ASSERT_TRUE(test::LoginClient(m_c, m_sim->Port(), m_sid));
  }
  bool Attach(TestClient& s, uint32_t& streamId) {
    auto r = m_c.Transact(3, 1, m_sid);
    if (!r || r->payload.size() < 4) return false;
    streamId = U32At(r->payload, 0);
    return s.Connect(static_cast<uint16_t>(m_sim->Port() + 2)) &&
           s.Send(test::BuildRequest(test::kOneWayWord, 3, 5, m_sid, U32s({streamId})));
  }
  std::unique_ptr<Simulator> m_sim;
  TestClient m_c;
  uint32_t m_sid = 0;
};

TEST_F(DevsimFaults, ResultWrongSessionAndCount) {
  m_sim->SetFault(2, 33, {Fault::kResult, 77, 1});
  auto r = m_c.Transact(2, 33, m_sid);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->result, 77u);
  EXPECT_TRUE(r->payload.empty());
  r = m_c.Transact(2, 33, m_sid);  // used up
  EXPECT_EQ(r->result, 0u);
  EXPECT_EQ(r->payload.size(), 64u);

  m_sim->SetFault(2, 1, {Fault::kWrongSession});
  r = m_c.Transact(2, 1, m_sid);
  EXPECT_EQ(r->sessionId, m_sid + 1);
  r = m_c.Transact(2, 1, m_sid);
  EXPECT_EQ(r->sessionId, m_sid + 1);  // count -1: always
  m_sim->SetFault(2, 1, {Fault::kWrongSession, 1234});
  EXPECT_EQ(m_c.Transact(2, 1, m_sid)->sessionId, 1234u);
  m_sim->ClearFaults();
  EXPECT_EQ(m_c.Transact(2, 1, m_sid)->sessionId, m_sid);
}

TEST_F(DevsimFaults, NoReplyDelayAndClose) {
  m_sim->SetFault(2, 1, {Fault::kNoReply, 0, 1});
  ASSERT_TRUE(m_c.Send(test::BuildRequest(1, 2, 1, m_sid)));
  EXPECT_TRUE(m_c.Quiet(200));
  // The next request is answered as usual.
  EXPECT_EQ(m_c.Transact(2, 1, m_sid)->result, 0u);

  m_sim->SetFault(2, 1, {Fault::kDelay, 250, 1});
  const auto before = std::chrono::steady_clock::now();
  ASSERT_TRUE(m_c.Send(test::BuildRequest(1, 2, 1, m_sid)));
  EXPECT_TRUE(m_c.Quiet(100));
  auto r = m_c.ReadReply();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->result, 0u);
  EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(240));

  m_sim->SetFault(4, 5, {Fault::kClose});
  ASSERT_TRUE(m_c.Send(test::BuildRequest(1, 4, 5, m_sid)));
  EXPECT_TRUE(m_c.WaitClosed());
  ASSERT_TRUE(m_sim->WaitForRequests(4, 1000));
  EXPECT_EQ(m_sim->Requests().back().cls, 4);
}

TEST_F(DevsimFaults, MalformedReplies) {
  // A broken prefix check byte.
  m_sim->SetFault(2, 1, {Fault::kBadPrefix, 0, 1});
  auto r = m_c.Transact(2, 1, m_sid);
  ASSERT_TRUE(r);
  EXPECT_NE(r->raw[3], r->raw[0] ^ r->raw[1] ^ r->raw[2]);

  // A short reply with a consistent prefix.
  m_sim->SetFault(2, 1, {Fault::kShortReply, 20, 1});
  r = m_c.Transact(2, 1, m_sid);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->raw.size(), 20u);
  EXPECT_EQ(r->raw[2], 20);
  EXPECT_EQ(r->sessionId, 0u);  // missing field reads as zero
  m_sim->SetFault(2, 1, {Fault::kShortReply, 0, 1});
  EXPECT_EQ(m_c.Transact(2, 1, m_sid)->raw.size(), 16u);

  // Two replies in one write.
  m_sim->SetFault(2, 1, {Fault::kDoubleReply, 0, 1});
  ASSERT_TRUE(m_c.Send(test::BuildRequest(1, 2, 1, m_sid)));
  Bytes both;
  ASSERT_TRUE(m_c.ReadExact(48, both));
  EXPECT_EQ(Bytes(both.begin(), both.begin() + 24), Bytes(both.begin() + 24, both.end()));
  EXPECT_TRUE(m_c.Quiet(100));

  // Split in two writes with a pause: the first part alone arrives first.
  m_sim->SetFault(2, 33, {Fault::kSplit, 200, 1});
  ASSERT_TRUE(m_c.Send(test::BuildRequest(1, 2, 33, m_sid)));
  Bytes first;
  ASSERT_TRUE(m_c.ReadExact(10, first));
  EXPECT_TRUE(m_c.Quiet(100));
  Bytes rest;
  ASSERT_TRUE(m_c.ReadExact(24 + 64 - 10, rest));
  EXPECT_EQ(U32At(rest, 20 - 10), m_sid);
}

TEST_F(DevsimFaults, GarbageAndOversizeFrames) {
  m_sim->SetStreamFault({StreamFault::kGarbage, 20, 1});
  TestClient s;
  uint32_t id = 0;
  ASSERT_TRUE(Attach(s, id));
  auto f = s.ReadFrame();
  ASSERT_TRUE(f);
  EXPECT_EQ(U32At(f->header, 0), 0u);
  Bytes junk;
  ASSERT_TRUE(s.ReadExact(20, junk));
  EXPECT_EQ(junk, Bytes(20, 0xEE));
  f = s.ReadFrame();
  ASSERT_TRUE(f);
  EXPECT_EQ(U32At(f->header, 0), 1u);

  m_sim->SetStreamFault({StreamFault::kOversize, 2u << 20, 1});
  bool sawBig = false;
  for (int i = 0; i < 20000 && !sawBig; ++i) {
    f = s.ReadFrame(5000);
    ASSERT_TRUE(f);
    sawBig = f->payload.size() == (2u << 20);
  }
  EXPECT_TRUE(sawBig);
  f = s.ReadFrame();  // the stream goes on
  ASSERT_TRUE(f);
  EXPECT_LT(f->payload.size(), 2u << 20);

  // Above 16 MiB only the lying header is sent.
  m_sim->SetStreamFault({StreamFault::kOversize, 20u << 20, 1});
  bool sawLie = false;
  for (int i = 0; i < 20000 && !sawLie; ++i) {
    Bytes h;
    ASSERT_TRUE(s.ReadExact(40, h));
    const uint32_t n = U32At(h, 12);
    if (n == (20u << 20)) {
      sawLie = true;
      break;
    }
    Bytes body;
    ASSERT_TRUE(s.ReadExact(n, body));
  }
  EXPECT_TRUE(sawLie);
}

TEST_F(DevsimFaults, DropMidFrameAndRefusedStreamConnections) {
  m_sim->SetStreamFault({StreamFault::kDropMidFrame, 0, 1});
  TestClient s;
  uint32_t id = 0;
  ASSERT_TRUE(Attach(s, id));
  Bytes h;
  ASSERT_TRUE(s.ReadExact(40, h));
  const uint32_t n = U32At(h, 12);
  Bytes part;
  ASSERT_TRUE(s.ReadExact(n / 2, part));
  EXPECT_TRUE(s.WaitClosed());  // the rest never comes

  // The stream is still open on the device: it can be attached again.
  TestClient again;
  ASSERT_TRUE(again.Connect(static_cast<uint16_t>(m_sim->Port() + 2)));
  ASSERT_TRUE(again.Send(test::BuildRequest(test::kOneWayWord, 3, 5, m_sid, U32s({id}))));
  EXPECT_TRUE(again.ReadFrame());
  again.Close();

  m_sim->SetStreamFault({StreamFault::kRefuse, 0});
  TestClient refused;
  uint32_t id2 = 0;
  ASSERT_TRUE(Attach(refused, id2));
  EXPECT_TRUE(refused.WaitClosed());

  // Not accepted at all: the connection waits in the backlog and gets nothing until the
  // fault is cleared.
  m_sim->SetStreamFault({StreamFault::kRefuse, 1});
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  TestClient waiting;
  uint32_t id3 = 0;
  ASSERT_TRUE(Attach(waiting, id3));
  EXPECT_TRUE(waiting.Quiet(200));
  m_sim->ClearFaults();
  EXPECT_TRUE(waiting.ReadFrame());
}

}  // namespace
}  // namespace qnv::devsim
