// Test helpers for the player: the sample clip cut into stream frames, a
// reference decode of it, image files read back, and picture comparison.
#ifndef QNV_TESTS_PLAYER_TESTCLIP_H
#define QNV_TESTS_PLAYER_TESTCLIP_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace qnvtest {

struct AvFrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using Picture = std::unique_ptr<AVFrame, AvFrameDeleter>;

// The clip as NAL units with 4-byte start codes, and the picture (counted
// from 0) that each unit completes, or -1 for parameter sets and SEI.
struct Clip {
  std::vector<std::vector<uint8_t>> units;
  std::vector<int> pictureOf;
  std::vector<Picture> pictures;  // libavcodec's own decode of every picture

  // Index of the unit that carries picture k.
  size_t UnitOfPicture(int k) const;
};

// Loaded and decoded once per process.
const Clip& SampleClip();

// A stream frame: 40-byte header ("QNVV", payload length) around payload,
// with an extension block of extLength bytes when withExtension.
std::vector<uint8_t> WrapFrame(const std::vector<uint8_t>& payload, uint32_t counter,
                               bool withExtension = false, uint32_t extLength = 0);

// A run of frames as QnvPlayer_CaptureRun takes it: 40-byte frame records
// whose offset fields point into data.
struct FrameRunBytes {
  std::vector<uint8_t> records;
  std::vector<uint8_t> data;
  uint32_t count = 0;
  // Adds one frame (payload, with an extension block of extLength bytes when
  // withExtension).
  void Add(const std::vector<uint8_t>& payload, bool withExtension = false, uint32_t extLength = 0);
};
// Clip units [from, to) as a run.
FrameRunBytes ClipRun(size_t from, size_t to, bool withExtension = false);

// Decodes a JPEG, PNG or BMP file (by content) into a picture; null on failure.
Picture ReadImageFile(const std::string& path);

// Converts a picture to packed RGB24 at the given size (bilinear scaling).
std::vector<uint8_t> ToRgb(const AVFrame& picture, int width, int height);

// PSNR in dB of two RGB24 buffers of equal size (99 when identical).
double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);
// PSNR of a picture against picture k of the clip, both at the picture's size.
double PsnrAgainstClip(const AVFrame& picture, int k);
// The clip picture in [from, to] that a picture resembles most (by default
// any of them).
int BestMatchingPicture(const AVFrame& picture, int from = 0, int to = 1 << 30);

// A fresh, empty directory under TMPDIR (or /tmp), removed with its files
// when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string Path(const std::string& name) const { return m_path + "/" + name; }
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

}  // namespace qnvtest

#endif  // QNV_TESTS_PLAYER_TESTCLIP_H
