// 500 sessions on one simulator: the limit, keep-alives for all of them, and
// the time that takes (printed for the record, not asserted).
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>

#include "sdk/CLibrary.h"
#include "support/SimulatorFixture.h"

namespace qnv {
namespace {

using Clock = std::chrono::steady_clock;

class ManySessions : public test::SimulatorTest {
 protected:
  void SetUp() override {
    rlimit r{};
    getrlimit(RLIMIT_NOFILE, &r);
    if (r.rlim_cur < 4096) {
      r.rlim_cur = std::min<rlim_t>(r.rlim_max, 4096);
      setrlimit(RLIMIT_NOFILE, &r);
    }
    getrlimit(RLIMIT_NOFILE, &r);
    if (r.rlim_cur < 1200) GTEST_SKIP() << "descriptor limit too low for 500 sessions";
    test::SimulatorTest::SetUp();
  }
};

TEST_F(ManySessions, FiveHundredStayAliveAndTheNextIsRefused) {
  std::vector<uint32_t> ids;
  auto t0 = Clock::now();
  for (int i = 0; i < 500; ++i) {
    uint32_t id = 0;
    ASSERT_EQ(QNVNet_DevLogin(&id, "127.0.0.1", sim->Port(), "admin", "admin"), 0u) << i;
    ids.push_back(id);
  }
  auto loginMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(std::unique(ids.begin(), ids.end()), ids.end());
  size_t connections = sim->SessionCount();
  sim->ClearRequests();
  uint32_t extra = 77;
  EXPECT_EQ(QNVNet_DevLogin(&extra, "127.0.0.1", sim->Port(), "admin", "admin"),
            QNVNET_ERR_TOO_MANY_SESSIONS);
  EXPECT_EQ(extra, 77u);
  EXPECT_TRUE(Commands().empty());
  EXPECT_EQ(sim->SessionCount(), connections);

  // Each pass sends one keep-alive per session without waiting; the next
  // pass finds them answered and sends the next.
  for (size_t pass = 0; pass < 3; ++pass) {
    auto p0 = Clock::now();
    CLibrary::Instance().KeepAlivePass();
    auto passMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - p0).count();
    if (pass == 0)
      std::printf("[ figures  ] 500 logins: %lld ms; one keep-alive pass: %lld ms\n",
                  (long long)loginMs, (long long)passMs);
    ASSERT_TRUE(WaitFor([&] { return Commands().size() >= 500 * (pass + 1); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the answers come in
  }
  EXPECT_EQ(Commands().size(), 1500u);
  EXPECT_EQ(CLibrary::Instance().SessionCount(), 500u);
  EXPECT_EQ(QNVNet_DevLogout(ids[10]), 0u);
  uint32_t again = 0;
  EXPECT_EQ(QNVNet_DevLogin(&again, "127.0.0.1", sim->Port(), "admin", "admin"), 0u);
}

}  // namespace
}  // namespace qnv
