// PictureScaler: converts and scales decoded pictures with libswscale,
// keeping its context between calls while sizes, formats and ranges stay the
// same. Colour ranges are given to libswscale before it picks its conversion
// path (full-range "J" formats are passed as the plain format plus range),
// so a limited-to-full conversion is never silently a plain copy. One thread
// at a time.
#ifndef QNVPLAYER_PICTURESCALER_H
#define QNVPLAYER_PICTURESCALER_H

#include <cstdint>

#include "FfmpegPtr.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace qnv::player {

class PictureScaler {
 public:
  // The layout of a destination picture. For YUV formats fullRange selects
  // 0..255 levels (as JPEG wants) instead of 16..235.
  struct Target {
    int width;
    int height;
    AVPixelFormat format;
    bool fullRange;
    uint8_t* const* planes;
    const int* strides;
  };

  PictureScaler() = default;
  PictureScaler(const PictureScaler&) = delete;
  PictureScaler& operator=(const PictureScaler&) = delete;

  // False when the conversion is not possible (unknown format, no memory).
  bool Scale(const AVFrame& source, const Target& target);

 private:
  struct Key {
    int srcWidth, srcHeight, srcFormat, srcFull, dstWidth, dstHeight, dstFormat, dstFull, space;
    bool operator==(const Key&) const = default;
  };

  SwsPtr m_context;
  Key m_key{};
};

}  // namespace qnv::player

#endif  // QNVPLAYER_PICTURESCALER_H
