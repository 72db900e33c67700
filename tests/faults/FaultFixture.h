// Shared set-up for the fault-injection suite: a device simulator on
// 127.0.0.1 that misbehaves on demand, the library started with callbacks
// that record what reaches them, and a check that everything the library
// started (threads, descriptors) is gone again after QNVNet_UnInitLib.
#ifndef QNV_TESTS_FAULTS_FAULTFIXTURE_H
#define QNV_TESTS_FAULTS_FAULTFIXTURE_H

#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "QNVNetSdk.h"
#include "devsim/Simulator.h"
#include "platform/Debug.h"
#include "sdk/CLibrary.h"

namespace qnv::test {

// Entries of a /proc/self directory, without the descriptor that reads it.
inline int CountEntries(const char* dir, bool isFdDir) {
  DIR* d = ::opendir(dir);
  if (d == nullptr) return -1;
  int n = 0;
  while (dirent* e = ::readdir(d))
    if (e->d_name[0] != '.') ++n;
  ::closedir(d);
  return isFdDir ? n - 1 : n;
}

struct SResources {
  int threads;
  int descriptors;
  bool operator==(const SResources&) const = default;
};

inline SResources CountResources() {
  return {CountEntries("/proc/self/task", false), CountEntries("/proc/self/fd", true)};
}

inline std::ostream& operator<<(std::ostream& os, const SResources& r) {
  return os << r.threads << " threads, " << r.descriptors << " descriptors";
}

struct SDisconnect {
  uint32_t clientId;
  std::string ip;
  uint16_t port;
  uint32_t user;
  QNVNetLoss loss;  // as QNVNet_GetDisconnectReason gave it inside the callback
  std::chrono::steady_clock::time_point at;
};

// What the host callbacks saw. Static: the callbacks are plain functions.
// Any thread (the library calls back on its own threads).
class CHostLog {
 public:
  static CHostLog& Get() {
    static CHostLog log;
    return log;
  }
  static bool OnDisconnect(uint32_t clientId, char* ip, uint16_t port, uint32_t user) {
    QNVNetLoss loss{};
    QNVNet_GetDisconnectReason(&loss);
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(Get().m_mutex);
    Get().m_disconnects.push_back({clientId, ip != nullptr ? ip : "", port, user, loss, now});
    return true;
  }
  static bool OnFrame(uint32_t, char*, uint16_t, char* frame, int32_t length, uint32_t) {
    // A frame is whole and well-formed when it reaches the host.
    if (length < 40 || std::memcmp(frame + 4, "QNVV", 4) != 0) Get().m_badFrames++;
    Get().m_lastFrameNs.store(std::chrono::steady_clock::now().time_since_epoch().count());
    Get().m_frames++;
    return true;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_disconnects.clear();
    m_frames = 0;
    m_badFrames = 0;
  }
  std::vector<SDisconnect> Disconnects() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_disconnects;
  }
  uint64_t Frames() const { return m_frames.load(); }
  uint64_t BadFrames() const { return m_badFrames.load(); }
  std::chrono::steady_clock::time_point LastFrame() const {
    return std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(m_lastFrameNs.load()));
  }

 private:
  std::mutex m_mutex;
  std::vector<SDisconnect> m_disconnects;
  std::atomic<uint64_t> m_frames{0};
  std::atomic<uint64_t> m_badFrames{0};
  std::atomic<std::chrono::steady_clock::rep> m_lastFrameNs{0};
};

// Lines the library writes to its debug channel. Collected here rather than
// sent to syslog, whose socket would stay open and count as left behind.
// Any thread.
class CDebugLines {
 public:
  static CDebugLines& Get() {
    static CDebugLines lines;
    return lines;
  }
  static void Sink(const char* line) {
    std::lock_guard<std::mutex> lock(Get().m_mutex);
    Get().m_lines.emplace_back(line);
  }
  bool Contains(const std::string& part) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& l : m_lines)
      if (l.find(part) != std::string::npos) return true;
    return false;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.clear();
  }

 private:
  std::mutex m_mutex;
  std::vector<std::string> m_lines;
};

constexpr uint32_t kUserValue = 0xFA17;

