#include "PictureScaler.h"

#include "LibavLog.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace qnv::player {
namespace {

// The "J" formats are the plain ones at full range; libswscale wants the
// plain format and the range given separately.
AVPixelFormat PlainFormat(AVPixelFormat f, bool* fullRange) {
  switch (f) {
    case AV_PIX_FMT_YUVJ420P:
      *fullRange = true;
      return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P:
      *fullRange = true;
      return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P:
      *fullRange = true;
      return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P:
      *fullRange = true;
      return AV_PIX_FMT_YUV440P;
    default:
      return f;
  }
}

}  // namespace

bool PictureScaler::Scale(const AVFrame& source, const Target& target) {
  LibavLogScope own;
  if (source.width <= 0 || source.height <= 0 || target.width <= 0 || target.height <= 0) {
    return false;
  }
  bool srcFull = source.color_range == AVCOL_RANGE_JPEG;
  const AVPixelFormat srcFormat = PlainFormat(AVPixelFormat(source.format), &srcFull);
  bool dstFull = target.fullRange;
  const AVPixelFormat dstFormat = PlainFormat(target.format, &dstFull);
  const int space = source.colorspace == AVCOL_SPC_BT709 ? SWS_CS_ITU709 : SWS_CS_DEFAULT;
  const Key key{source.width,  source.height, srcFormat, srcFull, target.width,
                target.height, dstFormat,     dstFull,   space};
  if (!m_context || !(key == m_key)) {
    m_context.reset(sws_alloc_context());
    SwsContext* c = m_context.get();
    if (c == nullptr) return false;
    av_opt_set_int(c, "srcw", source.width, 0);
    av_opt_set_int(c, "srch", source.height, 0);
    av_opt_set_int(c, "src_format", srcFormat, 0);
    av_opt_set_int(c, "src_range", srcFull ? 1 : 0, 0);
    av_opt_set_int(c, "dstw", target.width, 0);
    av_opt_set_int(c, "dsth", target.height, 0);
    av_opt_set_int(c, "dst_format", dstFormat, 0);
    av_opt_set_int(c, "dst_range", dstFull ? 1 : 0, 0);
    av_opt_set_int(c, "sws_flags", SWS_BILINEAR, 0);
    if (sws_init_context(c, nullptr, nullptr) < 0) {
      m_context.reset();
      return false;
    }
    const int* coefficients = sws_getCoefficients(space);
    sws_setColorspaceDetails(c, coefficients, srcFull ? 1 : 0, coefficients, dstFull ? 1 : 0, 0,
                             1 << 16, 1 << 16);
    m_key = key;
  }
  const int rows = sws_scale(m_context.get(), source.data, source.linesize, 0, source.height,
                             target.planes, target.strides);
  return rows > 0;
}

}  // namespace qnv::player
