#include <gtest/gtest.h>

#include "record/SavePath.h"

namespace qnv {
namespace {

TEST(SavePath, SplitsIntoDirectoryNameAndExtension) {
  SSplitPath p = SplitPath("/video/2010/cam1.2024.dat");
  EXPECT_EQ(p.drive, "");
  EXPECT_EQ(p.dir, "/video/2010/");
  EXPECT_EQ(p.name, "cam1.2024");
  EXPECT_EQ(p.ext, ".dat");
  EXPECT_EQ(p.drive + p.dir + p.name + p.ext, "/video/2010/cam1.2024.dat");

  p = SplitPath("/v.d/cam1");
  EXPECT_EQ(p.dir, "/v.d/");
  EXPECT_EQ(p.name, "cam1");
  EXPECT_EQ(p.ext, "");

  p = SplitPath("/v/");
  EXPECT_EQ(p.dir, "/v/");
  EXPECT_EQ(p.name + p.ext, "");
}

TEST(SavePath, IndexPathReplacesOnlyTheFinalExtension) {
  EXPECT_EQ(IndexPathFor("/v/cam1.dat"), "/v/cam1.idx");
  EXPECT_EQ(IndexPathFor("/v/cam1"), "/v/cam1.idx");
  EXPECT_EQ(IndexPathFor("/v/cam1.2024.dat"), "/v/cam1.2024.idx");
  EXPECT_EQ(IndexPathFor("cam1.dat"), "cam1.idx");
  EXPECT_EQ(IndexPathFor("/v.2024/cam1"), "/v.2024/cam1.idx");
  EXPECT_EQ(IndexPathFor("rel.d/cam1."), "rel.d/cam1.idx");
  EXPECT_EQ(IndexPathFor("/v/cam1.idx"), "/v/cam1.idx");
}

}  // namespace
}  // namespace qnv