template <typename Pred>
bool WaitUntil(Pred pred, int timeoutMs = 3000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class FaultTest : public ::testing::Test {
 protected:
  // A small, fast stream: fault cases need frames, not pictures.
  virtual devsim::SimulatorOptions Options() {
    devsim::SimulatorOptions o;
    o.syntheticWidth = 320;
    o.syntheticHeight = 240;
    o.syntheticBitrate = 300000;
    o.syntheticGop = 10;
    return o;
  }
  // Keep-alives off unless a case asks for them: they share class 2 code 1
  // with a system command and would take its fault.
  virtual uint32_t KeepAlivePeriodMs() { return 3600 * 1000; }

  void SetUp() override {
    CHostLog::Get().Clear();
    CDebugLines::Get().Clear();
    platform::SetDebugSinkForTesting(&CDebugLines::Sink);
    sim = std::make_unique<devsim::Simulator>(Options());
    ASSERT_TRUE(sim->Start()) << sim->LastError();
    // The simulator's thread may still be settling in: wait for two equal
    // readings before taking them as the baseline.
    SResources previous = CountResources();
    for (int i = 0; i < 20; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      baseline = CountResources();
      if (baseline == previous) break;
      previous = baseline;
    }
    QNVNet_SetCallback(nullptr, &CHostLog::OnFrame, &CHostLog::OnDisconnect, kUserValue);
    CLibrary::SetKeepAlivePeriodForTesting(KeepAlivePeriodMs());
    ASSERT_EQ(QNVNet_InitLib(), 0u);
  }

  void TearDown() override {
    EXPECT_EQ(QNVNet_UnInitLib(), 0u);
    QNVNet_SetCallback(nullptr, nullptr, nullptr, 0);
    CLibrary::SetKeepAlivePeriodForTesting(CLibrary::kKeepAlivePeriodMs);
    // The simulator closes its side of each connection when it notices the
    // library's close, so its descriptors may take a moment.
    SResources now;
    WaitUntil([&] { return (now = CountResources()) == baseline; });
    EXPECT_EQ(now, baseline) << "threads or descriptors left behind";
    sim.reset();
    platform::SetDebugSinkForTesting(nullptr);
  }

  uint16_t Port() const { return sim->Port(); }

  uint32_t Login() {
    uint32_t id = 0;
    EXPECT_EQ(QNVNet_DevLogin(&id, "127.0.0.1", Port(), "admin", "admin"), 0u);
    return id;
  }

  uint32_t Open(uint32_t clientId) {
    uint32_t handle = 0;
    EXPECT_EQ(QNVNet_LiveOpen(&handle, clientId, nullptr), 0u);
    return handle;
  }

  // A fresh login and a command work, whatever happened before.
  void ExpectUsable() {
    uint32_t id = 0;
    ASSERT_EQ(QNVNet_DevLogin(&id, "127.0.0.1", Port(), "admin", "admin"), 0u);
    EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), 0u);
    EXPECT_EQ(QNVNet_DevLogout(id), 0u);
  }

  // Reports for one port: the login port for command connections, the login
  // port + 2 for streaming connections.
  static std::vector<SDisconnect> DisconnectsOn(uint16_t port) {
    std::vector<SDisconnect> out;
    for (auto& d : CHostLog::Get().Disconnects())
      if (d.port == port) out.push_back(d);
    return out;
  }

  // The one disconnect report expected on this port, checked for its arguments.
  void ExpectOneDisconnect(uint32_t clientId, uint16_t port) {
    auto d = DisconnectsOn(port);
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].clientId, clientId);
    EXPECT_EQ(d[0].ip, "127.0.0.1");
    EXPECT_EQ(d[0].port, port);
    EXPECT_EQ(d[0].user, kUserValue);
  }

  // Waits until frames keep arriving: at least `more` after the call.
  bool FramesFlow(uint64_t more = 5, int timeoutMs = 5000) {
    const uint64_t from = CHostLog::Get().Frames();
    return WaitUntil([&] { return CHostLog::Get().Frames() >= from + more; }, timeoutMs);
  }

  std::unique_ptr<devsim::Simulator> sim;
  SResources baseline{};
};

}  // namespace qnv::test

#endif  // QNV_TESTS_FAULTS_FAULTFIXTURE_H
