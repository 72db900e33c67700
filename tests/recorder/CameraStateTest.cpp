// A camera's one state, in-process against a simulated device: down is said
// the moment the library reports the loss (before the channel's slow close),
// and "since" is the outage's start through reason changes and brief
// reconnects, with the failed attempts of the outage counted.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cameras/CCamera.h"
#include "devsim/Simulator.h"
#include "qnvnet.h"

namespace qnvrecorder {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Routes the library's callbacks to the camera and notes what it says, with
// the time the library reported each loss.
class CTestHost : public ICameraHost {
 public:
  CTestHost() {
    qnvnet_set_stream_callback(&OnStream, this);
    qnvnet_set_disconnect_callback(&OnLoss, this);
    EXPECT_EQ(qnvnet_init(), QNVNET_SUCCESS);
  }
  ~CTestHost() override {
    qnvnet_uninit();
    qnvnet_set_stream_callback(nullptr, nullptr);
    qnvnet_set_disconnect_callback(nullptr, nullptr);
  }

  void Route(uint32_t clientId, CCamera* camera) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_clientId = camera ? clientId : 0;
    m_camera = camera;
  }
  void SegmentOpened(const CCamera&, const SSegment&, bool) override {}
  void SegmentClosed(const CCamera&, const SSegment&) override {}
  void SegmentDiscarded(const CCamera&, const SSegment&) override {}
  void Alarm(const CCamera&, const qnvnet_alarm&, int64_t) override {}
  void StateChanged(const CCamera&, const SCameraStatus& status) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_states.push_back({Clock::now(), status});
    m_changed.notify_all();
  }
  void CheckDiskSoon() override {}

  struct SState {
    Clock::time_point at;
    SCameraStatus status;
  };
  // The first state change after `from` that pred accepts.
  template <typename Pred>
  bool WaitState(size_t from, Pred pred, int ms, SState& found) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, milliseconds(ms), [&] {
      for (size_t i = from; i < m_states.size(); ++i) {
        if (pred(m_states[i].status)) {
          found = m_states[i];
          return true;
        }
      }
      return false;
    });
  }
  size_t StateCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_states.size();
  }
  Clock::time_point LossAt() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lossAt;
  }

 private:
  static void OnStream(void* user, uint32_t clientId, const char*, uint16_t, const uint8_t* frame,
                       int32_t length) {
    auto* self = static_cast<CTestHost*>(user);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    if (self->m_camera && clientId == self->m_clientId) self->m_camera->OnFrame(frame, length);
  }
  static void OnLoss(void* user, uint32_t clientId, const char*, uint16_t port) {
    auto* self = static_cast<CTestHost*>(user);
    CCamera* camera = nullptr;
    {
      std::lock_guard<std::mutex> lock(self->m_mutex);
      if (clientId != self->m_clientId) return;
      if (self->m_lossAt == Clock::time_point{}) self->m_lossAt = Clock::now();
      camera = self->m_camera;
    }
    if (camera) camera->OnDisconnect(port);
  }

  std::mutex m_mutex;
  std::condition_variable m_changed;
  uint32_t m_clientId = 0;
  CCamera* m_camera = nullptr;
  std::vector<SState> m_states;
  Clock::time_point m_lossAt{};
};

SCameraConfig CameraOn(uint16_t port, double stallSeconds) {
  SCameraConfig c;
  c.name = "cam";
  c.host = "127.0.0.1";
  c.port = port;
  c.password = "admin";
  c.stallSeconds = stallSeconds;
  return c;
}

bool Up(const SCameraStatus& s) { return s.state == "connected" || s.state == "recording"; }
bool Down(const SCameraStatus& s) { return s.state == "down"; }

TEST(CameraState, DownIsSaidWhenTheLossIsReportedBeforeTheChannelCloses) {
  // A device frozen whole: the stream stalls after 1 s; closing its channel
  // then waits for an answer that never comes (the command time-out).
  qnv::devsim::Simulator sim;
  ASSERT_TRUE(sim.Start()) << sim.LastError();
  CTestHost host;
  CCamera camera(CameraOn(sim.Port(), 1), {}, nullptr, nullptr, host);
  camera.Start();
  CTestHost::SState state;
  ASSERT_TRUE(host.WaitState(0, Up, 10000, state));
  const size_t before = host.StateCount();
  sim.Freeze(qnv::devsim::FreezeScope::kDevice);
  ASSERT_TRUE(host.WaitState(before, Down, 10000, state));
  const Clock::time_point lossAt = host.LossAt();
  ASSERT_NE(lossAt, Clock::time_point{});
  const double ms = std::chrono::duration<double, std::milli>(state.at - lossAt).count();
  EXPECT_LT(ms, 1000.0) << "down was said " << ms << " ms after the library's report";
  EXPECT_EQ(state.status.fault.kind, EFault::kStalled) << state.status.fault.text;
  EXPECT_EQ(camera.Status().state, "down");
  sim.Thaw();
  camera.Stop();
}

TEST(CameraState, SinceIsTheOutagesStartThroughReasonChangesAndBriefReconnects) {
  qnv::devsim::SimulatorOptions options;
  auto sim = std::make_unique<qnv::devsim::Simulator>(options);
  ASSERT_TRUE(sim->Start()) << sim->LastError();
  options.port = sim->Port();
  CTestHost host;
  CCamera camera(CameraOn(options.port, 10), {}, nullptr, nullptr, host);
  camera.Start();
  CTestHost::SState state;
  ASSERT_TRUE(host.WaitState(0, Up, 10000, state));
  // The device goes: the connection breaks, then every attempt is refused.
  sim.reset();
  ASSERT_TRUE(host.WaitState(0, Down, 10000, state));
  const int64_t outageStart = state.status.sinceUnix;
  size_t seen = host.StateCount();
  ASSERT_TRUE(host.WaitState(
      seen, [](const SCameraStatus& s) { return Down(s) && s.fault.kind == EFault::kRefused; },
      10000, state));
  EXPECT_EQ(state.status.sinceUnix, outageStart);
  // Failed attempts are counted while down.
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (camera.Status().failedAttempts < 2 && Clock::now() < deadline)
    std::this_thread::sleep_for(milliseconds(50));
  EXPECT_GE(camera.Status().failedAttempts, 2u);
  // Back for a moment, then gone again: the same outage.
  sim = std::make_unique<qnv::devsim::Simulator>(options);
  ASSERT_TRUE(sim->Start()) << sim->LastError();
  seen = host.StateCount();
  ASSERT_TRUE(host.WaitState(seen, Up, 30000, state));
  EXPECT_EQ(camera.Status().failedAttempts, 0u);
  seen = host.StateCount();
  sim.reset();
  ASSERT_TRUE(host.WaitState(seen, Down, 10000, state));
  EXPECT_EQ(state.status.sinceUnix, outageStart);
  camera.Stop();
}

}  // namespace
}  // namespace qnvrecorder
