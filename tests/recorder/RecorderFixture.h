// RecorderFixture: qnv-recorder as a child process against simulated devices
// on 127.0.0.1, in a temporary folder of its own, and what the tests read
// back from the segments it wrote. One test at a time per fixture object.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "devsim/Simulator.h"
#include "qnvctl/ChildProcess.h"
#include "qnvrecording/CRecordingReader.h"

namespace qnvrectest {

namespace fs = std::filesystem;
using qnvtest::ChildProcess;
using qnvtest::ChildResult;

inline constexpr size_t kStreamIdOffset = 8;
inline constexpr size_t kCaptureOffset = 16;

struct SSegmentFrames {
  std::string path;
  bool consistent = false;
  size_t frames = 0;
  uint32_t firstStream = 0, lastStream = 0;
  uint32_t firstCounter = 0, lastCounter = 0;
  uint64_t firstTime = 0, lastTime = 0;
  // Killed while handing over to a segment that has no frame yet: its files
  // may end without the index records of its last frames.
  bool mayBeUnfinished = false;
};

inline uint64_t Le64(const uint8_t* p) {
  return QnvLoadLe32(p) | uint64_t(QnvLoadLe32(p + 4)) << 32;
}

// The segments of a camera, oldest first, with what each begins and ends with.
inline std::vector<SSegmentFrames> Segments(const fs::path& root, const std::string& camera) {
  std::vector<std::string> paths;
  for (const auto& day : fs::directory_iterator(root / camera)) {
    if (!day.is_directory()) continue;  // the folder's claim file
    for (const auto& f : fs::directory_iterator(day.path())) {
      if (f.path().extension() == ".qnv") paths.push_back(f.path().string());
    }
  }
  // In the order they were made: a stem's suffixed names ("-1", "-2") come
  // after the plain one, which a plain sort puts last ('-' < '.').
  const auto order = [](const std::string& p) {
    const fs::path path(p);
    const std::string stem = path.stem().string();
    const size_t dash = stem.find('-');
    const long suffix =
        dash == std::string::npos ? -1 : std::strtol(stem.c_str() + dash + 1, nullptr, 10);
    return std::make_tuple(path.parent_path().string(), stem.substr(0, dash), suffix);
  };
  std::sort(paths.begin(), paths.end(),
            [&](const std::string& a, const std::string& b) { return order(a) < order(b); });
  std::vector<SSegmentFrames> list;
  for (const std::string& p : paths) {
    qnvrec::CRecordingReader reader;
    std::string error;
    SSegmentFrames s;
    s.path = p;
    if (reader.Open(p, qnvrec::IndexPathFor(p), error) && reader.FrameCount() > 0) {
      s.consistent = reader.Summary().Consistent();
      s.frames = reader.FrameCount();
      // The first and the last kept record, straight from the index file.
      std::ifstream index(qnvrec::IndexPathFor(p), std::ios::binary);
      std::vector<char> bytes((std::istreambuf_iterator<char>(index)), {});
      const size_t lastAt = (s.frames - 1) * qnvrec::SIndexRecord::kSize;
      EXPECT_GE(bytes.size(), lastAt + qnvrec::SIndexRecord::kSize) << p;
      bytes.resize(std::max(bytes.size(), lastAt + qnvrec::SIndexRecord::kSize));
      const uint8_t* first = reinterpret_cast<const uint8_t*>(bytes.data());
      const uint8_t* last = first + lastAt;
      s.firstStream = QnvLoadLe32(first + kStreamIdOffset);
      s.lastStream = QnvLoadLe32(last + kStreamIdOffset);
      s.firstCounter = QnvLoadLe32(first);
      s.lastCounter = QnvLoadLe32(last);
      s.firstTime = Le64(first + kCaptureOffset);
      s.lastTime = Le64(last + kCaptureOffset);
    }
    list.push_back(s);
  }
  return list;
}

// Leaves out what a kill left being written: the newest segment and, when
// that one had no frame yet (a hand-over waiting for its group of pictures),
// lets the one handing over end unfinished.
inline void DropKilledTail(std::vector<SSegmentFrames>& segments) {
  if (segments.empty()) return;
  const bool handingOver = segments.back().frames == 0;
  segments.pop_back();
  if (handingOver && !segments.empty()) segments.back().mayBeUnfinished = true;
}

// Consecutive segments of one stream continue each other: the next frame
// counter, and a capture time one picture later (a picture's parameter sets
// share its time, so one left at the end of the earlier segment shows).
inline void ExpectAbutting(const std::vector<SSegmentFrames>& segments, size_t& boundaries) {
  for (size_t i = 0; i < segments.size(); ++i) {
    EXPECT_TRUE(segments[i].consistent || segments[i].mayBeUnfinished) << segments[i].path;
    if (i == 0 || segments[i].firstStream != segments[i - 1].lastStream) continue;
    ++boundaries;
    EXPECT_EQ(segments[i].firstCounter, segments[i - 1].lastCounter + 1) << segments[i].path;
    EXPECT_GT(segments[i].firstTime, segments[i - 1].lastTime) << segments[i].path;
    EXPECT_LE(segments[i].firstTime - segments[i - 1].lastTime, 100000u) << segments[i].path;
  }
}

inline int64_t MsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t)
      .count();
}

