#include "PictureWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <string>

#include "FfmpegPtr.h"
#include "LibavLog.h"
#include "PictureScaler.h"
#include "QNVPlayer.h"
#include "UniqueFd.h"

extern "C" {
#include <libavutil/imgutils.h>
}

namespace qnv::player {
namespace {

// JPEG quantiser scale: 2 keeps snapshots close to the decoded picture.
constexpr int kJpegQuality = 2;

bool EndsWithNoCase(std::string_view s, std::string_view suffix) {
  if (s.size() < suffix.size()) return false;
  for (size_t i = 0; i < suffix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(s[s.size() - suffix.size() + i])) != suffix[i]) {
      return false;
    }
  }
  return true;
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    data += n;
    size -= size_t(n);
  }
  return true;
}

}  // namespace

ImageFormat PictureWriter::FormatForPath(std::string_view path) {
  if (EndsWithNoCase(path, ".png")) return ImageFormat::kPng;
  if (EndsWithNoCase(path, ".bmp")) return ImageFormat::kBmp;
  return ImageFormat::kJpeg;
}

std::vector<uint8_t> PictureWriter::Encode(const AVFrame& picture, ImageFormat format) {
  LibavLogScope own;
  AVCodecID id = AV_CODEC_ID_MJPEG;
  AVPixelFormat pixels = AV_PIX_FMT_YUVJ420P;
  if (format == ImageFormat::kPng) {
    id = AV_CODEC_ID_PNG;
    pixels = AV_PIX_FMT_RGB24;
  } else if (format == ImageFormat::kBmp) {
    id = AV_CODEC_ID_BMP;
    pixels = AV_PIX_FMT_BGR24;
  }
  const AVCodec* codec = avcodec_find_encoder(id);
  if (codec == nullptr || picture.width <= 0 || picture.height <= 0) return {};

  FramePtr image(av_frame_alloc());
  if (!image) return {};
  image->width = picture.width;
  image->height = picture.height;
  image->format = pixels;
  if (av_frame_get_buffer(image.get(), 0) < 0) return {};
  PictureScaler scaler;
  const PictureScaler::Target target{picture.width, picture.height, pixels,
                                     true,          image->data,    image->linesize};
  if (!scaler.Scale(picture, target)) return {};

  CodecContextPtr encoder(avcodec_alloc_context3(codec));
  if (!encoder) return {};
  LibavLog::MarkOwnContext(encoder.get());
  encoder->width = picture.width;
  encoder->height = picture.height;
  encoder->pix_fmt = pixels;
  encoder->time_base = AVRational{1, 25};
  encoder->thread_count = 1;
  if (format == ImageFormat::kJpeg) {
    encoder->color_range = AVCOL_RANGE_JPEG;
    encoder->flags |= AV_CODEC_FLAG_QSCALE;
    encoder->global_quality = FF_QP2LAMBDA * kJpegQuality;
    image->quality = encoder->global_quality;
    image->color_range = AVCOL_RANGE_JPEG;
  }
  if (avcodec_open2(encoder.get(), codec, nullptr) < 0) return {};
  if (avcodec_send_frame(encoder.get(), image.get()) < 0) return {};
  if (avcodec_send_frame(encoder.get(), nullptr) < 0) return {};
  PacketPtr packet(av_packet_alloc());
  if (!packet) return {};
  std::vector<uint8_t> out;
  int rc;
  while ((rc = avcodec_receive_packet(encoder.get(), packet.get())) == 0) {
    out.insert(out.end(), packet->data, packet->data + packet->size);
    av_packet_unref(packet.get());
  }
  if (rc != AVERROR_EOF) return {};
  return out;
}

int PictureWriter::Write(const AVFrame& picture, const char* path) {
  if (path == nullptr || path[0] == '\0') return QNVPLAYER_ERR_ARGUMENT;
  const std::vector<uint8_t> image = Encode(picture, FormatForPath(path));
  if (image.empty()) return QNVPLAYER_ERR_WRITE;
  // Opened without blocking and checked before anything is truncated: a FIFO
  // nobody reads would block the open or the write for ever, and a device or
  // directory is no image file.
  UniqueFd fd(::open(path, O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644));
  if (!fd.valid()) return QNVPLAYER_ERR_WRITE;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return QNVPLAYER_ERR_WRITE;
  if (::ftruncate(fd.get(), 0) != 0) return QNVPLAYER_ERR_WRITE;
  const bool written = WriteAll(fd.get(), image.data(), image.size());
  // close() can be where a full disk or a network file system reports.
  if (fd.Close() && written) return QNVPLAYER_OK;
  // A half-written image is worse than none.
  ::unlink(path);
  return QNVPLAYER_ERR_WRITE;
}

}  // namespace qnv::player
