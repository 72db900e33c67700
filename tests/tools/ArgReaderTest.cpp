#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qnvtools/CArgReader.h"

namespace {

// argv as a program gets it, over strings that outlive the reader.
struct SArgv {
  explicit SArgv(std::vector<std::string> args) : text(std::move(args)) {
    for (auto& s : text) argv.push_back(s.data());
    argv.push_back(nullptr);
  }
  int Argc() const { return int(argv.size()) - 1; }
  std::vector<std::string> text;
  std::vector<char*> argv;
};

TEST(ArgReaderTest, WalksOptionsValuesAndPositionals) {
  // A value may look like an option; after taking one the option is still
  // the current argument, and the walk goes on after the value.
  SArgv in({"prog", "--port", "-5", "pos", "--", "--x=1"});
  qnvtools::CArgReader args(in.Argc(), in.argv.data(), "prog");
  std::vector<std::string> seen;
  std::string value;
  while (args.Next()) {
    if (args.Arg() == "--port") {
      ASSERT_TRUE(args.Value(value));
      EXPECT_EQ(value, "-5");
      EXPECT_EQ(args.Arg(), "--port");
    }
    seen.push_back(args.Arg());
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"--port", "pos", "--", "--x=1"}));
  EXPECT_FALSE(args.Next());
}

TEST(ArgReaderTest, MissingValue) {
  SArgv in({"prog", "--camera"});
  qnvtools::CArgReader args(in.Argc(), in.argv.data(), "prog");
  ASSERT_TRUE(args.Next());
  std::string value = "stale";
  EXPECT_FALSE(args.Value(value));
  EXPECT_EQ(value, "");
  EXPECT_FALSE(args.Next());

  SArgv none({"prog"});
  qnvtools::CArgReader empty(none.Argc(), none.argv.data(), "prog");
  EXPECT_FALSE(empty.Next());

  // The soak runs' and benchmarks' answer: the option named, exit status 2.
  qnvtools::CArgReader exits(in.Argc(), in.argv.data(), "qnv-soak");
  ASSERT_TRUE(exits.Next());
  EXPECT_EXIT(exits.ValueOrExit(), testing::ExitedWithCode(2), "qnv-soak: --camera needs a value");
}

}  // namespace