inline size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A temporary folder of the test's own, removed with everything in it.
struct STempDir {
  explicit STempDir(const std::string& name) {
    std::string pattern = "/tmp/qnvrec-" + name + "-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) path = pattern;
  }
  ~STempDir() {
    if (!path.empty()) fs::remove_all(path);
  }
  STempDir(const STempDir&) = delete;
  STempDir& operator=(const STempDir&) = delete;
  fs::path path;  // empty when it could not be made
};

// A fresh, empty folder for the running test: PREFIX-PID-TEST under the
// temporary folder (whatever an earlier run left there is removed first).
inline fs::path FreshTestDir(const std::string& prefix) {
  const fs::path dir =
      fs::temp_directory_path() / (prefix + "-" + std::to_string(getpid()) + "-" +
                                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

// The [storage] section of a root with segments of the given length.
inline std::string StorageSection(const fs::path& root, int segmentSeconds) {
  return "[storage]\nroot = \"" + root.string() +
         "\"\nsegment_seconds = " + std::to_string(segmentSeconds) + "\n";
}

class RecorderService : public ::testing::Test {
 protected:
  void SetUp() override { m_dir = FreshTestDir("qnvrec"); }
  void TearDown() override {
    m_recorder.reset();
    fs::remove_all(m_dir);
  }

  qnv::devsim::Simulator& AddDevice(qnv::devsim::SimulatorOptions options = {}) {
    options.syntheticGop = 25;
    m_devices.push_back(std::make_unique<qnv::devsim::Simulator>(options));
    EXPECT_TRUE(m_devices.back()->Start()) << m_devices.back()->LastError();
    return *m_devices.back();
  }

  std::string Camera(const std::string& name, uint16_t port, const std::string& extra = "") {
    return "[[camera]]\nname = \"" + name +
           "\"\nhost = \"127.0.0.1\"\nport = " + std::to_string(port) +
           "\npassword_env = \"QNVREC_PW\"\n" + extra + "\n";
  }

  void StartRecorder(const std::string& config, std::map<std::string, std::string> env = {}) {
    std::ofstream(m_dir / "recorder.toml") << config;
    m_recorder = std::make_unique<ChildProcess>();
    env.emplace("QNVREC_PW", "admin");
    env.emplace("JOURNAL_STREAM", "");
    ASSERT_TRUE(m_recorder->Start(
        {QNV_RECORDER_PATH, "--config", (m_dir / "recorder.toml").string()}, env));
  }

  // The RTSP port the recorder logged it serves on (0 when it did not).
  uint16_t RtspPort() {
    if (!m_recorder->WaitForStderr("serving on port ", 10000)) return 0;
    const std::string& err = m_recorder->Stderr();
    return static_cast<uint16_t>(std::stoi(err.substr(err.find("serving on port ") + 16, 5)));
  }

  // Waits until `what` appears at least n times on the recorder's stderr.
  bool WaitCount(const std::string& what, size_t n, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Count(m_recorder->Stderr(), what) < n) {
      if (std::chrono::steady_clock::now() >= end) return false;
      m_recorder->WaitForStderr("\x01", 100);  // reads what arrives meanwhile
    }
    return true;
  }

  ChildResult Terminate() {
    m_recorder->Signal(SIGTERM);
    return m_recorder->Finish(20000);
  }

  fs::path m_dir;
  std::vector<std::unique_ptr<qnv::devsim::Simulator>> m_devices;
  std::unique_ptr<ChildProcess> m_recorder;
};

// The tool's path, or "" when it is not installed.
inline std::string Tool(const std::string& name) {
  const ChildResult r = ChildProcess::Run({"/bin/sh", "-c", "command -v " + name});
  return r.exitCode == 0 ? r.out.substr(0, r.out.find('\n')) : "";
}

}  // namespace qnvrectest
