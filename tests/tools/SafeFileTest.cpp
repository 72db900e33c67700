// The one opener for files in folders others may write to: links, FIFOs and
// other special files planted anywhere on the path fail at once.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "qnvtools/SafeFile.h"

namespace qnvtools {
namespace {

class SafeFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/qnv-safefile-XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    root = templ;
    ASSERT_EQ(::mkdir((root + "/cam").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((root + "/elsewhere").c_str(), 0700), 0);
    Write(root + "/cam/a.dat", "abc");
    Write(root + "/elsewhere/secret", "xyz");
    rootFd = UniqueFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(rootFd.Valid());
  }
  void TearDown() override {
    rootFd = UniqueFd();
    std::system(("rm -rf '" + root + "'").c_str());
  }
  static void Write(const std::string& path, const std::string& text) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    ASSERT_TRUE(fd.Valid());
    ASSERT_EQ(::write(fd.Get(), text.data(), text.size()), ssize_t(text.size()));
  }
  // Opens and says how long it took: nothing here may wait.
  int ErrnoOf(const std::string& relative, int flags) {
    const auto start = std::chrono::steady_clock::now();
    UniqueFd fd = OpenRegularAt(rootFd.Get(), relative, flags);
    const int err = fd.Valid() ? 0 : errno;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << relative;
    UniqueFd whole = OpenRegular(root + "/" + relative, flags);
    (void)whole;
    return err;
  }

  std::string root;
  UniqueFd rootFd;
};

TEST_F(SafeFile, RegularFilesOpenAndComeBackBlocking) {
  UniqueFd fd = OpenRegularAt(rootFd.Get(), "cam/a.dat", O_RDONLY);
  ASSERT_TRUE(fd.Valid());
  EXPECT_EQ(::fcntl(fd.Get(), F_GETFL) & O_NONBLOCK, 0);
  EXPECT_NE(::fcntl(fd.Get(), F_GETFD) & FD_CLOEXEC, 0);
  UniqueFd made = OpenRegularAt(rootFd.Get(), "cam/new.dat", O_WRONLY | O_CREAT | O_EXCL);
  EXPECT_TRUE(made.Valid());
  EXPECT_TRUE(OpenRegular(root + "/cam/a.dat", O_RDONLY).Valid());
}

TEST_F(SafeFile, PlantedLinksFifosAndFoldersFailAtOnce) {
  ASSERT_EQ(::symlink((root + "/elsewhere/secret").c_str(), (root + "/cam/link.dat").c_str()), 0);
  ASSERT_EQ(::symlink((root + "/elsewhere").c_str(), (root + "/cam/day").c_str()), 0);
  ASSERT_EQ(::mkfifo((root + "/cam/fifo.dat").c_str(), 0600), 0);
  ASSERT_EQ(::mkdir((root + "/cam/dir.dat").c_str(), 0700), 0);
  EXPECT_EQ(ErrnoOf("cam/link.dat", O_RDONLY), ELOOP);
  EXPECT_EQ(ErrnoOf("cam/day/secret", O_RDONLY), ENOTDIR);  // a link is no folder here
  EXPECT_EQ(ErrnoOf("cam/fifo.dat", O_RDONLY), ENXIO);
  EXPECT_EQ(ErrnoOf("cam/fifo.dat", O_WRONLY | O_APPEND | O_CREAT), ENXIO);
  EXPECT_EQ(ErrnoOf("cam/dir.dat", O_RDONLY), ENXIO);
  // A link is not followed even to create a file at its target.
  EXPECT_EQ(ErrnoOf("cam/link.dat", O_WRONLY | O_CREAT | O_TRUNC), ELOOP);
  EXPECT_EQ(OpenRegularAt(rootFd.Get(), "../etc/passwd", O_RDONLY).Valid(), false);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_FALSE(OpenRegularAt(rootFd.Get(), "/etc/passwd", O_RDONLY).Valid());
  EXPECT_FALSE(OpenRegularAt(rootFd.Get(), "cam//a.dat", O_RDONLY).Valid());
}

}  // namespace
}  // namespace qnvtools
