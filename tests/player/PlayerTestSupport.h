// Shared pieces of the player's API tests: feeding clip units to a port and
// checking a captured file against the clip.
#ifndef QNV_TESTS_PLAYER_PLAYERTESTSUPPORT_H
#define QNV_TESTS_PLAYER_PLAYERTESTSUPPORT_H

#include <gtest/gtest.h>

#include <string>

#include "QNVPlayer.h"
#include "TestClip.h"

namespace qnvtest {

// Feeds clip units [from, to) to a port as stream frames.
inline void Feed(uint32_t handle, size_t from, size_t to) {
  const Clip& clip = SampleClip();
  for (size_t i = from; i < to && i < clip.units.size(); ++i) {
    const auto frame = WrapFrame(clip.units[i], uint32_t(i));
    ASSERT_EQ(QNVPLAYER_OK, QnvPlayer_Input(handle, frame.data(), int32_t(frame.size())));
  }
}

// Reads back a captured image and checks it shows clip picture k.
inline void ExpectShowsPicture(const std::string& path, int k, double minPsnr) {
  Picture image = ReadImageFile(path);
  ASSERT_TRUE(image) << path << " is not a readable image";
  EXPECT_EQ(image->width, 640);
  EXPECT_EQ(image->height, 360);
  EXPECT_GT(PsnrAgainstClip(*image, k), minPsnr) << path;
  // Neighbouring pictures are the ones it could be mistaken for.
  EXPECT_EQ(BestMatchingPicture(*image, k - 12, k + 12), k) << path;
}

}  // namespace qnvtest

#endif  // QNV_TESTS_PLAYER_PLAYERTESTSUPPORT_H
