// Shared set-up for the qnvctl tests: a simulated device streaming the sample
// clip in this process, a scratch directory, and a way to run the qnvctl
// binary against the device as a child process.
#ifndef QNV_TESTS_QNVCTL_QNVCTLFIXTURE_H
#define QNV_TESTS_QNVCTL_QNVCTLFIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "MiniJson.h"
#include "devsim/Simulator.h"

namespace qnvtest {

class QnvctlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qnv::devsim::SimulatorOptions options;
    options.clipPath = QNV_SAMPLE_CLIP;
    sim = std::make_unique<qnv::devsim::Simulator>(options);
    ASSERT_TRUE(sim->Start()) << sim->LastError();
    std::string pattern = (std::filesystem::temp_directory_path() / "qnvctl-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
  }
  void TearDown() override {
    sim.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }

  // qnvctl ARGS --port <the simulator's port>.
  ChildResult Qnvctl(std::vector<std::string> args, int timeoutMs = 30000,
                     const std::map<std::string, std::string>& env = {}) {
    args.insert(args.begin(), QNVCTL_PATH);
    args.push_back("--port");
    args.push_back(std::to_string(sim->Port()));
    return ChildProcess::Run(args, timeoutMs, env);
  }
  std::vector<std::string> Command(std::vector<std::string> args) {
    args.insert(args.begin(), QNVCTL_PATH);
    args.push_back("--port");
    args.push_back(std::to_string(sim->Port()));
    return args;
  }

  std::string Path(const std::string& name) const { return (dir / name).string(); }

  static void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  }
  static std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  }
  static std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
    std::vector<uint8_t> v(size);
    for (auto& b : v) b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
    return v;
  }

  // The one JSON object on stdout.
  static JsonValue Json(const std::string& out) {
    JsonValue v;
    std::string error;
    EXPECT_TRUE(ParseJson(out, v, error)) << error << " in: " << out;
    return v;
  }
  static double Number(const JsonValue& v, const std::string& key) {
    const JsonValue* m = v.Get(key);
    EXPECT_TRUE(m && m->type == JsonValue::kNumber) << key;
    return m && m->type == JsonValue::kNumber ? m->number : -1;
  }
  static std::string Text(const JsonValue& v, const std::string& key) {
    const JsonValue* m = v.Get(key);
    EXPECT_TRUE(m && m->type == JsonValue::kString) << key;
    return m && m->type == JsonValue::kString ? m->text : "";
  }
  static bool Flag(const JsonValue& v, const std::string& key) {
    const JsonValue* m = v.Get(key);
    EXPECT_TRUE(m && m->type == JsonValue::kBool) << key;
    return m && m->boolean;
  }
  template <typename Pred>
  static bool WaitUntil(Pred pred, int timeoutMs = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }
  static size_t Lines(const std::string& text) {
    size_t n = 0;
    for (char c : text) n += c == '\n';
    return n;
  }

  std::unique_ptr<qnv::devsim::Simulator> sim;
  std::filesystem::path dir;
};

}  // namespace qnvtest

#endif  // QNV_TESTS_QNVCTL_QNVCTLFIXTURE_H
