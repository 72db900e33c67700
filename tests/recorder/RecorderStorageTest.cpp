// Retention choices and the configuration's password rules.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "config/Config.h"
#include "storage/Storage.h"

namespace fs = std::filesystem;
using namespace qnvrecorder;

namespace {

std::vector<std::string> Removed(const SRetentionPlan& plan) {
  std::vector<std::string> keys;
  for (const SSegment* s : plan.remove) keys.push_back(s->camera + ":" + s->key);
  return keys;
}

}  // namespace

TEST(RecorderRetention, OldestFirstByAgeCameraAndOverallNeverOpen) {
  const time_t now = 1000000;
  // a: three segments of 100 bytes, the first 3 days old; b: three of 100.
  std::vector<SSegment> segments = {
      {"a", "2026-01-01/000000", "/r/a/2026-01-01/000000", 100, now - 3 * 86400},
      {"b", "2026-01-01/000001", "/r/b/2026-01-01/000001", 100, now - 100},
      {"a", "2026-01-02/000000", "/r/a/2026-01-02/000000", 100, now - 100},
      {"b", "2026-01-02/000001", "/r/b/2026-01-02/000001", 100, now - 50},
      {"a", "2026-01-03/000000", "/r/a/2026-01-03/000000", 100, now - 10},
      {"b", "2026-01-03/000001", "/r/b/2026-01-03/000001", 100, now},
  };
  // Age: only a's first goes (2 days); b has no age limit of its own.
  std::map<std::string, SRetentionLimits> cams = {{"a", {2, 0}}, {"b", {0, 0}}};
  EXPECT_EQ(Removed(PlanRetention(segments, cams, {}, 0, {}, now)),
            (std::vector<std::string>{"a:2026-01-01/000000"}));
  // Camera budget: b keeps 150 bytes -> its two oldest go, a is untouched.
  cams["b"].keepBytes = 150;
  cams["a"].keepDays = 0;
  EXPECT_EQ(Removed(PlanRetention(segments, cams, {}, 0, {}, now)),
            (std::vector<std::string>{"b:2026-01-01/000001", "b:2026-01-02/000001"}));
  // Overall 350 bytes: the oldest across cameras until under, skipping the
  // open segment (b's first).
  cams["b"].keepBytes = 0;
  EXPECT_EQ(Removed(PlanRetention(segments, cams, {}, 350, {"/r/b/2026-01-01/000001"}, now)),
            (std::vector<std::string>{"a:2026-01-01/000000", "a:2026-01-02/000000",
                                      "b:2026-01-02/000001"}));
  // Nothing over any limit: nothing goes.
  EXPECT_TRUE(PlanRetention(segments, cams, {}, 600, {}, now).remove.empty());
}

TEST(RecorderRetention, ListsSegmentsWithTheirFilesAndRemovesThem) {
  const fs::path root = fs::temp_directory_path() / ("qnvrec-list-" + std::to_string(getpid()));
  fs::remove_all(root);
  auto put = [&](const std::string& rel, size_t bytes) {
    fs::create_directories((root / rel).parent_path());
    std::ofstream(root / rel) << std::string(bytes, 'x');
  };
  put("cam/2026-01-02/000000.qnv", 10);
  put("cam/2026-01-02/000000.idx", 5);
  put("cam/2026-01-02/000000.mp4", 7);
  put("cam/2026-01-01/235959.qnv", 3);
  put("cam/2026-01-01/notes.txt", 1);  // not a segment file
  put("cam/other/000000.qnv", 1);      // not a date folder
  std::vector<SSegment> list = ListSegments(root.string());
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].key, "2026-01-01/235959");
  EXPECT_EQ(list[1].key, "2026-01-02/000000");
  EXPECT_EQ(list[1].bytes, 22u);
  EXPECT_EQ(RemoveSegment(list[1]), 22u);
  EXPECT_FALSE(fs::exists(root / "cam/2026-01-02"));  // its emptied date folder too
  EXPECT_TRUE(fs::exists(root / "cam/2026-01-01/notes.txt"));
  fs::remove_all(root);
}

TEST(RecorderConfig, PasswordsOnlyFromEnvironmentOrOwnerOnlyFile) {
  const fs::path dir = fs::temp_directory_path() / ("qnvrec-cfg-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string pw = (dir / "pw").string();
  std::ofstream(pw) << "secret\n";
  auto load = [&](const std::string& camera, std::string& error) {
    std::ofstream(dir / "c.toml") << "[rtsp]\n[[camera]]\nname = \"c\"\nhost = \"127.0.0.1\"\n"
                                  << camera << "\n";
    SConfig config;
    const bool ok = LoadConfig((dir / "c.toml").string(), config, error);
    return ok ? config.cameras.at(0).password : std::string("(refused)");
  };
  std::string error;
  EXPECT_EQ(load("password = \"x\"", error), "(refused)");
  EXPECT_NE(error.find("password_env"), std::string::npos) << error;
  ::chmod(pw.c_str(), 0644);
  EXPECT_EQ(load("password_file = \"" + pw + "\"", error), "(refused)");
  EXPECT_NE(error.find("chmod 600"), std::string::npos) << error;
  ::chmod(pw.c_str(), 0600);
  EXPECT_EQ(load("password_file = \"" + pw + "\"", error), "secret") << error;
  ::unsetenv("QNVREC_TEST_PW");
  EXPECT_EQ(load("password_env = \"QNVREC_TEST_PW\"", error), "(refused)");
  EXPECT_NE(error.find("not set"), std::string::npos) << error;
  ::setenv("QNVREC_TEST_PW", "pw2", 1);
  EXPECT_EQ(load("password_env = \"QNVREC_TEST_PW\"", error), "pw2") << error;
  EXPECT_EQ(load("pasword_env = \"QNVREC_TEST_PW\"", error), "(refused)");  // a typo
  EXPECT_NE(error.find("unknown key"), std::string::npos) << error;
  fs::remove_all(dir);
}
