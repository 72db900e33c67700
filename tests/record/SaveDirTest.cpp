#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <thread>

#include "SaveTestSupport.h"
#include "record/SaveDir.h"

namespace qnv {
namespace {

using test::DebugCapture;
using test::ScratchDir;

TEST(SaveDir, DirExistsTellsDirectoriesFromFilesAndMissingPaths) {
  ScratchDir dir;
  test::WriteFile(dir / "file", "x");
  EXPECT_TRUE(DirExists(dir.path()));
  EXPECT_TRUE(DirExists(dir.path() + "/"));
  EXPECT_TRUE(DirExists("/"));
  EXPECT_FALSE(DirExists(dir / "file"));
  EXPECT_FALSE(DirExists(dir / "missing"));
  EXPECT_FALSE(DirExists(""));
}

TEST(SaveDir, CreatesNestedMissingLevelsWithAndWithoutTrailingSlash) {
  ScratchDir dir;
  testing::internal::CaptureStderr();
  EXPECT_TRUE(CreateDirs(dir / "video/2010/cam1/"));
  EXPECT_TRUE(CreateDirs(dir / "video/new"));
  EXPECT_TRUE(CreateDirs(dir / "video//double//slash"));
  EXPECT_TRUE(CreateDirs(dir / "video/new"));  // already there
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(DirExists(dir / "video/2010/cam1"));
  EXPECT_TRUE(DirExists(dir / "video/new"));
  EXPECT_TRUE(DirExists(dir / "video/double/slash"));
}

TEST(SaveDir, RootAndRelativePaths) {
  ScratchDir dir;
  EXPECT_TRUE(CreateDirs("/"));
  test::WorkingDir cwd(dir.path());
  EXPECT_TRUE(CreateDirs("rel/a/b"));
  EXPECT_TRUE(CreateDirs("./rel/c/"));
  EXPECT_TRUE(DirExists(dir / "rel/a/b"));
  EXPECT_TRUE(DirExists(dir / "rel/c"));
}

TEST(SaveDir, FileInTheWayFailsWithTheSystemsTextOnStderrAndDebugChannel) {
  ScratchDir dir;
  test::WriteFile(dir / "file", "x");
  DebugCapture debug;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(CreateDirs(dir / "file/sub/deeper"));
  EXPECT_FALSE(CreateDirs(dir / "file"));
  std::string err = testing::internal::GetCapturedStderr();
  std::string text = std::strerror(EEXIST);
  EXPECT_NE(err.find(text), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << "one line per failure: " << err;
  ASSERT_EQ(debug.lines().size(), 2u);
  EXPECT_NE(debug.lines()[0].find(text), std::string::npos);
  EXPECT_FALSE(test::Exists(dir / "file/sub"));
}

TEST(SaveDir, LevelsMadeBeforeAFailureStay) {
  ScratchDir dir;
  std::string tooLong(300, 'n');
  testing::internal::CaptureStderr();
  EXPECT_FALSE(CreateDirs(dir / ("a/b/" + tooLong + "/c")));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find(std::strerror(ENAMETOOLONG)), std::string::npos) << err;
  EXPECT_TRUE(DirExists(dir / "a/b"));
}

TEST(SaveDir, EmptyPathFails) {
  DebugCapture debug;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(CreateDirs(""));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find(std::strerror(ENOENT)), std::string::npos) << err;
  EXPECT_EQ(debug.lines().size(), 1u);
}

TEST(SaveDir, ConcurrentCreationOfOnePathSucceedsForBoth) {
  ScratchDir dir;
  for (int round = 0; round < 20; ++round) {
    std::string path = dir / ("r" + std::to_string(round) + "/x/y/z");
    bool a = false, b = false;
    std::thread t([&] { a = CreateDirs(path); });
    b = CreateDirs(path);
    t.join();
    EXPECT_TRUE(a);
    EXPECT_TRUE(b);
  }
}

TEST(SaveDir, SystemErrorTextFollowsErrno) {
  errno = ENOENT;
  EXPECT_EQ(SystemErrorText(), std::strerror(ENOENT));
  EXPECT_EQ(errno, ENOENT);
  errno = 0;
  EXPECT_EQ(SystemErrorText(), "");
}

}  // namespace
}  // namespace qnv
