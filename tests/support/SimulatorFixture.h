// Shared set-up for end-to-end tests: a device simulator on 127.0.0.1 in this
// process, the library started, and callbacks that count what reaches them.
#ifndef QNV_TESTS_SIMULATORFIXTURE_H
#define QNV_TESTS_SIMULATORFIXTURE_H

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QNVNetSdk.h"
#include "devsim/Simulator.h"

namespace qnv::test {

struct DisconnectEvent {
  uint32_t clientId;
  std::string ip;
  uint16_t port;
  uint32_t user;
};

struct CallbackLog {
  std::mutex mutex;
  std::vector<DisconnectEvent> disconnects;
  std::atomic<uint64_t> frames{0};
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex);
    disconnects.clear();
    frames = 0;
  }
  std::vector<DisconnectEvent> Disconnects() {
    std::lock_guard<std::mutex> lock(mutex);
    return disconnects;
  }
};

inline CallbackLog& Log() {
  static CallbackLog log;
  return log;
}

inline bool RecordDisconnect(uint32_t clientId, char* ip, uint16_t port, uint32_t user) {
  std::lock_guard<std::mutex> lock(Log().mutex);
  Log().disconnects.push_back({clientId, ip ? ip : "", port, user});
  return true;
}

class SimulatorTest : public ::testing::Test {
 protected:
  virtual devsim::SimulatorOptions Options() { return {}; }
  void SetUp() override {
    Log().Clear();
    sim = std::make_unique<devsim::Simulator>(Options());
    ASSERT_TRUE(sim->Start()) << sim->LastError();
    QNVNet_SetCallback(nullptr, nullptr, &RecordDisconnect, 0x5EED);
    ASSERT_EQ(QNVNet_InitLib(), 0u);
  }
  void TearDown() override {
    QNVNet_UnInitLib();
    QNVNet_SetCallback(nullptr, nullptr, nullptr, 0);
    sim.reset();
  }
  uint32_t Login(const char* user = "admin", const char* password = "admin") {
    uint32_t id = 0;
    EXPECT_EQ(QNVNet_DevLogin(&id, "127.0.0.1", sim->Port(), user, password), 0u);
    return id;
  }
  // Requests logged since the last ClearRequests, command connections only.
  std::vector<devsim::LoggedRequest> Commands() {
    std::vector<devsim::LoggedRequest> out;
    for (auto& r : sim->Requests())
      if (!r.stream) out.push_back(r);
    return out;
  }
  template <typename Pred>
  static bool WaitFor(Pred pred, int timeoutMs = 3000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  std::unique_ptr<devsim::Simulator> sim;
};

}  // namespace qnv::test

#endif  // QNV_TESTS_SIMULATORFIXTURE_H
