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
    sim_ = std::make_unique<Simulator>(o);
    ASSERT_TRUE(sim_->Start());
    ASSERT_TRUE(test::LoginClient(c_, sim_->Port(), sid_));
  }
  bool Attach(TestClient& s, uint32_t& streamId) {
    auto r = c_.Transact(3, 1, sid_);
    if (!r || r->payload.size() < 4) return false;
    streamId = U32At(r->payload, 0);
    return s.Connect(static_cast<uint16_t>(sim_->Port() + 2)) &&
           s.Send(test::BuildRequest(test::kOneWayWord, 3, 5, sid_, U32s({streamId})));
  }
  std::unique_ptr<Simulator> sim_;
  TestClient c_;
  uint32_t sid_ = 0;
};

TEST_F(DevsimFaults, ResultWrongSessionAndCount) {
  sim_->SetFault(2, 33, {Fault::kResult, 77, 1});
  auto r = c_.Transact(2, 33, sid_);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->result, 77u);
  EXPECT_TRUE(r->payload.empty());
  r = c_.Transact(2, 33, sid_);  // used up
  EXPECT_EQ(r->result, 0u);
  EXPECT_EQ(r->payload.size(), 64u);

  sim_->SetFault(2, 1, {Fault::kWrongSession});
  r = c_.Transact(2, 1, sid_);
  EXPECT_EQ(r->sessionId, sid_ + 1);
  r = c_.Transact(2, 1, sid_);
  EXPECT_EQ(r->sessionId, sid_ + 1);  // count -1: always
  sim_->SetFault(2, 1, {Fault::kWrongSession, 1234});
  EXPECT_EQ(c_.Transact(2, 1, sid_)->sessionId, 1234u);
  sim_->ClearFaults();
  EXPECT_EQ(c_.Transact(2, 1, sid_)->sessionId, sid_);
}

TEST_F(DevsimFaults, NoReplyDelayAndClose) {
  sim_->SetFault(2, 1, {Fault::kNoReply, 0, 1});
  ASSERT_TRUE(c_.Send(test::BuildRequest(1, 2, 1, sid_)));
  EXPECT_TRUE(c_.Quiet(200));
  // The next request is answered as usual.
  EXPECT_EQ(c_.Transact(2, 1, sid_)->result, 0u);

  sim_->SetFault(2, 1, {Fault::kDelay, 250, 1});
  const auto before = std::chrono::steady_clock::now();
  ASSERT_TRUE(c_.Send(test::BuildRequest(1, 2, 1, sid_)));
  EXPECT_TRUE(c_.Quiet(100));
  auto r = c_.ReadReply();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->result, 0u);
  EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(240));

  sim_->SetFault(4, 5, {Fault::kClose});
  ASSERT_TRUE(c_.Send(test::BuildRequest(1, 4, 5, sid_)));
  EXPECT_TRUE(c_.WaitClosed());
  ASSERT_TRUE(sim_->WaitForRequests(4, 1000));
  EXPECT_EQ(sim_->Requests().back().cls, 4);
}

TEST_F(DevsimFaults, MalformedReplies) {
  // A broken prefix check byte.
  sim_->SetFault(2, 1, {Fault::kBadPrefix, 0, 1});
  auto r = c_.Transact(2, 1, sid_);
  ASSERT_TRUE(r);
  EXPECT_NE(r->raw[3], r->raw[0] ^ r->raw[1] ^ r->raw[2]);

  // A short reply with a consistent prefix.
  sim_->SetFault(2, 1, {Fault::kShortReply, 20, 1});
  r = c_.Transact(2, 1, sid_);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->raw.size(), 20u);
  EXPECT_EQ(r->raw[2], 20);
  EXPECT_EQ(r->sessionId, 0u);  // missing field reads as zero
  sim_->SetFault(2, 1, {Fault::kShortReply, 0, 1});
  EXPECT_EQ(c_.Transact(2, 1, sid_)->raw.size(), 16u);

  // Two replies in one write.
  sim_->SetFault(2, 1, {Fault::kDoubleReply, 0, 1});
  ASSERT_TRUE(c_.Send(test::BuildRequest(1, 2, 1, sid_)));
  Bytes both;
  ASSERT_TRUE(c_.ReadExact(48, both));
  EXPECT_EQ(Bytes(both.begin(), both.begin() + 24), Bytes(both.begin() + 24, both.end()));
  EXPECT_TRUE(c_.Quiet(100));

  // Split in two writes with a pause: the first part alone arrives first.
  sim_->SetFault(2, 33, {Fault::kSplit, 200, 1});
  ASSERT_TRUE(c_.Send(test::BuildRequest(1, 2, 33, sid_)));
  Bytes first;
  ASSERT_TRUE(c_.ReadExact(10, first));
  EXPECT_TRUE(c_.Quiet(100));
  Bytes rest;
  ASSERT_TRUE(c_.ReadExact(24 + 64 - 10, rest));
  EXPECT_EQ(U32At(rest, 20 - 10), sid_);
}

TEST_F(DevsimFaults, GarbageAndOversizeFrames) {
  sim_->SetStreamFault({StreamFault::kGarbage, 20, 1});
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

  sim_->SetStreamFault({StreamFault::kOversize, 2u << 20, 1});
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
  sim_->SetStreamFault({StreamFault::kOversize, 20u << 20, 1});
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
  sim_->SetStreamFault({StreamFault::kDropMidFrame, 0, 1});
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
  ASSERT_TRUE(again.Connect(static_cast<uint16_t>(sim_->Port() + 2)));
  ASSERT_TRUE(again.Send(test::BuildRequest(test::kOneWayWord, 3, 5, sid_, U32s({id}))));
  EXPECT_TRUE(again.ReadFrame());
  again.Close();

  sim_->SetStreamFault({StreamFault::kRefuse, 0});
  TestClient refused;
  uint32_t id2 = 0;
  ASSERT_TRUE(Attach(refused, id2));
  EXPECT_TRUE(refused.WaitClosed());

  // Not accepted at all: the connection waits in the backlog and gets nothing until the
  // fault is cleared.
  sim_->SetStreamFault({StreamFault::kRefuse, 1});
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  TestClient waiting;
  uint32_t id3 = 0;
  ASSERT_TRUE(Attach(waiting, id3));
  EXPECT_TRUE(waiting.Quiet(200));
  sim_->ClearFaults();
  EXPECT_TRUE(waiting.ReadFrame());
}

}  // namespace
}  // namespace qnv::devsim
