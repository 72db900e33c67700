// PictureWriter: encodes one decoded picture as JPEG, PNG or BMP with
// libavcodec's image encoders and writes it to a file. Stateless; any thread.
#ifndef QNVPLAYER_PICTUREWRITER_H
#define QNVPLAYER_PICTUREWRITER_H

#include <cstdint>
#include <string_view>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

namespace qnv::player {

enum class ImageFormat { kJpeg, kPng, kBmp };

class PictureWriter {
 public:
  // By extension, case-insensitive: .png, .bmp, .jpg/.jpeg; anything else JPEG.
  static ImageFormat FormatForPath(std::string_view path);
  // The encoded image, or empty when encoding failed.
  static std::vector<uint8_t> Encode(const AVFrame& picture, ImageFormat format);
  // Encodes and writes to path (created or truncated). Returns QNVPLAYER_OK
  // only when every byte was written and the file closed cleanly; otherwise
  // QNVPLAYER_ERR_WRITE and the partial file is removed.
  static int Write(const AVFrame& picture, const char* path);
};

}  // namespace qnv::player

#endif  // QNVPLAYER_PICTUREWRITER_H
